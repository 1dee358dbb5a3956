#include "infodriver/inf_buffer.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "logging/log.h"
#include "platform/structured_exception.h"

namespace {

unsigned FaultAddress(const structured_exception& e) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(e.getSeAddress()));
}

}  // namespace

eiData::eiData(std::unique_ptr<char[]> text, int slot)
    : text_(std::move(text)), slot_(slot) {}

eiData::~eiData() = default;

bool BinarySemaphore::wait(int timeoutMs) {
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

inf_buffer::inf_buffer() { InstallFaultTranslator(); }

inf_buffer::~inf_buffer() {
  for (eiData* record : queue_) delete record;
}

bool inf_buffer::addData(int iSlot, const char* szData) {
  if (szData == nullptr) return false;

  const size_t length = std::strlen(szData);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
  std::unique_ptr<eiData> record;
  if (copy) {
    std::memcpy(copy.get(), szData, length + 1);
    record.reset(new (std::nothrow) eiData(std::move(copy), iSlot));
  }
  if (!record) {
    DebugOutput("Unable to add data to infodriver buffer %d, %s", iSlot,
                szData);
    return false;
  }

  bool locked = false;
  bool armed = false;
  try {
    // An unbounded wait that still fails drops the record, as designed.
    locked = lock_.wait(-1);
    if (!locked) return true;
    queue_.push_back(record.get());
    record.release();
    armed = !armed_;
    armed_ = true;
    locked = false;
    if (!lock_.release())
      DebugOutput(
          "inf_buffer::addData(int iSlot, char *szData) - failed to release "
          "semaphore");
  } catch (const structured_exception& e) {
    FileLog("inf_buffer::addData failed");
    FileLog("thrown exception %x from %x", e.getSeNumber(), FaultAddress(e));
    if (locked) lock_.release();
  } catch (...) {
    // Anything else belongs to the caller, but not with the lock held.
    if (locked) lock_.release();
    throw;
  }
  if (armed) {
    std::shared_ptr<const std::function<void()>> handler;
    {
      std::lock_guard<std::mutex> lock(handlerMutex_);
      handler = armHandler_;
    }
    if (handler && *handler) (*handler)();
  }
  return true;
}

void inf_buffer::setArmHandler(std::function<void()> handler) {
  auto shared =
      std::make_shared<const std::function<void()>>(std::move(handler));
  std::lock_guard<std::mutex> lock(handlerMutex_);
  armHandler_ = std::move(shared);
}

bool inf_buffer::disarmIfEmpty() {
  if (!lock_.wait(kCountWaitMs)) return false;
  const bool empty = queue_.empty();
  if (empty) armed_ = false;
  lock_.release();
  return empty;
}

eiData* inf_buffer::getData() {
  eiData* record = nullptr;
  bool locked = false;
  try {
    locked = lock_.wait(-1);
    if (!locked) return nullptr;
    if (queue_.empty()) {
      lock_.release();
      return nullptr;
    }
    record = queue_.front();
    queue_.pop_front();
    locked = false;
    if (!lock_.release())
      DebugList("eiData* inf_buffer::getData() - failed to release semaphore");
  } catch (const structured_exception& e) {
    FileLog("inf_buffer::getData() - failed");
    FileLog("thrown exception %x from %x", e.getSeNumber(), FaultAddress(e));
    if (locked) lock_.release();
  } catch (...) {
    FileLog("inf_buffer::getData() - failed");
    if (locked) lock_.release();
  }
  return record;
}

int inf_buffer::count() {
  int n = 0;
  bool locked = false;
  try {
    locked = lock_.wait(kCountWaitMs);
    if (!locked) {
      DebugOutput("inf_buffer::count() - WaitForSingleObject failed");
      return 0;
    }
    n = static_cast<int>(queue_.size());
    locked = false;
    if (!lock_.release())
      DebugOutput("int inf_buffer::count() - failed release semaphore");
  } catch (const structured_exception& e) {
    FileLog("inf_buffer::count() - failed");
    FileLog("thrown exception %x from %x", e.getSeNumber(), FaultAddress(e));
    if (locked) lock_.release();
  } catch (...) {
    FileLog("inf_buffer::count() - failed");
    if (locked) lock_.release();
  }
  return n;
}

inf_buffer& TheInfBuffer() {
  static inf_buffer buffer;
  return buffer;
}

namespace {
// Made before main runs, like the original static object, so that its
// constructor runs on the main thread.
[[maybe_unused]] inf_buffer& early = TheInfBuffer();
}  // namespace
