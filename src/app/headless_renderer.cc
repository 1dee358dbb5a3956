#include "app/headless_renderer.h"

#include <unistd.h>

#include <cstdio>

#include "logging/debug_list_box.h"
#include "platform/journal_stream.h"

HeadlessRenderer::HeadlessRenderer() {
  // Under systemd the lines land in the journal at info priority;
  // the debug output proper stays in syslog at debug priority.
  const char* prefix = JournalPrefix(STDOUT_FILENO, 6);
  TheDebugList().setListener([prefix](const char* line) {
    if (!line) return;  // a cleared list prints nothing
    std::fputs(prefix, stdout);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
}

HeadlessRenderer::~HeadlessRenderer() { TheDebugList().setListener(nullptr); }
