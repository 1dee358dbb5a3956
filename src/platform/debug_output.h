#ifndef QOR_PLATFORM_DEBUG_OUTPUT_H_
#define QOR_PLATFORM_DEBUG_OUTPUT_H_

#include <functional>

// The system debug output: what the driver writes here goes to syslog at
// LOG_DEBUG with the ident "qor_mdu". Text is passed unchanged (never used as
// a format). Tests replace the sink to capture lines; pass nullptr to go back
// to syslog. Safe to call from any thread.
void OutputDebugString(const char* text);

using DebugOutputSink = std::function<void(const char* text)>;
void SetDebugOutputSink(DebugOutputSink sink);

#endif  // QOR_PLATFORM_DEBUG_OUTPUT_H_
