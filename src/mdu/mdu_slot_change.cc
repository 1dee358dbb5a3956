// Requested slot changes into SNMP Sets to the unit.

#include <cstdint>
#include <cstdio>
#include <string>

#include "logging/handler_guard.h"
#include "logging/log.h"
#include "mdu/cqor_mdl.h"
#include "mdu/mdu_objects.h"
#include "platform/structured_exception.h"
#include "snmp/snmp_api.h"

namespace {

enum class RowLookup { kNone, kGpi, kOutput };
enum class SetValue { kAsRequested, kTenth };

// One kind of controllable slot. A numbered kind covers a range of slots,
// the number being slot - base; the others are one slot each.
struct ControlSlot {
  int first;
  int last;
  int base;
  const char* label;
  bool numbered;
  // The range the requested number must lie in; rangeLine null: no check.
  int32_t min;
  int32_t max;
  const char* rangeLine;
  // Which row gives the OID's last number; notFoundLine when it is missing.
  RowLookup lookup;
  const char* notFoundLine;
  // The Set's OID: this text, then the row's number for looked-up rows.
  const char* oid;
  SetValue value;
  uint32_t syntax;
};

constexpr ControlSlot kControlSlots[] = {
    {mdu::kGpiPolaritySlot + 1, mdu::kGpiPolaritySlot + mdu::kGpiCount,
     mdu::kGpiPolaritySlot, "GPI Polarity", true, 0, 0, nullptr,
     RowLookup::kGpi, "Failed to find GPI polarity for %d",
     "1.3.6.1.4.1.6853.2.2.1.6.", SetValue::kAsRequested, SNMP_SYNTAX_INT},
    {mdu::kOutputStateSlot + 1, mdu::kOutputStateSlot + mdu::kOutputCount,
     mdu::kOutputStateSlot, "GPI Switch", true, 0, 0, nullptr,
     RowLookup::kOutput, "Failed to find output state for %d",
     "1.3.6.1.4.1.6853.3.4.1.2.", SetValue::kAsRequested, SNMP_SYNTAX_INT},
    {mdu::kOutputDelaySlot + 1, mdu::kOutputDelaySlot + mdu::kOutputCount,
     mdu::kOutputDelaySlot, "Delay", true, mdu::kDelayMin, mdu::kDelayMax,
     "Delay out of range %d", RowLookup::kOutput,
     "Failed to find output delay for %d", "1.3.6.1.4.1.6853.3.4.1.3.",
     SetValue::kTenth, SNMP_SYNTAX_INT},
    {mdu::kPowerOnSequenceSlot, mdu::kPowerOnSequenceSlot, 0, "Startup Mode",
     false, 0, 0, nullptr, RowLookup::kNone, nullptr, "1.3.6.1.4.1.6853.3.2.0",
     SetValue::kAsRequested, SNMP_SYNTAX_INT},
    {mdu::kSequentialDelaySlot, mdu::kSequentialDelaySlot, 0, "Seq Delay",
     false, mdu::kDelayMin, mdu::kDelayMax, "Sequential delay out of range %d",
     RowLookup::kNone, nullptr, "1.3.6.1.4.1.6853.3.3.0", SetValue::kTenth,
     SNMP_SYNTAX_INT},
    {mdu::kTemperatureAlarmPointSlot, mdu::kTemperatureAlarmPointSlot, 0,
     "High Temperature", false, mdu::kAlarmPointMin, mdu::kAlarmPointMax,
     "Max Temp. out of range %d", RowLookup::kNone, nullptr,
     "1.3.6.1.4.1.6853.2.6.0", SetValue::kAsRequested, SNMP_SYNTAX_INT},
    {mdu::kAlarmLocationSlot, mdu::kAlarmLocationSlot, 0, "Location", false, 0,
     0, nullptr, RowLookup::kNone, nullptr, "1.3.6.1.4.1.6853.2.4.0",
     SetValue::kAsRequested, SNMP_SYNTAX_OCTETS},
};

const ControlSlot* findControlSlot(int slot) {
  for (const ControlSlot& control : kControlSlots) {
    if (slot >= control.first && slot <= control.last) return &control;
  }
  return nullptr;
}

}  // namespace

bool Cqor_mdl::slotChange(int slot, const char* text) {
  bool sent = false;
  RunGuarded(
      [&] {
        if (text == nullptr) text = "";
        // 1. Only the control slots can be changed; the rest hold states and
        //    measurements that the unit reports.
        const ControlSlot* control = findControlSlot(slot);
        if (control == nullptr) return;
        const int n = slot - control->base;

        // 2.
        if (control->numbered) {
          logList("Slot %d (%s %d) change to '%s'", slot, control->label, n,
                  text);
        } else {
          logList("Slot %d (%s) change to '%s'", slot, control->label, text);
        }

        // 3.
        const int32_t v = mdu::readInteger(text);
        if (control->rangeLine != nullptr &&
            (v < control->min || v > control->max)) {
          logTrace(control->rangeLine, v);
          return;
        }

        // 4. The OID's last number comes from the row the unit reported.
        int32_t rowNumber = 0;
        if (control->lookup == RowLookup::kGpi) {
          AlarmTableEntry* entry = findAlarmEntry(n, mdu::kGpiType);
          if (entry == nullptr) {
            logTrace(control->notFoundLine, n);
            return;
          }
          rowNumber = entry->tableIndex;
        } else if (control->lookup == RowLookup::kOutput) {
          MduTableEntry* entry = findOutputEntry(n);
          if (entry == nullptr) {
            logTrace(control->notFoundLine, n);
            return;
          }
          rowNumber = entry->outputIndex;
        }

        // 5. Slots hold delays at ten times the unit's value.
        std::string oid = control->oid;
        if (control->lookup != RowLookup::kNone)
          oid += std::to_string(rowNumber);
        std::string value = text;
        if (control->value == SetValue::kTenth) value = std::to_string(v / 10);

        // 6. and 7.
        logTrace("slot change ");
        sent = SendSnmpMessage(SNMP_PDU_SET, oid.c_str(), value.c_str(),
                               control->syntax, false, slot, text) == 0;
      },
      [](bool fault) {
        FileLog(fault ? "Cqor_mdl::slotChange - failed"
                      : "Cqor_mdl::slotChange failed");
      });
  return sent;
}
