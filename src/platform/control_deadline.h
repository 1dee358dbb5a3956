#ifndef QOR_PLATFORM_CONTROL_DEADLINE_H_
#define QOR_PLATFORM_CONTROL_DEADLINE_H_

#include <cstdint>

// The deadline of the control request that the calling thread is handling,
// in milliseconds of the process's monotonic clock (Clock::NowMs); 0 when
// it handles none or the request came without one.
//
// A slot-change request travels from the infodriver link through the
// routing and the unit model to the unit's request queue in plain calls on
// one thread. The link sets the request's deadline around that call chain
// with a ScopedControlDeadline, and the engine reads it when it makes the
// Set, so the deadline reaches the queue without passing through every
// signature on the way. Scopes nest; each restores what was there before.
class ScopedControlDeadline {
 public:
  explicit ScopedControlDeadline(int64_t deadlineMs);
  ~ScopedControlDeadline();
  ScopedControlDeadline(const ScopedControlDeadline&) = delete;
  ScopedControlDeadline& operator=(const ScopedControlDeadline&) = delete;

 private:
  int64_t previous_;
};

int64_t CurrentControlDeadlineMs();

#endif  // QOR_PLATFORM_CONTROL_DEADLINE_H_
