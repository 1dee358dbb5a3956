#include "platform/control_deadline.h"

namespace {

thread_local int64_t currentDeadlineMs = 0;

}  // namespace

ScopedControlDeadline::ScopedControlDeadline(int64_t deadlineMs)
    : previous_(currentDeadlineMs) {
  currentDeadlineMs = deadlineMs;
}

ScopedControlDeadline::~ScopedControlDeadline() {
  currentDeadlineMs = previous_;
}

int64_t CurrentControlDeadlineMs() { return currentDeadlineMs; }
