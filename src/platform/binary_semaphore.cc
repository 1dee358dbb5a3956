#include "platform/binary_semaphore.h"

#include <chrono>
#include <system_error>

bool BinarySemaphore::wait(int timeoutMs) {
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    bool taken = true;
    if (timeoutMs < 0) {
      available_.wait(lock, [this] { return free_; });
    } else {
      taken = available_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return free_; });
    }
    --waiting_;
    if (!taken) return false;
    free_ = false;
    return true;
  } catch (const std::system_error&) {
    // A mutex that cannot be locked is a lock that was not taken; callers
    // already handle that.
    return false;
  }
}

int BinarySemaphore::waitingForTest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

bool BinarySemaphore::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_) return false;  // already at its maximum count
    free_ = true;
  }
  available_.notify_one();
  return true;
}

SemaphoreHolder::SemaphoreHolder(BinarySemaphore* semaphore, int timeoutMs)
    : semaphore_(semaphore),
      held_(semaphore != nullptr && semaphore->wait(timeoutMs)) {}

SemaphoreHolder::~SemaphoreHolder() {
  if (held_) semaphore_->release();
}

bool SemaphoreHolder::release() {
  if (!held_) return false;
  held_ = false;
  return semaphore_->release();
}
