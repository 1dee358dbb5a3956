#include "mqtt/mqtt_topics.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "infodriver/infodriver_protocol.h"
#include "mdu/unit_layout.h"

namespace {

std::vector<std::string_view> Levels(std::string_view topic) {
  std::vector<std::string_view> levels;
  size_t start = 0;
  while (true) {
    size_t slash = topic.find('/', start);
    if (slash == std::string_view::npos) {
      levels.push_back(topic.substr(start));
      return levels;
    }
    levels.push_back(topic.substr(start, slash - start));
    start = slash + 1;
  }
}

// A decimal number from 1 to |max| without sign, blanks or leading zeros:
// one unit has one topic.
std::optional<int> TopicNumber(std::string_view text, int max) {
  if (text.empty() || text.size() > 4 || text[0] == '0') return std::nullopt;
  int value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 ||
      value > max)
    return std::nullopt;
  return value;
}

// A point's name as a names file could hold it; anything else from the
// broker is not shown.
void TakeName(const nlohmann::json& point, const char* key, int max,
              std::map<int, std::string>* names) {
  auto number = point.find(key);
  auto name = point.find("name");
  if (number == point.end() || !number->is_number_integer() ||
      name == point.end() || !name->is_string())
    return;
  const long long n = number->get<long long>();
  const std::string& text = name->get_ref<const std::string&>();
  if (n < 1 || n > max || text.empty() || text.size() > kMaxPointNameBytes ||
      !PrintableText(text))
    return;
  (*names)[static_cast<int>(n)] = text;
}

// The names a unit's state payload carries, and its protected outputs.
UnitNames NamesOfState(const nlohmann::json& j) {
  UnitNames names;
  auto each = [&](const char* list, const char* key, int max,
                  std::map<int, std::string>* into) {
    auto points = j.find(list);
    if (points == j.end() || !points->is_array()) return;
    for (const nlohmann::json& p : *points) {
      if (!p.is_object()) continue;
      TakeName(p, key, max, into);
      auto prot = p.find("protected");
      auto n = p.find("output");
      if (into == &names.outputs && prot != p.end() && prot->is_boolean() &&
          prot->get<bool>() && n != p.end() && n->is_number_integer() &&
          n->get<long long>() >= 1 && n->get<long long>() <= kOutputCount)
        names.protectedOutputs.insert(n->get<int>());
    }
  };
  each("outputs", "output", kOutputCount, &names.outputs);
  each("gpis", "gpi", kGpiCount, &names.gpis);
  each("fuses", "fuse", kFuseCount, &names.fuses);
  each("power_inlet_names", "inlet", kMaxInlets, &names.inlets);
  return names;
}

}  // namespace

bool ValidSiteName(std::string_view site) {
  if (site.empty() || site.size() > 64) return false;
  for (unsigned char c : site)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '+' || c == '#') return false;
  return true;
}

std::string SiteStatusTopic(const std::string& site) {
  return "qor/" + site + "/status";
}

std::string SiteControlTopic(const std::string& site) {
  return "qor/" + site + "/control";
}

std::string DeviceStatusTopic(const std::string& site, int device) {
  return "qor/" + site + "/" + std::to_string(device) + "/status";
}

std::string UnitTopic(const std::string& site, int device, int unit) {
  return "qor/" + site + "/" + std::to_string(device) + "/" +
         std::to_string(unit);
}

std::string StateTopic(const std::string& site, int device, int unit) {
  return UnitTopic(site, device, unit) + "/state";
}

namespace {

// Every point topic backed by one slot, with its relative slot.
const std::map<std::string, int>& PointSlots() {
  static const std::map<std::string, int> slots = [] {
    std::map<std::string, int> m;
    for (const ControlPoint& p : AllControlPoints())
      m[p.name()] = p.relativeSlot();
    for (int n = 1; n <= kGpiCount; ++n)
      m["gpi/" + std::to_string(n)] = mdu::kGpiStateSlot + n;
    for (int n = 1; n <= kFuseCount; ++n)
      m["fuse/" + std::to_string(n)] = mdu::kFuseStateSlot + n;
    m["temperature"] = mdu::kTemperatureSlot;
    m["temperature/alarm"] = mdu::kTemperatureStateSlot;
    m["power_inlets"] = mdu::kPowerInletsSlot;
    m["comms"] = mdu::kCommsSlot;
    return m;
  }();
  return slots;
}

bool IsDelay(const ControlPoint& point) {
  return point.kind == ControlKind::kOutputOnDelay ||
         point.kind == ControlKind::kSequentialDelay;
}

}  // namespace

std::optional<int> PointSlot(std::string_view point) {
  auto it = PointSlots().find(std::string(point));
  if (it == PointSlots().end()) return std::nullopt;
  return it->second;
}

std::string DelaySecondsText(const std::string& tenths) {
  std::optional<int> n = SlotNumber(tenths);
  if (!n) return tenths;
  char text[32];
  if (*n % 10 == 0)
    std::snprintf(text, sizeof text, "%d", *n / 10);
  else
    std::snprintf(text, sizeof text, "%s%d.%d", *n < 0 ? "-" : "",
                  std::abs(*n / 10), std::abs(*n % 10));
  return text;
}

ControlValue CheckSetPayload(const ControlPoint& point,
                             std::string_view payload) {
  if (!IsDelay(point)) return CheckControlValue(point, payload);
  // Whole seconds only: the unit keeps whole seconds, and the slot its
  // tenths.
  auto seconds = TopicNumber(payload, 255);
  if (payload == "0") seconds = 0;
  if (!seconds) {
    ControlValue bad;
    bad.error = "\"" + Printable(payload, 32) +
                "\" is not a delay: " + point.name() +
                " takes whole seconds from 0 to 255";
    return bad;
  }
  return CheckControlValue(point, std::to_string(*seconds * 10));
}

std::string SetPayloadFor(const ControlPoint& point,
                          const std::string& slotText) {
  return IsDelay(point) ? DelaySecondsText(slotText) : slotText;
}

std::map<std::string, std::string> PointPayloads(const UnitState& state) {
  std::map<std::string, std::string> points;
  for (const auto& [name, slot] : PointSlots())
    points[name] = state.slots[slot];
  // Delays in seconds, as in the state and on the `set` topics.
  for (const ControlPoint& p : AllControlPoints())
    if (IsDelay(p))
      points[p.name()] = DelaySecondsText(state.slots[p.relativeSlot()]);
  // Automation wants plain flags, read as the page reads them.
  points["temperature/alarm"] =
      state.slots[mdu::kTemperatureStateSlot].empty()
          ? ""
          : (state.temperatureAlarm.value_or(false) ? "1" : "0");
  // Stale when the driver or its infodriver is away, whatever it said last.
  points["comms"] = CommsName(state.knownComms());
  return points;
}

std::string StatePayload(const UnitState& state,
                         const std::map<std::string, int64_t>* changed,
                         const UnitNames* names) {
  nlohmann::json j = UnitToJson(state, /*withSlots=*/true, names);
  if (changed != nullptr) {
    nlohmann::json times = nlohmann::json::object();
    for (const auto& [point, ms] : *changed) times[point] = DeadlineText(ms);
    j["changed"] = times;
  }
  return JsonText(j);
}

std::optional<UnitState> ParseStatePayload(const std::string& site, int device,
                                           int unit, std::string_view payload,
                                           std::string* error) {
  auto fail = [&](const char* why) -> std::optional<UnitState> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return fail("not a JSON object");
  auto slots = j.find("slots");
  if (slots == j.end() || !slots->is_object())
    return fail("no \"slots\" object");
  UnitSlots texts;
  for (auto& [key, value] : slots->items()) {
    auto n = TopicNumber(key, kSlotsPerUnit - 1);
    if (!n || !value.is_string())
      return fail("a slot is not a number and text");
    // No driver writes more: a longer text is not a unit's.
    if (value.get_ref<const std::string&>().size() > kSlotTextMax)
      return fail("a slot text is longer than 255 bytes");
    texts[*n] = value.get<std::string>();
  }
  std::string address;
  if (auto a = j.find("address"); a != j.end() && a->is_string())
    address = a->get<std::string>();
  UnitState state = DecodeUnit(site, device, unit, address, texts);
  if (auto live = j.find("live"); live != j.end() && live->is_boolean())
    state.live = live->get<bool>();
  // The cause comes back with the slots; the version and level are the
  // bridge's settings, checked as the hub checks them.
  if (auto snmp = j.find("snmp"); snmp != j.end() && snmp->is_object()) {
    auto text = [&](const char* key) {
      auto it = snmp->find(key);
      return it != snmp->end() && it->is_string() ? it->get<std::string>()
                                                  : std::string();
    };
    state.snmpVersion = SnmpVersionOf(text("version"));
    state.snmpSecurityLevel =
        SnmpLevelOf(state.snmpVersion, text("security_level"));
  }
  state.names = NamesOfState(j);
  return state;
}

std::string DeviceStatusPayload(const DeviceStatus& status) {
  return JsonText(DeviceStatusToJson(status));
}

std::optional<DeviceStatus> ParseDeviceStatusPayload(const std::string& site,
                                                     int device,
                                                     std::string_view payload) {
  nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  DeviceStatus status;
  status.site = site;
  status.device = device;
  auto flag = [&](const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_boolean() && it->get<bool>();
  };
  status.infodriverConnected = flag("infodriver_connected");
  status.driverConnected = flag("driver_connected");
  if (auto p = j.find("problem"); p != j.end() && p->is_string())
    status.problem = p->get<std::string>();
  if (auto u = j.find("units"); u != j.end() && u->is_array())
    for (auto& n : *u)
      if (n.is_number_integer() && n.get<int>() >= 1 &&
          n.get<int>() <= kUnitsPerDevice)
        status.units.push_back(n.get<int>());
  return status;
}

std::string ControlResultPayload(const ControlUpdate& update,
                                 std::string_view pointText) {
  nlohmann::json j = ControlUpdateToJson(update);
  if (!pointText.empty()) {
    // What was asked for, even when it names no control point (an update
    // of such a request holds a default point).
    j["point"] = std::string(pointText);
    auto slot = PointSlot(pointText);
    j["slot"] = slot ? nlohmann::json(*slot) : nlohmann::json();
  }
  if (IsDelay(update.point) &&
      (pointText.empty() || ParseControlPoint(pointText) == update.point)) {
    j["value"] = DelaySecondsText(update.value);
    j["slot_text"] = DelaySecondsText(update.slotText);
  } else {
    j["slot_text"] = update.slotText;
  }
  // Always present on the broker, so that automation need not test for it.
  j["reason"] = update.reason;
  return JsonText(j);
}

std::optional<ControlUpdate> ParseControlResultPayload(
    std::string_view payload) {
  nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  auto stage = j.find("stage");
  if (stage == j.end() || !stage->is_string()) return std::nullopt;
  ControlUpdate u;
  std::string s = stage->get<std::string>();
  if (s == "refused") {
    u.stage = ControlStage::kRefused;
  } else if (s == "pending") {
    u.stage = ControlStage::kPending;
  } else if (s == "expired") {
    u.stage = ControlStage::kExpired;
  } else if (s == "accepted") {
    u.stage = ControlStage::kAccepted;
  } else if (s == "confirmed") {
    u.stage = ControlStage::kConfirmed;
  } else if (s == "not_confirmed" || s == "not confirmed" ||
             s == "not-confirmed") {
    u.stage = ControlStage::kNotConfirmed;
  } else {
    return std::nullopt;
  }
  auto text = [&](const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>()
                                            : std::string();
  };
  auto number = [&](const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
  };
  u.id = static_cast<uint64_t>(number("id"));
  u.site = text("site");
  u.device = static_cast<int>(number("device"));
  u.unit = static_cast<int>(number("unit"));
  if (auto p = ParseControlPoint(text("point"))) u.point = *p;
  u.value = text("value");
  u.reason = text("reason");
  u.slotText = text("slot_text");
  if (IsDelay(u.point)) {
    // Seconds on the broker, tenths in the slot.
    for (std::string* t : {&u.value, &u.slotText})
      if (std::optional<int> s = SlotNumber(*t); s && *t == std::to_string(*s))
        *t = std::to_string(*s * 10);
  }
  if (auto busy = j.find("busy"); busy != j.end() && busy->is_boolean())
    u.busy = busy->get<bool>();
  return u;
}

ParsedTopic ParseTopic(std::string_view topic) {
  ParsedTopic parsed;
  std::vector<std::string_view> levels = Levels(topic);
  if (levels.size() < 3 || levels[0] != "qor" || !ValidSiteName(levels[1]))
    return parsed;
  std::string site(levels[1]);
  if (levels.size() == 3) {
    if (levels[2] == "status")
      parsed.kind = ParsedTopic::kSiteStatus;
    else if (levels[2] == "control")
      parsed.kind = ParsedTopic::kSiteControl;
    else
      return parsed;
    parsed.site = site;
    return parsed;
  }
  auto device = TopicNumber(levels[2], kMaxDeviceNumber);
  if (!device) return parsed;
  if (levels.size() == 4) {
    if (levels[3] != "status") return parsed;
    parsed.kind = ParsedTopic::kDeviceStatus;
  } else {
    auto unit = TopicNumber(levels[3], kUnitsPerDevice);
    if (!unit) return parsed;
    parsed.unit = *unit;
    if (levels.size() == 5 && levels[4] == "state") {
      parsed.kind = ParsedTopic::kUnitState;
    } else if (levels.size() >= 6 && levels.back() == "set") {
      parsed.kind = ParsedTopic::kSet;
      size_t start = levels[4].data() - topic.data();
      size_t end = levels.back().data() - topic.data() - 1;
      parsed.point = std::string(topic.substr(start, end - start));
    } else {
      return parsed;
    }
  }
  parsed.site = site;
  parsed.device = *device;
  return parsed;
}

std::string ResultTopicFor(std::string_view setTopic) {
  std::string topic(setTopic);
  if (topic.size() >= 4 && topic.compare(topic.size() - 4, 4, "/set") == 0)
    topic.resize(topic.size() - 4);
  return topic + "/result";
}

bool ValidResponseTopic(std::string_view topic) {
  if (topic.size() <= kResponsePrefix.size() || topic.size() > 256 ||
      topic.substr(0, kResponsePrefix.size()) != kResponsePrefix)
    return false;
  for (char c : topic)
    if (c == '+' || c == '#' || c == '\0') return false;
  return true;
}

std::string DeadlineText(int64_t unixMs) {
  const time_t seconds = static_cast<time_t>(unixMs / 1000);
  struct tm utc = {};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, static_cast<int>(unixMs % 1000));
  return text;
}

std::optional<int64_t> ParseDeadlineText(std::string_view text) {
  // Exactly the form DeadlineText writes: 24 bytes, digits where digits go.
  constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != kForm.size()) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return std::nullopt;
  }
  auto number = [&](size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  struct tm utc = {};
  utc.tm_year = number(0, 4) - 1900;
  utc.tm_mon = number(5, 2) - 1;
  utc.tm_mday = number(8, 2);
  utc.tm_hour = number(11, 2);
  utc.tm_min = number(14, 2);
  utc.tm_sec = number(17, 2);
  const time_t seconds = timegm(&utc);
  if (seconds < 0) return std::nullopt;
  const int64_t ms = static_cast<int64_t>(seconds) * 1000 + number(20, 3);
  // timegm takes 31 February as 3 March: only a date that exists.
  if (DeadlineText(ms) != text) return std::nullopt;
  return ms;
}
