#include "platform/fault_handler.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace {

char g_path[256];

void AppendLine(const char* line) {
  int fd = open(g_path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return;
  if (write(fd, line, strlen(line)) < 0 || write(fd, "\n", 1) < 0) {
  }
  close(fd);
}

std::string ReadAll(const char* path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(FaultLine, HexWithoutLeadingZeros) {
  char out[96];
  EXPECT_STREQ(
      FormatFaultLine(out, sizeof out, 11, reinterpret_cast<void*>(0x1f)),
      "thrown exception b from 1f");
  EXPECT_STREQ(FormatFaultLine(out, sizeof out, 0, nullptr),
               "thrown exception 0 from 0");
  char small[10];
  FormatFaultLine(small, sizeof small, 11, nullptr);
  EXPECT_EQ(std::string(small), "thrown ex");  // cut, still terminated
}

TEST(FaultHandlerDeathTest, FaultWritesBothLinesAndExitsWithOne) {
  std::snprintf(g_path, sizeof g_path, "%s/fault_%d.log",
                testing::TempDir().c_str(), getpid());
  unlink(g_path);
  EXPECT_EXIT(
      {
        InstallFaultHandler(AppendLine);
        raise(SIGSEGV);
      },
      testing::ExitedWithCode(1), "");
  const std::string log = ReadAll(g_path);
  EXPECT_NE(log.find("Main Application Thread Crashed??\n"), std::string::npos);
  EXPECT_NE(log.find("thrown exception b from "),
            std::string::npos);  // SIGSEGV = 11
  unlink(g_path);
}

}  // namespace
