#include "mqtt_bridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "fake_mqtt_client.h"
#include "mqtt_topics.h"
#include "unitview/testing/fake_unit_source.h"

namespace {

bool WaitUntil(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

const MqttMessage* Find(const std::vector<MqttMessage>& all,
                        const std::string& topic) {
  const MqttMessage* last = nullptr;
  for (const MqttMessage& m : all)
    if (m.topic == topic) last = &m;
  return last;
}

class MqttBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceStatus d;
    d.site = "s";
    d.device = 1;
    d.infodriverConnected = d.driverConnected = true;
    d.units = {2};
    source_.SetDevice(d);
    source_.SetUnit(FakeUnit("s", 1, 2, {{41, "0"}, {42, "1"}, {99, "0"}}));
  }
  void Make(bool allowControl, int waitLimitMs = kControlDeadlineMs) {
    BridgeOptions o;
    o.site = "s";
    o.allowControl = allowControl;
    o.waitLimitMs = waitLimitMs;
    bridge_ = std::make_unique<MqttBridge>(&source_, &client_, o);
    bridge_->Attach();
  }
  void TearDown() override {
    if (bridge_) bridge_->Detach();
  }
  // A request as a client sends it.
  MqttMessage Set(const std::string& point, const std::string& value) {
    MqttMessage m;
    m.topic = "qor/s/1/2/" + point + "/set";
    m.payload = value;
    return m;
  }
  std::optional<ControlUpdate> ResultOn(const std::string& topic,
                                        ControlStage stage) {
    for (const MqttMessage& m : client_.published())
      if (m.topic == topic)
        if (auto u = ParseControlResultPayload(m.payload);
            u && u->stage == stage)
          return u;
    return std::nullopt;
  }

  FakeUnitSource source_;
  FakeMqttClient client_;
  std::unique_ptr<MqttBridge> bridge_;
};

TEST_F(MqttBridgeTest, ConnectingPublishesTheWholeStateRetainedThenOnline) {
  Make(false);
  client_.Connect();
  auto all = client_.published();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().topic, "qor/s/status");
  EXPECT_EQ(all.back().payload, "online");
  for (const MqttMessage& m : all) EXPECT_TRUE(m.retain) << m.topic;
  ASSERT_TRUE(Find(all, "qor/s/1/2/output/2"));
  EXPECT_EQ(Find(all, "qor/s/1/2/output/2")->payload, "1");
  EXPECT_EQ(Find(all, "qor/s/1/2/comms")->payload, "ok");
  ASSERT_TRUE(Find(all, "qor/s/1/2/state"));
  ASSERT_TRUE(Find(all, "qor/s/1/status"));
  auto status =
      ParseDeviceStatusPayload("s", 1, Find(all, "qor/s/1/status")->payload);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->driverConnected);
  // Points the unit does not report are never published (nothing to clear).
  EXPECT_FALSE(Find(all, "qor/s/1/2/output/12"));
  // Requests of this site only, for points of one to three levels.
  EXPECT_EQ(client_.subscriptions(),
            (std::vector<std::string>{"qor/s/+/+/+/set", "qor/s/+/+/+/+/set",
                                      "qor/s/+/+/+/+/+/set"}));
  // The retain flag as published, and no kept copies: a retained request
  // must be seen as such to be ignored.
  EXPECT_EQ(client_.lastOptions, MqttClient::kRetainAsPublished |
                                     MqttClient::kNoRetainedOnSubscribe);
}

TEST_F(MqttBridgeTest, AChangePublishesOnlyTheTopicsThatChanged) {
  Make(false);
  client_.Connect();
  client_.TakePublished();
  source_.SetUnit(FakeUnit("s", 1, 2, {{41, "1"}, {42, "1"}, {99, "0"}}));
  auto all = client_.TakePublished();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].topic, "qor/s/1/2/output/1");
  EXPECT_EQ(all[0].payload, "1");
  EXPECT_EQ(all[1].topic, "qor/s/1/2/state");
  // The same state again publishes nothing.
  source_.SetUnit(FakeUnit("s", 1, 2, {{41, "1"}, {42, "1"}, {99, "0"}}));
  EXPECT_TRUE(client_.TakePublished().empty());
  // A point that stops being reported is cleared.
  source_.SetUnit(FakeUnit("s", 1, 2, {{41, "1"}, {99, "0"}}));
  all = client_.TakePublished();
  ASSERT_TRUE(Find(all, "qor/s/1/2/output/2"));
  EXPECT_EQ(Find(all, "qor/s/1/2/output/2")->payload, "");
  EXPECT_TRUE(Find(all, "qor/s/1/2/output/2")->retain);
}

TEST_F(MqttBridgeTest, NothingQueuesWhileAwayAndReconnectingSendsTheLatest) {
  Make(false);
  client_.Connect();
  client_.Disconnect();
  client_.TakePublished();
  for (int i = 0; i < 1000; ++i)
    source_.SetUnit(FakeUnit(
        "s", 1, 2,
        {{41, std::to_string(i % 2)}, {98, std::to_string(i)}, {99, "0"}}));
  EXPECT_TRUE(client_.TakePublished().empty());
  client_.Connect();
  auto all = client_.TakePublished();
  EXPECT_EQ(Find(all, "qor/s/1/2/location")->payload, "999");
  EXPECT_EQ(Find(all, "qor/s/1/2/output/1")->payload, "1");
  // Output 2 went away while the broker was away: its topic is cleared.
  ASSERT_TRUE(Find(all, "qor/s/1/2/output/2"));
  EXPECT_EQ(Find(all, "qor/s/1/2/output/2")->payload, "");
  // One message per topic, not one per change.
  EXPECT_LT(all.size(), 20u);
  EXPECT_EQ(bridge_->counters().republished, 2u);
}

TEST_F(MqttBridgeTest, WithoutAllowControlEveryRequestIsRefusedAndPublished) {
  Make(false);
  client_.Connect();
  client_.Deliver(Set("output/3", "1"));
  auto refused = ResultOn("qor/s/1/2/output/3/result", ControlStage::kRefused);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->reason.find("--allow-control"), std::string::npos);
  EXPECT_TRUE(source_.requests().empty());
}

TEST_F(MqttBridgeTest, BadInputIsIgnoredOrRefusedAndNothingIsRequested) {
  Make(true);
  client_.Connect();
  client_.TakePublished();
  MqttMessage retained = Set("output/1", "1");
  retained.retain = true;
  client_.Deliver(retained);
  EXPECT_TRUE(client_.published().empty());
  client_.Deliver(Set("output/1", ""));  // deleting a retained request
  EXPECT_TRUE(client_.published().empty());
  client_.Deliver(MqttMessage{"qor/other/1/2/output/1/set", "1"});
  client_.Deliver(MqttMessage{"qor/s/1/2/output/1/sett", "1"});
  client_.Deliver(MqttMessage{"garbage", "1"});
  EXPECT_TRUE(client_.published().empty());
  EXPECT_EQ(bridge_->counters().retainedIgnored, 1u);
  EXPECT_EQ(bridge_->counters().badMessages, 3u);

  client_.Deliver(Set("output/1", std::string(1 << 20, '1')));
  auto huge = ResultOn("qor/s/1/2/output/1/result", ControlStage::kRefused);
  ASSERT_TRUE(huge);
  EXPECT_NE(huge->reason.find("bytes long"), std::string::npos);
  EXPECT_LE(huge->value.size(), 64u);
  client_.Deliver(Set("output/99", "1"));
  EXPECT_TRUE(ResultOn("qor/s/1/2/output/99/result", ControlStage::kRefused));
  client_.Deliver(Set("frobnicate", "1"));
  EXPECT_TRUE(ResultOn("qor/s/1/2/frobnicate/result", ControlStage::kRefused));
  client_.Deliver(
      MqttMessage{"qor/s/1/3/output/1/set", "1"});  // not configured
  EXPECT_TRUE(ResultOn("qor/s/1/3/output/1/result", ControlStage::kRefused));
  for (const char* value : {"2", "-1", "on", "1 ", "\xFF"})
    client_.Deliver(Set("output/1", value));
  client_.Deliver(Set("output/1/on_delay", "15"));
  client_.Deliver(Set("temperature_alarm_point", "129"));
  EXPECT_TRUE(source_.requests().empty());
}

TEST_F(MqttBridgeTest, ARequestGoesToTheSourceAndEveryStageIsPublished) {
  Make(true);
  client_.Connect();
  MqttMessage m = Set("output/3", "1");
  m.responseTopic = "replies/me";
  m.correlationData = std::string("\x00\x01id", 4);
  client_.Deliver(m);
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("replies/me", ControlStage::kAccepted).has_value();
  }));
  ASSERT_EQ(source_.requests().size(), 1u);
  EXPECT_EQ(source_.requests()[0].point.name(), "output/3");
  EXPECT_EQ(source_.requests()[0].value, "1");
  ControlUpdate confirmed = *source_.Control(1);
  confirmed.stage = ControlStage::kConfirmed;
  confirmed.slotText = "1";
  source_.Advance(confirmed);
  source_.Advance(confirmed);  // a repeat is published once
  int seen = 0;
  for (const MqttMessage& p : client_.published()) {
    if (p.topic != "replies/me") continue;
    EXPECT_EQ(p.correlationData, m.correlationData);
    EXPECT_FALSE(p.retain);
    ++seen;
  }
  EXPECT_EQ(seen, 2);
  EXPECT_TRUE(ResultOn("replies/me", ControlStage::kConfirmed));
}

TEST_F(MqttBridgeTest, AStageThatOvertakesTheAnswerIsStillPublished) {
  Make(true);
  client_.Connect();
  // The source reports the confirmation before RequestControl returns.
  source_.answer = [&](const ControlUpdate& asked) {
    ControlUpdate confirmed = asked;
    confirmed.stage = ControlStage::kConfirmed;
    source_.Advance(confirmed);
    return asked;
  };
  client_.Deliver(Set("output/3", "0"));
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("qor/s/1/2/output/3/result", ControlStage::kConfirmed)
        .has_value();
  }));
  EXPECT_TRUE(ResultOn("qor/s/1/2/output/3/result", ControlStage::kAccepted));
}

TEST_F(MqttBridgeTest, ASourceRefusalIsPublishedWithItsReason) {
  Make(true);
  client_.Connect();
  source_.answer = [](const ControlUpdate& asked) {
    ControlUpdate r = asked;
    r.stage = ControlStage::kRefused;
    r.reason = "the driver answered 0";
    return r;
  };
  client_.Deliver(Set("output/3", "1"));
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("qor/s/1/2/output/3/result", ControlStage::kRefused)
        .has_value();
  }));
  EXPECT_EQ(
      ResultOn("qor/s/1/2/output/3/result", ControlStage::kRefused)->reason,
      "the driver answered 0");
}

// Requests go to the source one at a time; one that waited behind a slow
// driver past the limit is refused with its reason, never sent late.
TEST_F(MqttBridgeTest, ARequestThatWaitedTooLongIsNeverSent) {
  Make(true, 200);
  client_.Connect();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  source_.answer = [released](const ControlUpdate& asked) {
    released.wait();
    return asked;
  };
  client_.Deliver(Set("output/1", "1"));
  ASSERT_TRUE(WaitUntil([&] { return source_.requests().size() == 1; }));
  client_.Deliver(Set("output/3", "0"));
  // Well past the limit, while the first is still with its driver.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  release.set_value();
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("qor/s/1/2/output/3/result", ControlStage::kRefused)
        .has_value();
  }));
  EXPECT_NE(ResultOn("qor/s/1/2/output/3/result", ControlStage::kRefused)
                ->reason.find("not sent"),
            std::string::npos);
  EXPECT_TRUE(ResultOn("qor/s/1/2/output/1/result", ControlStage::kAccepted));
  ASSERT_EQ(source_.requests().size(), 1u);
  EXPECT_EQ(source_.requests()[0].point.name(), "output/1");
}

}  // namespace
