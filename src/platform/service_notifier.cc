#include "platform/service_notifier.h"

#include <systemd/sd-daemon.h>

void SystemdNotifier::Notify(const std::string& state) {
  // Leaving NOTIFY_SOCKET in the environment lets a child the driver might
  // start speak for it; nothing here starts children, but 0 keeps it so
  // that later calls still reach the manager.
  sd_notify(0, state.c_str());
}

uint64_t SystemdNotifier::WatchdogUsec() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
  return usec;
}
