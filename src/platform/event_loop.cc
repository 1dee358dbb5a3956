#include "platform/event_loop.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

// The wake-up eventfd's registration; watches carry their generation, which
// starts at 1.
constexpr uint64_t kWakeKey = 0;

uint64_t KeyOf(int fd, uint64_t generation) {
  return (generation << 32) | static_cast<uint32_t>(fd);
}

}  // namespace

EventLoop::EventLoop(const Clock* clock)
    : clock_(clock ? clock : &systemClock_),
      loopThread_(std::this_thread::get_id()) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ >= 0 && wakeFd_ >= 0) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
  }
}

EventLoop::~EventLoop() {
  if (epollFd_ >= 0) close(epollFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool EventLoop::OnLoopThread() const {
  return loopThread_.load() == std::this_thread::get_id();
}

void EventLoop::SetTimer(int id, int periodMs, Task fn) {
  int period = std::max(periodMs, kMinPeriodMs);
  timers_[id] = Timer{clock_->NowMs() + period, period, std::move(fn)};
}

void EventLoop::KillTimer(int id) { timers_.erase(id); }

bool EventLoop::HasTimer(int id) const { return timers_.count(id) != 0; }

int EventLoop::TimerPeriod(int id) const {
  auto it = timers_.find(id);
  return it == timers_.end() ? 0 : it->second.period;
}

void EventLoop::SuspendTimer(int id) {
  auto it = timers_.find(id);
  if (it != timers_.end() && it->second.period > 0) it->second.suspended = true;
}

void EventLoop::ResumeTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end() || !it->second.suspended) return;
  Timer& t = it->second;
  t.suspended = false;
  const int64_t now = clock_->NowMs();
  if (t.due < now) t.due += (now - t.due + t.period - 1) / t.period * t.period;
}

bool EventLoop::TimerSuspended(int id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second.suspended;
}

int64_t EventLoop::AddOneShot(int delayMs, Task fn) {
  int64_t key = nextOneShot_--;
  timers_[key] =
      Timer{clock_->NowMs() + std::max(delayMs, 0), 0, std::move(fn)};
  return key;
}

void EventLoop::CancelOneShot(int64_t id) {
  if (id < 0) timers_.erase(id);
}

int EventLoop::AddDeadlineSource(std::function<int64_t()> nearest,
                                 Task expire) {
  const int id = nextSource_++;
  sources_.push_back(DeadlineSource{id, std::move(nearest), std::move(expire)});
  return id;
}

void EventLoop::RemoveDeadlineSource(int id) {
  sources_.erase(
      std::remove_if(sources_.begin(), sources_.end(),
                     [id](const DeadlineSource& s) { return s.id == id; }),
      sources_.end());
}

void EventLoop::WatchFd(int fd, short events, FdHandler fn) {
  const uint64_t generation = nextGeneration_++;
  struct epoll_event ev = {};
  // poll's event bits have the same values as epoll's.
  ev.events = static_cast<uint32_t>(events);
  ev.data.u64 = KeyOf(fd, generation);
  auto old = watches_.find(fd);
  bool inEpoll = false;
  if (epollFd_ >= 0) {
    const bool replace = old != watches_.end() && old->second.inEpoll;
    inEpoll = epoll_ctl(epollFd_, replace ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd,
                        &ev) == 0;
    // The old registration may have gone with a close of its descriptor.
    if (!inEpoll && replace && errno == ENOENT)
      inEpoll = epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) == 0;
  }
  if (old != watches_.end() && !old->second.inEpoll) --alwaysReady_;
  if (!inEpoll) ++alwaysReady_;
  watches_[fd] = Watch{events, std::move(fn), generation, inEpoll};
}

void EventLoop::UnwatchFd(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  if (it->second.inEpoll) {
    // Fails harmlessly when the descriptor was already closed.
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  } else {
    --alwaysReady_;
  }
  watches_.erase(it);
}

void EventLoop::Post(Task fn) {
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posted_.push_back(std::move(fn));
  }
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof one);
    (void)r;
  }
}

void EventLoop::Quit(int exitCode) {
  exitCode_ = exitCode;
  quit_ = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof one);
    (void)r;
  }
}

void EventLoop::RunInLoop(Task fn) {
  if (OnLoopThread()) {
    fn();
  } else {
    Post(std::move(fn));
  }
}

bool EventLoop::quitRequested() const { return quit_; }
int EventLoop::exitCode() const { return exitCode_; }

int64_t EventLoop::NearestSourceDeadline() const {
  int64_t earliest = INT64_MAX;
  for (const DeadlineSource& s : sources_) {
    const int64_t due = s.nearest();
    if (due >= 0) earliest = std::min(earliest, due);
  }
  return earliest;
}

int64_t EventLoop::MsUntilNextTimer() const {
  int64_t earliest = NearestSourceDeadline();
  for (const auto& [key, t] : timers_)
    if (!t.suspended) earliest = std::min(earliest, t.due);
  if (earliest == INT64_MAX) return -1;
  return std::max<int64_t>(0, earliest - clock_->NowMs());
}

int EventLoop::ExpireDeadlines() {
  const int64_t now = clock_->NowMs();
  std::vector<Task> due;
  for (const DeadlineSource& s : sources_) {
    const int64_t when = s.nearest();
    if (when >= 0 && when <= now) due.push_back(s.expire);
  }
  int called = 0;
  for (Task& fn : due) {
    if (quit_) break;
    fn();
    ++called;
  }
  return called;
}

int EventLoop::FireDueTimers() {
  int fired = 0;
  const int64_t now = clock_->NowMs();
  // Collect first: a handler may set or kill timers, including its own.
  std::vector<std::pair<int64_t, int64_t>> due;  // (deadline, key)
  for (const auto& [key, t] : timers_)
    if (!t.suspended && t.due <= now) due.emplace_back(t.due, key);
  std::sort(due.begin(), due.end());
  for (const auto& [deadline, key] : due) {
    if (quit_) break;
    auto it = timers_.find(key);
    if (it == timers_.end() || it->second.due != deadline ||
        it->second.suspended)
      continue;
    Task fn;
    if (it->second.period == 0) {
      fn = std::move(it->second.fn);
      timers_.erase(it);
    } else {
      Timer& t = it->second;
      t.due += t.period;
      if (t.due <= now) t.due = now + t.period;  // late: fire once, no backlog
      fn = t.fn;  // copy: the handler may replace or kill this timer
    }
    fn();
    ++fired;
  }
  return fired;
}

int EventLoop::RunPosted() {
  std::vector<Task> tasks;
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    tasks.swap(posted_);
  }
  int ran = 0;
  for (auto& t : tasks) {
    if (quit_) break;
    t();
    ++ran;
  }
  return ran;
}

bool EventLoop::RunOnce(int maxWaitMs) {
  if (quit_) return false;
  loopThread_ = std::this_thread::get_id();
  // The deadline sources are asked once per pass: for the wait, and again
  // only when one of them has come due.
  const int64_t sourceDue = NearestSourceDeadline();
  int64_t earliest = sourceDue;
  for (const auto& [key, t] : timers_)
    if (!t.suspended) earliest = std::min(earliest, t.due);
  int64_t wait = earliest == INT64_MAX
                     ? -1
                     : std::max<int64_t>(0, earliest - clock_->NowMs());
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    if (!posted_.empty()) wait = 0;
  }
  if (alwaysReady_ > 0) wait = 0;
  if (maxWaitMs >= 0 && (wait < 0 || wait > maxWaitMs)) wait = maxWaitMs;
  if (wait > INT_MAX) wait = INT_MAX;

  static constexpr int kBatch = 64;
  struct epoll_event events[kBatch];
  int n = epollFd_ >= 0
              ? epoll_wait(epollFd_, events, kBatch, static_cast<int>(wait))
              : 0;
  if (n < 0) n = 0;  // EINTR: a signal; timers and tasks still run
  // Readiness of every descriptor first, then the handlers: a handler may
  // unwatch or replace a watch whose event is further on in this batch, and
  // that event belongs to the old registration.
  for (int i = 0; i < n && !quit_; ++i) {
    // epoll_event is packed: copy the key, a reference would be misaligned.
    const uint64_t key = events[i].data.u64;
    const uint32_t ready = events[i].events;
    if (key == kWakeKey) {
      uint64_t v;
      while (read(wakeFd_, &v, sizeof v) > 0) {
      }
      continue;
    }
    const int fd = static_cast<int>(static_cast<uint32_t>(key));
    auto it = watches_.find(fd);
    if (it == watches_.end() || KeyOf(fd, it->second.generation) != key)
      continue;
    FdHandler fn = it->second.fn;
    fn(static_cast<short>(ready));
  }
  if (alwaysReady_ > 0 && !quit_) {
    std::vector<std::pair<int, uint64_t>> ready;
    for (const auto& [fd, w] : watches_)
      if (!w.inEpoll) ready.emplace_back(fd, w.generation);
    for (const auto& [fd, generation] : ready) {
      if (quit_) break;
      auto it = watches_.find(fd);
      if (it == watches_.end() || it->second.generation != generation) continue;
      FdHandler fn = it->second.fn;
      fn(static_cast<short>(it->second.events & (POLLIN | POLLOUT)));
    }
  }
  if (!quit_) FireDueTimers();
  if (!quit_ && sourceDue != INT64_MAX && sourceDue <= clock_->NowMs())
    ExpireDeadlines();
  if (!quit_) RunPosted();
  return !quit_;
}

int EventLoop::Run() {
  while (RunOnce(-1)) {
  }
  return exitCode_;
}
