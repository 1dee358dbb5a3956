#include "mdu/mdu_objects.h"

#include <cctype>
#include <cstring>
#include <limits>

namespace mdu {

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

const MduObject* findMduObject(const char* oid) {
  for (const MduObject& object : kMduObjects) {
    if (startsWith(oid, object.prefix)) return &object;
  }
  return nullptr;
}

int32_t readInteger(const char* text) {
  if (text == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulate as a negative number so that INT32_MIN fits, and stop at
  // the range's end: the unit's INTEGER values always fit, anything longer
  // is not a number the unit could have meant.
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  int64_t n = 0;
  while (std::isdigit(*p)) {
    n = n * 10 - (*p - '0');
    if (n < kMin) n = kMin;
    ++p;
  }
  if (!negative) {
    n = -n;
    if (n > std::numeric_limits<int32_t>::max()) {
      n = std::numeric_limits<int32_t>::max();
    }
  }
  return static_cast<int32_t>(n);
}

int32_t timesTen(int32_t value) {
  int64_t n = static_cast<int64_t>(value) * 10;
  if (n > std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  if (n < std::numeric_limits<int32_t>::min()) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(n);
}

bool splitCell(const char* rest, int* column, int* row) {
  const char* dot = std::strchr(rest, '.');
  if (dot == nullptr) return false;
  *column = readInteger(rest);
  *row = readInteger(dot + 1);
  return true;
}

}  // namespace mdu
