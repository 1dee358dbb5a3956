#include "control_token.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

class ControlTokenFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qor_web_token_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& text, mode_t mode) {
    std::string path = dir_ + "/token";
    std::ofstream(path, std::ios::trunc) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string dir_;
};

TEST_F(ControlTokenFileTest, TakesTheFirstLineOfAPrivateFile) {
  ControlTokenFile t = ReadControlTokenFile(
      Write("  abcdefghijklmnop0123 \nsecond line\n", 0600));
  ASSERT_TRUE(t.ok) << t.error;
  EXPECT_EQ(t.token, "abcdefghijklmnop0123");
  EXPECT_TRUE(ReadControlTokenFile(Write("abcdefghijklmnop0123", 0400)).ok);
}

TEST_F(ControlTokenFileTest, RefusesFilesOthersCanUseOrWeakTokens) {
  struct Case {
    std::string text;
    mode_t mode;
    std::string needle;  // the error names the fix
  } cases[] = {
      {"abcdefghijklmnop0123\n", 0644, "chmod 600"},
      {"abcdefghijklmnop0123\n", 0640, "chmod 600"},
      {"abcdefghijklmnop0123\n", 0604, "chmod 600"},
      {"abcdefghijklmnop0123\n", 0620, "chmod 600"},
      {"short\n", 0600, "shorter than 16"},
      {"\n", 0600, "shorter than 16"},
      {"abcdefgh ijklmnop0123\n", 0600, "blank"},
  };
  for (const Case& c : cases) {
    ControlTokenFile t = ReadControlTokenFile(Write(c.text, c.mode));
    EXPECT_FALSE(t.ok) << c.text << " " << c.mode;
    EXPECT_NE(t.error.find(c.needle), std::string::npos) << t.error;
    EXPECT_TRUE(t.token.empty());
  }
  ControlTokenFile missing = ReadControlTokenFile(dir_ + "/none");
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find(dir_ + "/none"), std::string::npos);
  EXPECT_FALSE(ReadControlTokenFile(dir_).ok);  // a directory
  std::string target = Write("abcdefghijklmnop0123", 0600);
  std::filesystem::create_symlink(target, dir_ + "/link");
  EXPECT_FALSE(ReadControlTokenFile(dir_ + "/link").ok);
}

TEST(ControlTokenTest, MatchesOnlyTheWholeToken) {
  EXPECT_TRUE(ControlTokenMatches("abcdefghijklmnop", "abcdefghijklmnop"));
  EXPECT_FALSE(ControlTokenMatches("abcdefghijklmnop", "abcdefghijklmnoq"));
  EXPECT_FALSE(ControlTokenMatches("abcdefghijklmnop", "abcdefghijklmno"));
  EXPECT_FALSE(ControlTokenMatches("abcdefghijklmnop", "abcdefghijklmnopq"));
  EXPECT_FALSE(ControlTokenMatches("abcdefghijklmnop", ""));
  EXPECT_FALSE(ControlTokenMatches("", ""));
}

TEST(ControlTokenTest, ReadsTheBearerScheme) {
  EXPECT_EQ(BearerToken("Bearer abc"), "abc");
  EXPECT_EQ(BearerToken("bearer  abc "), "abc");
  EXPECT_EQ(BearerToken("Basic abc"), "");
  EXPECT_EQ(BearerToken("Bearer"), "");
  EXPECT_EQ(BearerToken("Bearerabc"), "");
}

}  // namespace
