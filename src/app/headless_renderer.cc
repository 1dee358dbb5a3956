#include "app/headless_renderer.h"

#include <cstdio>

#include "logging/debug_list_box.h"

HeadlessRenderer::HeadlessRenderer() {
  TheDebugList().setListener([](const char* line) {
    if (!line) return;  // a cleared list prints nothing
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
}

HeadlessRenderer::~HeadlessRenderer() { TheDebugList().setListener(nullptr); }
