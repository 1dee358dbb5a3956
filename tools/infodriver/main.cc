// infodriver N: the slot table of device N for its driver and clients,
// served in the foreground until SIGTERM or SIGINT.
//
// Besides its own user and root, the members of the group named by
// $ZARN_INFODRIVER_GROUP may connect (the socket is then mode 0660 in that
// group).

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "config/config_file.h"
#include "infodriver/runtime_dir.h"
#include "infodriver/server/audit_trail.h"
#include "infodriver/server/control_audit.h"
#include "infodriver/server/infodriver_server.h"
#include "platform/device_number.h"
#include "platform/event_loop.h"
#include "platform/exit_signals.h"
#include "platform/journal_stream.h"
#include "platform/program_info.h"
#include "platform/service_notifier.h"
#include "unitview/point_names.h"

namespace {

const char kUsage[] =
    "usage: infodriver N   (N: device number, 1 to 999)\n"
    "       infodriver --help | --version\n"
    "\n"
    "Serves the slot table of device N on $ZARN_RUNTIME_DIR/infodriver-N.sock\n"
    "until SIGTERM or SIGINT. Members of the group $ZARN_INFODRIVER_GROUP may\n"
    "connect too.\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT; 1 when it cannot serve; 2 for a\n"
    "wrong command line.\n";

}  // namespace

int main(int argc, char** argv) {
  if (AnswerHelpOrVersion(argc, argv, "infodriver", kUsage)) return 0;
  if (argc != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::optional<int> number = ParseDeviceNumberArgument(argv[1]);
  if (!number) {
    std::fprintf(stderr, "infodriver: %s\n",
                 DeviceNumberError(argv[1]).c_str());
    return 2;
  }
  const int device = *number;

  gid_t group;
  std::string error;
  if (!InfodriverClientGroup(&group, &error)) {
    std::fprintf(stderr, "infodriver %d: %s\n", device, error.c_str());
    return 1;
  }
  EventLoop loop;
  InfodriverServer server(device, &loop, group);
  // Before anything else, so that the signals are read from the loop.
  if (!InstallExitSignals(&loop, [&] {
        server.stop();
        loop.Quit(0);
      })) {
    std::fprintf(stderr, "%sinfodriver %d: cannot catch exit signals\n",
                 JournalPrefix(STDERR_FILENO, 3), device);
    return 1;
  }
  // Every control request of the device passes here, whichever program
  // sent it: the one place where none can be left out of the trail. Its
  // writer thread starts after the exit signals are blocked, so that they
  // reach the loop only.
  AuditTrail::Options audit;
  audit.directory = AuditTrail::DefaultDirectory();
  audit.device = device;
  audit.keepDays = AuditTrail::KeepDaysFromEnvironment(device);
  server.useControlAudit(std::make_unique<ControlAudit>(
      device, std::make_unique<AuditTrail>(audit),
      NamesFilePath(ConfigFile(device, "QOR_MDU_1").path(), device)));
  if (!server.start(&error)) {
    std::fprintf(stderr, "%sinfodriver %d: %s\n",
                 JournalPrefix(STDERR_FILENO, 3), device, error.c_str());
    return 1;
  }
  std::fprintf(stderr, "%sinfodriver %d: serving %s\n",
               JournalPrefix(STDERR_FILENO, 6), device,
               server.socketPath().c_str());
  // The socket accepts from here on: a driver ordered after this service
  // finds it.
  SystemdNotifier notifier;
  notifier.Notify("READY=1\nSTATUS=serving " + server.socketPath());
  const int exitCode = loop.Run();
  notifier.Notify("STOPPING=1");
  return exitCode;
}
