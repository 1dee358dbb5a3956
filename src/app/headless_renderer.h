#ifndef QOR_APP_HEADLESS_RENDERER_H_
#define QOR_APP_HEADLESS_RENDERER_H_

#include "app/app.h"

// For a driver run as a service, in a pipe or in CI: nothing is drawn, and
// every debug list line is also written to standard output, one line each,
// flushed at once so that a reader sees it live.
class HeadlessRenderer : public WindowRenderer {
 public:
  HeadlessRenderer();
  ~HeadlessRenderer() override;
};

#endif  // QOR_APP_HEADLESS_RENDERER_H_
