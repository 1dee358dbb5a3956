#ifndef QOR_INFODRIVER_TESTING_IN_MEMORY_INFODRIVER_H_
#define QOR_INFODRIVER_TESTING_IN_MEMORY_INFODRIVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "infodriver/infodriver_protocol.h"
#include "infodriver/infodriver_transport.h"

class extinfo;

// An infodriver in memory, for unit tests of the link and of everything that
// writes slots through it: 4096 slots that a test sets and reads directly, a
// record of every slot write the link makes (slot, operation, text), and
// calls that deliver the infodriver's events to the link and return the
// link's answer. No socket, no process, no event loop needed (the link's
// loop only matters for events that arrive during a slot read, which the
// link delivers from a posted task: run the loop's RunPosted()).
//
// Example, with the process's link as the model code uses it:
//
//   InMemoryInfodriver infodriver(7);
//   ASSERT_EQ(IFSTAT_OK, infodriver.attach(TheInfodriverLink()));
//   infodriver.setSlot(101, "old");
//   TheInfodriverLink().updateSlot(101, "new");        // written
//   EXPECT_EQ("new", infodriver.slot(101));
//   EXPECT_EQ(1u, infodriver.writes().size());         // {101, 2726, "new"}
//   EXPECT_EQ(1, infodriver.deliverSlotChange(141, "1"));  // link answers 1
//   // Leaving scope detaches the link (TheInfodriverLink().disconnect()).
//
// attach() may also be replaced by link.setTransport(makeTransport()) and
// link.connect(N) to test connect itself.
//
// Lifetime: the infodriver may die before or after the link. When it dies
// first, it disconnects a link still attached through attach() (so the link
// reports no lost connection); a transport it made then reports the
// connection closed. Single-threaded like the link.
class InMemoryInfodriver {
 public:
  struct Write {
    int slot;
    uint32_t operation;  // WVN_WRITESLOT or WVN_WRITESLOTNEG
    std::string text;
    bool operator==(const Write&) const = default;
  };

  explicit InMemoryInfodriver(int deviceNumber = 1);
  ~InMemoryInfodriver();
  InMemoryInfodriver(const InMemoryInfodriver&) = delete;
  InMemoryInfodriver& operator=(const InMemoryInfodriver&) = delete;

  // A transport bound to this infodriver, for extinfo::setTransport.
  std::unique_ptr<InfodriverTransport> makeTransport();
  // setTransport(makeTransport()) and connect(deviceNumber) on |link|;
  // returns connect's result.
  int attach(extinfo& link);

  // The slot table: 0 to 4095, texts cut at 255 bytes like the real one.
  // setSlot records no write. Out-of-range slots read as "" and ignore sets.
  void setSlot(int slot, const std::string& text);
  std::string slot(int slot) const;

  // Every slot write from the link since the start or clearWrites().
  const std::vector<Write>& writes() const;
  void clearWrites();
  int readCount() const;  // WVN_READSLOT requests answered
  // Every message the link sent, in order (handshake, reads, writes,
  // results, WVN_DEVDISCONNECT).
  const std::vector<InfoMessage>& received() const;

  // Handshake behaviour. setReachable(false): no infodriver (connect 5);
  // setSetupFails(true): the link cannot be made (connect 9);
  // setAnswersDiscover(false): the infodriver ignores WVN_DISCOVER
  // (connect 5); setDeviceIdInUse(true): another driver holds the device,
  // WVN_ANNOUNCE is answered with WVN_DEVICEIDINUSE.
  void setReachable(bool reachable);
  void setSetupFails(bool fails);
  void setAnswersDiscover(bool answers);
  void setDeviceIdInUse(bool inUse);
  // Whether transports made from now on tell the link that it is the only
  // writer, as the infodriver program's socket does (default false, so that
  // a test's setSlot is seen by the next read). Slots a test sets after the
  // link has fetched them are then unknown to the link, as they would be.
  void setSoleWriter(bool sole);
  int dumpCount() const;  // INFO_DUMP requests answered

  // True after a completed handshake and before WVN_DEVDISCONNECT or a drop.
  bool linkConnected() const;
  // The device number given by the last WVN_DEVDISCONNECT, or -1.
  int devDisconnectDevice() const;

  // Events to the link. Each returns the link's answer (1 or 0), or -1 when
  // the link gave none (not connected, or it kept the event for later).
  int64_t deliverSlotChange(int slot, const std::string& text);
  int64_t deliverReqDevGoRxOnly();
  int64_t deliverReqDevGoTxRx();
  int64_t deliverInqDevGoTxRx();
  int64_t deliverDeviceIdInUse(int64_t wParam);
  int64_t deliverInfoDisconnect();
  // Any message, as the infodriver would send it (sequence chosen here).
  int64_t deliver(uint32_t message, int64_t wParam, int64_t lParam,
                  const std::string& text);
  // The connection breaks without a word (the infodriver crashed).
  void dropConnection();
  // A slot-change request that reaches the link just before the answer to
  // its next request (a slot read while events are on their way).
  void queueSlotChangeBeforeNextAnswer(int slot, const std::string& text);
  // The link's answer to the message delivered with |sequence|, or -1.
  int64_t answerTo(uint32_t sequence) const;
  uint32_t lastDeliveredSequence() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

#endif  // QOR_INFODRIVER_TESTING_IN_MEMORY_INFODRIVER_H_
