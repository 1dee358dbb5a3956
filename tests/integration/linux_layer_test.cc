// The installed qor_mdu under the conditions of a Linux host that used to
// kill or stall it: a pipe whose reader goes away or stalls, an unknown
// terminal type, a crash in the terminal window, a start in the background
// of a shell.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "integration/e2e_support.h"
#include "support/process.h"
#include "support/terminal_process.h"

using qor_test::PipedProcess;
using qor_test::TerminalProcess;

namespace fs = std::filesystem;

namespace {

constexpr int kDevice = 44;

class LinuxLayer : public testing::Test {
 protected:
  void SetUp() override {
    root_ = TestRoot("qor_linux");
    // A fast poll keeps the debug list busy.
    rig_ = StartOneUnitRig(root_, kDevice, "DebugMode=1\nPollDelay=50\n");
    ASSERT_FALSE(HasFailure());
  }
  void TearDown() override {
    rig_.infodriver.reset();
    rig_.agent.reset();
    fs::remove_all(root_);
  }
  std::string LogText() const { return LogTextUnder(root_); }
  // The unit's location slot filled: the driver walked the unit, and wrote
  // many debug lines on the way.
  bool UnitWalked() { return DumpSlots(kDevice, rig_.env).count(98) != 0; }
  std::vector<std::string> Env(const std::string& term) const {
    std::vector<std::string> env = rig_.env;
    env.push_back("TERM=" + term);
    return env;
  }

  fs::path root_;
  OneUnitRig rig_;
};

// qor_mdu 44 | head -2: the reader goes after two lines.
TEST_F(LinuxLayer, AReaderThatGoesAwayCostsLinesNotTheDriver) {
  PipedProcess driver(BinPath("qor_mdu"), {std::to_string(kDevice)}, rig_.env);
  std::string lines;
  ASSERT_TRUE(driver.ReadLines(2, &lines));
  driver.CloseReadEnd();
  // The walk writes many more lines into the closed pipe.
  ASSERT_TRUE(WaitFor([&] { return UnitWalked() || !driver.running(); }));
  EXPECT_TRUE(driver.running());
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(), 0);
  const std::string log = LogText();
  EXPECT_NE(log.find("++++ Driver Closing ++++"), std::string::npos) << log;
  EXPECT_NE(log.find(" debug lines were not written to standard output"),
            std::string::npos)
      << log;
}

// The box for a missing infodriver goes to a standard error whose reader
// is gone: the driver still ends as a failed start should, with 255, not
// with SIGPIPE (141).
TEST_F(LinuxLayer, AClosedStandardErrorDoesNotKillTheDriver) {
  std::string command = "{ sleep 0.5; exec env";
  for (const auto& e : rig_.env) command += " " + e;
  command += " " + BinPath("qor_mdu") +
             " 45; } 2>&1 >/dev/null | true; echo ${PIPESTATUS[0]}";
  Process shell("/bin/bash", {"-c", command});
  EXPECT_EQ(shell.Wait(), 0);
  EXPECT_EQ(shell.Stdout(), "255\n");
}

// A reader that never reads: the pipe fills, and the driver still answers
// the infodriver and ends on SIGTERM.
TEST_F(LinuxLayer, AStalledReaderDoesNotStallTheLoop) {
  PipedProcess driver(BinPath("qor_mdu"), {std::to_string(kDevice)}, rig_.env,
                      4096);
  ASSERT_TRUE(WaitFor([&] { return driver.Pending() >= 4096 - 512; }))
      << driver.Pending();
  // A slot change requested through the infodriver still reaches the unit
  // while nobody reads the driver's output.
  Process set(BinPath("infoctl"),
              {"set", std::to_string(kDevice), "98", "Stalled reader"},
              rig_.env);
  EXPECT_EQ(set.Wait(), 0);
  EXPECT_TRUE(WaitFor([&] {
    return rig_.agent->Get("1.3.6.1.4.1.6853.2.4.0") == "Stalled reader";
  })) << rig_.agent->Get("1.3.6.1.4.1.6853.2.4.0");
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(), 0);
}

TEST_F(LinuxLayer, AnUnknownTerminalTypeRunsHeadless) {
  TerminalProcess driver(BinPath("qor_mdu"), {std::to_string(kDevice)},
                         Env("nosuchterm"));
  EXPECT_TRUE(WaitFor([&] {
    return driver.Output().find("Connected OK to infodriver 44") !=
           std::string::npos;
  })) << driver.Output();
  EXPECT_TRUE(WaitFor([&] { return UnitWalked(); }));
  EXPECT_TRUE(driver.running()) << driver.Output();
  const std::string out = driver.Output();
  const std::string line =
      "qor_mdu: terminal type \"nosuchterm\" is unknown - running headless";
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_EQ(out.find(line), out.rfind(line));
  driver.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(), 0);
}

TEST_F(LinuxLayer, ACrashInTheWindowGivesTheTerminalBack) {
  TerminalProcess driver(BinPath("qor_mdu"), {std::to_string(kDevice)},
                         Env("xterm"));
  ASSERT_TRUE(WaitFor([&] {
    return driver.Output().find("ZARN Comms") != std::string::npos;
  })) << driver.Output();
  ASSERT_TRUE(WaitFor([&] {
    return (driver.Settings().c_lflag & ECHO) == 0;
  }));  // the window owns the terminal now
  const size_t drawn = driver.Output().size();
  driver.Signal(SIGSEGV);
  EXPECT_EQ(driver.Wait(), 1);
  const struct termios t = driver.Settings();
  EXPECT_NE(t.c_lflag & ECHO, 0u);
  EXPECT_NE(t.c_lflag & ICANON, 0u);
  // The cursor is shown again and the normal screen is back. The terminal's
  // last bytes may still be on their way to the reader after the exit.
  auto after = [&] { return driver.Output().substr(drawn); };
  EXPECT_TRUE(WaitFor([&] {
    return after().find("\x1b[?25h") != std::string::npos &&
           after().find("\x1b[?1049l") != std::string::npos;
  })) << after();
  EXPECT_NE(LogText().find("Main Application Thread Crashed??"),
            std::string::npos);
}

// qor_mdu 44 & in an interactive shell with job control.
TEST_F(LinuxLayer, ABackgroundStartRunsHeadless) {
  const std::string pidFile = (root_ / "driver.pid").string();
  TerminalProcess shell(
      "/bin/bash",
      {"-c", "set -m; " + BinPath("qor_mdu") + " " + std::to_string(kDevice) +
                 " & echo $! > " + pidFile + "; wait"},
      Env("xterm"));
  pid_t pid = 0;
  ASSERT_TRUE(WaitFor([&] {
    pid = atoi(ReadFileText(pidFile).c_str());
    return pid > 0;
  }));
  EXPECT_TRUE(WaitFor([&] {
    return shell.Output().find("Connected OK to infodriver 44") !=
           std::string::npos;
  })) << shell.Output();
  EXPECT_TRUE(WaitFor([&] { return UnitWalked(); }));
  const std::string stat =
      ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  ASSERT_NE(close, std::string::npos);
  EXPECT_NE(stat.substr(close + 2, 1), "T") << "stopped: " << stat;
  kill(pid, SIGTERM);
  EXPECT_EQ(shell.Wait(), 0);
  EXPECT_NE(LogText().find("++++ Driver Closing ++++"), std::string::npos);
}

}  // namespace
