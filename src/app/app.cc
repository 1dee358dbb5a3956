#include "app/app.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "platform/main_loop.h"
#include "platform/resources.h"

namespace {
AppState* g_app = nullptr;
}  // namespace

AppState& TheApp() {
  if (!g_app) g_app = new AppState();
  return *g_app;
}

void ResetAppForTest() {
  delete g_app;
  g_app = new AppState();
}

EventLoop& AppLoop() {
  AppState& app = TheApp();
  return app.loop ? *app.loop : TheMainLoop();
}

bool CreateMainWindow() {
  AppState& app = TheApp();
  MainWindow& w = app.window;
  char titleFormat[100];
  LoadStringResource(IDS_APP_TITLE, titleFormat, sizeof titleFormat);
  char title[100];
  std::snprintf(title, sizeof title, titleFormat, app.deviceNumber);
  w.title = title;
  char className[100];
  LoadStringResource(IDC_QOR_MDU, className, sizeof className);
  w.className = className;
  w.x = 0;
  w.y = 0;
  w.width = kMainWindowWidth;
  w.height = kMainWindowHeight;
  w.style = kMainWindowStyle;
  if (InitApp(&w) != 0) return false;
  w.created = true;
  return true;
}

void DestroyMainWindow() {
  AppState& app = TheApp();
  if (app.window.destroyed) return;
  app.window.destroyed = true;
  DestroyUnits(&app.window);
  AppLoop().Quit(0);
}

void LoadSettings() {
  AppState& app = TheApp();
  ConfigFile config(app.deviceNumber, IDS_SECTION, app.configLocations);
  debugMode = SettingToInt(config.get("DebugMode", "1", true));
  app.hideDebug = debugMode == 0 ? 1 : 0;
  logMode = SettingToInt(config.get("LogMode", "0", true));
  const char* pollDelayText = config.get("PollDelay", "1000", true);
  app.pollDelay = SettingToInt(pollDelayText);
  // A value that is no period (negative, zero, not a number) still polls,
  // at the shortest period the loop runs; the log says so, because the
  // settings file alone does not.
  if (app.pollDelay < EventLoop::kMinPeriodMs)
    FileLog(
        "PollDelay \"%s\" is not a period of at least %d ms - polling "
        "every %d ms",
        pollDelayText, EventLoop::kMinPeriodMs, EventLoop::kMinPeriodMs);
}

void ApplyDebugSettings(MainWindow* window) {
  AppState& app = TheApp();
  ConfigFile config(app.deviceNumber, IDS_SECTION, app.configLocations);
  window->checked[IDM_DEBUG_ON] = debugMode != 0;
  config.set("DebugMode", debugMode ? "1" : "0");
  // The window keeps its top-left corner; only the size and the sizing
  // style change.
  if (app.hideDebug) {
    window->width = kMainWindowWidth;
    window->height = app.statusHeight + kHiddenExtraHeight;
    window->checked[IDM_DEBUG_HIDE] = true;
    window->style &= ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
  } else {
    window->width = kMainWindowWidth;
    window->height = kMainWindowHeight;
    window->checked[IDM_DEBUG_HIDE] = false;
    window->style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
  }
  window->checked[IDM_LOG_ENABLED] = logMode != 0;
  config.set("LogMode", logMode ? "1" : "0");
  if (app.renderer) app.renderer->Refresh(*window);
}

bool OnCommand(int commandId) {
  AppState& app = TheApp();
  MainWindow* w = &app.window;
  switch (commandId) {
    case IDM_DEBUG_ON:
      if (debugMode == 0) {
        debugMode = 1;
        app.hideDebug = 0;
      } else {
        debugMode = 0;
      }
      ApplyDebugSettings(w);
      return true;
    case IDM_DEBUG_HIDE:
      if (app.hideDebug == 0) {
        app.hideDebug = 1;
        debugMode = 0;
      } else {
        app.hideDebug = 0;
        debugMode = 1;
      }
      ApplyDebugSettings(w);
      return true;
    case IDM_LOG_ENABLED:
      logMode = logMode ? 0 : 1;
      ApplyDebugSettings(w);
      return true;
    case IDM_DEBUG_CLEAR:
      TheDebugList().clear();
      if (app.renderer) app.renderer->Refresh(*w);
      return true;
    case IDM_ABOUT:
      // Modal for the operator, not for the driver: polling and the link go
      // on while the box is open, as under a dialog's own message loop.
      w->aboutOpen = true;
      if (app.renderer) app.renderer->ShowAbout(*w);
      return true;
    case IDM_EXIT:
      DestroyMainWindow();
      return true;
  }
  return false;
}

std::string AboutVersionLine() {
  char line[128];
  std::snprintf(line, sizeof line, "Version %s  (%s)", kFileVersion,
                kProductVersion);
  return line;
}

std::string AboutBuildLine() {
  char line[64];
  std::snprintf(line, sizeof line, "%s - %s", __DATE__, __TIME__);
  return line;
}
