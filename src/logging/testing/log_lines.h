#ifndef QOR_LOGGING_TESTING_LOG_LINES_H_
#define QOR_LOGGING_TESTING_LOG_LINES_H_

#include <string>
#include <vector>

namespace logging_test {

// The lines of the log files in |dir|, oldest file first, each without its
// time stamp (the text before the first " - ").
std::vector<std::string> LogFileLines(const std::string& dir);

}  // namespace logging_test

#endif  // QOR_LOGGING_TESTING_LOG_LINES_H_
