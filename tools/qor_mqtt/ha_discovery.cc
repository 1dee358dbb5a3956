#include "ha_discovery.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "mqtt/mqtt_topics.h"
#include "nlohmann/json.hpp"

namespace {

using nlohmann::json;

bool IdByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::string ConfigTopic(const DiscoveryOptions& o, const char* component,
                        const std::string& objectId) {
  return o.prefix + "/" + component + "/" + objectId + "/config";
}

std::string SiteId(const DiscoveryOptions& o) {
  return "qor_" + DiscoveryId(o.site);
}

std::string UnitId(const DiscoveryOptions& o, int device, int unit) {
  return SiteId(o) + "_" + std::to_string(device) + "_" + std::to_string(unit);
}

json Origin() { return {{"name", "qor_mqtt"}}; }

// One entity of a unit: its component, object id and config, or no config
// when the unit does not offer it now.
struct Entity {
  const char* component;
  std::string objectId;
  std::optional<json> config;
};

// What every entity of a unit has: id, device, availability.
class UnitEntities {
 public:
  UnitEntities(const DiscoveryOptions& options, const UnitState& state)
      : id_(UnitId(options, state.device, state.unit)),
        base_(UnitTopic(options.site, state.device, state.unit) + "/") {
    device_ = {{"identifiers", json::array({id_})},
               {"name", state.location.empty()
                            ? "MDU " + std::to_string(state.device) + "/" +
                                  std::to_string(state.unit)
                            : state.location},
               {"manufacturer", "QOR"},
               {"model", "MDU"},
               {"via_device", SiteId(options)}};
    // The unit's values count only while the bridge is up and the unit
    // answers its driver; "unknown" (driver away) is not available either.
    availability_ = json::array(
        {{{"topic", SiteStatusTopic(options.site)},
          {"payload_available", "online"},
          {"payload_not_available", "offline"}},
         {{"topic", base_ + "comms"},
          {"value_template", "{{ 'online' if value == 'ok' else 'offline' }}"},
          {"payload_available", "online"},
          {"payload_not_available", "offline"}}});
  }

  // An entity on the unit's topic |point|, named |name|; |offered| false
  // gives the entity without a config.
  Entity Make(const char* component, const std::string& point,
              const std::string& name, bool offered, json fields) const {
    std::string suffix = point;
    for (char& c : suffix)
      if (c == '/') c = '_';
    Entity e{component, id_ + "_" + suffix, std::nullopt};
    if (!offered) return e;
    json config = {{"name", name},
                   {"unique_id", e.objectId},
                   {"state_topic", base_ + point},
                   {"availability", availability_},
                   {"availability_mode", "all"},
                   {"device", device_},
                   {"origin", Origin()}};
    config.update(fields);
    e.config = std::move(config);
    return e;
  }

  std::string SetTopic(const std::string& point) const {
    return base_ + point + "/set";
  }

 private:
  std::string id_, base_;
  json device_, availability_;
};

std::vector<Entity> Entities(const DiscoveryOptions& o, const UnitState& state,
                             const UnitNames& names) {
  UnitEntities unit(o, state);
  std::vector<Entity> all;
  auto nameOf = [&](const std::string& point, const std::string& fallback) {
    return names.NameOf(point).value_or(fallback);
  };
  json problem = {
      {"device_class", "problem"}, {"payload_on", "1"}, {"payload_off", "0"}};
  for (int n = 1; n <= kOutputCount; ++n) {
    const OutputPoint* output = nullptr;
    for (const OutputPoint& p : state.outputs)
      if (p.number == n) output = &p;
    const std::string point = "output/" + std::to_string(n);
    const std::string name = nameOf(point, "Output " + std::to_string(n));
    const bool isProtected = names.protectedOutputs.count(n) != 0;
    const bool switchable =
        o.allowControl && (!isProtected || o.allowProtected);
    // A protected output is switched off only by a request that names it.
    const std::string off =
        isProtected ? JsonText({{"value", "0"}, {"confirm", name}}) : "0";
    all.push_back(unit.Make("switch", point, name,
                            output != nullptr && switchable,
                            {{"command_topic", unit.SetTopic(point)},
                             {"payload_on", "1"},
                             {"payload_off", off},
                             {"state_on", "1"},
                             {"state_off", "0"},
                             {"retain", false},
                             {"device_class", "outlet"}}));
    all.push_back(unit.Make("binary_sensor", point, name,
                            output != nullptr && !switchable,
                            {{"device_class", "power"},
                             {"payload_on", "1"},
                             {"payload_off", "0"}}));
    const std::string delay = point + "/on_delay";
    all.push_back(
        unit.Make("number", delay, name + " on-delay",
                  output != nullptr && output->onDelaySeconds && o.allowControl,
                  {{"command_topic", unit.SetTopic(delay)},
                   {"min", 0},
                   {"max", 255},
                   {"step", 1},
                   {"mode", "box"},
                   {"unit_of_measurement", "s"},
                   {"device_class", "duration"},
                   {"entity_category", "config"},
                   {"retain", false}}));
  }
  for (int n = 1; n <= kGpiCount; ++n) {
    bool reported = false;
    for (const GpiPoint& p : state.gpis) reported |= p.number == n;
    const std::string point = "gpi/" + std::to_string(n);
    all.push_back(unit.Make("binary_sensor", point,
                            nameOf(point, "GPI " + std::to_string(n)), reported,
                            problem));
  }
  for (int n = 1; n <= kFuseCount; ++n) {
    bool reported = false;
    for (const FusePoint& p : state.fuses) reported |= p.number == n;
    const std::string point = "fuse/" + std::to_string(n);
    all.push_back(unit.Make("binary_sensor", point,
                            nameOf(point, "Fuse " + std::to_string(n)),
                            reported, problem));
  }
  all.push_back(unit.Make("sensor", "temperature", "Temperature",
                          state.temperatureCelsius.has_value(),
                          {{"device_class", "temperature"},
                           {"unit_of_measurement", "°C"},
                           {"state_class", "measurement"}}));
  all.push_back(unit.Make(
      "binary_sensor", "temperature/alarm", "Temperature alarm",
      state.temperatureAlarm.has_value(),
      {{"device_class", "heat"}, {"payload_on", "1"}, {"payload_off", "0"}}));
  all.push_back(unit.Make("text", "location", "Location", o.allowControl,
                          {{"command_topic", unit.SetTopic("location")},
                           {"min", 0},
                           {"max", 255},
                           {"mode", "text"},
                           {"entity_category", "config"},
                           {"retain", false}}));
  return all;
}

}  // namespace

bool ValidDiscoveryPrefix(std::string_view prefix) {
  if (prefix.empty() || prefix.size() > 64 || prefix == "qor" ||
      prefix.substr(0, 4) == "qor/")
    return false;
  char previous = '/';
  for (char c : prefix) {
    if (c == '/' && previous == '/') return false;  // an empty level
    if (c != '/' && !IdByte(c)) return false;
    previous = c;
  }
  return previous != '/';
}

std::string DiscoveryId(std::string_view text) {
  std::string id;
  bool changed = false;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : text) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    id += IdByte(c) ? c : '_';
    changed |= !IdByte(c);
  }
  if (changed) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%08x", hash);
    id += suffix;
  }
  return id;
}

std::map<std::string, std::string> UnitDiscoveryConfigs(
    const DiscoveryOptions& options, const UnitState& state,
    const UnitNames& names) {
  std::map<std::string, std::string> configs;
  for (Entity& e : Entities(options, state, names))
    configs[ConfigTopic(options, e.component, e.objectId)] =
        e.config ? JsonText(*e.config) : "";
  return configs;
}

std::vector<std::string> UnitDiscoveryTopics(const DiscoveryOptions& options,
                                             int device, int unit) {
  UnitState state;
  state.device = device;
  state.unit = unit;
  std::vector<std::string> topics;
  for (Entity& e : Entities(options, state, UnitNames()))
    topics.push_back(ConfigTopic(options, e.component, e.objectId));
  return topics;
}

std::pair<std::string, std::string> SiteDiscoveryConfig(
    const DiscoveryOptions& options) {
  const std::string id = SiteId(options) + "_bridge";
  json config = {{"name", "Bridge"},
                 {"unique_id", id},
                 {"state_topic", SiteStatusTopic(options.site)},
                 {"payload_on", "online"},
                 {"payload_off", "offline"},
                 {"device_class", "connectivity"},
                 {"entity_category", "diagnostic"},
                 {"device",
                  {{"identifiers", json::array({SiteId(options)})},
                   {"name", "qor_mqtt " + options.site},
                   {"manufacturer", "QOR"},
                   {"model", "qor_mqtt"}}},
                 {"origin", Origin()}};
  return {ConfigTopic(options, "binary_sensor", id), JsonText(config)};
}
