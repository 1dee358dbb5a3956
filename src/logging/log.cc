#include "logging/log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "logging/debug_list_box.h"
#include "logging/log_file.h"
#include "platform/debug_output.h"

int debugMode = 1;
int logMode = 0;

void FileLog(const char* format, ...) {
  char line[kLogLineMax];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  TheLogFile().writeLine(line);
}

void DebugOutput(const char* format, ...) {
  if (!debugMode) return;
  char line[kLogLineMax];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  OutputDebugString(line);
  OutputDebugString("\n");
  if (logMode) TheLogFile().writeLine(line);
}

void DebugList(const char* format, ...) {
  if (!debugMode) return;
  // 64 KiB is too much for the stack of every caller's thread.
  std::unique_ptr<char[]> line(new char[kDebugListLineMax]);
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line.get(), kDebugListLineMax, format, ap);
  va_end(ap);
  TheDebugList().add(line.get());
  if (logMode) TheLogFile().writeLine(line.get());
}
