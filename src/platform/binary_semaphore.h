#ifndef QOR_PLATFORM_BINARY_SEMAPHORE_H_
#define QOR_PLATFORM_BINARY_SEMAPHORE_H_

#include <condition_variable>
#include <mutex>

// A binary semaphore (initial count 1, maximum 1) used as a lock: wait with
// or without a time limit, release that fails when the count is already at
// its maximum. Unlike a mutex it may be released by another thread, so a
// test can hold it from one thread while the code under test waits on
// another.
class BinarySemaphore {
 public:
  static constexpr int kNoLimit = -1;

  // timeoutMs < 0 waits without a limit. True when taken; false when the
  // time ran out or the wait itself failed.
  bool wait(int timeoutMs = kNoLimit);
  // False when the semaphore was not taken (count already 1).
  bool release();
  // For tests: how many threads are waiting for it right now.
  int waitingForTest();

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  bool free_ = true;
  int waiting_ = 0;
};

// Holds a BinarySemaphore for one scope: waits for it on construction and
// gives it back on destruction, also when the scope is left by an exception.
// A null semaphore is never held, which is how a lock that is gone (a unit
// being torn down) refuses every caller.
class SemaphoreHolder {
 public:
  explicit SemaphoreHolder(BinarySemaphore* semaphore,
                           int timeoutMs = BinarySemaphore::kNoLimit);
  ~SemaphoreHolder();
  SemaphoreHolder(const SemaphoreHolder&) = delete;
  SemaphoreHolder& operator=(const SemaphoreHolder&) = delete;

  // False when the wait failed or ran out of time.
  bool held() const { return held_; }
  // Gives the semaphore back before the scope ends, so that work after it
  // (a log line, a callback) runs without the lock. False when it was not
  // held or the release failed; the caller says so in its own words.
  bool release();

 private:
  BinarySemaphore* semaphore_;
  bool held_;
};

#endif  // QOR_PLATFORM_BINARY_SEMAPHORE_H_
