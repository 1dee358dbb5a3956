#include "platform/event_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/clock.h"

namespace {

TEST(EventLoopTimers, FireAtTheirPeriodsOnAManualClock) {
  ManualClock clock;
  EventLoop loop(&clock);
  std::vector<int> fired;
  loop.SetTimer(1, 1000, [&] { fired.push_back(1); });
  loop.SetTimer(2, 800, [&] { fired.push_back(2); });
  loop.SetTimer(3, 10, [&] { fired.push_back(3); });

  clock.Advance(9);
  EXPECT_EQ(loop.FireDueTimers(), 0);
  clock.Advance(1);
  EXPECT_EQ(loop.FireDueTimers(), 1);
  EXPECT_EQ(fired, std::vector<int>({3}));

  fired.clear();
  clock.Set(800);
  loop.FireDueTimers();  // timer 3 is late: it fires once, not 79 times
  EXPECT_EQ(fired, std::vector<int>({3, 2}));  // in deadline order

  fired.clear();
  clock.Set(1000);
  loop.FireDueTimers();
  EXPECT_EQ(fired, std::vector<int>({3, 1}));
}

TEST(EventLoopTimers, PeriodBelowTheMinimumIsRaised) {
  ManualClock clock;
  EventLoop loop(&clock);
  int ticks = 0;
  loop.SetTimer(1, 0, [&] { ++ticks; });
  EXPECT_EQ(loop.TimerPeriod(1), EventLoop::kMinPeriodMs);
  clock.Advance(5);
  loop.FireDueTimers();
  EXPECT_EQ(ticks, 0);
  clock.Advance(5);
  loop.FireDueTimers();
  EXPECT_EQ(ticks, 1);
}

TEST(EventLoopTimers, SetTimerAgainRestartsAndKillStops) {
  ManualClock clock;
  EventLoop loop(&clock);
  int a = 0, b = 0;
  loop.SetTimer(7, 100, [&] { ++a; });
  clock.Advance(90);
  loop.SetTimer(7, 100, [&] { ++b; });  // replaces the handler, restarts
  clock.Advance(20);
  loop.FireDueTimers();
  EXPECT_EQ(a + b, 0);
  clock.Advance(80);
  loop.FireDueTimers();
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  loop.KillTimer(7);
  clock.Advance(1000);
  EXPECT_EQ(loop.FireDueTimers(), 0);
  EXPECT_FALSE(loop.HasTimer(7));
}

TEST(EventLoopTimers, HandlerMayKillOtherTimersDueInTheSamePass) {
  ManualClock clock;
  EventLoop loop(&clock);
  int second = 0;
  loop.SetTimer(1, 100, [&] { loop.KillTimer(2); });
  loop.SetTimer(2, 100, [&] { ++second; });
  clock.Advance(100);
  loop.FireDueTimers();
  EXPECT_EQ(second, 0);
}

TEST(EventLoopTimers, OneShotFiresOnceAndCanBeCancelled) {
  ManualClock clock;
  EventLoop loop(&clock);
  int fired = 0, cancelled = 0;
  loop.AddOneShot(50, [&] { ++fired; });
  int64_t id = loop.AddOneShot(50, [&] { ++cancelled; });
  loop.CancelOneShot(id);
  EXPECT_EQ(loop.MsUntilNextTimer(), 50);
  clock.Advance(50);
  loop.FireDueTimers();
  clock.Advance(50);
  loop.FireDueTimers();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(cancelled, 0);
  EXPECT_EQ(loop.MsUntilNextTimer(), -1);
}

TEST(EventLoopTimers, SuspendedTimerCostsNothingAndResumesOnItsGrid) {
  ManualClock clock;
  EventLoop loop(&clock);
  int ticks = 0;
  loop.SetTimer(3, 10, [&] { ++ticks; });
  loop.SetTimer(1, 1000, [] {});
  clock.Advance(10);
  loop.FireDueTimers();
  loop.SuspendTimer(3);
  EXPECT_TRUE(loop.HasTimer(3));
  EXPECT_TRUE(loop.TimerSuspended(3));
  EXPECT_EQ(loop.TimerPeriod(3), 10);
  EXPECT_EQ(loop.MsUntilNextTimer(), 990);  // only the other timer wakes
  clock.Advance(500);
  EXPECT_EQ(loop.FireDueTimers(), 0);
  EXPECT_EQ(ticks, 1);

  clock.Advance(3);  // 513: the grid's next point is 520
  loop.ResumeTimer(3);
  EXPECT_FALSE(loop.TimerSuspended(3));
  EXPECT_EQ(loop.MsUntilNextTimer(), 7);
  clock.Advance(7);
  EXPECT_EQ(loop.FireDueTimers(), 1);
  EXPECT_EQ(ticks, 2);

  loop.SuspendTimer(3);
  clock.Set(600);  // resumed on a point of the grid: due at once
  loop.ResumeTimer(3);
  EXPECT_EQ(loop.MsUntilNextTimer(), 0);
  loop.ResumeTimer(99);  // unknown ids are ignored
  loop.SuspendTimer(99);
  EXPECT_FALSE(loop.HasTimer(99));
}

TEST(EventLoopDeadlines, SourceIsAskedOncePerPassAndExpiredWhenDue) {
  ManualClock clock;
  EventLoop loop(&clock);
  int asked = 0, expired = 0;
  int64_t due = 50;
  const int id = loop.AddDeadlineSource(
      [&] {
        ++asked;
        return due;
      },
      [&] {
        ++expired;
        due = -1;  // dealt with: nothing more to wait for
      });
  EXPECT_EQ(loop.MsUntilNextTimer(), 50);
  asked = 0;
  loop.RunOnce(0);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(expired, 0);

  clock.Advance(50);
  asked = 0;
  loop.RunOnce(0);
  EXPECT_EQ(expired, 1);
  EXPECT_EQ(asked, 2);  // for the wait, and to see which source is due
  EXPECT_EQ(loop.MsUntilNextTimer(), -1);

  due = 60;
  loop.RemoveDeadlineSource(id);
  EXPECT_EQ(loop.MsUntilNextTimer(), -1);
}

TEST(EventLoopFds, ManyDescriptorsEachReachTheirOwnHandler) {
  EventLoop loop;
  constexpr int kPipes = 45;  // one socket per unit and then some
  int fds[kPipes][2];
  std::vector<int> calls(kPipes, 0);
  for (int i = 0; i < kPipes; ++i) {
    ASSERT_EQ(pipe2(fds[i], O_NONBLOCK), 0);
    loop.WatchFd(fds[i][0], POLLIN, [&, i](short revents) {
      char c;
      while (read(fds[i][0], &c, 1) > 0) {
      }
      if (revents & POLLIN) ++calls[i];
    });
  }
  for (int i = 0; i < kPipes; i += 4) ASSERT_EQ(write(fds[i][1], "x", 1), 1);
  loop.RunOnce(1000);
  for (int i = 0; i < kPipes; ++i) EXPECT_EQ(calls[i], i % 4 == 0 ? 1 : 0) << i;
  for (auto& p : fds) {
    loop.UnwatchFd(p[0]);
    close(p[0]);
    close(p[1]);
  }
}

TEST(EventLoopFds, DescriptorNumberReusedAfterCloseIsWatchedAnew) {
  EventLoop loop;
  int a[2];
  ASSERT_EQ(pipe2(a, O_NONBLOCK), 0);
  int old = 0, fresh = 0;
  loop.WatchFd(a[0], POLLIN, [&](short) { ++old; });
  const int number = a[0];
  close(a[0]);  // without UnwatchFd, as a layer that closes first may do
  close(a[1]);
  int b[2];
  ASSERT_EQ(pipe2(b, O_NONBLOCK), 0);
  ASSERT_EQ(b[0], number);
  loop.WatchFd(b[0], POLLIN, [&](short) {
    char c;
    while (read(b[0], &c, 1) > 0) {
    }
    ++fresh;
  });
  ASSERT_EQ(write(b[1], "x", 1), 1);
  loop.RunOnce(1000);
  EXPECT_EQ(old, 0);
  EXPECT_EQ(fresh, 1);
  loop.UnwatchFd(b[0]);
  close(b[0]);
  close(b[1]);
}

TEST(EventLoopFds, RegularFileIsAlwaysReadyAsPollSaysIt) {
  EventLoop loop;
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  int calls = 0;
  loop.WatchFd(fd, POLLIN, [&](short revents) {
    if (revents & POLLIN) ++calls;
  });
  loop.RunOnce(1000);  // returns at once
  EXPECT_EQ(calls, 1);
  loop.UnwatchFd(fd);
  loop.RunOnce(0);
  EXPECT_EQ(calls, 1);
  close(fd);
}

TEST(EventLoopFds, ReadyDescriptorReachesItsHandler) {
  EventLoop loop;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  std::string got;
  loop.WatchFd(fds[0], POLLIN, [&](short) {
    char buf[16];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, n);
  });
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  loop.RunOnce(1000);
  EXPECT_EQ(got, "abc");
  loop.UnwatchFd(fds[0]);
  ASSERT_EQ(write(fds[1], "d", 1), 1);
  loop.RunOnce(0);
  EXPECT_EQ(got, "abc");
  close(fds[0]);
  close(fds[1]);
}

TEST(EventLoopFds, HandlerRemovedEarlierInThePassIsNotCalled) {
  EventLoop loop;
  int a[2], b[2];
  ASSERT_EQ(pipe(a), 0);
  ASSERT_EQ(pipe(b), 0);
  int calls = 0;
  // Whichever runs first removes the other; only one may run.
  loop.WatchFd(a[0], POLLIN, [&](short) {
    ++calls;
    loop.UnwatchFd(b[0]);
  });
  loop.WatchFd(b[0], POLLIN, [&](short) {
    ++calls;
    loop.UnwatchFd(a[0]);
  });
  ASSERT_EQ(write(a[1], "x", 1), 1);
  ASSERT_EQ(write(b[1], "x", 1), 1);
  loop.RunOnce(1000);
  EXPECT_EQ(calls, 1);
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

TEST(EventLoopPost, TaskFromAnotherThreadWakesTheLoop) {
  EventLoop loop;
  std::atomic<bool> ran{false};
  std::thread t([&] {
    loop.Post([&] {
      ran = true;
      loop.Quit(3);
    });
  });
  int code = loop.Run();  // would block forever without the wake-up
  t.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(code, 3);
}

TEST(EventLoopQuit, NothingRunsAfterQuit) {
  ManualClock clock;
  EventLoop loop(&clock);
  int after = 0;
  loop.SetTimer(1, 10, [&] { loop.Quit(0); });
  loop.SetTimer(2, 10, [&] { ++after; });
  clock.Advance(10);
  EXPECT_FALSE(loop.RunOnce(0));
  EXPECT_EQ(after, 0);
  EXPECT_TRUE(loop.quitRequested());
}

}  // namespace
