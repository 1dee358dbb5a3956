#ifndef QOR_UNITVIEW_CONTROL_REQUESTER_H_
#define QOR_UNITVIEW_CONTROL_REQUESTER_H_

#include <cstdint>
#include <string>

// Who a control request comes from, as the program that took it says: the
// way in ("web", "mqtt"), the person or site ("ops-anna", the token's
// name; the bridge's site) and where from (the remote address, the
// broker). The infodriver writes it into the device's audit trail beside
// what the socket shows of the program itself.
struct ControlRequester {
  std::string via;
  std::string who;
  std::string from;
  std::string clientRequest;  // filled in by the source: its request id
  // The name given to confirm switching a protected output off: checked
  // where the request came in, and passed on by a source whose far end
  // checks it again (the bridge behind broker-mode qor_web).
  std::string confirm;
};

// The requester of the request the calling thread is passing to a source:
// the control queue sets it around RequestControl, so that it reaches the
// source without widening every signature on the way. Scopes nest; each
// restores what was there before.
class ScopedControlRequester {
 public:
  explicit ScopedControlRequester(const ControlRequester& requester);
  // The scope keeps a pointer: a temporary would be gone before it ends.
  explicit ScopedControlRequester(ControlRequester&&) = delete;
  ~ScopedControlRequester();
  ScopedControlRequester(const ScopedControlRequester&) = delete;
  ScopedControlRequester& operator=(const ScopedControlRequester&) = delete;

 private:
  const ControlRequester* previous_;
};

// The requester set on this thread; an empty one (via "") when none is.
const ControlRequester& CurrentControlRequester();

// How many refusals one device's trail takes: kPerSecond in each second of
// the clock at most, since anyone who reaches a way in can be refused and
// must not fill the disk. Those beyond are counted and said in the next
// record that is taken. Not thread-safe.
class RefusalRecordRate {
 public:
  static constexpr int kPerSecond = 20;
  // Whether a refusal at |nowMs| is recorded; when refusals were left out
  // before it, |reason| says how many.
  bool Take(int64_t nowMs, std::string* reason);

 private:
  int64_t second_ = -1;
  int taken_ = 0;
  uint64_t leftOut_ = 0;
};

#endif  // QOR_UNITVIEW_CONTROL_REQUESTER_H_
