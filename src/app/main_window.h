#ifndef QOR_APP_MAIN_WINDOW_H_
#define QOR_APP_MAIN_WINDOW_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Window style bits the driver uses, with their usual values.
constexpr uint32_t WS_MAXIMIZEBOX = 0x00010000;
constexpr uint32_t WS_MINIMIZEBOX = 0x00020000;
constexpr uint32_t WS_THICKFRAME = 0x00040000;  // the sizing border
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr uint32_t kMainWindowStyle = 0x000F0000;
constexpr int SW_MINIMIZE = 6;

// Sizes of the main window in the window model's pixels. The status panel
// is 86 dialog units high; with the panel font's 13-pixel vertical base
// that is 140 pixels of client height.
constexpr int kMainWindowWidth = 690;
constexpr int kMainWindowHeight = 640;
constexpr int kStatusPanelClientHeight = 140;
constexpr int kHiddenExtraHeight = 42;  // caption, menu and frame

// Child control ids of the status panel.
constexpr int IDC_UNIT_LIST = 1005;
constexpr int IDC_COMMS_STATE = 2001;
constexpr int IDC_POLL_MODE = 1006;
constexpr int IDC_TYPE = 2002;
constexpr int IDC_IP = 2003;
constexpr int IDC_LOCATION = 2004;
constexpr int IDC_LINK_RX = 2006;
constexpr int IDC_LINK_TX = 2007;
constexpr int IDC_UNIT_RX = 2008;
constexpr int IDC_UNIT_TX = 2009;
constexpr int IDC_UNIT_TRAPRX = 2010;
constexpr int IDC_UNIT_BUFFER = 2011;
// The selected unit's SNMP version and security level ("v1", "v2c",
// "v3 authPriv").
constexpr int IDC_SNMP_SECURITY = 2012;

// The status panel as a model: the text of every field and the unit list.
// The renderer draws it; tests read it.
struct StatusPanel {
  std::map<int, std::string> fields;
  std::vector<std::string> unitList;
  int selection = -1;  // -1: nothing selected

  StatusPanel();
  const std::string& field(int id) const;
};

// The main window as a model: everything the user sees and the numbers the
// window manager would hold (position, size, style, show state, menu check
// marks). Renderers draw it; the driver's logic and its tests only touch the
// model. Main thread only.
struct MainWindow {
  std::string title;
  std::string className;
  int x = 0;
  int y = 0;
  int width = kMainWindowWidth;
  int height = kMainWindowHeight;
  uint32_t style = kMainWindowStyle;
  int showState = 0;
  bool created = false;
  bool destroyed = false;
  std::map<int, bool> checked;  // menu command id -> check mark
  StatusPanel panel;
  bool aboutOpen = false;

  bool isChecked(int commandId) const;
};

// The menu bar: titles and items in order, with their command ids (0 for a
// separator). "&Help" sits at the right end of the bar.
struct MenuItem {
  const char* text;
  int command;
};
struct Menu {
  const char* title;
  std::vector<MenuItem> items;
  bool rightAligned;
};
const std::vector<Menu>& MainMenu();

#endif  // QOR_APP_MAIN_WINDOW_H_
