#ifndef QOR_PLATFORM_CLOCK_H_
#define QOR_PLATFORM_CLOCK_H_

#include <cstdint>

// A monotonic millisecond clock. The event loop reads time only through this
// interface, so timer behaviour can be tested with ManualClock without
// sleeping.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() const = 0;
};

// CLOCK_MONOTONIC: never jumps with the wall clock.
class SystemClock : public Clock {
 public:
  int64_t NowMs() const override;
};

// Time moves only when a test says so.
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t startMs = 0) : now_(startMs) {}
  int64_t NowMs() const override { return now_; }
  void Advance(int64_t ms) { now_ += ms; }
  void Set(int64_t ms) { now_ = ms; }

 private:
  int64_t now_;
};

#endif  // QOR_PLATFORM_CLOCK_H_
