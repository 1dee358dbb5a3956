#include "unitview/control_point.h"

#include <charconv>
#include <cstdio>

#include "infodriver/infodriver_protocol.h"
#include "mdu/slot_text.h"
#include "mdu/unit_layout.h"

namespace {

struct KindInfo {
  ControlKind kind;
  const char* prefix;  // "output/" for numbered points, the name otherwise
  const char* suffix;  // after the number: "" or "/on_delay"
  int slotBase;        // relative slot = base + number
  int count;           // how many numbered points; 0 for a single point
};

constexpr KindInfo kKinds[] = {
    {ControlKind::kGpiPolarity, "gpi/", "/polarity", mdu::kGpiPolaritySlot,
     mdu::kGpiCount},
    {ControlKind::kOutputState, "output/", "", mdu::kOutputStateSlot,
     mdu::kOutputCount},
    {ControlKind::kPowerOnSequence, "power_on_sequence", "",
     mdu::kPowerOnSequenceSlot, 0},
    {ControlKind::kSequentialDelay, "sequential_delay", "",
     mdu::kSequentialDelaySlot, 0},
    {ControlKind::kOutputOnDelay, "output/", "/on_delay", mdu::kOutputDelaySlot,
     mdu::kOutputCount},
    {ControlKind::kTemperatureAlarmPoint, "temperature_alarm_point", "",
     mdu::kTemperatureAlarmPointSlot, 0},
    {ControlKind::kLocation, "location", "", mdu::kAlarmLocationSlot, 0},
};

const KindInfo& InfoOf(ControlKind kind) {
  for (const KindInfo& k : kKinds)
    if (k.kind == kind) return k;
  return kKinds[0];
}

// A whole number written plainly: digits only, no sign, blank or leading
// zero, so that the text asked for is the text the slot will show.
std::optional<int> PlainNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  int value = 0;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() ||
      text[0] == '-')
    return std::nullopt;
  return value;
}

ControlValue Refuse(std::string error) {
  ControlValue v;
  v.error = std::move(error);
  return v;
}

ControlValue Accept(std::string text) {
  ControlValue v;
  v.ok = true;
  v.expectedSlotText = CleanSlotText(text);
  v.slotText = std::move(text);
  return v;
}

ControlValue NumberIn(std::string_view value, int min, int max, int step,
                      const char* what) {
  std::optional<int> n = PlainNumber(value);
  char error[160];
  if (!n || *n < min || *n > max) {
    std::snprintf(error, sizeof error,
                  "%s must be a whole number from %d to %d", what, min, max);
    return Refuse(error);
  }
  if (*n % step != 0) {
    // The unit takes whole seconds; the slot holds tenths.
    std::snprintf(error, sizeof error,
                  "%s is in tenths of a second and the unit takes whole "
                  "seconds: give a multiple of %d",
                  what, step);
    return Refuse(error);
  }
  return Accept(std::string(value));
}

}  // namespace

bool PrintableText(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      ++i;
      continue;
    }
    const size_t n = PrintableUtf8Length(p + i, text.size() - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

int ControlPoint::relativeSlot() const {
  const KindInfo& k = InfoOf(kind);
  return k.slotBase + (k.count > 0 ? number : 0);
}

std::string ControlPoint::name() const {
  const KindInfo& k = InfoOf(kind);
  if (k.count == 0) return k.prefix;
  return k.prefix + std::to_string(number) + k.suffix;
}

std::optional<ControlPoint> ParseControlPoint(std::string_view name) {
  for (const KindInfo& k : kKinds) {
    const std::string_view prefix = k.prefix;
    if (k.count == 0) {
      if (name == prefix) return ControlPoint{k.kind, 0};
      continue;
    }
    if (name.substr(0, prefix.size()) != prefix) continue;
    std::string_view rest = name.substr(prefix.size());
    const std::string_view suffix = k.suffix;
    if (rest.size() <= suffix.size() ||
        rest.substr(rest.size() - suffix.size()) != suffix)
      continue;
    std::optional<int> n =
        PlainNumber(rest.substr(0, rest.size() - suffix.size()));
    if (n && *n >= 1 && *n <= k.count) return ControlPoint{k.kind, *n};
  }
  return std::nullopt;
}

std::optional<ControlPoint> ControlPointOfSlot(int slot) {
  for (const KindInfo& k : kKinds) {
    if (k.count == 0 && slot == k.slotBase) return ControlPoint{k.kind, 0};
    if (int n = mdu::PointNumber(slot, k.slotBase, k.count))
      return ControlPoint{k.kind, n};
  }
  return std::nullopt;
}

std::vector<ControlPoint> AllControlPoints() {
  std::vector<ControlPoint> points;
  for (int slot = 1; slot < mdu::kSlotsPerUnit; ++slot)
    if (std::optional<ControlPoint> p = ControlPointOfSlot(slot))
      points.push_back(*p);
  return points;
}

ControlValue CheckControlValue(const ControlPoint& point,
                               std::string_view value) {
  switch (point.kind) {
    case ControlKind::kOutputState:
      if (value == "0" || value == "1") return Accept(std::string(value));
      return Refuse("an output's state must be 0 (off) or 1 (on)");
    case ControlKind::kGpiPolarity:
      if (value == "0" || value == "1") return Accept(std::string(value));
      return Refuse("a GPI's polarity must be 0 or 1");
    case ControlKind::kOutputOnDelay:
      return NumberIn(value, 0, 2550, 10, "the on-delay");
    case ControlKind::kSequentialDelay:
      return NumberIn(value, 0, 2550, 10, "the sequential delay");
    case ControlKind::kPowerOnSequence:
      return NumberIn(value, 0, 255, 1, "the power-on sequence");
    case ControlKind::kTemperatureAlarmPoint:
      return NumberIn(value, 0, 128, 1, "the temperature alarm point");
    case ControlKind::kLocation:
      if (value.size() > kSlotTextMax)
        return Refuse("the location is longer than the 255 bytes a slot holds");
      if (!PrintableText(value))
        return Refuse(
            "the location must be printable UTF-8 text without control "
            "characters");
      // The driver shows an octet string with bytes beyond ASCII in hex,
      // so such a location would never be reported back as it was sent.
      for (unsigned char c : value)
        if (c >= 0x80)
          return Refuse(
              "the unit cannot take letters beyond ASCII in its location: "
              "it would report them back in hex, never as sent");
      return Accept(std::string(value));
  }
  return Refuse("not a control point");
}
