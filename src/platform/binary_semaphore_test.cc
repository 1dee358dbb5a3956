#include "platform/binary_semaphore.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

TEST(BinarySemaphoreTest, CountsToOneAndRefusesAReleaseBeyondIt) {
  BinarySemaphore s;
  EXPECT_TRUE(s.wait(0));
  EXPECT_FALSE(s.wait(0));
  EXPECT_TRUE(s.release());
  EXPECT_FALSE(s.release());  // already at its maximum count
  EXPECT_TRUE(s.wait(-1));
  // Another thread may give it back.
  std::thread other([&s] { EXPECT_TRUE(s.release()); });
  other.join();
  EXPECT_TRUE(s.wait(0));
}

TEST(SemaphoreHolderTest, GivesTheSemaphoreBackHoweverTheScopeEnds) {
  BinarySemaphore s;
  {
    SemaphoreHolder holder(&s);
    EXPECT_TRUE(holder.held());
    EXPECT_FALSE(s.wait(0));
  }
  EXPECT_TRUE(s.wait(0)) << "not given back at the end of the scope";
  ASSERT_TRUE(s.release());

  EXPECT_THROW(
      {
        SemaphoreHolder holder(&s);
        throw std::runtime_error("handler failed");
      },
      std::runtime_error);
  EXPECT_TRUE(s.wait(0)) << "not given back when an exception left the scope";
  ASSERT_TRUE(s.release());
}

TEST(SemaphoreHolderTest, AnEarlyReleaseGivesItBackOnce) {
  BinarySemaphore s;
  {
    SemaphoreHolder holder(&s);
    EXPECT_TRUE(holder.release());
    EXPECT_FALSE(holder.held());
    EXPECT_FALSE(holder.release());  // nothing left to give back
    // Taken by someone else after the early release: the end of the scope
    // must not give their hold away.
    EXPECT_TRUE(s.wait(0));
  }
  EXPECT_FALSE(s.wait(0));
  EXPECT_TRUE(s.release());
}

TEST(SemaphoreHolderTest, AFailedWaitOrAMissingSemaphoreIsNotHeld) {
  BinarySemaphore s;
  ASSERT_TRUE(s.wait(0));
  {
    SemaphoreHolder holder(&s, 0);
    EXPECT_FALSE(holder.held());
    EXPECT_FALSE(holder.release());
  }
  // The other owner's hold is untouched.
  EXPECT_FALSE(s.wait(0));
  EXPECT_TRUE(s.release());

  SemaphoreHolder none(nullptr);
  EXPECT_FALSE(none.held());
  EXPECT_FALSE(none.release());
}

}  // namespace
