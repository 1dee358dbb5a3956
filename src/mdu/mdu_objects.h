#ifndef QOR_MDU_MDU_OBJECTS_H_
#define QOR_MDU_MDU_OBJECTS_H_

#include <cstdint>

#include "mdu/unit_layout.h"

// What the driver knows about an MDU: the objects it understands under the
// unit's enterprise subtree and the value conversions. Where each value
// lands in the unit's block of slots is in unit_layout.h.

namespace mdu {

// `type` of an alarm table row.
constexpr int32_t kGpiType = 2;
constexpr int32_t kFuseType = 3;

// Setting ranges a slot change must respect (slot values, so delays are
// ten times the unit's value).
constexpr int32_t kDelayMin = 0;
constexpr int32_t kDelayMax = 2550;
constexpr int32_t kAlarmPointMin = 0;
constexpr int32_t kAlarmPointMax = 128;

constexpr char kDeviceOid[] = "1.3.6.1.4.1.6853";

// The objects, recognised by a plain text prefix of the value's OID; the
// first prefix that matches wins, so the order matters.
enum class MduObjectKind {
  kAlarmIdent,
  kAlarmTable,  // cell: column and row follow the prefix
  kAlarmLocation,
  kTemperature,
  kTemperatureAlarmPoint,
  kEquipmentDescription,  // every object below the prefix
  kPowerOnSequence,
  kSequentialDelay,
  kMduTable,  // output table cell: column and row follow the prefix
  kPowerInlets,
};

struct MduObject {
  const char* prefix;
  const char* description;  // as it appears in the log lines
  MduObjectKind kind;
};

inline constexpr MduObject kMduObjects[] = {
    {"1.3.6.1.4.1.6853.2.1", "Alarm Ident", MduObjectKind::kAlarmIdent},
    {"1.3.6.1.4.1.6853.2.2.1.", "Alarm Table", MduObjectKind::kAlarmTable},
    {"1.3.6.1.4.1.6853.2.4", "Alarm Location", MduObjectKind::kAlarmLocation},
    {"1.3.6.1.4.1.6853.2.5", "Equipment Temperature",
     MduObjectKind::kTemperature},
    {"1.3.6.1.4.1.6853.2.6", "Equipment Temperature Alarm point",
     MduObjectKind::kTemperatureAlarmPoint},
    {"1.3.6.1.4.1.6853.3.1.", "Equipment description and version",
     MduObjectKind::kEquipmentDescription},
    {"1.3.6.1.4.1.6853.3.2", "power-on output sequence",
     MduObjectKind::kPowerOnSequence},
    {"1.3.6.1.4.1.6853.3.3", "Sequential mode delay between outputs",
     MduObjectKind::kSequentialDelay},
    {"1.3.6.1.4.1.6853.3.4.1.", "Mdu Table", MduObjectKind::kMduTable},
    {"1.3.6.1.4.1.6853.3.5", "Status of MDU power inlets",
     MduObjectKind::kPowerInlets},
};

// The first object whose prefix begins |oid|, or null.
const MduObject* findMduObject(const char* oid);

// True when |text| begins with |prefix| (plain byte comparison).
bool startsWith(const char* text, const char* prefix);

// A value text read as a decimal integer: leading blanks skipped, an
// optional sign, then digits up to the first non-digit; no digits give 0.
// Numbers beyond the 32-bit range stop at its ends instead of wrapping.
int32_t readInteger(const char* text);

// |value| x 10, kept inside the 32-bit range.
int32_t timesTen(int32_t value);

// Splits the rest of a table cell's OID (after the table prefix) into the
// column (its leading number) and the row (the number after the first
// dot). False when there is no row part.
bool splitCell(const char* rest, int* column, int* row);

}  // namespace mdu

#endif  // QOR_MDU_MDU_OBJECTS_H_
