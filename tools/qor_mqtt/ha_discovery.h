#ifndef QOR_TOOLS_QOR_MQTT_HA_DISCOVERY_H_
#define QOR_TOOLS_QOR_MQTT_HA_DISCOVERY_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "unitview/point_names.h"
#include "unitview/unit_state.h"

// Home Assistant's MQTT discovery for the units a bridge publishes: one
// retained config per entity at PREFIX/<component>/<object id>/config,
// pointing at the bridge's own state and `set` topics, so that Home
// Assistant shows each unit as a device with its points and switches its
// outputs through the same requests as anyone else.
//
// Per unit (object ids qor_<site>_<device>_<unit>_<point>):
//   output N    a switch ("1" on, "0" off) when the bridge takes requests
//               and the output is not protected (or protected outputs
//               are allowed); a binary_sensor (device class power)
//               otherwise
//   output N on-delay  a number, seconds 0-255, when requests are taken
//   GPI N, fuse N      binary_sensors of device class problem
//   temperature        a sensor in °C; its alarm a binary_sensor (heat)
//   location           a text, when requests are taken
// Every entity is available while both the site's status topic says
// "online" and the unit's comms topic says "ok".
//
// The site's bridge is a device of its own (a connectivity binary_sensor on
// the site's status), which every unit names as its via_device.

constexpr const char* kDefaultDiscoveryPrefix = "homeassistant";

struct DiscoveryOptions {
  std::string prefix = kDefaultDiscoveryPrefix;
  std::string site;
  bool allowControl = false;
  bool allowProtected = false;
};

// A discovery prefix Home Assistant can be set to and no topic of the
// bridge's can be mistaken for: one or more levels of [a-zA-Z0-9_-], at
// most 64 bytes, not "qor".
bool ValidDiscoveryPrefix(std::string_view prefix);

// |text| as a part of an object id: [a-zA-Z0-9_-] only. Any other byte
// becomes '_', and then a hash of the whole text follows, so that two
// site names that differ only there still give two ids.
std::string DiscoveryId(std::string_view text);

// Every config topic the unit can have, with its payload now: the config
// of each entity it offers, and an empty payload for each it does not
// (a point it does not report, the other form of an output), which clears
// a config an earlier run with other options left.
std::map<std::string, std::string> UnitDiscoveryConfigs(
    const DiscoveryOptions& options, const UnitState& state,
    const UnitNames& names);

// Every config topic unit |unit| of |device| can have: emptied when the
// unit leaves the settings.
std::vector<std::string> UnitDiscoveryTopics(const DiscoveryOptions& options,
                                             int device, int unit);

// The config topic and payload of the site's bridge.
std::pair<std::string, std::string> SiteDiscoveryConfig(
    const DiscoveryOptions& options);

#endif  // QOR_TOOLS_QOR_MQTT_HA_DISCOVERY_H_
