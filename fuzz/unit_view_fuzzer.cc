// What the web page, its API and the MQTT bridge take from outside: control
// point names and values from the network, and unit blocks whose slot texts
// are whatever a unit (or any client of the infodriver) wrote.
//
// Checked for every input: a value is either refused with a reason or
// accepted as exactly the text given, never longer than a slot and never
// holding a byte that could drive a terminal; a point's name and slot
// round-trip; the JSON of any block prints and parses again.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "infodriver/infodriver_protocol.h"
#include "mdu/slot_text.h"
#include "unitview/control_point.h"
#include "unitview/unit_state.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckControl(const std::string& name, const std::string& value) {
  std::optional<ControlPoint> point = ParseControlPoint(name);
  if (!point) return;
  Check(point->name() == name);
  Check(ControlPointOfSlot(point->relativeSlot()) == point);
  ControlValue v = CheckControlValue(*point, value);
  Check(v.ok != !v.error.empty());
  if (!v.ok) return;
  Check(v.slotText == value);
  Check(v.slotText.size() <= kSlotTextMax);
  Check(v.expectedSlotText == CleanSlotText(value));
  for (unsigned char c : v.slotText) Check(c >= 0x20 && c != 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string name = in.ConsumeRandomLengthString(64);
  const std::string value = in.ConsumeRandomLengthString(300);
  CheckControl(name, value);

  UnitSlots slots;
  while (in.remaining_bytes() > 0) {
    const int slot = in.ConsumeIntegralInRange<int>(0, kSlotsPerUnit - 1);
    slots[slot] = in.ConsumeRandomLengthString(kSlotTextMax);
  }
  UnitState state = DecodeUnit("site", 1, 1, value, slots);
  Check(state.alarmCount() >= 0);
  const std::string text = JsonText(UnitToJson(state, true));
  Check(nlohmann::json::accept(text));
  return 0;
}
