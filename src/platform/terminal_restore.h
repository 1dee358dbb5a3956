#ifndef QOR_PLATFORM_TERMINAL_RESTORE_H_
#define QOR_PLATFORM_TERMINAL_RESTORE_H_

// The operator's terminal as it was before the full-screen window took it
// (line mode, echo, visible cursor, normal screen), kept so that every way
// out of the driver gives it back: the normal end, an exception, exit(), a
// processor fault, abort() and Ctrl-\ alike.
//
// SaveTerminalState() records the settings of |fd| before the window
// changes anything; SetTerminalResetBytes() then gives the bytes that undo
// the window's screen modes (from the terminal's own description). Saving
// also installs handlers for SIGABRT and SIGQUIT that restore and then end the
// process as those signals would. RestoreTerminal() is async-signal-safe
// (tcsetattr and write only) and does its work once; the fault handler calls
// it. ForgetTerminalState() after the window gave the terminal back itself.
// Main thread only, except RestoreTerminal().
void SaveTerminalState(int fd);
void SetTerminalResetBytes(const char* resetBytes);
void RestoreTerminal();
void ForgetTerminalState();

#endif  // QOR_PLATFORM_TERMINAL_RESTORE_H_
