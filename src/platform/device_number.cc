#include "platform/device_number.h"

#include <cstdio>

#include "platform/printable.h"

std::optional<int> ParseDeviceNumberArgument(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > kMaxDeviceNumber) return std::nullopt;
  }
  if (value < 1) return std::nullopt;
  return value;
}

std::string DeviceNumberError(std::string_view text) {
  constexpr size_t kShown = 80;  // enough to recognise what was typed
  const std::string shown = Printable(text, kShown);
  return "\"" + shown + "\" is no device number (1 to " +
         std::to_string(kMaxDeviceNumber) + ")";
}

int ParseDeviceNumber(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  if (line.size() > 254) line.resize(254);
  const char* p = line.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long v = 0;
  bool any = false;
  while (*p >= '0' && *p <= '9') {
    any = true;
    v = v * 10 + (*p++ - '0');
    // A number beyond int is no device number; saturating keeps it
    // positive-or-negative without wrapping into a valid-looking one.
    if (v > 0x7fffffff) v = 0x80000000LL;
  }
  if (!any) return 0;
  if (negative) return static_cast<int>(-v);  // -v >= INT_MIN here
  return v > 0x7fffffff ? -1 : static_cast<int>(v);
}
