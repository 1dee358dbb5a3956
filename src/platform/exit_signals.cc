#include "platform/exit_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/event_loop.h"

bool InstallExitSignals(EventLoop* loop, std::function<void()> onExit) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
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
