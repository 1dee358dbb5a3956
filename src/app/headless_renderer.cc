#include "app/headless_renderer.h"

#include <unistd.h>

#include <string>

#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "platform/journal_stream.h"
#include "platform/output_lines.h"

HeadlessRenderer::HeadlessRenderer()
    : out_(std::make_unique<OutputLines>(STDOUT_FILENO)) {
  // Under systemd the lines land in the journal at info priority; the
  // debug output proper stays in syslog at debug priority.
  const std::string prefix = JournalPrefix(STDOUT_FILENO, 6);
  TheDebugList().setListener([this, prefix](const char* line) {
    if (!line) return;  // a cleared list prints nothing
    out_->Write(prefix + line);
  });
}

HeadlessRenderer::~HeadlessRenderer() {
  TheDebugList().setListener(nullptr);
  const unsigned long long dropped = out_->dropped();
  out_.reset();
  if (dropped)
    FileLog("%llu debug lines were not written to standard output", dropped);
}
