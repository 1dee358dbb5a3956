#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "app/app.h"
#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/infodriver_routing.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "mdu/cqor_mdl.h"
#include "mdu/unit_layout.h"
#include "platform/main_loop.h"
#include "platform/message_box.h"
#include "platform/resources.h"
#include "snmp/snmp_security.h"

namespace {

// The infodriver's requests reach the units, the panel and the window
// through these.
void InstallRouting() {
  InfodriverRouting routing;
  routing.unitSlotChange = [](int index, int relativeSlot, const char* text) {
    if (index < 0 || index >= mdu::kUnitCount) return false;
    Cqor_mdl* unit = TheApp().unitTable[index];
    if (!unit) return false;
    unit->slotChange(relativeSlot, text);
    return true;
  };
  routing.updateStatus = [] { UpdateStatus(); };
  routing.destroyMainWindow = [] { DestroyMainWindow(); };
  routing.link = &TheInfodriverLink();
  SetInfodriverRouting(routing);
}

// A setting that does not fit the unit's 63-character field would be cut
// into another address or community, and the unit would talk to the wrong
// agent or be refused by the right one: such a unit is not made, and the
// log says why.
bool FitsUnitField(const std::string& text, const char* key, int n) {
  if (text.size() < static_cast<size_t>(SnmpDevice::kTextSize)) return true;
  FileLog("%s of QOR_MDU_%d is longer than %d characters - unit not started",
          key, n, SnmpDevice::kTextSize - 1);
  DebugList("%s of QOR_MDU_%d is longer than %d characters - unit not started",
            key, n, SnmpDevice::kTextSize - 1);
  return false;
}

// The unit's SNMP version and security from its section; every key is
// read (and so written back with its default) whether or not the unit has
// an address. A value that is refused leaves the unit unmade, with a line
// naming the unit, the key and the value (never a pass phrase: those are
// only in the files the keys name).
bool ReadUnitSecurity(AppState& app, const char* section, int n,
                      bool configured, SnmpSecurity* security) {
  bool ok = true;
  for (const SnmpSecuritySetting& setting : kSnmpSecuritySettings) {
    std::string value;
    {
      ConfigFile config(app.deviceNumber, section, app.configLocations);
      value = config.get(setting.key, setting.defaultValue, true);
    }
    if (!configured || !ok) continue;
    std::string why;
    if (!ApplySnmpSecuritySetting(setting.key, value, security, &why)) {
      FileLog("%s of QOR_MDU_%d is '%s' - %s - unit not started",
              setting.key, n, value.c_str(), why.c_str());
      DebugList("%s of QOR_MDU_%d is '%s' - %s - unit not started",
                setting.key, n, value.c_str(), why.c_str());
      ok = false;
    }
  }
  if (!configured || !ok) return ok;
  std::string key, why;
  if (!CheckSnmpSecurity(*security, &key, &why)) {
    FileLog("%s of QOR_MDU_%d %s - unit not started", key.c_str(), n,
            why.c_str());
    DebugList("%s of QOR_MDU_%d %s - unit not started", key.c_str(), n,
              why.c_str());
    return false;
  }
  return true;
}

void ReportLinkFailure(int deviceNumber, const std::string& cause) {
  const std::string why = cause.empty() ? "no answer" : cause;
  FileLog("Infodriver %d unreachable: %s", deviceNumber, why.c_str());
  std::fprintf(stderr, "qor_mdu %d: infodriver unreachable: %s\n", deviceNumber,
               why.c_str());
}

// Connects to the infodriver of this device number as its driver; -1 when
// the start must fail (nothing reached, or reached but not as the driver).
int ConnectInfodriver(AppState& app) {
  extinfo& link = TheInfodriverLink();
  InstallRouting();
  link.setCallback(InfodriverNotify);
  const int result = link.connect(app.deviceNumber, nullptr, 0, 0, 0, 0);
  // Reached, but not as the device's driver: another driver holds the
  // number, or the infodriver does not let this user drive it. Every write
  // would be refused and no request would come, so this start fails as an
  // unreachable infodriver's does.
  std::string refusal;
  if (result == IFSTAT_OK && link.iStatus == IFSTAT_DEVICEIDINUSE) {
    refusal = "another driver already serves device " +
              std::to_string(app.deviceNumber) + " (device id in use)";
  } else if (result == IFSTAT_OK && link.bHelloAck == 0) {
    refusal =
        "it did not accept this driver (only its own user or root may drive "
        "it)";
  }
  if (!refusal.empty()) link.disconnect();
  if (result == IFSTAT_NOWINDOW || !refusal.empty()) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "QOR_MDU Driver can't Connect to infodriver %d",
                  app.deviceNumber);
    MessageBox("QOR_MDU - Error", text);
    // The box says that the driver did not start; the operator also needs
    // to know why (no infodriver, or one it must not trust or cannot reach).
    ReportLinkFailure(app.deviceNumber,
                      refusal.empty() ? link.connectFailure() : refusal);
    DebugOutput("InitApp returns -1");
    app.failedStartExitCode = 255;
    return -1;
  }
  if (result == IFSTAT_OK) {
    DebugList("Connected OK to infodriver %d", link.iDevice);
    DebugOutput("Connected OK to infodriver %d", link.iDevice);
  } else {
    DebugList("Other Error - code %d", link.iStatus);
    DebugOutput("Other Error - code %d", link.iStatus);
    if (!link.connectFailure().empty())
      FileLog("Infodriver %d link not set up: %s", app.deviceNumber,
              link.connectFailure().c_str());
  }
  // 7. The link counts into the panel's counters.
  link.setCounters(&app.commsTxCount, &app.commsRxCount);
  return 0;
}

// Creates a unit for every section that names an address; false when one
// cannot be created.
bool CreateUnits(MainWindow* window) {
  AppState& app = TheApp();
  for (int n = 1; n <= mdu::kUnitCount; ++n) {
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
    SnmpSecurity security;
    const bool secured =
        ReadUnitSecurity(app, section, n, !address.empty(), &security);
    window->panel.unitList.push_back(section);
    if (address.empty()) continue;
    if (!FitsUnitField(address, "SNMPAddress", n) ||
        !FitsUnitField(community, "SNMPCommunity", n) || !secured)
      continue;

    Cqor_mdl* unit = new (std::nothrow) Cqor_mdl(mdu::UnitSlotOffset(n), n);
    app.unitTable[n - 1] = unit;
    if (!unit) {
      DebugList("Failed to create instance of Cqor_mdl %d", n);
      DebugOutput("Failed to create instance of Cqor_mdl %d", n);
      DebugOutput("InitApp returns -1");
      return false;
    }
    unit->setAddress(address.c_str());
    unit->setCommunity(community.c_str());
    unit->security = std::move(security);
    unit->infBuffer = &TheInfBuffer();
    unit->infodriverLink = &TheInfodriverLink();
    const int e = unit->initMdu();
    if (e != 0) {
      DebugList("SNMP init_snmp Error %d on device %d (%s)", e, n,
                address.c_str());
    } else {
      DebugList("SNMP init_snmp OK for device %d", n);
    }
    DebugOutput("SNMP init_snmp %d for device %d", e, n);
  }
  return true;
}

}  // namespace

int InitApp(MainWindow* window) {
  AppState& app = TheApp();
  // 1. No unit yet.
  for (auto& unit : app.unitTable) unit = nullptr;
  // 2. The status panel, and the height the hidden window keeps.
  window->panel = StatusPanel();
  app.statusHeight = kStatusPanelClientHeight + 2;
  // 3. The debug list under the panel.
  TheDebugList().create(app.statusHeight);
  // 4, 5. Settings and the switches they give. Every key read from here on
  // that the file lacks is written back in one rewrite of the file, when
  // InitApp returns.
  ConfigWriteBatch writeBack;
  LoadSettings();
  ApplyDebugSettings(window);

  // 6, 7. The infodriver of this device number.
  if (ConnectInfodriver(app) != 0) return -1;

  // 8. The forty unit sections.
  if (!CreateUnits(window)) return -1;

  // 9. The first unit is selected.
  window->panel.selection = 0;

  // 10. The three timers. The drain ticks only while writes are queued:
  // it suspends itself when it leaves the buffer empty, and the write that
  // finds the buffer empty resumes it on its own 10 ms grid, so a write
  // reaches the infodriver at the same tick as with a timer that never
  // stops.
  EventLoop& loop = AppLoop();
  loop.SetTimer(kPollTimer, app.pollDelay, [] { PollAll(); });
  loop.SetTimer(kStatusTimer, kStatusPeriodMs, [] { UpdateStatus(); });
  loop.SetTimer(kDrainTimer, kDrainPeriodMs, [] { DrainSlotWrites(); });
  TheInfBuffer().setArmHandler(
      [&loop] { loop.RunInLoop([&loop] { loop.ResumeTimer(kDrainTimer); }); });
  return 0;
}

void PollAll() {
  for (Cqor_mdl* unit : TheApp().unitTable)
    if (unit) unit->PollNext();
}

void DrainSlotWrites() {
  inf_buffer& buffer = TheInfBuffer();
  extinfo& link = TheInfodriverLink();
  // The whole queue in one tick; a count that cannot get the lock gives 0
  // and leaves the rest for the next tick.
  while (buffer.count() > 0) {
    eiData* data = buffer.getData();
    if (!data) continue;
    link.updateSlot(data->slot(), data->text());
    delete data;
  }
  // A write queued after this point arms the buffer again and resumes the
  // timer; one that came during the drain keeps it running.
  if (buffer.disarmIfEmpty()) AppLoop().SuspendTimer(kDrainTimer);
}

void DestroyUnits(MainWindow* window) {
  EventLoop& loop = AppLoop();
  TheInfBuffer().setArmHandler(nullptr);
  loop.KillTimer(kPollTimer);
  loop.KillTimer(kStatusTimer);
  loop.KillTimer(kDrainTimer);
  for (Cqor_mdl*& unit : TheApp().unitTable) {
    delete unit;
    unit = nullptr;
  }
}

void UpdateStatus() {
  AppState& app = TheApp();
  StatusPanel& panel = app.window.panel;
  char text[32];
  std::snprintf(text, sizeof text, "%08d", app.commsTxCount);
  panel.fields[IDC_LINK_TX] = text;
  std::snprintf(text, sizeof text, "%08d", app.commsRxCount);
  panel.fields[IDC_LINK_RX] = text;
  const int s = panel.selection;
  if (s >= 0 && s < mdu::kUnitCount && app.unitTable[s]) {
    Cqor_mdl* unit = app.unitTable[s];
    panel.fields[IDC_COMMS_STATE] = unit->commsOk ? "OK" : "Fail";
    panel.fields[IDC_POLL_MODE] = unit->fastPoll ? "Fast" : "Slow";
    panel.fields[IDC_TYPE] = unit->equipmentDescription;
    panel.fields[IDC_IP] = unit->address;
    panel.fields[IDC_SNMP_SECURITY] = SnmpSecuritySummary(unit->security);
    panel.fields[IDC_LOCATION] = unit->alarmLocation;
    std::snprintf(text, sizeof text, "%08d",
                  static_cast<int>(unit->replyCount));
    panel.fields[IDC_UNIT_RX] = text;
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(unit->sentCount));
    panel.fields[IDC_UNIT_TX] = text;
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(unit->trapCount));
    panel.fields[IDC_UNIT_TRAPRX] = text;
    std::snprintf(text, sizeof text, "%d", unit->bufferCount());
    panel.fields[IDC_UNIT_BUFFER] = text;
  } else {
    panel.fields[IDC_COMMS_STATE] = "Not set";
    panel.fields[IDC_POLL_MODE] = "-";
    panel.fields[IDC_TYPE] = "in ini";
    panel.fields[IDC_IP] = "file";
    panel.fields[IDC_SNMP_SECURITY] = "";
    panel.fields[IDC_LOCATION] = "-";
    for (int id : {IDC_UNIT_RX, IDC_UNIT_TX, IDC_UNIT_TRAPRX, IDC_UNIT_BUFFER})
      panel.fields[id] = "-";
  }
  if (app.renderer) app.renderer->Refresh(app.window);
}
