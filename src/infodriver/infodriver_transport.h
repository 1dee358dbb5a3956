#ifndef QOR_INFODRIVER_INFODRIVER_TRANSPORT_H_
#define QOR_INFODRIVER_INFODRIVER_TRANSPORT_H_

#include <functional>
#include <string>

#include "infodriver/infodriver_protocol.h"

class EventLoop;

// The narrow seam between the infodriver link (extinfo) and whatever carries
// its messages: the infodriver's local socket in the driver
// (SocketTransport), an in-memory infodriver in tests
// (InMemoryInfodriver::makeTransport). The link owns its transport and uses
// it from the loop's thread only.
class InfodriverTransport {
 public:
  enum class OpenResult {
    kOk,  // connected
    // Nobody the link may talk to serves the device: no socket, nobody
    // listening, a listener that does not take connections, or a RUNDIR,
    // socket or infodriver that fails the checks (openFailure says which).
    kNoInfodriver,
    kSetupFailed,  // the link's own socket cannot be made (no descriptors)
  };
  enum class ReceiveResult {
    kMessage,  // one message was stored
    kNothing,  // nothing arrived within the wait
    kClosed,   // the peer went away (or is no longer trusted)
  };

  virtual ~InfodriverTransport() = default;

  virtual OpenResult open(int deviceNumber) = 0;
  // Why the last open failed, for an operator: the directory, owner, mode
  // or errno text at fault. Empty after a successful open.
  virtual std::string openFailure() const { return std::string(); }
  // Drops the connection; further sends fail and receives report kClosed.
  virtual void close() = 0;
  virtual bool isOpen() const = 0;

  // Sends one whole message. False when it cannot be delivered (connection
  // gone, or the peer has not taken it within the transport's own bound).
  virtual bool send(const InfoMessage& message) = 0;

  // Waits at most |timeoutMs| (0: do not wait) for one message. A malformed
  // message from the peer is dropped and not reported.
  virtual ReceiveResult receive(InfoMessage* message, int timeoutMs) = 0;

  // From now on calls |readable| on |loop|'s thread whenever messages may be
  // waiting or the peer has gone; an empty |readable| stops it. The in-memory
  // transport calls it directly from the test's delivery calls.
  virtual void watch(EventLoop* loop, std::function<void()> readable) = 0;

  // True when nothing but the link on this transport writes the slots of
  // the infodriver at the other end (the infodriver takes writes from its
  // one driver only), so that the link may answer slot reads from the
  // slots it has read and written itself instead of asking every time.
  virtual bool soleWriter() const { return false; }
};

#endif  // QOR_INFODRIVER_INFODRIVER_TRANSPORT_H_
