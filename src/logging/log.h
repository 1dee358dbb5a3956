#ifndef QOR_LOGGING_LOG_H_
#define QOR_LOGGING_LOG_H_

// The driver's three printf-style log front-ends and their two switches.
//
//   FileLog      always: one line in the hourly log file.
//   DebugOutput  while debugMode: the system debug output (then a separate
//                "\n"), and the log file too while logMode.
//   DebugList    while debugMode: the main window's debug list, and the log
//                file too while logMode.
//
// Only the format argument is a format: texts that come from outside (slot
// texts, SNMP values) must be passed as "%s" arguments. FileLog and
// DebugOutput lines are cut at 4095 characters, DebugList lines at 65535
// (the rest is dropped, never written past a buffer).
//
// Safe to call from any thread: every file line is its own open, append and
// close; the debug list has its own lock.

extern int debugMode;
extern int logMode;

void FileLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugList(const char* format, ...) __attribute__((format(printf, 1, 2)));

constexpr int kLogLineMax = 4096;         // FileLog, DebugOutput
constexpr int kDebugListLineMax = 65536;  // DebugList

#endif  // QOR_LOGGING_LOG_H_
