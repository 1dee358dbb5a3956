#include "logging/log_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// 2013-04-04 local time, built through mktime so the test holds in any
// time zone.
struct timespec LocalTime(int hour, int minute, int second, long ms) {
  struct tm tm = {};
  tm.tm_year = 2013 - 1900;
  tm.tm_mon = 3;
  tm.tm_mday = 4;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  struct timespec ts;
  ts.tv_sec = mktime(&tm);
  ts.tv_nsec = ms * 1000000;
  return ts;
}

class LogFileTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) /
            ("logfile_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    LogFile::resetDirectoryCreatedForTest();
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(LogFileTest, HourlyFileNameAndLineFormat) {
  LogFile log;
  log.initWithDirectory(5, "Qor_Mdu", true, true, (root_ / "logs").string());
  ManualClock clock;
  clock.SetWall(LocalTime(14, 3, 7, 42));
  log.setClock(&clock);
  log.writeLine("first");
  const fs::path file = root_ / "logs" / "2013040414_Qor_Mdu_5.log";
  EXPECT_EQ(ReadAll(file), "14:03:07.042 - first\n");
}

TEST_F(LogFileTest, DailyFileAndSecondsOnlyStamp) {
  LogFile log;
  log.initWithDirectory(12, "Qor_Mdu", false, false, root_.string());
  ManualClock clock;
  clock.SetWall(LocalTime(9, 0, 1, 999));
  log.setClock(&clock);
  log.writeLine("x");
  EXPECT_EQ(ReadAll(root_ / "20130404_Qor_Mdu_12.log"), "09:00:01 - x\n");
}

TEST_F(LogFileTest, FirstLineOfANewHourStartsANewFile) {
  LogFile log;
  log.initWithDirectory(5, "Qor_Mdu", true, true, root_.string());
  ManualClock clock;
  clock.SetWall(LocalTime(14, 59, 59, 999));
  log.setClock(&clock);
  log.writeLine("before");
  clock.SetWall(LocalTime(15, 0, 0, 0));
  log.writeLine("after");
  EXPECT_EQ(ReadAll(root_ / "2013040414_Qor_Mdu_5.log"),
            "14:59:59.999 - before\n");
  EXPECT_EQ(ReadAll(root_ / "2013040415_Qor_Mdu_5.log"),
            "15:00:00.000 - after\n");
}

TEST_F(LogFileTest, TextIsWrittenUnchanged) {
  LogFile log;
  log.initWithDirectory(1, "Qor_Mdu", true, true, root_.string());
  ManualClock clock;
  clock.SetWall(LocalTime(1, 2, 3, 4));
  log.setClock(&clock);
  log.writeLine("100% %s %d \\ done");
  log.write("%s", "50%");
  EXPECT_EQ(ReadAll(root_ / "2013040401_Qor_Mdu_1.log"),
            "01:02:03.004 - 100% %s %d \\ done\n01:02:03.004 - 50%\n");
}

TEST_F(LogFileTest, DirectoryIsMadeOnceAndOneLevelOnly) {
  LogFile log;
  const fs::path dir = root_ / "logs";
  log.initWithDirectory(1, "N", true, true, dir.string());
  ManualClock clock;
  clock.SetWall(LocalTime(1, 0, 0, 0));
  log.setClock(&clock);
  log.writeLine("one");
  ASSERT_TRUE(fs::exists(dir / "2013040401_N_1.log"));
  // A directory that vanishes is not made again: lines are lost until it
  // exists again, and nothing crashes.
  fs::remove_all(dir);
  log.writeLine("lost");
  EXPECT_FALSE(fs::exists(dir));
  fs::create_directories(dir);
  log.writeLine("back");
  EXPECT_EQ(ReadAll(dir / "2013040401_N_1.log"), "01:00:00.000 - back\n");
}

TEST_F(LogFileTest, MissingParentLosesLinesSilently) {
  LogFile log;
  const fs::path dir = root_ / "no" / "such" / "logs";
  log.initWithDirectory(1, "N", true, true, dir.string());
  log.writeLine("dropped");
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(LogFileTest, DirectoryLongerThan255CharactersIsUsedWhole) {
  fs::path dir = root_;
  while (dir.string().size() < 300) dir /= std::string(60, 'd');
  fs::create_directories(dir);
  LogFile log;
  log.initWithDirectory(3, "Qor_Mdu", true, true, dir.string());
  ManualClock clock;
  clock.SetWall(LocalTime(8, 0, 0, 0));
  log.setClock(&clock);
  log.writeLine("long");
  EXPECT_EQ(ReadAll(dir / "2013040408_Qor_Mdu_3.log"), "08:00:00.000 - long\n");
}

TEST_F(LogFileTest, EnvironmentChoosesTheDirectory) {
  setenv("QX_ROOT", root_.c_str(), 1);
  setenv("QX_SYSTEM", "plant", 1);
  LogFile log;
  log.init(7, "Qor_Mdu", true, true);
  EXPECT_EQ(log.directory(), (root_ / "plant" / "logs").string());
  unsetenv("QX_SYSTEM");
  log.init(7, "Qor_Mdu", true, true);
  EXPECT_EQ(log.directory(), LogFile::kDefaultDirectory);
  unsetenv("QX_ROOT");
}

TEST_F(LogFileTest, SignalSafeLineLandsInTheSameFileAsOrdinaryLines) {
  LogFile log;
  log.initWithDirectory(4, "Qor_Mdu", true, true, root_.string());
  log.writeLine("ordinary");
  log.writeLineSignalSafe("Main Application Thread Crashed??");
  int files = 0;
  std::string content;
  for (const auto& e : fs::directory_iterator(root_)) {
    ++files;
    content = ReadAll(e.path());
  }
  // Both lines in one file, unless the hour turned between them.
  if (files == 1) {
    EXPECT_NE(content.find(" - ordinary\n"), std::string::npos);
    EXPECT_NE(content.find(" - Main Application Thread Crashed??\n"),
              std::string::npos);
  } else {
    EXPECT_EQ(files, 2);
  }
}

// A full disk loses the lines written while it is full and nothing else:
// no crash, no half line, and the lines after it land in the same file.
TEST_F(LogFileTest, FullDiskLosesOnlyTheLinesThatDidNotFit) {
  FaultInjectingFileSystem files;
  ManualClock clock;
  clock.SetWall(LocalTime(6, 0, 0, 0));
  LogFile log;
  log.setFileSystem(&files);
  log.setClock(&clock);
  log.initWithDirectory(2, "Qor_Mdu", true, true, root_.string());
  log.writeLine("before");
  files.FailAppend(ENOSPC);
  log.writeLine("no room");
  log.write("%s", "no room either");
  files.FailAppend(0);
  log.writeLine("after");
  EXPECT_EQ(4, files.appendCalls());
  EXPECT_EQ(ReadAll(root_ / "2013040406_Qor_Mdu_2.log"),
            "06:00:00.000 - before\n06:00:00.000 - after\n");
}

// The directory is made once, on the first line; when it vanishes later
// (removed with its parent, so that it cannot be made again) the lines are
// lost and nothing is tried again until the process starts anew.
TEST_F(LogFileTest, VanishedDirectoryIsNotMadeAgain) {
  FaultInjectingFileSystem files;
  ManualClock clock;
  clock.SetWall(LocalTime(7, 0, 0, 0));
  const fs::path dir = root_ / "logs";
  LogFile log;
  log.setFileSystem(&files);
  log.setClock(&clock);
  log.initWithDirectory(2, "N", true, true, dir.string());
  log.writeLine("one");
  files.Vanish(root_.string());
  log.writeLine("lost");
  clock.Advance(3600 * 1000);  // a new hour: a new file, same directory
  log.writeLine("lost too");
  files.Vanish("");
  EXPECT_EQ(1, files.makeDirectoryCalls());
  EXPECT_EQ(ReadAll(dir / "2013040407_N_2.log"), "07:00:00.000 - one\n");
  EXPECT_FALSE(fs::exists(dir / "2013040408_N_2.log"));
}

TEST_F(LogFileTest, RootVariablesComeThroughTheFileSystem) {
  FaultInjectingFileSystem files;
  LogFile log;
  log.setFileSystem(&files);
  files.SetVariable("QX_ROOT", "/srv/qx");
  files.SetVariable("QX_SYSTEM", "");  // empty counts as set
  log.init(7, "Qor_Mdu", true, true);
  EXPECT_EQ(log.directory(), "/srv/qx//logs");
  files.SetVariable("QX_SYSTEM", std::nullopt);
  log.init(7, "Qor_Mdu", true, true);
  EXPECT_EQ(log.directory(), LogFile::kDefaultDirectory);
}

}  // namespace
