#include "platform/clock.h"

#include <time.h>

int64_t SystemClock::NowMs() const {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct timespec SystemClock::WallNow() const {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

const Clock& TheSystemClock() {
  static const SystemClock* clock = new SystemClock();  // usable at exit
  return *clock;
}

struct timespec ManualClock::WallNow() const {
  const int64_t ms = wallOffsetMs_ + now_;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  if (ts.tv_nsec < 0) {
    ts.tv_sec -= 1;
    ts.tv_nsec += 1000000000;
  }
  return ts;
}

void ManualClock::SetWall(const struct timespec& wall) {
  wallOffsetMs_ =
      static_cast<int64_t>(wall.tv_sec) * 1000 + wall.tv_nsec / 1000000 - now_;
}
