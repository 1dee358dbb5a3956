#include "infodriver/extinfo.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "infodriver/testing/in_memory_infodriver.h"
#include "logging/log_file.h"
#include "platform/clock.h"
#include "platform/control_deadline.h"
#include "platform/event_loop.h"

namespace {

// Points the process's log file at a fresh directory and reads it back.
class TempLog {
 public:
  TempLog() {
    char pattern[] = "/tmp/extinfo_log_XXXXXX";
    dir_ = mkdtemp(pattern);
    LogFile::resetDirectoryCreatedForTest();
    TheLogFile().initWithDirectory(7, "qor_mdu", true, true, dir_);
  }
  ~TempLog() {
    for (const std::string& f : Files()) unlink((dir_ + "/" + f).c_str());
    rmdir(dir_.c_str());
  }
  std::string Text() const {
    std::string all;
    for (const std::string& f : Files()) {
      std::ifstream in(dir_ + "/" + f);
      std::stringstream s;
      s << in.rdbuf();
      all += s.str();
    }
    return all;
  }

 private:
  std::vector<std::string> Files() const {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') out.push_back(e->d_name);
      closedir(d);
    }
    return out;
  }
  std::string dir_;
};

struct Notification {
  int status;
  int value;
  std::string text;
  bool operator==(const Notification&) const = default;
};

class ExtinfoTest : public ::testing::Test {
 protected:
  ExtinfoTest() : link(&loop) {
    link.setCallback([this](extinfo* l, int value, const char* text) {
      EXPECT_EQ(&link, l);
      notes.push_back({l->iStatus, value, text ? text : "(null)"});
      if (onNotify) onNotify();
    });
  }

  void Connect() { ASSERT_EQ(IFSTAT_OK, infodriver.attach(link)); }

  std::vector<uint32_t> SentMessages() const {
    std::vector<uint32_t> out;
    for (const auto& m : infodriver.received()) out.push_back(m.message);
    return out;
  }

  EventLoop loop;
  InMemoryInfodriver infodriver{7};
  extinfo link;
  std::vector<Notification> notes;
  std::function<void()> onNotify;
};

TEST_F(ExtinfoTest, ConstructedLinkIsDisconnectedTxRx) {
  EXPECT_EQ(IFSTAT_DISCONNECTED, link.iStatus);
  EXPECT_EQ(IFMODE_TXRX, link.iMode);
  EXPECT_EQ(0, link.iDevice);
  EXPECT_EQ(0, link.hInfodriverWnd);
  EXPECT_EQ(0, link.hLinkWnd);
  EXPECT_EQ(0, link.bHelloAck);
}

TEST_F(ExtinfoTest, HandshakeDiscoversAnnouncesAndSkipsHelloOnceAcked) {
  Connect();
  EXPECT_EQ(IFSTAT_OK, link.iStatus);
  EXPECT_EQ(7, link.iDevice);
  EXPECT_NE(0, link.hInfodriverWnd);
  EXPECT_NE(0, link.hLinkWnd);
  EXPECT_EQ(1, link.bHelloAck);
  EXPECT_TRUE(infodriver.linkConnected());
  // The acknowledgement came with the announcement, so no HELLO follows.
  EXPECT_EQ((std::vector<uint32_t>{WVN_DISCOVER, WVN_ANNOUNCE}),
            SentMessages());
  const InfoMessage& discover = infodriver.received()[0];
  EXPECT_EQ(7, discover.lParam);
  EXPECT_EQ(link.hLinkWnd & 0xFFFF, discover.wParam);
  EXPECT_TRUE(notes.empty());
}

TEST_F(ExtinfoTest, DiscoverCarriesOnlyTheLow16BitsOfTheDevice) {
  InMemoryInfodriver big(0x10007);
  extinfo other(&loop);
  ASSERT_EQ(IFSTAT_OK, big.attach(other));
  EXPECT_EQ(0x0007, big.received()[0].lParam);
  EXPECT_EQ(0x10007, other.iDevice);
}

struct ConnectCase {
  const char* name;
  std::function<void(InMemoryInfodriver&)> setUp;
  int result;
  int device;  // iDevice afterwards
};

TEST_F(ExtinfoTest, ConnectFailures) {
  const ConnectCase cases[] = {
      {"no infodriver", [](InMemoryInfodriver& i) { i.setReachable(false); },
       IFSTAT_NOWINDOW, 7},
      {"no discover reply",
       [](InMemoryInfodriver& i) { i.setAnswersDiscover(false); },
       IFSTAT_NOWINDOW, 7},
      {"link cannot be set up",
       [](InMemoryInfodriver& i) { i.setSetupFails(true); }, IFSTAT_NOCLASS, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InMemoryInfodriver target(7);
    c.setUp(target);
    extinfo other(&loop);
    EXPECT_EQ(c.result, target.attach(other));
    EXPECT_EQ(c.result, other.iStatus);
    EXPECT_EQ(c.device, other.iDevice);
    EXPECT_EQ(0, other.hInfodriverWnd);
    EXPECT_EQ(0, other.hLinkWnd);
    EXPECT_FALSE(other.isConnected());
    // Writes of a link that never connected go nowhere.
    other.writeSlot(5, "x");
    EXPECT_TRUE(target.writes().empty());
  }
}

TEST_F(ExtinfoTest, DeviceIdInUseDuringHandshakeIsReportedOnce) {
  infodriver.setDeviceIdInUse(true);
  EXPECT_EQ(IFSTAT_OK, infodriver.attach(link));
  EXPECT_EQ(IFSTAT_DEVICEIDINUSE, link.iStatus);
  // No acknowledgement came with the announcement, so HELLO was tried.
  EXPECT_EQ((std::vector<uint32_t>{WVN_DISCOVER, WVN_ANNOUNCE, WVN_HELLO}),
            SentMessages());
  // Refused twice (ANNOUNCE, then HELLO), told once.
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ(IFSTAT_DEVICEIDINUSE, notes[0].status);
  EXPECT_EQ(7, notes[0].value);
}

struct EventCase {
  const char* name;
  uint32_t message;
  int64_t wParam;
  int64_t answer;
  int status;
  int value;
};

TEST_F(ExtinfoTest, EventsSetStatusNotifyOnceAndAreAnswered) {
  Connect();
  const EventCase cases[] = {
      {"go rxonly", WVN_REQDEVGORXONLY, 0, 0, IFSTAT_GOTXRX, 0},
      {"go txrx", WVN_REQDEVGOTXRX, 0, 1, IFSTAT_GOTXRX, 0},
      {"inquire txrx", WVN_INQDEVGOTXRX, 0, 1, IFSTAT_INQTXRX, 0},
      {"device id in use", WVN_DEVICEIDINUSE, 0x12345, 0, IFSTAT_DEVICEIDINUSE,
       0x2345},
      {"slot change", WVN_SLOTCHANGE, 141, 1, IFSTAT_OK, 141},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    notes.clear();
    link.iStatus = -1;
    EXPECT_EQ(c.answer, infodriver.deliver(c.message, c.wParam, 0, "req"));
    EXPECT_EQ(c.status, link.iStatus);
    ASSERT_EQ(1u, notes.size());
    EXPECT_EQ(c.status, notes[0].status);
    EXPECT_EQ(c.value, notes[0].value);
  }
  EXPECT_EQ("req", notes[0].text);  // the requested text of the slot change
}

TEST_F(ExtinfoTest, MessagesThatAreNoEventAreAnsweredWithoutNotify) {
  Connect();
  EXPECT_EQ(0, infodriver.deliver(WVN_TRANSFER, 1, 2, ""));
  EXPECT_EQ(0, infodriver.deliver(4711, 1, 2, "x"));
  // A slot number that fits no int is no request: not counted, not routed.
  EXPECT_EQ(0, infodriver.deliver(WVN_SLOTCHANGE, int64_t{1} << 40, 0, "x"));
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(0, link.receiveCount());
  EXPECT_EQ(IFSTAT_OK, link.iStatus);
}

TEST_F(ExtinfoTest, EverySlotChangeCountsEvenWhenTheHandlerThrows) {
  TempLog log;
  int tx = 100, rx = 200;
  link.setCounters(&tx, &rx);
  Connect();
  EXPECT_EQ(1, infodriver.deliverSlotChange(5, "a"));
  onNotify = [] { throw std::runtime_error("unit failed"); };
  EXPECT_EQ(1, infodriver.deliverSlotChange(4096, "b"));
  EXPECT_EQ(202, rx);
  EXPECT_EQ(100, tx);
  EXPECT_EQ(202, link.receiveCount());
  EXPECT_EQ((std::vector<Notification>{{15, 5, "a"}, {15, 4096, "b"}}), notes);
  EXPECT_NE(std::string::npos, log.Text().find("extinfo::WndProc - failed"));
}

// What the callback makes of a slot change keeps the request's deadline; a
// request already past it is counted, refused and not routed.
TEST_F(ExtinfoTest, ASlotChangeCarriesItsDeadlineOrIsRefusedPastIt) {
  TempLog log;
  Connect();
  int64_t seen = -1;
  onNotify = [&] { seen = CurrentControlDeadlineMs(); };
  const int64_t ahead = TheSystemClock().NowMs() + 60000;
  EXPECT_EQ(1, infodriver.deliver(WVN_SLOTCHANGE, 141, ahead, "1"));
  EXPECT_EQ(ahead, seen);
  EXPECT_EQ(0, CurrentControlDeadlineMs());

  notes.clear();
  const int64_t past = TheSystemClock().NowMs() - 5000;
  EXPECT_EQ(INFO_EXPIRED, infodriver.deliver(WVN_SLOTCHANGE, 141, past, "0"));
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(2, link.receiveCount());
  EXPECT_NE(std::string::npos,
            log.Text().find("Infodriver 7 - slot 141 change to '0' refused - "
                            "its deadline passed 50"))
      << log.Text();
}

TEST_F(ExtinfoTest, UpdateSlotWritesOnlyWhatDiffers) {
  Connect();
  infodriver.setSlot(101, "same");
  EXPECT_FALSE(link.updateSlot(101, "same"));
  EXPECT_TRUE(infodriver.writes().empty());
  EXPECT_EQ(0, link.writeCount());

  EXPECT_TRUE(link.updateSlot(101, "new"));
  EXPECT_EQ(
      (std::vector<InMemoryInfodriver::Write>{{101, WVN_WRITESLOT, "new"}}),
      infodriver.writes());
  EXPECT_EQ(1, link.writeCount());
  EXPECT_EQ("new", infodriver.slot(101));
  EXPECT_EQ(2, infodriver.readCount());

  // An empty text into an empty slot is no change either.
  EXPECT_FALSE(link.updateSlot(102, ""));
  EXPECT_EQ(1, link.writeCount());
}

TEST_F(ExtinfoTest, WriteSlotWritesEvenAnUnchangedText) {
  Connect();
  infodriver.setSlot(7, "x");
  link.writeSlot(7, "x");
  link.writeSlot(7, "x");
  EXPECT_EQ(2u, infodriver.writes().size());
  EXPECT_EQ(2, link.writeCount());
  EXPECT_EQ(0, infodriver.readCount());  // no read before a plain write
}

TEST_F(ExtinfoTest, NegativeSlotsWriteTheirAbsoluteValueWithWriteSlotNeg) {
  Connect();
  EXPECT_TRUE(link.updateSlot(-12, "u"));
  link.writeSlot(-12, "w");
  EXPECT_FALSE(link.updateSlot(-12, "w"));  // compared with slot 12
  EXPECT_EQ((std::vector<InMemoryInfodriver::Write>{
                {12, WVN_WRITESLOTNEG, "u"}, {12, WVN_WRITESLOTNEG, "w"}}),
            infodriver.writes());
  EXPECT_EQ("w", infodriver.slot(12));
}

TEST_F(ExtinfoTest, TextsTravelUnchanged) {
  Connect();
  const char* const texts[] = {"%s", "%d%n%x", "100%", "a\tb\\c", "\"q\";"};
  int slot = 10;
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(link.updateSlot(slot, text));
    EXPECT_EQ(text, infodriver.slot(slot));
    char buffer[256];
    link.readSlot(slot, buffer);
    EXPECT_STREQ(text, buffer);
    ++slot;
  }
}

TEST_F(ExtinfoTest, LongTextsAreCutToWhatASlotHoldsAndNotRewritten) {
  Connect();
  for (size_t length : {255u, 256u, 511u, 512u, 600u, 5000u}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'L');
    const int slot = 300;
    infodriver.setSlot(slot, "");
    infodriver.clearWrites();
    EXPECT_TRUE(link.updateSlot(slot, text.c_str()));
    EXPECT_EQ(text.substr(0, kSlotTextMax), infodriver.slot(slot));
    // The same long value on the next poll is no change.
    EXPECT_FALSE(link.updateSlot(slot, text.c_str()));
    EXPECT_EQ(1u, infodriver.writes().size());
    char buffer[256];
    link.readSlot(slot, buffer);
    EXPECT_EQ(std::min<size_t>(length, 255), std::string(buffer).size());
  }
}

TEST_F(ExtinfoTest, ReadSlotOutOfRangeOrDisconnectedGivesEmptyText) {
  char buffer[256] = "junk";
  link.readSlot(1, buffer);
  EXPECT_STREQ("", buffer);
  Connect();
  infodriver.setSlot(4095, "last");
  for (int slot : {-1, 4096, 1 << 30}) {
    strcpy(buffer, "junk");
    link.readSlot(slot, buffer);
    EXPECT_STREQ("", buffer);
  }
  link.readSlot(4095, buffer);
  EXPECT_STREQ("last", buffer);
}

TEST_F(ExtinfoTest, EventsArrivingDuringAReadAreDeliveredAfterwardsInOrder) {
  Connect();
  infodriver.setSlot(5, "five");
  infodriver.queueSlotChangeBeforeNextAnswer(141, "1");
  infodriver.queueSlotChangeBeforeNextAnswer(4094, "2");
  char buffer[256];
  link.readSlot(5, buffer);
  EXPECT_STREQ("five", buffer);
  EXPECT_TRUE(notes.empty());  // not inside the read

  EXPECT_EQ(1, loop.RunPosted());
  EXPECT_EQ((std::vector<Notification>{{15, 141, "1"}, {15, 4094, "2"}}),
            notes);
  EXPECT_EQ(1, infodriver.answerTo(infodriver.lastDeliveredSequence()));
  EXPECT_EQ(2, link.receiveCount());
}

TEST_F(ExtinfoTest, InfodriverDisconnectIsReportedOnceAndEndsTheConnection) {
  Connect();
  EXPECT_EQ(0, infodriver.deliverInfoDisconnect());
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ(IFSTAT_DISCONNECTED, notes[0].status);
  EXPECT_EQ(0, notes[0].value);
  EXPECT_EQ(IFSTAT_DISCONNECTED, link.iStatus);
  EXPECT_FALSE(link.isConnected());
  // Nothing more reaches the infodriver, not even WVN_DEVDISCONNECT.
  link.writeSlot(3, "late");
  link.disconnect();
  EXPECT_TRUE(infodriver.writes().empty());
  EXPECT_EQ(-1, infodriver.devDisconnectDevice());
  loop.RunPosted();
  EXPECT_EQ(1u, notes.size());
}

TEST_F(ExtinfoTest, LostConnectionCountsAsDisconnect) {
  Connect();
  infodriver.dropConnection();
  loop.RunPosted();
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ(IFSTAT_DISCONNECTED, notes[0].status);
  EXPECT_FALSE(link.isConnected());
}

TEST_F(ExtinfoTest, DisconnectAndDestructionTellTheInfodriver) {
  Connect();
  link.disconnect();
  EXPECT_EQ(7, infodriver.devDisconnectDevice());
  EXPECT_FALSE(infodriver.linkConnected());
  EXPECT_EQ(IFSTAT_DISCONNECTED, link.iStatus);
  EXPECT_EQ(0, link.iDevice);

  InMemoryInfodriver second(9);
  {
    extinfo other(&loop);
    ASSERT_EQ(IFSTAT_OK, second.attach(other));
  }
  EXPECT_EQ(9, second.devDisconnectDevice());
  const InfoMessage& last = second.received().back();
  EXPECT_EQ(WVN_DEVDISCONNECT, last.message);
  EXPECT_EQ(0, last.wParam);
}

TEST_F(ExtinfoTest, LinkCanConnectAgainAfterDisconnect) {
  Connect();
  link.disconnect();
  ASSERT_EQ(IFSTAT_OK, link.connect(7));
  EXPECT_TRUE(link.updateSlot(1, "again"));
  EXPECT_EQ("again", infodriver.slot(1));
}

TEST_F(ExtinfoTest, InfodriverGoingFirstDetachesTheLinkQuietly) {
  extinfo other(&loop);
  int reports = 0;
  other.setCallback([&reports](extinfo*, int, const char*) { ++reports; });
  {
    InMemoryInfodriver shortLived(3);
    ASSERT_EQ(IFSTAT_OK, shortLived.attach(other));
  }
  EXPECT_FALSE(other.isConnected());
  other.writeSlot(1, "x");
  loop.RunPosted();
  EXPECT_EQ(0, reports);
}

}  // namespace
