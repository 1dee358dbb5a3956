#include "platform/exit_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/event_loop.h"

namespace {

sigset_t ExitSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockExitSignals() {
  const sigset_t set = ExitSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForExitSignal() {
  BlockExitSignals();
  const sigset_t set = ExitSignalSet();
  int received = 0;
  while (sigwait(&set, &received) != 0) {
  }
  return received;
}

int ExitSignalFd() {
  const sigset_t set = ExitSignalSet();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool InstallExitSignals(EventLoop* loop, std::function<void()> onExit) {
  const int fd = ExitSignalFd();
  if (fd < 0) return false;
  loop->WatchFd(fd, POLLIN, [fd, onExit](short) {
    struct signalfd_siginfo info;
    bool any = false;
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      any = true;
    if (any) onExit();
  });
  return true;
}
