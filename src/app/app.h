#ifndef QOR_APP_APP_H_
#define QOR_APP_APP_H_

#include <functional>
#include <memory>

#include "app/main_window.h"
#include "config/config_file.h"
#include "mdu/unit_layout.h"
#include "platform/event_loop.h"

class Cqor_mdl;

constexpr int kPollTimer = 1;
constexpr int kStatusTimer = 2;
constexpr int kDrainTimer = 3;
constexpr int kStatusPeriodMs = 800;
constexpr int kDrainPeriodMs = 10;

// Draws the main window model. The headless renderer draws nothing and
// copies debug list lines to standard output; the terminal renderer draws
// the window with ncurses. All calls come from the main thread.
class WindowRenderer {
 public:
  virtual ~WindowRenderer() = default;
  virtual void Show(MainWindow& window) {}
  // The model changed (fields, menu, size, list).
  virtual void Refresh(MainWindow& window) {}
  // Opens the About box (window.aboutOpen is set); the renderer clears
  // aboutOpen when the operator closes it. Without a screen it closes at
  // once.
  virtual void ShowAbout(MainWindow& window) { window.aboutOpen = false; }
  virtual void Close() {}
};

// The driver's process-wide state. One instance (TheApp()); main thread
// only, except the counters, which the link bumps on the main thread too.
struct AppState {
  int deviceNumber = 0;
  int hideDebug = 0;
  int pollDelay = 1000;
  int statusHeight = 0;
  Cqor_mdl* unitTable[mdu::kUnitCount] = {};
  int commsTxCount = 0;
  int commsRxCount = 0;
  MainWindow window;
  EventLoop* loop = nullptr;  // not owned
  ConfigLocations configLocations;
  std::unique_ptr<WindowRenderer> renderer;
  // The exit code when window creation fails. A driver that could not reach
  // its infodriver did not start, and a service manager must see that it
  // failed (255) rather than a clean end.
  int failedStartExitCode = 0;
};

AppState& TheApp();
// The loop the driver's window, timers and link run on: the one set in
// TheApp(), else the process's main loop.
EventLoop& AppLoop();
// Tests: start again from a fresh state.
void ResetAppForTest();

// Window creation: title and class from the string table, then InitApp.
// False when InitApp fails (the window is not created).
bool CreateMainWindow();
// Destroys the main window: timers stopped, units deleted, loop told to end
// with exit code 0. Safe to call more than once.
void DestroyMainWindow();

int InitApp(MainWindow* window);
void LoadSettings();
void PollAll();
void DrainSlotWrites();
void DestroyUnits(MainWindow* window);

void ApplyDebugSettings(MainWindow* window);
void UpdateStatus();
// Menu and accelerator commands; false for an id the window does not know.
bool OnCommand(int commandId);

// The About box texts: the version line and the build line.
std::string AboutVersionLine();
std::string AboutBuildLine();

#endif  // QOR_APP_APP_H_
