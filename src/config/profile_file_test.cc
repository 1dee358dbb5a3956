#include "config/profile_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace fs = std::filesystem;

namespace {

// A string literal with embedded NUL bytes, whole.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

class ProfileFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("profile_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "dev_005.ini").string();
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }
  void Put(const std::string& content) {
    std::ofstream out(path_, std::ios::binary);
    out << content;
  }
  std::string Content() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
  std::string path_;
};

struct ReadCase {
  const char* name;
  std::string file;
  const char* section;
  const char* key;
  std::string expected;  // "<default>" when the default must come back
};

TEST_F(ProfileFileTest, ReadsLikeTheProfileFunctions) {
  const std::string longValue(300, 'v');
  const ReadCase cases[] = {
      {"plain", "[qor_mdu]\nPollDelay=250\n", "qor_mdu", "PollDelay", "250"},
      {"case-insensitive names", "[QOR_MDU]\npolldelay=250\n", "qor_mdu",
       "PollDelay", "250"},
      {"blanks trimmed", "[qor_mdu]\n  PollDelay =  250 \t\n", "qor_mdu",
       "PollDelay", "250"},
      {"empty value is not the default", "[QOR_MDU_3]\nSNMPAddress=\n",
       "QOR_MDU_3", "SNMPAddress", ""},
      {"missing key", "[qor_mdu]\nLogMode=1\n", "qor_mdu", "PollDelay",
       "<default>"},
      {"missing section", "[other]\nPollDelay=5\n", "qor_mdu", "PollDelay",
       "<default>"},
      {"key of another section", "[a]\nk=1\n[b]\nx=2\n", "b", "k", "<default>"},
      {"value cut at 255", "[s]\nk=" + longValue + "\n", "s", "k",
       longValue.substr(0, 255)},
      {"first of duplicate sections", "[s]\nk=1\n[s]\nk=2\n", "s", "k", "1"},
      {"first of duplicate keys", "[s]\nk=1\nK=2\n", "s", "k", "1"},
      {"CR LF line ends", "[s]\r\nk=abc\r\n", "s", "k", "abc"},
      {"no final newline", "[s]\nk=abc", "s", "k", "abc"},
      {"comment lines are not keys", "[s]\n;k=1\nk=2\n", "s", "k", "2"},
      {"value with equals sign", "[s]\nk=a=b\n", "s", "k", "a=b"},
      {"binary junk around", Bytes("\x01\xff\0junk\n[s]\nk=7\n\xfe\n"), "s",
       "k", "7"},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Put(c.file);
    std::string got = GetProfileString(path_, c.section, c.key, "  dflt ");
    EXPECT_EQ(got,
              std::string(c.expected) == "<default>" ? "dflt" : c.expected);
  }
}

TEST_F(ProfileFileTest, MissingFileGivesTheDefault) {
  EXPECT_EQ(GetProfileString(path_, "s", "k", "ziriru"), "ziriru");
  std::string v;
  EXPECT_FALSE(ReadProfileValue(path_, "s", "k", &v));
}

TEST_F(ProfileFileTest, VeryLongLineIsReadWithoutTrouble) {
  Put("[s]\njunk=" + std::string(2 << 20, 'j') + "\nk=ok\n");
  EXPECT_EQ(GetProfileString(path_, "s", "k", ""), "ok");
}

struct WriteCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

TEST_F(ProfileFileTest, WriteChangesOnlyItsOwnLine) {
  const WriteCase cases[] = {
      {"replace keeps everything else",
       "; site settings\n\n[qor_mdu]\nDebugMode=1\n; keep "
       "me\nLogMode=0\n\n[x]\ny=1\n",
       "qor_mdu", "logmode", "1",
       "; site settings\n\n[qor_mdu]\nDebugMode=1\n; keep "
       "me\nLogMode=1\n\n[x]\ny=1\n"},
      {"new key goes after the section's last line, before the blank",
       "[a]\nk=1\n\n[b]\nz=2\n", "a", "n", "v", "[a]\nk=1\nn=v\n\n[b]\nz=2\n"},
      {"new section at the end", "[a]\nk=1\n", "b", "k", "",
       "[a]\nk=1\n[b]\nk=\n"},
      {"CR LF stays CR LF", "[a]\r\nk=1\r\n", "a", "k", "2", "[a]\r\nk=2\r\n"},
      {"CR LF file gets CR LF for added lines", "[a]\r\nk=1\r\n", "a", "j", "3",
       "[a]\r\nk=1\r\nj=3\r\n"},
      {"no final newline: the new key ends the file the same way", "[a]\nk=1",
       "a", "j", "2", "[a]\nk=1\nj=2"},
      {"no final newline: new section", "[a]\nk=1", "b", "j", "2",
       "[a]\nk=1\n[b]\nj=2\n"},
      {"duplicate keys: the first is written", "[a]\nk=1\nk=2\n", "a", "K", "9",
       "[a]\nk=9\nk=2\n"},
      {"duplicate sections: the first is written", "[a]\nk=1\n[a]\nk=2\n", "a",
       "k", "9", "[a]\nk=9\n[a]\nk=2\n"},
      {"line breaks in a value cannot start new lines", "[a]\n", "a", "k",
       "x\ny\r", "[a]\nk=x y \n"},
      {"binary junk survives", Bytes("\x01\xff\0j\n[a]\nk=1\n"), "a", "k", "2",
       Bytes("\x01\xff\0j\n[a]\nk=2\n")},
      {"empty file", "", "a", "k", "1", "[a]\nk=1\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Put(c.before);
    ASSERT_TRUE(WriteProfileString(path_, c.section, c.key, c.value));
    EXPECT_EQ(Content(), c.after);
  }
}

TEST_F(ProfileFileTest, WriteCreatesTheFile) {
  ASSERT_TRUE(WriteProfileString(path_, "QOR_MDU_1", "SNMPAddress", ""));
  EXPECT_EQ(Content(), "[QOR_MDU_1]\nSNMPAddress=\n");
}

TEST_F(ProfileFileTest, UnchangedValueDoesNotRewriteTheFile) {
  Put("[a]\nk=1\n");
  struct stat before, after;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  ASSERT_TRUE(WriteProfileString(path_, "a", "k", "1"));
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // a rewrite renames a new inode in
}

TEST_F(ProfileFileTest, FailedRewriteLeavesTheOldFileWhole) {
  // A file size limit makes the rewrite fail part way, as a full disk
  // would, and works for root too.
  const std::string before = "[a]\nk=1\n; " + std::string(8000, 'p') + "\n";
  Put(before);
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool written = WriteProfileString(path_, "a", "k", "2");
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_FALSE(written);
  EXPECT_EQ(Content(), before);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);  // the half-written temporary file is gone
}

TEST_F(ProfileFileTest, RewriteLeavesNoTemporaryFiles) {
  Put("[a]\nk=1\n");
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write |
                             fs::perms::group_read);
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(WriteProfileString(path_, "a", "k", std::to_string(i)));
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
  // The settings file keeps its permissions across rewrites.
  EXPECT_EQ(
      fs::status(path_).permissions() & fs::perms::all,
      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(ProfileFileTest, UnreadableDirectoryMeansDefaultsAndFailedWrites) {
  const std::string missing = (dir_ / "nope" / "dev_001.ini").string();
  EXPECT_EQ(GetProfileString(missing, "a", "k", "d"), "d");
  EXPECT_FALSE(WriteProfileString(missing, "a", "k", "v"));
}

}  // namespace

namespace {

// Many edits in one rewrite give exactly the file that as many single
// writes give, whatever the file looked like.
TEST_F(ProfileFileTest, ManyEditsInOneRewriteMatchOneByOne) {
  const std::vector<ProfileEdit> edits = {
      {"qor_mdu", "DebugMode", "1"},    {"qor_mdu", "LogMode", "0"},
      {"QOR_MDU_1", "SNMPAddress", ""}, {"QOR_MDU_1", "SNMPCommunity", "z"},
      {"qor_MDU", "debugmode", "0"},    {"QOR_MDU_2", "SNMPAddress", "a\nb"},
      {"qor_mdu", "PollDelay", "250"},
  };
  const std::string starts[] = {
      "",
      "[qor_mdu]\r\nPollDelay=100\r\n\r\n[other]\r\nx=1\r\n",
      "; comment\n[QOR_MDU_1]\nSNMPAddress=10.0.0.1",
      "[qor_mdu]\n\n\n[QOR_MDU_1]\n",
      "<missing>",
  };
  for (const std::string& start : starts) {
    std::string oneByOne;
    for (int pass = 0; pass < 2; ++pass) {
      fs::remove(path_);
      if (start != "<missing>") Put(start);
      if (pass == 0) {
        for (const ProfileEdit& e : edits)
          ASSERT_TRUE(WriteProfileString(path_, e.section, e.key, e.value));
        oneByOne = Content();
      } else {
        ASSERT_TRUE(WriteProfileStrings(path_, edits));
        EXPECT_EQ(Content(), oneByOne) << "starting from '" << start << "'";
      }
    }
  }
}

}  // namespace
