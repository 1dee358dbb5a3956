#include "unitview/control_point.h"

#include <gtest/gtest.h>

namespace {

TEST(ControlPointTest, NamesAndSlotsOfEveryPoint) {
  struct Case {
    const char* name;
    ControlKind kind;
    int number;
    int slot;
  };
  const Case cases[] = {
      {"gpi/1/polarity", ControlKind::kGpiPolarity, 1, 21},
      {"gpi/16/polarity", ControlKind::kGpiPolarity, 16, 36},
      {"output/1", ControlKind::kOutputState, 1, 41},
      {"output/12", ControlKind::kOutputState, 12, 52},
      {"power_on_sequence", ControlKind::kPowerOnSequence, 0, 78},
      {"sequential_delay", ControlKind::kSequentialDelay, 0, 79},
      {"output/1/on_delay", ControlKind::kOutputOnDelay, 1, 81},
      {"output/12/on_delay", ControlKind::kOutputOnDelay, 12, 92},
      {"temperature_alarm_point", ControlKind::kTemperatureAlarmPoint, 0, 96},
      {"location", ControlKind::kLocation, 0, 98},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ControlPoint> p = ParseControlPoint(c.name);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(c.kind, p->kind);
    EXPECT_EQ(c.number, p->number);
    EXPECT_EQ(c.slot, p->relativeSlot());
    EXPECT_EQ(c.name, p->name());
    EXPECT_EQ(p, ControlPointOfSlot(c.slot));
  }
  // 12 outputs, 12 delays, 16 polarities and four single points.
  EXPECT_EQ(44u, AllControlPoints().size());
}

// Only the control slots can be named; states and measurements cannot.
TEST(ControlPointTest, NothingElseIsAControlPoint) {
  for (const char* name : {"output/0",
                           "output/13",
                           "output/01",
                           "output/+1",
                           "output/-1",
                           "output/1/",
                           "output/1/state",
                           "output//on_delay",
                           "gpi/5",
                           "gpi/17/polarity",
                           "gpi/0/polarity",
                           "fuse/1",
                           "temperature",
                           "comms",
                           "",
                           "output",
                           "location/",
                           "LOCATION",
                           "output/1/on_delay/x",
                           "output/99999999999999999999"})
    EXPECT_FALSE(ParseControlPoint(name).has_value()) << name;
  for (int slot :
       {0, 1, 16, 20, 37, 40, 53, 61, 72, 80, 93, 94, 95, 97, 99, 100, -1})
    EXPECT_FALSE(ControlPointOfSlot(slot).has_value()) << slot;
}

TEST(ControlPointTest, ValuesAreCheckedBeforeAnythingIsAsked) {
  struct Case {
    const char* point;
    std::string value;
    bool ok;
  };
  const Case cases[] = {
      {"output/3", "1", true},
      {"output/3", "0", true},
      {"output/3", "2", false},
      {"output/3", " 1", false},
      {"output/3", "1 ", false},
      {"output/3", "on", false},
      {"output/3", "", false},
      {"output/3", "01", false},
      {"gpi/2/polarity", "1", true},
      {"gpi/2/polarity", "-1", false},
      {"output/3/on_delay", "0", true},
      {"output/3/on_delay", "2550", true},
      {"output/3/on_delay", "2560", false},
      {"output/3/on_delay", "15", false},  // the unit would get 1 s
      {"output/3/on_delay", "-10", false},
      {"sequential_delay", "70", true},
      {"sequential_delay", "7", false},
      {"power_on_sequence", "255", true},
      {"power_on_sequence", "256", false},
      {"temperature_alarm_point", "128", true},
      {"temperature_alarm_point", "129", false},
      {"temperature_alarm_point", "40x", false},
      {"location", "", true},
      {"location", "Rack 1: Studio A's", true},
      {"location", std::string(255, 'x'), true},
      {"location", std::string(256, 'x'), false},
      {"location", "line\nbreak", false},
      {"location", "tab\there", false},
      {"location", "Zürich", false},
      {"location", "bad \xff", false},
      {"location", "cut \xc3", false},
      {"location", "overlong \xc0\xaf", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.point) + " = '" + c.value + "'");
    ControlValue v = CheckControlValue(*ParseControlPoint(c.point), c.value);
    EXPECT_EQ(c.ok, v.ok);
    if (v.ok) {
      EXPECT_EQ(c.value, v.slotText);
      EXPECT_TRUE(v.error.empty());
    } else {
      EXPECT_FALSE(v.error.empty());
      EXPECT_TRUE(v.slotText.empty());
    }
  }
}

// The driver writes a location without apostrophes and colons, so that is
// the text that confirms the request.
TEST(ControlPointTest, ExpectedTextIsWhatTheSlotWillHold) {
  ControlValue v =
      CheckControlValue(*ParseControlPoint("location"), "Rack 1: Studio A's");
  EXPECT_EQ("Rack 1: Studio A's", v.slotText);
  EXPECT_EQ("Rack 1; Studio A\"s", v.expectedSlotText);
  ControlValue d =
      CheckControlValue(*ParseControlPoint("output/2/on_delay"), "50");
  EXPECT_EQ("50", d.expectedSlotText);
}

}  // namespace
