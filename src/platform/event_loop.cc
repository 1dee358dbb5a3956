#include "platform/event_loop.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <utility>

EventLoop::EventLoop(const Clock* clock)
    : clock_(clock ? clock : &systemClock_) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

EventLoop::~EventLoop() {
  if (wakeFd_ >= 0) close(wakeFd_);
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

int64_t EventLoop::AddOneShot(int delayMs, Task fn) {
  int64_t key = nextOneShot_--;
  timers_[key] =
      Timer{clock_->NowMs() + std::max(delayMs, 0), 0, std::move(fn)};
  return key;
}

void EventLoop::CancelOneShot(int64_t id) {
  if (id < 0) timers_.erase(id);
}

void EventLoop::WatchFd(int fd, short events, FdHandler fn) {
  watches_[fd] = Watch{events, std::move(fn), nextGeneration_++};
}

void EventLoop::UnwatchFd(int fd) { watches_.erase(fd); }

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

bool EventLoop::quitRequested() const { return quit_; }
int EventLoop::exitCode() const { return exitCode_; }

int64_t EventLoop::MsUntilNextTimer() const {
  if (timers_.empty()) return -1;
  int64_t earliest = INT64_MAX;
  for (const auto& [key, t] : timers_) earliest = std::min(earliest, t.due);
  return std::max<int64_t>(0, earliest - clock_->NowMs());
}

int EventLoop::FireDueTimers() {
  int fired = 0;
  const int64_t now = clock_->NowMs();
  // Collect first: a handler may set or kill timers, including its own.
  std::vector<std::pair<int64_t, int64_t>> due;  // (deadline, key)
  for (const auto& [key, t] : timers_)
    if (t.due <= now) due.emplace_back(t.due, key);
  std::sort(due.begin(), due.end());
  for (const auto& [deadline, key] : due) {
    if (quit_) break;
    auto it = timers_.find(key);
    if (it == timers_.end() || it->second.due != deadline) continue;
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
  std::vector<struct pollfd> fds;
  std::vector<uint64_t> generations;
  fds.reserve(watches_.size() + 1);
  fds.push_back({wakeFd_, POLLIN, 0});
  generations.push_back(0);
  for (const auto& [fd, w] : watches_) {
    fds.push_back({fd, w.events, 0});
    generations.push_back(w.generation);
  }
  int64_t wait = MsUntilNextTimer();
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    if (!posted_.empty()) wait = 0;
  }
  if (maxWaitMs >= 0 && (wait < 0 || wait > maxWaitMs)) wait = maxWaitMs;
  if (wait > INT_MAX) wait = INT_MAX;
  int n = poll(fds.data(), fds.size(), static_cast<int>(wait));
  if (n < 0 && errno != EINTR) n = 0;
  if (n > 0) {
    if (fds[0].revents) {
      uint64_t v;
      while (read(wakeFd_, &v, sizeof v) > 0) {
      }
    }
    for (size_t i = 1; i < fds.size() && !quit_; ++i) {
      if (!fds[i].revents) continue;
      auto it = watches_.find(fds[i].fd);
      // Skip a handler that was removed or replaced by an earlier handler of
      // this same pass: its readiness belongs to the old registration.
      if (it == watches_.end() || it->second.generation != generations[i])
        continue;
      FdHandler fn = it->second.fn;
      fn(fds[i].revents);
    }
  }
  if (!quit_) FireDueTimers();
  if (!quit_) RunPosted();
  return !quit_;
}

int EventLoop::Run() {
  while (RunOnce(-1)) {
  }
  return exitCode_;
}
