#include "unitview/control_requester.h"

namespace {

const ControlRequester kNobody;
thread_local const ControlRequester* current = &kNobody;

}  // namespace

ScopedControlRequester::ScopedControlRequester(
    const ControlRequester& requester)
    : previous_(current) {
  current = &requester;
}

ScopedControlRequester::~ScopedControlRequester() { current = previous_; }

const ControlRequester& CurrentControlRequester() { return *current; }

bool RefusalRecordRate::Take(int64_t nowMs, std::string* reason) {
  const int64_t second = nowMs / 1000;
  if (second != second_) {
    second_ = second;
    taken_ = 0;
  }
  if (taken_ >= kPerSecond) {
    ++leftOut_;
    return false;
  }
  ++taken_;
  if (leftOut_ > 0)
    *reason += " (" + std::to_string(leftOut_) +
               " refusals before this one were not recorded: more than " +
               std::to_string(kPerSecond) + " a second)";
  leftOut_ = 0;
  return true;
}
