#include "app/headless_renderer.h"

#include <unistd.h>

#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "platform/output_lines.h"

HeadlessRenderer::HeadlessRenderer()
    : out_(std::make_unique<OutputLines>(STDOUT_FILENO)) {
  TheDebugList().setListener([this](const char* line) {
    if (!line) return;  // a cleared list prints nothing
    out_->Write(line);
  });
}

HeadlessRenderer::~HeadlessRenderer() {
  TheDebugList().setListener(nullptr);
  const unsigned long long dropped = out_->dropped();
  out_.reset();
  if (dropped)
    FileLog("%llu debug lines were not written to standard output", dropped);
}
