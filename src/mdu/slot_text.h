#ifndef QOR_MDU_SLOT_TEXT_H_
#define QOR_MDU_SLOT_TEXT_H_

#include <string>

// |text| as a slot may hold it: slot texts never hold an apostrophe or a
// colon, because the control system's other processes treat both as
// separators; each becomes a double quote or a semicolon.
inline std::string CleanSlotText(std::string text) {
  for (char& c : text) {
    if (c == '\'') c = '"';
    if (c == ':') c = ';';
  }
  return text;
}

#endif  // QOR_MDU_SLOT_TEXT_H_
