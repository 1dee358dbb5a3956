#include "logging/handler_guard.h"

#include <cstdint>

#include "logging/log.h"

void LogThrownException(const structured_exception& e) {
  FileLog(
      "thrown exception %x from %jx", e.getSeNumber(),
      static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(e.getSeAddress())));
}
