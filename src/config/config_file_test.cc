#include "config/config_file.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "platform/file_system.h"
#include "platform/resources.h"

namespace fs = std::filesystem;

namespace {

class ConfigFileTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) /
            ("config_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "etc");
    locations_.locatorFile = (root_ / "etc" / "zarn_config.ini").string();
    locations_.systemDirectory = (root_ / "etc").string();
    unsetenv("QX_ROOT");
    unsetenv("QX_SYSTEM");
  }
  void TearDown() override {
    unsetenv("QX_ROOT");
    unsetenv("QX_SYSTEM");
    fs::remove_all(root_);
  }
  void WriteFile(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path root_;
  ConfigLocations locations_;
};

TEST_F(ConfigFileTest, FileNameHasAtLeastThreeDigits) {
  EXPECT_EQ(ConfigFile::FileNameFor(5), "dev_005.ini");
  EXPECT_EQ(ConfigFile::FileNameFor(7), "dev_007.ini");
  EXPECT_EQ(ConfigFile::FileNameFor(1234), "dev_1234.ini");
}

TEST_F(ConfigFileTest, EnvironmentPairNamesTheDirectory) {
  setenv("QX_ROOT", "/srv/ctl", 1);
  setenv("QX_SYSTEM", "plant", 1);
  ConfigFile config(7, IDS_SECTION, locations_);
  EXPECT_EQ(config.path(), "/srv/ctl/plant/config/system/dev_007.ini");
  EXPECT_EQ(config.section(), "qor_mdu");
  // Empty values count as existing.
  setenv("QX_ROOT", "", 1);
  setenv("QX_SYSTEM", "", 1);
  EXPECT_EQ(ConfigFile(7, "x", locations_).directory(), "//config/system");
}

TEST_F(ConfigFileTest, OneVariableAloneLeavesItToTheLocatorFile) {
  WriteFile(locations_.locatorFile, "[Config]\nConfigPath=/opt/zarn/\n");
  setenv("QX_ROOT", "/srv/ctl", 1);
  ConfigFile config(7, "qor_mdu", locations_);
  // Taken unchanged: a trailing separator gives a doubled one.
  EXPECT_EQ(config.path(), "/opt/zarn//dev_007.ini");
}

TEST_F(ConfigFileTest, LastResortIsTheSystemDirectory) {
  ConfigFile none(7, "qor_mdu", locations_);
  EXPECT_EQ(none.path(), (root_ / "etc" / "dev_007.ini").string());
  WriteFile(locations_.locatorFile, "[Config]\nConfigPath=\n");
  ConfigFile empty(7, "qor_mdu", locations_);
  EXPECT_EQ(empty.path(), (root_ / "etc" / "dev_007.ini").string());
}

TEST_F(ConfigFileTest, WriteBackAddsMissingKeysWithTheirEffectiveValue) {
  setenv("QX_ROOT", root_.c_str(), 1);
  setenv("QX_SYSTEM", "sys", 1);
  fs::create_directories(root_ / "sys" / "config" / "system");
  const fs::path file = root_ / "sys" / "config" / "system" / "dev_005.ini";
  WriteFile(file, "[QOR_MDU_3]\nSNMPAddress=\n");
  {
    ConfigFile config(5, "QOR_MDU_3", locations_);
    EXPECT_STREQ(config.get("SNMPAddress", "10.0.0.1", true), "");
    EXPECT_STREQ(config.get("SNMPCommunity", "ziriru", true), "ziriru");
    EXPECT_STREQ(config.get("NotWritten", "x", false), "x");
  }
  EXPECT_EQ(ReadFile(file),
            "[QOR_MDU_3]\nSNMPAddress=\nSNMPCommunity=ziriru\n");
}

TEST_F(ConfigFileTest, WriteBackKeepsALongValueWhole) {
  setenv("QX_ROOT", root_.c_str(), 1);
  setenv("QX_SYSTEM", "sys", 1);
  const fs::path file = root_ / "sys" / "config" / "system" / "dev_005.ini";
  const std::string longValue(400, 'c');
  WriteFile(file, "[QOR_MDU_1]\nSNMPCommunity=" + longValue + "\n");
  ConfigFile config(5, "QOR_MDU_1", locations_);
  EXPECT_EQ(std::string(config.get("SNMPCommunity", "ziriru", true)),
            longValue.substr(0, 255));
  EXPECT_EQ(ReadFile(file), "[QOR_MDU_1]\nSNMPCommunity=" + longValue + "\n");
}

TEST_F(ConfigFileTest, DirectoryThatDoesNotExistGivesDefaultsAndNoFile) {
  setenv("QX_ROOT", (root_ / "missing").c_str(), 1);
  setenv("QX_SYSTEM", "sys", 1);
  ConfigFile config(5, "qor_mdu", locations_);
  EXPECT_STREQ(config.get("PollDelay", "1000", true), "1000");
  EXPECT_FALSE(config.set("DebugMode", "0"));
  EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST_F(ConfigFileTest, PathsLongerThan255CharactersAreUsedWhole) {
  std::string longRoot = (root_ / std::string(120, 'r')).string();
  std::string system(150, 's');
  setenv("QX_ROOT", longRoot.c_str(), 1);
  setenv("QX_SYSTEM", system.c_str(), 1);
  fs::create_directories(fs::path(longRoot) / system / "config" / "system");
  {
    ConfigFile config(9, "qor_mdu", locations_);
    ASSERT_GT(config.path().size(), 255u);
    EXPECT_TRUE(config.set("PollDelay", "250"));
  }
  ConfigFile again(9, "qor_mdu", locations_);
  EXPECT_STREQ(again.get("PollDelay", "1000", true), "250");
}

TEST(SettingToInt, ReadsLikeTheDriversIntegerConversion) {
  EXPECT_EQ(SettingToInt("1000"), 1000);
  EXPECT_EQ(SettingToInt("  250ms"), 250);
  EXPECT_EQ(SettingToInt("-3"), -3);
  EXPECT_EQ(SettingToInt("+7"), 7);
  EXPECT_EQ(SettingToInt("abc"), 0);
  EXPECT_EQ(SettingToInt(""), 0);
  EXPECT_EQ(SettingToInt("99999999999999999999"), 2147483647);
  EXPECT_EQ(SettingToInt("-99999999999999999999"), -2147483647 - 1);
}

}  // namespace

namespace {

// Under a write batch the keys a start reads are written back together:
// nothing reaches the file until the batch ends, reads see what is held
// back, and the file ends as the writes one by one would have left it.
TEST_F(ConfigFileTest, WriteBatchWritesEveryMissingKeyAtItsEnd) {
  setenv("QX_ROOT", root_.c_str(), 1);
  setenv("QX_SYSTEM", "sys", 1);
  const fs::path file = root_ / "sys" / "config" / "system" / "dev_005.ini";
  WriteFile(file, "[qor_mdu]\nPollDelay=250\n");
  auto readAll = [this] {
    ConfigFile main(5, "qor_mdu", locations_);
    EXPECT_STREQ(main.get("PollDelay", "1000", true), "250");
    EXPECT_STREQ(main.get("DebugMode", "1", true), "1");
    EXPECT_TRUE(main.set("LogMode", "1"));
    for (int n = 1; n <= 3; ++n) {
      ConfigFile unit(5, ("QOR_MDU_" + std::to_string(n)).c_str(), locations_);
      EXPECT_STREQ(unit.get("SNMPCommunity", "ziriru", true), "ziriru");
    }
    ConfigFile again(5, "QOR_MDU_2", locations_);
    EXPECT_STREQ(again.get("snmpcommunity", "other", true), "ziriru");
    EXPECT_STREQ(main.get("LogMode", "0", true), "1");
  };
  readAll();
  const std::string oneByOne = ReadFile(file);

  WriteFile(file, "[qor_mdu]\nPollDelay=250\n");
  {
    ConfigWriteBatch batch;
    readAll();
    {
      ConfigWriteBatch inner;  // joins the outer batch
      ConfigFile unit(5, "QOR_MDU_4", locations_);
      unit.get("SNMPAddress", "", true);
    }
    EXPECT_EQ(ReadFile(file), "[qor_mdu]\nPollDelay=250\n");
  }
  EXPECT_EQ(ReadFile(file), oneByOne + "[QOR_MDU_4]\nSNMPAddress=\n");
  EXPECT_EQ(ConfigWriteBatch::Active(), nullptr);
}

// The settings file on a disk that is full: every way of writing reports
// the failure and leaves the file exactly as it was, and the driver still
// gets the values it asked for.
TEST_F(ConfigFileTest, FullDiskLeavesTheFileAsItWas) {
  FaultInjectingFileSystem files;
  locations_.files = &files;
  const fs::path file = root_ / "etc" / "dev_003.ini";
  const std::string before = "[QOR_MDU]\r\nPollDelay=250\r\n; kept\r\n";
  WriteFile(file, before);
  files.FailReplace(ENOSPC);
  {
    ConfigFile config(3, IDS_SECTION, locations_);
    EXPECT_FALSE(config.set("PollDelay", "500"));
    EXPECT_STREQ(config.get("DebugMode", "1", true), "1");
    EXPECT_STREQ(config.get("PollDelay", "100", true), "250");
  }
  {
    ConfigWriteBatch batch;
    ConfigFile config(3, IDS_SECTION, locations_);
    EXPECT_STREQ(config.get("LogMode", "0", true), "0");
    EXPECT_TRUE(config.set("PollDelay", "750"));
    EXPECT_FALSE(batch.Commit());
  }
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(3, files.replaceCalls());

  files.FailReplace(0);  // room again: the next write goes through
  ConfigFile config(3, IDS_SECTION, locations_);
  EXPECT_TRUE(config.set("PollDelay", "500"));
  EXPECT_EQ(ReadFile(file), "[QOR_MDU]\r\nPollDelay=500\r\n; kept\r\n");
}

// The configuration directory gone while the driver runs: reads give the
// defaults, writes fail, and nothing is made in its place.
TEST_F(ConfigFileTest, VanishedDirectoryGivesDefaultsAndFailedWrites) {
  FaultInjectingFileSystem files;
  locations_.files = &files;
  const fs::path file = root_ / "etc" / "dev_004.ini";
  WriteFile(file, "[QOR_MDU]\nPollDelay=250\n");
  files.Vanish((root_ / "etc").string());
  ConfigFile config(4, IDS_SECTION, locations_);
  EXPECT_STREQ(config.get("PollDelay", "100", true), "100");
  EXPECT_FALSE(config.set("PollDelay", "500"));
  files.Vanish("");
  EXPECT_EQ(ReadFile(file), "[QOR_MDU]\nPollDelay=250\n");
}

TEST_F(ConfigFileTest, RootVariablesComeThroughTheFileSystem) {
  FaultInjectingFileSystem files;
  locations_.files = &files;
  files.SetVariable("QX_ROOT", "/srv/ctl");
  files.SetVariable("QX_SYSTEM", "plant");
  EXPECT_EQ(ConfigFile(7, IDS_SECTION, locations_).path(),
            "/srv/ctl/plant/config/system/dev_007.ini");
  // The process environment is not consulted.
  setenv("QX_ROOT", "/elsewhere", 1);
  files.SetVariable("QX_SYSTEM", std::nullopt);
  EXPECT_EQ(ConfigFile(7, IDS_SECTION, locations_).path(),
            (root_ / "etc" / "dev_007.ini").string());
}

}  // namespace
