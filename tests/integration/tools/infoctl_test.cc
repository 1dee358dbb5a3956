// infoctl end to end: the built program against the real infodriver, with a
// scripted driver on the driver's side of the socket.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "infodriver/infodriver_protocol.h"
#include "support/infodriver_process.h"

namespace {

constexpr int kDevice = 3;
const std::string kN = std::to_string(kDevice);

// Answers what the infodriver passes on: slot changes with |changeAnswer|,
// mode requests from |modeAnswers|; remembers the slot changes.
class ScriptedDriver {
 public:
  ScriptedDriver() { ok_ = peer_.becomeDriver(kDevice); }
  bool ok() const { return ok_; }

  void write(int slot, const std::string& text) {
    InfoMessage result;
    EXPECT_TRUE(peer_.request({WVN_WRITESLOT, 0, slot, 0, text}, &result));
  }

  bool send(const InfoMessage& m) { return peer_.send(m); }

  void pump() {
    InfoMessage m;
    while (peer_.receive(&m, 1)) {
      if (m.sequence == 0) continue;
      int64_t answer = 0;
      if (m.message == WVN_SLOTCHANGE) {
        changes.push_back({m.wParam, m.text});
        answer = changeAnswer;
      } else if (modeAnswers.count(m.message)) {
        answer = modeAnswers[m.message];
      }
      peer_.send({INFO_RESULT, m.sequence, answer, m.message, ""});
    }
  }

  std::vector<std::pair<int64_t, std::string>> changes;
  int64_t changeAnswer = 1;
  std::map<uint32_t, int64_t> modeAnswers = {
      {WVN_REQDEVGOTXRX, 1}, {WVN_REQDEVGORXONLY, 0}, {WVN_INQDEVGOTXRX, 1}};

 private:
  RawPeer peer_{kDevice};
  bool ok_ = false;
};

class InfoctlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(infodriver.failed()); }
  // Whatever the test did, the infodriver ends cleanly (no crash, no
  // sanitizer report) unless the test ended it itself.
  void TearDown() override {
    if (!infodriver.failed()) {
      EXPECT_EQ(0, infodriver.stop(SIGTERM));
    }
  }

  ProcessResult Run(std::vector<std::string> args,
                    ScriptedDriver* driver = nullptr) {
    args.insert(args.begin(), INFOCTL_BIN);
    if (driver == nullptr) return RunProcess(args);
    return RunProcess(args, [driver] { driver->pump(); });
  }

  TempRuntimeDir rundir;
  InfodriverProcess infodriver{INFODRIVER_BIN, kDevice};
};

TEST_F(InfoctlTest, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"get"},
      {"get", kN},
      {"get", kN, "4096"},
      {"get", kN, "-1"},
      {"get", kN, "12x"},
      {"get", "0", "1"},
      {"get", kN, "1", "extra"},
      {"frob", kN},
      {"set", kN, "1"},
      {"set", kN, "1", std::string(256, 'x')},
      {"mode", kN, "sideways"},
      {"mode", kN},
      {"dump", kN, "extra"},
      {"ping", "x"},
      {"watch", kN, "extra"},
      {"set", "abc", "1", "x"},
      // Checked before anything is asked of an infodriver: there is none
      // for 4, and the answer is still the usage.
      {"mode", "4", "sideways"},
      {"get", "4", "4096"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    ProcessResult r = Run(args);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_NE("", r.err);
  }
}

TEST_F(InfoctlTest, HelpShowsTheCommandsAndTheExitCodes) {
  for (const char* flag : {"--help", "-h"}) {
    SCOPED_TRACE(flag);
    ProcessResult r = Run({flag});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(0u, r.out.find("usage: infoctl get N SLOT\n"));
    EXPECT_NE(std::string::npos,
              r.out.find("Exit codes:\n"
                         "  0  done: read, dumped, watched until interrupted, "
                         "change or mode\n"));
    EXPECT_NE(std::string::npos,
              r.out.find("  5  the infodriver dropped this client for reading "
                         "too slowly (watch)\n"));
  }
}

TEST_F(InfoctlTest, NoInfodriverExitsThree) {
  const std::string other = "4";
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"get", other, "1"},
                                             {"dump", other},
                                             {"set", other, "1", "x"},
                                             {"watch", other},
                                             {"mode", other, "txrx"},
                                             {"ping", other}}) {
    SCOPED_TRACE(args[0]);
    ProcessResult r = Run(args);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("no infodriver serves 4"));
  }
}

// root may use the runtime directory of the service's user, checked as
// strictly as its own.
TEST_F(InfoctlTest, RootUsesTheServiceUsersDirectoryCheckedAsStrictly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const char* dir = rundir.path().c_str();
  ASSERT_EQ(0, chown(dir, 65534, 65534));
  EXPECT_EQ(4, Run({"ping", kN}).exitCode);  // reached: no driver yet
  ASSERT_EQ(0, chmod(dir, 0777));
  ProcessResult r = Run({"ping", kN});
  EXPECT_EQ(3, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("is writable by other users"));
  chmod(dir, 0700);
  chown(dir, getuid(), getgid());
}

TEST_F(InfoctlTest, GetAndDumpEscapeTextsAndKeepSlotOrder) {
  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  driver.write(4095, "z");
  driver.write(0, "a\tb");
  driver.write(17, "back\\slash\r\nx");
  driver.write(3, "");
  driver.write(250, "%s 100%");
  // Any client may put bytes into the echo slots: terminal escapes, bells,
  // C1 controls and broken UTF-8 are shown, not obeyed.
  driver.write(4001, "\x1b[2Jred\x07\x7f \xc3\xa9 \xc2\x9b \xff");

  ProcessResult r = Run({"get", kN, "17"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ("back\\\\slash\\r\\nx\n", r.out);
  r = Run({"get", kN, "3"});
  EXPECT_EQ("\n", r.out);
  r = Run({"get", kN, "4001"});
  EXPECT_EQ("\\x1B[2Jred\\x07\\x7F \xc3\xa9 \\xC2\\x9B \\xFF\n", r.out);

  r = Run({"dump", kN});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ(
      "0\ta\\tb\n17\tback\\\\slash\\r\\nx\n250\t%s 100%\n"
      "4001\t\\x1B[2Jred\\x07\\x7F \xc3\xa9 \\xC2\\x9B \\xFF\n4095\tz\n",
      r.out);
}

TEST_F(InfoctlTest, SetAsksTheDriver) {
  ProcessResult r = Run({"set", kN, "141", "1"});
  EXPECT_EQ(4, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("no driver"));

  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  r = Run({"set", kN, "141", "1"}, &driver);
  EXPECT_EQ(0, r.exitCode) << r.err;
  r = Run({"set", kN, "4095", "a b\tc"}, &driver);
  EXPECT_EQ(0, r.exitCode) << r.err;
  r = Run({"set", kN, "7", ""}, &driver);
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ((std::vector<std::pair<int64_t, std::string>>{
                {141, "1"}, {4095, "a b\tc"}, {7, ""}}),
            driver.changes);
  EXPECT_EQ("\n", Run({"get", kN, "141"}).out);  // the driver decides

  driver.changeAnswer = 0;
  r = Run({"set", kN, "141", "1"}, &driver);
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("refused"));

  // Too late for the driver: it never will be made.
  driver.changeAnswer = INFO_EXPIRED;
  r = Run({"set", kN, "141", "1"}, &driver);
  EXPECT_EQ(6, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("will not be made later")) << r.err;
}

// The answer is printed, and a refusal exits 1 as a refused set does.
TEST_F(InfoctlTest, ModePrintsTheDriversAnswer) {
  ProcessResult r = Run({"mode", kN, "txrx"});
  EXPECT_EQ(4, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("no driver"));

  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  struct Case {
    const char* mode;
    const char* out;
    int exitCode;
  };
  for (const Case& c : {Case{"txrx", "1\n", 0}, Case{"rxonly", "0\n", 1},
                        Case{"inquire", "1\n", 0}}) {
    SCOPED_TRACE(c.mode);
    r = Run({"mode", kN, c.mode}, &driver);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.exitCode, r.exitCode);
  }
  driver.modeAnswers[WVN_INQDEVGOTXRX] = 0;
  r = Run({"mode", kN, "inquire"}, &driver);
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ("0\n", r.out);
}

// Until the watch is registered, writes pass unseen: writes a marker into
// slot 1 until the watch shows it.
bool WaitUntilWatching(ScriptedDriver& driver, LineReader& watch) {
  std::string line;
  return WaitUntil(
      [&] {
        driver.write(1, "sync");
        return watch.next(&line, 50) && line == "1\tsync";
      },
      20000);
}

TEST_F(InfoctlTest, PingSaysWhetherADriverIsConnected) {
  ProcessResult r = Run({"ping", kN});
  EXPECT_EQ(4, r.exitCode);
  EXPECT_EQ("infodriver 3: no driver connected\n", r.out);
  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  r = Run({"ping", kN});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ("infodriver 3: driver connected\n", r.out);
}

TEST_F(InfoctlTest, WatchPrintsEachWriteAsItHappens) {
  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  LineReader watch({INFOCTL_BIN, "watch", kN});
  ASSERT_TRUE(WaitUntilWatching(driver, watch));
  std::string line;
  driver.write(2, "x");
  driver.write(3, "y\tz\\");
  driver.write(2, "x");  // every write, even an unchanged text
  std::vector<std::string> seen;
  while (seen.size() < 3 && watch.next(&line, 10000))
    if (line != "1\tsync") seen.push_back(line);
  EXPECT_EQ((std::vector<std::string>{"2\tx", "3\ty\\tz\\\\", "2\tx"}), seen);
  EXPECT_EQ(0, watch.stop(SIGINT));
}

TEST_F(InfoctlTest, WatchEndsWithThreeWhenTheInfodriverGoes) {
  LineReader watch({INFOCTL_BIN, "watch", kN});
  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  ASSERT_TRUE(WaitUntilWatching(driver, watch));
  EXPECT_EQ(0, infodriver.stop(SIGTERM));
  EXPECT_EQ(3, watch.wait(20000));
}

// A watch that falls behind is dropped by the infodriver, and says so
// rather than that the infodriver went away.
TEST_F(InfoctlTest, WatchDroppedForReadingTooSlowlySaysSo) {
  ScriptedDriver driver;
  ASSERT_TRUE(driver.ok());
  LineReader watch({INFOCTL_BIN, "watch", kN}, true);
  ASSERT_TRUE(WaitUntilWatching(driver, watch));
  std::string line;
  // Stopped, it reads nothing while the driver writes far more than a
  // client may have waiting.
  ASSERT_EQ(0, kill(watch.pid(), SIGSTOP));
  const std::string text(250, 'w');
  for (int i = 0; i < 20000; ++i)
    driver.send({WVN_WRITESLOT, 0, i % 4000, 0, text});
  driver.write(4095, "end");
  ASSERT_EQ(0, kill(watch.pid(), SIGCONT));
  std::string last;
  while (watch.next(&line, 20000)) last = line;
  EXPECT_EQ(
      "infoctl: infodriver 3 dropped this watch: it read the slot writes too "
      "slowly",
      last);
  EXPECT_EQ(5, watch.wait(20000));
}

}  // namespace
