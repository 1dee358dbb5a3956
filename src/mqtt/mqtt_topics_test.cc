#include "mqtt/mqtt_topics.h"

#include <gtest/gtest.h>

#include "nlohmann/json.hpp"
#include "unitview/testing/fake_unit_source.h"

namespace {

TEST(ParseTopicTest, NamesEveryTopicOfTheTree) {
  struct Case {
    const char* topic;
    ParsedTopic::Kind kind;
    const char* site;
    int device;
    int unit;
    const char* point;
  };
  const Case cases[] = {
      {"qor/studio-a/status", ParsedTopic::kSiteStatus, "studio-a", 0, 0, ""},
      {"qor/studio-a/12/status", ParsedTopic::kDeviceStatus, "studio-a", 12, 0,
       ""},
      {"qor/s/1/40/state", ParsedTopic::kUnitState, "s", 1, 40, ""},
      {"qor/s/999/1/state", ParsedTopic::kUnitState, "s", 999, 1, ""},
      {"qor/s/1/2/location/set", ParsedTopic::kSet, "s", 1, 2, "location"},
      {"qor/s/1/2/output/3/set", ParsedTopic::kSet, "s", 1, 2, "output/3"},
      {"qor/s/1/2/output/3/on_delay/set", ParsedTopic::kSet, "s", 1, 2,
       "output/3/on_delay"},
      // Numbers are written one way only: one unit, one topic.
      {"qor/s/01/2/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/02/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/0/2/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1000/2/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/41/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/0/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/+1/2/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/2/set", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/2/state/x", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/2/output/3", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor//1/2/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"QOR/s/1/2/state", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s", ParsedTopic::kOther, "", 0, 0, ""},
      {"", ParsedTopic::kOther, "", 0, 0, ""},
      {"qor/s/1/status/x", ParsedTopic::kOther, "", 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.topic);
    ParsedTopic t = ParseTopic(c.topic);
    EXPECT_EQ(t.kind, c.kind);
    if (c.kind == ParsedTopic::kOther) continue;
    EXPECT_EQ(t.site, c.site);
    EXPECT_EQ(t.device, c.device);
    EXPECT_EQ(t.unit, c.unit);
    EXPECT_EQ(t.point, c.point);
  }
}

TEST(SiteNameTest, OneTopicLevelOfPrintableText) {
  EXPECT_TRUE(ValidSiteName("studio-a"));
  EXPECT_TRUE(ValidSiteName(std::string(64, 'x')));
  for (std::string bad :
       {std::string(), std::string(65, 'x'), std::string("a/b"),
        std::string("a+"), std::string("#"), std::string("a\nb"),
        std::string("a\0b", 3)})
    EXPECT_FALSE(ValidSiteName(bad)) << Printable(bad);
}

TEST(ResultTopicTest, TheSetTopicWithResult) {
  EXPECT_EQ(ResultTopicFor("qor/s/1/2/output/3/set"),
            "qor/s/1/2/output/3/result");
  EXPECT_EQ(ResultTopicFor("qor/s/1/2/location/set"),
            "qor/s/1/2/location/result");
}

TEST(ResponseTopicTest, OnlyUnderTheOnePrefix) {
  EXPECT_TRUE(ValidResponseTopic("qor-response/viewer/1a2b"));
  for (const char* bad : {"qor-response/", "qor/s/1/1/location/set",
                          "qor-response/#", "qor-responses/x", ""})
    EXPECT_FALSE(ValidResponseTopic(bad)) << bad;
}

TEST(DeadlineTextTest, Rfc3339UtcWithMillisecondsBothWays) {
  EXPECT_EQ(DeadlineText(1796811072345), "2026-12-09T10:11:12.345Z");
  EXPECT_EQ(ParseDeadlineText("2026-12-09T10:11:12.345Z"), 1796811072345);
  for (const char* bad :
       {"2026-12-09T10:11:12Z", "2026-12-09 10:11:12.345Z",
        "2026-02-30T10:11:12.345Z", "2026-12-09T10:11:12.345+01:00",
        "2026-12-09T10:11:12.3450Z", "x"})
    EXPECT_FALSE(ParseDeadlineText(bad)) << bad;
}

TEST(PointPayloadsTest, SlotTextsForPointsAndWordsForComms) {
  UnitState s = FakeUnit("s", 1, 2,
                         {{3, "1"},
                          {23, "0"},
                          {41, "1"},
                          {42, "0"},
                          {83, "15"},
                          {62, "1"},
                          {78, "2"},
                          {79, "70"},
                          {94, "2"},
                          {95, "40"},
                          {96, "47"},
                          {97, "A+B"},
                          {98, "Rack 4"},
                          {99, "0"}});
  auto p = PointPayloads(s);
  EXPECT_EQ(p["gpi/3"], "1");
  EXPECT_EQ(p["gpi/3/polarity"], "0");
  EXPECT_EQ(p["output/1"], "1");
  EXPECT_EQ(p["output/2"], "0");
  EXPECT_EQ(p["output/3/on_delay"], "1.5");  // seconds, as in the state
  EXPECT_EQ(p["fuse/2"], "1");
  EXPECT_EQ(p["power_on_sequence"], "2");
  EXPECT_EQ(p["sequential_delay"], "7");
  EXPECT_EQ(p["temperature"], "40");
  EXPECT_EQ(p["temperature/alarm"], "1");
  EXPECT_EQ(p["temperature_alarm_point"], "47");
  EXPECT_EQ(p["power_inlets"], "A+B");
  EXPECT_EQ(p["location"], "Rack 4");
  EXPECT_EQ(p["comms"], "ok");
  // Not reported: an empty payload, which clears the retained topic.
  EXPECT_EQ(p["output/12"], "");
  EXPECT_EQ(p["gpi/16"], "");
  EXPECT_EQ(p["fuse/12"], "");
  // 12 outputs x 2 + 16 GPIs x 2 + 12 fuses + 8 single points.
  EXPECT_EQ(p.size(), 24u + 32u + 12u + 8u);
}

TEST(PointPayloadsTest, CommsAndTemperatureAlarmWords) {
  struct Case {
    const char* comms;
    const char* word;
    const char* tempState;
    const char* alarm;
  };
  const Case cases[] = {{"0", "ok", "1", "0"},
                        {"1", "failed", "2", "1"},
                        {"", "unknown", "", ""},
                        {"x", "failed", "x", "0"}};
  for (const Case& c : cases) {
    UnitState s = FakeUnit("s", 1, 1, {{99, c.comms}, {94, c.tempState}});
    auto p = PointPayloads(s);
    EXPECT_EQ(p["comms"], c.word) << c.comms;
    EXPECT_EQ(p["temperature/alarm"], c.alarm) << c.tempState;
  }
  // The last word of a driver that went away is not the unit's state.
  UnitState stale = FakeUnit("s", 1, 1, {{99, "0"}});
  stale.live = false;
  EXPECT_EQ(PointPayloads(stale)["comms"], "unknown");
  EXPECT_EQ(nlohmann::json::parse(StatePayload(stale))["comms"], "unknown");
}

TEST(StatePayloadTest, TheUnitComesBackFromItsSlots) {
  UnitState s = FakeUnit("s", 3, 7,
                         {{1, "1"},
                          {41, "0"},
                          {93, "authentication failed; wrong digest"},
                          {98, "caf\xC3\xA9 \"q\""},
                          {99, "0"}});
  s.live = false;
  s.snmpVersion = "3";
  s.snmpSecurityLevel = "authNoPriv";
  const UnitNames names{
      {{1, "Rack switch"}}, {{1, "Door"}}, {}, {{2, "Mains B"}}, {1}};
  std::string error;
  const std::string payload = StatePayload(s, nullptr, &names);
  auto back = ParseStatePayload("s", 3, 7, payload, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->names, names);
  // A name no names file could hold is not taken from the broker.
  nlohmann::json hostile = nlohmann::json::parse(payload);
  hostile["outputs"][0]["name"] = "two\nlines";
  hostile["gpis"][0]["name"] = std::string(kMaxPointNameBytes + 1, 'x');
  hostile["power_inlet_names"][0]["inlet"] = kMaxInlets + 1;
  hostile["snmp"]["security_level"] = "allPriv";
  back = ParseStatePayload("s", 3, 7, hostile.dump(), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->names, (UnitNames{{}, {}, {}, {}, {1}}));
  EXPECT_EQ(back->snmpSecurityLevel, "");
  back = ParseStatePayload("s", 3, 7, StatePayload(s), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->slots, s.slots);
  EXPECT_EQ(back->address, "127.0.1.7");
  EXPECT_EQ(back->snmpVersion, "3");
  EXPECT_EQ(back->snmpSecurityLevel, "authNoPriv");
  EXPECT_EQ(back->commsCause, "authentication failed: wrong digest");
  EXPECT_FALSE(back->live);
  EXPECT_EQ(back->site, "s");
  EXPECT_EQ(back->device, 3);
  EXPECT_EQ(back->unit, 7);
}

TEST(StatePayloadTest, TextsThatAreNotUtf8DoNotLoseTheUnit) {
  UnitState s = FakeUnit("s", 1, 1, {{98, "bad \xFF byte"}, {41, "1"}});
  std::string error;
  auto back = ParseStatePayload("s", 1, 1, StatePayload(s), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->slots[41], "1");
}

TEST(StatePayloadTest, MalformedPayloadsAreRefused) {
  const char* bad[] = {"",
                       "{",
                       "[]",
                       "\"text\"",
                       "{}",
                       "{\"slots\":5}",
                       "{\"slots\":{\"0\":\"1\"}}",
                       "{\"slots\":{\"100\":\"1\"}}",
                       "{\"slots\":{\"a\":\"1\"}}",
                       "{\"slots\":{\"01\":\"1\"}}",
                       "{\"slots\":{\"5\":5}}",
                       "{\"slots\":{\"5\":null}}"};
  for (const char* p : bad) {
    std::string error;
    EXPECT_FALSE(ParseStatePayload("s", 1, 1, p, &error)) << p;
    EXPECT_FALSE(error.empty()) << p;
  }
}

TEST(DeviceStatusPayloadTest, RoundTrip) {
  DeviceStatus d;
  d.site = "s";
  d.device = 4;
  d.infodriverConnected = true;
  d.driverConnected = false;
  d.problem = "no driver";
  d.units = {1, 2, 40};
  auto back = ParseDeviceStatusPayload("s", 4, DeviceStatusPayload(d));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->infodriverConnected);
  EXPECT_FALSE(back->driverConnected);
  EXPECT_EQ(back->problem, "no driver");
  EXPECT_EQ(back->units, (std::vector<int>{1, 2, 40}));
  EXPECT_FALSE(ParseDeviceStatusPayload("s", 4, "online"));
  // Out-of-range unit numbers are dropped, not trusted.
  auto odd = ParseDeviceStatusPayload(
      "s", 4, "{\"driver_connected\":true,\"units\":[0,1,41,\"2\"]}");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->units, std::vector<int>{1});
}

TEST(ControlResultPayloadTest, EveryStageRoundTrips) {
  for (ControlStage stage :
       {ControlStage::kRefused, ControlStage::kAccepted,
        ControlStage::kConfirmed, ControlStage::kNotConfirmed}) {
    ControlUpdate u;
    u.id = 17;
    u.site = "s";
    u.device = 1;
    u.unit = 2;
    u.value = "1";
    u.stage = stage;
    u.reason = "why";
    u.slotText = "0";
    auto back = ParseControlResultPayload(ControlResultPayload(u));
    ASSERT_TRUE(back) << ControlStageName(stage);
    EXPECT_EQ(back->stage, stage);
    EXPECT_EQ(back->id, 17u);
    EXPECT_EQ(back->value, "1");
    EXPECT_EQ(back->reason, "why");
    EXPECT_EQ(back->slotText, "0");
  }
  // The point as asked for; a slot only for a control point.
  ControlUpdate u;
  auto asked = nlohmann::json::parse(ControlResultPayload(u, "output/13"));
  EXPECT_EQ(asked["point"], "output/13");
  EXPECT_TRUE(asked["slot"].is_null());
  asked = nlohmann::json::parse(ControlResultPayload(u, "gpi/3"));
  EXPECT_EQ(asked["slot"], 3);
  u.point = *ParseControlPoint("output/2/on_delay");
  u.value = "50";
  asked = nlohmann::json::parse(ControlResultPayload(u, "output/2/on_delay"));
  EXPECT_EQ(asked["slot"], 82);
  EXPECT_EQ(asked["value"], "5");
  EXPECT_EQ(ParseControlResultPayload(asked.dump())->value, "50");
  EXPECT_FALSE(ParseControlResultPayload("{\"stage\":\"maybe\"}"));
  EXPECT_FALSE(ParseControlResultPayload("{}"));
  EXPECT_FALSE(ParseControlResultPayload("not json"));
}

TEST(PrintableTest, ControlBytesEscapedAndLengthCut) {
  EXPECT_EQ(Printable("a\nb\x1b[2J"), "a\\x0Ab\\x1B[2J");
  EXPECT_EQ(Printable(std::string(100, 'x'), 10), std::string(10, 'x') + "...");
}

}  // namespace
