#ifndef QOR_LOGGING_HANDLER_GUARD_H_
#define QOR_LOGGING_HANDLER_GUARD_H_

#include <utility>

#include "logging/log.h"
#include "platform/structured_exception.h"

// Writes "thrown exception <code> from <address>", both in hex, the address
// in full (a 64-bit address is not cut to its low half).
void LogThrownException(const structured_exception& e);

// Runs |body|, the work of a handler that the loop or another thread calls
// and that must not let anything escape. When the body throws, |failed| is
// called with true for a processor fault and false for anything else, to
// write the handler's own "failed" line (and do any clean-up of its own);
// a processor fault is then followed by the "thrown exception" line. True
// when the body ran to its end.
template <typename Body, typename Failed>
bool RunGuarded(Body&& body, Failed&& failed) {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const structured_exception& e) {
    failed(true);
    LogThrownException(e);
  } catch (...) {
    failed(false);
  }
  return false;
}

// The same for a handler whose "failed" line is one fixed text.
template <typename Body>
bool RunGuarded(const char* failedLine, Body&& body) {
  return RunGuarded(std::forward<Body>(body),
                    [failedLine](bool) { FileLog("%s", failedLine); });
}

#endif  // QOR_LOGGING_HANDLER_GUARD_H_
