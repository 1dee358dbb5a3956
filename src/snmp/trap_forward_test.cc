#include "snmp/trap_forward.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(TrapForward, TheOriginalSourceTravelsWithTheTrap) {
  struct sockaddr_in from = {};
  from.sin_family = AF_INET;
  from.sin_port = htons(40123);
  inet_pton(AF_INET, "127.0.1.7", &from.sin_addr);
  const std::vector<uint8_t> trap = {0x30, 0x03, 0x02, 0x01, 0x00};
  std::vector<uint8_t> d = ForwardedTrap(from, 162, trap.data(), trap.size());
  ASSERT_EQ(d.size(), kForwardHeaderSize + trap.size());

  struct sockaddr_in source = {};
  uint16_t port = 0;
  const uint8_t* inner = nullptr;
  size_t size = 0;
  ASSERT_TRUE(
      ParseForwardedTrap(d.data(), d.size(), &source, &port, &inner, &size));
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
  EXPECT_STREQ(text, "127.0.1.7");
  EXPECT_EQ(ntohs(source.sin_port), 40123);
  EXPECT_EQ(source.sin_family, AF_INET);
  EXPECT_EQ(port, 162);
  EXPECT_EQ(std::vector<uint8_t>(inner, inner + size), trap);

  // An inform's answer goes back to that source, and is no trap.
  d = InformAnswer(source, trap.data(), trap.size());
  EXPECT_FALSE(
      ParseForwardedTrap(d.data(), d.size(), &source, &port, &inner, &size));
  struct sockaddr_in to = {};
  ASSERT_TRUE(ParseInformAnswer(d.data(), d.size(), &to, &inner, &size));
  EXPECT_EQ(to.sin_addr.s_addr, from.sin_addr.s_addr);
  EXPECT_EQ(to.sin_port, from.sin_port);
  EXPECT_EQ(std::vector<uint8_t>(inner, inner + size), trap);
}

TEST(TrapForward, AnythingElseIsRefused) {
  struct sockaddr_in from = {};
  const uint8_t trap[1] = {0x30};
  const std::vector<uint8_t> good = ForwardedTrap(from, 162, trap, 1);
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 16)},
      {"short header", std::vector<uint8_t>(good.begin(), good.begin() + 10)},
      {"wrong magic", good},
      {"wrong version", good},
      {"too long", std::vector<uint8_t>(kForwardMaxDatagram + 1, 0)},
  };
  cases[3].data[0] = 'X';
  cases[4].data[4] = 2;
  for (const Case& c : cases) {
    struct sockaddr_in source = {};
    uint16_t port = 7;
    const uint8_t* inner = nullptr;
    size_t size = 99;
    EXPECT_FALSE(ParseForwardedTrap(c.data.data(), c.data.size(), &source,
                                    &port, &inner, &size))
        << c.name;
    EXPECT_EQ(port, 7) << c.name;
  }
}

TEST(TrapForward, DriverSocketNames) {
  EXPECT_EQ(TrapIntakeSocketPath("/run/zarn", 7), "/run/zarn/traps-7.sock");
  EXPECT_TRUE(IsTrapIntakeSocketName("traps-7.sock"));
  EXPECT_TRUE(IsTrapIntakeSocketName("traps-1234.sock"));
  for (const char* name :
       {"traps-.sock", "traps-7.sock.tmp", "infodriver-7.sock", "traps-x.sock",
        "traps-7", "qor_trapd.lock"})
    EXPECT_FALSE(IsTrapIntakeSocketName(name)) << name;
}

TEST(TrapForward, AnIntakeRunsWhileItHoldsItsLock) {
  const std::string dir =
      testing::TempDir() + "/trap_forward_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string lock = TrapIntakeLockPath(dir);
  EXPECT_FALSE(TrapIntakeRunning(lock));  // no file
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(TrapIntakeRunning(lock));  // a file nobody holds
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(TrapIntakeRunning(lock));
  close(fd);  // the intake ended
  EXPECT_FALSE(TrapIntakeRunning(lock));
  std::filesystem::remove_all(dir);
}

}  // namespace
