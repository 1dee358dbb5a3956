// The communication supervision over many stop/start cycles of a unit's
// agent, on a manual clock: the poll timer runs on an event loop, the agent
// answers after a short latency while it is up, and the SNMP layer reports
// every unanswered request as timed out after its timeout, as the real layer
// does (late timeouts of old requests included).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/snmp_device.h"
#include "engine/testing/engine_test_util.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "snmp/testing/fake_snmp_api.h"

namespace {

using engine_test::LogCapture;
using engine_test::SimAgent;
using engine_test::TestUnit;
using SentPdu = FakeSnmpApi::SentPdu;

constexpr const char* kAddress = "127.0.1.113";
constexpr int kLayerTimeoutMs = 2000;
constexpr int kLatencyMs = 1;
constexpr int kTimerPoll = 1;

class SupervisionSim {
 public:
  SupervisionSim(FakeSnmpApi& fake, int pollDelayMs)
      : fake_(fake), pollDelay_(pollDelayMs) {
    agent_.AddMduObjects(30);
    unit_ = std::make_unique<TestUnit>(3);
    unit_->setAddress(kAddress);
    unit_->setCommunity("private");
    EXPECT_EQ(0, unit_->init_snmp(unit_->address, unit_->community, 161,
                                  "127.0.0.1", 0));
    unit_->onCommsChanged = [this](bool failed) {
      (failed ? failTicks_ : okTicks_).push_back(ticks_);
      if (!failed) walksAtOk_.push_back(unit_->fastPollDoneCalls);
    };
    loop_.SetTimer(kTimerPoll, pollDelay_, [this] {
      ++ticks_;
      lastTickAt_ = clock_.NowMs();
      unit_->PollNext();
    });
    unit_->PollNext();  // as the model does after opening the session
  }
  ~SupervisionSim() {
    loop_.KillTimer(kTimerPoll);
    unit_.reset();
  }

  // Moves the clock on by |ms|, delivering everything that falls due.
  void RunFor(int64_t ms) {
    const int64_t end = clock_.NowMs() + ms;
    for (;;) {
      Dispatch();
      const int64_t next = loop_.MsUntilNextTimer();
      if (next < 0 || clock_.NowMs() + next > end) break;
      clock_.Advance(next);
      loop_.FireDueTimers();
      minOutstanding_ = std::min(minOutstanding_, unit_->outstanding.load());
    }
    clock_.Set(end);
    loop_.FireDueTimers();
    Dispatch();
  }

  // Runs until the next poll tick has fired and then half a period more, so
  // a stop or start lands between two ticks.
  void RunToMidInterval() {
    const int start = ticks_;
    while (ticks_ == start) RunFor(pollDelay_ / 4);
    RunFor(lastTickAt_ + pollDelay_ / 2 - clock_.NowMs());
  }

  // Runs until |done| holds or |maxTicks| more ticks have fired.
  void RunUntil(const std::function<bool()>& done, int maxTicks) {
    const int limit = ticks_ + maxTicks;
    while (!done() && ticks_ < limit) RunFor(pollDelay_ / 4);
  }

  void SetAgentUp(bool up) { agentUp_ = up; }

  TestUnit& unit() { return *unit_; }
  int ticks() const { return ticks_; }
  const std::vector<int>& failTicks() const { return failTicks_; }
  const std::vector<int>& okTicks() const { return okTicks_; }
  // `fastPollDoneCalls` at each "Comms OK".
  const std::vector<int>& walksAtOk() const { return walksAtOk_; }
  int32_t minOutstanding() const { return minOutstanding_; }
  int lateTimeouts() const { return lateTimeouts_; }
  int64_t now() const { return clock_.NowMs(); }

 private:
  // Every request sent since the last look gets its fate: an answer after
  // the latency when the agent is up then, else a timeout from the layer.
  void Dispatch() {
    auto batch = fake_.sent();
    fake_.ClearSent();
    for (const SentPdu& request : batch) {
      loop_.AddOneShot(kLatencyMs, [this, request] {
        if (agentUp_) {
          agent_.Answer(fake_, request);
          return;
        }
        const int32_t generation = okTicks_.size();
        loop_.AddOneShot(
            kLayerTimeoutMs - kLatencyMs, [this, request, generation] {
              if (static_cast<int32_t>(okTicks_.size()) != generation) {
                ++lateTimeouts_;
              }
              fake_.DeliverTimeout(request);
            });
      });
    }
  }

  FakeSnmpApi& fake_;
  int pollDelay_;
  ManualClock clock_{1000000};
  EventLoop loop_{&clock_};
  SimAgent agent_;
  std::unique_ptr<TestUnit> unit_;
  bool agentUp_ = true;
  int ticks_ = 0;
  std::vector<int> failTicks_;
  std::vector<int> okTicks_;
  std::vector<int> walksAtOk_;
  int64_t lastTickAt_ = 0;
  int32_t minOutstanding_ = 0;
  int lateTimeouts_ = 0;
};

struct Cycle {
  int pollDelayMs;
  bool stopDuringFastWalk;
};
void PrintTo(const Cycle& c, std::ostream* os) {
  *os << c.pollDelayMs << " ms" << (c.stopDuringFastWalk ? ", fast walk" : "");
}

class SupervisionTest : public ::testing::TestWithParam<Cycle> {
 protected:
  void SetUp() override { SnmpDevice::nextRequestNumber = 0; }
  FakeSnmpApi fake;
  ScopedSnmpApi use{&fake};
  LogCapture log{std::string(kAddress) + " - "};
};

TEST_P(SupervisionTest, EveryStopIsNoticedAfterSixMissedTicks) {
  const Cycle& c = GetParam();
  SupervisionSim sim(fake, c.pollDelayMs);
  TestUnit& unit = sim.unit();
  sim.RunFor(100);
  ASSERT_TRUE(unit.commsOk);

  // Down long enough for several ticks of seeking, so that requests sent
  // while down time out after the agent is back.
  const int downTicks = 10;
  std::vector<int> ticksToFailure;
  std::vector<int> ticksToRecovery;
  for (int cycle = 0; cycle < 10; ++cycle) {
    // Up: the fast walk that followed "Comms OK" completes and the
    // background walk runs.
    sim.RunToMidInterval();
    sim.RunToMidInterval();
    sim.RunToMidInterval();
    ASSERT_GT(unit.fastPollDoneCalls, sim.walksAtOk().back())
        << "cycle " << cycle << ": the fast walk stalled";
    const uint32_t repliesBefore = unit.replyCount;
    sim.RunToMidInterval();
    ASSERT_EQ(repliesBefore + 1, unit.replyCount)
        << "cycle " << cycle << ": the background walk stalled";
    ASSERT_TRUE(unit.commsOk);
    ASSERT_FALSE(unit.fastPoll);

    if (c.stopDuringFastWalk) {
      // A restart of the scan (as after a cold-start trap), stopped after a
      // few values while the fast walk has a request in flight.
      unit.startScan();
      unit.PollNext();
      sim.RunFor(5 * kLatencyMs);
      ASSERT_TRUE(unit.fastPoll);
      ASSERT_TRUE(unit.commsOk);
      ASSERT_TRUE(unit.scanUnanswered);
    }

    // Stop.
    sim.SetAgentUp(false);
    const int stopTick = sim.ticks();
    const size_t failuresBefore = sim.failTicks().size();
    sim.RunUntil([&] { return sim.failTicks().size() > failuresBefore; }, 20);
    ASSERT_EQ(failuresBefore + 1, sim.failTicks().size())
        << "cycle " << cycle << ": failure never declared";
    ticksToFailure.push_back(sim.failTicks().back() - stopTick);
    EXPECT_FALSE(unit.commsOk);
    sim.RunUntil([] { return false; }, stopTick + downTicks - sim.ticks());
    sim.RunToMidInterval();

    // Start: the next accepted value says so.
    sim.SetAgentUp(true);
    const int startTick = sim.ticks();
    const size_t oksBefore = sim.okTicks().size();
    sim.RunUntil([&] { return sim.okTicks().size() > oksBefore; }, 5);
    ASSERT_EQ(oksBefore + 1, sim.okTicks().size()) << "cycle " << cycle;
    ticksToRecovery.push_back(sim.okTicks().back() - startTick);
    EXPECT_TRUE(unit.commsOk);
  }

  // A stop in the background walk is followed by one tick that sends and
  // six that miss; in a fast walk the request is already in flight.
  const int expected = c.stopDuringFastWalk ? 6 : 7;
  EXPECT_THAT(ticksToFailure, ::testing::Each(expected));
  EXPECT_THAT(ticksToRecovery, ::testing::Each(1));
  EXPECT_EQ(10, log.CountTrace("Comms Failed"));
  EXPECT_EQ(c.stopDuringFastWalk ? 21 : 11, log.CountTrace("Comms OK"));
  if (c.pollDelayMs < kLayerTimeoutMs) {
    // The case that used to hide failures did happen: timeouts of requests
    // sent while the agent was down arrived after it was back.
    EXPECT_GT(sim.lateTimeouts(), 0);
    EXPECT_LT(sim.minOutstanding(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    PollDelays, SupervisionTest,
    ::testing::Values(Cycle{250, false}, Cycle{250, true}, Cycle{1000, false},
                      Cycle{1000, true}, Cycle{2000, false}, Cycle{2000, true},
                      Cycle{5000, false}, Cycle{5000, true}),
    [](const auto& info) {
      return std::to_string(info.param.pollDelayMs) +
             (info.param.stopDuringFastWalk ? "msFastWalk" : "msBackground");
    });

}  // namespace
