#include "app/main_window.h"

#include "platform/resources.h"

StatusPanel::StatusPanel() {
  for (int id :
       {IDC_LINK_RX, IDC_LINK_TX, IDC_UNIT_RX, IDC_UNIT_TX, IDC_UNIT_TRAPRX})
    fields[id] = "00000000";
  fields[IDC_UNIT_BUFFER] = "0";
  for (int id :
       {IDC_COMMS_STATE, IDC_POLL_MODE, IDC_TYPE, IDC_IP, IDC_LOCATION})
    fields[id] = "";
}

const std::string& StatusPanel::field(int id) const {
  static const std::string empty;
  auto it = fields.find(id);
  return it == fields.end() ? empty : it->second;
}

bool MainWindow::isChecked(int commandId) const {
  auto it = checked.find(commandId);
  return it != checked.end() && it->second;
}

const std::vector<Menu>& MainMenu() {
  static const std::vector<Menu> menu = {
      {"&File", {{"E&xit", IDM_EXIT}}, false},
      {"D&ebug",
       {{"On", IDM_DEBUG_ON},
        {"Hide", IDM_DEBUG_HIDE},
        {"", 0},
        {"Clear", IDM_DEBUG_CLEAR}},
       false},
      {"L&og", {{"Enabled", IDM_LOG_ENABLED}}, false},
      {"&Help", {{"&About ...", IDM_ABOUT}}, true},
  };
  return menu;
}
