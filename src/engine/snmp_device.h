#ifndef QOR_ENGINE_SNMP_DEVICE_H_
#define QOR_ENGINE_SNMP_DEVICE_H_

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/binary_semaphore.h"
#include "platform/clock.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/snmp_api.h"

// One request waiting in a unit's request queue: the texts are copies, so
// the caller's buffers may go as soon as SendSnmpMessage returns.
class SnmpRequest {
 public:
  SnmpRequest(int32_t pduType, const char* oid, const char* value,
              uint32_t syntax, uint32_t requestId);
  virtual ~SnmpRequest();

  uint32_t requestId;  // complete id: serial in bits 0-15, tag in 16-17
  uint32_t syntax;     // 0 for none
  std::string value;   // empty when none was given
  std::string oid;     // empty when none was given
  int32_t pduType;     // SNMP_PDU_GETNEXT or SNMP_PDU_SET
  // Where the request came from, for the log line when it is dropped: the
  // relative slot (0 when none) and the text that was requested for it.
  int relativeSlot = 0;
  std::string requested;
  int64_t queuedAtMs = 0;  // the engine's clock when it was queued
  // The control request's deadline on the engine's clock; 0 for none. Past
  // it the request is dropped, never sent.
  int64_t deadlineMs = 0;
};

// Request ids: a serial shared by every unit of the process in the low 16
// bits, and a tag in bits 16 and 17 that tells on the reply whether the
// request belonged to the walk or was a control request.
constexpr uint32_t kScanRequestTag = 1;
constexpr uint32_t kControlRequestTag = 2;
inline uint32_t requestTag(uint32_t requestId) {
  return (requestId >> 16) & 0x3;
}

// The polling engine of one unit.
//
// It walks the unit's MIB subtree for ever with one GetNext at a time: a new
// walk runs at full speed (each reply sends the next request) until it has
// gone once through the subtree, and then at the poll timer's pace. It counts
// poll ticks that find the walk's request unanswered, resends after the
// third, declares the unit failed at the sixth and good again at the next
// value the model accepts. A tick counts as missed while the walk's last
// request has had no reply, whether or not the SNMP layer has reported it as
// timed out, so a silent unit fails after six ticks whatever the layer's
// timeout; and a tick that finds a fast walk with nothing in flight sends its
// next request, so the walk cannot stall. Control requests (Sets) go out
// through the same session and wait in `requestQueue` while something is
// outstanding.
//
// A control request goes out promptly or not at all, because a Set that
// arrives late switches an output that the operator may have switched back
// since: a request that fails to leave is not counted as outstanding (so it
// cannot hold the queue shut); a queued request older than kQueueLimitMs is
// dropped instead of sent; the queue is emptied when the unit is declared
// failed; and while communication is not good nothing is queued, a request
// goes straight to the unit. A control request made on behalf of a client
// also carries that request's deadline (CurrentControlDeadlineMs() when it
// is made, on the engine's clock): once the deadline has passed it is
// dropped, whether it waits in the queue or is about to go out at once.
// Each drop leaves one line in the log file and a trace line.
//
// An agent that answers with an error (other than noSuchName) or without
// any binding is asked again at the poll tick's pace, not at once, so it
// cannot be flooded; after kErrorRepliesBeforeRestart such answers in a row
// the walk ends there and starts again from the top, so the objects before
// the failing one stay fresh.
//
// The unit model derives from this class and supplies the four pure virtual
// operations; the engine never writes slots itself.
//
// Threading: the SNMP layer delivers replies, traps and timeouts from the
// event loop, and the poll timer fires on the same loop, so PollNext,
// checkComms, startScan and the reply path all run on one thread, one after
// the other, and can never interleave on a unit. The layer never calls back
// from inside a send, so a request sent from PollNext cannot re-enter
// SNMPReply either. The exception is the request queue: SendSnmpMessage (for
// requests that get queued because something is outstanding) and bufferCount
// may be called from another thread; `queueLock` guards the queue and
// `outstanding` is atomic. Sending at once goes through the SNMP layer and
// belongs to the loop's thread. The counters and flags that the status
// window shows are plain fields, read without a lock.
//
// Handlers (PollNext, checkComms, SNMPReply, SNMPTrap, SNMPError and the
// queue operations) catch everything thrown inside them, including by the
// model's operations, write their "failed" line to the log file and carry on.
class SnmpDevice : public CsnmpZarn {
 public:
  static constexpr int kTextSize = 64;      // address and community
  static constexpr int kOidSize = 256;      // OIDs and values
  static constexpr int kLogLineSize = 512;  // a unit's log line
  static constexpr int32_t kNoCount = 99;   // `missedPolls` with no count
  // Poll ticks after which a unit that never answered says, once, what to
  // check: as many as declare an answering unit failed.
  static constexpr int32_t kTicksBeforeNoAnswerHint = 6;
  // How long a control request may wait in the queue. Ten seconds is longer
  // than the six poll ticks after which a silent unit is declared failed at
  // the default period, and well beyond the round trip of a unit that
  // answers, so only a request that would reach the unit late is dropped;
  // an operator who waited that long has moved on or asks again.
  static constexpr int64_t kQueueLimitMs = 10000;
  // Error answers in a row at one position before the walk starts again.
  static constexpr int32_t kErrorRepliesBeforeRestart = 3;

  // |deviceOid| is both the prefix of the unit's own objects and where every
  // walk starts.
  SnmpDevice(const char* deviceOid, int32_t slotOffset, int32_t instance);
  virtual ~SnmpDevice();

  // One poll tick: supervision, and in the background walk (or while
  // communication is not good) the next scan request.
  void PollNext();
  // ok = true: a value was accepted; false: a poll tick found the walk's
  // request unanswered. Returns `commsOk` after the update.
  bool checkComms(bool ok);
  // Restarts the walk in fast mode from the start OID.
  void startScan();

  HSNMP_VBL SNMPReply(HSNMP_PDU pdu) override;
  HSNMP_VBL SNMPTrap(HSNMP_PDU pdu) override;
  void SNMPError(uint32_t code, uint32_t requestId) override;

  // Sends now (scan requests, anything when nothing is outstanding, and
  // anything while communication is not good) or queues. 0 when queued or
  // dropped, else sendRequest's result (0 sent, 1 failed). |value| may be
  // null. |relativeSlot| and |requested| name the slot change that asked
  // for a control request, for the line written if it is dropped. A control
  // request takes the deadline of the request being handled on this thread
  // (CurrentControlDeadlineMs); one already past it is dropped.
  int SendSnmpMessage(int32_t pduType, const char* oid, const char* value,
                      uint32_t syntax, bool scan, int relativeSlot = 0,
                      const char* requested = nullptr);
  // Sends the oldest queued request, if any; false when the queue was empty.
  bool sendNextMessage();
  // Number of queued requests (0 when the lock cannot be taken).
  int bufferCount();
  // Drops the queued requests older than kQueueLimitMs or past their
  // deadline (every one when |all|), each with its log line giving |reason|
  // (or, for a deadline, how late it is).
  void dropQueuedRequests(bool all, const char* reason);

  int32_t getOffset() const { return slotOffset; }

  // Copy a setting into `address` / `community`; false (and the field
  // unchanged) when the text is null or does not fit.
  bool setAddress(const char* text);
  bool setCommunity(const char* text);

  // The unit's list line ("%d:" with `instance`, then the text) for the
  // debug list, and its trace line ("%s - " with the address, then the text)
  // for the debug output. Cut at kLogLineSize - 1 characters.
  void logList(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void logTrace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Says once, after kTicksBeforeNoAnswerHint ticks, what to check for a
  // unit from which no value was ever accepted.
  void hintIfNeverAnswered();

  // Supplied by the unit model.
  // Each value of an error-free reply (walk or Set), in binding order; the
  // model calls checkComms(true) for each value it accepts. Result unused.
  virtual int handleValue(const char* oid, const char* value) = 0;
  // A fast walk has ended (called before `fastPoll` becomes false).
  virtual void fastPollDone() = 0;
  // failed = true when the unit is declared failed, false when it answers
  // again. Result unused.
  virtual bool commsChanged(bool failed) = 0;
  // `refusal` changed: the cause an SNMPv3 unit newly named, or "" once it
  // answers again. Not called while it stays the same. A model that does
  // not publish the cause need not override it.
  virtual void causeChanged(const std::string& cause) {}
  // A trap with at least two bindings; |trapOid| is the second binding's
  // value. |vbl| stays owned by the caller. True when the model knew it.
  virtual bool handleTrap(const char* trapOid, HSNMP_VBL vbl) = 0;

  // Process-wide request serial: the last one taken, 0 before the first.
  static std::atomic<uint32_t> nextRequestNumber;
  // Takes the next serial: 1 to 65535, then 1 again.
  static uint32_t takeRequestSerial();

  // Fields, in order; all public for the model and the status window.
  uint32_t sentCount = 0;   // requests handed to sendRequest
  uint32_t replyCount = 0;  // values accepted by the model (it counts them)
  uint32_t trapCount = 0;   // traps received
  char address[kTextSize] = "Address unassigned";
  char community[kTextSize] = "Community unassigned";
  bool fastPoll = true;            // a fast walk is in progress
  bool commsOk = false;            // communication with the unit is good
  bool firstScan = true;           // no walk completed since construction
  char currentOid[kOidSize] = "";  // what the next GetNext asks for
  int32_t missedPolls = kNoCount;
  // Ticks while no value was ever accepted; stops counting at the hint.
  int32_t ticksWithoutAnswer = 0;
  std::deque<std::unique_ptr<SnmpRequest>> requestQueue;  // under queueLock
  std::unique_ptr<BinarySemaphore> queueLock;
  // Requests sent and neither answered nor reported failed; may go below 0
  // when late timeouts arrive after a reset.
  std::atomic<int32_t> outstanding{0};
  int32_t slotOffset;  // the unit's first slot minus one
  int32_t instance;    // the unit's number, 1 to 40
  std::string scanStartOid;
  std::string deviceOid;
  // The walk's last request has had no reply yet. Timeouts do not clear it,
  // so a silent unit is noticed on every poll tick whatever the SNMP layer
  // reported and whatever late timeouts did to `outstanding`.
  bool scanUnanswered = false;
  // Where the walk's requests are answered with errors: the answers in a row
  // there, and the OID whose failure the debug list has been told about.
  int32_t errorRepliesInRow = 0;
  std::string failingOid;
  // The time source of the queue's limit; tests give a manual clock.
  const Clock* clock;
  // The bulk walk of a 2c or 3 unit (security.bulk()): each request of the
  // walk is a GetBulk from the current position. It falls back to GetNext
  // for good when the unit answers a GetBulk with an error, or answers
  // GetNext while its GetBulks are lost.
  bool bulkFallback = false;
  bool bulkAnswered = false;  // some GetBulk of the walk was answered
  bool getNextAnswered = false;
  int32_t bulkTimeouts = 0;  // GetBulks lost while none was ever answered
  uint32_t lastBulkId = 0;   // request id of the last GetBulk of the walk
  // Why an SNMPv3 unit refuses the driver ("authentication failed: wrong
  // digest" and the like); empty while it answers or has said nothing.
  std::string refusal;
  // SNMPv3 traps from the unit dropped because they failed their checks,
  // and the cause last written.
  uint32_t trapsRefused = 0;
  std::string trapRefusal;

 private:
  struct PduFields {
    int32_t type = 0;
    int32_t requestId = 0;
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
  };
  // A received PDU's fields; |*vbl| gets its list, the caller's to free.
  PduFields readPdu(HSNMP_PDU pdu, HSNMP_VBL* vbl);
  void logDropped(const SnmpRequest& request, const char* reason);
  // Why |request| may no longer be sent at |now|: "" while it may, else
  // |tooOld| for one queued longer than kQueueLimitMs or the lateness of
  // one past its deadline.
  static std::string expiry(const SnmpRequest& request, int64_t now,
                            const char* tooOld);
  // The unit's line, to the system debug output (|trace|) or the debug
  // list, cut to kLogLineSize; nothing without debugMode.
  void writeLine(bool trace, const char* format, va_list ap);
  // Ends a fast poll that is on (fastPollDone, then fastPoll cleared).
  void endFastPoll();
  // The trace of a walk that ends at the reply for |oid| because of |why|,
  // ending a fast poll that is on.
  void traceWalkEnd(const char* oid, const std::string& why);
  bool stepScan(uint32_t count, const char* oid, int32_t errorStatus);
  // The walk's next request: GetBulk or GetNext.
  int32_t walkPduType() const;
  int sendWalkRequest();
  // Walks with GetNext from now on, saying why once.
  void fallBackToGetNext(const char* why);
  // An SNMPv3 unit named why it refused a request: one line per cause.
  void noteRefusal(uint32_t code);
};

#endif  // QOR_ENGINE_SNMP_DEVICE_H_
