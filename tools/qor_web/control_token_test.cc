#include "control_token.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "access_tokens.h"

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

// Every file that is not certainly private to the service is refused with
// the reason, before a byte of it is used; a FIFO must not block the start.
TEST_F(ControlTokenFileTest, RefusesFilesOthersCanUseOrWeakTokens) {
  const std::string good = "abcdefghijklmnop0123\n";
  const std::string path = dir_ + "/token";
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string needle;  // the error names the fault and the fix
  } cases[] = {
      {"0644", [&] { Write(good, 0644); }, "chmod 600"},
      {"0640", [&] { Write(good, 0640); }, "chmod 600"},
      {"0604", [&] { Write(good, 0604); }, "chmod 600"},
      {"0700", [&] { Write(good, 0700); }, "chmod 600"},
      {"0600 and setuid", [&] { Write(good, 04600); }, "chmod 600"},
      {"fifo", [&] { mkfifo(path.c_str(), 0600); }, "FIFO"},
      {"directory", [&] { mkdir(path.c_str(), 0700); }, "directory"},
      {"symlink",
       [&] {
         std::string target = dir_ + "/target";
         std::ofstream(target) << good;
         chmod(target.c_str(), 0600);
         symlink(target.c_str(), path.c_str());
       },
       "symbolic link"},
      {"missing", [] {}, "No such file"},
      {"too large", [&] { Write(std::string(5000, 'a'), 0600); }, "larger"},
      {"short", [&] { Write("short\n", 0600); }, "shorter than 16"},
      {"empty line", [&] { Write("\n", 0600); }, "shorter than 16"},
      {"blank inside", [&] { Write("abcdefgh ijklmnop0123\n", 0600); },
       "blank"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(path);
    c.make();
    ControlTokenFile t = ReadControlTokenFile(path);
    EXPECT_FALSE(t.ok) << c.what;
    EXPECT_NE(t.error.find(c.needle), std::string::npos)
        << c.what << ": " << t.error;
    EXPECT_NE(t.error.find(path), std::string::npos) << c.what;
    EXPECT_TRUE(t.token.empty()) << c.what;
  }
  // A file of another user, however private, is that user's to change.
  if (geteuid() == 0) {
    std::string other = Write(good, 0600);
    ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
    ControlTokenFile t = ReadControlTokenFile(other);
    EXPECT_FALSE(t.ok);
    EXPECT_NE(t.error.find("chown root"), std::string::npos) << t.error;
  }
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

// A bad line costs that line only, and says which it was and why.
TEST(TokenListTest, TakesGoodLinesAndNamesTheBadOnes) {
  // printf %s abc | sha256sum
  const std::string abc =
      "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(HexOf(HashToken("abc")), abc);
  TokenList list = ParseTokenList(
      "# name role hash\n"
      "\n"
      "ops-anna operator " +
      abc + "\n" + "root admin " + abc + " extra\n" + "bob boss " + abc + "\n" +
      "carl viewer " + std::string(64, 'A') + "\n" + "d/e viewer " + abc +
      "\n" + "  eve   admin\t" + abc + "\r\n");
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].caller.name, "ops-anna");
  EXPECT_EQ(list.entries[0].caller.role, Role::kOperator);
  EXPECT_EQ(list.entries[1].caller.name, "eve");
  EXPECT_EQ(list.entries[1].caller.role, Role::kAdmin);
  ASSERT_EQ(list.problems.size(), 4u);
  EXPECT_EQ(list.problems[0].rfind("line 4: wants NAME ROLE SHA256", 0), 0u);
  EXPECT_EQ(list.problems[1].rfind("line 5: the role \"boss\"", 0), 0u);
  EXPECT_EQ(list.problems[2].rfind("line 6: the hash", 0), 0u);
  EXPECT_EQ(list.problems[3].rfind("line 7: the name", 0), 0u);
}

}  // namespace
