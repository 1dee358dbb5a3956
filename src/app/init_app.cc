#include <cstdio>

#include "app/app.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "platform/main_loop.h"
#include "platform/resources.h"

static EventLoop& Loop() {
  AppState& app = TheApp();
  return app.loop ? *app.loop : TheMainLoop();
}

int InitApp(MainWindow* window) {
  AppState& app = TheApp();
  // 1. No unit yet.
  for (auto& unit : app.unitTable) unit = nullptr;
  // 2. The status panel, and the height the hidden window keeps.
  window->panel = StatusPanel();
  app.statusHeight = kStatusPanelClientHeight + 2;
  // 3. The debug list under the panel.
  TheDebugList().create(app.statusHeight);
  // 4, 5. Settings and the switches they give.
  LoadSettings();
  ApplyDebugSettings(window);

  // 8. The forty unit sections, each key read and written back.
  for (int n = 1; n <= kUnitCount; ++n) {
    char section[32];
    std::snprintf(section, sizeof section, "QOR_MDU_%d", n);
    std::string address, community;
    {
      ConfigFile config(app.deviceNumber, section, app.configLocations);
      address = config.get("SNMPAddress", "", true);
    }
    {
      ConfigFile config(app.deviceNumber, section, app.configLocations);
      community = config.get("SNMPCommunity", "ziriru", true);
    }
    window->panel.unitList.push_back(section);
    if (address.empty()) continue;
  }

  // 9. The first unit is selected.
  window->panel.selection = 0;

  // 10. The three timers.
  EventLoop& loop = Loop();
  loop.SetTimer(kPollTimer, app.pollDelay, [] { PollAll(); });
  loop.SetTimer(kStatusTimer, kStatusPeriodMs, [] { UpdateStatus(); });
  loop.SetTimer(kDrainTimer, kDrainPeriodMs, [] { DrainSlotWrites(); });
  return 0;
}

void PollAll() {}

void DrainSlotWrites() {}

void DestroyUnits(MainWindow* window) {
  EventLoop& loop = Loop();
  loop.KillTimer(kPollTimer);
  loop.KillTimer(kStatusTimer);
  loop.KillTimer(kDrainTimer);
}

void UpdateStatus() {
  AppState& app = TheApp();
  StatusPanel& panel = app.window.panel;
  char text[32];
  std::snprintf(text, sizeof text, "%08d", app.commsTxCount);
  panel.fields[IDC_LINK_TX] = text;
  std::snprintf(text, sizeof text, "%08d", app.commsRxCount);
  panel.fields[IDC_LINK_RX] = text;
  int s = panel.selection;
  if (s >= 0 && s < kUnitCount && app.unitTable[s]) {
  } else {
    panel.fields[IDC_COMMS_STATE] = "Not set";
    panel.fields[IDC_POLL_MODE] = "-";
    panel.fields[IDC_TYPE] = "in ini";
    panel.fields[IDC_IP] = "file";
    panel.fields[IDC_LOCATION] = "-";
    for (int id : {IDC_UNIT_RX, IDC_UNIT_TX, IDC_UNIT_TRAPRX, IDC_UNIT_BUFFER})
      panel.fields[id] = "-";
  }
  if (app.renderer) app.renderer->Refresh(app.window);
}
