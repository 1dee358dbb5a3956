#include "app/service_status.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/clock.h"
#include "platform/event_loop.h"

namespace {

class RecordingNotifier : public ServiceNotifier {
 public:
  explicit RecordingNotifier(uint64_t watchdogUsec)
      : watchdogUsec_(watchdogUsec) {}
  void Notify(const std::string& state) override { sent.push_back(state); }
  uint64_t WatchdogUsec() override { return watchdogUsec_; }
  int Count(const std::string& state) const {
    int n = 0;
    for (const auto& s : sent) n += s == state;
    return n;
  }
  std::vector<std::string> sent;

 private:
  uint64_t watchdogUsec_;
};

struct Fixture {
  explicit Fixture(uint64_t watchdogUsec)
      : notifier(watchdogUsec), loop(&clock), status(&notifier, &loop) {}
  void Run(int ms) {
    for (int i = 0; i < ms; ++i) {
      clock.Advance(1);
      loop.FireDueTimers();
    }
  }
  ManualClock clock;
  RecordingNotifier notifier;
  EventLoop loop;
  ServiceStatus status;
  ServiceStatus::Units units{4, 0};
};

TEST(ServiceStatus, ReadyComesWithTheFirstCount) {
  Fixture f(0);
  f.units = {3, 1};
  f.status.Starting();
  f.status.Started([&] { return f.units; });
  const std::vector<std::string> expected = {
      "STATUS=starting", "READY=1\nSTATUS=1 of 3 units answering"};
  EXPECT_EQ(f.notifier.sent, expected);
}

TEST(ServiceStatus, StatusIsSentOnlyWhenTheCountChanges) {
  Fixture f(0);
  f.status.Started([&] { return f.units; });
  f.Run(5000);
  EXPECT_EQ(f.notifier.sent.size(), 1u) << "nothing changed, nothing sent";

  f.units.answering = 4;
  f.Run(800);
  f.units.answering = 3;
  f.Run(800);
  f.Run(800);
  const std::vector<std::string> expected = {
      "READY=1\nSTATUS=0 of 4 units answering", "STATUS=4 of 4 units answering",
      "STATUS=3 of 4 units answering"};
  EXPECT_EQ(f.notifier.sent, expected);
}

TEST(ServiceStatus, KeepAliveAtHalfTheWatchdogPeriod) {
  struct Case {
    uint64_t watchdogUsec;
    int runMs;
    int expectedKeepAlives;
  };
  const Case cases[] = {
      {0, 60000, 0},          // no watchdog asked for: no keep-alive
      {10'000'000, 4999, 0},  // 10 s: the first one after 5 s
      {10'000'000, 5000, 1},  {10'000'000, 30000, 6},
      {3'000'000, 15000, 10},  // 3 s: every 1.5 s
  };
  for (const Case& c : cases) {
    Fixture f(c.watchdogUsec);
    f.status.Started([&] { return f.units; });
    f.Run(c.runMs);
    EXPECT_EQ(f.notifier.Count("WATCHDOG=1"), c.expectedKeepAlives)
        << c.watchdogUsec << " us after " << c.runMs << " ms";
  }
}

TEST(ServiceStatus, StoppingEndsTheKeepAlives) {
  Fixture f(2'000'000);
  f.status.Started([&] { return f.units; });
  f.Run(1000);
  ASSERT_EQ(f.notifier.Count("WATCHDOG=1"), 1);
  f.status.Stopping();
  f.units.answering = 2;
  f.Run(10000);
  EXPECT_EQ(f.notifier.Count("WATCHDOG=1"), 1);
  // A driver being restarted does not keep claiming its units answer.
  EXPECT_EQ(f.notifier.sent.back(), "STOPPING=1\nSTATUS=stopping");
  EXPECT_FALSE(f.loop.HasTimer(ServiceStatus::kStatusTimer));
}

}  // namespace
