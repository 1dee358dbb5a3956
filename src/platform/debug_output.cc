#include "platform/debug_output.h"

#include <syslog.h>

#include <mutex>
#include <string>

namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}

DebugOutputSink& Sink() {
  static DebugOutputSink sink;
  return sink;
}

void SyslogWrite(const char* text) {
  static std::once_flag opened;
  std::call_once(opened,
                 [] { openlog("qor_mdu", LOG_PID | LOG_NDELAY, LOG_USER); });
  // Each call is one syslog record; the lone "\n" that follows a debug line
  // carries nothing and would only add an empty record.
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  if (line.empty()) return;
  syslog(LOG_DEBUG, "%s", line.c_str());
}

}  // namespace

void OutputDebugString(const char* text) {
  if (!text) return;
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(text);
  } else {
    SyslogWrite(text);
  }
}

void SetDebugOutputSink(DebugOutputSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}
