#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "infodriver/inf_buffer.h"

namespace {

void Empty(inf_buffer& buffer) {
  while (eiData* d = buffer.getData()) delete d;
}

// The handler fires once per arming: for the first record after the buffer
// was found empty, never for the records behind it.
TEST(InfBufferArm, HandlerFiresForTheRecordThatArmsTheBufferOnly) {
  inf_buffer buffer;
  int armed = 0;
  buffer.setArmHandler([&] { ++armed; });
  buffer.addData(1, "a");
  buffer.addData(2, "b");
  EXPECT_EQ(armed, 1);
  EXPECT_FALSE(buffer.disarmIfEmpty());  // records wait: stays armed
  buffer.addData(3, "c");
  EXPECT_EQ(armed, 1);

  Empty(buffer);
  buffer.addData(4, "d");  // emptied but not yet found empty by the drain
  EXPECT_EQ(armed, 1);
  Empty(buffer);
  EXPECT_TRUE(buffer.disarmIfEmpty());
  buffer.addData(5, "e");
  EXPECT_EQ(armed, 2);

  EXPECT_FALSE(buffer.addData(6, nullptr));  // refused: arms nothing
  Empty(buffer);
  EXPECT_TRUE(buffer.disarmIfEmpty());
  EXPECT_FALSE(buffer.addData(6, nullptr));
  EXPECT_EQ(armed, 2);
  buffer.setArmHandler(nullptr);
  buffer.addData(7, "g");
  EXPECT_EQ(armed, 2);
  Empty(buffer);
}

// Whatever the interleaving of writers on other threads with the drain,
// every record is either drained or has armed the buffer after the drain
// last found it empty: none is left behind with the drain asleep.
TEST(InfBufferArm, NoRecordIsLeftWithTheDrainAsleep) {
  inf_buffer buffer;
  std::atomic<int> arms{0};
  buffer.setArmHandler([&] { ++arms; });
  constexpr int kWriters = 3, kEach = 2000;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&buffer, w] {
      for (int i = 0; i < kEach; ++i) buffer.addData(w, "x");
    });
  int drained = 0;
  bool asleep = false;
  int armsSeen = 0;
  while (drained < kWriters * kEach) {
    if (asleep) {
      if (arms.load() == armsSeen) {
        std::this_thread::yield();
        continue;
      }
      asleep = false;  // the arm handler woke the drain
    }
    while (buffer.count() > 0) {
      delete buffer.getData();
      ++drained;
    }
    armsSeen = arms.load();
    asleep = buffer.disarmIfEmpty();
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(drained, kWriters * kEach);
  EXPECT_TRUE(buffer.disarmIfEmpty());
}

TEST(InfBufferArm, LockNotHadMeansKeepDraining) {
  inf_buffer buffer;
  ASSERT_TRUE(buffer.lockForTest().wait(0));
  EXPECT_FALSE(buffer.disarmIfEmpty());  // after 100 ms, not "empty"
  buffer.lockForTest().release();
  EXPECT_TRUE(buffer.disarmIfEmpty());
}

}  // namespace
