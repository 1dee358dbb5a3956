// The link's own copy of the slot table, kept when it is the infodriver's
// only writer: reads answered without a round trip, and never a stale text.
#include <gtest/gtest.h>

#include <string>

#include "infodriver/extinfo.h"
#include "infodriver/testing/in_memory_infodriver.h"
#include "platform/event_loop.h"

namespace {

class SlotCopyTest : public ::testing::Test {
 protected:
  SlotCopyTest() : link(&loop) { infodriver.setSoleWriter(true); }

  std::string Read(int slot) {
    char buffer[512];
    link.readSlot(slot, buffer);
    return buffer;
  }

  EventLoop loop;
  InMemoryInfodriver infodriver{7};
  extinfo link;
};

TEST_F(SlotCopyTest, ReadsAfterTheFetchCostNoRoundTrip) {
  infodriver.setSlot(5, "left by an earlier driver");
  infodriver.setSlot(4095, "last");
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  EXPECT_EQ(1, infodriver.dumpCount());

  EXPECT_EQ("left by an earlier driver", Read(5));
  EXPECT_EQ("last", Read(4095));
  EXPECT_EQ("", Read(6));
  EXPECT_EQ("", Read(4096));  // out of range
  EXPECT_EQ(0, infodriver.readCount());
}

TEST_F(SlotCopyTest, WritesKeepTheCopyCurrent) {
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  EXPECT_TRUE(link.updateSlot(101, "on"));
  EXPECT_FALSE(link.updateSlot(101, "on"));  // unchanged: not written again
  EXPECT_TRUE(link.updateSlot(101, "off"));
  EXPECT_EQ(2u, infodriver.writes().size());
  EXPECT_EQ("off", infodriver.slot(101));

  // A negative slot writes its absolute value; the copy follows.
  EXPECT_TRUE(link.updateSlot(-202, "neg"));
  EXPECT_EQ("neg", Read(202));
  EXPECT_FALSE(link.updateSlot(-202, "neg"));

  // Long texts are kept as the slot holds them, so an unchanged long value
  // is not rewritten.
  const std::string longText(300, 'x');
  EXPECT_TRUE(link.updateSlot(7, longText.c_str()));
  EXPECT_EQ(std::string(kSlotTextMax, 'x'), Read(7));
  EXPECT_FALSE(link.updateSlot(7, longText.c_str()));
  EXPECT_EQ(std::string(kSlotTextMax, 'x'), infodriver.slot(7));

  link.writeSlot(8, "forced");
  EXPECT_EQ("forced", Read(8));
  EXPECT_EQ(0, infodriver.readCount());
}

TEST_F(SlotCopyTest, AReconnectFetchesAfresh) {
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  link.updateSlot(10, "before");
  link.disconnect();
  infodriver.setSlot(10, "changed while away");
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  EXPECT_EQ(2, infodriver.dumpCount());
  EXPECT_EQ("changed while away", Read(10));
}

TEST_F(SlotCopyTest, ALostConnectionDropsTheCopy) {
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  link.updateSlot(10, "written");
  infodriver.dropConnection();
  loop.RunOnce(0);
  EXPECT_EQ("", Read(10));  // nobody to ask, and nothing remembered
}

TEST_F(SlotCopyTest, AnotherDriverOnTheDeviceMeansAskingAgain) {
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  infodriver.setSlot(10, "from the other driver");
  infodriver.deliverDeviceIdInUse(7);
  EXPECT_EQ("from the other driver", Read(10));
  EXPECT_EQ(1, infodriver.readCount());
}

TEST_F(SlotCopyTest, HandshakeRefusedMeansNoCopy) {
  infodriver.setDeviceIdInUse(true);
  infodriver.attach(link);
  EXPECT_EQ(0, infodriver.dumpCount());
}

TEST(SlotCopyOff, WithoutSoleWriterEveryReadAsks) {
  EventLoop loop;
  InMemoryInfodriver infodriver(7);
  extinfo link(&loop);
  ASSERT_EQ(IFSTAT_OK, infodriver.attach(link));
  EXPECT_EQ(0, infodriver.dumpCount());
  link.updateSlot(3, "a");
  infodriver.setSlot(3, "set behind the link's back");
  char buffer[512];
  link.readSlot(3, buffer);
  EXPECT_STREQ("set behind the link's back", buffer);
  EXPECT_EQ(2, infodriver.readCount());
}

}  // namespace
