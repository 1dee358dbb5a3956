#include "app/terminal_type.h"

#include <curses.h>
#include <term.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

bool TerminalTypeKnown(std::string* name) {
  const char* term = getenv("TERM");
  *name = term ? term : "";
  if (!term || !*term) return false;
  // With an error pointer setupterm reports instead of ending the process.
  int error = 0;
  TERMINAL* saved = cur_term;
  if (setupterm(term, STDOUT_FILENO, &error) != OK) return false;
  del_curterm(cur_term);
  set_curterm(saved);
  return true;
}

std::string TerminalResetBytes() {
  std::string out;
  for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) {
    const char* s = tigetstr(cap);
    if (!s || s == reinterpret_cast<char*>(-1)) continue;
    for (const char* p = s; *p; ++p) {
      if (p[0] == '$' && p[1] == '<') {
        if (const char* end = std::strchr(p, '>')) {
          p = end;
          continue;
        }
      }
      out += *p;
    }
  }
  return out;
}
