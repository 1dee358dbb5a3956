#ifndef QOR_UNITVIEW_UNIT_STATE_H_
#define QOR_UNITVIEW_UNIT_STATE_H_

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "mdu/unit_layout.h"
#include "unitview/point_names.h"

// What the driver publishes about one MDU, read back from the unit's block of
// slots (mdu/unit_layout.h). The driver writes every slot as text and blanks
// the slots of points the unit does not report; this is the one place
// outside the driver that decodes the block, shared by the web page, its
// API, the metrics and the MQTT bridge, so that all of them show the same
// thing.
//
// The meaning of the values, as the units report them:
//   GPI and fuse state (alarm table): "1" in alarm (GPI active, fuse blown),
//     "0" normal.
//   Output state: "1" on, "0" off.
//   On-delays and the sequential delay: slot text = the unit's seconds x 10.
//   Temperature state: "1" normal, "2" alarm.
//   Communication state: "0" good, "1" no communication.

// The layout's names as the programs on the unit view use them.
constexpr int kUnitsPerDevice = mdu::kUnitCount;
using mdu::kFuseCount;
using mdu::kGpiCount;
using mdu::kOutputCount;
using mdu::kSlotsPerUnit;
// First infodriver slot of unit |unit| (1 to 40).
using mdu::UnitSlotOffset;

// The relative slots of a unit's block; slot 0 of the block is unused.
using UnitSlots = std::array<std::string, kSlotsPerUnit>;

enum class Comms {
  kUnknown,  // the slot is empty: no driver has written it yet
  kGood,     // "0"
  kFailed,   // anything else; the driver writes "1"
};

struct OutputPoint {
  int number = 0;                        // 1 to 12
  std::optional<bool> on;                // kOutputStateSlot + n
  std::optional<double> onDelaySeconds;  // kOutputDelaySlot + n, / 10
};

struct GpiPoint {
  int number = 0;               // 1 to 16
  std::optional<bool> active;   // kGpiStateSlot + n; active is an alarm
  std::optional<int> polarity;  // kGpiPolaritySlot + n
};

struct FusePoint {
  int number = 0;          // 1 to 12
  std::optional<bool> ok;  // kFuseStateSlot + n; not ok is blown
};

// A unit's decoded state. Points whose slots are empty are left out of the
// lists (the unit does not report them); numbers whose slot text is not a
// number are unset. The texts stay as the slots hold them.
struct UnitState {
  std::string site;  // the host (or the name it was given) that serves it
  int device = 0;
  int unit = 0;         // 1 to 40, the settings section QOR_MDU_<unit>
  std::string address;  // SNMPAddress from the settings file
  // SNMPVersion and SNMPSecurityLevel from the settings file, as
  // SnmpVersionOf and SnmpLevelOf give them.
  std::string snmpVersion = "1";
  std::string snmpSecurityLevel;
  Comms comms = Comms::kUnknown;
  // Why the unit refuses the driver (kSnmpCauseSlot), with the colons the
  // slot could not hold; empty when it named no cause.
  std::string commsCause;
  // The device's infodriver and driver are both connected. When not, every
  // value (comms included) is the last one known and may be stale.
  bool live = true;
  // Each from the slot of the same name in mdu/unit_layout.h (location:
  // kAlarmLocationSlot); the delay is the slot's tenths / 10.
  std::string location;
  std::optional<int> temperatureCelsius;
  std::optional<int> temperatureAlarmPointCelsius;
  std::optional<bool> temperatureAlarm;  // kTemperatureStateSlot is "2"
  std::string powerInlets;
  std::optional<int> powerOnSequence;
  std::optional<double> sequentialDelaySeconds;
  std::vector<OutputPoint> outputs;
  std::vector<GpiPoint> gpis;
  std::vector<FusePoint> fuses;
  UnitSlots slots;  // the raw texts by relative slot
  // The names a bridge published with the unit (broker source); unset
  // where the names file is read here.
  std::optional<UnitNames> names;

  bool answering() const { return live && comms == Comms::kGood; }
  // What is known of the communication: kUnknown while the device is not
  // live, since the comms slot then holds what a driver said before it
  // went away.
  Comms knownComms() const { return live ? comms : Comms::kUnknown; }
  // Alarms standing: comms failed counts once, each GPI active, each fuse
  // blown, the temperature alarm.
  int gpiAlarms() const;
  int fuseAlarms() const;
  int alarmCount() const;
};

// "ok", "failed" or "unknown", as the JSON and the MQTT topics say it.
const char* CommsName(Comms comms);

// A unit's SNMP version from its SNMPVersion setting: "1", "2c" or "3",
// and "1" for anything else, as the driver takes a missing one.
std::string SnmpVersionOf(const std::string& setting);
// Its security level from its SNMPSecurityLevel setting: "noAuthNoPriv",
// "authNoPriv" or "authPriv" for a version 3 unit, empty for the others
// and for a setting that is none of the three.
std::string SnmpLevelOf(const std::string& version, const std::string& setting);

// Decodes a unit's block. |slots| are its relative slots (index 0
// ignored).
UnitState DecodeUnit(const std::string& site, int device, int unit,
                     const std::string& address, const UnitSlots& slots);

// The JSON form of a unit, shared by the web API and the MQTT bridge:
//   {"site":"studio-a","device":1,"unit":2,"address":"127.0.1.2",
//    "snmp":{"version":"3","security_level":"authPriv"} (security_level
//    only for version 3),"live":true,"answering":true,
//    "comms":"ok"|"failed"|"unknown" (unknown whenever not live),
//    "comms_cause":"authentication failed: wrong digest" (why a failed
//    unit refuses the driver; null when it answers or named no cause),
//    "location":"...","temperature":{"celsius":40,
//    "alarm_point_celsius":47,"alarm":false},"power_inlets":"...",
//    "power_on_sequence":2,"sequential_delay_seconds":0.7,
//    "power_inlet_names":[{"inlet":1,"name":"Mains A"}] (only when named),
//    "outputs":[{"output":1,"name":"Rack switch","on":true,
//                "on_delay_seconds":0,"protected":true}],
//    "gpis":[{"gpi":1,"name":"Door","active":true,"polarity":0}],
//    "fuses":[{"fuse":1,"name":"Feed B","ok":true}],
//    "alarms":{"comms":false,"gpi":3,"fuse":1,"temperature":false,
//              "total":4}}
// Unknown numbers are null. A point has "name" only when |names| names it;
// without |names| no output is protected. With |withSlots|, also "slots":
// an object of relative slot (as text) to slot text for every non-empty
// slot.
nlohmann::json UnitToJson(const UnitState& state, bool withSlots = false,
                          const UnitNames* names = nullptr);

// |json| as text. Slot texts are whatever a unit sent, so a byte that is not
// UTF-8 becomes U+FFFD instead of making the document unprintable.
std::string JsonText(const nlohmann::json& json);

// What a relative slot holds, for a unit's page: for example "Output 3
// state", "GPI 5 polarity", "Temperature alarm point (degrees C)"; empty for
// the slots the driver never writes.
std::string SlotMeaning(int relativeSlot);

// A slot text read as the driver reads numbers: leading blanks, an optional
// sign, decimal digits; unset when there are no digits or the value does not
// fit an int.
std::optional<int> SlotNumber(const std::string& text);

#endif  // QOR_UNITVIEW_UNIT_STATE_H_
