// The real layer against real peers: net-snmp's snmpd on 127.0.1.101-107
// and snmptrap. Every agent is stopped by pid when its test ends.
#include "snmp/net_snmp_api.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "integration/snmp/net_snmp_fixture.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "platform/debug_output.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/snmp_values.h"
#include "snmp/testing/fake_snmp_api.h"
#include "snmp/testing/recording_session.h"
#include "support/snmpd_agent.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Pair = std::pair<std::string, std::string>;

const char kMdu[] = "1.3.6.1.4.1.6853";

using Event = SessionEvent;

// Records what reaches the session, and whether any of it arrived while a
// request was still being sent.
class Recorder : public RecordingSession {
 public:
  std::function<void(const Event&)> onEvent;
  bool inSend = false;
  bool deliveredInsideSend = false;

  int Send(int32_t type, const char* oid, const char* value, uint32_t syntax,
           int32_t id) {
    inSend = true;
    int r = sendRequest(type, oid, value, syntax, id);
    inSend = false;
    return r;
  }

 protected:
  void Recorded(const Event& e) override {
    deliveredInsideSend = deliveredInsideSend || inSend;
    if (onEvent) onEvent(e);
  }
};

class NetSnmpApiTest : public NetSnmpFixture {
 protected:
  void SetUp() override {
    NetSnmpFixture::SetUp();
    SetDebugOutputSink([this](const char* text) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(text);
    });
  }
  void TearDown() override {
    SetDebugOutputSink(nullptr);
    NetSnmpFixture::TearDown();
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

const std::vector<qor_test::SnmpdObject> kUnitObjects = {
    {"1.3.6.1.4.1.6853.1.1.1.0", "octet_str", "MDU-12", false},
    {"1.3.6.1.4.1.6853.1.1.2.0", "integer", "12", true},
    {"1.3.6.1.4.1.6853.1.2.1.1.1", "integer", "1", false},
    {"1.3.6.1.4.1.6853.1.2.1.1.2", "integer", "0", true},
    {"1.3.6.1.4.1.6853.1.2.1.2.1", "octet_str", "Output 1", true},
    {"1.3.6.1.4.1.6853.1.2.1.2.2", "octet_str", "Output 2", false},
    {"1.3.6.1.4.1.6853.1.3.0", "timeticks", "8640000", false},
    {"1.3.6.1.4.1.6853.1.4.0", "uinteger", "4294967295", false},
    {"1.3.6.1.4.1.6853.1.5.0", "counter", "17", false},
    {"1.3.6.1.4.1.6853.1.6.0", "object_id", "1.3.6.1.4.1.6853.99", false},
};

const std::vector<Pair> kWalked = {
    {"1.3.6.1.4.1.6853.1.1.1.0", "MDU-12"},
    {"1.3.6.1.4.1.6853.1.1.2.0", "12"},
    {"1.3.6.1.4.1.6853.1.2.1.1.1", "1"},
    {"1.3.6.1.4.1.6853.1.2.1.1.2", "0"},
    {"1.3.6.1.4.1.6853.1.2.1.2.1", "Output 1"},
    {"1.3.6.1.4.1.6853.1.2.1.2.2", "Output 2"},
    {"1.3.6.1.4.1.6853.1.3.0", "1,0:0:0.0"},
    {"1.3.6.1.4.1.6853.1.4.0", "4294967295"},
    {"1.3.6.1.4.1.6853.1.5.0", "17"},
    {"1.3.6.1.4.1.6853.1.6.0", "1.3.6.1.4.1.6853.99"},
};

bool Ours(const std::string& oid) {
  return oid.rfind(std::string(kMdu) + ".", 0) == 0;
}

// Walks the unit's subtree with GetNext, one request per reply, as the
// engine's fast walk does; returns what it read.
std::vector<Pair> Walk(
    NetSnmpApiTest* t, Recorder& r,
    const std::function<bool(const std::function<bool()>&)>& runUntil) {
  std::vector<Pair> read;
  bool done = false;
  int32_t id = 0x10001;
  r.onEvent = [&](const Event& e) {
    if (e.what != "reply" || e.requestId != id) return;
    if (e.errorStatus != 0 || e.bindings.size() != 1 ||
        !Ours(e.bindings[0].first)) {
      done = true;
      return;
    }
    read.push_back(e.bindings[0]);
    ++id;
    EXPECT_EQ(
        r.Send(SNMP_PDU_GETNEXT, e.bindings[0].first.c_str(), nullptr, 0, id),
        0);
  };
  EXPECT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, id), 0);
  EXPECT_TRUE(runUntil([&] { return done; }));
  r.onEvent = nullptr;
  return read;
}

TEST_F(NetSnmpApiTest, GetNextWalksTheSubtreeToItsEnd) {
  qor_test::SnmpdAgent agent("127.0.1.101", "walk", kUnitObjects);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder r;
  ASSERT_EQ(r.init_snmp("127.0.1.101", "walk", 161, "127.0.0.1", 0), 0);
  std::vector<Pair> read = Walk(
      this, r, [this](const std::function<bool()>& d) { return RunUntil(d); });
  EXPECT_EQ(read, kWalked);
  EXPECT_FALSE(r.deliveredInsideSend)
      << "callbacks come from the loop, never from inside a send";
  for (const Event& e : r.events) EXPECT_NE(e.what, "error");
  // Every request answered: no deadline is kept to wake the loop for.
  EXPECT_EQ(loop_.MsUntilNextTimer(), -1);
  EXPECT_EQ(r.closeSnmp(), 0);
  SnmpApiCore::Counts c = api_.LiveCounts();
  EXPECT_EQ(c.handles() + c.descriptors + c.sessions, 0u);
}

// All sessions' sockets share one readiness source; each reply must still
// reach its own session, also when a session closes with a reply on its
// way and a new one may take over its socket number.
TEST_F(NetSnmpApiTest, ManySessionsEachGetTheirOwnReplies) {
  qor_test::SnmpdAgent a("127.0.1.101", "left", kUnitObjects);
  qor_test::SnmpdAgent b("127.0.1.102", "right", kUnitObjects);
  ASSERT_TRUE(a.Start()) << a.log();
  ASSERT_TRUE(b.Start()) << b.log();

  // A reply in flight to a session that closes before it is read.
  {
    Recorder gone;
    ASSERT_EQ(gone.init_snmp("127.0.1.101", "left", 161, "127.0.0.1", 0), 0);
    ASSERT_EQ(gone.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10007), 0);
    EXPECT_EQ(gone.closeSnmp(), 0);
  }

  std::vector<std::unique_ptr<Recorder>> units;
  for (int i = 0; i < 6; ++i) {
    units.push_back(std::make_unique<Recorder>());
    const bool left = i % 2 == 0;
    ASSERT_EQ(
        units.back()->init_snmp(left ? "127.0.1.101" : "127.0.1.102",
                                left ? "left" : "right", 161, "127.0.0.1", 0),
        0);
  }
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(units[i]->Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10100 + i),
              0);
  ASSERT_TRUE(RunUntil([&] {
    for (auto& u : units)
      if (u->events.empty()) return false;
    return true;
  }));
  RunFor(200);  // nothing else arrives: no reply went to two sessions
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(units[i]->events.size(), 1u) << i;
    EXPECT_EQ(units[i]->events[0].what, "reply") << i;
    EXPECT_EQ(units[i]->events[0].requestId, 0x10100 + i) << i;
  }
  // One closes; the others walk on to the end of the subtree.
  units[2]->closeSnmp();
  for (int i : {0, 1, 3}) {
    std::vector<Pair> read =
        Walk(this, *units[i], [this](const auto& d) { return RunUntil(d); });
    EXPECT_EQ(read, kWalked) << i;
  }
  for (auto& u : units) u->closeSnmp();
}

// Requests that get no answer: each times out after 300 ms.
class ShortTimeoutTest : public NetSnmpApiTest {
 protected:
  NetSnmpApi shortApi_{loop_, 300};
  ScopedSnmpApi useShort_{&shortApi_};
};

TEST_F(ShortTimeoutTest, WrongCommunityGetsNoAnswer) {
  qor_test::SnmpdAgent agent("127.0.1.101", "right", kUnitObjects);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder r;
  ASSERT_EQ(r.init_snmp("127.0.1.101", "wrong", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10042), 0);
  ASSERT_TRUE(RunUntil([&] { return !r.events.empty(); }));
  EXPECT_EQ(r.events[0].what, "error");
  EXPECT_EQ(r.events[0].code, SNMPAPI_TL_TIMEOUT);
  r.closeSnmp();
}

// A silent v3 unit is asked for its engine ID without anybody waiting: its
// requests are taken and time out, each with its own id, like any silent
// unit's, and another unit is answered meanwhile.
TEST_F(ShortTimeoutTest, ASilentV3UnitHoldsUpNobody) {
  qor_test::SnmpdAgent agent("127.0.1.102", "public", kUnitObjects);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder silent;
  silent.security.version = SnmpSecurity::Version::kV3;
  silent.security.user = "ops";
  silent.security.level = SnmpSecurity::Level::kNoAuthNoPriv;
  // Nothing listens on 127.0.1.103.
  ASSERT_EQ(silent.init_snmp("127.0.1.103", "public", 161, "127.0.0.1", 0), 0);
  Recorder live;
  ASSERT_EQ(live.init_snmp("127.0.1.102", "public", 161, "127.0.0.1", 0), 0);
  std::vector<std::string> order;
  silent.onEvent = [&](const Event& e) { order.push_back("silent " + e.what); };
  live.onEvent = [&](const Event& e) { order.push_back("live " + e.what); };

  ASSERT_EQ(silent.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10011), 0);
  ASSERT_EQ(silent.Send(SNMP_PDU_SET, "1.3.6.1.4.1.6853.1.1.2.0", "1",
                        SNMP_SYNTAX_INT, 0x20012),
            0);
  ASSERT_EQ(live.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10013), 0);
  ASSERT_TRUE(RunUntil([&] { return order.size() == 3; }));
  EXPECT_THAT(order, ElementsAre("live reply", "silent error", "silent error"));
  EXPECT_EQ(silent.events[0].code, SNMPAPI_TL_TIMEOUT);
  EXPECT_EQ(silent.events[0].requestId, 0x10011);
  EXPECT_EQ(silent.events[1].code, SNMPAPI_TL_TIMEOUT);
  EXPECT_EQ(silent.events[1].requestId, 0x20012);
  EXPECT_FALSE(silent.deliveredInsideSend);
  silent.closeSnmp();
  live.closeSnmp();
}

TEST_F(NetSnmpApiTest, SetSucceedsAndARefusedSetCarriesItsErrorStatus) {
  qor_test::SnmpdAgent agent("127.0.1.102", "setter", kUnitObjects);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder r;
  ASSERT_EQ(r.init_snmp("127.0.1.102", "setter", 161, "127.0.0.1", 0), 0);

  ASSERT_EQ(r.Send(SNMP_PDU_SET, "1.3.6.1.4.1.6853.1.1.2.0", "7",
                   SNMP_SYNTAX_INT, 0x20001),
            0);
  ASSERT_EQ(r.Send(SNMP_PDU_SET, "1.3.6.1.4.1.6853.1.2.1.2.1", "Rack 3 left",
                   SNMP_SYNTAX_OCTETS, 0x20002),
            0);
  ASSERT_EQ(r.Send(SNMP_PDU_SET, "1.3.6.1.4.1.6853.1.3.0", "5",
                   SNMP_SYNTAX_TIMETICKS, 0x20003),
            0);
  ASSERT_TRUE(RunUntil([&] { return r.events.size() == 3; }));
  for (const Event& e : r.events) ASSERT_EQ(e.what, "reply");
  auto byId = [&](int32_t id) {
    for (const Event& e : r.events)
      if (e.requestId == id) return e;
    ADD_FAILURE() << "no reply for " << id;
    return Event{};
  };
  EXPECT_EQ(byId(0x20001).errorStatus, 0);
  EXPECT_THAT(byId(0x20001).bindings,
              ElementsAre(Pair("1.3.6.1.4.1.6853.1.1.2.0", "7")));
  EXPECT_EQ(byId(0x20002).errorStatus, 0);
  Event refused = byId(0x20003);
  EXPECT_NE(refused.errorStatus, 0) << "a read-only object refuses the Set";
  EXPECT_EQ(refused.errorIndex, 1);
  EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.1.2.0"), "7");
  EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.2.1.2.1"), "Rack 3 left");
  EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.3.0"), "8640000")
      << agent.Get("1.3.6.1.4.1.6853.1.3.0");
  r.closeSnmp();
}

TEST_F(ShortTimeoutTest, TimeoutReachesSNMPErrorWithTheRequestId) {
  Recorder r;
  // Nothing listens on 127.0.1.103.
  ASSERT_EQ(r.init_snmp("127.0.1.103", "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10007), 0);
  ASSERT_EQ(r.Send(SNMP_PDU_SET, "1.3.6.1.4.1.6853.1.1.2.0", "1",
                   SNMP_SYNTAX_INT, 0x20008),
            0);
  ASSERT_TRUE(RunUntil([&] { return r.events.size() == 2; }));
  EXPECT_EQ(r.events[0].what, "error");
  EXPECT_EQ(r.events[0].code, 108u);
  EXPECT_EQ(r.events[0].requestId, 0x10007);
  EXPECT_EQ(r.events[1].code, 108u);
  EXPECT_EQ(r.events[1].requestId, 0x20008);
  EXPECT_FALSE(r.deliveredInsideSend);
  // Each request times out once: no retries.
  RunFor(800);
  EXPECT_EQ(r.events.size(), 2u);
  EXPECT_THAT(Lines(), ::testing::Contains("Request timeout\n"));
  r.closeSnmp();
}

// Requests sent at different times each time out at their own deadline,
// however the layer keeps them between wake-ups, and once none waits the
// loop has no deadline left to wake for.
TEST_F(ShortTimeoutTest, StaggeredRequestsTimeOutEachAtItsOwnDeadline) {
  Recorder r;
  // Nothing listens on 127.0.1.103.
  ASSERT_EQ(r.init_snmp("127.0.1.103", "public", 161, "127.0.0.1", 0), 0);
  const int64_t t0 = loop_.clock().NowMs();
  ASSERT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10001), 0);
  RunFor(150);
  ASSERT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10002), 0);
  ASSERT_TRUE(RunUntil([&] { return r.events.size() == 1; }));
  const int64_t first = loop_.clock().NowMs() - t0;
  ASSERT_TRUE(RunUntil([&] { return r.events.size() == 2; }));
  const int64_t second = loop_.clock().NowMs() - t0;
  EXPECT_EQ(r.events[0].requestId, 0x10001);
  EXPECT_EQ(r.events[1].requestId, 0x10002);
  // Neither before its own timeout (no duration is asserted beyond that).
  EXPECT_GE(first, 300);
  EXPECT_GE(second, 450);
  EXPECT_EQ(loop_.MsUntilNextTimer(), -1);
  r.closeSnmp();
}

class TrapTest : public NetSnmpApiTest {
 protected:
  qor_test::TrapMessage Trap(int version, const std::string& from) {
    qor_test::TrapMessage t;
    t.version = version;
    t.clientAddress = from;
    t.port = trapPort_;
    t.uptime = 8640000;
    return t;
  }
};

TEST_F(TrapTest, V1AndV2cTrapsReachTheRegisteredSessionInTheV2Form) {
  Recorder unit, other;
  ASSERT_EQ(unit.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(other.init_snmp("127.0.1.105", "public", 161, "127.0.0.1", 0), 0);
  EXPECT_EQ(api_.trapPort(), trapPort_);

  qor_test::TrapMessage v1 = Trap(1, "127.0.1.104");
  v1.enterprise = "1.3.6.1.4.1.6853.1";
  v1.generic = 6;
  v1.specific = 3;
  v1.bindings = {{"1.3.6.1.4.1.6853.1.2.1.1.2", "i", "1"},
                 {"1.3.6.1.4.1.6853.1.1.1.0", "s", "Rack 3"}};
  std::string out;
  ASSERT_TRUE(qor_test::SendTrap(v1, &out)) << out;
  ASSERT_TRUE(RunUntil([&] { return unit.events.size() == 1; }));

  qor_test::TrapMessage cold = Trap(1, "127.0.1.104");
  cold.generic = 0;
  cold.specific = 0;
  ASSERT_TRUE(qor_test::SendTrap(cold, &out)) << out;
  ASSERT_TRUE(RunUntil([&] { return unit.events.size() == 2; }));

  qor_test::TrapMessage v2 = Trap(2, "127.0.1.104");
  v2.trapOid = "1.3.6.1.4.1.6853.0.7";
  v2.bindings = {{"1.3.6.1.4.1.6853.1.5.0", "c", "99"}};
  ASSERT_TRUE(qor_test::SendTrap(v2, &out)) << out;
  ASSERT_TRUE(RunUntil([&] { return unit.events.size() == 3; }));

  EXPECT_EQ(unit.events[0].what, "trap");
  EXPECT_EQ(unit.events[0].type, SNMP_PDU_V1TRAP);
  EXPECT_THAT(
      unit.events[0].bindings,
      ElementsAre(Pair("1.3.6.1.2.1.1.3.0", "1,0:0:0.0"),
                  Pair("1.3.6.1.6.3.1.1.4.1.0", "1.3.6.1.4.1.6853.1.0.3"),
                  Pair("1.3.6.1.4.1.6853.1.2.1.1.2", "1"),
                  Pair("1.3.6.1.4.1.6853.1.1.1.0", "Rack 3")));
  EXPECT_EQ(unit.events[1].type, SNMP_PDU_V1TRAP);
  ASSERT_EQ(unit.events[1].bindings.size(), 2u);
  EXPECT_EQ(unit.events[1].bindings[1],
            Pair("1.3.6.1.6.3.1.1.4.1.0", "1.3.6.1.6.3.1.1.5.1"))
      << "cold start, generic trap 0";
  EXPECT_EQ(unit.events[2].type, SNMP_PDU_TRAP);
  EXPECT_THAT(unit.events[2].bindings,
              ElementsAre(Pair("1.3.6.1.2.1.1.3.0", "1,0:0:0.0"),
                          Pair("1.3.6.1.6.3.1.1.4.1.0", "1.3.6.1.4.1.6853.0.7"),
                          Pair("1.3.6.1.4.1.6853.1.5.0", "99")));
  EXPECT_THAT(other.events, IsEmpty());
  unit.closeSnmp();
  other.closeSnmp();
}

TEST_F(TrapTest, EverySessionOfTheSourceGetsItAndNoOtherDoes) {
  Recorder a, b, c;
  ASSERT_EQ(a.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(b.init_snmp("127.0.1.104:1161", "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(c.init_snmp("127.0.1.105", "public", 161, "127.0.0.1", 0), 0);
  std::string out;
  // From an address nobody registered: dropped. The trap after it, from a
  // registered unit, shows that it was read and went nowhere.
  ASSERT_TRUE(qor_test::SendTrap(Trap(2, "127.0.1.106"), &out)) << out;
  ASSERT_TRUE(qor_test::SendTrap(Trap(1, "127.0.1.104"), &out)) << out;
  ASSERT_TRUE(
      RunUntil([&] { return a.events.size() == 1 && b.events.size() == 1; }));
  RunFor(200);
  EXPECT_EQ(a.events.size(), 1u);
  EXPECT_EQ(b.events.size(), 1u);
  EXPECT_THAT(c.events, IsEmpty());
  EXPECT_EQ(a.events[0].type, SNMP_PDU_V1TRAP);
  // The receiver closes with the last registration and opens again with
  // the next.
  a.closeSnmp();
  b.closeSnmp();
  c.closeSnmp();
  EXPECT_EQ(api_.trapPort(), 0);
  Recorder d;
  ASSERT_EQ(d.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 0);
  EXPECT_EQ(api_.trapPort(), trapPort_);
  ASSERT_TRUE(qor_test::SendTrap(Trap(2, "127.0.1.104"), &out)) << out;
  ASSERT_TRUE(RunUntil([&] { return d.events.size() == 1; }));
  d.closeSnmp();
}

TEST_F(TrapTest, ABusyTrapPortLeavesPollingOnAndIsTriedAgain) {
  int fd = qor_test::BindUdpSocket("0.0.0.0", trapPort_);
  ASSERT_GE(fd, 0);
  const std::string logDir = ::testing::TempDir() + "trap_port_logs";
  std::filesystem::remove_all(logDir);
  LogFile::resetDirectoryCreatedForTest();
  TheLogFile().initWithDirectory(1, "Qor_Mdu", true, true, logDir);
  debugMode = 1;
  std::vector<std::string> list;
  TheDebugList().setListener([&](const char* line) {
    if (line) list.push_back(line);
  });
  api_.setTrapRetryMs(1000);

  // The unit starts and is polled although no trap can come in.
  qor_test::SnmpdAgent agent("127.0.1.104", "public", kUnitObjects);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder r;
  ASSERT_EQ(r.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 0);
  EXPECT_EQ(api_.trapPort(), 0);
  ASSERT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10001), 0);
  ASSERT_TRUE(RunUntil([&] { return !r.events.empty(); }));
  EXPECT_EQ(r.events[0].what, "reply");
  const std::string off = "SNMP traps are off - port " +
                          std::to_string(trapPort_) +
                          " cannot be opened (SNMPAPI_TL_IN_USE:Source "
                          "endpoint in use)";
  EXPECT_THAT(list, ::testing::Contains(off));
  // Said once, not at every try.
  RunFor(2500);
  EXPECT_EQ(std::count(list.begin(), list.end(), off), 1);
  std::string file;
  for (const auto& entry : std::filesystem::directory_iterator(logDir)) {
    std::ifstream in(entry.path());
    file.append(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_NE(file.find(off + " - trying again every 1 s"), std::string::npos)
      << file;

  // Once the port is free, a later try takes it and traps come in.
  close(fd);
  ASSERT_TRUE(RunUntil([&] { return api_.trapPort() == trapPort_; }));
  EXPECT_THAT(list, ::testing::Contains("SNMP traps are on - port " +
                                        std::to_string(trapPort_)));
  std::string out;
  ASSERT_TRUE(qor_test::SendTrap(Trap(2, "127.0.1.104"), &out)) << out;
  ASSERT_TRUE(RunUntil([&] { return r.events.size() == 2; }));
  EXPECT_EQ(r.events[1].what, "trap");
  TheDebugList().setListener(nullptr);
  r.closeSnmp();
  std::filesystem::remove_all(logDir);
}

TEST_F(TrapTest, AnUnusableTrapPortSettingIsRefused) {
  setenv("ZARN_SNMP_TRAP_PORT", "16x", 1);
  Recorder r;
  EXPECT_EQ(r.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 1);
  r.closeSnmp();
}

TEST_F(NetSnmpApiTest, APortInTheAddressTextReplacesTheRemotePort) {
  qor_test::SnmpdAgent agent("127.0.1.106", "fwd", kUnitObjects, 1161);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder r;
  ASSERT_EQ(r.init_snmp("127.0.1.106:1161", "fwd", 161, "127.0.0.1", 0), 0);
  std::vector<Pair> read = Walk(
      this, r, [this](const std::function<bool()>& d) { return RunUntil(d); });
  EXPECT_EQ(read, kWalked);
  r.closeSnmp();
}

TEST_F(NetSnmpApiTest, OtherRemotePortListensForTrapsOnTheNextPort) {
  uint16_t remote = qor_test::FreeUdpPort();
  qor_test::SnmpdAgent agent("127.0.1.107", "ports", kUnitObjects, remote);
  ASSERT_TRUE(agent.Start()) << agent.log();
  Recorder r;
  ASSERT_EQ(r.init_snmp("127.0.1.107", "ports", remote, "127.0.0.1", 0), 0);
  ASSERT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10001), 0);
  ASSERT_TRUE(RunUntil([&] { return !r.events.empty(); }));
  EXPECT_EQ(r.events[0].what, "reply");
  EXPECT_THAT(r.events[0].bindings,
              ElementsAre(Pair("1.3.6.1.4.1.6853.1.1.1.0", "MDU-12")));

  // Its own local entity takes the unit's traps.
  qor_test::TrapMessage trap;
  trap.version = 2;
  trap.clientAddress = "127.0.1.107";
  trap.receiver = "127.0.0.1";
  trap.port = static_cast<uint16_t>(remote + 1);
  std::string out;
  ASSERT_TRUE(qor_test::SendTrap(trap, &out)) << out;
  ASSERT_TRUE(RunUntil([&] { return r.events.size() == 2; }));
  EXPECT_EQ(r.events[1].type, SNMP_PDU_TRAP);

  // A second unit on the same ports cannot listen there.
  Recorder twin;
  EXPECT_EQ(twin.init_snmp("127.0.1.107", "ports", remote, "127.0.0.1", 0), 1);
  EXPECT_THAT(
      Lines(),
      ::testing::Contains("CsnmpZarn::init_snmp(): SnmpListen() failed. "
                          "Error SNMPAPI_TL_IN_USE:Source endpoint in use.\n"));
  twin.closeSnmp();
  r.closeSnmp();
}

TEST_F(NetSnmpApiTest, ASendTheSystemRefusesIsReported) {
  Recorder r;
  // Broadcast without permission: sendto fails at once.
  ASSERT_EQ(r.init_snmp("255.255.255.255", "public", 161, "127.0.0.1", 0), 0);
  EXPECT_EQ(r.Send(SNMP_PDU_GETNEXT, kMdu, nullptr, 0, 0x10001), 1);
  EXPECT_THAT(Lines(),
              ::testing::Contains("Failed to send message. Error "
                                  "SNMPAPI_TL_UNDELIVERABLE:Destination "
                                  "unreachable.\n"));
  RunFor(100);
  EXPECT_THAT(r.events, IsEmpty()) << "a request that never left times out "
                                      "nowhere";
  r.closeSnmp();
  SnmpApiCore::Counts c = api_.LiveCounts();
  EXPECT_EQ(c.handles() + c.descriptors + c.sessions, 0u);
}

TEST_F(NetSnmpApiTest, UnresolvableAddressIsReportedAtInit) {
  Recorder r;
  EXPECT_EQ(r.init_snmp("no-such-unit.invalid", "public", 161, "127.0.0.1", 0),
            1);
  EXPECT_THAT(Lines(), ::testing::Contains(
                           "CsnmpZarn::init_snmp(): SnmpRegister() failed. "
                           "Error SNMPAPI_ENTITY_INVALID:Invalid entity "
                           "parameter.\n"));
  r.closeSnmp();
}

}  // namespace
