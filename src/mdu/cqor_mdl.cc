#include "mdu/cqor_mdl.h"

#include <cstdint>

#include "infodriver/extinfo.h"
#include "mdu/mdu_objects.h"
#include "platform/structured_exception.h"
#include "snmp/snmp_api.h"

Cqor_mdl::Cqor_mdl(int32_t slotOffset, int32_t instance)
    : SnmpDevice(mdu::kDeviceOid, slotOffset, instance) {
  InstallFaultTranslator();
  tableLock = std::make_unique<BinarySemaphore>();
  // The engine supervises the unit and resends unanswered scan requests
  // itself; retries in the layer would only hide a silent unit.
  snmpApi().SetRetransmitMode(SNMPAPI_OFF);
  sentCount = 0;
  replyCount = 0;
  trapCount = 0;
}

Cqor_mdl::~Cqor_mdl() {
  logTrace("Cqor_mdl::Destructor.");
  // The lock is kept: nothing may look at the tables once they are going.
  if (tableLock && tableLock->wait()) {
    alarmTable.clear();
    mduTable.clear();
  }
  tableLock.reset();
}

int Cqor_mdl::initMdu() {
  if (address[0] == '\0') {
    logTrace("initMdu %lx return 1",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)));
    return 1;
  }
  storeSlotNumber(mdu::kCommsSlot, mdu::kCommsFailed);
  // A cause an earlier driver left in the slot is not what this one knows
  // of the unit; a slot that was never written stays so.
  char leftCause[2 * kTextSize] = "";
  if (infodriverLink != nullptr)
    infodriverLink->readSlot(slotOffset + mdu::kSnmpCauseSlot, leftCause);
  if (leftCause[0] != '\0') storeSlot(mdu::kSnmpCauseSlot, "");
  logTrace("SNMPAddress = %s", address);
  int status = init_snmp(address, community, 161, "127.0.0.1", 0);
  if (status == 0) PollNext();
  return status;
}

// ---------------------------------------------------------------------------
// Row tables

AlarmTableEntry* Cqor_mdl::alarmRow(int row) {
  SemaphoreHolder lock(tableLock.get());
  if (!lock.held()) return nullptr;
  std::unique_ptr<AlarmTableEntry>& entry = alarmTable[row];
  if (!entry) entry = std::make_unique<AlarmTableEntry>();
  return entry.get();
}

MduTableEntry* Cqor_mdl::mduRow(int row) {
  SemaphoreHolder lock(tableLock.get());
  if (!lock.held()) return nullptr;
  std::unique_ptr<MduTableEntry>& entry = mduTable[row];
  if (!entry) entry = std::make_unique<MduTableEntry>();
  return entry.get();
}

AlarmTableEntry* Cqor_mdl::findAlarmEntry(int32_t index, int32_t type) {
  SemaphoreHolder lock(tableLock.get());
  if (!lock.held()) return nullptr;
  for (const auto& [row, entry] : alarmTable) {
    if (entry->index == index && entry->type == type) return entry.get();
  }
  return nullptr;
}

MduTableEntry* Cqor_mdl::findOutputEntry(int32_t outputIndex) {
  SemaphoreHolder lock(tableLock.get());
  if (!lock.held()) return nullptr;
  for (const auto& [row, entry] : mduTable) {
    if (entry->outputIndex == outputIndex) return entry.get();
  }
  return nullptr;
}
