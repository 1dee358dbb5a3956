#include "platform/instance_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"

namespace {

std::string UniqueName(const char* tag) {
  return std::string("qor_mdu test lock ") + tag + " " +
         std::to_string(getpid());
}

TEST(InstanceLock, SecondHolderOfTheSameNameIsRefused) {
  InstanceLock first, second, other;
  EXPECT_EQ(first.Acquire(UniqueName("a")), InstanceLock::kAcquired);
  EXPECT_EQ(second.Acquire(UniqueName("a")), InstanceLock::kAlreadyHeld);
  EXPECT_EQ(other.Acquire(UniqueName("b")), InstanceLock::kAcquired);
  first.Release();
  EXPECT_EQ(second.Acquire(UniqueName("a")), InstanceLock::kAcquired);
}

TEST(InstanceLock, KernelReleasesTheLockWhenTheHolderDies) {
  const std::string name = UniqueName("dies");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceLock lock;
    char c = lock.Acquire(name) == InstanceLock::kAcquired ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    pause();  // killed below without any clean-up
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  InstanceLock mine;
  EXPECT_EQ(mine.Acquire(name), InstanceLock::kAlreadyHeld);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(mine.Acquire(name), InstanceLock::kAcquired);
  close(ready[0]);
  close(ready[1]);
}

TEST(InstanceLock, OverlongNameIsAnErrorNotATruncatedName) {
  InstanceLock lock;
  EXPECT_EQ(lock.Acquire(std::string(200, 'x')), InstanceLock::kError);
  EXPECT_FALSE(lock.held());
}

}  // namespace
