#ifndef QOR_APP_SERVICE_STATUS_H_
#define QOR_APP_SERVICE_STATUS_H_

#include <functional>
#include <string>

#include "platform/event_loop.h"
#include "platform/service_notifier.h"

// What the driver tells its service manager: "starting" until InitApp has
// finished, then ready with how many of its units answer (refreshed with the
// status panel's period, sent only when the count changes), and a keep-alive
// from the event loop itself when the manager asks for a watchdog, so a loop
// that stalls stops the keep-alives and gets the driver restarted; "stopping"
// once it ends. The manager shows the last status of a driver that is being
// restarted, so a count of answering units is never left standing for one
// that no longer polls them.
//
// The notifier and the loop are not owned and must outlive this object.
// Main thread only.
class ServiceStatus {
 public:
  struct Units {
    int configured = 0;
    int answering = 0;
  };
  using UnitCounter = std::function<Units()>;

  // Loop timer ids, apart from the main window's 1 to 3.
  static constexpr int kStatusTimer = 21;
  static constexpr int kWatchdogTimer = 22;

  ServiceStatus(ServiceNotifier* notifier, EventLoop* loop);
  ~ServiceStatus();
  ServiceStatus(const ServiceStatus&) = delete;
  ServiceStatus& operator=(const ServiceStatus&) = delete;

  // Before InitApp: STATUS=starting.
  void Starting();
  // After InitApp: READY=1 with the first status, then the two timers.
  void Started(UnitCounter counter);
  // Sends STATUS= when the count differs from the last one sent.
  void Refresh();
  // The driver is ending: STOPPING=1 with STATUS=stopping, timers stopped.
  void Stopping();

  // "38 of 40 units answering".
  static std::string StatusText(const Units& units);

 private:
  ServiceNotifier* notifier_;
  EventLoop* loop_;
  UnitCounter counter_;
  std::string lastStatus_;
};

#endif  // QOR_APP_SERVICE_STATUS_H_
