#include "infodriver/infodriver_routing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "infodriver/extinfo.h"
#include "infodriver/testing/in_memory_infodriver.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "platform/event_loop.h"

namespace {

// The application's side, faked: a unit table where some positions hold a
// unit, a status panel and a main window, all recording what happens to
// them in one ordered log.
class RoutingTest : public ::testing::Test {
 protected:
  RoutingTest() {
    debugMode = 1;
    TheDebugList().clear();
    link().setEventLoop(&loop);
    link().setCallback(InfodriverNotify);
    InfodriverRouting routing;
    routing.unitSlotChange = [this](int index, int relative, const char* text) {
      if (!configured[index]) return false;
      events.push_back("unit " + std::to_string(index) + " slot " +
                       std::to_string(relative) + " " + text);
      return true;
    };
    routing.updateStatus = [this] { events.push_back("status"); };
    routing.destroyMainWindow = [this] { events.push_back("destroy"); };
    routing.link = &link();
    SetInfodriverRouting(routing);
    EXPECT_EQ(IFSTAT_OK, infodriver.attach(link()));
  }
  ~RoutingTest() override {
    SetInfodriverRouting({});
    link().setCallback(nullptr);
  }

  static extinfo& link() { return TheInfodriverLink(); }

  EventLoop loop;
  InMemoryInfodriver infodriver{7};
  bool configured[40] = {};
  std::vector<std::string> events;
};

struct SlotCase {
  int slot;
  std::vector<std::string> events;                 // after "status"
  std::vector<InMemoryInfodriver::Write> written;  // through the link
};

TEST_F(RoutingTest, SlotChangesReachTheirUnitOrAreAnsweredHere) {
  configured[0] = configured[1] = configured[39] = true;
  const SlotCase cases[] = {
      {141, {"unit 1 slot 41 T"}, {}},
      {100, {"unit 1 slot 0 T"}, {}},
      {0, {"unit 0 slot 0 T"}, {}},
      {3999, {"unit 39 slot 99 T"}, {}},
      {250, {}, {}},  // unit 3 is not configured: dropped silently
      {4094, {}, {{4095, WVN_WRITESLOT, "T"}}},
      {4095, {}, {{4094, WVN_WRITESLOT, "T"}}},
      {4000, {}, {{4000, WVN_WRITESLOT, "T"}}},
      {4093, {}, {{4093, WVN_WRITESLOT, "T"}}},
      {4096, {}, {{4096, WVN_WRITESLOT, "T"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    events.clear();
    infodriver.clearWrites();
    TheDebugList().clear();
    const int writesBefore = link().writeCount();
    EXPECT_EQ(1, infodriver.deliverSlotChange(c.slot, "T"));
    std::vector<std::string> expected{"status"};
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    EXPECT_EQ(expected, events);
    EXPECT_EQ(c.written, infodriver.writes());
    EXPECT_EQ(writesBefore + static_cast<int>(c.written.size()),
              link().writeCount());
    EXPECT_TRUE(TheDebugList().lines().empty());
  }
}

TEST_F(RoutingTest, MirrorSlotsNeverTakeTheirOwnRequest) {
  EXPECT_EQ(1, infodriver.deliverSlotChange(4094, "a"));
  EXPECT_EQ(1, infodriver.deliverSlotChange(4095, "b"));
  EXPECT_EQ("b", infodriver.slot(4094));
  EXPECT_EQ("a", infodriver.slot(4095));
}

TEST_F(RoutingTest, DispatchReportsWhatItLeftToTheCaller) {
  configured[2] = true;
  EXPECT_EQ(1, DispatchSlotChange(7, 205, "x"));
  EXPECT_EQ(1, DispatchSlotChange(7, 305, "x"));  // no unit: still taken
  EXPECT_EQ(1, DispatchSlotChange(7, 4094, "x"));
  EXPECT_EQ(0, DispatchSlotChange(7, 4000, "x"));
  EXPECT_EQ(0, DispatchSlotChange(7, -1, "x"));
  EXPECT_EQ(0, DispatchSlotChange(7, 5000, "x"));
  EXPECT_EQ((std::vector<std::string>{"unit 2 slot 5 x"}), events);
}

struct ModeCase {
  const char* name;
  uint32_t message;
  std::string line;
};

TEST_F(RoutingTest, ModeAndOtherEventsLeaveTheirLine) {
  const ModeCase cases[] = {
      {"rxonly", WVN_REQDEVGORXONLY,
       "Infodriver 7 received request to go TXRX"},
      {"txrx", WVN_REQDEVGOTXRX, "Infodriver 7 received request to go TXRX"},
      {"inquiry", WVN_INQDEVGOTXRX, "iStatus=8"},
      {"id in use", WVN_DEVICEIDINUSE, "iStatus=2190"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TheDebugList().clear();
    infodriver.deliver(c.message, 7, 0, "");
    EXPECT_EQ(std::vector<std::string>{c.line}, TheDebugList().lines());
  }
  EXPECT_TRUE(events.empty());
}

TEST_F(RoutingTest, LinesFollowDebugMode) {
  debugMode = 0;
  infodriver.deliverReqDevGoTxRx();
  debugMode = 1;
  EXPECT_TRUE(TheDebugList().lines().empty());
}

TEST_F(RoutingTest, InfodriverDisconnectDestroysTheMainWindow) {
  infodriver.deliverInfoDisconnect();
  EXPECT_EQ(std::vector<std::string>{"Infodriver 7 has disconnected"},
            TheDebugList().lines());
  EXPECT_EQ(std::vector<std::string>{"destroy"}, events);
}

TEST_F(RoutingTest, LostConnectionAlsoEndsTheDriver) {
  infodriver.dropConnection();
  loop.RunPosted();
  EXPECT_EQ(std::vector<std::string>{"destroy"}, events);
}

// Each hook is optional on its own: a missing one is skipped, and the
// others and the lines still happen.
TEST_F(RoutingTest, AMissingHookIsSkippedAndTheRestStillHappens) {
  configured[1] = true;
  // With no hooks and no link a request is still answered and nothing is
  // touched.
  SetInfodriverRouting({});
  EXPECT_EQ(1, infodriver.deliverSlotChange(141, "x"));
  EXPECT_EQ(1, infodriver.deliverSlotChange(4094, "y"));
  EXPECT_TRUE(infodriver.writes().empty());
  EXPECT_TRUE(events.empty());

  InfodriverRouting statusOnly;
  statusOnly.updateStatus = [this] { events.push_back("status"); };
  statusOnly.link = &link();
  SetInfodriverRouting(statusOnly);
  EXPECT_EQ(1, infodriver.deliverSlotChange(141, "x"));
  EXPECT_EQ(1, infodriver.deliverSlotChange(4094, "y"));
  EXPECT_EQ("y", infodriver.slot(4095));
  infodriver.deliverInfoDisconnect();
  EXPECT_EQ((std::vector<std::string>{"status", "status"}), events);
  EXPECT_EQ(std::vector<std::string>{"Infodriver 7 has disconnected"},
            TheDebugList().lines());
}

}  // namespace
