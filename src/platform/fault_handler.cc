#include "platform/fault_handler.h"

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

#include "platform/structured_exception.h"
#include "platform/terminal_restore.h"

namespace {

volatile FaultLineWriter g_writer = nullptr;
volatile sig_atomic_t g_inFault = 0;

void AppendText(char* out, unsigned long size, unsigned long* pos,
                const char* text) {
  while (*text && *pos + 1 < size) out[(*pos)++] = *text++;
}

void AppendHex(char* out, unsigned long size, unsigned long* pos,
               uintptr_t value) {
  char digits[2 * sizeof(uintptr_t) + 1];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value);
  while (n > 0 && *pos + 1 < size) out[(*pos)++] = digits[--n];
}

void OnFault(int sig, siginfo_t* info, void*) {
  // A fault inside the handler itself must not recurse.
  if (g_inFault) _exit(1);
  g_inFault = 1;
  FaultLineWriter writer = g_writer;
  if (writer) {
    writer("Main Application Thread Crashed??");
    char line[96];
    writer(FormatFaultLine(line, sizeof line, static_cast<unsigned>(sig),
                           info ? info->si_addr : nullptr));
  }
  // The operator's terminal must not stay without echo and cursor.
  RestoreTerminal();
  _exit(1);
}

}  // namespace

char* FormatFaultLine(char* out, unsigned long size, unsigned code,
                      const void* address) {
  unsigned long pos = 0;
  if (size == 0) return out;
  AppendText(out, size, &pos, "thrown exception ");
  AppendHex(out, size, &pos, code);
  AppendText(out, size, &pos, " from ");
  AppendHex(out, size, &pos, reinterpret_cast<uintptr_t>(address));
  out[pos] = '\0';
  return out;
}

void InstallFaultHandler(FaultLineWriter writer) {
  g_writer = writer;
  // An alternate stack lets the handler run after a stack overflow.
  static bool stackInstalled = false;
  if (!stackInstalled) {
    static char altStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof altStack;
    sigaltstack(&ss, nullptr);
    stackInstalled = true;
  }
  struct sigaction sa {};
  sa.sa_sigaction = OnFault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
    sigaction(sig, &sa, nullptr);
}

void InstallFaultTranslator() {
  // The handler is process-wide and installed by the process entry; there is
  // nothing per thread to add on Linux.
}
