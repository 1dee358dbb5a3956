#ifndef QOR_APP_HEADLESS_RENDERER_H_
#define QOR_APP_HEADLESS_RENDERER_H_

#include <memory>

#include "app/app.h"

class OutputLines;

// For a driver run as a service, in a pipe or in CI: nothing is drawn, and
// every debug list line is also written to standard output, one line each,
// as soon as standard output takes it. Standard output never holds up the
// driver: a reader that stalls or goes away costs lines (dropped, counted,
// and the count logged at the end), not the event loop.
class HeadlessRenderer : public WindowRenderer {
 public:
  HeadlessRenderer();
  ~HeadlessRenderer() override;

 private:
  std::unique_ptr<OutputLines> out_;
};

#endif  // QOR_APP_HEADLESS_RENDERER_H_
