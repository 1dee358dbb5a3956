#ifndef QOR_PLATFORM_EVENT_LOOP_H_
#define QOR_PLATFORM_EVENT_LOOP_H_

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/clock.h"

// The driver's single-threaded message loop: poll(2) over file descriptors,
// monotonic timers and posted tasks. Everything the driver does runs inside
// Run() on the main thread, so handlers never interleave with each other.
//
// Timers behave like window timers: a period below kMinPeriodMs is raised to
// it, a late timer fires once (ticks never pile up), and SetTimer with an id
// that is already running restarts it with the new period.
//
// Thread safety: Post() and Quit() may be called from any thread (they wake
// the loop through an eventfd); everything else belongs to the loop's thread.
class EventLoop {
 public:
  using Task = std::function<void()>;
  using FdHandler = std::function<void(short revents)>;
  static constexpr int kMinPeriodMs = 10;

  // |clock| is not owned and must outlive the loop; null uses the system
  // monotonic clock.
  explicit EventLoop(const Clock* clock = nullptr);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Window-style timer with a caller-chosen id. Replaces a running timer of
  // the same id; the first tick comes one period from now.
  void SetTimer(int id, int periodMs, Task fn);
  void KillTimer(int id);
  bool HasTimer(int id) const;
  int TimerPeriod(int id) const;  // 0 when the timer is not running

  // One-shot timer for layers that need a deadline (SNMP timeouts). Returns
  // an id for CancelOneShot; ids never collide with SetTimer ids.
  int64_t AddOneShot(int delayMs, Task fn);
  void CancelOneShot(int64_t id);

  // Calls |fn| with poll's revents whenever |fd| is ready for |events|.
  // Watching an fd that is already watched replaces its handler.
  void WatchFd(int fd, short events, FdHandler fn);
  void UnwatchFd(int fd);

  void Post(Task fn);
  void Quit(int exitCode);
  bool quitRequested() const;
  int exitCode() const;

  // Runs until Quit; returns the exit code given to Quit.
  int Run();
  // One pass: waits for fds at most |maxWaitMs| (bounded by the next timer;
  // -1 waits for the next timer or fd), then runs ready fd handlers, due
  // timers and posted tasks. Returns false once Quit was called.
  bool RunOnce(int maxWaitMs);
  // Runs the timers that are due at the clock's present time, in deadline
  // order; returns how many fired. Tests with a ManualClock call this after
  // Advance().
  int FireDueTimers();
  // Milliseconds until the next timer is due (0 if overdue), or -1 with none.
  int64_t MsUntilNextTimer() const;
  // Runs posted tasks; returns how many ran.
  int RunPosted();

  const Clock& clock() const { return *clock_; }

 private:
  struct Timer {
    int64_t due;
    int period;  // 0 for a one-shot
    Task fn;
  };
  struct Watch {
    short events;
    FdHandler fn;
    uint64_t generation;
  };

  // Keys: window timers use their id (>= 0 as given); one-shots use
  // negative keys so both live in one map.
  std::map<int64_t, Timer> timers_;
  std::map<int, Watch> watches_;
  uint64_t nextGeneration_ = 1;
  int64_t nextOneShot_ = -1;

  SystemClock systemClock_;
  const Clock* clock_;
  int wakeFd_ = -1;
  mutable std::mutex postMutex_;
  std::vector<Task> posted_;
  std::atomic<bool> quit_{false};
  std::atomic<int> exitCode_{0};
};

#endif  // QOR_PLATFORM_EVENT_LOOP_H_
