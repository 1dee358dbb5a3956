#include "ha_discovery.h"

#include <gtest/gtest.h>

#include <cctype>

#include "nlohmann/json.hpp"
#include "unitview/testing/fake_unit_source.h"

namespace {

using nlohmann::json;

// Unit 2 of device 1 reporting outputs 1 and 2 (with on-delays), GPI 1,
// fuse 1, the temperature and its alarm, and its location.
UnitState Unit() {
  return FakeUnit("s", 1, 2,
                  {{41, "1"},
                   {42, "0"},
                   {81, "50"},
                   {82, "0"},
                   {1, "0"},
                   {61, "1"},
                   {94, "1"},
                   {95, "41"},
                   {98, "Rack 2"},
                   {99, "0"}});
}

UnitNames Names() {
  UnitNames names;
  names.outputs[2] = "Rack switch";
  names.gpis[1] = "Door";
  names.protectedOutputs = {2};
  return names;
}

json Config(const std::map<std::string, std::string>& configs,
            const std::string& topic) {
  auto it = configs.find(topic);
  if (it == configs.end()) return "(no such topic)";
  return it->second.empty() ? json() : json::parse(it->second);
}

const std::string kBase = "homeassistant/";
const std::string kUnitId = "qor_s_1_2";

// Which form each point takes under each set of options; nothing is offered
// for what the unit does not report, and the other form is emptied.
TEST(HaDiscoveryTest, EachPointTakesTheFormTheBridgeAllows) {
  struct Case {
    bool control, protectedToo;
    const char* output1;  // component of output 1 ...
    const char* output2;  // ... and of protected output 2
    bool settable;        // numbers and the text offered
  } cases[] = {
      {false, false, "binary_sensor", "binary_sensor", false},
      {true, false, "switch", "binary_sensor", true},
      {true, true, "switch", "switch", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("control ") + (c.control ? "on" : "off") +
                 (c.protectedToo ? ", protected" : ""));
    DiscoveryOptions o;
    o.site = "s";
    o.allowControl = c.control;
    o.allowProtected = c.protectedToo;
    auto configs = UnitDiscoveryConfigs(o, Unit(), Names());
    const std::pair<int, const char*> outputs[] = {{1, c.output1},
                                                   {2, c.output2}};
    for (auto [n, component] : outputs) {
      const std::string id = kUnitId + "_output_" + std::to_string(n);
      for (const char* kind : {"switch", "binary_sensor"}) {
        json config = Config(configs, kBase + kind + "/" + id + "/config");
        EXPECT_EQ(config.is_object(), std::string(kind) == component)
            << kind << " " << id << ": " << config;
      }
    }
    EXPECT_EQ(Config(configs,
                     kBase + "number/" + kUnitId + "_output_1_on_delay/config")
                  .is_object(),
              c.settable);
    EXPECT_EQ(Config(configs, kBase + "text/" + kUnitId + "_location/config")
                  .is_object(),
              c.settable);
    // Not reported: output 3, GPI 2, fuse 2; their topics are emptied.
    EXPECT_TRUE(
        Config(configs, kBase + "binary_sensor/" + kUnitId + "_output_3/config")
            .is_null());
    EXPECT_TRUE(
        Config(configs, kBase + "binary_sensor/" + kUnitId + "_gpi_2/config")
            .is_null());
    EXPECT_EQ(configs.size(), UnitDiscoveryTopics(o, 1, 2).size());
  }
}

TEST(HaDiscoveryTest, ConfigsUseTheBridgeTopicsAndDescribeTheUnit) {
  DiscoveryOptions o;
  o.site = "s";
  o.allowControl = o.allowProtected = true;
  auto configs = UnitDiscoveryConfigs(o, Unit(), Names());

  json sw = Config(configs, kBase + "switch/" + kUnitId + "_output_1/config");
  EXPECT_EQ(sw["command_topic"], "qor/s/1/2/output/1/set");
  EXPECT_EQ(sw["state_topic"], "qor/s/1/2/output/1");
  EXPECT_EQ(sw["payload_on"], "1");
  EXPECT_EQ(sw["payload_off"], "0");
  EXPECT_EQ(sw["unique_id"], kUnitId + "_output_1");
  EXPECT_EQ(sw["availability_mode"], "all");
  ASSERT_EQ(sw["availability"].size(), 2u);
  EXPECT_EQ(sw["availability"][0]["topic"], "qor/s/status");
  EXPECT_EQ(sw["availability"][1]["topic"], "qor/s/1/2/comms");
  EXPECT_EQ(sw["device"]["identifiers"], json::array({kUnitId}));
  EXPECT_EQ(sw["device"]["name"], "Rack 2");
  EXPECT_EQ(sw["device"]["via_device"], "qor_s");
  // A protected output goes off only when the request names it.
  json guarded =
      Config(configs, kBase + "switch/" + kUnitId + "_output_2/config");
  EXPECT_EQ(guarded["name"], "Rack switch");
  EXPECT_EQ(json::parse(guarded["payload_off"].get<std::string>()),
            (json{{"value", "0"}, {"confirm", "Rack switch"}}));

  json door =
      Config(configs, kBase + "binary_sensor/" + kUnitId + "_gpi_1/config");
  EXPECT_EQ(door["name"], "Door");
  EXPECT_EQ(door["device_class"], "problem");
  json heat = Config(configs, kBase + "binary_sensor/" + kUnitId +
                                  "_temperature_alarm/config");
  EXPECT_EQ(heat["state_topic"], "qor/s/1/2/temperature/alarm");
  EXPECT_EQ(heat["device_class"], "heat");
  json temperature =
      Config(configs, kBase + "sensor/" + kUnitId + "_temperature/config");
  EXPECT_EQ(temperature["unit_of_measurement"], "°C");
  EXPECT_EQ(temperature["state_class"], "measurement");
  json delay = Config(
      configs, kBase + "number/" + kUnitId + "_output_1_on_delay/config");
  EXPECT_EQ(delay["command_topic"], "qor/s/1/2/output/1/on_delay/set");
  EXPECT_EQ(delay["max"], 255);

  auto [siteTopic, site] = SiteDiscoveryConfig(o);
  EXPECT_EQ(siteTopic, kBase + "binary_sensor/qor_s_bridge/config");
  EXPECT_EQ(json::parse(site)["device"]["identifiers"], json::array({"qor_s"}));
}

TEST(HaDiscoveryTest, ObjectIdsAndPrefixesKeepToTheirBytes) {
  EXPECT_EQ(DiscoveryId("studio-a_1"), "studio-a_1");
  const std::string spaced = DiscoveryId("Studio A/1");
  EXPECT_EQ(spaced.substr(0, 11), "Studio_A_1_");
  EXPECT_NE(spaced, DiscoveryId("Studio_A/1"));
  for (char c : spaced + DiscoveryId("Pièce \"#+\""))
    EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')
        << spaced;
  DiscoveryOptions o;
  o.site = "Studio A/1";
  for (const std::string& topic : UnitDiscoveryTopics(o, 1, 2)) {
    std::string id = topic.substr(topic.find('/', kBase.size()) + 1);
    id = id.substr(0, id.find('/'));
    EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM"
                                   "NOPQRSTUVWXYZ0123456789_-"),
              std::string::npos)
        << topic;
  }

  for (const char* good : {"homeassistant", "ha/site-1"})
    EXPECT_TRUE(ValidDiscoveryPrefix(good)) << good;
  for (const char* bad :
       {"", "qor", "qor/x", "ha/", "/ha", "ha//x", "h+", "h#", "h a"})
    EXPECT_FALSE(ValidDiscoveryPrefix(bad)) << bad;
}

}  // namespace
