// The engine against a real net-snmp agent over the real SNMP layer: a full
// fast walk of an MDU-like subtree, control requests through the queue, and
// the supervision when the agent stops and starts again.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "engine/snmp_device.h"
#include "engine/testing/engine_test_util.h"
#include "platform/main_loop.h"
#include "support/mdu_like_subtree.h"
#include "support/snmpd_agent.h"

// net-snmp registers its transport domains once per process and frees them
// only in snmp_shutdown, which the process-wide SNMP layer never reaches;
// those few blocks are not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:netsnmp_*_ctor\n";
}

namespace {

using engine_test::LogCapture;
using engine_test::TestUnit;

constexpr int kPollTimer = 1;

class EngineIntegrationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The process's trap receiver must not need port 162.
    const std::string port = std::to_string(qor_test::FreeUdpPort());
    setenv("ZARN_SNMP_TRAP_PORT", port.c_str(), 1);
  }

  void SetUp() override { SnmpDevice::nextRequestNumber = 0; }

  void TearDown() override {
    TheMainLoop().KillTimer(kPollTimer);
    unit.reset();
  }

  // A unit on |agent| polled every |pollDelayMs| by the main loop.
  void StartUnit(const qor_test::SnmpdAgent& agent, int pollDelayMs,
                 const SnmpSecurity& security = SnmpSecurity()) {
    unit = std::make_unique<TestUnit>(1);
    unit->security = security;
    ASSERT_TRUE(unit->setAddress(agent.address().c_str()));
    ASSERT_TRUE(unit->setCommunity(agent.community().c_str()));
    ASSERT_EQ(0, unit->init_snmp(unit->address, unit->community, 161,
                                 "127.0.0.1", 0));
    unit->onCommsChanged = [this](bool failed) {
      (failed ? failTicks : okTicks).push_back(ticks);
    };
    TheMainLoop().SetTimer(kPollTimer, pollDelayMs, [this] {
      ++ticks;
      if (!unit->scanUnanswered) ++idleTicks;
      unit->PollNext();
    });
    unit->PollNext();
  }

  // Runs the main loop until |done| holds; false after |timeoutMs|.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      TheMainLoop().RunOnce(20);
    }
    return true;
  }

  std::vector<std::string> WalkedOids(size_t from = 0) const {
    std::vector<std::string> oids;
    for (size_t i = from; i < unit->values.size(); ++i) {
      oids.push_back(unit->values[i].first);
    }
    return oids;
  }

  static void SendV3Trap(const qor_test::SnmpdAgent& agent,
                         const SnmpSecurity& security,
                         const std::string& engineId,
                         const std::string& authPass) {
    qor_test::TrapMessage trap;
    trap.version = 3;
    trap.user = security.user;
    trap.level = SnmpLevelName(security.level);
    trap.authProtocol = security.authProtocol;
    trap.authPass = authPass;
    trap.privPass = security.privPass;
    trap.engineId = engineId;
    trap.clientAddress = agent.address();
    trap.port = static_cast<uint16_t>(std::atoi(getenv("ZARN_SNMP_TRAP_PORT")));
    trap.trapOid = "1.3.6.1.4.1.6853.0.3";
    std::string output;
    EXPECT_TRUE(qor_test::SendTrap(trap, &output)) << output;
  }

  std::unique_ptr<TestUnit> unit;
  int ticks = 0;
  int idleTicks = 0;  // ticks that found the walk's last request answered
  std::vector<int> failTicks;
  std::vector<int> okTicks;
};

TEST_F(EngineIntegrationTest, FastWalkCoversTheSubtreeThenOneRequestPerTick) {
  const auto objects = engine_test::MduLikeSubtree(19);
  qor_test::SnmpdAgent agent("127.0.1.111", "private", objects);
  ASSERT_TRUE(agent.Start()) << agent.log();
  LogCapture log(agent.address() + " - ");
  StartUnit(agent, 200);

  ASSERT_TRUE(RunUntil([&] { return unit->fastPollDoneCalls == 1; }))
      << "the fast walk did not end; values: " << unit->values.size();
  std::vector<std::string> expected;
  for (const auto& o : objects) expected.push_back(o.oid);
  // Every object in order, then the agent's next object outside the
  // subtree, which ended the walk.
  auto walked = WalkedOids();
  ASSERT_EQ(expected.size() + 1, walked.size());
  EXPECT_NE(0u, walked.back().rfind(engine_test::kDeviceOid, 0));
  walked.pop_back();
  EXPECT_EQ(expected, walked);
  for (const auto& v : unit->values) {
    if (v.first == "1.3.6.1.4.1.6853.2.4.0") {
      EXPECT_EQ("Rack 3", v.second);
    }
  }
  EXPECT_TRUE(unit->commsOk);
  EXPECT_FALSE(unit->fastPoll);
  EXPECT_FALSE(unit->firstScan);
  EXPECT_EQ(objects.size(), unit->replyCount);
  EXPECT_STREQ(engine_test::kDeviceOid, unit->currentOid);
  EXPECT_EQ(1, log.CountTrace("Comms OK"));

  // Background walk: each tick that finds the last request answered sends
  // one more (all of them, unless the machine stalls for a whole period),
  // and the walk goes on from the start.
  const int idle0 = idleTicks;
  const uint32_t sent0 = unit->sentCount;
  const size_t values0 = unit->values.size();
  ASSERT_TRUE(RunUntil([&] { return idleTicks >= idle0 + 5; }));
  ASSERT_TRUE(RunUntil([&] { return !unit->scanUnanswered; }, 5000));
  const uint32_t sent = unit->sentCount - sent0;
  EXPECT_EQ(static_cast<uint32_t>(idleTicks - idle0), sent);
  ASSERT_LE(sent, expected.size());
  EXPECT_EQ(std::vector<std::string>(expected.begin(), expected.begin() + sent),
            WalkedOids(values0));
  EXPECT_EQ(1, unit->fastPollDoneCalls);
}

TEST_F(EngineIntegrationTest, SetsGoThroughTheQueueAndReachTheAgent) {
  const std::string location = "1.3.6.1.4.1.6853.2.4.0";
  const std::string output = "1.3.6.1.4.1.6853.3.4.1.2.3";
  qor_test::SnmpdAgent agent("127.0.1.112", "private",
                             engine_test::MduLikeSubtree(2));
  ASSERT_TRUE(agent.Start()) << agent.log();
  StartUnit(agent, 200);
  // Sets wait only for a unit known to answer: once it has, the walk's
  // request is outstanding and both Sets wait in the queue.
  ASSERT_TRUE(RunUntil([&] {
    return unit->commsOk && unit->fastPoll && unit->outstanding >= 1;
  }));
  unit->SendSnmpMessage(SNMP_PDU_SET, location.c_str(), "Rack 9",
                        SNMP_SYNTAX_OCTETS, false);
  unit->SendSnmpMessage(SNMP_PDU_SET, output.c_str(), "0", SNMP_SYNTAX_INT,
                        false);
  EXPECT_EQ(2, unit->bufferCount());

  auto answered = [&](const std::string& oid, const std::string& value) {
    for (const auto& v : unit->values) {
      if (v.first == oid && v.second == value) return true;
    }
    return false;
  };
  ASSERT_TRUE(RunUntil(
      [&] { return answered(location, "Rack 9") && answered(output, "0"); }));
  EXPECT_EQ(0, unit->bufferCount());
  EXPECT_EQ("Rack 9", agent.Get(location));
  EXPECT_EQ("0", agent.Get(output));
  // The walk went on around them.
  ASSERT_TRUE(RunUntil([&] { return unit->fastPollDoneCalls == 1; }));
}

TEST_F(EngineIntegrationTest, StoppedAgentFailsAfterSixMissedTicksEveryTime) {
  constexpr int kPollDelayMs = 250;
  qor_test::SnmpdAgent agent("127.0.1.113", "private",
                             engine_test::MduLikeSubtree(2));
  ASSERT_TRUE(agent.Start()) << agent.log();
  LogCapture log(agent.address() + " - ");
  StartUnit(agent, kPollDelayMs);
  ASSERT_TRUE(RunUntil([&] { return unit->fastPollDoneCalls == 1; }));

  for (int cycle = 0; cycle < 2; ++cycle) {
    const int walks = unit->fastPollDoneCalls;
    agent.Stop();
    const int stopTick = ticks;
    ASSERT_TRUE(RunUntil([&] { return failTicks.size() == cycle + 1u; }))
        << "cycle " << cycle << ": no failure declared";
    // One tick may still send a fresh request (the last one was answered
    // before the stop); the six after it miss.
    const int ticksToFailure = failTicks.back() - stopTick;
    EXPECT_GE(ticksToFailure, 6) << "cycle " << cycle;
    EXPECT_LE(ticksToFailure, 7) << "cycle " << cycle;
    EXPECT_FALSE(unit->commsOk);

    // Silent for longer than the layer's timeout, so that timeouts of
    // requests sent meanwhile arrive after the agent is back.
    const int silentUntil = ticks + 6;
    ASSERT_TRUE(RunUntil([&] { return ticks >= silentUntil; }));
    ASSERT_TRUE(agent.Start()) << agent.log();
    const int startTick = ticks;
    ASSERT_TRUE(RunUntil([&] { return okTicks.size() == cycle + 2u; }))
        << "cycle " << cycle << ": no recovery";
    EXPECT_LE(okTicks.back() - startTick, 2) << "cycle " << cycle;
    EXPECT_TRUE(unit->commsOk);
    ASSERT_TRUE(RunUntil([&] { return unit->fastPollDoneCalls > walks; }))
        << "cycle " << cycle << ": the walk stalled after recovery";
  }
  EXPECT_EQ(2, log.CountTrace("Comms Failed"));
  EXPECT_EQ(3, log.CountTrace("Comms OK"));
}

// ---------------------------------------------------------------------------
// Versions 2c and 3 against a real agent: its users made by createUser, its
// community still served for version 1 and 2c.

constexpr const char* kAuthPass = "auth-pass-phrase-one";
constexpr const char* kPrivPass = "priv-pass-phrase-two";
// The engine ID the units' v3 traps are sent with (SNMPTrapEngineID).
constexpr const char* kTrapEngineId = "0x80001f8880c0ffee0001";

void AddUsers(qor_test::SnmpdAgent& agent) {
  agent.AddConfig(std::string("createUser authonly SHA \"") + kAuthPass + "\"");
  agent.AddConfig(std::string("createUser authpriv SHA-256 \"") + kAuthPass +
                  "\" AES \"" + kPrivPass + "\"");
  agent.AddConfig("rwuser authonly auth");
  agent.AddConfig("rwuser authpriv priv");
}

SnmpSecurity Security(
    SnmpSecurity::Version version, const char* user = "",
    SnmpSecurity::Level level = SnmpSecurity::Level::kAuthPriv) {
  SnmpSecurity s;
  s.version = version;
  s.user = user;
  s.level = level;
  s.authProtocol = std::string(user) == "authpriv" ? "SHA-256" : "SHA";
  s.authPass = kAuthPass;
  s.privPass = kPrivPass;
  s.trapEngineId = {0x80, 0x00, 0x1f, 0x88, 0x80, 0xc0, 0xff, 0xee, 0x00, 0x01};
  return s;
}

struct SecureCase {
  const char* name;
  const char* address;
  SnmpSecurity security;
};
void PrintTo(const SecureCase& c, std::ostream* os) { *os << c.name; }

class SecureUnitTest : public EngineIntegrationTest,
                       public ::testing::WithParamInterface<SecureCase> {};

TEST_P(SecureUnitTest, WalksInBulkSetsAndTakesItsTraps) {
  const SecureCase& c = GetParam();
  const auto objects = engine_test::MduLikeSubtree(19);
  qor_test::SnmpdAgent agent(c.address, "private", objects);
  AddUsers(agent);
  ASSERT_TRUE(agent.Start()) << agent.log();
  LogCapture log(agent.address() + " - ");
  StartUnit(agent, 200, c.security);

  ASSERT_TRUE(RunUntil([&] { return unit->fastPollDoneCalls == 1; }))
      << "the fast walk did not end; values: " << unit->values.size()
      << " refusal: " << unit->refusal;
  std::vector<std::string> expected;
  for (const auto& o : objects) expected.push_back(o.oid);
  EXPECT_EQ(expected, WalkedOids());
  EXPECT_FALSE(unit->bulkFallback);
  // 160 objects at 25 a request: seven requests, and the first tick's.
  EXPECT_LE(unit->sentCount, 8u);

  const std::string location = "1.3.6.1.4.1.6853.2.4.0";
  unit->SendSnmpMessage(SNMP_PDU_SET, location.c_str(), "Rack 11",
                        SNMP_SYNTAX_OCTETS, false);
  ASSERT_TRUE(RunUntil([&] { return agent.Get(location) == "Rack 11"; }));

  const bool v3 = c.security.version == SnmpSecurity::Version::kV3;
  if (v3) {
    SendV3Trap(agent, c.security, kTrapEngineId, kAuthPass);
    ASSERT_TRUE(RunUntil([&] { return !unit->trapOids.empty(); }, 5000))
        << unit->trapsRefused << " refused: " << unit->trapRefusal;
  }
  // An inform: snmpinform succeeds only when the driver answers it (a v3
  // one after learning the driver's engine ID and time), which it does
  // from the loop, so it is sent from another thread.
  qor_test::TrapMessage inform;
  inform.community = "private";
  if (v3) {
    inform.version = 3;
    inform.user = c.security.user;
    inform.level = SnmpLevelName(c.security.level);
    inform.authProtocol = c.security.authProtocol;
    inform.authPass = kAuthPass;
    inform.privPass = c.security.privPass;
  }
  inform.inform = true;
  inform.clientAddress = agent.address();
  inform.port = static_cast<uint16_t>(std::atoi(getenv("ZARN_SNMP_TRAP_PORT")));
  inform.trapOid = "1.3.6.1.4.1.6853.0.3";
  std::string output;
  auto sent = std::async(std::launch::async,
                         [&] { return qor_test::SendTrap(inform, &output); });
  ASSERT_TRUE(RunUntil([&] {
    return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }));
  EXPECT_TRUE(sent.get()) << output;
  const size_t traps = v3 ? 2 : 1;
  ASSERT_TRUE(RunUntil([&] { return unit->trapOids.size() == traps; }, 5000))
      << unit->trapsRefused << " refused: " << unit->trapRefusal;
  EXPECT_EQ("1.3.6.1.4.1.6853.0.3", unit->trapOids.back());
  EXPECT_EQ(0u, unit->trapsRefused);

  if (v3) {
    // A unit that starts again with another engine ID (this agent keeps
    // none) is silent to requests of the old one: once it was failed, the
    // driver learns the new one, and the unit answers and switches again.
    agent.Stop();
    ASSERT_TRUE(agent.Start()) << agent.log();
    ASSERT_TRUE(RunUntil([&] { return !unit->commsOk; }));
    ASSERT_TRUE(RunUntil([&] { return unit->commsOk; }));
    unit->SendSnmpMessage(SNMP_PDU_SET, location.c_str(), "Rack 12",
                          SNMP_SYNTAX_OCTETS, false);
    ASSERT_TRUE(RunUntil([&] { return agent.Get(location) == "Rack 12"; }));
    for (const auto& l : log.fileLines())
      EXPECT_EQ(std::string::npos, l.find("not in time window")) << l;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, SecureUnitTest,
    ::testing::Values(
        SecureCase{"V2c", "127.0.1.114", Security(SnmpSecurity::Version::kV2c)},
        SecureCase{"V3AuthNoPriv", "127.0.1.115",
                   Security(SnmpSecurity::Version::kV3, "authonly",
                            SnmpSecurity::Level::kAuthNoPriv)},
        SecureCase{"V3AuthPriv", "127.0.1.116",
                   Security(SnmpSecurity::Version::kV3, "authpriv")}),
    [](const auto& info) { return std::string(info.param.name); });

struct CauseCase {
  const char* name;
  const char* user;
  SnmpSecurity::Level level;
  const char* authPass;
  const char* privPass;
  const char* cause;
};
void PrintTo(const CauseCase& c, std::ostream* os) { *os << c.name; }

class WrongCredentialsTest : public EngineIntegrationTest,
                             public ::testing::WithParamInterface<CauseCase> {};

TEST_P(WrongCredentialsTest, AreNamedAndTheUnitFailsAsASilentOne) {
  const CauseCase& c = GetParam();
  qor_test::SnmpdAgent agent("127.0.1.117", "private",
                             engine_test::MduLikeSubtree(2));
  AddUsers(agent);
  ASSERT_TRUE(agent.Start()) << agent.log();
  LogCapture log(agent.address() + " - ");
  SnmpSecurity security = Security(SnmpSecurity::Version::kV3, c.user, c.level);
  security.authPass = c.authPass;
  security.privPass = c.privPass;
  StartUnit(agent, 100, security);
  ASSERT_TRUE(RunUntil([&] { return !unit->refusal.empty(); }))
      << "nothing named";
  EXPECT_EQ(c.cause, unit->refusal);
  const std::string line = "1:127.0.1.117 - " + std::string(c.cause);
  ASSERT_TRUE(RunUntil([&] { return ticks >= 8; }));
  int lines = 0;
  for (const auto& l : log.fileLines())
    lines += l.find(line) != std::string::npos;
  EXPECT_EQ(1, lines) << "one line per unit and cause";
  EXPECT_FALSE(unit->commsOk);
  EXPECT_TRUE(unit->values.empty());
  EXPECT_EQ(std::vector<std::string>{c.cause}, unit->causeChanges)
      << "the model hears of the cause once";
  // No pass phrase in any line the driver wrote.
  std::vector<std::string> all = log.fileLines();
  for (const auto& l : log.list()) all.push_back(l);
  for (const auto& l : log.traces()) all.push_back(l);
  for (const auto& l : all) {
    EXPECT_EQ(std::string::npos, l.find(kAuthPass)) << l;
    EXPECT_EQ(std::string::npos, l.find(kPrivPass)) << l;
    EXPECT_EQ(std::string::npos, l.find("wrong-pass-phrase")) << l;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, WrongCredentialsTest,
    ::testing::Values(
        CauseCase{"WrongAuthPassPhrase", "authonly",
                  SnmpSecurity::Level::kAuthNoPriv, "wrong-pass-phrase", "",
                  "authentication failed: wrong digest"},
        CauseCase{"UnknownUser", "nobody", SnmpSecurity::Level::kAuthNoPriv,
                  kAuthPass, "", "authentication failed: unknown user name"},
        CauseCase{"LevelTheUserLacks", "authonly",
                  SnmpSecurity::Level::kAuthPriv, kAuthPass, kPrivPass,
                  "authentication failed: unsupported security level"}),
    [](const auto& info) { return std::string(info.param.name); });

// A v3 trap is taken only with the unit's user, level and engine ID, and
// each one that is not is counted, with one line per cause.
TEST_F(EngineIntegrationTest, V3TrapsThatFailTheirChecksAreDroppedAndNamed) {
  qor_test::SnmpdAgent agent("127.0.1.118", "private",
                             engine_test::MduLikeSubtree(2));
  AddUsers(agent);
  ASSERT_TRUE(agent.Start()) << agent.log();
  LogCapture log(agent.address() + " - ");
  const SnmpSecurity security =
      Security(SnmpSecurity::Version::kV3, "authpriv");
  StartUnit(agent, 200, security);
  ASSERT_TRUE(RunUntil([&] { return unit->commsOk; }));

  SendV3Trap(agent, security, "0x80001f8880c0ffee0002", kAuthPass);
  ASSERT_TRUE(RunUntil([&] { return unit->trapsRefused == 1; }));
  EXPECT_EQ("authentication failed: unknown engine ID", unit->trapRefusal);
  SendV3Trap(agent, security, kTrapEngineId, "wrong-pass-phrase");
  ASSERT_TRUE(RunUntil([&] { return unit->trapsRefused == 2; }));
  EXPECT_EQ("authentication failed: wrong digest", unit->trapRefusal);
  EXPECT_TRUE(unit->trapOids.empty());
  bool named = false;
  for (const auto& l : log.fileLines())
    named = named || l.find(
                         "1:127.0.1.118 - trap dropped - authentication "
                         "failed: unknown engine ID") != std::string::npos;
  EXPECT_TRUE(named);
}

}  // namespace
