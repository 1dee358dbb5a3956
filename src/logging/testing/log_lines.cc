#include "logging/testing/log_lines.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace logging_test {

std::vector<std::string> LogFileLines(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const std::string& file : files) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      const size_t sep = line.find(" - ");
      lines.push_back(sep == std::string::npos ? line : line.substr(sep + 3));
    }
  }
  return lines;
}

}  // namespace logging_test
