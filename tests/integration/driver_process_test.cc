// The installed qor_mdu as an operator starts it: command line, exit codes,
// settings file, log file, one process per device number, clean end.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "integration/e2e_support.h"
#include "support/process.h"

using qor_test::Process;
using qor_test::ReadFileText;
using qor_test::WaitFor;

namespace fs = std::filesystem;

namespace {

class DriverProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = TestRoot("qor_driver");
    env_ = MakeRootTree(root_);
  }

  // An infodriver for |device|, ready when its socket answers.
  std::unique_ptr<Process> StartInfodriver(int device) {
    return ::StartInfodriver(device, env_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string LogText(int device) const { return LogTextUnder(root_, device); }
  fs::path root_;
  std::vector<std::string> env_;
};

TEST_F(DriverProcessTest, InvalidDeviceNumbersAreRefusedWithoutALog) {
  const std::vector<std::vector<std::string>> lines = {
      {}, {"abc"}, {"0"}, {"-3"}};
  for (const auto& args : lines) {
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    Process p(BinPath("qor_mdu"), args, env_);
    EXPECT_EQ(p.Wait(), 255);
    EXPECT_EQ(p.Stderr(),
              "Error: Valid device number must be supplied as command line "
              "parameter\n");
    EXPECT_FALSE(fs::exists(root_ / "sys" / "logs"));
  }
}

TEST_F(DriverProcessTest, NoInfodriverMeansABoxAndAFailedStart) {
  Process p(BinPath("qor_mdu"), {"6"}, env_);
  EXPECT_EQ(p.Wait(), 255);
  EXPECT_EQ(p.Stderr(),
            "QOR_MDU - Error: QOR_MDU Driver can't Connect to infodriver 6\n"
            "qor_mdu 6: infodriver unreachable: " +
                (root_ / "run" / "infodriver-6.sock").string() +
                ": No such file or directory\n");
  const std::string log = LogText(6);
  EXPECT_EQ(CountOf(log, "*** Driver starting ***"), 1);
  EXPECT_EQ(CountOf(log, "++++ Driver Closing ++++"), 0);
}

TEST_F(DriverProcessTest, OneProcessPerDeviceAndACleanEnd) {
  auto infodriver7 = StartInfodriver(7);
  auto infodriver8 = StartInfodriver(8);
  const fs::path ini = root_ / "sys" / "config" / "system" / "dev_007.ini";
  Process first(BinPath("qor_mdu"), {"7"}, env_);
  ASSERT_TRUE(WaitFor([&] {
    return ReadFileText(ini.string())
               .find("[QOR_MDU_40]\nSNMPAddress=\nSNMPCommunity=ziriru\n") !=
           std::string::npos;
  })) << first.Stderr();
  const std::string settings = ReadFileText(ini.string());
  EXPECT_EQ(
      settings.find("[qor_mdu]\nDebugMode=1\nLogMode=0\nPollDelay=1000\n"), 0u);

  {
    Process second(BinPath("qor_mdu"), {"7"}, env_);
    EXPECT_EQ(second.Wait(), 255);
    EXPECT_EQ(second.Stderr(), "");  // refused without a box
  }
  {
    // Another device number runs beside it.
    Process other(BinPath("qor_mdu"), {"8"}, env_);
    ASSERT_TRUE(WaitFor(
        [&] { return CountOf(LogText(8), "*** Driver starting ***") == 1; }));
    EXPECT_TRUE(other.running());
  }

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  // The infodriver outlives its driver and takes the next one.
  EXPECT_TRUE(infodriver7->running());
  const std::string log = LogText(7);
  EXPECT_EQ(CountOf(log, " - *** Driver starting ***\n"), 2);  // both processes
  EXPECT_EQ(CountOf(log, " - ++++ Driver Closing ++++\n"),
            1);  // only the first
}

TEST_F(DriverProcessTest, InterruptAndHangupAlsoEndCleanly) {
  auto infodriver = StartInfodriver(9);
  for (int sig : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    fs::remove(root_ / "sys" / "config" / "system" / "dev_009.ini");
    Process p(BinPath("qor_mdu"), {"9"}, env_);
    ASSERT_TRUE(WaitFor([&] {
      return fs::exists(root_ / "sys" / "config" / "system" / "dev_009.ini");
    }));
    p.Signal(sig);
    EXPECT_EQ(p.Wait(), 0);
  }
  EXPECT_EQ(CountOf(LogText(9), "++++ Driver Closing ++++"), 2);
}

}  // namespace
