#include "mqtt/broker_source.h"

#include <gtest/gtest.h>

#include <thread>

#include "mqtt/mqtt_topics.h"
#include "mqtt/testing/fake_mqtt_client.h"
#include "unitview/control_requester.h"
#include "unitview/testing/fake_unit_source.h"

namespace {

class BrokerSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto client = std::make_unique<FakeMqttClient>();
    client_ = client.get();
    BrokerSourceOptions o;
    o.mqtt.clientId = "viewer";
    source_ = std::make_unique<BrokerSource>(o, std::move(client));
    UnitSource::Listener l;
    l.unitChanged = [this](const UnitState& u) {
      std::lock_guard<std::mutex> lock(mutex_);
      changed_.push_back(u);
    };
    l.controlChanged = [this](const ControlUpdate& u) {
      std::lock_guard<std::mutex> lock(mutex_);
      controls_.push_back(u);
    };
    source_->AddListener(l);
    source_->Start();
    client_->Connect();
  }
  void Site(const std::string& site, int device, std::vector<int> units) {
    client_->Deliver({"qor/" + site + "/status", "online", 1, true});
    DeviceStatus d;
    d.site = site;
    d.device = device;
    d.infodriverConnected = d.driverConnected = true;
    d.units = units;
    client_->Deliver(
        {DeviceStatusTopic(site, device), DeviceStatusPayload(d), 1, true});
    for (int u : units)
      client_->Deliver(
          {StateTopic(site, device, u),
           StatePayload(FakeUnit(site, device, u, {{41, "0"}, {99, "0"}})), 0,
           true});
  }

  // The bridge's part, played on another thread as the broker would: each
  // set is answered with |stages| in turn; the test joins bridge_.
  void AnswerSetsWith(std::vector<ControlStage> stages) {
    client_->onPublish = [this, stages](const MqttMessage& set) {
      bridge_ = std::thread([this, stages, set] {
        ControlUpdate u;
        u.id = 900;  // the bridge's own numbering
        u.value = set.payload;
        for (ControlStage stage : stages) {
          u.stage = stage;
          if (stage == ControlStage::kConfirmed) u.slotText = set.payload;
          client_->Deliver({set.responseTopic, ControlResultPayload(u), 1,
                            false, "", set.correlationData});
        }
      });
    };
  }
  void TearDown() override {
    if (bridge_.joinable()) bridge_.join();
  }

  FakeMqttClient* client_ = nullptr;
  std::thread bridge_;
  std::unique_ptr<BrokerSource> source_;
  std::mutex mutex_;
  std::vector<UnitState> changed_;
  std::vector<ControlUpdate> controls_;
};

TEST_F(BrokerSourceTest, SubscribesToTheTreeAndItsOwnAnswers) {
  EXPECT_EQ(client_->subscriptions(),
            (std::vector<std::string>{"qor/+/status", "qor/+/control",
                                      "qor/+/+/status", "qor/+/+/+/state",
                                      source_->responseTopic()}));
  // Under the one prefix the bridges answer on, new with each process.
  EXPECT_EQ(source_->responseTopic().rfind("qor-response/viewer/", 0), 0u);
  EXPECT_GT(source_->responseTopic().size(), 20u);
}

TEST_F(BrokerSourceTest, TwoSitesShowSideBySideInOrder) {
  Site("b-site", 2, {1, 3});
  Site("a-site", 1, {5});
  auto units = source_->Units();
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].site, "a-site");
  EXPECT_EQ(units[1].site, "b-site");
  EXPECT_EQ(units[1].unit, 1);
  EXPECT_EQ(units[2].unit, 3);
  for (const UnitState& u : units) {
    EXPECT_TRUE(u.live);
    EXPECT_EQ(u.slots[41], "0");
  }
  EXPECT_EQ(source_->Devices().size(), 2u);
  EXPECT_EQ(source_->GetCounters().slotWrites, 3u);
}

TEST_F(BrokerSourceTest, ASiteThatGoesOfflineKeepsItsUnitsNotLive) {
  Site("a", 1, {1});
  changed_.clear();
  client_->Deliver({"qor/a/status", "offline", 1, false});
  auto u = source_->Unit("a", 1, 1);
  ASSERT_TRUE(u);
  EXPECT_FALSE(u->live);
  ASSERT_EQ(changed_.size(), 1u);
  EXPECT_FALSE(changed_[0].live);
  EXPECT_FALSE(source_->Devices()[0].driverConnected);
  auto refused = source_->RequestControl(
      "a", 1, 1, ControlPoint{ControlKind::kOutputState, 1}, "1",
      ControlDeadlineFrom(TheSystemClock().NowMs()));
  EXPECT_EQ(refused.stage, ControlStage::kRefused);
  EXPECT_NE(refused.reason.find("offline"), std::string::npos);
  client_->Deliver({"qor/a/status", "online", 1, false});
  EXPECT_TRUE(source_->Unit("a", 1, 1)->live);
}

TEST_F(BrokerSourceTest, ADeletedStateTopicRemovesTheUnit) {
  Site("a", 1, {1, 2});
  client_->Deliver({StateTopic("a", 1, 2), "", 0, true});
  EXPECT_FALSE(source_->Unit("a", 1, 2));
  EXPECT_TRUE(source_->Unit("a", 1, 1));
}

TEST_F(BrokerSourceTest, HostileMessagesChangeNothing) {
  Site("a", 1, {1});
  UnitState before = *source_->Unit("a", 1, 1);
  client_->Deliver({StateTopic("a", 1, 1), "{not json", 0, false});
  client_->Deliver(
      {StateTopic("a", 1, 1), std::string(1 << 20, '['), 0, false});
  client_->Deliver({"qor/a/1/status", "[1,2]", 0, false});
  client_->Deliver({"qor/a/1/99/state", "{}", 0, false});
  client_->Deliver(
      {source_->responseTopic(), "{\"stage\":\"confirmed\"}", 0, false});
  client_->Deliver({source_->responseTopic(), "garbage", 0, false});
  // No driver writes a slot text over 255 bytes.
  client_->Deliver(
      {StateTopic("a", 1, 1),
       StatePayload(FakeUnit("a", 1, 1, {{98, std::string(256, 'x')}})), 0,
       true});
  EXPECT_EQ(source_->Unit("a", 1, 1)->slots, before.slots);
  EXPECT_EQ(source_->Units().size(), 1u);
  EXPECT_TRUE(source_->Devices()[0].driverConnected);
}

TEST_F(BrokerSourceTest, UnknownUnitsAreRefusedWithoutAMessage) {
  Site("a", 1, {1});
  client_->TakePublished();
  auto r = source_->RequestControl(
      "a", 1, 7, ControlPoint{ControlKind::kOutputState, 1}, "1",
      ControlDeadlineFrom(TheSystemClock().NowMs()));
  EXPECT_EQ(r.stage, ControlStage::kRefused);
  EXPECT_NE(r.reason.find("unit 7"), std::string::npos);
  EXPECT_TRUE(client_->published().empty());
  EXPECT_EQ(source_->Control(r.id)->stage, ControlStage::kRefused);
  // Nor is a request whose deadline has passed.
  auto late = source_->RequestControl(
      "a", 1, 1, ControlPoint{ControlKind::kOutputState, 1}, "1",
      TheSystemClock().NowMs() - 1);
  EXPECT_EQ(late.stage, ControlStage::kExpired);
  EXPECT_TRUE(client_->published().empty());
}

// A site whose bridge takes no requests says so to the page, and its
// requests are refused here without a message.
TEST_F(BrokerSourceTest, ASiteThatTakesNoControlIsShownAndRefused) {
  Site("a", 1, {1});
  client_->Deliver({"qor/a/control", "disabled", 1, true});
  client_->TakePublished();
  EXPECT_EQ(DeviceStatusToJson(source_->Devices()[0])["site_control"], false);
  auto r = source_->RequestControl(
      "a", 1, 1, ControlPoint{ControlKind::kOutputState, 1}, "1",
      ControlDeadlineFrom(TheSystemClock().NowMs()));
  EXPECT_EQ(r.stage, ControlStage::kRefused);
  EXPECT_NE(r.reason.find("--allow-control"), std::string::npos);
  EXPECT_TRUE(client_->published().empty());
}

TEST_F(BrokerSourceTest, ARequestTravelsAsASetAndItsStagesComeBack) {
  Site("a", 1, {1});
  client_->TakePublished();
  AnswerSetsWith({ControlStage::kAccepted, ControlStage::kConfirmed});
  ControlUpdate first =
      source_->RequestControl("a", 1, 1, *ParseControlPoint("output/3"), "1",
                              TheSystemClock().NowMs() + 4500);
  bridge_.join();
  EXPECT_EQ(first.stage, ControlStage::kAccepted);
  EXPECT_EQ(first.site, "a");
  auto sets = client_->published();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].topic, "qor/a/1/1/output/3/set");
  EXPECT_EQ(sets[0].payload, "1");
  EXPECT_FALSE(sets[0].retain);
  // Never sent again by the library or the broker after a lost connection.
  EXPECT_EQ(sets[0].qos, 0);
  // The time left to the request's deadline, rounded up, and the deadline
  // itself for the bridge's clock.
  EXPECT_EQ(sets[0].expirySeconds, 5);
  auto wall = ParseDeadlineText(sets[0].deadline);
  ASSERT_TRUE(wall) << sets[0].deadline;
  const int64_t wallNow =
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count();
  EXPECT_GT(*wall, wallNow + 3000);
  EXPECT_LE(*wall, wallNow + 4500);
  EXPECT_EQ(sets[0].correlationData, std::to_string(first.id));
  ASSERT_EQ(controls_.size(), 1u);
  EXPECT_EQ(controls_[0].stage, ControlStage::kConfirmed);
  EXPECT_EQ(controls_[0].id, first.id);
  EXPECT_EQ(source_->Control(first.id)->stage, ControlStage::kConfirmed);
}

// The bridge that carries a request out checks a protected output's
// confirmation again and records who asked: both travel with the set.
TEST_F(BrokerSourceTest, WhoAskedAndTheConfirmingNameTravelWithTheSet) {
  Site("a", 1, {1});
  client_->TakePublished();
  AnswerSetsWith({ControlStage::kRefused});
  const struct {
    const char* confirm;
    const char* payload;
  } cases[] = {
      {"", "0"},
      {"Rack switch", R"({"confirm":"Rack switch","value":"0"})"},
  };
  for (const auto& c : cases) {
    const ControlRequester who{"web", "root-ada", "127.0.0.1", "", c.confirm};
    ScopedControlRequester by(who);
    source_->RequestControl("a", 1, 1, *ParseControlPoint("output/2"), "0",
                            TheSystemClock().NowMs() + 4500);
    bridge_.join();
    std::vector<MqttMessage> sets = client_->TakePublished();
    ASSERT_EQ(sets.size(), 1u) << c.confirm;
    EXPECT_EQ(sets[0].payload, c.payload);
    EXPECT_EQ(sets[0].user, "root-ada");
  }
}

}  // namespace
