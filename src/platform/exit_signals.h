#ifndef QOR_PLATFORM_EXIT_SIGNALS_H_
#define QOR_PLATFORM_EXIT_SIGNALS_H_

#include <functional>

class EventLoop;

// SIGTERM, SIGINT and SIGHUP become a call of |onExit| on the loop's thread
// (the Exit command), never an asynchronous interruption. The signals are
// blocked and read from a signalfd watched by |loop|; call this on the main
// thread before any other thread starts so that every thread inherits the
// mask. Returns false if the signalfd cannot be made.
bool InstallExitSignals(EventLoop* loop, std::function<void()> onExit);

#endif  // QOR_PLATFORM_EXIT_SIGNALS_H_
