#include "app/service_status.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "app/app.h"

ServiceStatus::ServiceStatus(ServiceNotifier* notifier, EventLoop* loop)
    : notifier_(notifier), loop_(loop) {}

ServiceStatus::~ServiceStatus() {
  loop_->KillTimer(kStatusTimer);
  loop_->KillTimer(kWatchdogTimer);
}

std::string ServiceStatus::StatusText(const Units& units) {
  char text[64];
  std::snprintf(text, sizeof text, "%d of %d units answering", units.answering,
                units.configured);
  return text;
}

void ServiceStatus::Starting() { notifier_->Notify("STATUS=starting"); }

void ServiceStatus::Started(UnitCounter counter) {
  counter_ = std::move(counter);
  lastStatus_ = StatusText(counter_());
  notifier_->Notify("READY=1\nSTATUS=" + lastStatus_);
  loop_->SetTimer(kStatusTimer, kStatusPeriodMs, [this] { Refresh(); });
  // Half the manager's period leaves a whole period of slack for one late
  // tick before it gives up on the driver.
  const uint64_t watchdogUsec = notifier_->WatchdogUsec();
  if (watchdogUsec > 0) {
    const uint64_t halfMs = std::max<uint64_t>(watchdogUsec / 2000, 1);
    const int periodMs = static_cast<int>(std::min<uint64_t>(halfMs, 1 << 30));
    loop_->SetTimer(kWatchdogTimer, periodMs,
                    [this] { notifier_->Notify("WATCHDOG=1"); });
  }
}

void ServiceStatus::Refresh() {
  if (!counter_) return;
  std::string status = StatusText(counter_());
  if (status == lastStatus_) return;
  lastStatus_ = std::move(status);
  notifier_->Notify("STATUS=" + lastStatus_);
}

void ServiceStatus::Stopping() {
  loop_->KillTimer(kStatusTimer);
  loop_->KillTimer(kWatchdogTimer);
  notifier_->Notify("STOPPING=1\nSTATUS=stopping");
}
