// Hostile datagrams against the real layer: to the trap port and to a
// session's own port. None may crash, leak or reach the wrong session; each
// is dropped or delivered as a well-formed message. Addresses 127.0.1.108 to
// 127.0.1.110.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "integration/snmp/net_snmp_fixture.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/net_snmp_api.h"
#include "snmp/testing/fake_snmp_api.h"
#include "snmp/testing/recording_session.h"
#include "support/snmpd_agent.h"

namespace {

// --- BER, enough to write SNMP messages by hand, right or wrong ---------

std::string Length(size_t n) {
  if (n < 0x80) return std::string(1, static_cast<char>(n));
  std::string bytes;
  while (n) {
    bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
    n >>= 8;
  }
  return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}
std::string Tlv(uint8_t tag, const std::string& body) {
  return std::string(1, static_cast<char>(tag)) + Length(body.size()) + body;
}
std::string Int(int64_t v, uint8_t tag = 0x02) {
  std::string bytes;
  do {
    bytes.insert(bytes.begin(), static_cast<char>(v & 0xFF));
    v >>= 8;
  } while (v != 0 && v != -1);
  // Keep the sign bit right.
  bool negative = v == -1;
  if (negative != ((bytes[0] & 0x80) != 0))
    bytes.insert(bytes.begin(), static_cast<char>(negative ? 0xFF : 0x00));
  return Tlv(tag, bytes);
}
std::string Oct(const std::string& s) { return Tlv(0x04, s); }
std::string Null() { return Tlv(0x05, ""); }
std::string Oid(const std::vector<uint32_t>& ids) {
  std::string body;
  auto sub = [&](uint32_t v) {
    std::string b(1, static_cast<char>(v & 0x7F));
    for (v >>= 7; v; v >>= 7)
      b.insert(b.begin(), static_cast<char>(0x80 | (v & 0x7F)));
    body += b;
  };
  sub(ids[0] * 40 + ids[1]);
  for (size_t i = 2; i < ids.size(); ++i) sub(ids[i]);
  return Tlv(0x06, body);
}
std::string Seq(const std::string& body) { return Tlv(0x30, body); }
std::string Bind(const std::vector<uint32_t>& name, const std::string& value) {
  return Seq(Oid(name) + value);
}
std::string Message(int version, const std::string& community, uint8_t type,
                    const std::string& pdu) {
  return Seq(Int(version) + Oct(community) + Tlv(type, pdu));
}
std::string Pdu(int64_t reqid, int status, int index,
                const std::string& binds) {
  return Int(reqid) + Int(status) + Int(index) + Seq(binds);
}
std::string V2Trap(int64_t reqid, const std::string& binds,
                   const std::string& community = "public") {
  return Message(1, community, 0xA7, Pdu(reqid, 0, 0, binds));
}
std::string V1Trap(int generic, int specific, const std::string& binds) {
  std::string pdu = Oid({1, 3, 6, 1, 4, 1, 6853}) +
                    Tlv(0x40, std::string("\x7f\x00\x01\x6c", 4)) +
                    Int(generic) + Int(specific) + Int(500, 0x43) + Seq(binds);
  return Message(0, "public", 0xA4, pdu);
}
std::string Response(int version, int64_t reqid, const std::string& binds,
                     int status = 0) {
  return Message(version, "public", 0xA2, Pdu(reqid, status, 0, binds));
}

const std::vector<uint32_t> kName = {1, 3, 6, 1, 4, 1, 6853, 1, 1, 0};
const std::string kMarkerOid = "1.3.6.1.4.1.6853.9.9.0";
const std::vector<uint32_t> kMarker = {1, 3, 6, 1, 4, 1, 6853, 9, 9, 0};

using Recorder = RecordingSession;

// A UDP socket on a chosen local address.
class Peer {
 public:
  explicit Peer(const char* address, uint16_t port = 0) {
    fd_ = qor_test::BindUdpSocket(address, port, &port_);
  }
  ~Peer() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  void SendTo(const std::string& data, const char* address, uint16_t port) {
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    ssize_t n = sendto(fd_, data.data(), data.size(), 0,
                       reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    EXPECT_EQ(n, static_cast<ssize_t>(data.size()));
  }
  // The next datagram, and where it came from; empty when none came.
  std::string Receive(uint16_t* fromPort, int waitMs) {
    struct timeval tv = {waitMs / 1000, (waitMs % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string buf(65536, '\0');
    struct sockaddr_in from = {};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0,
                         reinterpret_cast<struct sockaddr*>(&from), &len);
    if (n < 0) return "";
    *fromPort = ntohs(from.sin_port);
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class HostileTest : public NetSnmpFixture {
 protected:
  // Long enough that no request times out while a case runs.
  HostileTest() : NetSnmpFixture(20000) {}
};

struct TrapCase {
  const char* name;
  std::string datagram;
  bool delivered;
};

TEST_F(HostileTest, TrapPortDropsWhatIsBrokenAndDeliversWhatIsWhole) {
  Recorder unit, neighbour;
  ASSERT_EQ(unit.init_snmp("127.0.1.108", "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(neighbour.init_snmp("127.0.1.109", "public", 161, "127.0.0.1", 0),
            0);
  Peer sender("127.0.1.108");
  ASSERT_TRUE(sender.bound());

  std::string good = V2Trap(77, Bind(kName, Int(5)));
  std::vector<uint32_t> longName(128, 1);
  longName[0] = 1;
  longName[1] = 3;
  std::vector<uint32_t> tooLong(129, 1);
  tooLong[1] = 3;
  std::string huge(65000, 'A');
  std::string garbage64k(65507, '\xAB');
  garbage64k[0] = 0x30;
  garbage64k[1] = static_cast<char>(0x83);
  garbage64k[2] = 0x00;
  garbage64k[3] = static_cast<char>(0xFF);
  garbage64k[4] = static_cast<char>(0xF0);
  std::string longer = good;
  longer[1] = static_cast<char>(longer[1] + 5);
  std::string v3 = good;
  v3[4] = 3;  // the version INTEGER's value
  std::string v7 = good;
  v7[4] = 7;

  const std::vector<TrapCase> cases = {
      {"Empty", "", false},
      {"OneByte", "\x30", false},
      {"TruncatedHalf", good.substr(0, good.size() / 2), false},
      {"TruncatedByOne", good.substr(0, good.size() - 1), false},
      {"LengthBeyondDatagram", longer, false},
      {"HugeLengthField",
       std::string("\x30\x84\xFF\xFF\xFF\xFF\x02\x01\x01", 9), false},
      {"VersionThree", v3, false},
      {"VersionSeven", v7, false},
      {"Garbage64KiB", garbage64k, false},
      {"CommunityTooLong",
       V2Trap(1, Bind(kName, Int(1)), std::string(300, 'c')), false},
      {"Inform", Message(1, "public", 0xA6, Pdu(5, 0, 0, Bind(kName, Int(1)))),
       false},
      {"GetRequest",
       Message(0, "public", 0xA0, Pdu(5, 0, 0, Bind(kName, Null()))), false},
      {"ResponseToTrapPort", Response(1, 5, Bind(kName, Int(1))), false},
      {"V1TrapUnknownGeneric", V1Trap(9, 0, ""), false},
      {"V1TrapNegativeSpecific", V1Trap(6, -4, ""), false},
      {"OidOf129", V2Trap(1, Bind(tooLong, Int(1))), false},
      {"OidOf128", V2Trap(1, Bind(longName, Int(1))), true},
      {"String65000", V2Trap(1, Bind(kName, Oct(huge))), true},
      {"NoBindings", V2Trap(1, ""), true},
      {"V1Trap", V1Trap(6, 2, Bind(kName, Int(3))), true},
  };

  int32_t marker = 1000;
  for (const TrapCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = unit.events.size();
    sender.SendTo(c.datagram, "127.0.0.1", trapPort_);
    // A whole trap after it: once that is in, the case has been read.
    ++marker;
    sender.SendTo(V2Trap(marker, Bind(kMarker, Int(marker))), "127.0.0.1",
                  trapPort_);
    ASSERT_TRUE(RunUntil([&] {
      return !unit.events.empty() && unit.events.back().bindings.size() == 1 &&
             unit.events.back().bindings[0].first == kMarkerOid &&
             unit.events.back().requestId == marker;
    }));
    size_t got = unit.events.size() - before - 1;
    EXPECT_EQ(got, c.delivered ? 1u : 0u);
    if (got == 1) {
      const SessionEvent& s = unit.events[before];
      EXPECT_EQ(s.what, "trap");
      for (const auto& [oid, value] : s.bindings) {
        EXPECT_LT(oid.size(), 256u);
        EXPECT_LT(value.size(), 256u);
      }
    }
  }
  // What the whole ones carried.
  auto find = [&](size_t bindings, const std::string& oidPrefix) {
    for (const SessionEvent& s : unit.events)
      if (s.bindings.size() == bindings &&
          (bindings == 0 || s.bindings.back().first.rfind(oidPrefix, 0) == 0))
        return s;
    return SessionEvent{};
  };
  SessionEvent longOid = find(1, "1.3.1.1");
  ASSERT_EQ(longOid.bindings.size(), 1u);
  EXPECT_EQ(longOid.bindings[0].first.size(), 255u);
  SessionEvent big = find(1, "1.3.6.1.4.1.6853.1.1.0");
  ASSERT_EQ(big.bindings.size(), 1u);
  EXPECT_EQ(big.bindings[0].second, std::string(255, 'A'));
  SessionEvent v1 = find(3, "1.3.6.1.4.1.6853.1.1.0");
  ASSERT_EQ(v1.bindings.size(), 3u);
  EXPECT_EQ(v1.type, SNMP_PDU_V1TRAP);
  EXPECT_EQ(v1.bindings[1].second, "1.3.6.1.4.1.6853.0.2");

  EXPECT_TRUE(neighbour.events.empty()) << "nothing reached the other unit";
  unit.closeSnmp();
  neighbour.closeSnmp();
  SnmpApiCore::Counts c = api_.LiveCounts();
  EXPECT_EQ(c.handles() + c.descriptors + c.sessions, 0u);
}

TEST_F(HostileTest, SessionPortTakesOnlyItsUnitsAnswersToItsRequests) {
  // The unit is a plain socket, so the test writes its answers byte by byte.
  Peer unitSocket("127.0.1.109");
  Peer stranger("127.0.1.110");
  ASSERT_TRUE(unitSocket.bound());
  std::string address = "127.0.1.109:" + std::to_string(unitSocket.port());
  Recorder s, other;
  ASSERT_EQ(s.init_snmp(address.c_str(), "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(other.init_snmp("127.0.1.108", "public", 161, "127.0.0.1", 0), 0);

  // The request as it goes out: SNMPv1, the community, the caller's id.
  ASSERT_EQ(
      s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0, 0x10001),
      0);
  uint16_t sessionPort = 0;
  std::string request = unitSocket.Receive(&sessionPort, 10000);
  ASSERT_FALSE(request.empty());
  EXPECT_EQ(request, Message(0, "public", 0xA1,
                             Pdu(0x10001, 0, 0,
                                 Bind({1, 3, 6, 1, 4, 1, 6853}, Null()))));
  EXPECT_EQ(sessionPort, api_.sessionPort(s.session));

  auto toSession = [&](Peer& from, const std::string& data) {
    from.SendTo(data, "127.0.0.1", sessionPort);
  };
  // Broken or foreign datagrams first; none may be taken for the answer.
  toSession(unitSocket, "");
  toSession(unitSocket, Response(0, 0x10001, Bind(kName, Int(1))).substr(0, 9));
  toSession(unitSocket, std::string(65507, '\x30'));
  toSession(unitSocket,
            Response(0, 0x10099, Bind(kName, Int(1))));  // unknown id
  toSession(unitSocket, Response(1, 0x10001, Bind(kName, Int(1))));  // v2c
  toSession(unitSocket, V2Trap(0x10001, Bind(kName, Int(1))));
  toSession(stranger, Response(0, 0x10001, Bind(kName, Int(666))));  // spoofed
  // The unit's answer with no binding at all, then the same again.
  toSession(unitSocket, Response(0, 0x10001, ""));
  toSession(unitSocket, Response(0, 0x10001, Bind(kName, Int(2))));
  ASSERT_TRUE(RunUntil([&] { return !s.events.empty(); }));

  // Three bindings, and a 65,000-byte string.
  ASSERT_EQ(
      s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0, 0x10002),
      0);
  ASSERT_FALSE(unitSocket.Receive(&sessionPort, 10000).empty());
  toSession(unitSocket,
            Response(0, 0x10002,
                     Bind(kName, Int(1)) + Bind(kName, Int(2)) +
                         Bind(kName, Oct(std::string(65000, 'z')))));
  ASSERT_TRUE(RunUntil([&] { return s.events.size() == 2; }));

  // A last request proves the session still answers after all that.
  ASSERT_EQ(
      s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0, 0x10003),
      0);
  ASSERT_FALSE(unitSocket.Receive(&sessionPort, 10000).empty());
  toSession(stranger, Response(0, 0x10003, Bind(kName, Int(666))));
  toSession(unitSocket, Response(0, 0x10003, Bind(kName, Int(3))));
  ASSERT_TRUE(RunUntil([&] { return s.events.size() == 3; }));
  for (int i = 0; i < 20; ++i) loop_.RunOnce(10);

  ASSERT_EQ(s.events.size(), 3u);
  EXPECT_EQ(s.events[0].what, "reply");
  EXPECT_EQ(s.events[0].requestId, 0x10001);
  EXPECT_TRUE(s.events[0].bindings.empty());
  EXPECT_EQ(s.events[1].requestId, 0x10002);
  ASSERT_EQ(s.events[1].bindings.size(), 3u);
  EXPECT_EQ(s.events[1].bindings[2].second, std::string(255, 'z'));
  EXPECT_EQ(s.events[2].requestId, 0x10003);
  ASSERT_EQ(s.events[2].bindings.size(), 1u);
  EXPECT_EQ(s.events[2].bindings[0].second, "3") << "the stranger's 666 is not";
  EXPECT_TRUE(other.events.empty());
  s.closeSnmp();
  other.closeSnmp();
  SnmpApiCore::Counts c = api_.LiveCounts();
  EXPECT_EQ(c.handles() + c.descriptors + c.sessions, 0u);
}

// The layer's own promises about a request, checked at a plain socket that
// stands in for the unit: it goes out once (no retries), only the unit's
// own address and port may answer it, and an answer the layer refuses
// still lets the request time out.
class RequestTest : public HostileTest {
 protected:
  // Opens |s| towards |unitSocket| and sends it one GetNext, id 0x10001.
  void SendGetNext(const Peer& unitSocket, Recorder& s) {
    ASSERT_TRUE(unitSocket.bound());
    std::string address = "127.0.1.109:" + std::to_string(unitSocket.port());
    ASSERT_EQ(s.init_snmp(address.c_str(), "public", 161, "127.0.0.1", 0), 0);
    ASSERT_EQ(s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0,
                            0x10001),
              0);
  }

  NetSnmpApi shortApi_{loop_, 300};
  ScopedSnmpApi useShort_{&shortApi_};
};

TEST_F(RequestTest, GoesOutOnceAndTimesOutOnce) {
  Peer unitSocket("127.0.1.109");
  Recorder s;
  ASSERT_NO_FATAL_FAILURE(SendGetNext(unitSocket, s));
  ASSERT_TRUE(RunUntil([&] { return !s.events.empty(); }));
  // Well past the timeout: a retry would have been sent by now.
  for (int i = 0; i < 60; ++i) loop_.RunOnce(10);
  int datagrams = 0;
  uint16_t from = 0;
  while (!unitSocket.Receive(&from, 100).empty()) ++datagrams;
  EXPECT_EQ(datagrams, 1);
  ASSERT_EQ(s.events.size(), 1u);
  EXPECT_EQ(s.events[0].what, "error");
  EXPECT_EQ(s.events[0].requestId, 0x10001);
  s.closeSnmp();
}

TEST_F(RequestTest, AStrangerOnTheUnitsAddressWithAnotherPortIsNotTheUnit) {
  Peer unitSocket("127.0.1.109");
  Peer neighbour("127.0.1.109");  // same address, its own port
  ASSERT_TRUE(neighbour.bound());
  ASSERT_NE(unitSocket.port(), neighbour.port());
  NetSnmpApi longApi(loop_, 20000);
  ScopedSnmpApi use(&longApi);
  Recorder s;
  ASSERT_NO_FATAL_FAILURE(SendGetNext(unitSocket, s));
  uint16_t sessionPort = 0;
  ASSERT_FALSE(unitSocket.Receive(&sessionPort, 10000).empty());
  neighbour.SendTo(Response(0, 0x10001, Bind(kName, Int(666))), "127.0.0.1",
                   sessionPort);
  for (int i = 0; i < 20; ++i) loop_.RunOnce(10);
  unitSocket.SendTo(Response(0, 0x10001, Bind(kName, Int(3))), "127.0.0.1",
                    sessionPort);
  ASSERT_TRUE(RunUntil([&] { return !s.events.empty(); }));
  for (int i = 0; i < 20; ++i) loop_.RunOnce(10);
  ASSERT_EQ(s.events.size(), 1u);
  ASSERT_EQ(s.events[0].bindings.size(), 1u);
  EXPECT_EQ(s.events[0].bindings[0].second, "3")
      << "the neighbour's 666 is not";
  s.closeSnmp();
}

TEST_F(RequestTest, AnAnswerTheLayerRefusesStillLetsTheRequestTimeOut) {
  Peer unitSocket("127.0.1.109");
  Recorder s;
  ASSERT_NO_FATAL_FAILURE(SendGetNext(unitSocket, s));
  uint16_t sessionPort = 0;
  ASSERT_FALSE(unitSocket.Receive(&sessionPort, 10000).empty());
  // A report with the request's id: matched to the request by the library,
  // and not an answer this layer hands over.
  unitSocket.SendTo(
      Message(0, "public", 0xA8, Pdu(0x10001, 0, 0, Bind(kName, Int(1)))),
      "127.0.0.1", sessionPort);
  ASSERT_TRUE(RunUntil([&] { return !s.events.empty(); }));
  ASSERT_EQ(s.events.size(), 1u);
  EXPECT_EQ(s.events[0].what, "error");
  EXPECT_EQ(s.events[0].requestId, 0x10001);
  s.closeSnmp();
}

}  // namespace
