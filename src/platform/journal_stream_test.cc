#include "platform/journal_stream.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"

namespace {

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/journal_stream_test.XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
  }
  ~TempFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  std::string DeviceAndInode() const {
    struct stat st;
    fstat(fd_, &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }

 private:
  int fd_;
  std::string path_;
};

class JournalStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("JOURNAL_STREAM");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
  }
  void TearDown() override {
    if (hadOld_)
      setenv("JOURNAL_STREAM", old_.c_str(), 1);
    else
      unsetenv("JOURNAL_STREAM");
  }
  bool hadOld_ = false;
  std::string old_;
};

TEST_F(JournalStreamTest, PrefixOnlyOnTheStreamSystemdNamed) {
  TempFile journal, other;
  ASSERT_GE(journal.fd(), 0);
  ASSERT_GE(other.fd(), 0);

  unsetenv("JOURNAL_STREAM");
  EXPECT_STREQ(JournalPrefix(journal.fd(), 6), "");

  setenv("JOURNAL_STREAM", journal.DeviceAndInode().c_str(), 1);
  EXPECT_STREQ(JournalPrefix(journal.fd(), 6), "<6>");
  EXPECT_STREQ(JournalPrefix(journal.fd(), 3), "<3>");
  EXPECT_STREQ(JournalPrefix(journal.fd(), 7), "<7>");
  // A child that inherited the variable but writes elsewhere: plain lines.
  EXPECT_STREQ(JournalPrefix(other.fd(), 6), "");
  // No priority outside syslog's eight.
  EXPECT_STREQ(JournalPrefix(journal.fd(), 8), "");
  EXPECT_STREQ(JournalPrefix(journal.fd(), -1), "");
}

TEST_F(JournalStreamTest, MalformedVariableMeansNoJournal) {
  TempFile journal;
  for (const char* value : {"", "garbage", "12", ":", "1:x"}) {
    setenv("JOURNAL_STREAM", value, 1);
    EXPECT_FALSE(IsJournalStream(journal.fd())) << value;
  }
}

}  // namespace
