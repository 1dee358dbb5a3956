#ifndef QOR_INFODRIVER_INFODRIVER_ROUTING_H_
#define QOR_INFODRIVER_INFODRIVER_ROUTING_H_

#include <functional>

class extinfo;

// The application's answer to the infodriver's events: what happens when
// the infodriver disconnects, asks for a mode, or requests a slot change.
// The unit table, the status panel and the main window belong to the
// application, so they come in as hooks; a hook left empty does nothing
// (unitSlotChange then counts as "no unit there").
struct InfodriverRouting {
  // Calls unitTable[index]->slotChange(relativeSlot, text); false when the
  // entry is null.
  std::function<bool(int index, int relativeSlot, const char* text)>
      unitSlotChange;
  std::function<void()> updateStatus;       // refresh the status panel
  std::function<void()> destroyMainWindow;  // ends the process normally
  // The process's link: a request for one of the two mirror slots is
  // written into the other through it. Null writes nothing.
  extinfo* link = nullptr;
};

// Installs the hooks (main thread, before the link connects).
void SetInfodriverRouting(InfodriverRouting routing);

// The link's notify callback, chosen by the link's iStatus:
//   3   "Infodriver %d has disconnected", then the main window is destroyed
//   6   "Infodriver %d received request to go TXRX"
//   15  status panel refreshed once, then DispatchSlotChange; a request
//       nobody took is written back into its own slot
//   any other: "iStatus=%d"
// Lines go to the debug list. Runs on the main thread.
void InfodriverNotify(extinfo* link, int value, const char* text);

// Routes a slot-change request: slots 0 to 3999 go to the unit at
// slot / 100 with relative slot slot % 100 (dropped silently when no unit is
// there); 4094 is written into 4095 and 4095 into 4094 through the routing's
// link. 1 when handled here, 0 for every other slot.
// |deviceNumber| is not used.
int DispatchSlotChange(int deviceNumber, int slot, const char* text);

#endif  // QOR_INFODRIVER_INFODRIVER_ROUTING_H_
