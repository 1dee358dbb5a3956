#include "support/snmpd_agent.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace qor_test {
namespace {

bool ProcessExists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

const std::vector<SnmpdObject> kObjects = {
    {"1.3.6.1.4.1.6853.1.1.0", "integer", "5", true},
    {"1.3.6.1.4.1.6853.1.2.0", "octet_str", "Rack \"3\"", false},
    {"1.3.6.1.4.1.6853.1.3.0", "timeticks", "100", false},
};

TEST(SnmpdAgent, ServesItsObjectsAndStopsByPid) {
  pid_t pid;
  std::string dir;
  {
    SnmpdAgent agent("127.0.1.110", "supporttest", kObjects);
    ASSERT_TRUE(agent.Start()) << agent.log();
    pid = agent.pid();
    dir = agent.directory();
    EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.1.0"), "5");
    EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.2.0"), "Rack \\\"3\\\"")
        << "snmpget escapes the quotes it shows";
    bool ok = true;
    agent.Get("1.3.6.1.4.1.6853.1.9.0", &ok);
    EXPECT_FALSE(ok);

    ToolResult set =
        RunTool({"/usr/bin/snmpset", "-v1", "-c", "supporttest",
                 "udp:127.0.1.110:161", "1.3.6.1.4.1.6853.1.1.0", "i", "9"});
    EXPECT_EQ(set.exitCode, 0) << set.output;
    EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.1.0"), "9");
    ToolResult refused =
        RunTool({"/usr/bin/snmpset", "-v1", "-c", "supporttest",
                 "udp:127.0.1.110:161", "1.3.6.1.4.1.6853.1.3.0", "t", "5"});
    EXPECT_NE(refused.exitCode, 0) << "read-only objects refuse a Set";

    // Silent, then back on the same address.
    agent.Stop();
    EXPECT_FALSE(ProcessExists(pid));
    agent.Get("1.3.6.1.4.1.6853.1.1.0", &ok);
    EXPECT_FALSE(ok);
    ASSERT_TRUE(agent.Start()) << agent.log();
    EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.1.0"), "5")
        << "a restarted agent starts from its configuration";
    pid = agent.pid();
  }
  EXPECT_FALSE(ProcessExists(pid));
  EXPECT_FALSE(access(dir.c_str(), F_OK) == 0) << "its directory is removed";
}

TEST(SendTrap, ComesFromTheClientAddress) {
  uint16_t port = FreeUdpPort();
  ASSERT_NE(port, 0);
  int fd = BindUdpSocket("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  for (int version : {1, 2}) {
    TrapMessage trap;
    trap.version = version;
    trap.clientAddress = "127.0.1.110";
    trap.port = port;
    trap.bindings = {{"1.3.6.1.4.1.6853.1.1.0", "i", "5"}};
    std::string out;
    ASSERT_TRUE(SendTrap(trap, &out)) << out;
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    char buf[2048];
    struct sockaddr_in from = {};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0,
                         reinterpret_cast<struct sockaddr*>(&from), &len);
    EXPECT_GT(n, 0);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    EXPECT_STREQ(text, "127.0.1.110");
  }
  close(fd);
}

}  // namespace
}  // namespace qor_test
