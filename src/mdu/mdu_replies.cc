// Polled values (and the replies to Sets) into the unit's slots.

#include <cstdio>
#include <cstring>
#include <string>

#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/infodriver_protocol.h"
#include "mdu/cqor_mdl.h"
#include "mdu/mdu_objects.h"
#include "mdu/slot_text.h"

namespace {

void copyText(char* out, size_t size, const char* text) {
  std::snprintf(out, size, "%s", text);
}

}  // namespace

int Cqor_mdl::storeSlot(int slot, const char* text) {
  if (text == nullptr || infBuffer == nullptr) return 0;
  // The copy is cut to what a slot holds, so that the comparison below sees
  // what the slot would.
  const std::string copy =
      CleanSlotText(std::string(text, strnlen(text, kSlotTextMax)));
  const int infodriverSlot = slotOffset + slot;
  char current[2 * kTextSize] = "";
  if (infodriverLink != nullptr) {
    infodriverLink->readSlot(infodriverSlot, current);
  }
  const int result = std::strcmp(copy.c_str(), current) == 0 ? 1 : 2;
  // Queued even when unchanged: the drain writes it only if the slot
  // differs by then, and the slot may have been changed in between.
  infBuffer->addData(infodriverSlot, copy.c_str());
  return result;
}

int Cqor_mdl::storeSlotNumber(int slot, int32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", number);
  return storeSlot(slot, text);
}

void Cqor_mdl::logSlotWrite(const char* description, const char* oid,
                            const char* value, int result) {
  if (firstScan) logList("%s. %s = %s", description, oid, value);
  if (result == 0) {
    logList("Failed to set %s. %s = %s", description, oid, value);
  } else if (result == 2) {
    logList("%s. %s = %s", description, oid, value);
  }
}

void Cqor_mdl::logRowWrite(const char* description, int row, const char* value,
                           int result) {
  if (firstScan) logList("%s. (%d) %s", description, row, value);
  if (result == 0) {
    logList("Failed to set %s. (%d) %s", description, row, value);
  } else if (result == 2) {
    logList("%s. (%d) %s", description, row, value);
  }
}

int Cqor_mdl::handleValue(const char* oid, const char* value) {
  if (oid == nullptr || value == nullptr) return 0;
  if (!mdu::startsWith(oid, deviceOid.c_str())) return 0;
  replyCount += 1;
  checkComms(true);

  const mdu::MduObject* object = mdu::findMduObject(oid);
  if (object == nullptr) return 1;
  const char* description = object->description;
  int r = 0;
  switch (object->kind) {
    case mdu::MduObjectKind::kAlarmIdent:
      if (firstScan || std::strcmp(value, alarmIdent) != 0) {
        logList("Alarm Ident. %s = %s", oid, value);
      }
      copyText(alarmIdent, sizeof alarmIdent, value);
      break;
    case mdu::MduObjectKind::kAlarmTable:
    case mdu::MduObjectKind::kMduTable: {
      int column = 0;
      int row = 0;
      // A cell without a row part cannot come from a walk of the table.
      if (!mdu::splitCell(oid + std::strlen(object->prefix), &column, &row)) {
        break;
      }
      if (object->kind == mdu::MduObjectKind::kAlarmTable) {
        handleAlarmColumn(column, row, value);
      } else {
        handleMduColumn(column, row, value);
      }
      break;
    }
    case mdu::MduObjectKind::kAlarmLocation:
      r = storeSlot(mdu::kAlarmLocationSlot, value);
      logSlotWrite(description, oid, value, r);
      copyText(alarmLocation, sizeof alarmLocation, value);
      break;
    case mdu::MduObjectKind::kTemperature:
      temperature = mdu::readInteger(value);
      r = storeSlot(mdu::kTemperatureSlot, value);
      logSlotWrite(description, oid, value, r);
      if (temperatureStatePending) updateTemperatureState();
      break;
    case mdu::MduObjectKind::kTemperatureAlarmPoint:
      temperatureAlarmPoint = mdu::readInteger(value);
      r = storeSlot(mdu::kTemperatureAlarmPointSlot, value);
      logSlotWrite(description, oid, value, r);
      if (temperatureStatePending) updateTemperatureState();
      break;
    case mdu::MduObjectKind::kEquipmentDescription:
      if (firstScan || std::strcmp(value, equipmentDescription) != 0) {
        logList("Equipment description and version. %s = %s", oid, value);
      }
      copyText(equipmentDescription, sizeof equipmentDescription, value);
      break;
    case mdu::MduObjectKind::kPowerOnSequence:
      r = storeSlot(mdu::kPowerOnSequenceSlot, value);
      logSlotWrite(description, oid, value, r);
      break;
    case mdu::MduObjectKind::kSequentialDelay:
      r = storeSlotNumber(mdu::kSequentialDelaySlot,
                          mdu::timesTen(mdu::readInteger(value)));
      logSlotWrite(description, oid, value, r);
      break;
    case mdu::MduObjectKind::kPowerInlets:
      r = storeSlot(mdu::kPowerInletsSlot, value);
      logSlotWrite(description, oid, value, r);
      break;
  }
  return 1;
}

void Cqor_mdl::handleAlarmColumn(int column, int row, const char* value) {
  AlarmTableEntry* entry = alarmRow(row);
  if (entry == nullptr) return;  // the table could not be had: value dropped
  const int32_t v = mdu::readInteger(value);
  int r = 0;
  switch (column) {
    case 1:
      if (firstScan || v != entry->tableIndex) {
        logList("Alarm Table. Table index. (%d) %s", row, value);
        logTrace("Alarm Table. Table index. (%d) %s", row, value);
      }
      entry->tableIndex = v;
      break;
    case 2:
      if (firstScan || v != entry->type) {
        logList("Alarm Table. Type. (%d) %s", row, value);
        logTrace("Alarm Table. Type. (%d) %s", row, value);
      }
      entry->type = v;
      break;
    case 3:
      if (firstScan || v != entry->index) {
        logList("Alarm Table. Index. (%d) %s", row, value);
      }
      entry->index = v;
      break;
    case 5:
      if (firstScan || v != entry->state) {
        logList("Alarm Table. State. (%d) %s", row, value);
      }
      entry->state = v;
      if (entry->type == mdu::kGpiType && entry->index >= 1 &&
          entry->index <= mdu::kGpiCount) {
        r = storeSlot(mdu::kGpiStateSlot + entry->index, value);
        logRowWrite("Alarm Table. State. GPI", row, value, r);
      } else if (entry->type == mdu::kFuseType && entry->index >= 1 &&
                 entry->index <= mdu::kFuseCount) {
        r = storeSlot(mdu::kFuseStateSlot + entry->index, value);
        logRowWrite("Alarm Table. State. Fuse", row, value, r);
      }
      break;
    case 6:
      if (firstScan || v != entry->polarity) {
        logList("Alarm Table. Polarity. (%d) %s", row, value);
      }
      entry->polarity = v;
      if (entry->type == mdu::kGpiType && entry->index >= 1 &&
          entry->index <= mdu::kGpiCount) {
        r = storeSlot(mdu::kGpiPolaritySlot + entry->index, value);
        logRowWrite("Alarm Table. Polarity", row, value, r);
      }
      break;
    default:
      break;
  }
}

void Cqor_mdl::handleMduColumn(int column, int row, const char* value) {
  MduTableEntry* entry = mduRow(row);
  if (entry == nullptr) return;
  int32_t v = 0;
  int r = 0;
  switch (column) {
    case 1:
      v = mdu::readInteger(value);
      if (firstScan || v != entry->outputIndex) {
        logList("Mdu Table. Output index. (%d) %s", row, value);
      }
      entry->outputIndex = v;
      break;
    case 2:
      v = mdu::readInteger(value);
      if (firstScan || v != entry->outputState) {
        logList("Mdu Table. Output state. (%d) %s", row, value);
      }
      entry->outputState = v;
      if (entry->outputIndex >= 1 && entry->outputIndex <= mdu::kOutputCount) {
        r = storeSlot(mdu::kOutputStateSlot + entry->outputIndex, value);
        logRowWrite("Mdu Table. Output state", row, value, r);
      }
      break;
    case 3:
      v = mdu::timesTen(mdu::readInteger(value));
      if (firstScan || v != entry->onDelay) {
        logList("Mdu Table. Output on delay from power on. (%d) %s", row,
                value);
      }
      entry->onDelay = v;
      if (entry->outputIndex >= 1 && entry->outputIndex <= mdu::kOutputCount) {
        r = storeSlotNumber(mdu::kOutputDelaySlot + entry->outputIndex, v);
        logRowWrite("Mdu Table. Output on delay from power on", row, value, r);
      }
      break;
    default:
      break;
  }
}

void Cqor_mdl::updateTemperatureState() {
  if (temperature == 0 || temperatureAlarmPoint == 0) return;
  storeSlotNumber(mdu::kTemperatureStateSlot,
                  temperature >= temperatureAlarmPoint
                      ? mdu::kTemperatureAlarm
                      : mdu::kTemperatureNormal);
  temperatureStatePending = false;
}

void Cqor_mdl::fastPollDone() {
  for (int i = 1; i <= mdu::kGpiCount; ++i) {
    if (findAlarmEntry(i, mdu::kGpiType) == nullptr) {
      storeSlot(mdu::kGpiStateSlot + i, "");
      storeSlot(mdu::kGpiPolaritySlot + i, "");
    }
  }
  for (int j = 1; j <= mdu::kOutputCount; ++j) {
    if (findOutputEntry(j) == nullptr) {
      storeSlot(mdu::kOutputStateSlot + j, "");
      storeSlot(mdu::kOutputDelaySlot + j, "");
    }
  }
  for (int k = 1; k <= mdu::kFuseCount; ++k) {
    if (findAlarmEntry(k, mdu::kFuseType) == nullptr) {
      storeSlot(mdu::kFuseStateSlot + k, "");
    }
  }
}

bool Cqor_mdl::commsChanged(bool failed) {
  storeSlotNumber(mdu::kCommsSlot,
                  failed ? mdu::kCommsFailed : mdu::kCommsGood);
  return true;
}

void Cqor_mdl::causeChanged(const std::string& cause) {
  storeSlot(mdu::kSnmpCauseSlot, cause.c_str());
}
