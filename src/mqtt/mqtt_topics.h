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
//   qor/<site>/control                      "enabled" / "disabled"
//                                           (retained): whether the site's
//                                           bridge takes requests
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
std::string SiteControlTopic(const std::string& site);
std::string DeviceStatusTopic(const std::string& site, int device);
std::string UnitTopic(const std::string& site, int device, int unit);
std::string StateTopic(const std::string& site, int device, int unit);

// The per-point topics of a unit (relative to UnitTopic) and their text:
//
//   output/N, gpi/N, gpi/N/polarity, fuse/N, power_on_sequence,
//   temperature_alarm_point, location, power_inlets, temperature
//                    the slot's text as the driver wrote it (output "1" on,
//                    gpi "1" active, fuse "1" blown, temperature in degrees
//                    C): the value topic of each control point carries what
//                    its `set` takes.
//   output/N/on_delay, sequential_delay
//                    seconds ("5"), as in the state and on their `set`
//                    topics; the slot holds tenths ("50").
//   temperature/alarm  "1" in alarm, "0" normal
//   comms              "ok", "failed" or "unknown"; "unknown" whenever the
//                    device's driver or infodriver is away. The unit's
//                    availability: only "ok" says its values are current.
//
// A point whose slot is empty (the unit does not report it) has an empty
// payload, which on a retained topic deletes the retained message.
std::map<std::string, std::string> PointPayloads(const UnitState& state);

// The relative slot a point topic (relative to UnitTopic) shows, or
// nothing for a name that is no point: "gpi/3" 3, "output/2/on_delay" 82.
std::optional<int> PointSlot(std::string_view point);
// A delay slot's tenths as seconds: "50" "5", "15" "1.5"; any other text
// as it is.
std::string DelaySecondsText(const std::string& tenths);
// A `set` payload checked for |point|, with the slot text to request:
// delays are whole seconds 0-255 on the broker, tenths in the slot.
ControlValue CheckSetPayload(const ControlPoint& point,
                             std::string_view payload);
// The `set` payload that requests |slotText| for |point|.
std::string SetPayloadFor(const ControlPoint& point,
                          const std::string& slotText);

// UnitToJson of the unit, with its slots and the names of |names|: the
// broker source rebuilds the unit from "slots", "address", "live" and the
// points' names alone. With |changed| (point topic to the wall time, ms
// since the epoch, its payload last changed), also "changed":
// {"output/1":"2026-12-09T10:11:12.345Z",...}, so that a reader of a stale
// unit knows how old each value is.
std::string StatePayload(
    const UnitState& state,
    const std::map<std::string, int64_t>* changed = nullptr,
    const UnitNames* names = nullptr);
// A unit back from its state payload, with the names it carries in
// |names| of the state (a name that a names file could not hold is left
// out); nothing when the payload is not a JSON object with those members.
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
// for load; "value" and "slot_text" of a delay in seconds). |pointText|,
// when given, is the point as the request named it: it replaces "point",
// and "slot" is that point's slot, null when it names none.
std::string ControlResultPayload(const ControlUpdate& update,
                                 std::string_view pointText = {});
std::optional<ControlUpdate> ParseControlResultPayload(
    std::string_view payload);

// What a topic under qor/ is, as far as the tree says.
struct ParsedTopic {
  enum Kind {
    kOther,         // anything else, or a malformed topic
    kSiteStatus,    // qor/<site>/status
    kSiteControl,   // qor/<site>/control
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
