// The service manager's side of the notify protocol, played by the test:
// a datagram socket of its own as NOTIFY_SOCKET, the real infodriver and
// driver, a simulated MDU (sim/mdu_agent.sh, snmpd) on a free port.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/process.h"
#include "support/snmpd_agent.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDevice = 615;
constexpr const char* kUnitHost = "127.0.1.61";

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// NOTIFY_SOCKET of the test: what the programs send, one datagram each.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<struct sockaddr*>(&addr),
                              sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // Reads datagrams until one satisfies |match| or |timeoutMs| passes;
  // every datagram read is kept in received().
  template <typename Match>
  bool WaitFor(Match match, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      received_.emplace_back(buf, static_cast<size_t>(n));
      if (match(received_.back())) return true;
    }
  }
  bool WaitForMessage(const std::string& message, int timeoutMs) {
    return WaitFor([&](const std::string& m) { return m == message; },
                   timeoutMs);
  }
  int Count(const std::string& message) const {
    int n = 0;
    for (const auto& m : received_) n += m == message;
    return n;
  }
  const std::vector<std::string>& received() const { return received_; }
  std::string Transcript() const {
    std::string all;
    for (const auto& m : received_) all += "[" + m + "] ";
    return all;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> received_;
};

bool WaitForExit(qor_test::ChildProcess& child, int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  while (child.Running()) {
    if (NowMs() > deadline) return false;
    usleep(20000);
  }
  return true;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ServiceNotifyTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/service_notify_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    fs::create_directories(dir_ / "sys/config/system");
    fs::create_directories(dir_ / "sys/logs");
    fs::create_directories(dir_ / "run");
    chmod((dir_ / "run").c_str(), 0700);
    trapPort_ = qor_test::FreeUdpPort();
    agentPort_ = qor_test::FreeUdpPort();
    ASSERT_NE(trapPort_, 0);
    ASSERT_NE(agentPort_, 0);
    // The programs' service manager, and no journal: the test is both.
    env_ = {{"QX_ROOT", dir_.string()},
            {"QX_SYSTEM", "sys"},
            {"ZARN_RUNTIME_DIR", (dir_ / "run").string()},
            {"ZARN_SNMP_TRAP_PORT", std::to_string(trapPort_)},
            {"NOTIFY_SOCKET", (dir_ / "notify").string()},
            {"JOURNAL_STREAM", ""},
            {"WATCHDOG_USEC", ""},  // none unless a test asks
            {"TERM", "dumb"}};
  }
  void TearDown() override {
    driver_.Stop();
    infodriver_.Stop();
    agent_.Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void StartAgent() {
    ASSERT_TRUE(agent_.Start(
        {QOR_SOURCE_DIR "/sim/mdu_agent.sh", "--address", kUnitHost, "--port",
         std::to_string(agentPort_), "--community", "ziriru", "--unit", "1",
         "--dir", (dir_ / "agent").string()},
        {}, (dir_ / "agent.out").string()));
  }
  void WriteSettings() {
    std::ofstream ini(dir_ / "sys/config/system" /
                      ("dev_" + std::to_string(kDevice) + ".ini"));
    ini << "[QOR_MDU_1]\nSNMPAddress=" << kUnitHost << ":" << agentPort_
        << "\n";
  }
  fs::path SettingsPath() const {
    return dir_ / "sys/config/system" /
           ("dev_" + std::to_string(kDevice) + ".ini");
  }
  std::string SocketPath() const {
    return (dir_ / "run" / ("infodriver-" + std::to_string(kDevice) + ".sock"))
        .string();
  }
  void StartInfodriver(NotifySocket& notify) {
    ASSERT_TRUE(infodriver_.Start({INFODRIVER_BIN, std::to_string(kDevice)},
                                  env_, (dir_ / "infodriver.out").string()));
    ASSERT_TRUE(notify.WaitFor(
        [](const std::string& m) { return m.rfind("READY=1", 0) == 0; }, 20000))
        << notify.Transcript();
  }
  // Writes the settings, starts the infodriver and waits until it is ready,
  // then starts the driver, which reports to |notify|; |watchdogUsec| set
  // asks it for keep-alives.
  void StartDriver(NotifySocket& notify, const std::string& watchdogUsec = "") {
    WriteSettings();
    infodriverNotify_ =
        std::make_unique<NotifySocket>((dir_ / "notify").string());
    ASSERT_TRUE(infodriverNotify_->bound());
    ASSERT_NO_FATAL_FAILURE(StartInfodriver(*infodriverNotify_));
    ASSERT_TRUE(notify.bound());
    std::map<std::string, std::string> env = env_;
    env["NOTIFY_SOCKET"] = notify.path();
    env["WATCHDOG_USEC"] = watchdogUsec;
    ASSERT_TRUE(driver_.Start({QOR_MDU_BIN, std::to_string(kDevice)}, env,
                              (dir_ / "driver.out").string()));
  }

  fs::path dir_;
  uint16_t trapPort_ = 0;
  uint16_t agentPort_ = 0;
  std::map<std::string, std::string> env_;
  qor_test::ChildProcess agent_, infodriver_, driver_;
  std::unique_ptr<NotifySocket> infodriverNotify_;
};

TEST_F(ServiceNotifyTest, InfodriverIsReadyOnceItsSocketServes) {
  NotifySocket notify((dir_ / "notify").string());
  ASSERT_TRUE(notify.bound());
  ASSERT_NO_FATAL_FAILURE(StartInfodriver(notify));
  // READY means a client connects now, not soon.
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s",
                SocketPath().c_str());
  EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr),
            0)
      << SocketPath();
  close(fd);
  EXPECT_EQ(notify.received().front(),
            "READY=1\nSTATUS=serving " + SocketPath());

  EXPECT_EQ(infodriver_.Stop(), 0);
  EXPECT_TRUE(notify.WaitForMessage("STOPPING=1", 10000))
      << notify.Transcript();
}

TEST_F(ServiceNotifyTest, DriverReportsReadyUnitsAndKeepAlives) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  NotifySocket notify((dir_ / "driver-notify").string());
  ASSERT_NO_FATAL_FAILURE(StartDriver(notify, "400000"));

  // READY=1 first, with the count, and only once InitApp has written back
  // the last unit section.
  ASSERT_TRUE(notify.WaitFor(
      [](const std::string& m) { return m.rfind("READY=1", 0) == 0; }, 30000))
      << notify.Transcript() << ReadFile(dir_ / "driver.out");
  std::string ready;
  for (const std::string& m : notify.received())
    if (m.rfind("READY=1", 0) == 0 && ready.empty()) ready = m;
  EXPECT_EQ(notify.received().front(), "STATUS=starting");
  EXPECT_TRUE(ready == "READY=1\nSTATUS=0 of 1 units answering" ||
              ready == "READY=1\nSTATUS=1 of 1 units answering")
      << ready;
  EXPECT_NE(ReadFile(SettingsPath()).find("[QOR_MDU_40]"), std::string::npos);

  EXPECT_TRUE(notify.WaitFor(
      [](const std::string& m) {
        return m == "STATUS=1 of 1 units answering" ||
               m == "READY=1\nSTATUS=1 of 1 units answering";
      },
      30000))
      << notify.Transcript();

  // Keep-alives keep coming while the loop turns.
  EXPECT_TRUE(notify.WaitFor(
      [&](const std::string&) { return notify.Count("WATCHDOG=1") >= 5; },
      30000))
      << notify.Transcript();

  // A unit that goes silent is counted out.
  agent_.Stop();
  EXPECT_TRUE(notify.WaitForMessage("STATUS=0 of 1 units answering", 60000))
      << notify.Transcript();

  EXPECT_EQ(driver_.Stop(), 0);
  EXPECT_TRUE(notify.WaitForMessage("STOPPING=1\nSTATUS=stopping", 10000))
      << notify.Transcript();
}

TEST_F(ServiceNotifyTest, NoKeepAlivesUnlessTheManagerAsks) {
  NotifySocket notify((dir_ / "driver-notify").string());
  ASSERT_NO_FATAL_FAILURE(StartDriver(notify));
  ASSERT_TRUE(notify.WaitFor(
      [](const std::string& m) { return m.rfind("READY=1", 0) == 0; }, 30000))
      << notify.Transcript();
  // The infodriver going away ends the driver (exit 0), which says so.
  EXPECT_EQ(infodriver_.Stop(), 0);
  EXPECT_TRUE(WaitForExit(driver_, 30000));
  EXPECT_TRUE(notify.WaitForMessage("STOPPING=1\nSTATUS=stopping", 10000))
      << notify.Transcript();
  EXPECT_EQ(notify.Count("WATCHDOG=1"), 0) << notify.Transcript();
}

}  // namespace
