#ifndef QOR_INFODRIVER_INF_BUFFER_H_
#define QOR_INFODRIVER_INF_BUFFER_H_

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/binary_semaphore.h"

class inf_buffer;

// One queued slot write: an absolute slot number and a private, exact-size
// copy of the text. Made only by inf_buffer::addData; whoever takes it out
// with getData owns it and deletes it.
class eiData {
 public:
  virtual ~eiData();
  eiData(const eiData&) = delete;
  eiData& operator=(const eiData&) = delete;

  const char* text() const { return text_.get(); }
  int slot() const { return slot_; }

 private:
  friend class inf_buffer;
  eiData(std::unique_ptr<char[]> text, int slot);

  std::unique_ptr<char[]> text_;
  int slot_;
};

// The process-wide first-in, first-out queue of slot writes between the
// units (which fill it while they handle SNMP replies and traps) and the
// 10 ms drain on the main thread (which writes each record through the
// infodriver link). Records leave in the order they came, each once, never
// merged; there is no capacity limit.
//
// Thread-safe: every operation takes the buffer's lock, never across a call
// out of the buffer. The lock is not re-entrant. addData and getData wait
// for it without a limit; count waits at most 100 ms and then reports 0 with
// the line "inf_buffer::count() - WaitForSingleObject failed", so a drain
// tick stops and the records stay for a later tick.
//
// The drain need not run while nothing is queued: the buffer is "armed" from
// the addData that queues a record until disarmIfEmpty finds it empty, and
// the arm handler is called (outside the lock, on the adding thread) each
// time a record arms it, so whoever drains can start its tick then.
//
// Records still queued when the buffer is destroyed are discarded.
class inf_buffer {
 public:
  static constexpr int kCountWaitMs = 100;

  inf_buffer();
  virtual ~inf_buffer();
  inf_buffer(const inf_buffer&) = delete;
  inf_buffer& operator=(const inf_buffer&) = delete;

  // Queues a copy of |szData| for |iSlot|. False for a null text (nothing
  // logged) or when the copy cannot be made; "" is queued like any text.
  bool addData(int iSlot, const char* szData);
  // The oldest record, now owned by the caller, or null.
  eiData* getData();
  // The number of queued records; 0 when the lock is not had in 100 ms.
  int count();

  // Called by the addData that arms the buffer; null for none. Safe to
  // replace while other threads add.
  void setArmHandler(std::function<void()> handler);
  // True (and the buffer disarmed) when nothing is queued; false when
  // records wait or the lock is not had in 100 ms, so that the caller keeps
  // draining.
  bool disarmIfEmpty();

  // For tests: the buffer's own lock, to hold it from another thread.
  BinarySemaphore& lockForTest() { return lock_; }

 private:
  BinarySemaphore lock_;
  std::deque<eiData*> queue_;
  bool armed_ = false;  // under lock_
  std::mutex handlerMutex_;
  std::shared_ptr<const std::function<void()>> armHandler_;
};

// The process's buffer, a static object: constructed before main runs,
// destroyed after it returns.
inf_buffer& TheInfBuffer();

#endif  // QOR_INFODRIVER_INF_BUFFER_H_
