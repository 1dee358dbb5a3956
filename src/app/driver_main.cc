#include "app/driver_main.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "app/app.h"
#include "app/headless_renderer.h"
#include "app/service_status.h"
#include "app/terminal_renderer.h"
#include "app/terminal_type.h"
#include "infodriver/runtime_dir.h"
#include "logging/handler_guard.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "mdu/cqor_mdl.h"
#include "platform/exit_signals.h"
#include "platform/fault_handler.h"
#include "platform/instance_lock.h"
#include "platform/main_loop.h"
#include "platform/message_box.h"
#include "platform/program_info.h"
#include "platform/resources.h"
#include "platform/service_notifier.h"
#include "platform/structured_exception.h"
#include "snmp/net_snmp_api.h"
#include "snmp/trap_forward.h"

namespace {

const char kUsage[] =
    "usage: qor_mdu N   (N: device number)\n"
    "       qor_mdu --help | --version\n"
    "\n"
    "Serves the MDUs of device N (settings in dev_NNN.ini, see\n"
    "/etc/zarn_config.ini) in the slots of infodriver N.\n"
    "\n"
    "Exit status: 0 after Exit, SIGTERM, SIGINT, SIGHUP or when the\n"
    "infodriver disconnects; 1 after a crash; 255 for no device number,\n"
    "another process serving the device, or a start that failed at the\n"
    "infodriver.\n";

void WriteFaultLine(const char* line) {
  TheLogFile().writeLineSignalSafe(line);
}

// A terminal gets the full-screen window; a service, a pipe or CI runs
// headless with the debug list copied to standard output. So does a driver
// started in the background of a shell (the window would stop it with
// SIGTTOU at its first change of the terminal) and one whose terminal type
// is unknown (the window cannot be drawn; over ssh that is common).
std::unique_ptr<WindowRenderer> MakeRenderer(EventLoop* loop) {
  if (!isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO))
    return std::make_unique<HeadlessRenderer>();
  if (tcgetpgrp(STDIN_FILENO) != getpgrp()) {
    // Lines for a terminal with "stty tostop" would stop it all the same.
    signal(SIGTTOU, SIG_IGN);
    return std::make_unique<HeadlessRenderer>();
  }
  std::string term;
  if (!TerminalTypeKnown(&term)) {
    std::fprintf(stderr,
                 "qor_mdu: terminal type \"%s\" is unknown - running "
                 "headless\n",
                 term.c_str());
    return std::make_unique<HeadlessRenderer>();
  }
  return std::make_unique<TerminalRenderer>(loop);
}

// Leaves the terminal as the operator had it, whatever ended the driver.
void CloseRenderer() {
  AppState& app = TheApp();
  if (!app.renderer) return;
  app.renderer->Close();
  app.renderer.reset();
}

ServiceStatus::Units CountUnits() {
  ServiceStatus::Units units;
  for (const Cqor_mdl* unit : TheApp().unitTable) {
    if (!unit) continue;
    ++units.configured;
    if (unit->commsOk) ++units.answering;
  }
  return units;
}

// Several drivers on one host share the trap port through the host's trap
// intake when one runs; its socket for this driver is named by the device
// number, which the instance lock makes ours alone.
void ShareTrapPortWithHostIntake(int deviceNumber) {
  std::string runDir, runDirError;
  if (PrepareRuntimeDirectory(false, &runDir, &runDirError) ==
      RuntimeDirStatus::kOk)
    UseHostTrapIntake(TrapIntakeSocketPath(runDir, deviceNumber),
                      TrapIntakeLockPath(runDir));
}

// The driver's SNMP engine ID, which units sending it v3 informs may be set
// up with: the device number and the host, the same at every start.
void NameSnmpEngine(int deviceNumber) {
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  std::string text = "qor_mdu-" + std::to_string(deviceNumber) + "@" + host;
  UseSnmpEngineIdText(text.substr(0, 27));
}

// Steps 6 to 12: from the instance lock to the end of the loop. Returns
// the exit code.
int RunDriver(int deviceNumber, InstanceLock* instanceLock) {
  AppState& app = TheApp();
  app.deviceNumber = deviceNumber;
  EventLoop& loop = TheMainLoop();
  app.loop = &loop;

  // 6, 7. One process per device number: the lock carries the title.
  char title[100];
  std::snprintf(title, sizeof title,
                "ZARN qor_mdu Application with Debug window - Device %d",
                deviceNumber);
  if (instanceLock->Acquire(title) == InstanceLock::kAlreadyHeld) return 255;

  ShareTrapPortWithHostIntake(deviceNumber);
  NameSnmpEngine(deviceNumber);
  // SIGTERM, SIGINT and SIGHUP act as the Exit command.
  InstallExitSignals(&loop, [] { OnCommand(IDM_EXIT); });

  // A service manager learns that the driver is up, how many units answer,
  // and (when it asks) that the loop still turns.
  SystemdNotifier notifier;
  ServiceStatus serviceStatus(&notifier, &loop);
  serviceStatus.Starting();

  // 8, 9. The main window; its creation runs InitApp.
  app.renderer = MakeRenderer(&loop);
  if (!CreateMainWindow()) {
    CloseRenderer();
    return app.failedStartExitCode;
  }

  // 10. Shown minimised, whatever the caller asked for.
  app.window.showState = SW_MINIMIZE;
  app.renderer->Show(app.window);

  serviceStatus.Started(CountUnits);

  // 11. The loop runs until the window is destroyed.
  const int exitCode = loop.Run();
  serviceStatus.Stopping();

  // 12.
  CloseRenderer();
  FileLog("++++ Driver Closing ++++");
  instanceLock->Release();
  return exitCode;
}

}  // namespace

int DriverMain(int argc, char** argv) {
  // Neither is a device number, so the driver's own rule is unchanged.
  if (AnswerHelpOrVersion(argc, argv, "qor_mdu", kUsage)) return 0;
  // 1. Faults end the process with their log lines.
  InstallFaultHandler(WriteFaultLine);
  InstallFaultTranslator();
  // A reader of standard output that goes away must cost lines, not the
  // driver: the failed write reports EPIPE instead.
  signal(SIGPIPE, SIG_IGN);

  // 2, 3. The device number.
  const int deviceNumber = ParseDeviceNumber(argc, argv);
  if (deviceNumber <= 0) {
    MessageBox(
        "Error",
        "Valid device number must be supplied as command line parameter");
    return 255;
  }

  // 4. The log file.
  TheLogFile().init(deviceNumber, "Qor_Mdu", true, true);
  FileLog("*** Driver starting ***");

  // 5. From here on nothing escapes without its log lines.
  InstanceLock instanceLock;
  int exitCode = 1;
  const bool finished = RunGuarded(
      [&] { exitCode = RunDriver(deviceNumber, &instanceLock); },
      [](bool fault) {
        CloseRenderer();
        FileLog(fault ? "Main Application Thread Crashed??"
                      : "Main Application Thread Crashed but I don't know "
                        "what");
      });
  if (finished) return exitCode;
  instanceLock.Release();
  return 1;
}
