// The soak's infodriver client against the real infodriver: the soak's
// verdict on the slots rests on what the client reads back.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <string>

#include "soak/mdu_traffic.h"
#include "support/infodriver_process.h"

namespace {

using namespace mdu_traffic;

constexpr int kDevice = 71;

TEST(InfoClient, RequestKeepsEarlierEventsAndDumpReadsEverySlot) {
  TempRuntimeDir rundir;
  InfodriverProcess infodriver(INFODRIVER_BIN, kDevice);
  ASSERT_FALSE(infodriver.failed());
  RawPeer driver(kDevice);
  ASSERT_TRUE(driver.becomeDriver(kDevice));
  InfoClient client;
  ASSERT_TRUE(client.Connect(kDevice));
  ASSERT_TRUE(client.Request(INFO_WATCH, 0, "", 10000));

  InfoMessage written;
  ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, 5, 0, "five"}, &written));
  ASSERT_TRUE(driver.request({WVN_WRITESLOT, 0, 4095, 0, "last"}, &written));
  // The writes' events come before the status result and wait, in order.
  std::optional<InfoMessage> status = client.Request(INFO_STATUS, 0, "", 10000);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->wParam, 1) << "a driver is connected";
  for (const auto& [slot, text] :
       std::map<int64_t, std::string>{{5, "five"}, {4095, "last"}}) {
    std::optional<InfoMessage> event = client.Next(0);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->message, static_cast<uint32_t>(INFO_SLOTWRITTEN));
    EXPECT_EQ(event->wParam, slot);
    EXPECT_EQ(event->text, text);
  }
  EXPECT_FALSE(client.Next(0)) << "nothing else waits";

  std::optional<std::map<int, std::string>> slots = client.Dump(10000);
  ASSERT_TRUE(slots);
  EXPECT_EQ(*slots, (std::map<int, std::string>{{5, "five"}, {4095, "last"}}));

  // Once the infodriver has gone, a request ends without a result.
  EXPECT_EQ(0, infodriver.stop(SIGTERM));
  EXPECT_FALSE(client.Request(INFO_STATUS, 0, "", 10000));
  EXPECT_FALSE(client.connected());
}

}  // namespace
