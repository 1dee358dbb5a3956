#include "platform/printable.h"

#include <cstdio>

std::string Printable(std::string_view text, size_t max) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (out.size() >= max) {
      out += "...";
      break;
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
