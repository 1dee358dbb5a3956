#ifndef QOR_PLATFORM_CLOCK_H_
#define QOR_PLATFORM_CLOCK_H_

#include <time.h>

#include <cstdint>

// The process's time. NowMs is a monotonic millisecond count for timers and
// intervals; WallNow is the calendar time for log stamps and file names,
// which may jump. Everything reads time only through this interface, so
// timers, log rotation and stamps can be tested with ManualClock without
// sleeping. Both calls are async-signal-safe in SystemClock and
// ManualClock, so the fault handler may stamp its lines.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() const = 0;
  virtual struct timespec WallNow() const = 0;
};

// CLOCK_MONOTONIC for NowMs (never jumps with the wall clock),
// CLOCK_REALTIME for WallNow.
class SystemClock : public Clock {
 public:
  int64_t NowMs() const override;
  struct timespec WallNow() const override;
};

// The clock of processes that were not given another one.
const Clock& TheSystemClock();

// Time moves only when a test says so. The wall time moves with Advance
// and Set, from where SetWall put it (the epoch at the start).
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t startMs = 0) : now_(startMs) {}
  int64_t NowMs() const override { return now_; }
  struct timespec WallNow() const override;
  void Advance(int64_t ms) { now_ += ms; }
  void Set(int64_t ms) { now_ = ms; }
  void SetWall(const struct timespec& wall);

 private:
  int64_t now_;
  int64_t wallOffsetMs_ = 0;  // wall time in ms since the epoch, minus now_
};

#endif  // QOR_PLATFORM_CLOCK_H_
