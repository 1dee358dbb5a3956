#include "platform/output_lines.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "gtest/gtest.h"

namespace {

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ReadAvailable(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, n);
  return out;
}

class OutputLinesTest : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);  // the test's reader only
    fcntl(fds_[1], F_SETPIPE_SZ, 4096);
  }
  void TearDown() override {
    if (fds_[0] >= 0) close(fds_[0]);
    close(fds_[1]);
  }
  int fds_[2] = {-1, -1};
};

TEST_F(OutputLinesTest, AStalledReaderCostsLinesNotTheCaller) {
  OutputLines out(fds_[1], 8 * 1024, 0);
  const std::string line(100, 'x');
  // Far more than the pipe and the queue hold together; none of these
  // calls may wait for the reader.
  for (int i = 0; i < 1000; ++i) out.Write(line);
  EXPECT_GT(out.dropped(), 800u);

  // Once the reader reads again, a line says how many went missing.
  std::string seen;
  out.Write("after the gap");
  ASSERT_TRUE(WaitFor([&] {
    seen += ReadAvailable(fds_[0]);
    if (seen.find("after the gap\n") == std::string::npos)
      out.Write("after the gap");
    return seen.find("after the gap\n") != std::string::npos;
  }));
  EXPECT_NE(seen.find(" lines not written: output was not read)\n"),
            std::string::npos);
}

TEST_F(OutputLinesTest, AReaderThatWentAwayLosesEveryLaterLine) {
  OutputLines out(fds_[1], 8 * 1024, 0);
  out.Write("first");
  std::string seen;
  ASSERT_TRUE(WaitFor([&] {
    seen += ReadAvailable(fds_[0]);
    return seen == "first\n";
  }));
  close(fds_[0]);
  fds_[0] = -1;
  // The write that meets the closed pipe fails with EPIPE instead of
  // killing the process; from then on lines are only counted.
  ASSERT_TRUE(WaitFor([&] {
    out.Write("lost");
    return out.dropped() >= 3;
  }));
}

TEST_F(OutputLinesTest, QueuedLinesAreWrittenInOrderBeforeTheEnd) {
  std::string expected;
  {
    OutputLines out(fds_[1], 64 * 1024, 20000);
    for (int i = 0; i < 20; ++i) {
      out.Write("line " + std::to_string(i));
      expected += "line " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(out.dropped(), 0u);
  }
  std::string seen;
  ASSERT_TRUE(WaitFor([&] {
    seen += ReadAvailable(fds_[0]);
    return seen.size() >= expected.size();
  }));
  EXPECT_EQ(seen, expected);
}

}  // namespace
