#ifndef QOR_UNITVIEW_CONTROL_POINT_H_
#define QOR_UNITVIEW_CONTROL_POINT_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The points of a unit that may be controlled from outside the control
// system (the web API, the MQTT bridge), named the same way everywhere:
//
//   name                     value (the slot text asked for)
//   output/N                 "0" off, "1" on                       (N 1-12)
//   output/N/on_delay        tenths of a second, 0-2550, a multiple of 10
//                                                                  (N 1-12)
//   gpi/N/polarity           "0" or "1"                            (N 1-16)
//   power_on_sequence        0-255
//   sequential_delay         tenths of a second, 0-2550, a multiple of 10
//   temperature_alarm_point  degrees C, 0-128
//   location                 text, at most 255 bytes of printable UTF-8
//
// Their relative slots (mdu/unit_layout.h), in the table's order:
// kOutputStateSlot + N, kOutputDelaySlot + N, kGpiPolaritySlot + N,
// kPowerOnSequenceSlot, kSequentialDelaySlot, kTemperatureAlarmPointSlot,
// kAlarmLocationSlot.
//
// Values are the texts a slot-change request carries (as `infoctl set`
// takes them). The checks are stricter than the driver's own: the driver
// sends the tenths divided by ten, so 15 would set 1 s and never be
// confirmed as 15; a value that cannot be confirmed is refused here.
// Nothing else of a unit can be requested.

enum class ControlKind {
  kOutputState,
  kOutputOnDelay,
  kGpiPolarity,
  kPowerOnSequence,
  kSequentialDelay,
  kTemperatureAlarmPoint,
  kLocation,
};

struct ControlPoint {
  ControlKind kind = ControlKind::kOutputState;
  int number = 0;  // output or GPI number; 0 for the single points

  int relativeSlot() const;
  // The driver sends these through the unit's table row (an output or a
  // GPI), which it knows only once the unit has reported it; until then
  // the point's slot is blank and a request cannot reach the unit.
  bool needsReportedRow() const {
    return kind == ControlKind::kOutputState ||
           kind == ControlKind::kOutputOnDelay ||
           kind == ControlKind::kGpiPolarity;
  }
  std::string name() const;  // as in the table: "output/3"
  bool operator==(const ControlPoint&) const = default;
};

// The point named |name| (as in the table), or nothing.
std::optional<ControlPoint> ParseControlPoint(std::string_view name);

// The control point a relative slot is, or nothing.
std::optional<ControlPoint> ControlPointOfSlot(int relativeSlot);

// Every control point of a unit, in slot order.
std::vector<ControlPoint> AllControlPoints();

struct ControlValue {
  bool ok = false;
  std::string slotText;  // what to request when ok
  // What the slot will hold once the unit reports the value: the driver
  // writes texts with apostrophes and colons replaced.
  std::string expectedSlotText;
  std::string error;  // when not ok: a sentence for the person asking
};

// Printable UTF-8 without control characters: a location or a name ends up
// on operators' screens and in other processes' slot reads.
bool PrintableText(std::string_view text);

// Checks a requested value for |point|.
ControlValue CheckControlValue(const ControlPoint& point,
                               std::string_view value);

#endif  // QOR_UNITVIEW_CONTROL_POINT_H_
