#ifndef QOR_MDU_CQOR_MDL_H_
#define QOR_MDU_CQOR_MDL_H_

#include <cstdint>
#include <map>
#include <memory>

#include "engine/snmp_device.h"
#include "snmp/snmp_api.h"

class extinfo;
class inf_buffer;

// One row of the unit's alarm table: a GPI (type 2) or a fuse (type 3),
// numbered by `index`. All fields 0 until the unit reports them.
class AlarmTableEntry {
 public:
  virtual ~AlarmTableEntry() = default;

  int32_t tableIndex = 0;
  int32_t type = 0;
  int32_t index = 0;
  int32_t state = 0;
  int32_t polarity = 0;
};

// One row of the unit's output table. `onDelay` is held at ten times the
// unit's value, as the slot shows it.
class MduTableEntry {
 public:
  virtual ~MduTableEntry() = default;

  int32_t outputIndex = 0;
  int32_t onDelay = 0;
  int32_t outputState = 0;
};

// The model of one MDU (a power distribution unit with up to 12 outputs,
// 16 GPI alarm inputs, 12 fuses, a temperature sensor and power inlets).
// The engine beneath walks the unit's subtree and hands every value and
// trap to this class, which turns them into writes of the unit's block of
// slots (slotOffset + a relative slot of unit_layout.h); requested slot
// changes become SNMP Sets to the unit. The model never writes a slot
// directly: every write is queued in `infBuffer`, which the main thread
// drains into the infodriver; the slots' current texts are read through
// `infodriverLink`.
//
// Owned by the application's unit table; `infBuffer` and `infodriverLink`
// are not owned and must outlive the unit (a null buffer means no slot is
// written; a null link reads every slot as empty, as a link without an
// infodriver does).
//
// Threading: values, traps and comms changes arrive on the event loop's
// thread. slotChange may run on another thread: the row tables' structure
// (lookup, insertion, search) is used only under `tableLock`, which is held
// for the lookup alone, never across a slot write, a log line or a send.
// Rows are never removed while the unit lives, so an entry found under the
// lock stays valid after it is released. The texts and numbers below have
// one writer (the loop's thread); the status window reads them unlocked.
class Cqor_mdl : public SnmpDevice {
 public:
  static constexpr int kTextSize = 256;

  Cqor_mdl(int32_t slotOffset, int32_t instance);
  ~Cqor_mdl() override;

  // Starts the unit: "1" in the comms slot, an empty cause slot when it
  // holds a cause from an earlier driver, the SNMP session to `address`
  // on port 161 (an address text may carry its own ":PORT"), and the first
  // poll. 0 on success, else init_snmp's status; an empty address returns 1
  // and does nothing else.
  int initMdu();

  // Engine operations.
  int handleValue(const char* oid, const char* value) override;
  void fastPollDone() override;
  bool commsChanged(bool failed) override;
  void causeChanged(const std::string& cause) override;
  bool handleTrap(const char* trapOid, HSNMP_VBL vbl) override;

  // A requested change of relative slot |slot| to |text|: true when the Set
  // was sent or queued, false when the slot cannot be controlled, the value
  // is out of range, the row is not known yet, or the send failed.
  bool slotChange(int slot, const char* text);

  // Replies into slots.
  void handleAlarmColumn(int column, int row, const char* value);
  void handleMduColumn(int column, int row, const char* value);
  // Queues |text| for relative slot |slot|, with apostrophes turned into
  // double quotes and colons into semicolons. 0 when nothing was queued (no
  // text, no buffer), 1 when the slot already held the text, 2 when it
  // held another one. The write is queued in both of the last two cases.
  int storeSlot(int slot, const char* text);
  int storeSlotNumber(int slot, int32_t number);
  void updateTemperatureState();
  void logSlotWrite(const char* description, const char* oid, const char* value,
                    int result);
  void logRowWrite(const char* description, int row, const char* value,
                   int result);

  // Traps.
  void handleGenericTrap(HSNMP_VBL vbl, int number);
  void handleMduTrap(HSNMP_VBL vbl, int number);

  // Fields, in order.
  inf_buffer* infBuffer = nullptr;
  extinfo* infodriverLink = nullptr;
  char alarmLocation[kTextSize] = "";
  int32_t temperatureAlarmPoint = 0;  // 0: none received yet
  int32_t temperature = 0;            // 0: none received yet
  char equipmentDescription[kTextSize] = "";
  char alarmIdent[kTextSize] = "";
  bool temperatureStatePending = true;  // kTemperatureStateSlot not derived
  std::unique_ptr<BinarySemaphore> tableLock;
  std::map<int32_t, std::unique_ptr<AlarmTableEntry>> alarmTable;
  std::map<int32_t, std::unique_ptr<MduTableEntry>> mduTable;

 private:
  // The row's entry, created (all 0) when the row is new; null when the
  // lock could not be taken.
  AlarmTableEntry* alarmRow(int row);
  MduTableEntry* mduRow(int row);
  // The first entry in row order with that GPI or fuse number and type /
  // that output number; null when there is none.
  AlarmTableEntry* findAlarmEntry(int32_t index, int32_t type);
  MduTableEntry* findOutputEntry(int32_t outputIndex);

  // The text of binding |index| of a trap; "" when the trap has fewer.
  void bindingValue(HSNMP_VBL vbl, uint32_t index, char* out);
  void handleAlarmTrap(HSNMP_VBL vbl);
};

#endif  // QOR_MDU_CQOR_MDL_H_
