#include "logging/handler_guard.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "logging/log_file.h"

namespace fs = std::filesystem;

namespace {

class HandlerGuardTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("handler_guard_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    LogFile::resetDirectoryCreatedForTest();
    TheLogFile().initWithDirectory(9, "Qor_Mdu", true, true, dir_.string());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The file's lines without their time stamps.
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const auto& e : fs::directory_iterator(dir_)) {
      std::ifstream in(e.path());
      for (std::string line; std::getline(in, line);) {
        const size_t text = line.find(" - ");
        lines.push_back(text == std::string::npos ? line
                                                  : line.substr(text + 3));
      }
    }
    return lines;
  }

  fs::path dir_;
};

TEST_F(HandlerGuardTest, WritesTheFailedLineAndForAFaultWhereItHappened) {
  const void* address = reinterpret_cast<const void*>(static_cast<uintptr_t>(
      sizeof(void*) == 8 ? 0x7f12345678abULL : 0x5678abU));
  const std::string where = sizeof(void*) == 8 ? "7f12345678ab" : "5678ab";
  struct Case {
    const char* name;
    void (*thrower)(const void*);
    std::vector<std::string> lines;
  } cases[] = {
      {"fault",
       [](const void* at) { throw structured_exception(0xC0000005, at); },
       {"Handler - failed", "thrown exception c0000005 from " + where}},
      {"other",
       [](const void*) { throw std::runtime_error("x"); },
       {"Handler failed"}},
      {"anything", [](const void*) { throw 7; }, {"Handler failed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = Lines().size();
    const bool ran =
        RunGuarded([&] { c.thrower(address); },
                   [](bool fault) {
                     FileLog(fault ? "Handler - failed" : "Handler failed");
                   });
    EXPECT_FALSE(ran);
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(c.lines,
              std::vector<std::string>(lines.begin() + before, lines.end()));
  }
}

TEST_F(HandlerGuardTest, AFixedFailedLineServesBothKinds) {
  EXPECT_FALSE(RunGuarded("Fixed - failed",
                          [] { throw structured_exception(11, nullptr); }));
  EXPECT_FALSE(RunGuarded("Fixed - failed", [] { throw 1; }));
  EXPECT_EQ(
      (std::vector<std::string>{"Fixed - failed", "thrown exception b from 0",
                                "Fixed - failed"}),
      Lines());
}

TEST_F(HandlerGuardTest, ABodyThatEndsWritesNothing) {
  int ran = 0;
  EXPECT_TRUE(RunGuarded("never", [&] { ++ran; }));
  EXPECT_EQ(1, ran);
  EXPECT_TRUE(Lines().empty());
}

}  // namespace
