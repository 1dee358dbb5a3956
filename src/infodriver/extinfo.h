#ifndef QOR_INFODRIVER_EXTINFO_H_
#define QOR_INFODRIVER_EXTINFO_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "infodriver/infodriver_protocol.h"
#include "infodriver/infodriver_transport.h"

class EventLoop;

// Interface modes of the control system. The link is always IFMODE_TXRX.
constexpr int IFMODE_NONE = 0;
constexpr int IFMODE_RXONLY = 1;
constexpr int IFMODE_TXRX = 2;
constexpr int IFMODE_FORCETXRX = 3;
constexpr int IFMODE_TXRXINQ = 4;
constexpr int IFMODE_RXONLYBROKEN = 5;

// Link status (extinfo::iStatus) and connect results.
constexpr int IFSTAT_DISCONNECTED = 3;
constexpr int IFSTAT_NOWINDOW = 5;  // no infodriver answered
constexpr int IFSTAT_GOTXRX = 6;
constexpr int IFSTAT_INQTXRX = 8;
constexpr int IFSTAT_NOCLASS = 9;  // the link could not be set up
constexpr int IFSTAT_OK = 15;
constexpr int IFSTAT_DEVICEIDINUSE = static_cast<int>(WVN_DEVICEIDINUSE);

// The driver's link to the infodriver of its device number: finds it with
// the handshake (DISCOVER / DISCOVERREPLY / ANNOUNCE / HELLO / HELLOACK),
// reads and writes its slots, answers its mode requests and reports every
// event to one notify callback.
//
// Events (mode requests, slot-change requests, the infodriver's disconnect)
// arrive on the event loop's thread; each runs the callback once and is
// answered after the callback returns:
//   WVN_REQDEVGORXONLY  iStatus 6, refused (0)
//   WVN_REQDEVGOTXRX    iStatus 6, accepted (1)
//   WVN_INQDEVGOTXRX    iStatus 8, accepted (1)
//   WVN_DEVICEIDINUSE   iStatus 2190, value = low 16 bits of wParam, 0
//   WVN_SLOTCHANGE      receive counter + 1, iStatus 15, value = slot,
//                       text = the requested text, 1; the callback runs
//                       inside a ScopedControlDeadline with the request's
//                       deadline (lParam, 0 for none). One whose deadline
//                       has passed when the link handles it runs no
//                       callback: a log line, iStatus unchanged, answered
//                       INFO_EXPIRED.
//   WVN_INFODISCONNECT  iStatus 3 (also when the connection is lost), 0
// A slot read waits for its own answer; events that arrive meanwhile are
// kept and delivered afterwards from the loop, in order.
//
// Slot reads cost a round trip to the infodriver, and a polled value needs
// two (the model compares before it queues, the drain before it writes).
// When the transport says the link is the infodriver's only writer, the
// link fetches every slot once after the handshake and from then on keeps
// its own copy of the slot table current with each write it makes, so
// reads are answered locally. The copy is dropped whenever the connection
// ends, and never kept while another driver holds the device.
//
// Texts are written unchanged ("%s" stays "%s"), cut to what a slot holds
// (kSlotTextMax bytes): a longer text, including one over the 511 bytes of
// the write buffer, reaches the slot as its first 255 bytes, and updateSlot
// compares that cut text with the slot, so an unchanged long value is not
// written again on every drain.
//
// Not thread-safe: every call, and the callback, runs on the loop's thread.
// One link serves the process (TheInfodriverLink()); tests make their own
// with an in-memory transport (in_memory_infodriver.h).
class extinfo {
 public:
  using Callback =
      std::function<void(extinfo* link, int value, const char* text)>;

  // |loop| serves the link's connection; null means TheMainLoop(). It is not
  // owned and must outlive the link.
  explicit extinfo(EventLoop* loop = nullptr);
  // Tells the infodriver that the device disconnects (WVN_DEVDISCONNECT).
  virtual ~extinfo();
  extinfo(const extinfo&) = delete;
  extinfo& operator=(const extinfo&) = delete;

  void setCallback(Callback callback);

  // Finds and connects the infodriver of |deviceNumber| (> 0). Returns, and
  // leaves in iStatus, IFSTAT_OK (15), IFSTAT_NOWINDOW (5: no infodriver
  // answered) or IFSTAT_NOCLASS (9: the link could not be set up). An
  // infodriver that already serves another driver for the number answers
  // with WVN_DEVICEIDINUSE during the handshake; connect still returns 15 and
  // iStatus is then 2190. |instance| and the four integers are accepted for
  // the callers' sake and have no effect.
  int connect(int deviceNumber, void* instance = nullptr, int p1 = 0,
              int p2 = 0, int p3 = 0, int p4 = 0);

  // Why the last connect did not give 15, for an operator (the directory,
  // owner, mode or errno text at fault); empty after a successful one.
  const std::string& connectFailure() const { return connectFailure_; }

  // The counters the link increments from now on (not owned; null keeps the
  // current ones).
  void setCounters(int* writeCount, int* receiveCount);

  // Writes |text| into |slot| unless the slot already holds it; true when
  // written. A negative slot writes its absolute value with
  // WVN_WRITESLOTNEG. A null text counts as "".
  bool updateSlot(int slot, const char* text);
  // Writes unconditionally (same slot and text rules).
  void writeSlot(int slot, const char* text);
  // Reads the slot's current text into |buffer| (at least 256 bytes): "" when
  // the slot is out of range or the infodriver cannot be asked.
  void readSlot(int slot, char* buffer);

  // Ends the connection as the destructor does (WVN_DEVDISCONNECT, then
  // closed) and returns the link to its constructed state, keeping the
  // callback, counters, loop and transport; connect may be called again.
  void disconnect();

  // Seams. setTransport replaces the transport used by the next connect
  // (default: the infodriver's socket); setEventLoop chooses the loop that
  // serves the connection. Call both while disconnected.
  void setTransport(std::unique_ptr<InfodriverTransport> transport);
  void setEventLoop(EventLoop* loop);
  bool isConnected() const;
  // Delivers the events kept while a slot read waited; returns how many.
  // The loop calls it by itself; tests may call it directly.
  int deliverPendingEvents();

  int writeCount() const { return *writeCounter; }
  int receiveCount() const { return *receiveCounter; }

  // State. Written only by the link;
  // others read iStatus and iDevice (the routing and the status panel).
  Callback notifyCallback;
  int iDevice = 0;
  int64_t hInfodriverWnd = 0;  // the infodriver's id from WVN_DISCOVERREPLY
  int iStatus = IFSTAT_DISCONNECTED;
  const int iMode = IFMODE_TXRX;
  int bHelloAck = 0;
  int64_t hLinkWnd = 0;  // the link's own id; 0 while not connected
  int* writeCounter;
  int* receiveCounter;
  int ownWriteCount = 0;
  int ownReceiveCount = 0;
  void* hInstance = nullptr;

 private:
  // Sends |m| with a fresh sequence number and waits for its INFO_RESULT.
  // While waiting, events are handled at once when |handleInline| (the
  // handshake) and kept for later otherwise. False when no answer came.
  bool call(InfoMessage m, bool handleInline, InfoMessage* result);
  void writeTo(int slot, const char* text);
  void onReadable();
  // Fetches every slot into slotCopy_ (sole-writer transports only).
  void loadSlotCopy();
  void dropSlotCopy();
  // Handles one event from the infodriver and answers it when it asks.
  void handleMessage(const InfoMessage& m);
  bool pastDeadline(const InfoMessage& m) const;
  // The connection is gone without a WVN_INFODISCONNECT.
  void connectionLost();
  void schedulePendingDelivery();
  void closeTransport();

  EventLoop* loop_;
  std::unique_ptr<InfodriverTransport> transport_;
  std::string connectFailure_;
  std::deque<InfoMessage> pending_;
  bool deliveryPosted_ = false;
  bool delivering_ = false;
  bool connecting_ = false;
  // A WVN_INFODISCONNECT (real or for a lost connection) waits in pending_
  // or has been handled: the disconnect is reported once.
  bool disconnectQueued_ = false;
  uint32_t nextSequence_ = 1;
  // The infodriver's slot texts as this link knows them, valid while
  // slotCopyValid_; collectingSlots_ while the fetch's answers arrive.
  std::vector<std::string> slotCopy_;
  bool slotCopyValid_ = false;
  bool collectingSlots_ = false;
  // Shared with tasks posted to the loop, which must do nothing once the
  // link is gone.
  std::shared_ptr<extinfo*> self_;
};

// The process's link, made on first use with TheMainLoop().
extinfo& TheInfodriverLink();

#endif  // QOR_INFODRIVER_EXTINFO_H_
