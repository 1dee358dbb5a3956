#include "logging/log.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "logging/debug_list_box.h"
#include "logging/log_file.h"
#include "platform/debug_output.h"

namespace fs = std::filesystem;

namespace {

class FrontEndTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::path(testing::TempDir()) / ("frontend_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    LogFile::resetDirectoryCreatedForTest();
    TheLogFile().initWithDirectory(9, "Qor_Mdu", true, true, dir_.string());
    SetDebugOutputSink([this](const char* t) { debug_.push_back(t); });
    TheDebugList().clear();
  }
  void TearDown() override {
    SetDebugOutputSink(nullptr);
    debugMode = 1;
    logMode = 0;
    fs::remove_all(dir_);
  }
  std::string FileText() {
    std::string all;
    for (const auto& e : fs::directory_iterator(dir_)) {
      std::ifstream in(e.path());
      std::stringstream ss;
      ss << in.rdbuf();
      all += ss.str();
    }
    return all;
  }
  fs::path dir_;
  std::vector<std::string> debug_;
};

struct SwitchCase {
  int debugMode;
  int logMode;
  bool toFileFromDebug;  // DebugOutput/DebugList lines in the file
  bool toDebug;          // system debug output and debug list
};

TEST_F(FrontEndTest, SwitchesSteerEveryFrontEnd) {
  const SwitchCase cases[] = {
      {0, 0, false, false},
      {0, 1, false, false},  // log mode alone copies nothing
      {1, 0, false, true},
      {1, 1, true, true},
  };
  for (const SwitchCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "debugMode=" << c.debugMode << " logMode=" << c.logMode);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    debug_.clear();
    TheDebugList().clear();
    debugMode = c.debugMode;
    logMode = c.logMode;
    FileLog("file %d", 1);
    DebugOutput("output %d", 2);
    DebugList("list %d", 3);
    const std::string text = FileText();
    EXPECT_NE(text.find(" - file 1\n"), std::string::npos);
    EXPECT_EQ(text.find(" - output 2\n") != std::string::npos,
              c.toFileFromDebug);
    EXPECT_EQ(text.find(" - list 3\n") != std::string::npos, c.toFileFromDebug);
    if (c.toDebug) {
      // The debug output gets the line and then a separate "\n".
      EXPECT_EQ(debug_, std::vector<std::string>({"output 2", "\n"}));
      EXPECT_EQ(TheDebugList().lines(), std::vector<std::string>({"list 3"}));
    } else {
      EXPECT_TRUE(debug_.empty());
      EXPECT_EQ(TheDebugList().lineCount(), 0);
    }
  }
}

TEST_F(FrontEndTest, PercentInAnArgumentReachesTheFileUnchanged) {
  debugMode = 1;
  logMode = 1;
  DebugOutput("%s", "slot 5 at 100% %s");
  EXPECT_NE(FileText().find(" - slot 5 at 100% %s\n"), std::string::npos);
  EXPECT_EQ(debug_.front(), "slot 5 at 100% %s");
}

TEST_F(FrontEndTest, OverlongLinesAreCutAtTheirLimits) {
  debugMode = 1;
  logMode = 0;
  const std::string huge(100000, 'x');
  FileLog("%s", huge.c_str());
  DebugOutput("%s", huge.c_str());
  DebugList("%s", huge.c_str());
  std::string text = FileText();
  ASSERT_FALSE(text.empty());
  size_t dash = text.find(" - ");
  size_t end = text.find('\n');
  EXPECT_EQ(end - dash - 3, static_cast<size_t>(kLogLineMax - 1));
  EXPECT_EQ(debug_.front().size(), static_cast<size_t>(kLogLineMax - 1));
  EXPECT_EQ(TheDebugList().lines().back().size(),
            static_cast<size_t>(kDebugListLineMax - 1));
}

}  // namespace
