#ifndef QOR_MQTT_MQTT_TOPICS_H_
#define QOR_MQTT_MQTT_TOPICS_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/device_number.h"  // kMaxDeviceNumber: <device> at most
#include "platform/printable.h"
#include "unitview/unit_source.h"
#include "unitview/unit_state.h"

// The topic tree the bridges publish and the broker source reads, and the
// payloads on it. One place for both ends, so that they cannot drift apart.
//
//   qor/<site>/status                       "online" / "offline" (retained;
//                                           "offline" is the Last Will)
//   qor/<site>/<device>/status              JSON, DeviceStatusPayload
//   (retained) qor/<site>/<device>/<unit>/state        JSON, StatePayload
//   (retained) qor/<site>/<device>/<unit>/<point>      text, PointPayloads
//   (retained) qor/<site>/<device>/<unit>/<control>/set     a request (never
//   retained) qor/<site>/<device>/<unit>/<control>/result  its stages, when the
//                                           request named no response topic
//
// <device> and <unit> are decimal numbers without leading zeros.

// A request's payload is a slot text (at most 255 bytes); anything much
// longer is refused before it is looked at.
constexpr size_t kMaxSetPayload = 1024;
// The only place a bridge publishes a request's answers when the request
// names an MQTT 5 response topic: outside qor/, so that no answer can land
// on a site's state or `set` topics. Any other response topic is refused.
constexpr std::string_view kResponsePrefix = "qor-response/";
// How far two hosts' clocks may differ for a request's deadline to be
// trusted across them (they are meant to run NTP, which keeps them within
// milliseconds): a deadline further ahead than kControlDeadlineMs plus
// this is refused as a sign of clock skew.
constexpr int64_t kClockSkewToleranceMs = 2000;
// The MQTT 5 user property that carries a request's deadline across hosts.
constexpr const char* kDeadlineProperty = "deadline";

// A site name must be one topic level: not empty, at most 64 bytes, no
// '/', '+', '#', control bytes or NUL.
bool ValidSiteName(std::string_view site);

std::string SiteStatusTopic(const std::string& site);
std::string DeviceStatusTopic(const std::string& site, int device);
std::string UnitTopic(const std::string& site, int device, int unit);
std::string StateTopic(const std::string& site, int device, int unit);

// The per-point topics of a unit (relative to UnitTopic) and their text:
//
//   output/N, output/N/on_delay, gpi/N, gpi/N/polarity, fuse/N,
//   power_on_sequence, sequential_delay, temperature_alarm_point,
//   location, power_inlets, temperature
//                    the slot's text as the driver wrote it (output "1" on,
//                    on-delays in tenths of a second, gpi "1" active, fuse
//                    "1" blown, temperature in degrees C): the value topic of
//                    each control point carries what its `set` takes.
//   temperature/alarm  "1" in alarm, "0" normal
//   comms              "ok", "failed" or "unknown"
//
// A point whose slot is empty (the unit does not report it) has an empty
// payload, which on a retained topic deletes the retained message.
std::map<std::string, std::string> PointPayloads(const UnitState& state);

// UnitToJson of the unit, with its slots: the broker source rebuilds the
// unit from "slots", "address" and "live" alone.
std::string StatePayload(const UnitState& state);
// A unit back from its state payload; nothing when the payload is not a
// JSON object with those members.
std::optional<UnitState> ParseStatePayload(const std::string& site, int device,
                                           int unit, std::string_view payload,
                                           std::string* error);

// {"site":..,"device":1,"infodriver_connected":true,"driver_connected":true,
//  "problem":"","units":[1,2]}
std::string DeviceStatusPayload(const DeviceStatus& status);
std::optional<DeviceStatus> ParseDeviceStatusPayload(const std::string& site,
                                                     int device,
                                                     std::string_view payload);

// A request's stage: ControlUpdateToJson, with at least
// {"id","site","device","unit","point","slot","value","stage","reason",
// "slot_text"} ("stage" as ControlStageName says; "busy": true on a refusal
// for load). |pointText|, when given, is the point as the request named it:
// it replaces "point", and "slot" is null unless it is a control point.
std::string ControlResultPayload(const ControlUpdate& update,
                                 std::string_view pointText = {});
std::optional<ControlUpdate> ParseControlResultPayload(
    std::string_view payload);

// What a topic under qor/ is, as far as the tree says.
struct ParsedTopic {
  enum Kind {
    kOther,         // anything else, or a malformed topic
    kSiteStatus,    // qor/<site>/status
    kDeviceStatus,  // qor/<site>/<device>/status
    kUnitState,     // qor/<site>/<device>/<unit>/state
    kSet,           // qor/<site>/<device>/<unit>/<point>/set
  };
  Kind kind = kOther;
  std::string site;
  int device = 0;
  int unit = 0;
  std::string point;  // kSet: the control point's name as written
};
ParsedTopic ParseTopic(std::string_view topic);

// Where the stages of a request on |setTopic| go when it names no response
// topic: the same topic with "result" for "set".
std::string ResultTopicFor(std::string_view setTopic);

// A response topic a bridge may publish on: kResponsePrefix and at least one
// more byte, no wildcard, at most 256 bytes.
bool ValidResponseTopic(std::string_view topic);

// A wall-clock time (ms since the Unix epoch) as RFC 3339 UTC with
// milliseconds, "2026-12-09T10:11:12.345Z", and back; nothing for any other
// text.
std::string DeadlineText(int64_t unixMs);
std::optional<int64_t> ParseDeadlineText(std::string_view text);

#endif  // QOR_MQTT_MQTT_TOPICS_H_
