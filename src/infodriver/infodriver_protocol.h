#ifndef QOR_INFODRIVER_INFODRIVER_PROTOCOL_H_
#define QOR_INFODRIVER_INFODRIVER_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The messages that travel between a driver's infodriver link, the
// infodriver and its clients (infoctl) over the infodriver's local socket
// (SOCK_SEQPACKET, so every message arrives whole or not at all).
//
// A message is a fixed 24-byte header followed by an optional text:
//
//   uint32 message   the message number (the contract's WVN_ numbers)
//   uint32 sequence  0: no answer wanted; otherwise the receiver answers
//                    with INFO_RESULT carrying the same sequence number
//   int64  wParam    first parameter (slot number, handle, flag, result)
//   int64  lParam    second parameter
//   bytes            the text, without a terminator, never containing NUL
//
// Integers are in host byte order: both ends always run on the same
// machine. Every message read from a peer goes through DecodeMessage, which
// refuses what is malformed.

// Control requests and their deadline. A Set that reaches a unit late
// switches an output that the operator may have switched back since, so a
// slot change carries the moment after which it must not be carried out:
//
//   WVN_SLOTCHANGE from a client (infoctl, the web and MQTT hub):
//     wParam  the slot; text the requested text
//     lParam  the deadline, in milliseconds of CLOCK_MONOTONIC (what
//             TheSystemClock().NowMs() gives), counted from the moment the
//             request was made: normally that moment + kControlDeadlineMs.
//             0: the client gave none (older clients).
//   The infodriver, when it reads the request: 0 becomes now +
//   kControlDeadlineMs; a deadline further ahead than that is cut to it (a
//   guard against nonsense); a deadline already passed (now > deadline) is
//   answered INFO_EXPIRED at once and not passed on. Otherwise the request
//   goes to the driver with the deadline in lParam, and the driver's answer
//   comes back to the client unchanged when it is 1, 0 or INFO_EXPIRED.
//   The infodriver itself never answers INFO_EXPIRED for a request it has
//   passed on: the driver may still act on it in time, and checks itself.
//   The driver answers INFO_EXPIRED for a request whose deadline has passed
//   when it reads it; a Set that waits in a unit's request queue is dropped
//   there, never sent, once its deadline passes. An answer of 1 therefore
//   means "taken before the deadline", not "the unit switched".
//
// How long a control request may take from being made until its Set leaves
// for the unit.
constexpr int kControlDeadlineMs = 10000;

// Messages of the contract between a driver and its infodriver.
constexpr uint32_t WVN_HELLO = 2031;
constexpr uint32_t WVN_HELLOACK = 2032;
constexpr uint32_t WVN_TRANSFER = 2074;
constexpr uint32_t WVN_INFODISCONNECT = 2175;
constexpr uint32_t WVN_REQDEVGORXONLY = 2179;
constexpr uint32_t WVN_REQDEVGOTXRX = 2180;
constexpr uint32_t WVN_INQDEVGOTXRX = 2181;
constexpr uint32_t WVN_DEVICEIDINUSE = 2190;
constexpr uint32_t WVN_DEVDISCONNECT = 2725;
constexpr uint32_t WVN_WRITESLOT = 2726;
constexpr uint32_t WVN_READSLOT = 2727;
constexpr uint32_t WVN_SLOTCHANGE = 2728;
constexpr uint32_t WVN_DISCOVERREPLY = 2729;
constexpr uint32_t WVN_WRITESLOTNEG = 2731;
constexpr uint32_t WVN_ANNOUNCE = 0xC001;
constexpr uint32_t WVN_DISCOVER = 0xC002;

// Messages of this socket layer. Numbers stay clear of the contract's.
//   INFO_RESULT      answer to the message with the same sequence number;
//                    wParam: the receiver's result (1 accepts, 0 refuses,
//                    INFO_NO_DRIVER when a request needed a driver and none
//                    is connected, INFO_EXPIRED for a slot change whose
//                    deadline had passed); lParam: the message answered;
//                    text: the slot's text for WVN_READSLOT.
//   INFO_STATUS      client asks for the infodriver's state; result wParam
//                    1 when a driver is connected, lParam the device number.
//   INFO_DUMP        client asks for every non-empty slot: one INFO_SLOTDATA
//                    each, in slot order, then the result (the count).
//   INFO_SLOTDATA    wParam: slot; text: its text.
//   INFO_WATCH       client asks to be told of every slot write from now on
//                    (INFO_SLOTWRITTEN: wParam slot, lParam the operation).
//   INFO_DROPPED     the infodriver's last message to a client it drops for
//                    taking its output too slowly; the connection ends.
//   INFO_ATTRIBUTE   client says who its next WVN_SLOTCHANGE comes from, for
//                    the audit trail; text: a JSON object {"via":"web" or
//                    "mqtt","who":...,"from":...,"request":...}. Result 1
//                    when it was taken.
//   INFO_AUDIT       client records a control request it refused itself
//                    (wrong token, a role that may not, a bad value); text: a
//                    JSON object as INFO_ATTRIBUTE's with "unit", "point",
//                    "value" and "reason", and "outcome":"expired" for one
//                    that waited in the client past its deadline. Result 1
//                    when it was recorded.
//   INFO_AUDITSTATUS client asks how the device's audit trail fares; result
//                    wParam: the attempts to write a record that failed
//                    since the infodriver started (-1 when it keeps no
//                    trail), lParam: the records lost because too many
//                    waited to be written.
constexpr uint32_t INFO_RESULT = 3000;
constexpr uint32_t INFO_STATUS = 3001;
constexpr uint32_t INFO_DUMP = 3002;
constexpr uint32_t INFO_SLOTDATA = 3003;
constexpr uint32_t INFO_WATCH = 3004;
constexpr uint32_t INFO_SLOTWRITTEN = 3005;
constexpr uint32_t INFO_DROPPED = 3006;
constexpr uint32_t INFO_ATTRIBUTE = 3007;
constexpr uint32_t INFO_AUDIT = 3008;
constexpr uint32_t INFO_AUDITSTATUS = 3009;
constexpr int64_t INFO_NO_DRIVER = -1;
// The request's deadline had passed when a hop (the infodriver or the
// driver) looked at it; it will never be carried out.
constexpr int64_t INFO_EXPIRED = -2;

// The infodriver's slot table.
constexpr int kInfodriverSlotCount = 4096;  // slots 0 to 4095
constexpr size_t kSlotTextMax = 255;        // bytes; longer texts are cut

constexpr size_t kMessageHeaderSize = 24;
// The longest text a message may carry. Anything longer is malformed (a
// slot text is cut to kSlotTextMax long before this).
constexpr size_t kMessageTextMax = 1024;
constexpr size_t kMessageMax = kMessageHeaderSize + kMessageTextMax;

struct InfoMessage {
  uint32_t message = 0;
  uint32_t sequence = 0;
  int64_t wParam = 0;
  int64_t lParam = 0;
  std::string text;
};

// Appends the wire form of |m| to |out|. False (nothing appended) when the
// text is longer than kMessageTextMax or contains a NUL.
bool EncodeMessage(const InfoMessage& m, std::string* out);

// Parses one received message of |size| bytes. False when it is shorter
// than the header, longer than kMessageMax, or its text contains a NUL.
bool DecodeMessage(const char* data, size_t size, InfoMessage* m);

// A text cut to what a slot holds: at most kSlotTextMax bytes, ending at
// the first NUL.
std::string SlotText(const char* text);

// Length of the printable UTF-8 sequence that starts at |p| (|left| bytes
// available), or 0 when the byte there starts none: ASCII, a stray
// continuation byte, an overlong or cut sequence, a surrogate or a C1
// control. Slot texts may hold any byte; what reaches a terminal or a
// unit's name must not drive it.
size_t PrintableUtf8Length(const unsigned char* p, size_t left);

// True for 0 <= slot < kInfodriverSlotCount.
inline bool IsSlotInRange(int64_t slot) {
  return slot >= 0 && slot < kInfodriverSlotCount;
}

#endif  // QOR_INFODRIVER_INFODRIVER_PROTOCOL_H_
