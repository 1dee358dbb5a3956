// The installed qor_mdu against infodrivers that are missing, misconfigured,
// stuck or somebody else's, and against clients that flood it.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "infodriver/info_socket.h"
#include "infodriver/infodriver_protocol.h"
#include "integration/e2e_support.h"
#include "support/process.h"

using qor_test::Process;
using qor_test::ReadFileText;
using qor_test::WaitFor;

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// A socket at |path| that listens and never accepts. listen() is called as
// |uid|, whom the connecting side then sees at the other end.
class StuckListener {
 public:
  StuckListener(const std::string& path, uid_t uid) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
      return;
    pid_t pid = fork();
    if (pid == 0) {
      if (setgid(uid) != 0 || setuid(uid) != 0) _exit(1);
      _exit(listen(fd_, 0) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ok_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ~StuckListener() {
    for (int fd : queued_) close(fd);
    close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return ok_; }
  // Queues connections until the backlog takes no more; how many it took.
  int fillBacklog() {
    for (int i = 0; i < 1000; ++i) {
      int fd =
          socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      struct sockaddr_un addr = {};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
      if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) !=
          0) {
        close(fd);
        return errno == EAGAIN ? i : -1;
      }
      queued_.push_back(fd);
    }
    return -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
  std::vector<int> queued_;
};

// Connects to the infodriver at |path| (device 6) and takes the driver's
// role; the descriptor, or -1.
int HoldDriverRole(const std::string& path) {
  int error = 0;
  const int fd = ConnectInfoSocket(path, &error);
  if (fd < 0) return -1;
  SendInfoMessage(fd, {WVN_DISCOVER, 0, 1, 6, ""}, 1000);
  SendInfoMessage(fd, {WVN_ANNOUNCE, 0, 1, 0, ""}, 1000);
  InfoMessage m;
  while (ReceiveInfoMessage(fd, &m, 5000) == InfoReceive::kMessage)
    if (m.message == WVN_HELLOACK) return fd;
  close(fd);
  return -1;
}

class DriverInfodriverTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = TestRoot("qor_link");
    env_ = MakeRootTree(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string run() const { return (root_ / "run").string(); }
  std::string socketPath(int device) const {
    return run() + "/infodriver-" + std::to_string(device) + ".sock";
  }
  std::string LogText(int device) const { return LogTextUnder(root_, device); }
  std::unique_ptr<Process> StartInfodriver(int device) {
    return ::StartInfodriver(device, env_);
  }
  bool DriverConnected(int device) {
    Process ping(BinPath("infoctl"), {"ping", std::to_string(device)}, env_);
    return ping.Wait() == 0 &&
           ping.Stdout().find("driver connected") != std::string::npos &&
           ping.Stdout().find("no driver") == std::string::npos;
  }

  fs::path root_;
  std::vector<std::string> env_;
};

// Whatever keeps the driver from its infodriver ends the start as a missing
// infodriver does: the box, the cause on standard error and in the log
// file, and a failed exit. Nothing hangs.
TEST_F(DriverInfodriverTest, UnreachableInfodriverEndsTheStartNamingTheCause) {
  std::string deep = run();
  while (deep.size() < 120) deep += "/dddddddddddddddddddd";
  struct Case {
    const char* name;
    std::function<void()> setUp;
    std::string cause;
    std::vector<std::string> env = {};
    bool asNobody = false;
  };
  std::unique_ptr<StuckListener> listener;
  std::unique_ptr<Process> infodriver;
  int heldRole = -1;
  const std::vector<Case> cases = {
      {"no infodriver", [] {}, socketPath(6) + ": No such file or directory"},
      {"runtime directory writable by others",
       [&] { chmod(run().c_str(), 0777); },
       run() + " is writable by other users (mode 0777)"},
      {"runtime directory of another user",
       [&] { ASSERT_EQ(0, chown(run().c_str(), kNobody, kNobody)); },
       run() + " belongs to uid 65534, not to this user (uid 0)"},
      {"directory above writable by others",
       [&] { chmod(root_.c_str(), 0777); },
       root_.string() +
           " above the runtime directory is writable by others (mode 0777)"},
      {"socket path too long",
       [&] {
         fs::create_directories(deep);
         fs::permissions(deep, fs::perms::owner_all);
       },
       deep + "/infodriver-6.sock: longer than a socket address holds",
       {"ZARN_RUNTIME_DIR=" + deep}},
      {"listen backlog held full",
       [&] {
         listener = std::make_unique<StuckListener>(socketPath(6), 0);
         ASSERT_TRUE(listener->ok());
         ASSERT_GT(listener->fillBacklog(), 0);
       },
       socketPath(6) +
           ": nobody takes connections (the listen backlog stayed full)"},
      {"infodriver of another user",
       [&] {
         listener = std::make_unique<StuckListener>(socketPath(6), kNobody);
         ASSERT_TRUE(listener->ok());
       },
       socketPath(6) +
           ": the infodriver runs as uid 65534, not as this user (uid 0) or "
           "root"},
      {"driver and infodriver under different users",
       [&] {
         infodriver = StartInfodriver(6);
         chmod(root_.c_str(), 0755);
         for (const auto& e : fs::recursive_directory_iterator(root_ / "sys"))
           ASSERT_EQ(0, chown(e.path().c_str(), kNobody, kNobody));
         ASSERT_EQ(0, chown((root_ / "sys").c_str(), kNobody, kNobody));
       },
       socketPath(6) + ": Permission denied",
       {},
       true},
      {"another driver serves the device",
       [&] {
         infodriver = StartInfodriver(6);
         heldRole = HoldDriverRole(socketPath(6));
         ASSERT_GE(heldRole, 0);
       },
       "another driver already serves device 6 (device id in use)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_ / "sys" / "logs");
    chmod(root_.c_str(), 0755);
    chmod(run().c_str(), 0700);
    ASSERT_EQ(0, chown(run().c_str(), 0, 0));
    c.setUp();
    std::vector<std::string> env = env_;
    env.insert(env.end(), c.env.begin(), c.env.end());
    std::unique_ptr<Process> driver;
    if (c.asNobody) {
      driver = std::make_unique<Process>(
          "/usr/bin/setpriv",
          std::vector<std::string>{"--reuid=65534", "--regid=65534",
                                   "--clear-groups", BinPath("qor_mdu"), "6"},
          env);
    } else {
      driver = std::make_unique<Process>(BinPath("qor_mdu"),
                                         std::vector<std::string>{"6"}, env);
    }
    EXPECT_EQ(driver->Wait(), 255);
    EXPECT_EQ(driver->Stderr(),
              "QOR_MDU - Error: QOR_MDU Driver can't Connect to infodriver "
              "6\nqor_mdu 6: infodriver unreachable: " +
                  c.cause + "\n");
    const std::string log = LogText(6);
    EXPECT_EQ(CountOf(log, " - Infodriver 6 unreachable: " + c.cause), 1)
        << log;
    EXPECT_EQ(CountOf(log, "++++ Driver Closing ++++"), 0);
    listener.reset();
    if (heldRole >= 0) close(heldRole);
    heldRole = -1;
    infodriver.reset();
  }
}

// A request that waits for a stopped driver until its deadline has passed
// is refused when the driver runs again: the output is never switched late.
TEST_F(DriverInfodriverTest, ARequestPastItsDeadlineNeverReachesTheUnit) {
  OneUnitRig rig = StartOneUnitRig(root_, 6, "PollDelay=200\n");
  ASSERT_FALSE(HasFailure());
  Process driver(BinPath("qor_mdu"), {"6"}, rig.env);
  const std::string output1 = "1.3.6.1.4.1.6853.3.4.1.2.1";
  const std::string state = rig.agent->Get(output1);
  ASSERT_FALSE(state.empty());
  // The driver can switch output 1 once it has published its state.
  ASSERT_TRUE(WaitFor([&] { return DumpSlots(6, rig.env)[41] == state; }))
      << LogText(6);

  driver.Signal(SIGSTOP);
  int error = 0;
  const int fd = ConnectInfoSocket(socketPath(6), &error);
  ASSERT_GE(fd, 0) << std::strerror(error);
  const std::string flipped = state == "0" ? "1" : "0";
  const int64_t deadline = qor_test::MonotonicMs() + 2000;
  ASSERT_TRUE(
      SendInfoMessage(fd, {WVN_SLOTCHANGE, 1, 41, deadline, flipped}, 1000));
  while (qor_test::MonotonicMs() <= deadline + 500) usleep(100000);
  driver.Signal(SIGCONT);

  InfoMessage answer;
  EXPECT_EQ(ReceiveInfoMessage(fd, &answer, 10000), InfoReceive::kMessage);
  EXPECT_EQ(answer.wParam, INFO_EXPIRED);
  close(fd);
  for (int poll = 0; poll < 5; ++poll) {
    EXPECT_EQ(rig.agent->Get(output1), state);
    usleep(300000);
  }
  EXPECT_EQ(CountOf(LogText(6), "Infodriver 6 - slot 41 change to '" + flipped +
                                    "' refused - its deadline passed "),
            1)
      << LogText(6);
}

// Whoever asks, the device's trail says who asked for what, and each
// outcome: the driver took it, then the unit showed it; or, from a unit
// gone silent, did not.
TEST_F(DriverInfodriverTest, EachRequestLeavesWhoAndItsOutcomesInTheTrail) {
  OneUnitRig rig = StartOneUnitRig(root_, 6, "PollDelay=200\n");
  ASSERT_FALSE(HasFailure());
  std::ofstream(root_ / "sys" / "config" / "system" / "names_006.ini")
      << "[QOR_MDU_1]\nOutput1=Rack 1 switch\n";
  Process driver(BinPath("qor_mdu"), {"6"}, rig.env);
  const std::string state = rig.agent->Get("1.3.6.1.4.1.6853.3.4.1.2.1");
  ASSERT_TRUE(WaitFor([&] { return DumpSlots(6, rig.env)[41] == state; }))
      << LogText(6);
  const std::string flipped = state == "0" ? "1" : "0";
  Process set(BinPath("infoctl"), {"set", "6", "41", flipped}, rig.env);
  ASSERT_EQ(set.Wait(), 0) << set.Stderr();

  std::vector<nlohmann::json> records;
  auto recordsAre = [&](size_t count) {
    return WaitFor(
        [&] {
          Process audit(BinPath("infoctl"), {"audit", "6"}, rig.env);
          audit.Wait();
          records.clear();
          std::istringstream lines(audit.Stdout());
          for (std::string line; std::getline(lines, line);)
            records.push_back(nlohmann::json::parse(line));
          return records.size() == count;
        },
        std::chrono::seconds(30));
  };
  ASSERT_TRUE(recordsAre(2));
  EXPECT_EQ(records[0]["outcome"], "sent");
  EXPECT_EQ(records[1]["outcome"], "confirmed");

  rig.agent->Stop();
  Process back(BinPath("infoctl"), {"set", "6", "41", state}, rig.env);
  ASSERT_EQ(back.Wait(), 0) << back.Stderr();
  ASSERT_TRUE(recordsAre(4));
  EXPECT_EQ(records[2]["outcome"], "sent");
  EXPECT_EQ(records[3]["outcome"], "not confirmed");
  EXPECT_EQ(records[3]["request"], records[2]["request"]);
  EXPECT_NE(records[3]["request"], records[0]["request"]);
  for (size_t i = 0; i < records.size(); ++i) {
    const nlohmann::json& r = records[i];
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r["request"], records[i < 2 ? 0 : 2]["request"]);
    EXPECT_EQ(r["time"].get<std::string>().size(),
              std::string("2026-12-09T14:05:00.123Z").size());
    EXPECT_EQ(r["via"], "infoctl");
    EXPECT_EQ(r["who"], "root (uid 0)");
    EXPECT_EQ(r["from"].get<std::string>().rfind("pid ", 0), 0u);
    EXPECT_EQ(r["device"], 6);
    EXPECT_EQ(r["unit"], 1);
    EXPECT_EQ(r["point"], "output/1");
    EXPECT_EQ(r["name"], "Rack 1 switch");
    EXPECT_EQ(r["value"], i < 2 ? flipped : state);
    EXPECT_EQ(r["previous"], i < 2 ? state : flipped);
    EXPECT_FALSE(r["reason"].get<std::string>().empty());
  }
}

TEST_F(DriverInfodriverTest, InfoctlGivesUpOnAFullBacklog) {
  StuckListener listener(socketPath(6), 0);
  ASSERT_TRUE(listener.ok());
  ASSERT_GT(listener.fillBacklog(), 0);
  for (const char* command : {"ping", "dump", "watch"}) {
    SCOPED_TRACE(command);
    Process infoctl(BinPath("infoctl"), {command, "6"}, env_);
    EXPECT_EQ(infoctl.Wait(), 3);
    EXPECT_NE(infoctl.Stderr().find("nobody takes connections"),
              std::string::npos)
        << infoctl.Stderr();
  }
}

// One client of the flood: sends |count| slot-change requests as fast as the
// infodriver takes them, reading the answers as they come or, when |deaf|,
// only after it has sent them all (or could send no more for a while).
struct Flooded {
  int sent = 0;
  int accepted = 0;      // answered 1
  int other = 0;         // answered anything else
  bool dropped = false;  // told so with INFO_DROPPED
  bool closed = false;   // the infodriver ended the connection
};

Flooded Flood(const std::string& path, int id, int count, bool deaf) {
  using Clock = std::chrono::steady_clock;
  Flooded r;
  int error = 0;
  int fd = ConnectInfoSocket(path, &error);
  if (fd < 0) return r;
  auto lastProgress = Clock::now();
  const auto deadline = Clock::now() + std::chrono::seconds(240);
  bool sending = true;
  while (Clock::now() < deadline && !r.closed) {
    const bool reading = !deaf || !sending;
    if (!sending && r.accepted + r.other >= r.sent) break;
    if (sending && (r.sent >= count ||
                    Clock::now() - lastProgress > std::chrono::seconds(20)))
      sending = false;
    struct pollfd p = {
        fd,
        static_cast<short>((sending ? POLLOUT : 0) | (reading ? POLLIN : 0)),
        0};
    if (poll(&p, 1, 500) <= 0) continue;
    if (reading && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      for (int i = 0; i < 512; ++i) {
        InfoMessage m;
        InfoReceive got = ReceiveInfoMessage(fd, &m, 0);
        if (got == InfoReceive::kNothing) break;
        if (got != InfoReceive::kMessage) {
          r.closed = true;
          break;
        }
        if (m.message == INFO_DROPPED) r.dropped = true;
        if (m.message != INFO_RESULT) continue;
        lastProgress = Clock::now();
        if (m.wParam == 1)
          ++r.accepted;
        else
          ++r.other;
      }
    }
    if (sending && (p.revents & POLLOUT)) {
      for (int i = 0; i < 512 && r.sent < count; ++i) {
        std::string wire;
        EncodeMessage(
            {WVN_SLOTCHANGE, static_cast<uint32_t>(r.sent + 1),
             4000 + r.sent % 90, 0,
             "flood " + std::to_string(id) + " " + std::to_string(r.sent)},
            &wire);
        if (send(fd, wire.data(), wire.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <
            0) {
          if (errno != EAGAIN) sending = false;
          break;
        }
        ++r.sent;
        lastProgress = Clock::now();
      }
    }
  }
  close(fd);
  return r;
}

// Four clients send 60,000 slot-change requests each. The driver is never
// cut off: it runs on and keeps publishing, every request of a client that
// reads its answers is answered, and the clients that read nothing are
// dropped, by name.
TEST_F(DriverInfodriverTest, FloodingClientsNeverCutTheDriverOff) {
  auto infodriver = StartInfodriver(6);
  Process driver(BinPath("qor_mdu"), {"6"}, env_);
  ASSERT_TRUE(WaitFor([&] { return DriverConnected(6); })) << driver.Stderr();

  constexpr int kRequests = 60000;
  std::vector<std::future<Flooded>> floods;
  for (int id = 0; id < 4; ++id)
    floods.push_back(std::async(std::launch::async, Flood, socketPath(6), id,
                                kRequests, id >= 2));
  std::vector<Flooded> results;
  for (auto& f : floods) results.push_back(f.get());

  EXPECT_TRUE(driver.running()) << LogText(6);
  for (int id = 0; id < 2; ++id) {
    SCOPED_TRACE("reading client " + std::to_string(id));
    EXPECT_EQ(results[id].sent, kRequests);
    EXPECT_EQ(results[id].accepted, kRequests);
    EXPECT_EQ(results[id].other, 0);
    EXPECT_FALSE(results[id].dropped);
  }
  for (int id = 2; id < 4; ++id) {
    SCOPED_TRACE("deaf client " + std::to_string(id) + ": sent " +
                 std::to_string(results[id].sent) + ", accepted " +
                 std::to_string(results[id].accepted) + ", other " +
                 std::to_string(results[id].other) +
                 (results[id].closed ? ", closed" : ""));
    // It read nothing while it could still have been told why.
    EXPECT_TRUE(results[id].closed);
    EXPECT_LT(results[id].accepted, results[id].sent);
  }
  const std::string said = infodriver->Stderr();
  EXPECT_EQ(CountOf(said, "infodriver 6: dropped client "), 2) << said;
  EXPECT_EQ(CountOf(said, "dropped driver"), 0) << said;

  // Still the device's driver, still publishing.
  EXPECT_TRUE(DriverConnected(6));
  Process set(BinPath("infoctl"), {"set", "6", "4001", "after the flood"},
              env_);
  EXPECT_EQ(set.Wait(), 0) << set.Stderr();
  EXPECT_TRUE(WaitFor([&] {
    Process get(BinPath("infoctl"), {"get", "6", "4001"}, env_);
    return get.Wait() == 0 && get.Stdout() == "after the flood\n";
  }));
  EXPECT_TRUE(driver.running());
  EXPECT_EQ(CountOf(LogText(6), "++++ Driver Closing ++++"), 0);
}

}  // namespace
