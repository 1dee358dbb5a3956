#include "infodriver/infodriver_routing.h"

#include <utility>

#include "infodriver/extinfo.h"
#include "logging/log.h"
#include "mdu/unit_layout.h"

namespace {

InfodriverRouting& Routing() {
  static InfodriverRouting routing;
  return routing;
}

}  // namespace

void SetInfodriverRouting(InfodriverRouting routing) {
  Routing() = std::move(routing);
}

void InfodriverNotify(extinfo* link, int value, const char* text) {
  if (text == nullptr) text = "";
  switch (link->iStatus) {
    case IFSTAT_DISCONNECTED:
      DebugList("Infodriver %d has disconnected", link->iDevice);
      if (Routing().destroyMainWindow) Routing().destroyMainWindow();
      break;
    case IFSTAT_GOTXRX:
      DebugList("Infodriver %d received request to go TXRX", link->iDevice);
      break;
    case IFSTAT_OK:
      if (Routing().updateStatus) Routing().updateStatus();
      if (DispatchSlotChange(link->iDevice, value, text) == 0)
        link->writeSlot(value, text);
      break;
    default:
      DebugList("iStatus=%d", link->iStatus);
      break;
  }
}

int DispatchSlotChange(int deviceNumber, int slot, const char* text) {
  if (static_cast<unsigned>(slot) < mdu::kUnitCount * mdu::kSlotsPerUnit) {
    // A request for a unit that is not configured is dropped: nobody
    // answers for those slots.
    if (Routing().unitSlotChange)
      Routing().unitSlotChange(slot / mdu::kSlotsPerUnit,
                               slot % mdu::kSlotsPerUnit, text);
    return 1;
  }
  if (slot == mdu::kMirrorSlotA || slot == mdu::kMirrorSlotB) {
    extinfo* link = Routing().link;
    if (link != nullptr)
      link->writeSlot(
          slot == mdu::kMirrorSlotA ? mdu::kMirrorSlotB : mdu::kMirrorSlotA,
          text);
    return 1;
  }
  return 0;
}
