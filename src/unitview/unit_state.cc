#include "unitview/unit_state.h"

#include <cctype>
#include <climits>
#include <cstdio>

namespace {

// Slots hold tenths of the unit's seconds for the delays.
std::optional<double> Tenths(const std::string& text) {
  std::optional<int> n = SlotNumber(text);
  if (!n) return std::nullopt;
  return *n / 10.0;
}

std::optional<bool> Flag(const std::string& text, int whenTrue) {
  std::optional<int> n = SlotNumber(text);
  if (!n) return std::nullopt;
  return *n == whenTrue;
}

template <typename T>
nlohmann::json OrNull(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

}  // namespace

const char* CommsName(Comms comms) {
  switch (comms) {
    case Comms::kGood:
      return "ok";
    case Comms::kFailed:
      return "failed";
    case Comms::kUnknown:
      break;
  }
  return "unknown";
}

std::string SnmpVersionOf(const std::string& setting) {
  return setting == "2c" || setting == "3" ? setting : "1";
}

std::string SnmpLevelOf(const std::string& version,
                        const std::string& setting) {
  if (version != "3") return "";
  for (const char* level : {"noAuthNoPriv", "authNoPriv", "authPriv"})
    if (setting == level) return setting;
  return "";
}

std::optional<int> SlotNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
    return std::nullopt;
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return std::nullopt;
  return static_cast<int>(value);
}

int UnitState::gpiAlarms() const {
  int n = 0;
  for (const GpiPoint& g : gpis) n += g.active.value_or(false) ? 1 : 0;
  return n;
}

int UnitState::fuseAlarms() const {
  int n = 0;
  for (const FusePoint& f : fuses) n += f.ok.value_or(true) ? 0 : 1;
  return n;
}

int UnitState::alarmCount() const {
  // A unit that does not answer counts once, whatever its last values say.
  const bool commsAlarm = !live || comms == Comms::kFailed;
  return (commsAlarm ? 1 : 0) + gpiAlarms() + fuseAlarms() +
         (temperatureAlarm.value_or(false) ? 1 : 0);
}

UnitState DecodeUnit(const std::string& site, int device, int unit,
                     const std::string& address, const UnitSlots& slots) {
  UnitState s;
  s.site = site;
  s.device = device;
  s.unit = unit;
  s.address = address;
  s.slots = slots;
  s.slots[0].clear();

  const std::string& comms = slots[mdu::kCommsSlot];
  s.comms = comms.empty()                          ? Comms::kUnknown
            : SlotNumber(comms) == mdu::kCommsGood ? Comms::kGood
                                                   : Comms::kFailed;
  // Every cause the driver names holds a colon and none a semicolon, so
  // the slot's semicolons are the colons it could not hold.
  s.commsCause = slots[mdu::kSnmpCauseSlot];
  for (char& c : s.commsCause)
    if (c == ';') c = ':';
  s.location = slots[mdu::kAlarmLocationSlot];
  s.temperatureCelsius = SlotNumber(slots[mdu::kTemperatureSlot]);
  s.temperatureAlarmPointCelsius =
      SlotNumber(slots[mdu::kTemperatureAlarmPointSlot]);
  s.temperatureAlarm =
      Flag(slots[mdu::kTemperatureStateSlot], mdu::kTemperatureAlarm);
  s.powerInlets = slots[mdu::kPowerInletsSlot];
  s.powerOnSequence = SlotNumber(slots[mdu::kPowerOnSequenceSlot]);
  s.sequentialDelaySeconds = Tenths(slots[mdu::kSequentialDelaySlot]);

  // The driver blanks the slots of points the unit does not report, so an
  // empty pair of slots is a point that is not there.
  for (int n = 1; n <= mdu::kOutputCount; ++n) {
    const std::string& state = slots[mdu::kOutputStateSlot + n];
    const std::string& delay = slots[mdu::kOutputDelaySlot + n];
    if (state.empty() && delay.empty()) continue;
    s.outputs.push_back({n, Flag(state, 1), Tenths(delay)});
  }
  for (int n = 1; n <= mdu::kGpiCount; ++n) {
    const std::string& state = slots[mdu::kGpiStateSlot + n];
    const std::string& polarity = slots[mdu::kGpiPolaritySlot + n];
    if (state.empty() && polarity.empty()) continue;
    s.gpis.push_back({n, Flag(state, 1), SlotNumber(polarity)});
  }
  for (int n = 1; n <= mdu::kFuseCount; ++n) {
    const std::string& state = slots[mdu::kFuseStateSlot + n];
    if (state.empty()) continue;
    s.fuses.push_back({n, Flag(state, 0)});
  }
  return s;
}

nlohmann::json UnitToJson(const UnitState& s, bool withSlots,
                          const UnitNames* names) {
  static const UnitNames kNoNames;
  const UnitNames& n = names != nullptr ? *names : kNoNames;
  auto named = [](nlohmann::json point, const std::map<int, std::string>& of,
                  int number) {
    auto found = of.find(number);
    if (found != of.end()) point["name"] = found->second;
    return point;
  };
  nlohmann::json outputs = nlohmann::json::array();
  for (const OutputPoint& o : s.outputs)
    outputs.push_back(
        named({{"output", o.number},
               {"on", OrNull(o.on)},
               {"on_delay_seconds", OrNull(o.onDelaySeconds)},
               {"protected", n.protectedOutputs.count(o.number) > 0}},
              n.outputs, o.number));
  nlohmann::json gpis = nlohmann::json::array();
  for (const GpiPoint& g : s.gpis)
    gpis.push_back(named({{"gpi", g.number},
                          {"active", OrNull(g.active)},
                          {"polarity", OrNull(g.polarity)}},
                         n.gpis, g.number));
  nlohmann::json fuses = nlohmann::json::array();
  for (const FusePoint& f : s.fuses)
    fuses.push_back(
        named({{"fuse", f.number}, {"ok", OrNull(f.ok)}}, n.fuses, f.number));

  nlohmann::json snmp = {{"version", s.snmpVersion}};
  if (s.snmpVersion == "3")
    snmp["security_level"] = s.snmpSecurityLevel.empty()
                                 ? nlohmann::json(nullptr)
                                 : nlohmann::json(s.snmpSecurityLevel);

  nlohmann::json j = {
      {"site", s.site},
      {"device", s.device},
      {"unit", s.unit},
      {"address", s.address},
      {"snmp", snmp},
      {"live", s.live},
      {"answering", s.answering()},
      {"comms", CommsName(s.knownComms())},
      {"comms_cause", s.knownComms() == Comms::kFailed && !s.commsCause.empty()
                          ? nlohmann::json(s.commsCause)
                          : nlohmann::json(nullptr)},
      {"location", s.location},
      {"temperature",
       {{"celsius", OrNull(s.temperatureCelsius)},
        {"alarm_point_celsius", OrNull(s.temperatureAlarmPointCelsius)},
        {"alarm", OrNull(s.temperatureAlarm)}}},
      {"power_inlets", s.powerInlets},
      {"power_on_sequence", OrNull(s.powerOnSequence)},
      {"sequential_delay_seconds", OrNull(s.sequentialDelaySeconds)},
      {"outputs", outputs},
      {"gpis", gpis},
      {"fuses", fuses},
      {"alarms",
       {{"comms", !s.live || s.comms == Comms::kFailed},
        {"gpi", s.gpiAlarms()},
        {"fuse", s.fuseAlarms()},
        {"temperature", s.temperatureAlarm.value_or(false)},
        {"total", s.alarmCount()}}},
  };
  // The inlets' status is one text of the unit's, so their names stand
  // beside it rather than in it.
  if (!n.inlets.empty()) {
    nlohmann::json inlets = nlohmann::json::array();
    for (const auto& [number, name] : n.inlets)
      inlets.push_back({{"inlet", number}, {"name", name}});
    j["power_inlet_names"] = inlets;
  }
  if (withSlots) {
    nlohmann::json slots = nlohmann::json::object();
    for (int i = 1; i < mdu::kSlotsPerUnit; ++i)
      if (!s.slots[i].empty()) slots[std::to_string(i)] = s.slots[i];
    j["slots"] = slots;
  }
  return j;
}

std::string SlotMeaning(int slot) {
  char text[80];
  auto numbered = [&](const char* format, int n) {
    std::snprintf(text, sizeof text, format, n);
    return std::string(text);
  };
  using mdu::PointNumber;
  if (int n = PointNumber(slot, mdu::kGpiStateSlot, mdu::kGpiCount))
    return numbered("GPI %d state (1 alarm)", n);
  if (int n = PointNumber(slot, mdu::kGpiPolaritySlot, mdu::kGpiCount))
    return numbered("GPI %d polarity", n);
  if (int n = PointNumber(slot, mdu::kOutputStateSlot, mdu::kOutputCount))
    return numbered("Output %d state (1 on)", n);
  if (int n = PointNumber(slot, mdu::kFuseStateSlot, mdu::kFuseCount))
    return numbered("Fuse %d state (1 blown)", n);
  if (int n = PointNumber(slot, mdu::kOutputDelaySlot, mdu::kOutputCount))
    return numbered("Output %d on-delay from power on (tenths of a second)", n);
  switch (slot) {
    case mdu::kPowerOnSequenceSlot:
      return "Power-on output sequence";
    case mdu::kSequentialDelaySlot:
      return "Sequential mode delay between outputs (tenths of a second)";
    case mdu::kSnmpCauseSlot:
      return "Why the unit does not answer (SNMPv3)";
    case mdu::kTemperatureStateSlot:
      return "Temperature state (1 normal, 2 alarm)";
    case mdu::kTemperatureSlot:
      return "Equipment temperature (degrees C)";
    case mdu::kTemperatureAlarmPointSlot:
      return "Temperature alarm point (degrees C)";
    case mdu::kPowerInletsSlot:
      return "Status of the power inlets";
    case mdu::kAlarmLocationSlot:
      return "Alarm location";
    case mdu::kCommsSlot:
      return "Communication (0 good, 1 no communication)";
    default:
      return "";
  }
}

std::string JsonText(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
