#include "mqtt_bridge.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>

#include "mqtt/mqtt_topics.h"
#include "mqtt/testing/fake_mqtt_client.h"
#include "nlohmann/json.hpp"
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

// A wall-clock deadline |ms| from now, as a requester on another host
// writes it.
std::string DeadlineIn(int64_t ms) {
  return DeadlineText(std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count() +
                      ms);
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
  // A names file of the test's own, removed when the test ends.
  std::string WriteNames(const std::string& text) {
    char path[] = "/tmp/qor_bridge_names_XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    namesPath_ = path;
    std::ofstream(namesPath_) << text;
    return namesPath_;
  }
  std::string namesPath_;

  void Make(bool allowControl, const std::string& namesFile = "",
            bool allowProtected = false) {
    BridgeOptions o;
    o.site = "s";
    o.allowControl = allowControl;
    o.haDiscoveryPrefix = discoveryPrefix_;
    o.allowProtected = allowProtected;
    if (!namesFile.empty()) o.namesFiles[1] = namesFile;
    bridge_ = std::make_unique<MqttBridge>(&source_, &client_, o);
    bridge_->Attach();
  }
  void TearDown() override {
    if (bridge_) bridge_->Detach();
    if (!namesPath_.empty()) std::remove(namesPath_.c_str());
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
  // The last answer on |topic| as published.
  nlohmann::json RawResultOn(const std::string& topic) {
    std::vector<MqttMessage> all = client_.published();
    const MqttMessage* m = Find(all, topic);
    return m ? nlohmann::json::parse(m->payload) : nlohmann::json();
  }

  FakeUnitSource source_;
  FakeMqttClient client_;
  std::unique_ptr<MqttBridge> bridge_;
  std::string discoveryPrefix_;  // Home Assistant discovery when set
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
  // Who holds the site first, what its bridges left, then requests of this
  // site only, for points of one to three levels.
  EXPECT_EQ(
      client_.subscriptions(),
      (std::vector<std::string>{"qor/s/status", "qor/s/owner",
                                "qor/s/+/+/state", "qor/s/+/+/+/set",
                                "qor/s/+/+/+/+/set", "qor/s/+/+/+/+/+/set"}));
  ASSERT_TRUE(Find(all, "qor/s/control"));
  EXPECT_EQ(Find(all, "qor/s/control")->payload, "disabled");
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
  // When each point last changed, for a reader of values that may be stale.
  auto changed = nlohmann::json::parse(all[1].payload)["changed"];
  EXPECT_TRUE(ParseDeadlineText(changed.value("output/1", "")));
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
  client_.Deliver(Set("output/13", "1"));
  EXPECT_TRUE(ResultOn("qor/s/1/2/output/13/result", ControlStage::kRefused));
  // What was asked for, not a default point; and an id of its own.
  nlohmann::json asked = RawResultOn("qor/s/1/2/output/13/result");
  EXPECT_EQ(asked["point"], "output/13");
  EXPECT_TRUE(asked["slot"].is_null());
  EXPECT_GT(asked["id"].get<int>(), 0);
  client_.Deliver(Set("frobnicate", "1"));
  EXPECT_TRUE(ResultOn("qor/s/1/2/frobnicate/result", ControlStage::kRefused));
  client_.Deliver(
      MqttMessage{"qor/s/1/3/output/1/set", "1"});  // not configured
  EXPECT_TRUE(ResultOn("qor/s/1/3/output/1/result", ControlStage::kRefused));
  for (const char* value : {"2", "-1", "on", "1 ", "\xFF"})
    client_.Deliver(Set("output/1", value));
  client_.Deliver(Set("output/1/on_delay", "1.5"));
  client_.Deliver(Set("temperature_alarm_point", "129"));
  EXPECT_TRUE(source_.requests().empty());
}

// Each refusal names what was asked for, with its slot when it has one,
// and carries the request's own id.
TEST_F(MqttBridgeTest, RefusalsNameThePointAndSlotAskedFor) {
  const std::string names =
      WriteNames("[QOR_MDU_2]\nOutput2=Rack switch\nProtectedOutputs=2\n");
  Make(true, names);
  client_.Connect();
  // A protected output never goes off through the broker.
  client_.Deliver(Set("output/2", "0"));
  nlohmann::json guarded = RawResultOn("qor/s/1/2/output/2/result");
  EXPECT_EQ(guarded["stage"], "refused");
  EXPECT_NE(
      guarded["reason"].get<std::string>().find("(Rack switch) is protected"),
      std::string::npos);
  const struct {
    const char* point;
    nlohmann::json slot;
  } cases[] = {{"output/13", nullptr}, {"gpi/3", 3}, {"fuse/1", 61}};
  for (const auto& c : cases) {
    client_.Deliver(Set(c.point, "1"));
    nlohmann::json r =
        RawResultOn("qor/s/1/2/" + std::string(c.point) + "/result");
    EXPECT_EQ(r["stage"], "refused") << c.point;
    EXPECT_EQ(r["point"], c.point);
    EXPECT_EQ(r["slot"], c.slot) << c.point;
    EXPECT_GT(r["id"].get<int>(), 0) << c.point;
  }
  // A unit that is not answering: refused at once, nothing asked.
  source_.SetUnit(FakeUnit("s", 1, 2, {{41, "0"}, {99, "1"}}));
  client_.Deliver(Set("output/1", "1"));
  nlohmann::json r = RawResultOn("qor/s/1/2/output/1/result");
  EXPECT_EQ(r["stage"], "refused");
  EXPECT_NE(r["reason"].get<std::string>().find("not answering"),
            std::string::npos);
  EXPECT_TRUE(source_.requests().empty());
}

// With --allow-protected a protected output goes off when the payload
// names it; every refusal is in the trail under the user the requester
// gave, marked as not verified; the state carries the names.
TEST_F(MqttBridgeTest, AProtectedOutputGoesOffOnlyWhenAllowedAndNamed) {
  const std::string names =
      WriteNames("[QOR_MDU_2]\nOutput2=Rack switch\nProtectedOutputs=2\n");
  Make(true, names, true);
  client_.Connect();
  nlohmann::json state = nlohmann::json::parse(
      Find(client_.published(), "qor/s/1/2/state")->payload);
  EXPECT_EQ(state["outputs"][1]["name"], "Rack switch");
  EXPECT_EQ(state["outputs"][1]["protected"], true);
  const struct {
    const char* payload;
    size_t requests;  // the source's, after it
  } cases[] = {
      {"0", 0},
      {R"({"value":"0","confirm":"rack switch"})", 0},
      {R"({"value":"0","confirm":["Rack switch"]})", 0},
      {R"({"value":"0"})", 0},
      {R"({"value":"0","confirm":"Rack switch"})", 1},
  };
  for (const auto& c : cases) {
    MqttMessage m = Set("output/2", c.payload);
    m.user = "anna";
    client_.Deliver(m);
    EXPECT_TRUE(WaitUntil([&] {
      return source_.requests().size() == c.requests;
    })) << c.payload;
  }
  // A renamed output reads right on the broker before its unit changes.
  std::ofstream(names) << "[QOR_MDU_2]\nOutput2=Core switch\n"
                          "ProtectedOutputs=2\n";
  bridge_->RefreshNames();
  state = nlohmann::json::parse(
      Find(client_.published(), "qor/s/1/2/state")->payload);
  EXPECT_EQ(state["outputs"][1]["name"], "Core switch");
  ASSERT_EQ(source_.requests().size(), 1u);
  EXPECT_EQ(source_.requests()[0].value, "0");
  std::vector<FakeUnitSource::Recorded> recorded = source_.recorded();
  ASSERT_EQ(recorded.size(), 4u);
  EXPECT_EQ(recorded[0].by.who, "site s, user anna (not verified)");
  EXPECT_EQ(recorded[0].by.via, "mqtt");
  EXPECT_EQ(recorded[0].refusal.point.name(), "output/2");
  EXPECT_NE(recorded[1].refusal.reason.find("confirm with its name"),
            std::string::npos);
}

// Delays are seconds on the broker both ways; the slot keeps tenths.
TEST_F(MqttBridgeTest, DelaysAreSecondsOnTheirTopicsAndSetTopics) {
  source_.SetUnit(FakeUnit("s", 1, 2, {{41, "0"}, {81, "50"}, {99, "0"}}));
  Make(true);
  client_.Connect();
  EXPECT_EQ(Find(client_.published(), "qor/s/1/2/output/1/on_delay")->payload,
            "5");
  for (const char* bad : {"256", "1.5", "-1", "07"})
    client_.Deliver(Set("output/1/on_delay", bad));
  client_.Deliver(Set("output/1/on_delay", "7"));
  ASSERT_TRUE(WaitUntil([&] { return source_.requests().size() == 1; }));
  EXPECT_EQ(source_.requests()[0].value, "70");
  ASSERT_TRUE(WaitUntil([&] {
    return RawResultOn("qor/s/1/2/output/1/on_delay/result")["value"] == "7";
  }));
}

// A unit gone from the settings leaves nothing on the broker, whether it
// goes while the bridge runs or while it is away (the broker still holds
// what the bridge before published).
TEST_F(MqttBridgeTest, AUnitNoLongerConfiguredHasItsTopicsCleared) {
  discoveryPrefix_ = "ha";
  Make(false);
  client_.Connect();
  auto all = client_.TakePublished();
  const std::string output1 = "ha/binary_sensor/qor_s_1_2_output_1/config";
  ASSERT_TRUE(Find(all, output1));
  EXPECT_TRUE(Find(all, output1)->retain);
  ASSERT_TRUE(Find(all, "ha/binary_sensor/qor_s_bridge/config"));
  DeviceStatus d = source_.Devices()[0];
  d.units = {};
  source_.SetDevice(d);
  all = client_.TakePublished();
  ASSERT_TRUE(Find(all, "qor/s/1/2/state"));
  EXPECT_EQ(Find(all, "qor/s/1/2/state")->payload, "");
  EXPECT_EQ(Find(all, "qor/s/1/2/output/1")->payload, "");
  EXPECT_TRUE(Find(all, "qor/s/1/2/output/1")->retain);
  ASSERT_TRUE(Find(all, output1));
  EXPECT_EQ(Find(all, output1)->payload, "");
  EXPECT_TRUE(Find(all, output1)->retain);

  // Left by an earlier run: unit 7 of this device, and unit 1 of device 9
  // that this bridge does not serve (another bridge of the site may).
  client_.Deliver(MqttMessage{"qor/s/1/7/state", "{}", 0, true});
  client_.Deliver(MqttMessage{"qor/s/9/1/state", "{}", 0, true});
  all = client_.TakePublished();
  ASSERT_TRUE(Find(all, "qor/s/1/7/comms"));
  EXPECT_EQ(Find(all, "qor/s/1/7/comms")->payload, "");
  EXPECT_EQ(Find(all, "qor/s/1/7/state")->payload, "");
  ASSERT_TRUE(Find(all, "ha/switch/qor_s_1_7_output_12/config"));
  EXPECT_EQ(Find(all, "ha/switch/qor_s_1_7_output_12/config")->payload, "");
  EXPECT_FALSE(Find(all, "qor/s/9/1/state"));
}

TEST_F(MqttBridgeTest, ARequestGoesToTheSourceAndEveryStageIsPublished) {
  Make(true);
  client_.Connect();
  MqttMessage m = Set("output/3", "1");
  m.responseTopic = "qor-response/me";
  m.correlationData = std::string("\x00\x01id", 4);
  client_.Deliver(m);
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("qor-response/me", ControlStage::kAccepted).has_value();
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
    if (p.topic != "qor-response/me") continue;
    EXPECT_EQ(p.correlationData, m.correlationData);
    EXPECT_FALSE(p.retain);
    ++seen;
  }
  EXPECT_EQ(seen, 2);
  EXPECT_TRUE(ResultOn("qor-response/me", ControlStage::kConfirmed));
  // Every answer carries the bridge's own id for the request.
  EXPECT_EQ(RawResultOn("qor-response/me")["id"], 1);
}

// The same request delivered again after a reconnection is not carried out
// twice, nor answered again.
TEST_F(MqttBridgeTest, ARequestDeliveredTwiceIsTakenOnce) {
  Make(true);
  client_.Connect();
  MqttMessage m = Set("output/3", "1");
  m.responseTopic = "qor-response/me";
  m.correlationData = "7";
  client_.Deliver(m);
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("qor-response/me", ControlStage::kAccepted).has_value();
  }));
  client_.Disconnect();
  client_.Connect();
  client_.TakePublished();
  client_.Deliver(m);
  EXPECT_EQ(bridge_->counters().duplicates, 1u);
  EXPECT_EQ(source_.requests().size(), 1u);
  EXPECT_FALSE(Find(client_.published(), "qor-response/me"));
}

// A response topic names where the bridge publishes: only under
// qor-response/, never on a site's own topics.
TEST_F(MqttBridgeTest, AResponseTopicOutsideThePrefixIsNeverPublishedTo) {
  Make(false);
  client_.Connect();
  for (const char* elsewhere :
       {"qor/other/1/1/location/set", "qor/s/1/status", "replies/me",
        "qor-response/", "qor-response/+"}) {
    MqttMessage m = Set("output/3", "1");
    m.responseTopic = elsewhere;
    client_.TakePublished();
    client_.Deliver(m);
    auto all = client_.published();
    EXPECT_FALSE(Find(all, elsewhere)) << elsewhere;
  }
  auto refused = ResultOn("qor/s/1/2/output/3/result", ControlStage::kRefused);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->reason.find("qor-response/"), std::string::npos);
}

// A deadline from another host's clock: one already past never reaches the
// driver, nor does one too far ahead to be anything but clock skew.
TEST_F(MqttBridgeTest, ADeadlinePastExpiresAndOneFarAheadIsRefusedAsSkew) {
  Make(true);
  client_.Connect();
  struct Case {
    int64_t inMs;
    ControlStage stage;
    const char* reason;
  } cases[] = {{-5000, ControlStage::kExpired, "deadline passed"},
               {60000, ControlStage::kRefused, "clock skew"}};
  for (const Case& c : cases) {
    MqttMessage m = Set("output/3", "1");
    m.deadline = DeadlineIn(c.inMs);
    client_.Deliver(m);
    auto answer = ResultOn("qor/s/1/2/output/3/result", c.stage);
    ASSERT_TRUE(answer) << c.reason;
    EXPECT_NE(answer->reason.find(c.reason), std::string::npos)
        << answer->reason;
  }
  client_.Deliver([&] {
    MqttMessage m = Set("output/4", "1");
    m.deadline = DeadlineIn(4000);
    return m;
  }());
  ASSERT_TRUE(WaitUntil([&] { return source_.requests().size() == 1; }));
  // Taken over to this host's clock: about 4 s from now, not 10.
  EXPECT_LE(source_.requests()[0].deadlineMs, TheSystemClock().NowMs() + 4000);
  EXPECT_GT(source_.requests()[0].deadlineMs, TheSystemClock().NowMs());
}

// A flood on one set topic becomes one request in flight; the rest are
// refused as busy, and nothing waits in memory for the driver.
TEST_F(MqttBridgeTest, AFloodIsRefusedBusyBeyondOneRequestInFlight) {
  Make(true);
  client_.Connect();
  for (int i = 0; i < 2000; ++i)
    client_.Deliver(Set("output/2", i % 2 ? "1" : "0"));
  ASSERT_TRUE(WaitUntil([&] { return source_.requests().size() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(source_.requests().size(), 1u);
  auto busy = ResultOn("qor/s/1/2/output/2/result", ControlStage::kRefused);
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->busy);
  EXPECT_NE(RawResultOn("qor/s/1/2/output/2/result")["id"], 0);
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

// Requests for one device go to its driver one at a time; one that waited
// behind a slow driver past its deadline is never sent, and another
// device's driver is not held up meanwhile.
TEST_F(MqttBridgeTest, ARequestThatWaitedPastItsDeadlineIsNeverSent) {
  DeviceStatus other;
  other.site = "s";
  other.device = 2;
  other.infodriverConnected = other.driverConnected = true;
  other.units = {1};
  source_.SetDevice(other);
  source_.SetUnit(FakeUnit("s", 2, 1, {{41, "0"}, {99, "0"}}));
  Make(true);
  client_.Connect();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  source_.answer = [released](const ControlUpdate& asked) {
    if (asked.device == 1) released.wait();
    return asked;
  };
  client_.Deliver(Set("output/1", "1"));
  ASSERT_TRUE(WaitUntil([&] { return source_.requests().size() == 1; }));
  MqttMessage late = Set("output/3", "0");
  late.deadline = DeadlineIn(300);
  client_.Deliver(late);
  client_.Deliver(MqttMessage{"qor/s/2/1/output/1/set", "1"});
  EXPECT_TRUE(WaitUntil([&] {
    return ResultOn("qor/s/2/1/output/1/result", ControlStage::kAccepted)
        .has_value();
  }));
  // Well past the deadline, while the first is still with its driver.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  release.set_value();
  ASSERT_TRUE(WaitUntil([&] {
    return ResultOn("qor/s/1/2/output/3/result", ControlStage::kExpired)
        .has_value();
  }));
  EXPECT_NE(ResultOn("qor/s/1/2/output/3/result", ControlStage::kExpired)
                ->reason.find("not sent"),
            std::string::npos);
  EXPECT_TRUE(ResultOn("qor/s/1/2/output/1/result", ControlStage::kAccepted));
  ASSERT_EQ(source_.requests().size(), 2u);
  EXPECT_EQ(source_.requests()[0].point.name(), "output/1");
  EXPECT_EQ(source_.requests()[1].device, 2);
}

}  // namespace
