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
