#include "infodriver/slot_table.h"

#include "infodriver/infodriver_protocol.h"

SlotTable::SlotTable() : slots_(kInfodriverSlotCount) {}

bool SlotTable::set(int64_t slot, const std::string& text) {
  if (!IsSlotInRange(slot)) return false;
  slots_[static_cast<size_t>(slot)] = SlotText(text.c_str());
  return true;
}

const std::string& SlotTable::get(int64_t slot) const {
  static const std::string kEmpty;
  if (!IsSlotInRange(slot)) return kEmpty;
  return slots_[static_cast<size_t>(slot)];
}
