#ifndef QOR_MQTT_RATE_LIMITED_LOG_H_
#define QOR_MQTT_RATE_LIMITED_LOG_H_

#include <chrono>
#include <cstdarg>
#include <mutex>

// Log lines about what came from the broker, to standard error (the
// journal), at most |burst| a period: a client that floods the bridge with
// bad messages must not flood the journal too. The lines dropped are
// counted and the count is said with the next line let through. Safe from
// any thread.
class RateLimitedLog {
 public:
  // Lines start with "|prefix|: " (a string literal: the program's name).
  explicit RateLimitedLog(
      const char* prefix = "qor_mqtt", int burst = 20,
      std::chrono::seconds period = std::chrono::seconds(10))
      : prefix_(prefix), burst_(burst), period_(period) {}

  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  uint64_t suppressed() const;

 private:
  mutable std::mutex mutex_;
  const char* prefix_;
  int burst_;
  std::chrono::seconds period_;
  std::chrono::steady_clock::time_point windowStart_{};
  int inWindow_ = 0;
  uint64_t dropped_ = 0;       // since the last line let through
  uint64_t droppedTotal_ = 0;  // for tests and counters
};

#endif  // QOR_MQTT_RATE_LIMITED_LOG_H_
