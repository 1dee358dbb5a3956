#include "unitview/unit_state.h"

#include <gtest/gtest.h>

#include <map>

namespace {

UnitSlots Block(const std::map<int, std::string>& texts) {
  UnitSlots slots;
  for (const auto& [slot, text] : texts) slots[slot] = text;
  return slots;
}

// A unit as the driver leaves its block after a walk of a simulated MDU.
UnitSlots WalkedUnit() {
  std::map<int, std::string> t = {{1, "1"},
                                  {2, "0"},
                                  {21, "0"},
                                  {22, "1"},
                                  {41, "1"},
                                  {42, "0"},
                                  {61, "0"},
                                  {62, "1"},
                                  {78, "2"},
                                  {79, "70"},
                                  {81, "0"},
                                  {82, "50"},
                                  {94, "1"},
                                  {95, "41"},
                                  {96, "47"},
                                  {97, "Inlet A ok, inlet B ok"},
                                  {98, "Rack 2; Studio A\"s MDU"},
                                  {99, "0"}};
  return Block(t);
}

TEST(UnitStateTest, DecodesEveryKindOfSlot) {
  UnitState s = DecodeUnit("studio", 7, 2, "127.0.1.2", WalkedUnit());
  EXPECT_EQ("studio", s.site);
  EXPECT_EQ(7, s.device);
  EXPECT_EQ(2, s.unit);
  EXPECT_EQ("127.0.1.2", s.address);
  EXPECT_EQ(Comms::kGood, s.comms);
  EXPECT_TRUE(s.answering());
  EXPECT_EQ("Rack 2; Studio A\"s MDU", s.location);
  EXPECT_EQ(41, s.temperatureCelsius);
  EXPECT_EQ(47, s.temperatureAlarmPointCelsius);
  EXPECT_EQ(false, s.temperatureAlarm);
  EXPECT_EQ("Inlet A ok, inlet B ok", s.powerInlets);
  EXPECT_EQ(2, s.powerOnSequence);
  EXPECT_EQ(7.0, s.sequentialDelaySeconds);

  ASSERT_EQ(2u, s.outputs.size());
  EXPECT_EQ(1, s.outputs[0].number);
  EXPECT_EQ(true, s.outputs[0].on);
  EXPECT_EQ(0.0, s.outputs[0].onDelaySeconds);
  EXPECT_EQ(2, s.outputs[1].number);
  EXPECT_EQ(false, s.outputs[1].on);
  EXPECT_EQ(5.0, s.outputs[1].onDelaySeconds);

  ASSERT_EQ(2u, s.gpis.size());
  EXPECT_EQ(true, s.gpis[0].active);
  EXPECT_EQ(0, s.gpis[0].polarity);
  EXPECT_EQ(false, s.gpis[1].active);
  EXPECT_EQ(1, s.gpis[1].polarity);

  ASSERT_EQ(2u, s.fuses.size());
  EXPECT_EQ(true, s.fuses[0].ok);
  EXPECT_EQ(false, s.fuses[1].ok);

  EXPECT_EQ(1, s.gpiAlarms());
  EXPECT_EQ(1, s.fuseAlarms());
  EXPECT_EQ(2, s.alarmCount());
}

// The points the unit does not report are the ones the driver blanks: they
// are not shown, whatever their neighbours hold.
TEST(UnitStateTest, BlankPointsAreLeftOut) {
  UnitState s = DecodeUnit("", 1, 1, "a",
                           Block({{12, "1"}, {52, "0"}, {72, "1"}, {36, "1"}}));
  ASSERT_EQ(1u, s.outputs.size());
  EXPECT_EQ(12, s.outputs[0].number);
  EXPECT_FALSE(s.outputs[0].onDelaySeconds.has_value());
  ASSERT_EQ(2u, s.gpis.size());
  EXPECT_EQ(12, s.gpis[0].number);
  EXPECT_FALSE(s.gpis[0].polarity.has_value());
  EXPECT_EQ(16, s.gpis[1].number);
  EXPECT_FALSE(s.gpis[1].active.has_value());
  ASSERT_EQ(1u, s.fuses.size());
  EXPECT_EQ(12, s.fuses[0].number);
  EXPECT_EQ(Comms::kUnknown, s.comms);
  EXPECT_FALSE(s.temperatureCelsius.has_value());
}

TEST(UnitStateTest, CommsAndTemperatureStates) {
  struct Case {
    std::string comms;
    bool live;
    Comms expected;
    bool answering;
    std::string temperatureState;
    std::optional<bool> temperatureAlarm;
    int alarms;
  };
  const Case cases[] = {
      {"0", true, Comms::kGood, true, "1", false, 0},
      {"1", true, Comms::kFailed, false, "1", false, 1},
      {"", true, Comms::kUnknown, false, "", std::nullopt, 0},
      {"0", false, Comms::kGood, false, "2", true, 2},  // driver gone
      {"1", true, Comms::kFailed, false, "2", true, 2},
      {"x", true, Comms::kFailed, false, "x", std::nullopt, 1},
  };
  for (const Case& c : cases) {
    UnitState s = DecodeUnit("", 1, 1, "a",
                             Block({{99, c.comms}, {94, c.temperatureState}}));
    s.live = c.live;
    SCOPED_TRACE("comms '" + c.comms + "' live " + std::to_string(c.live));
    EXPECT_EQ(c.expected, s.comms);
    EXPECT_EQ(c.answering, s.answering());
    EXPECT_EQ(c.temperatureAlarm, s.temperatureAlarm);
    EXPECT_EQ(c.alarms, s.alarmCount());
  }
}

TEST(UnitStateTest, SlotNumbersReadAsTheDriverReadsThem) {
  const std::pair<std::string, std::optional<int>> cases[] = {
      {"40", 40},
      {"  40", 40},
      {"-3", -3},
      {"+7", 7},
      {"40x", 40},
      {"x40", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"2147483647", 2147483647},
      {"2147483648", std::nullopt},
      {"-2147483648", -2147483648},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(expected, SlotNumber(text)) << "'" << text << "'";
}

TEST(UnitStateTest, JsonCarriesTheStateAndOnlyNonEmptySlots) {
  UnitState s = DecodeUnit("studio", 7, 2, "127.0.1.2", WalkedUnit());
  nlohmann::json j = UnitToJson(s, true);
  EXPECT_EQ("studio", j["site"]);
  EXPECT_EQ(7, j["device"]);
  EXPECT_EQ(2, j["unit"]);
  EXPECT_EQ("ok", j["comms"]);
  EXPECT_EQ(true, j["answering"]);
  EXPECT_EQ(41, j["temperature"]["celsius"]);
  EXPECT_EQ(false, j["temperature"]["alarm"]);
  EXPECT_EQ(5.0, j["outputs"][1]["on_delay_seconds"]);
  EXPECT_EQ(false, j["outputs"][1]["on"]);
  EXPECT_EQ(true, j["gpis"][0]["active"]);
  EXPECT_EQ(false, j["fuses"][1]["ok"]);
  EXPECT_EQ(2, j["alarms"]["total"]);
  EXPECT_EQ("50", j["slots"]["82"]);
  EXPECT_FALSE(j["slots"].contains("83"));
  EXPECT_FALSE(UnitToJson(s).contains("slots"));
  EXPECT_FALSE(j["outputs"][0].contains("name"));
  EXPECT_EQ(false, j["outputs"][0]["protected"]);
  EXPECT_FALSE(j.contains("power_inlet_names"));
  EXPECT_EQ(nlohmann::json::parse(R"({"version":"1"})"), j["snmp"]);
  EXPECT_TRUE(j["comms_cause"].is_null());

  const UnitNames names{
      {{2, "Encoder"}}, {{1, "Door"}}, {{2, "Feed B"}}, {{1, "Mains A"}}, {2}};
  nlohmann::json n = UnitToJson(s, false, &names);
  EXPECT_FALSE(n["outputs"][0].contains("name"));
  EXPECT_EQ("Encoder", n["outputs"][1]["name"]);
  EXPECT_EQ(true, n["outputs"][1]["protected"]);
  EXPECT_EQ("Door", n["gpis"][0]["name"]);
  EXPECT_EQ("Feed B", n["fuses"][1]["name"]);
  EXPECT_EQ(nlohmann::json::parse(R"([{"inlet":1,"name":"Mains A"}])"),
            n["power_inlet_names"]);

  UnitState empty = DecodeUnit("", 1, 1, "a", UnitSlots());
  nlohmann::json e = UnitToJson(empty);
  EXPECT_TRUE(e["temperature"]["celsius"].is_null());
  EXPECT_TRUE(e["outputs"].is_array());
  EXPECT_TRUE(e["outputs"].empty());
  EXPECT_EQ("unknown", e["comms"]);
}

// The cause stands beside "not answering" only: while the unit answers,
// or while nothing is known of it, a cause left in the slot is not shown.
TEST(UnitStateTest, CauseIsShownOnlyWhileTheUnitIsFailed) {
  struct Case {
    std::string comms;
    bool live;
    nlohmann::json cause;
  };
  const Case cases[] = {
      {"1", true, "authentication failed: wrong digest"},
      {"0", true, nullptr},
      {"1", false, nullptr},
  };
  for (const Case& c : cases) {
    UnitState s = DecodeUnit(
        "", 1, 1, "a",
        Block({{99, c.comms}, {93, "authentication failed; wrong digest"}}));
    s.live = c.live;
    SCOPED_TRACE("comms '" + c.comms + "' live " + std::to_string(c.live));
    EXPECT_EQ("authentication failed: wrong digest", s.commsCause);
    EXPECT_EQ(c.cause, UnitToJson(s)["comms_cause"]);
  }
  UnitState silent = DecodeUnit("", 1, 1, "a", Block({{99, "1"}}));
  EXPECT_TRUE(UnitToJson(silent)["comms_cause"].is_null());
}

TEST(UnitStateTest, SnmpVersionAndLevelAsTheSettingsGiveThem) {
  struct Case {
    std::string version;
    std::string level;
    std::string shown;
  };
  const Case cases[] = {
      {"3", "authPriv", R"({"version":"3","security_level":"authPriv"})"},
      {"3", "noAuthNoPriv",
       R"({"version":"3","security_level":"noAuthNoPriv"})"},
      {"3", "sortOfPriv", R"({"version":"3","security_level":null})"},
      {"2c", "authPriv", R"({"version":"2c"})"},
      {"1", "authNoPriv", R"({"version":"1"})"},
      {"", "authPriv", R"({"version":"1"})"},
      {"4", "authPriv", R"({"version":"1"})"},
  };
  for (const Case& c : cases) {
    UnitState s = DecodeUnit("", 1, 1, "a", UnitSlots());
    s.snmpVersion = SnmpVersionOf(c.version);
    s.snmpSecurityLevel = SnmpLevelOf(s.snmpVersion, c.level);
    EXPECT_EQ(nlohmann::json::parse(c.shown), UnitToJson(s)["snmp"])
        << c.version << " " << c.level;
  }
}

// A unit's text may hold any byte; the document must still print.
TEST(UnitStateTest, JsonTextSurvivesBytesThatAreNotUtf8) {
  UnitState s = DecodeUnit("", 1, 1, "a", Block({{98, "bad \xff\xfe end"}}));
  std::string text = JsonText(UnitToJson(s));
  EXPECT_NE(std::string::npos, text.find("bad \xEF\xBF\xBD\xEF\xBF\xBD end"));
  EXPECT_NO_THROW(nlohmann::json::parse(text));
}

TEST(UnitStateTest, EveryWrittenSlotHasAMeaningAndNoOtherHasOne) {
  for (int slot = 1; slot < kSlotsPerUnit; ++slot) {
    const bool written = (slot <= 16) || (slot >= 21 && slot <= 36) ||
                         (slot >= 41 && slot <= 52) ||
                         (slot >= 61 && slot <= 72) || slot == 78 ||
                         slot == 79 || (slot >= 81 && slot <= 92) || slot >= 93;
    EXPECT_EQ(written, !SlotMeaning(slot).empty()) << slot;
  }
  EXPECT_EQ("Output 3 state (1 on)", SlotMeaning(43));
  EXPECT_EQ("GPI 5 polarity", SlotMeaning(25));
  EXPECT_EQ("", SlotMeaning(0));
  EXPECT_EQ("", SlotMeaning(100));
}

}  // namespace
