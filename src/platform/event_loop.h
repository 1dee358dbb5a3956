#ifndef QOR_PLATFORM_EVENT_LOOP_H_
#define QOR_PLATFORM_EVENT_LOOP_H_

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"

// The driver's single-threaded message loop: one epoll descriptor over the
// watched file descriptors, monotonic timers, deadline sources and posted
// tasks. Everything the driver does runs inside Run() on the main thread, so
// handlers never interleave with each other. Each wake-up is one epoll_wait:
// a ready descriptor reaches its own handler without a second wait, however
// many descriptors are watched.
//
// Timers behave like window timers: a period below kMinPeriodMs is raised to
// it, a late timer fires once (ticks never pile up), and SetTimer with an id
// that is already running restarts it with the new period. A suspended timer
// keeps its id, period and phase but neither fires nor wakes the loop until
// it is resumed, so a timer with nothing to do costs nothing.
//
// Thread safety: Post(), RunInLoop() and Quit() may be called from any thread
// (they wake the loop through an eventfd); everything else belongs to the
// loop's thread.
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
  // A suspended timer stays set (HasTimer, TimerPeriod) but is not due.
  // ResumeTimer makes it due at the next point of its own period grid that
  // is not in the past, so resuming never moves its phase. Both do nothing
  // for an id that is not set.
  void SuspendTimer(int id);
  void ResumeTimer(int id);
  bool TimerSuspended(int id) const;

  // One-shot timer for layers that need a deadline (SNMP timeouts). Returns
  // an id for CancelOneShot; ids never collide with SetTimer ids.
  int64_t AddOneShot(int delayMs, Task fn);
  void CancelOneShot(int64_t id);

  // Deadlines kept by another layer (the SNMP layer's request timeouts):
  // before each wait the loop asks |nearest| once for the earliest of them
  // (a time on this loop's clock, or -1 for none) and, once that time has
  // come, calls |expire|, which deals with every deadline that has passed.
  // |nearest| may name a time earlier than the true one (the loop then
  // wakes once for nothing), never a later one.
  int AddDeadlineSource(std::function<int64_t()> nearest, Task expire);
  void RemoveDeadlineSource(int id);

  // Calls |fn| with the ready events (POLLIN, POLLOUT, POLLERR, POLLHUP, as
  // poll reports them) whenever |fd| is ready for |events|. Watching an fd
  // that is already watched replaces its handler. A descriptor that epoll
  // cannot watch (a regular file, /dev/null) is always ready, as poll says.
  // Unwatch a descriptor before closing it: a socket that lives on in a
  // child that inherited it would otherwise stay in the loop's epoll set.
  void WatchFd(int fd, short events, FdHandler fn);
  void UnwatchFd(int fd);

  void Post(Task fn);
  // Runs |fn| now when called on the loop's thread, else posts it.
  void RunInLoop(Task fn);
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
  // Milliseconds until the next timer or source deadline is due (0 if
  // overdue), or -1 with none.
  int64_t MsUntilNextTimer() const;
  // Calls the expire handler of each deadline source whose nearest deadline
  // has come; returns how many were called.
  int ExpireDeadlines();
  // Runs posted tasks; returns how many ran.
  int RunPosted();

  const Clock& clock() const { return *clock_; }

 private:
  struct Timer {
    int64_t due;
    int period;  // 0 for a one-shot
    Task fn;
    bool suspended = false;
  };
  struct Watch {
    short events;
    FdHandler fn;
    uint64_t generation;
    bool inEpoll;  // false: epoll refused it, so it is always ready
  };
  struct DeadlineSource {
    int id;
    std::function<int64_t()> nearest;
    Task expire;
  };

  int64_t NearestSourceDeadline() const;
  bool OnLoopThread() const;

  // Keys: window timers use their id (>= 0 as given); one-shots use
  // negative keys so both live in one map.
  std::map<int64_t, Timer> timers_;
  std::map<int, Watch> watches_;
  int alwaysReady_ = 0;  // watches that epoll refused
  std::vector<DeadlineSource> sources_;
  int nextSource_ = 1;
  uint64_t nextGeneration_ = 1;
  int64_t nextOneShot_ = -1;

  SystemClock systemClock_;
  const Clock* clock_;
  int wakeFd_ = -1;
  int epollFd_ = -1;
  std::atomic<std::thread::id> loopThread_;
  mutable std::mutex postMutex_;
  std::vector<Task> posted_;
  std::atomic<bool> quit_{false};
  std::atomic<int> exitCode_{0};
};

#endif  // QOR_PLATFORM_EVENT_LOOP_H_
