#include "platform/output_lines.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct OutputLines::State {
  int fd;
  size_t maxQueuedBytes;
  std::mutex mu;
  std::condition_variable wake;
  std::condition_variable drained;
  std::deque<std::string> queue;
  size_t queuedBytes = 0;
  bool stop = false;
  bool writing = false;
  bool broken = false;         // the descriptor failed for good
  uint64_t dropped = 0;        // all lines lost so far
  uint64_t droppedUnsaid = 0;  // lost since the last line written

  // The whole of |text|, or false when the descriptor fails.
  bool WriteAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      wake.wait(lock, [this] { return stop || !queue.empty(); });
      if (queue.empty()) return;  // stopped and nothing left
      std::string text;
      if (droppedUnsaid) {
        text = "(" + std::to_string(droppedUnsaid) +
               " lines not written: output was not read)\n";
        droppedUnsaid = 0;
      }
      text += queue.front();
      queuedBytes -= queue.front().size();
      queue.pop_front();
      writing = true;
      lock.unlock();
      const bool ok = WriteAll(text);
      lock.lock();
      writing = false;
      if (!ok) {
        // A reader that went away never comes back: drop from now on.
        broken = true;
        dropped += 1 + queue.size();
        queue.clear();
        queuedBytes = 0;
      }
      if (queue.empty()) drained.notify_all();
    }
  }
};

OutputLines::OutputLines(int fd, size_t maxQueuedBytes, int drainMs)
    : state_(std::make_shared<State>()), drainMs_(drainMs) {
  state_->fd = fd;
  state_->maxQueuedBytes = maxQueuedBytes;
  // The writer must never take a signal meant for the main thread (the exit
  // signals are read from a signalfd there).
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  std::thread([state = state_] { state->Run(); }).detach();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

OutputLines::~OutputLines() {
  std::unique_lock<std::mutex> lock(state_->mu);
  state_->drained.wait_for(lock, std::chrono::milliseconds(drainMs_), [this] {
    return state_->queue.empty() && !state_->writing;
  });
  state_->stop = true;
  state_->wake.notify_all();
}

void OutputLines::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(state_->mu);
  State& s = *state_;
  if (s.broken || s.queuedBytes + line.size() + 1 > s.maxQueuedBytes) {
    ++s.dropped;
    if (!s.broken) ++s.droppedUnsaid;
    return;
  }
  s.queue.push_back(line + "\n");
  s.queuedBytes += line.size() + 1;
  s.wake.notify_one();
}

uint64_t OutputLines::dropped() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->dropped;
}
