#ifndef QOR_PLATFORM_PRINTABLE_H_
#define QOR_PLATFORM_PRINTABLE_H_

#include <cstddef>
#include <string>
#include <string_view>

// |text| for a log line or an error message: at most |max| bytes, control
// and non-ASCII bytes as \xHH, so that nothing typed or received can drive
// a terminal or split a line.
std::string Printable(std::string_view text, size_t max = 80);

#endif  // QOR_PLATFORM_PRINTABLE_H_
