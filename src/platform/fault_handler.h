#ifndef QOR_PLATFORM_FAULT_HANDLER_H_
#define QOR_PLATFORM_FAULT_HANDLER_H_

// Processor faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL) end the driver with two
// log lines and exit code 1. Resuming after a memory fault is not safe on
// Linux, so the handler does not turn the fault into an exception: it writes
// "Main Application Thread Crashed??" and "thrown exception <signal> from
// <fault address>" (both in hex, the address in full) through |writer| and
// calls _exit(1).
//
// |writer| runs inside the signal handler and must be async-signal-safe
// (open/write/close only; no malloc, no stdio, no locks). Installing again
// replaces the writer.
using FaultLineWriter = void (*)(const char* line);
void InstallFaultHandler(FaultLineWriter writer);

// Formats the "thrown exception" line into |out| without stdio, for use in a
// signal handler; LogThrownException (logging/handler_guard.h) writes the
// same line for a caught fault. Returns |out|.
char* FormatFaultLine(char* out, unsigned long size, unsigned code,
                      const void* address);

#endif  // QOR_PLATFORM_FAULT_HANDLER_H_
