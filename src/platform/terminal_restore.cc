#include "platform/terminal_restore.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

struct termios g_saved;
char g_reset[256];
volatile size_t g_resetLength = 0;
int g_fd = -1;
volatile sig_atomic_t g_pending = 0;  // a saved state waits to be restored

void OnEndingSignal(int sig) {
  RestoreTerminal();
  signal(sig, SIG_DFL);
  raise(sig);
}

void RestoreAtExit() { RestoreTerminal(); }

}  // namespace

void SaveTerminalState(int fd) {
  if (tcgetattr(fd, &g_saved) != 0) return;
  g_resetLength = 0;
  g_fd = fd;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    std::atexit(RestoreAtExit);
    struct sigaction sa {};
    sa.sa_handler = OnEndingSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGABRT, SIGQUIT}) sigaction(sig, &sa, nullptr);
  }
  g_pending = 1;
}

void SetTerminalResetBytes(const char* resetBytes) {
  // Length first: a signal in between writes nothing rather than half.
  g_resetLength = 0;
  const size_t n = std::min(std::strlen(resetBytes), sizeof g_reset);
  std::memcpy(g_reset, resetBytes, n);
  g_resetLength = n;
}

void RestoreTerminal() {
  if (!g_pending) return;
  g_pending = 0;
  if (g_resetLength) {
    ssize_t ignored = write(g_fd, g_reset, g_resetLength);
    (void)ignored;
  }
  tcsetattr(g_fd, TCSAFLUSH, &g_saved);
}

void ForgetTerminalState() { g_pending = 0; }
