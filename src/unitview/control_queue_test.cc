#include "unitview/control_queue.h"

#include <gtest/gtest.h>

#include <future>

#include "unitview/testing/fake_unit_source.h"

namespace {

const ControlPoint kOutput1{ControlKind::kOutputState, 1};
const ControlPoint kOutput2{ControlKind::kOutputState, 2};

class ControlQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int device : {1, 2}) {
      DeviceStatus d;
      d.site = "studio";
      d.device = device;
      d.infodriverConnected = d.driverConnected = true;
      source_.SetDevice(d);
    }
  }

  // Submits and waits for the first stage.
  ControlUpdate Ask(ControlQueue& queue, const std::string& requester,
                    int device, const ControlPoint& point,
                    int64_t deadlineMs = 1'000'000) {
    std::promise<ControlUpdate> first;
    auto answered = first.get_future();
    queue.Submit(requester, "studio", device, 1, point, "1", deadlineMs,
                 [&](const ControlUpdate& u) { first.set_value(u); });
    return answered.get();
  }

  FakeUnitSource source_;
  ManualClock clock_{1000};
};

TEST_F(ControlQueueTest, AStalledDeviceHoldsUpOnlyItself) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  source_.answer = [&](const ControlUpdate& asked) {
    if (asked.device == 1) released.wait();
    return asked;
  };
  ControlQueue queue(&source_, {}, &clock_);
  std::promise<ControlUpdate> stalled;
  queue.Submit("a", "studio", 1, 1, kOutput1, "1", 1'000'000,
               [&](const ControlUpdate& u) { stalled.set_value(u); });
  EXPECT_EQ(ControlStage::kAccepted, Ask(queue, "b", 2, kOutput1).stage);
  release.set_value();
  EXPECT_EQ(ControlStage::kAccepted, stalled.get_future().get().stage);
}

TEST_F(ControlQueueTest, LimitsAreBusyRefusalsThatAskNothing) {
  ControlQueue queue(&source_, {8, 10}, &clock_);
  // One request for a point is in flight until its final stage.
  ControlUpdate first = Ask(queue, "a", 1, kOutput1);
  ASSERT_EQ(ControlStage::kAccepted, first.stage);
  ControlUpdate again = Ask(queue, "a", 1, kOutput1);
  EXPECT_TRUE(again.busy);
  EXPECT_EQ(ControlStage::kRefused, again.stage);
  source_.FinishControl(first.id, ControlStage::kConfirmed);
  ControlUpdate after = Ask(queue, "a", 1, kOutput1);
  EXPECT_FALSE(after.busy) << after.reason;
  source_.FinishControl(after.id, ControlStage::kConfirmed);

  // Ten a second per requester: the 11th is busy, others are not held up,
  // and a second later there is room again.
  source_.AnswerControl(ControlStage::kConfirmed);
  int busy = 0;
  for (int i = 0; i < 11; ++i) busy += Ask(queue, "b", 2, kOutput2).busy;
  EXPECT_EQ(1, busy);
  EXPECT_FALSE(Ask(queue, "c", 2, kOutput2).busy);
  clock_.Advance(1000);
  EXPECT_FALSE(Ask(queue, "b", 2, kOutput2).busy);
  EXPECT_EQ(14u, source_.requests().size());
  // The busy ones never reached the source, so they go to the trail here.
  EXPECT_EQ(2u, source_.recorded().size());
}

TEST_F(ControlQueueTest, ARequestPastItsDeadlineIsNeverPassedOn) {
  ControlQueue queue(&source_, {}, &clock_);
  ControlUpdate late = Ask(queue, "a", 1, kOutput1, clock_.NowMs());
  EXPECT_EQ(ControlStage::kExpired, late.stage);
  EXPECT_TRUE(source_.requests().empty());
  ASSERT_EQ(1u, source_.recorded().size());
  EXPECT_EQ(ControlStage::kExpired, source_.recorded()[0].refusal.stage);
}

// A flood of refusals reaches the trail at kPerSecond a second; the next
// one taken says how many were left out.
TEST(RefusalRecordRateTest, TakesTwentyASecondAndSaysWhatItLeftOut) {
  RefusalRecordRate rate;
  std::string reason = "r";
  int taken = 0;
  for (int i = 0; i < 25; ++i) taken += rate.Take(5'000, &reason);
  EXPECT_EQ(RefusalRecordRate::kPerSecond, taken);
  EXPECT_EQ("r", reason);
  EXPECT_TRUE(rate.Take(6'000, &reason));
  EXPECT_EQ(
      "r (5 refusals before this one were not recorded: more than 20 a "
      "second)",
      reason);
  reason = "s";
  EXPECT_TRUE(rate.Take(6'001, &reason));
  EXPECT_EQ("s", reason);
}

}  // namespace
