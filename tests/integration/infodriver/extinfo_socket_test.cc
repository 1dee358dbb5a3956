// The link against the real infodriver program over its real socket.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "infodriver/extinfo.h"
#include "infodriver/info_socket.h"
#include "platform/event_loop.h"
#include "support/infodriver_process.h"

namespace {

constexpr int kDevice = 42;

struct Notification {
  int status;
  int value;
  std::string text;
  bool operator==(const Notification&) const = default;
};

class LinkOverSocketTest : public ::testing::Test {
 protected:
  LinkOverSocketTest() {
    link.setCallback([this](extinfo* l, int value, const char* text) {
      notes.push_back({l->iStatus, value, text});
    });
  }

  void SetUp() override { ASSERT_FALSE(infodriver.failed()); }
  // Whatever the test did, the infodriver ends cleanly (no crash, no
  // sanitizer report) unless the test ended it itself.
  void TearDown() override {
    if (!infodriver.failed()) {
      EXPECT_EQ(0, infodriver.stop(SIGTERM));
    }
  }

  void Pump() { loop.RunOnce(2); }

  // infoctl, with the link served while it runs (its request may need the
  // driver's answer).
  ProcessResult Infoctl(std::vector<std::string> args) {
    args.insert(args.begin(), INFOCTL_BIN);
    return RunProcess(args, [this] { Pump(); });
  }

  std::string Get(int slot) {
    ProcessResult r =
        Infoctl({"get", std::to_string(kDevice), std::to_string(slot)});
    EXPECT_EQ(0, r.exitCode) << r.err;
    return r.out;
  }

  TempRuntimeDir rundir;
  InfodriverProcess infodriver{INFODRIVER_BIN, kDevice};
  EventLoop loop;
  extinfo link{&loop};
  std::vector<Notification> notes;
};

TEST_F(LinkOverSocketTest, HandshakeMakesTheLinkTheDriver) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  EXPECT_EQ(IFSTAT_OK, link.iStatus);
  EXPECT_EQ(kDevice, link.iDevice);
  EXPECT_EQ(infodriver.pid(), link.hInfodriverWnd);
  EXPECT_EQ(1, link.bHelloAck);
  EXPECT_NE(0, link.hLinkWnd);
  EXPECT_TRUE(notes.empty());
  ProcessResult ping = Infoctl({"ping", std::to_string(kDevice)});
  EXPECT_EQ(0, ping.exitCode);
  EXPECT_EQ("infodriver 42: driver connected\n", ping.out);
}

TEST_F(LinkOverSocketTest, NoInfodriverForTheNumberGivesFive) {
  EXPECT_EQ(IFSTAT_NOWINDOW, link.connect(kDevice + 1));
  EXPECT_EQ(IFSTAT_NOWINDOW, link.iStatus);
  EXPECT_EQ(0, link.hInfodriverWnd);
  EXPECT_FALSE(link.isConnected());
}

// A RUNDIR that fails its checks is no infodriver the link may trust: the
// same 5 as a missing one, with the cause named for the operator.
TEST_F(LinkOverSocketTest, UnsafeRuntimeDirectoryGivesFiveAndItsCause) {
  const std::string above = rundir.path() + "/above";
  const std::string nested = above + "/run";
  ASSERT_EQ(0, mkdir(above.c_str(), 0700));
  ASSERT_EQ(0, mkdir(nested.c_str(), 0700));
  const std::string original = rundir.path();
  struct Case {
    const char* name;
    std::function<void()> spoil;
    std::string cause;
  };
  const Case cases[] = {
      {"writable by others", [&] { chmod(original.c_str(), 0777); },
       original + " is writable by other users (mode 0777)"},
      {"owned by another user",
       [&] {
         chmod(original.c_str(), 0700);
         ASSERT_EQ(0, chown(original.c_str(), 65534, 65534));
       },
       original + " belongs to uid 65534"},
      {"a directory above it writable by others",
       [&] {
         ASSERT_EQ(0, chown(original.c_str(), getuid(), getgid()));
         chmod(above.c_str(), 0777);
         setenv("ZARN_RUNTIME_DIR", nested.c_str(), 1);
       },
       above + " above the runtime directory is writable by others (mode "
               "0777)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.spoil();
    extinfo other(&loop);
    EXPECT_EQ(IFSTAT_NOWINDOW, other.connect(kDevice));
    EXPECT_NE(std::string::npos, other.connectFailure().find(c.cause))
        << other.connectFailure();
    EXPECT_FALSE(other.isConnected());
  }
  setenv("ZARN_RUNTIME_DIR", original.c_str(), 1);
  chmod(original.c_str(), 0700);
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  EXPECT_EQ("", link.connectFailure());
}

TEST_F(LinkOverSocketTest, OverLongSocketPathGivesFive) {
  std::string deep = rundir.path();
  while (deep.size() < 120) {
    deep += "/dddddddddddddddddddd";
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
  }
  setenv("ZARN_RUNTIME_DIR", deep.c_str(), 1);
  EXPECT_EQ(IFSTAT_NOWINDOW, link.connect(kDevice));
  EXPECT_NE(std::string::npos,
            link.connectFailure().find("longer than a socket address holds"))
      << link.connectFailure();
  setenv("ZARN_RUNTIME_DIR", rundir.path().c_str(), 1);
}

TEST_F(LinkOverSocketTest, SecondDriverIsToldTheDeviceIdIsInUse) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  extinfo second(&loop);
  std::vector<Notification> secondNotes;
  second.setCallback([&](extinfo* l, int value, const char* text) {
    secondNotes.push_back({l->iStatus, value, text});
  });
  EXPECT_EQ(IFSTAT_OK, second.connect(kDevice));
  EXPECT_EQ(IFSTAT_DEVICEIDINUSE, second.iStatus);
  ASSERT_EQ(1u, secondNotes.size());  // told once for the whole handshake
  EXPECT_EQ(IFSTAT_DEVICEIDINUSE, secondNotes[0].status);
  EXPECT_EQ(kDevice, secondNotes[0].value);
  // Only the device's driver writes.
  link.writeSlot(9, "first");
  second.writeSlot(9, "second");
  EXPECT_EQ("first\n", Get(9));
}

TEST_F(LinkOverSocketTest, ModeRequestsAreAnsweredAsTxRx) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  struct Case {
    const char* mode;
    const char* answer;
    int status;
    int exitCode;  // infoctl's: a refusal is 1
  };
  const Case cases[] = {{"rxonly", "0\n", IFSTAT_GOTXRX, 1},
                        {"txrx", "1\n", IFSTAT_GOTXRX, 0},
                        {"inquire", "1\n", IFSTAT_INQTXRX, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    notes.clear();
    ProcessResult r = Infoctl({"mode", std::to_string(kDevice), c.mode});
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_EQ(c.answer, r.out);
    EXPECT_EQ(c.status, link.iStatus);
    EXPECT_EQ((std::vector<Notification>{
                  {c.status, 0, notes.empty() ? "" : notes[0].text}}),
              notes);
  }
}

TEST_F(LinkOverSocketTest, SlotChangeRequestsReachTheCallbackAndAreCounted) {
  int tx = 0, rx = 0;
  link.setCounters(&tx, &rx);
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  ProcessResult r = Infoctl({"set", std::to_string(kDevice), "141", "1"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  r = Infoctl({"set", std::to_string(kDevice), "4095", "%s 100%"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ((std::vector<Notification>{{IFSTAT_OK, 141, "1"},
                                       {IFSTAT_OK, 4095, "%s 100%"}}),
            notes);
  EXPECT_EQ(2, rx);
  EXPECT_EQ(0, tx);
  // A request changes nothing by itself: the driver decides.
  EXPECT_EQ("\n", Get(141));
}

TEST_F(LinkOverSocketTest, UpdateSlotSuppressesEqualTextsAndCountsWrites) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  EXPECT_TRUE(link.updateSlot(20, "a"));
  EXPECT_FALSE(link.updateSlot(20, "a"));
  EXPECT_TRUE(link.updateSlot(20, "b"));
  EXPECT_EQ(2, link.writeCount());
  EXPECT_EQ("b\n", Get(20));
  char buffer[256];
  link.readSlot(20, buffer);
  EXPECT_STREQ("b", buffer);
}

TEST_F(LinkOverSocketTest, NegativeSlotIsWrittenAsItsAbsoluteValue) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  RawPeer watcher(kDevice);
  InfoMessage result;
  ASSERT_TRUE(watcher.request({INFO_WATCH, 0, 0, 0, ""}, &result));
  EXPECT_TRUE(link.updateSlot(-12, "neg"));
  InfoMessage written;
  ASSERT_TRUE(watcher.receive(&written));
  EXPECT_EQ(INFO_SLOTWRITTEN, written.message);
  EXPECT_EQ(12, written.wParam);
  EXPECT_EQ(WVN_WRITESLOTNEG, written.lParam);
  EXPECT_EQ("neg", written.text);
  EXPECT_EQ("neg\n", Get(12));
}

TEST_F(LinkOverSocketTest, TextsArriveUnchangedAndLongOnesCut) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  link.writeSlot(30, "%s %d %n");
  EXPECT_EQ("%s %d %n\n", Get(30));
  const std::string longText(600, 'x');
  EXPECT_TRUE(link.updateSlot(31, longText.c_str()));
  EXPECT_FALSE(link.updateSlot(31, longText.c_str()));
  EXPECT_EQ(std::string(255, 'x') + "\n", Get(31));
}

TEST_F(LinkOverSocketTest, EventsDuringAReadWaitForTheLoop) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  link.writeSlot(5, "five");
  RawPeer client(kDevice);
  ASSERT_TRUE(client.send({WVN_SLOTCHANGE, 77, 205, 0, "x"}));
  // The infodriver handles one client's messages in order: once this is
  // answered, the request above is on its way to the link.
  InfoMessage result;
  ASSERT_TRUE(client.request({INFO_STATUS, 0, 0, 0, ""}, &result));
  char buffer[256];
  link.readSlot(5, buffer);
  EXPECT_STREQ("five", buffer);
  EXPECT_TRUE(notes.empty());
  ASSERT_TRUE(
      WaitUntil([&] { return !notes.empty(); }, 10000, [&] { Pump(); }));
  EXPECT_EQ((std::vector<Notification>{{IFSTAT_OK, 205, "x"}}), notes);
  // The client hears the link's answer.
  InfoMessage answer;
  ASSERT_TRUE(client.receive(&answer));
  EXPECT_EQ(INFO_RESULT, answer.message);
  EXPECT_EQ(77u, answer.sequence);
  EXPECT_EQ(1, answer.wParam);
}

TEST_F(LinkOverSocketTest, LinkDisconnectFreesTheDevice) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  link.disconnect();
  ProcessResult ping = Infoctl({"ping", std::to_string(kDevice)});
  EXPECT_EQ("infodriver 42: no driver connected\n", ping.out);
  ProcessResult set = Infoctl({"set", std::to_string(kDevice), "1", "x"});
  EXPECT_EQ(4, set.exitCode);  // no driver
  extinfo next(&loop);
  EXPECT_EQ(IFSTAT_OK, next.connect(kDevice));
  EXPECT_EQ(IFSTAT_OK, next.iStatus);
}

TEST_F(LinkOverSocketTest, InfodriverStopIsReportedOnce) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  EXPECT_EQ(0, infodriver.stop(SIGTERM));
  ASSERT_TRUE(
      WaitUntil([&] { return !notes.empty(); }, 10000, [&] { Pump(); }));
  for (int i = 0; i < 20; ++i) Pump();
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ(IFSTAT_DISCONNECTED, notes[0].status);
  EXPECT_EQ(IFSTAT_DISCONNECTED, link.iStatus);
  EXPECT_FALSE(link.isConnected());
  struct stat st;
  EXPECT_NE(0, stat((rundir.path() + "/infodriver-42.sock").c_str(), &st));
}

TEST_F(LinkOverSocketTest, InfodriverCrashCountsAsDisconnect) {
  ASSERT_EQ(IFSTAT_OK, link.connect(kDevice));
  infodriver.stop(SIGKILL);
  ASSERT_TRUE(
      WaitUntil([&] { return !notes.empty(); }, 10000, [&] { Pump(); }));
  for (int i = 0; i < 20; ++i) Pump();
  EXPECT_EQ(1u, notes.size());
  EXPECT_EQ(IFSTAT_DISCONNECTED, link.iStatus);
  // The link carries on without an infodriver.
  char buffer[256] = "junk";
  link.readSlot(1, buffer);
  EXPECT_STREQ("", buffer);
}

// An infodriver that misbehaves: it listens where the real one would and
// answers the link from a thread through |script|, which may send anything.
class FakeInfodriver {
 public:
  using Script = std::function<void(int fd, const InfoMessage& m)>;

  FakeInfodriver(const std::string& dir, int device, Script script)
      : script_(std::move(script)) {
    const std::string path =
        dir + "/infodriver-" + std::to_string(device) + ".sock";
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    listen(listenFd_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeInfodriver() {
    stop_ = true;
    thread_.join();
    if (peer_ >= 0) close(peer_);
    close(listenFd_);
  }
  // Ends the connection from the script.
  void Hangup() { shutdown(peer_, SHUT_RDWR); }

  static void Raw(int fd, const std::string& bytes) {
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  static void Send(int fd, const InfoMessage& m) {
    std::string wire;
    ASSERT_TRUE(EncodeMessage(m, &wire));
    Raw(fd, wire);
  }
  static void Answer(int fd, const InfoMessage& m, int64_t result,
                     const std::string& text = "") {
    Send(fd, {INFO_RESULT, m.sequence, result, m.message, text});
  }

 private:
  void Serve() {
    while (!stop_ && peer_ < 0) {
      struct pollfd p = {listenFd_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) peer_ = accept(listenFd_, nullptr, nullptr);
    }
    while (!stop_) {
      InfoMessage m;
      if (ReceiveInfoMessage(peer_, &m, 20) == InfoReceive::kMessage)
        script_(peer_, m);
    }
  }

  Script script_;
  int listenFd_ = -1;
  int peer_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(HostileInfodriverTest, LinkDropsWhatItCannotTrustAndOverrunsNothing) {
  TempRuntimeDir rundir;
  FakeInfodriver* self = nullptr;
  FakeInfodriver fake(rundir.path(), 5, [&](int fd, const InfoMessage& m) {
    std::string oversized;
    EncodeMessage({WVN_SLOTCHANGE, 0, 1, 0, ""}, &oversized);
    switch (m.message) {
      case WVN_DISCOVER:
        FakeInfodriver::Raw(fd, "xx");
        FakeInfodriver::Raw(fd, oversized + std::string("a\0b", 3));
        FakeInfodriver::Answer(fd, {m.message, m.sequence + 100, 0, 0, ""}, 1);
        FakeInfodriver::Send(fd, {4711, 0, 0, 0, "unknown"});
        FakeInfodriver::Send(fd, {WVN_DISCOVERREPLY, 0, 1234, 0, ""});
        FakeInfodriver::Answer(fd, m, 1);
        break;
      case WVN_ANNOUNCE:
        FakeInfodriver::Send(fd, {WVN_HELLOACK, 0, 1, 0, ""});
        FakeInfodriver::Answer(fd, m, 1);
        break;
      case INFO_DUMP:
        // A count that does not match what came: the link keeps no copy
        // and asks for every read, which the script below answers.
        FakeInfodriver::Answer(fd, m, 1);
        break;
      case WVN_READSLOT:
        if (m.wParam == 5) {
          // A slot change no int can hold, then a text longer than a slot.
          FakeInfodriver::Send(fd, {WVN_SLOTCHANGE, 0, 1LL << 40, 0, "big"});
          FakeInfodriver::Answer(fd, m, 1, std::string(1000, 'r'));
        } else if (m.wParam == 6) {
          FakeInfodriver::Raw(fd, oversized + std::string(2000, 'o'));
          FakeInfodriver::Send(fd, {WVN_SLOTCHANGE, 0, 7, 0, "ok"});
          FakeInfodriver::Answer(fd, m, 1, "six");
        } else {
          self->Hangup();  // gone in the middle of a read
        }
        break;
      default:
        break;
    }
  });
  self = &fake;

  EventLoop loop;
  extinfo link(&loop);
  std::vector<Notification> notes;
  link.setCallback([&](extinfo* l, int value, const char* text) {
    notes.push_back({l->iStatus, value, text});
  });
  ASSERT_EQ(IFSTAT_OK, link.connect(5));
  EXPECT_EQ(1234, link.hInfodriverWnd);
  EXPECT_TRUE(notes.empty());

  char buffer[256];
  link.readSlot(5, buffer);
  EXPECT_EQ(std::string(255, 'r'), buffer);
  link.readSlot(6, buffer);
  EXPECT_STREQ("six", buffer);
  loop.RunPosted();
  EXPECT_EQ((std::vector<Notification>{{IFSTAT_OK, 7, "ok"}}), notes);
  EXPECT_EQ(1, link.receiveCount());

  notes.clear();
  std::strcpy(buffer, "junk");
  link.readSlot(8, buffer);
  EXPECT_STREQ("", buffer);
  ASSERT_TRUE(WaitUntil([&] { return !notes.empty(); }, 10000,
                        [&] { loop.RunOnce(2); }));
  EXPECT_EQ(
      (std::vector<Notification>{{IFSTAT_DISCONNECTED, 0, notes[0].text}}),
      notes);
  EXPECT_FALSE(link.isConnected());
}

}  // namespace
