#include "unitview/unit_state.h"

int UnitState::gpiAlarms() const { return 0; }
int UnitState::fuseAlarms() const { return 0; }
int UnitState::alarmCount() const { return 0; }
UnitState DecodeUnit(const std::string& site, int device, int unit,
                     const std::string& address, const UnitSlots& slots) {
  UnitState s;
  s.site = site;
  s.device = device;
  s.unit = unit;
  s.address = address;
  s.slots = slots;
  return s;
}
nlohmann::json UnitToJson(const UnitState&, bool) { return {}; }
std::string SlotMeaning(int) { return ""; }
std::optional<int> SlotNumber(const std::string&) { return std::nullopt; }
