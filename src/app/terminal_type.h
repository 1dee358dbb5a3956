#ifndef QOR_APP_TERMINAL_TYPE_H_
#define QOR_APP_TERMINAL_TYPE_H_

#include <string>

// What the terminfo database says about the operator's terminal. Kept apart
// from the window's drawing because <term.h> defines names (lines, columns)
// that clash with ordinary code.

// True when $TERM names a terminal type the terminfo database describes;
// |*name| is $TERM (empty when unset). Without it the window cannot be
// drawn. Never ends the process, unlike initscr().
bool TerminalTypeKnown(std::string* name);

// For the current screen: the bytes that undo what the window turned on
// (attributes, hidden cursor, keypad mode, alternate screen), without the
// delay marks ("$<5>") that only the terminfo library understands.
std::string TerminalResetBytes();

#endif  // QOR_APP_TERMINAL_TYPE_H_
