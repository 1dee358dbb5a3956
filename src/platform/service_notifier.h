#ifndef QOR_PLATFORM_SERVICE_NOTIFIER_H_
#define QOR_PLATFORM_SERVICE_NOTIFIER_H_

#include <cstdint>
#include <string>

// The process's line to the service manager that started it: readiness, a
// one-line status and the watchdog's keep-alive. Under systemd this is
// sd_notify(3); started by hand (no NOTIFY_SOCKET) every call does nothing,
// so callers never ask whether a manager listens. Main thread only.
class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // One or more newline-separated assignments, e.g. "READY=1" or
  // "STATUS=3 of 4 units answering".
  virtual void Notify(const std::string& state) = 0;
  // The keep-alive period the manager asks for, in microseconds; 0 when it
  // asks for none.
  virtual uint64_t WatchdogUsec() = 0;
};

// sd_notify and sd_watchdog_enabled of libsystemd.
class SystemdNotifier : public ServiceNotifier {
 public:
  void Notify(const std::string& state) override;
  uint64_t WatchdogUsec() override;
};

#endif  // QOR_PLATFORM_SERVICE_NOTIFIER_H_
