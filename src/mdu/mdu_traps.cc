// The unit's traps: restarts of its agent and its own enterprise traps.

#include <cstring>
#include <memory>

#include "mdu/cqor_mdl.h"
#include "mdu/mdu_objects.h"
#include "snmp/snmp_api.h"

namespace {

// The standard traps of the SNMPv2 snmpTraps group, and the unit's own.
constexpr char kGenericTrapPrefix[] = "1.3.6.1.6.3.1.1.5.";
constexpr char kMduTrapPrefix[] = "1.3.6.1.4.1.6853.0.";

enum GenericTrap {
  kColdStart = 1,
  kWarmStart = 2,
  kLinkDown = 3,
  kLinkUp = 4,
  kAuthenticationFailure = 5,
  kEgpNeighborLoss = 6,
};

enum MduTrap {
  kAlarmRowChanged = 4,
  kTemperatureAlarm = 5,
  kTemperatureNormal = 6,
  kPowerStatus = 7,
};

}  // namespace

bool Cqor_mdl::handleTrap(const char* trapOid, HSNMP_VBL vbl) {
  if (trapOid == nullptr) return false;
  if (mdu::startsWith(trapOid, kGenericTrapPrefix)) {
    handleGenericTrap(
        vbl, mdu::readInteger(trapOid + sizeof kGenericTrapPrefix - 1));
    return true;
  }
  if (mdu::startsWith(trapOid, kMduTrapPrefix)) {
    handleMduTrap(vbl, mdu::readInteger(std::strrchr(trapOid, '.') + 1));
    return true;
  }
  return false;
}

void Cqor_mdl::bindingValue(HSNMP_VBL vbl, uint32_t index, char* out) {
  out[0] = '\0';
  GetValue(vbl, index, kTextSize, out);
}

void Cqor_mdl::handleGenericTrap(HSNMP_VBL vbl, int number) {
  char value[kTextSize];
  switch (number) {
    case kColdStart:
    case kWarmStart:
    case kLinkUp:
      if (number == kColdStart) {
        logTrace("Cold-Start");
        logList("Cold-Start");
      } else if (number == kWarmStart) {
        logTrace("Warm-Start");
        logList("Warm-Start");
      } else {
        bindingValue(vbl, 3, value);
        logTrace("Link %s up", value);
        logList("Link %s up", value);
      }
      // The unit's agent restarted or came back: its objects may have
      // changed, so walk it again at full speed now.
      startScan();
      PollNext();
      break;
    case kLinkDown:
      logTrace("Link Down");
      logList("Link Down");
      break;
    case kAuthenticationFailure:
      logTrace("Authentication Failure");
      logList("Authentication Failure");
      break;
    case kEgpNeighborLoss:
      logTrace("EGP NeighborLoss");
      logList("egpNeighborLoss");
      break;
    default: {
      logTrace("Other Trap %d", number);
      logList("Other Trap %d", number);
      const uint32_t count = snmpApi().CountVbl(vbl);
      char oid[kTextSize];
      for (uint32_t i = 1; i <= count; ++i) {
        oid[0] = '\0';
        getOid(vbl, i, sizeof oid, oid);
        bindingValue(vbl, i, value);
        logTrace("SNMPTrap Entry %d, '%s' = '%s'", static_cast<int>(i), oid,
                 value);
        logList("SNMPTrap Entry %d, '%s' = '%s'", static_cast<int>(i), oid,
                value);
      }
      break;
    }
  }
}

void Cqor_mdl::handleMduTrap(HSNMP_VBL vbl, int number) {
  char value[kTextSize];
  switch (number) {
    case kAlarmRowChanged:
      handleAlarmTrap(vbl);
      break;
    case kTemperatureAlarm:
    case kTemperatureNormal:
      bindingValue(vbl, 3, value);
      temperature = mdu::readInteger(value);
      if (number == kTemperatureAlarm) {
        logTrace("Temperature alarm %d", temperature);
        logList("Temperature alarm %d", temperature);
      } else {
        logTrace("Temperature ok %d", temperature);
        logList("Temperature ok %d", temperature);
      }
      storeSlot(mdu::kTemperatureSlot, value);
      storeSlotNumber(mdu::kTemperatureStateSlot,
                      number == kTemperatureAlarm ? mdu::kTemperatureAlarm
                                                  : mdu::kTemperatureNormal);
      break;
    case kPowerStatus:
      bindingValue(vbl, 3, value);
      logTrace("Power status '%s'", value);
      logList("Power status '%s'", value);
      storeSlot(mdu::kPowerInletsSlot, value);
      break;
    default:
      logTrace("Unknown MDU trap - %d", number);
      logList("Unknown MDU trap - %d", number);
      break;
  }
}

void Cqor_mdl::handleAlarmTrap(HSNMP_VBL vbl) {
  char value[kTextSize];
  bindingValue(vbl, 3, value);
  const int32_t t = mdu::readInteger(value);
  bindingValue(vbl, 4, value);
  const int32_t type = mdu::readInteger(value);
  bindingValue(vbl, 5, value);
  const int32_t index = mdu::readInteger(value);
  bindingValue(vbl, 7, value);
  const int32_t state = mdu::readInteger(value);
  bindingValue(vbl, 8, value);
  const int32_t polarity = mdu::readInteger(value);

  AlarmTableEntry* entry = nullptr;
  // A new row whose key is taken by a row of another table index serves
  // this trap alone.
  std::unique_ptr<AlarmTableEntry> transient;
  {
    SemaphoreHolder lock(tableLock.get());
    if (lock.held()) {
      for (const auto& [row, candidate] : alarmTable) {
        if (candidate->tableIndex == t) entry = candidate.get();
      }
      if (entry == nullptr) {
        auto created = std::make_unique<AlarmTableEntry>();
        created->tableIndex = t;
        entry = created.get();
        if (alarmTable.count(t) == 0) {
          alarmTable.emplace(t, std::move(created));
        } else {
          transient = std::move(created);
        }
      }
    }
  }
  if (entry == nullptr) {
    // The table could not be had; the slots still show what the unit says.
    transient = std::make_unique<AlarmTableEntry>();
    transient->tableIndex = t;
    entry = transient.get();
  }

  logTrace("Alarm (%d) type %d, index %d, State %d, Polarity %d", t, type,
           index, state, polarity);
  logList("Alarm (%d) type %d, index %d, State %d, Polarity %d", t, type, index,
          state, polarity);
  entry->type = type;
  entry->index = index;
  entry->state = state;
  entry->polarity = polarity;

  if (type == mdu::kGpiType && index >= 1 && index <= mdu::kGpiCount) {
    storeSlotNumber(mdu::kGpiStateSlot + index, state);
    storeSlotNumber(mdu::kGpiPolaritySlot + index, polarity);
  } else if (type == mdu::kFuseType && index >= 1 && index <= mdu::kFuseCount) {
    storeSlotNumber(mdu::kFuseStateSlot + index, state);
  }
}
