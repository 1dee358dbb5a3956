#ifndef QOR_MDU_UNIT_LAYOUT_H_
#define QOR_MDU_UNIT_LAYOUT_H_

#include <cstdint>

// Which slot of a unit's block holds what. Every unit a driver serves (the
// settings section QOR_MDU_n, n 1 to 40) owns a block of 100 infodriver
// slots that starts at slot 100 x (n - 1); within it, relative slots 1 to 99
// hold the states and polarities of the GPIs, the states and on-delays of
// the outputs, the states of the fuses, the unit-wide settings, the
// temperature, the power inlets, the location and the state of the driver's
// communication with the unit, and relative slot 0 is never written. The
// driver writes these slots and turns requests for them into Sets; the
// routing hands a request to the unit whose block holds the slot; the unit
// view (the web page, its API, the MQTT bridge) reads them back and asks
// for changes by them. All of them take the layout from here, so that none
// can look for a value in another slot than the one it is written to, nor
// switch an output by the slot of another. Constants and arithmetic only:
// any library may use it.

namespace mdu {

// A process's units and the blocks they own.
constexpr int kUnitCount = 40;
constexpr int kSlotsPerUnit = 100;

// The infodriver slot of relative slot 0 of unit |instance| (1 to 40): a
// unit's `slotOffset`. The slot written is slotOffset + relative slot.
constexpr int UnitSlotOffset(int instance) {
  return kSlotsPerUnit * (instance - 1);
}

// How many of each numbered point a unit has at most.
constexpr int kGpiCount = 16;
constexpr int kOutputCount = 12;
constexpr int kFuseCount = 12;

// Relative slots of one unit. Numbered points (GPIs, outputs, fuses) sit at
// a base plus their number, which starts at 1.
constexpr int kGpiStateSlot = 0;      // 1-16: state of GPI 1-16
constexpr int kGpiPolaritySlot = 20;  // 21-36: polarity of GPI 1-16
constexpr int kOutputStateSlot = 40;  // 41-52: state of output 1-12
constexpr int kFuseStateSlot = 60;    // 61-72: state of fuse 1-12
constexpr int kPowerOnSequenceSlot = 78;
constexpr int kSequentialDelaySlot = 79;  // the unit's value x 10
constexpr int kOutputDelaySlot = 80;  // 81-92: on-delay of output 1-12, x 10
// Why an SNMPv3 unit refuses the driver, as the driver names it; "" once it
// answers again. Never written for a unit that never refused, so the blocks
// of version 1 and 2c units hold what they always held.
constexpr int kSnmpCauseSlot = 93;
constexpr int kTemperatureStateSlot = 94;  // "1" normal, "2" alarm
constexpr int kTemperatureSlot = 95;
constexpr int kTemperatureAlarmPointSlot = 96;
constexpr int kPowerInletsSlot = 97;
constexpr int kAlarmLocationSlot = 98;
constexpr int kCommsSlot = 99;  // "1" no communication, "0" good

// The number (1 to |count|) of the point whose slot in the range after
// |base| is |relativeSlot|; 0 when the slot is outside the range.
constexpr int PointNumber(int relativeSlot, int base, int count) {
  return relativeSlot > base && relativeSlot <= base + count
             ? relativeSlot - base
             : 0;
}

// The numbers the temperature and communication state slots hold.
constexpr int32_t kTemperatureNormal = 1;
constexpr int32_t kTemperatureAlarm = 2;
constexpr int32_t kCommsFailed = 1;
constexpr int32_t kCommsGood = 0;

// Two slots beyond every unit's block that mirror each other: a request
// for one is written into the other.
constexpr int kMirrorSlotA = 4094;
constexpr int kMirrorSlotB = 4095;

// The ranges follow each other without overlap, and the mirror pair lies
// beyond every unit's block.
static_assert(kGpiStateSlot + kGpiCount <= kGpiPolaritySlot &&
              kGpiPolaritySlot + kGpiCount <= kOutputStateSlot &&
              kOutputStateSlot + kOutputCount <= kFuseStateSlot &&
              kFuseStateSlot + kFuseCount < kPowerOnSequenceSlot &&
              kSequentialDelaySlot <= kOutputDelaySlot &&
              kOutputDelaySlot + kOutputCount < kSnmpCauseSlot &&
              kSnmpCauseSlot < kTemperatureStateSlot &&
              kCommsSlot < kSlotsPerUnit);
static_assert(kUnitCount * kSlotsPerUnit <= kMirrorSlotA);

}  // namespace mdu

#endif  // QOR_MDU_UNIT_LAYOUT_H_
