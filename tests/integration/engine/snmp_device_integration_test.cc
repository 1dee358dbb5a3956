// The engine against a real net-snmp agent over the real SNMP layer: a full
// fast walk of an MDU-like subtree, control requests through the queue, and
// the supervision when the agent stops and starts again.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
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
  void StartUnit(const qor_test::SnmpdAgent& agent, int pollDelayMs) {
    unit = std::make_unique<TestUnit>(1);
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

}  // namespace
