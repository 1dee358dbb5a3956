#ifndef QOR_PLATFORM_EXIT_SIGNALS_H_
#define QOR_PLATFORM_EXIT_SIGNALS_H_

#include <functional>

class EventLoop;

// SIGTERM, SIGINT and SIGHUP end every program of this system cleanly:
// they are blocked and taken synchronously (from a signalfd or by
// sigwait), never as an asynchronous interruption. Each function below
// blocks them in the calling thread; call it on the main thread before any
// other thread starts, so that every thread inherits the mask and none of
// them is interrupted instead.

// Blocks the exit signals.
void BlockExitSignals();

// Waits until one of the exit signals arrives; returns its number.
// Blocks them first when they are not yet.
int WaitForExitSignal();

// Blocks the exit signals and returns a signalfd (non-blocking,
// close-on-exec) that becomes readable when one arrives, for a program
// that polls; -1 when none can be made.
int ExitSignalFd();

// The exit signals become a call of |onExit| on the loop's thread (the
// Exit command), read from an ExitSignalFd watched by |loop|. Returns false
// if the signalfd cannot be made.
bool InstallExitSignals(EventLoop* loop, std::function<void()> onExit);

#endif  // QOR_PLATFORM_EXIT_SIGNALS_H_
