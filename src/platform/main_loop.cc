#include "platform/main_loop.h"

EventLoop& TheMainLoop() {
  static EventLoop* loop = new EventLoop();  // lives to the process end
  return *loop;
}
