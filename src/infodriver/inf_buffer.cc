#include "infodriver/inf_buffer.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "logging/handler_guard.h"
#include "logging/log.h"
#include "platform/structured_exception.h"

eiData::eiData(std::unique_ptr<char[]> text, int slot)
    : text_(std::move(text)), slot_(slot) {}

eiData::~eiData() = default;

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

  bool armed = false;
  RunGuarded(
      [&] {
        // A wait without a limit fails only when the lock itself is broken;
        // the record is then dropped rather than queued unguarded.
        SemaphoreHolder lock(&lock_);
        if (!lock.held()) return;
        queue_.push_back(record.get());
        record.release();
        armed = !armed_;
        armed_ = true;
        if (!lock.release())
          DebugOutput(
              "inf_buffer::addData(int iSlot, char *szData) - failed to "
              "release semaphore");
      },
      [](bool fault) {
        // Anything but a processor fault belongs to the caller; the lock is
        // already given back.
        if (!fault) throw;
        FileLog("inf_buffer::addData failed");
      });
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
  SemaphoreHolder lock(&lock_, kCountWaitMs);
  if (!lock.held()) return false;
  const bool empty = queue_.empty();
  if (empty) armed_ = false;
  return empty;
}

eiData* inf_buffer::getData() {
  eiData* record = nullptr;
  RunGuarded("inf_buffer::getData() - failed", [&] {
    SemaphoreHolder lock(&lock_);
    if (!lock.held() || queue_.empty()) return;
    record = queue_.front();
    queue_.pop_front();
    if (!lock.release())
      DebugList("eiData* inf_buffer::getData() - failed to release semaphore");
  });
  return record;
}

int inf_buffer::count() {
  int n = 0;
  RunGuarded("inf_buffer::count() - failed", [&] {
    SemaphoreHolder lock(&lock_, kCountWaitMs);
    if (!lock.held()) {
      DebugOutput("inf_buffer::count() - WaitForSingleObject failed");
      return;
    }
    n = static_cast<int>(queue_.size());
    if (!lock.release())
      DebugOutput("int inf_buffer::count() - failed release semaphore");
  });
  return n;
}

inf_buffer& TheInfBuffer() {
  static inf_buffer buffer;
  return buffer;
}

namespace {
// Made before main runs, so that its constructor, which installs the fault
// translation, runs on the main thread before any other thread exists.
[[maybe_unused]] inf_buffer& early = TheInfBuffer();
}  // namespace
