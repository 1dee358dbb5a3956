#ifndef QOR_INFODRIVER_SLOT_TABLE_H_
#define QOR_INFODRIVER_SLOT_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

// An infodriver's slots: 0 to 4095, each a text of at most 255 bytes (a
// longer text is cut), all empty at the start. Out-of-range numbers never
// touch the table. Not thread-safe.
class SlotTable {
 public:
  SlotTable();

  // Stores |text| cut to kSlotTextMax; false (and nothing stored) when the
  // slot is out of range.
  bool set(int64_t slot, const std::string& text);
  // The slot's text; "" when out of range.
  const std::string& get(int64_t slot) const;

 private:
  std::vector<std::string> slots_;
};

#endif  // QOR_INFODRIVER_SLOT_TABLE_H_
