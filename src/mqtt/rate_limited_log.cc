#include "mqtt/rate_limited_log.h"

#include <cstdio>

void RateLimitedLog::Line(const char* format, ...) {
  uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= period_) {
      windowStart_ = now;
      inWindow_ = 0;
    }
    if (inWindow_ >= burst_) {
      ++dropped_;
      ++droppedTotal_;
      return;
    }
    ++inWindow_;
    dropped = dropped_;
    dropped_ = 0;
  }
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (dropped > 0)
    std::fprintf(stderr, "%s: %s (%llu similar lines dropped before)\n",
                 prefix_, line, static_cast<unsigned long long>(dropped));
  else
    std::fprintf(stderr, "%s: %s\n", prefix_, line);
}

uint64_t RateLimitedLog::suppressed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return droppedTotal_;
}
