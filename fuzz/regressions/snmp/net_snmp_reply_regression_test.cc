// Replies that reach the real SNMP layer's session sockets, as the inbound
// SNMP fuzz target sends them: a unit played by a UDP socket on 127.0.1.135
// answers the sessions' requests with hand-encoded SNMPv1 responses.
//
// The first case is the input that found undefined behaviour in the
// reading of the sessions' sockets (a misaligned read of the readiness
// event's id); under the sanitizers it fails as soon as one reply is read.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "platform/event_loop.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/net_snmp_api.h"

namespace {

constexpr const char* kUnit = "127.0.1.135";

// BER as an agent writes it, for short values.
std::string Tlv(uint8_t tag, const std::string& body) {
  return std::string(1, static_cast<char>(tag)) +
         std::string(1, static_cast<char>(body.size())) + body;
}
std::string Integer(int32_t v) {
  std::string bytes;
  for (int i = 3; i >= 0; --i) bytes += static_cast<char>(v >> (8 * i));
  return Tlv(0x02, bytes);
}
// v1 response: id, no error, one binding 1.3.6.1.4.1.6853.1.1.0 = INTEGER.
std::string Response(int32_t requestId, int32_t value) {
  const std::string name("\x2B\x06\x01\x04\x01\xB5\x45\x01\x01\x00", 10);
  const std::string binding = Tlv(0x30, Tlv(0x06, name) + Integer(value));
  return Tlv(0x30, Integer(0) + Tlv(0x04, "public") +
                       Tlv(0xA2, Integer(requestId) + Integer(0) + Integer(0) +
                                     Tlv(0x30, binding)));
}

struct Reply {
  int32_t requestId;
  std::string oid, value;
};

class Session final : public CsnmpZarn {
 public:
  std::vector<Reply> replies;
  std::function<void()> onReply;

  int Ask(int32_t requestId) {
    return sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0,
                       requestId);
  }

 protected:
  HSNMP_VBL SNMPReply(HSNMP_PDU pdu) override {
    HSNMP_VBL vbl = nullptr;
    Reply r{0, "", ""};
    TheSnmpApi().GetPduData(pdu, nullptr, &r.requestId, nullptr, nullptr, &vbl);
    char oid[256] = "", value[256] = "";
    getOid(vbl, 1, sizeof oid, oid);
    GetValue(vbl, 1, sizeof value, value);
    r.oid = oid;
    r.value = value;
    replies.push_back(r);
    if (onReply) onReply();
    return vbl;
  }
};

class NetSnmpReplyRegressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugOutputSink([](const char*) {});
    // Sessions register for their unit's traps, which opens the trap port:
    // a free one of this test's own.
    const uint16_t trapPort = BoundPort("127.0.0.1", nullptr);
    setenv("ZARN_SNMP_TRAP_PORT", std::to_string(trapPort).c_str(), 1);
    unit_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unitPort_ = BoundPort(kUnit, &unit_);
    previous_ = SetSnmpApi(&api_);
  }
  void TearDown() override {
    SetSnmpApi(previous_);
    close(unit_);
    unsetenv("ZARN_SNMP_TRAP_PORT");
    SetDebugOutputSink(nullptr);
  }

  // Binds *fd (or a socket of its own, closed again) to |address|, port 0.
  static uint16_t BoundPort(const char* address, int* fd) {
    int s = fd != nullptr ? *fd : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, address, &addr.sin_addr);
    socklen_t len = sizeof addr;
    EXPECT_EQ(0, bind(s, reinterpret_cast<struct sockaddr*>(&addr), len));
    getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &len);
    if (fd == nullptr) close(s);
    return ntohs(addr.sin_port);
  }

  std::unique_ptr<Session> Open() {
    auto s = std::make_unique<Session>();
    const std::string address =
        std::string(kUnit) + ":" + std::to_string(unitPort_);
    EXPECT_EQ(0, s->init_snmp(address.c_str(), "public", 161, "127.0.0.1", 0));
    return s;
  }

  // The unit takes one request and tells where it came from.
  struct sockaddr_in TakeRequest() {
    struct sockaddr_in from = {};
    for (int i = 0; i < 500; ++i) {
      struct pollfd p = {unit_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char buffer[2048];
        socklen_t len = sizeof from;
        recvfrom(unit_, buffer, sizeof buffer, 0,
                 reinterpret_cast<struct sockaddr*>(&from), &len);
        return from;
      }
      loop_.RunOnce(0);
    }
    ADD_FAILURE() << "the request never reached the unit";
    return from;
  }

  void Answer(const struct sockaddr_in& to, const std::string& datagram) {
    ASSERT_EQ(static_cast<ssize_t>(datagram.size()),
              sendto(unit_, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const struct sockaddr*>(&to), sizeof to));
  }

  // Runs the loop until |done| or a generous deadline.
  bool RunUntil(const std::function<bool()>& done) {
    const int64_t end = loop_.clock().NowMs() + 10000;
    while (!done() && loop_.clock().NowMs() < end) loop_.RunOnce(20);
    return done();
  }

  EventLoop loop_;
  NetSnmpApi api_{loop_};
  SnmpApi* previous_ = nullptr;
  int unit_ = -1;
  uint16_t unitPort_ = 0;
};

TEST_F(NetSnmpReplyRegressionTest, ReplyReachesTheSessionThatAsked) {
  std::unique_ptr<Session> session = Open();
  ASSERT_EQ(0, session->Ask(0x10001));
  const struct sockaddr_in from = TakeRequest();
  Answer(from, Response(0x10001, 7));
  ASSERT_TRUE(RunUntil([&] { return !session->replies.empty(); }));
  ASSERT_EQ(1u, session->replies.size());
  EXPECT_EQ(0x10001, session->replies[0].requestId);
  EXPECT_EQ("1.3.6.1.4.1.6853.1.1.0", session->replies[0].oid);
  EXPECT_EQ("7", session->replies[0].value);
  session->closeSnmp();
}

// Two replies ready in the same pass of the loop; the first one's handler
// closes the other session, whose reply must then go nowhere.
TEST_F(NetSnmpReplyRegressionTest, SessionClosedByAnEarlierReplyGetsNothing) {
  std::unique_ptr<Session> first = Open();
  std::unique_ptr<Session> second = Open();
  ASSERT_EQ(0, first->Ask(0x10002));
  const struct sockaddr_in toFirst = TakeRequest();
  ASSERT_EQ(0, second->Ask(0x10003));
  const struct sockaddr_in toSecond = TakeRequest();
  // Whichever reply is read first closes the other session.
  bool otherClosed = false;
  first->onReply = [&] {
    if (otherClosed) return;
    otherClosed = true;
    second->closeSnmp();
  };
  second->onReply = [&] {
    if (otherClosed) return;
    otherClosed = true;
    first->closeSnmp();
  };
  Answer(toFirst, Response(0x10002, 1));
  Answer(toSecond, Response(0x10003, 2));
  ASSERT_TRUE(RunUntil([&] { return otherClosed; }));
  for (int i = 0; i < 10; ++i) loop_.RunOnce(10);
  EXPECT_EQ(1u, first->replies.size() + second->replies.size())
      << "a session closed by another's reply still got its own";
  (first->replies.empty() ? second : first)->closeSnmp();
}

}  // namespace
