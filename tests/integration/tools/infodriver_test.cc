// The infodriver program: its socket, its driver and clients, and peers that
// misbehave.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "infodriver/infodriver_protocol.h"
#include "support/infodriver_process.h"
#include "support/process.h"

namespace {

constexpr int kDevice = 7;

std::string Wire(const InfoMessage& m) {
  std::string out;
  EncodeMessage(m, &out);
  return out;
}

class InfodriverProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(infodriver.failed()); }
  // Whatever the test did, the infodriver ends cleanly (no crash, no
  // sanitizer report) unless the test ended it itself.
  void TearDown() override {
    if (!infodriver.failed()) {
      EXPECT_EQ(0, infodriver.stop(SIGTERM));
    }
  }

  // Every non-empty slot, as the infodriver reports it.
  std::vector<std::pair<int64_t, std::string>> Dump() {
    RawPeer client(kDevice);
    InfoMessage result;
    std::vector<InfoMessage> data;
    EXPECT_TRUE(client.request({INFO_DUMP, 0, 0, 0, ""}, &result, &data));
    std::vector<std::pair<int64_t, std::string>> out;
    for (const auto& m : data)
      if (m.message == INFO_SLOTDATA) out.emplace_back(m.wParam, m.text);
    EXPECT_EQ(static_cast<int64_t>(out.size()), result.wParam);
    return out;
  }

  std::string Read(int64_t slot) {
    RawPeer client(kDevice);
    InfoMessage result;
    EXPECT_TRUE(client.request({WVN_READSLOT, 0, slot, 0, ""}, &result));
    return result.text;
  }

  bool HasDriver() {
    RawPeer client(kDevice);
    InfoMessage result;
    return client.request({INFO_STATUS, 0, 0, 0, ""}, &result) &&
           result.wParam == 1;
  }

  // The infodriver still serves: it answers, and its slots are those given.
  void ExpectIntact(const std::vector<std::pair<int64_t, std::string>>& slots) {
    EXPECT_EQ(slots, Dump());
  }

  TempRuntimeDir rundir;
  InfodriverProcess infodriver{INFODRIVER_BIN, kDevice};
};

TEST_F(InfodriverProgramTest, SocketIsPrivateAndSlotsStartEmpty) {
  struct stat st;
  ASSERT_EQ(0, stat((rundir.path() + "/infodriver-7.sock").c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_TRUE(Dump().empty());
  EXPECT_EQ("", Read(0));
  EXPECT_EQ("", Read(4095));
  EXPECT_FALSE(HasDriver());
}

TEST_F(InfodriverProgramTest, SecondInfodriverForTheSameNumberIsRefused) {
  ProcessResult second = RunProcess({INFODRIVER_BIN, "7"});
  EXPECT_EQ(1, second.exitCode);
  EXPECT_NE(std::string::npos, second.err.find("already running"));
  EXPECT_FALSE(Dump().size());  // the first one still serves
}

TEST_F(InfodriverProgramTest, UsageErrors) {
  for (auto args :
       std::vector<std::vector<std::string>>{{INFODRIVER_BIN},
                                             {INFODRIVER_BIN, "0"},
                                             {INFODRIVER_BIN, "-3"},
                                             {INFODRIVER_BIN, "7x"},
                                             {INFODRIVER_BIN, "7", "8"}}) {
    ProcessResult r = RunProcess(args);
    EXPECT_EQ(2, r.exitCode) << args.size();
  }
}

TEST_F(InfodriverProgramTest, RefusesARuntimeDirectoryOthersMayWrite) {
  TempRuntimeDir other;
  chmod(other.path().c_str(), 0777);
  ProcessResult r = RunProcess({INFODRIVER_BIN, "8"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("writable by other users"));
}

TEST_F(InfodriverProgramTest, CreatesAMissingRuntimeDirectoryPrivate) {
  TempRuntimeDir parent;
  const std::string dir = parent.path() + "/run";
  setenv("ZARN_RUNTIME_DIR", dir.c_str(), 1);
  {
    InfodriverProcess fresh(INFODRIVER_BIN, 9);
    ASSERT_FALSE(fresh.failed());
    struct stat st;
    ASSERT_EQ(0, stat(dir.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
  }
}

TEST_F(InfodriverProgramTest, TermAndIntTellTheDriverAndEndWithZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    TempRuntimeDir own;
    InfodriverProcess served(INFODRIVER_BIN, 11);
    ASSERT_FALSE(served.failed());
    RawPeer driver(11);
    ASSERT_TRUE(driver.becomeDriver(11));
    EXPECT_EQ(0, served.stop(sig));
    InfoMessage m;
    bool told = false;
    while (driver.receive(&m, 5000))
      if (m.message == WVN_INFODISCONNECT) told = true;
    EXPECT_TRUE(told);
    struct stat st;
    EXPECT_NE(0, stat((own.path() + "/infodriver-11.sock").c_str(), &st));
  }
}

TEST_F(InfodriverProgramTest, HandshakeRules) {
  RawPeer stranger(kDevice);
  InfoMessage result;
  std::vector<InfoMessage> others;
  // An announcement without discovering this device first is refused.
  ASSERT_TRUE(stranger.request({WVN_ANNOUNCE, 0, 1, 0, ""}, &result));
  EXPECT_EQ(0, result.wParam);
  // DISCOVER for another number gets no reply.
  ASSERT_TRUE(stranger.request({WVN_DISCOVER, 0, 1, 8, ""}, &result, &others));
  EXPECT_EQ(0, result.wParam);
  EXPECT_TRUE(others.empty());
  EXPECT_FALSE(HasDriver());

  RawPeer driver(kDevice);
  ASSERT_TRUE(
      driver.request({WVN_DISCOVER, 0, 1, kDevice, ""}, &result, &others));
  ASSERT_EQ(1u, others.size());
  EXPECT_EQ(WVN_DISCOVERREPLY, others[0].message);
  EXPECT_EQ(infodriver.pid(), others[0].wParam);
  others.clear();
  ASSERT_TRUE(driver.request({WVN_HELLO, 0, 1, 0, ""}, &result, &others));
  EXPECT_EQ(1, result.wParam);
  ASSERT_EQ(1u, others.size());
  EXPECT_EQ(WVN_HELLOACK, others[0].message);
  EXPECT_EQ(1, others[0].wParam);
  EXPECT_TRUE(HasDriver());

  RawPeer second(kDevice);
  others.clear();
  ASSERT_TRUE(second.request({WVN_DISCOVER, 0, 1, kDevice, ""}, &result));
  ASSERT_TRUE(second.request({WVN_ANNOUNCE, 0, 1, 0, ""}, &result, &others));
  EXPECT_EQ(0, result.wParam);
  ASSERT_EQ(1u, others.size());
  EXPECT_EQ(WVN_DEVICEIDINUSE, others[0].message);
  EXPECT_EQ(kDevice, others[0].wParam);

  // When the driver goes, the number is free again.
  ASSERT_TRUE(driver.send({WVN_DEVDISCONNECT, 0, 0, kDevice, ""}));
  ASSERT_TRUE(WaitUntil([&] { return !HasDriver(); }));
  EXPECT_TRUE(second.becomeDriver(kDevice));
}

TEST_F(InfodriverProgramTest, SlotTextsAreCutAt255Bytes) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  InfoMessage result;
  ASSERT_TRUE(
      driver.request({WVN_WRITESLOT, 0, 3, 0, std::string(300, 'a')}, &result));
  EXPECT_EQ(1, result.wParam);
  ASSERT_TRUE(
      driver.request({WVN_WRITESLOT, 0, 4, 0, std::string(255, 'b')}, &result));
  EXPECT_EQ(std::string(255, 'a'), Read(3));
  EXPECT_EQ(std::string(255, 'b'), Read(4));
}

TEST_F(InfodriverProgramTest, HostileClientChangesNothing) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  InfoMessage result;
  ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, 10, 0, "keep"}, &result));
  const std::vector<std::pair<int64_t, std::string>> before = {{10, "keep"}};

  // Well formed but not allowed or out of range: dropped, answered 0.
  struct Case {
    const char* name;
    InfoMessage m;
  };
  const Case refused[] = {
      {"client write", {WVN_WRITESLOT, 0, 10, 0, "evil"}},
      {"client negative write", {WVN_WRITESLOTNEG, 0, 10, 0, "evil"}},
      {"read beyond", {WVN_READSLOT, 0, 4096, 0, ""}},
      {"read negative", {WVN_READSLOT, 0, -1, 0, ""}},
      {"change beyond", {WVN_SLOTCHANGE, 0, 1LL << 40, 0, "x"}},
      {"change negative", {WVN_SLOTCHANGE, 0, -5, 0, "x"}},
      {"unknown message", {4242, 0, 10, 0, "x"}},
      {"fake disconnect", {WVN_DEVDISCONNECT, 0, 0, kDevice, ""}},
  };
  RawPeer client(kDevice);
  // A result is never answered; one that answers nothing is ignored.
  ASSERT_TRUE(client.send({INFO_RESULT, 1, 1, 0, ""}));
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client.request(c.m, &result));
    EXPECT_EQ(0, result.wParam);
  }
  EXPECT_TRUE(HasDriver());  // a client cannot disconnect the driver

  // Malformed: the client is disconnected.
  const std::string malformed[] = {
      std::string("short"),
      std::string(),
      Wire({WVN_READSLOT, 1, 10, 0, ""}).substr(0, 23),
      Wire({WVN_WRITESLOT, 1, 10, 0, ""}) + std::string("a\0b", 3),
      Wire({WVN_WRITESLOT, 1, 10, 0, ""}) +
          std::string(kMessageTextMax + 1, 'x'),
      std::string(70000, 'z'),
  };
  for (const auto& bytes : malformed) {
    SCOPED_TRACE(bytes.size());
    RawPeer hostile(kDevice);
    hostile.sendBytes(bytes);
    EXPECT_TRUE(hostile.closedByPeer());
  }
  ExpectIntact(before);
}

TEST_F(InfodriverProgramTest, HostileDriverChangesNoSlotItMayNotWrite) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  InfoMessage result;
  ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, 4095, 0, "last"}, &result));
  for (int64_t slot : {int64_t{4096}, int64_t{-1}, int64_t{1} << 40,
                       int64_t{-4095}, INT64_MIN}) {
    SCOPED_TRACE(slot);
    ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, slot, 0, "bad"}, &result));
    EXPECT_EQ(0, result.wParam);
    ASSERT_TRUE(driver.request({WVN_WRITESLOTNEG, 0, slot, 0, "bad"}, &result));
    EXPECT_EQ(0, result.wParam);
  }
  // An answer to nothing, and messages a driver never sends, are ignored.
  ASSERT_TRUE(driver.send({INFO_RESULT, 999, 1, 0, ""}));
  ASSERT_TRUE(driver.request({WVN_INFODISCONNECT, 0, 0, 0, ""}, &result));
  ExpectIntact({{4095, "last"}});
  EXPECT_TRUE(HasDriver());

  // Then garbage: the driver is dropped, its slots stay.
  driver.sendBytes(std::string(7, '\xff'));
  EXPECT_TRUE(driver.closedByPeer());
  ASSERT_TRUE(WaitUntil([&] { return !HasDriver(); }));
  ExpectIntact({{4095, "last"}});
}

TEST_F(InfodriverProgramTest, DriverVanishingMidRequestFailsTheClient) {
  auto driver = std::make_unique<RawPeer>(kDevice);
  ASSERT_TRUE(driver->becomeDriver(kDevice));
  RawPeer client(kDevice);
  ASSERT_TRUE(client.send({WVN_SLOTCHANGE, 5, 100, 0, "on"}));
  InfoMessage forwarded;
  ASSERT_TRUE(driver->receive(&forwarded));
  EXPECT_EQ(WVN_SLOTCHANGE, forwarded.message);
  EXPECT_EQ(100, forwarded.wParam);
  EXPECT_EQ("on", forwarded.text);
  driver.reset();  // gone without answering
  InfoMessage answer;
  ASSERT_TRUE(client.receive(&answer));
  EXPECT_EQ(INFO_RESULT, answer.message);
  EXPECT_EQ(5u, answer.sequence);
  EXPECT_EQ(INFO_NO_DRIVER, answer.wParam);
}

TEST_F(InfodriverProgramTest, DriversAnswerIsRelayedOnlyAsOneOrZero) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  RawPeer client(kDevice);
  for (int64_t given : {int64_t{1}, int64_t{0}, int64_t{-1}, int64_t{77}}) {
    SCOPED_TRACE(given);
    ASSERT_TRUE(client.send({WVN_REQDEVGOTXRX, 9, 0, 0, ""}));
    InfoMessage request;
    ASSERT_TRUE(driver.receive(&request));
    ASSERT_EQ(WVN_REQDEVGOTXRX, request.message);
    ASSERT_TRUE(driver.send({INFO_RESULT, request.sequence, given, 0, ""}));
    InfoMessage answer;
    ASSERT_TRUE(client.receive(&answer));
    EXPECT_EQ(9u, answer.sequence);
    EXPECT_EQ(given == 1 ? 1 : 0, answer.wParam);
  }
}

// A slot change reaches the driver with a deadline no further than a
// control request may take; one already past is refused at once, and the
// driver's own refusal of a late one comes back as it is.
TEST_F(InfodriverProgramTest, SlotChangesCarryTheirDeadlineToTheDriver) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  RawPeer client(kDevice);
  const int64_t now = qor_test::MonotonicMs();
  struct Case {
    int64_t given;
    int64_t atLeast, atMost;  // what the driver may be given
  };
  for (const Case& c :
       {Case{0, now + kControlDeadlineMs, now + 2 * kControlDeadlineMs},
        Case{now + 3000, now + 3000, now + 3000},
        Case{now + 100 * kControlDeadlineMs, now + kControlDeadlineMs,
             now + 2 * kControlDeadlineMs}}) {
    SCOPED_TRACE(c.given);
    ASSERT_TRUE(client.send({WVN_SLOTCHANGE, 5, 100, c.given, "on"}));
    InfoMessage passed;
    ASSERT_TRUE(driver.receive(&passed));
    EXPECT_GE(passed.lParam, c.atLeast);
    EXPECT_LE(passed.lParam, qor_test::MonotonicMs() + kControlDeadlineMs);
    EXPECT_LE(passed.lParam, c.atMost);
    ASSERT_TRUE(
        driver.send({INFO_RESULT, passed.sequence, INFO_EXPIRED, 0, ""}));
    InfoMessage answer;
    ASSERT_TRUE(client.receive(&answer));
    EXPECT_EQ(INFO_EXPIRED, answer.wParam);
  }

  InfoMessage result;
  ASSERT_TRUE(
      client.request({WVN_SLOTCHANGE, 0, 100, now - 1, "late"}, &result));
  EXPECT_EQ(INFO_EXPIRED, result.wParam);
  InfoMessage nothing;
  EXPECT_FALSE(driver.receive(&nothing, 200));
}

TEST_F(InfodriverProgramTest, RandomGarbageFromManyPeersCrashesNothing) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  InfoMessage result;
  ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, 1, 0, "one"}, &result));
  std::mt19937 random(12345);
  for (int peer = 0; peer < 20; ++peer) {
    RawPeer hostile(kDevice);
    for (int i = 0; i < 50 && hostile.connected(); ++i) {
      std::string bytes(random() % 80, '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      // Now and then a valid header with a random number and parameters.
      if (i % 3 == 0) {
        InfoMessage m{static_cast<uint32_t>(random() % 4000 + 2000),
                      static_cast<uint32_t>(random()),
                      static_cast<int64_t>(random()) - (1LL << 31),
                      static_cast<int64_t>(random()), "t"};
        if (m.message == WVN_DISCOVER || m.message == WVN_ANNOUNCE ||
            m.message == WVN_HELLO)
          continue;
        bytes = Wire(m);
      }
      if (!hostile.sendBytes(bytes)) break;
    }
  }
  ExpectIntact({{1, "one"}});
  EXPECT_TRUE(HasDriver());
}

TEST_F(InfodriverProgramTest, StalledWatcherIsDroppedAndServiceGoesOn) {
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  RawPeer stalled(kDevice);
  InfoMessage result;
  ASSERT_TRUE(stalled.request({INFO_WATCH, 0, 0, 0, ""}, &result));
  // Never read again by |stalled|: well over the infodriver's output cap.
  const std::string text(250, 'w');
  for (int i = 0; i < 40000; ++i)
    ASSERT_TRUE(driver.send({WVN_WRITESLOT, 0, i % 4096, 0, text}));
  ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, 0, 0, "end"}, &result));
  EXPECT_EQ("end", Read(0));
  EXPECT_TRUE(stalled.closedByPeer(20000));
}

// What an idle infodriver costs: processor ticks over a few seconds in
// which nobody sends it anything. A loop that spins takes them all.
long IdleTicks(pid_t pid) {
  const long before = CpuTicks(pid);
  sleep(3);
  const long after = CpuTicks(pid);
  return before < 0 || after < 0 ? -1 : after - before;
}
// A tenth of what a spinning loop would take over those 3 s.
constexpr long kIdleTicksMax = 3 * 100 / 10;

// A file name of the test's own, removed when it goes whatever the outcome.
class TempFile {
 public:
  explicit TempFile(const std::string& name)
      : path_("/tmp/infodriver_test_" + std::to_string(getpid()) + "_" + name) {
  }
  ~TempFile() { unlink(path_.c_str()); }
  operator const std::string&() const { return path_; }
  const char* c_str() const { return path_.c_str(); }

 private:
  std::string path_;
};

std::string FileText(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return std::string();
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    text.append(buffer, n);
  std::fclose(f);
  return text;
}

// With more peers than descriptors, the infodriver turns the extra ones
// away and idles afterwards instead of spinning on a socket it cannot
// accept from.
TEST(InfodriverLimitsTest, MorePeersThanDescriptorsNeverSpinTheLoop) {
  TempRuntimeDir rundir;
  InfodriverProcess infodriver(INFODRIVER_BIN, kDevice, "", 48);
  ASSERT_FALSE(infodriver.failed());
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int i = 0; i < 60; ++i) {
    peers.push_back(std::make_unique<RawPeer>(kDevice));
    ASSERT_TRUE(peers.back()->connected());
  }
  // Every peer has been either taken or turned away once the last one is.
  InfoMessage result;
  RawPeer last(kDevice);
  (void)last.request({INFO_STATUS, 0, 0, 0, ""}, &result);
  const long ticks = IdleTicks(infodriver.pid());
  EXPECT_GE(ticks, 0);
  EXPECT_LT(ticks, kIdleTicksMax);
  // Once peers go, others are served again.
  peers.clear();
  EXPECT_TRUE(WaitUntil([&] {
    RawPeer client(kDevice);
    return client.request({INFO_STATUS, 0, 0, 0, ""}, &result);
  }));
  EXPECT_EQ(0, infodriver.stop(SIGTERM));
}

// A driver and a client waiting for it hang up in the same pass of the
// loop: closing the driver answers the client, whose hang-up that fails;
// both are closed, and the loop idles.
TEST(InfodriverLimitsTest, PeersHangingUpTogetherAreAllClosed) {
  TempRuntimeDir rundir;
  InfodriverProcess infodriver(INFODRIVER_BIN, kDevice);
  ASSERT_FALSE(infodriver.failed());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto driver = std::make_unique<RawPeer>(kDevice);
    ASSERT_TRUE(driver->becomeDriver(kDevice));
    auto client = std::make_unique<RawPeer>(kDevice);
    ASSERT_TRUE(client->send({WVN_SLOTCHANGE, 9, 4001, 0, "pending"}));
    InfoMessage passed;
    ASSERT_TRUE(driver->receive(&passed));
    ASSERT_EQ(WVN_SLOTCHANGE, passed.message);
    // Both gone before the infodriver looks again.
    ASSERT_EQ(0, kill(infodriver.pid(), SIGSTOP));
    client.reset();
    driver.reset();
    ASSERT_EQ(0, kill(infodriver.pid(), SIGCONT));
    const long ticks = IdleTicks(infodriver.pid());
    EXPECT_GE(ticks, 0);
    EXPECT_LT(ticks, kIdleTicksMax);
  }
  RawPeer next(kDevice);
  EXPECT_TRUE(next.becomeDriver(kDevice));
  EXPECT_EQ(0, infodriver.stop(SIGTERM));
}

// A driver that stops answering would hold every client back: after its
// grace it is told that the infodriver is done with it and dropped, and the
// clients hear that there is no driver.
TEST(InfodriverLimitsTest, DriverThatAnswersNothingIsToldAndDropped) {
  TempRuntimeDir rundir;
  const TempFile said("stalled");
  InfodriverProcess infodriver(INFODRIVER_BIN, kDevice, said);
  ASSERT_FALSE(infodriver.failed());
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  RawPeer client(kDevice);
  ASSERT_TRUE(client.send({WVN_SLOTCHANGE, 5, 4001, 0, "waiting"}));
  InfoMessage passed;
  ASSERT_TRUE(driver.receive(&passed));
  EXPECT_EQ(WVN_SLOTCHANGE, passed.message);

  InfoMessage answer;
  ASSERT_TRUE(client.receive(&answer, 120000));
  EXPECT_EQ(INFO_RESULT, answer.message);
  EXPECT_EQ(5u, answer.sequence);
  EXPECT_EQ(INFO_NO_DRIVER, answer.wParam);
  InfoMessage told;
  ASSERT_TRUE(driver.receive(&told));
  EXPECT_EQ(WVN_INFODISCONNECT, told.message);
  EXPECT_TRUE(driver.closedByPeer());
  const std::string text = FileText(said);
  EXPECT_NE(std::string::npos, text.find("infodriver 7: dropped driver "))
      << text;
  EXPECT_NE(std::string::npos, text.find(": answered no request for 30 s"))
      << text;
  EXPECT_EQ(0, infodriver.stop(SIGTERM));
}

// Asks for the infodriver's status as another user: 0 answered, 1 closed
// without an answer, 2 not even connected.
int StatusAsNobody() {
  return RunAsNobody([] {
    RawPeer peer(kDevice);
    if (!peer.connected()) return 2;
    InfoMessage result;
    return peer.request({INFO_STATUS, 0, 0, 0, ""}, &result) ? 0 : 1;
  });
}

// Only this user, root and the members of the clients' group are served;
// anyone else who reaches the socket is turned away, with a line.
TEST(InfodriverLimitsTest, PeersOfOtherUsersAreRefusedUnlessInTheGroup) {
  TempRuntimeDir rundir;
  ASSERT_EQ(0, chmod(rundir.path().c_str(), 0711));
  const TempFile said("said");
  {
    InfodriverProcess infodriver(INFODRIVER_BIN, kDevice, said);
    ASSERT_FALSE(infodriver.failed());
    // Past the socket's own mode, as a careless chmod would let them.
    const std::string socket = rundir.path() + "/infodriver-7.sock";
    ASSERT_EQ(0, chmod(socket.c_str(), 0666));
    EXPECT_EQ(1, StatusAsNobody());
    EXPECT_EQ(0, infodriver.stop(SIGTERM));
  }
  EXPECT_NE(std::string::npos,
            FileText(said).find("infodriver 7: refused a connection from pid "))
      << FileText(said);
  EXPECT_NE(std::string::npos, FileText(said).find(" uid 65534: not this user"))
      << FileText(said);
  unlink(said.c_str());

  setenv("ZARN_INFODRIVER_GROUP", "nogroup", 1);
  {
    InfodriverProcess infodriver(INFODRIVER_BIN, kDevice, said);
    ASSERT_FALSE(infodriver.failed());
    struct stat st;
    ASSERT_EQ(0, stat((rundir.path() + "/infodriver-7.sock").c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 0777);
    EXPECT_EQ(65534u, st.st_gid);
    EXPECT_EQ(0, StatusAsNobody());
    // A client, but never the driver: 0 accepted, 1 refused, 2 no answer.
    EXPECT_EQ(1, RunAsNobody([] {
                RawPeer peer(kDevice);
                InfoMessage result;
                if (!peer.request({WVN_DISCOVER, 0, 1, kDevice, ""}, &result) ||
                    !peer.request({WVN_ANNOUNCE, 0, 1, 0, ""}, &result) ||
                    !peer.request({WVN_HELLO, 0, 1, 0, ""}, &result))
                  return 2;
                return result.wParam == 1 ? 0 : 1;
              }));
    RawPeer owner(kDevice);
    EXPECT_TRUE(owner.becomeDriver(kDevice));
    EXPECT_EQ(0, infodriver.stop(SIGTERM));
  }
  const std::string refusal = "infodriver 7: refused the driver role to ";
  const std::string text = FileText(said);
  EXPECT_NE(std::string::npos, text.find(refusal)) << text;
  EXPECT_EQ(text.find(refusal), text.rfind(refusal)) << text;  // said once
  unsetenv("ZARN_INFODRIVER_GROUP");
}

}  // namespace
