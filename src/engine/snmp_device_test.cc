#include "engine/snmp_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/testing/engine_test_util.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "platform/control_deadline.h"
#include "platform/structured_exception.h"
#include "snmp/testing/fake_snmp_api.h"

namespace {

using engine_test::kDeviceOid;
using engine_test::LogCapture;
using engine_test::SimAgent;
using engine_test::TestUnit;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using SentPdu = FakeSnmpApi::SentPdu;

constexpr const char* kAddress = "127.0.1.111";
const std::string kStart = kDeviceOid;
const std::string kObj1 = kStart + ".2.4.0";
const std::string kObj2 = kStart + ".2.5.0";
const std::string kObj3 = kStart + ".2.6.0";
const std::string kOutState2 = kStart + ".3.4.1.2.2";

class SnmpDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SnmpDevice::nextRequestNumber = 0;
    agent.Add(kObj1, SNMP_SYNTAX_OCTETS, "Rack 3");
    agent.Add(kObj2, SNMP_SYNTAX_INT, "45");
    agent.Add(kObj3, SNMP_SYNTAX_INT, "50");
    agent.Add(kOutState2, SNMP_SYNTAX_INT, "1");
    unit = NewUnit(1, kAddress);
    log.Clear();
  }
  void TearDown() override { unit.reset(); }

  std::unique_ptr<TestUnit> NewUnit(int instance, const char* address) {
    auto u = std::make_unique<TestUnit>(instance);
    u->clock = &clock;
    EXPECT_TRUE(u->setAddress(address));
    EXPECT_TRUE(u->setCommunity("private"));
    EXPECT_EQ(0, u->init_snmp(u->address, u->community, 161, "127.0.0.1", 0));
    return u;
  }

  size_t Sent() const { return fake.sentCount(); }
  SentPdu Last() const { return fake.lastSent(); }
  void AnswerLast() { agent.Answer(fake, Last()); }

  // A scan reply to |request| naming |oid|, of any error status.
  void ReplyScan(const SentPdu& request, const std::string& oid,
                 int32_t errorStatus = 0, const std::string& value = "7") {
    fake.ReplyTo(request, {{oid, SNMP_SYNTAX_INT, value}}, errorStatus,
                 errorStatus ? 1 : 0);
  }

  // Runs a whole fast walk from the first tick: ends in the background walk
  // with communication good and nothing outstanding.
  void WalkToBackground() {
    unit->PollNext();
    for (int i = 0; i < 100 && unit->fastPoll; ++i) AnswerLast();
    ASSERT_FALSE(unit->fastPoll);
    ASSERT_TRUE(unit->commsOk);
    ASSERT_EQ(0, unit->outstanding.load());
    log.Clear();
  }

  // The fast walk running, one scan request in flight.
  void WalkToFast() {
    unit->PollNext();
    AnswerLast();
    ASSERT_TRUE(unit->fastPoll);
    ASSERT_TRUE(unit->commsOk);
    ASSERT_EQ(1, unit->outstanding.load());
    log.Clear();
  }

  ManualClock clock{1000000};
  FakeSnmpApi fake;
  ScopedSnmpApi use{&fake};
  LogCapture log{std::string(kAddress) + " - "};
  SimAgent agent;
  std::unique_ptr<TestUnit> unit;
};

// ---------------------------------------------------------------------------
// Construction, fields and log lines

TEST_F(SnmpDeviceTest, StartsSeekingWithItsInitialValues) {
  auto fresh = std::make_unique<TestUnit>(7);
  EXPECT_EQ(0u, fresh->sentCount);
  EXPECT_EQ(0u, fresh->replyCount);
  EXPECT_EQ(0u, fresh->trapCount);
  EXPECT_STREQ("Address unassigned", fresh->address);
  EXPECT_STREQ("Community unassigned", fresh->community);
  EXPECT_TRUE(fresh->fastPoll);
  EXPECT_FALSE(fresh->commsOk);
  EXPECT_TRUE(fresh->firstScan);
  EXPECT_STREQ(kDeviceOid, fresh->currentOid);
  EXPECT_EQ(99, fresh->missedPolls);
  EXPECT_EQ(0, fresh->outstanding.load());
  EXPECT_EQ(600, fresh->slotOffset);
  EXPECT_EQ(600, fresh->getOffset());
  EXPECT_EQ(7, fresh->instance);
  EXPECT_EQ(kStart, fresh->scanStartOid);
  EXPECT_EQ(kStart, fresh->deviceOid);
  EXPECT_EQ(0, fresh->bufferCount());
  EXPECT_THAT(log.list(), ElementsAre("7:SnmpDevice::Scans will start at "
                                      "1.3.6.1.4.1.6853. Device starts at "
                                      "1.3.6.1.4.1.6853"));
}

TEST_F(SnmpDeviceTest, LogLinesCarryTheUnitsPrefixAndStayWithinTheirBuffer) {
  unit->logList("x=%d", 5);
  unit->logTrace("y=%s", "z");
  EXPECT_THAT(log.list(), ElementsAre("1:x=5"));
  EXPECT_THAT(log.traces(), ElementsAre("y=z"));

  log.Clear();
  const std::string huge(2000, 'a');
  unit->logList("%s", huge.c_str());
  unit->logTrace("%s", huge.c_str());
  ASSERT_EQ(1u, log.list().size());
  EXPECT_EQ(511u, log.list()[0].size());
  ASSERT_EQ(1u, log.traces().size());
  EXPECT_EQ(511u - std::string(kAddress).size() - 3, log.traces()[0].size());

  log.Clear();
  debugMode = 0;
  unit->logList("quiet");
  unit->logTrace("quiet");
  debugMode = 1;
  EXPECT_THAT(log.list(), IsEmpty());
  EXPECT_THAT(log.traces(), IsEmpty());
}

TEST_F(SnmpDeviceTest, SettingsThatDoNotFitAreRefusedWithoutTouchingTheField) {
  EXPECT_FALSE(unit->setAddress(std::string(64, '1').c_str()));
  EXPECT_FALSE(unit->setAddress(nullptr));
  EXPECT_STREQ(kAddress, unit->address);
  EXPECT_TRUE(unit->setCommunity(std::string(63, 'c').c_str()));
  EXPECT_EQ(std::string(63, 'c'), unit->community);
}

// ---------------------------------------------------------------------------
// The mode table: what a poll tick does in each mode

struct TickCase {
  const char* name;
  bool fastPoll;
  bool commsOk;
  int32_t outstanding;
  bool scanUnanswered;
  size_t sends;         // requests the tick sends
  int32_t missedAfter;  // `missedPolls` after the tick
};
void PrintTo(const TickCase& c, std::ostream* os) { *os << c.name; }

class PollTickTest : public SnmpDeviceTest,
                     public ::testing::WithParamInterface<TickCase> {};

TEST_P(PollTickTest, SendsOrCountsAsTheModeSays) {
  const TickCase& c = GetParam();
  unit->fastPoll = c.fastPoll;
  unit->commsOk = c.commsOk;
  unit->missedPolls = c.commsOk ? 0 : 99;
  unit->outstanding = c.outstanding;
  unit->scanUnanswered = c.scanUnanswered;
  std::snprintf(unit->currentOid, sizeof unit->currentOid, "%s", kObj2.c_str());

  unit->PollNext();

  ASSERT_EQ(c.sends, Sent());
  EXPECT_EQ(c.missedAfter, unit->missedPolls);
  EXPECT_EQ(c.fastPoll, unit->fastPoll);
  EXPECT_EQ(c.commsOk, unit->commsOk);
  if (c.sends == 1) {
    EXPECT_EQ(SNMP_PDU_GETNEXT, Last().type);
    EXPECT_EQ(kObj2, Last().oid);
    EXPECT_EQ(SNMP_SYNTAX_NULL, Last().syntax);
    EXPECT_EQ(kScanRequestTag, requestTag(Last().requestId));
    EXPECT_EQ(c.outstanding + 1, unit->outstanding.load());
    EXPECT_TRUE(unit->scanUnanswered);
  } else {
    EXPECT_EQ(c.outstanding, unit->outstanding.load());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PollTickTest,
    ::testing::Values(
        TickCase{"SeekingIdle", true, false, 0, false, 1, 99},
        TickCase{"SeekingWithThreeOutstanding", true, false, 3, true, 1, 99},
        TickCase{"FastWalkRequestUnanswered", true, true, 1, true, 0, 1},
        TickCase{"FastWalkRequestTimedOut", true, true, 0, true, 0, 1},
        TickCase{"FastWalkNothingInFlight", true, true, 0, false, 1, 0},
        TickCase{"BackgroundIdle", false, true, 0, false, 1, 0},
        TickCase{"BackgroundRequestUnanswered", false, true, 1, true, 0, 1},
        TickCase{"BackgroundRequestTimedOut", false, true, 0, true, 0, 1},
        TickCase{"BackgroundAfterLateTimeouts", false, true, -4, true, 0, 1},
        TickCase{"BackgroundSetOutstanding", false, true, 1, false, 0, 1},
        TickCase{"SilentIdle", false, false, 0, false, 1, 99},
        TickCase{"SilentWithTwoOutstanding", false, false, 2, true, 1, 99}),
    [](const auto& info) { return std::string(info.param.name); });

// The mode table: what a scan reply with an accepted value does.
struct ReplyCase {
  const char* name;
  bool fastPoll;
  bool commsOk;
  bool commsOkAfter;
  size_t sendsAtOnce;
  std::vector<bool> commsChanges;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ScanReplyModeTest : public SnmpDeviceTest,
                          public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ScanReplyModeTest, StepsAndSendsAsTheModeSays) {
  const ReplyCase& c = GetParam();
  unit->fastPoll = c.fastPoll;
  unit->commsOk = c.commsOk;
  unit->missedPolls = c.commsOk ? 0 : 99;
  std::snprintf(unit->currentOid, sizeof unit->currentOid, "%s", kObj1.c_str());
  unit->SendSnmpMessage(SNMP_PDU_GETNEXT, unit->currentOid, nullptr, 0, true);
  const SentPdu request = Last();
  fake.ClearSent();

  agent.Answer(fake, request);  // the agent returns kObj2

  EXPECT_EQ(c.sendsAtOnce, Sent());
  EXPECT_EQ(kObj2, unit->currentOid);
  EXPECT_EQ(c.fastPoll, unit->fastPoll);
  EXPECT_EQ(c.commsOkAfter, unit->commsOk);
  EXPECT_EQ(c.commsChanges, unit->commsChanges);
  EXPECT_EQ(0, unit->missedPolls);
  if (c.sendsAtOnce == 1) {
    EXPECT_EQ(kObj2, Last().oid);
  }
  EXPECT_EQ(static_cast<int32_t>(c.sendsAtOnce), unit->outstanding.load());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ScanReplyModeTest,
    ::testing::Values(ReplyCase{"Seeking", true, false, true, 1, {false}},
                      ReplyCase{"FastWalk", true, true, true, 1, {}},
                      ReplyCase{"Background", false, true, true, 0, {}},
                      ReplyCase{"Silent", false, false, true, 0, {false}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Transitions

TEST_F(SnmpDeviceTest, FirstTickAsksForTheStartOidAndEveryTickWhileSeeking) {
  unit->PollNext();
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(kStart, Last().oid);
  EXPECT_EQ(0x10001, Last().requestId);
  EXPECT_EQ(kAddress, Last().address);
  EXPECT_EQ("private", Last().community);
  unit->PollNext();
  unit->PollNext();
  EXPECT_EQ(3u, Sent());
  EXPECT_EQ(3, unit->outstanding.load());
  EXPECT_EQ(3u, unit->sentCount);
  EXPECT_EQ(kStart, Last().oid);
}

// A unit that never answered gets no "Comms Failed" line; it says once what
// to check instead, in the debug list and the log file.
TEST_F(SnmpDeviceTest, UnitThatNeverAnsweredSaysOnceWhatToCheck) {
  const std::string hint =
      "1:127.0.1.111 - no answer since the start - check its SNMPAddress, "
      "its SNMPCommunity and that its SNMP agent runs";
  for (int i = 1; i < SnmpDevice::kTicksBeforeNoAnswerHint; ++i)
    unit->PollNext();
  EXPECT_THAT(log.list(), IsEmpty());
  for (int i = 0; i < 20; ++i) unit->PollNext();
  EXPECT_THAT(log.list(), ElementsAre(hint));
  EXPECT_THAT(log.fileLines(), Contains(hint));
  // One that answered and then went silent has its designed lines only.
  auto answered = NewUnit(2, "127.0.1.112");
  answered->PollNext();
  agent.Answer(fake, Last());
  log.Clear();
  answered->commsOk = false;
  for (int i = 0; i < 20; ++i) answered->PollNext();
  EXPECT_THAT(log.list(), IsEmpty());
}

TEST_F(SnmpDeviceTest, AcceptedValueWhileSeekingDeclaresCommsOk) {
  unit->PollNext();
  unit->PollNext();  // two outstanding
  AnswerLast();
  EXPECT_TRUE(unit->commsOk);
  EXPECT_TRUE(unit->fastPoll);
  EXPECT_THAT(unit->commsChanges, ElementsAre(false));
  EXPECT_EQ(1, log.CountTrace("Comms OK"));
  EXPECT_THAT(log.list(), ElementsAre("1:127.0.1.111 - Comms OK"));
  // The reset to 0 happened before the walk's next request went out.
  EXPECT_EQ(1, unit->outstanding.load());
  EXPECT_EQ(0, unit->missedPolls);

  // Later values only reset the count.
  unit->missedPolls = 2;
  AnswerLast();
  EXPECT_THAT(unit->commsChanges, ElementsAre(false));
  EXPECT_EQ(1, log.CountTrace("Comms OK"));
  EXPECT_EQ(0, unit->missedPolls);
}

TEST_F(SnmpDeviceTest, FastWalkSendsEachNextRequestAtOnceAndEndsInBackground) {
  unit->PollNext();
  std::vector<std::string> asked;
  for (int i = 0; i < 10 && unit->fastPoll; ++i) {
    asked.push_back(Last().oid);
    AnswerLast();
  }
  // Start, the four objects, then noSuchName on the last one ends the walk.
  EXPECT_THAT(asked, ElementsAre(kStart, kObj1, kObj2, kObj3, kOutState2));
  EXPECT_FALSE(unit->fastPoll);
  EXPECT_TRUE(unit->commsOk);
  EXPECT_FALSE(unit->firstScan);
  EXPECT_EQ(1, unit->fastPollDoneCalls);
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_EQ(5u, Sent());  // the walk's end sends nothing more
  EXPECT_EQ(0, unit->outstanding.load());
  EXPECT_EQ(1, log.CountTrace(
                   "SNMPReply '" + kOutState2 +
                   "'. Background poll - ours (1.3.6.1.4.1.6853) - No such "
                   "name - fast poll is on - turning it off. Restart poll."));
  EXPECT_EQ("1:Start scan from '1.3.6.1.4.1.6853'", log.list().back());

  // Background: one request per tick, stepped by the replies only.
  unit->PollNext();
  EXPECT_EQ(6u, Sent());
  AnswerLast();
  EXPECT_EQ(6u, Sent());
  EXPECT_EQ(kObj1, unit->currentOid);
}

struct WalkEndCase {
  const char* name;
  bool fastPoll;
  bool commsOk;
  bool notOurs;  // else noSuchName on an ours OID
  int fastPollDoneCalls;
  const char* trace;  // %s: the reply's OID
};
void PrintTo(const WalkEndCase& c, std::ostream* os) { *os << c.name; }

class WalkEndTest : public SnmpDeviceTest,
                    public ::testing::WithParamInterface<WalkEndCase> {};

TEST_P(WalkEndTest, RestartsAtTheStartOid) {
  const WalkEndCase& c = GetParam();
  unit->fastPoll = c.fastPoll;
  unit->commsOk = c.commsOk;
  unit->missedPolls = c.commsOk ? 0 : 99;
  std::snprintf(unit->currentOid, sizeof unit->currentOid, "%s",
                kOutState2.c_str());
  unit->SendSnmpMessage(SNMP_PDU_GETNEXT, unit->currentOid, nullptr, 0, true);
  const std::string oid = c.notOurs ? "1.3.6.1.6.3.1.1.6.1.0" : kOutState2;
  ReplyScan(Last(), oid, c.notOurs ? 0 : SNMP_ERROR_NOSUCHNAME);

  EXPECT_FALSE(unit->fastPoll);
  EXPECT_EQ(c.commsOk, unit->commsOk);  // a value outside is not accepted
  EXPECT_FALSE(unit->firstScan);
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_EQ(c.fastPollDoneCalls, unit->fastPollDoneCalls);
  char expected[512];
  std::snprintf(expected, sizeof expected, c.trace, oid.c_str());
  EXPECT_EQ(1, log.CountTrace(expected)) << expected;
  EXPECT_EQ("1:Start scan from '1.3.6.1.4.1.6853'", log.list().back());
  EXPECT_EQ(1u, Sent());  // no request at once after the end
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WalkEndTest,
    ::testing::Values(
        WalkEndCase{"FastNotOurs", true, true, true, 1,
                    "SNMPReply '%s'. not ours (1.3.6.1.4.1.6853) - fast poll "
                    "is on - turning it off. Restart poll."},
        WalkEndCase{"SeekingNotOursGoesSilent", true, false, true, 1,
                    "SNMPReply '%s'. not ours (1.3.6.1.4.1.6853) - fast poll "
                    "is on - turning it off. Restart poll."},
        WalkEndCase{"BackgroundNotOurs", false, true, true, 0,
                    "SNMPReply '%s'. not ours (1.3.6.1.4.1.6853) - not fast "
                    "poll. Restart poll."},
        WalkEndCase{"FastNoSuchName", true, true, false, 1,
                    "SNMPReply '%s'. Background poll - ours "
                    "(1.3.6.1.4.1.6853) - No such name - fast poll is on - "
                    "turning it off. Restart poll."},
        WalkEndCase{"BackgroundNoSuchName", false, true, false, 0,
                    "SNMPReply '%s'. Background poll - ours "
                    "(1.3.6.1.4.1.6853) - No such name - not fast poll. "
                    "Restart poll."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SnmpDeviceTest, OursIsAPlainPrefixTest) {
  WalkToFast();
  ReplyScan(Last(), "1.3.6.1.4.1.68530.1");
  EXPECT_STREQ("1.3.6.1.4.1.68530.1", unit->currentOid);
  EXPECT_TRUE(unit->fastPoll);
  EXPECT_EQ(0, unit->fastPollDoneCalls);
  EXPECT_EQ("1.3.6.1.4.1.68530.1", Last().oid);
}

TEST_F(SnmpDeviceTest, StartScanWhileGoodSeeksWithoutDeclaringAFailure) {
  WalkToBackground();
  unit->outstanding = 3;
  unit->startScan();
  EXPECT_FALSE(unit->commsOk);
  EXPECT_TRUE(unit->fastPoll);
  EXPECT_EQ(0, unit->outstanding.load());
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_THAT(unit->commsChanges, ElementsAre(false));  // from the first walk
  EXPECT_EQ(0, log.CountTrace("Comms Failed"));
  EXPECT_THAT(log.list(), ElementsAre("1:Start scan from '1.3.6.1.4.1.6853'"));

  unit->PollNext();
  AnswerLast();
  EXPECT_THAT(unit->commsChanges, ElementsAre(false, false));
  EXPECT_EQ(1, log.CountTrace("Comms OK"));
  EXPECT_TRUE(unit->firstScan == false);
}

// ---------------------------------------------------------------------------
// Edge cases of the reply path

TEST_F(SnmpDeviceTest, CommsOkForgetsWhatWasOutstandingWhileSeeking) {
  unit->PollNext();
  unit->PollNext();
  unit->PollNext();  // three requests, none answered yet
  ASSERT_EQ(3, unit->outstanding.load());
  const SentPdu request = Last();
  fake.ClearSent();
  agent.Answer(fake, request);
  // The count starts again at the first value: the fast walk goes on at
  // once with its next request, which is all that is outstanding now.
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(kObj1, Last().oid);
  EXPECT_EQ(1, unit->outstanding.load());
}

TEST_F(SnmpDeviceTest, FastWalkGoesOnWhenLateTimeoutsTookTheCountBelowZero) {
  WalkToFast();
  const SentPdu request = Last();
  unit->outstanding = 0;  // a late timeout of an old request came first
  fake.ClearSent();
  agent.Answer(fake, request);
  ASSERT_EQ(-1 + 1, unit->outstanding.load());
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(kObj2, Last().oid);
}

TEST_F(SnmpDeviceTest, ASetsReplyDoesNotAnswerTheWalksRequest) {
  WalkToBackground();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", SNMP_SYNTAX_INT,
                        false);
  const SentPdu set = Last();
  unit->outstanding = 0;  // the Set alone would hold the walk's tick
  unit->PollNext();
  const SentPdu scan = Last();
  ASSERT_EQ(SNMP_PDU_GETNEXT, scan.type);
  fake.DeliverTimeout(scan);
  agent.Answer(fake, set);
  ASSERT_LE(unit->outstanding.load(), 0);
  EXPECT_TRUE(unit->scanUnanswered);
  fake.ClearSent();
  unit->PollNext();  // the walk's request is still unanswered: a missed poll
  EXPECT_EQ(1, unit->missedPolls);
  EXPECT_EQ(0u, Sent());
}

TEST_F(SnmpDeviceTest, FastWalkWaitsWhileSomethingIsStillOutstanding) {
  WalkToFast();
  unit->outstanding = 2;  // the walk's request and a Set
  const SentPdu request = Last();
  fake.ClearSent();
  agent.Answer(fake, request);
  EXPECT_EQ(0u, Sent());
  EXPECT_EQ(1, unit->outstanding.load());
  EXPECT_EQ(kObj2, unit->currentOid);
}

TEST_F(SnmpDeviceTest, OtherErrorStatusAsksForTheSameOidAgainAtTheTick) {
  WalkToFast();
  const SentPdu request = Last();  // asks for kObj1
  fake.ClearSent();
  ReplyScan(request, request.oid, SNMP_ERROR_GENERR);
  EXPECT_EQ(kObj1, unit->currentOid);
  EXPECT_EQ(1u, unit->values.size());  // only the first walk's value
  EXPECT_EQ(1, log.CountTrace("SNMPReply Error=5 (SNMP_ERROR_GENERR) at "
                              "index 1, Slot Offset=0, Entry 1, '" +
                              kObj1 + "' = '7'"));
  EXPECT_EQ(0u, Sent());  // not at once: the agent would be flooded
  unit->PollNext();
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(kObj1, Last().oid);
  EXPECT_TRUE(unit->commsOk);
  EXPECT_EQ(0, unit->missedPolls);
}

TEST_F(SnmpDeviceTest, ReplyBindingCountsAreReportedAndTheLastOneSteps) {
  WalkToFast();
  fake.ReplyTo(Last(),
               {{kObj2, SNMP_SYNTAX_INT, "1"}, {kObj3, SNMP_SYNTAX_INT, "2"}});
  EXPECT_EQ(1, log.CountTrace("SNMPReply. SnmpCountVbl more than one = 2"));
  EXPECT_EQ(kObj3, unit->currentOid);
  EXPECT_EQ(3u, unit->values.size());
}

TEST_F(SnmpDeviceTest, ReplyWithoutBindingsKeepsTheWalkWhereItIs) {
  WalkToFast();
  const SentPdu request = Last();
  fake.ClearSent();
  fake.ReplyTo(request, {});
  EXPECT_EQ(1, log.CountTrace("SNMPReply. SNMP Failure in SnmpCountVbl"));
  EXPECT_EQ(kObj1, unit->currentOid);
  EXPECT_TRUE(unit->fastPoll);
  EXPECT_EQ(0u, Sent());  // asked again at the tick's pace
  unit->PollNext();
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(kObj1, Last().oid);
}

TEST_F(SnmpDeviceTest, SetReplyReachesTheModelButNeitherStepsNorSends) {
  WalkToBackground();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0", 2, false);
  const SentPdu set = Last();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2, false);
  ASSERT_EQ(1, unit->bufferCount());
  fake.ClearSent();

  agent.Answer(fake, set);

  EXPECT_EQ(std::make_pair(kOutState2, std::string("0")), unit->values.back());
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_EQ(0u, Sent());
  EXPECT_EQ(1, unit->bufferCount());
  EXPECT_EQ(0, unit->outstanding.load());
}

TEST_F(SnmpDeviceTest, WalkStalledByASetAnsweredLastIsPickedUpByTheNextTick) {
  WalkToFast();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0", 2, false);
  ASSERT_EQ(1, unit->bufferCount());
  AnswerLast();  // the walk steps: next GetNext and the Set go out
  const auto sent = fake.sent();
  ASSERT_GE(sent.size(), 2u);
  const SentPdu scan = sent[sent.size() - 2];
  const SentPdu set = sent.back();
  ASSERT_EQ(SNMP_PDU_SET, set.type);
  ASSERT_EQ(SNMP_PDU_GETNEXT, scan.type);
  agent.Answer(fake, scan);  // outstanding 1 after it: nothing sent
  agent.Answer(fake, set);   // nothing sent for a Set's reply either
  ASSERT_EQ(0, unit->outstanding.load());
  fake.ClearSent();

  unit->PollNext();
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(unit->currentOid, Last().oid);
  EXPECT_EQ(kScanRequestTag, requestTag(Last().requestId));
}

// ---------------------------------------------------------------------------
// Supervision

struct MissedCase {
  const char* name;
  bool fastWalk;         // else the background walk
  bool timeoutEachTick;  // the layer reports each request as timed out
};
void PrintTo(const MissedCase& c, std::ostream* os) { *os << c.name; }

class MissedPollTest : public SnmpDeviceTest,
                       public ::testing::WithParamInterface<MissedCase> {};

TEST_P(MissedPollTest, SixMissedTicksDeclareTheFailure) {
  const MissedCase& c = GetParam();
  if (c.fastWalk) {
    WalkToFast();
  } else {
    WalkToBackground();
    unit->PollNext();  // asks for the start OID
    AnswerLast();
    unit->PollNext();  // asks for kObj1: never answered
  }
  ASSERT_EQ(kObj1, Last().oid);
  std::vector<SentPdu> pending = {Last()};
  log.Clear();

  std::vector<size_t> sendsPerTick;
  for (int tick = 1; tick <= 6; ++tick) {
    if (c.timeoutEachTick) {
      for (const SentPdu& r : pending) fake.DeliverTimeout(r);
      pending.clear();
    }
    fake.ClearSent();
    unit->PollNext();
    sendsPerTick.push_back(Sent());
    pending = fake.sent();
    if (tick < 6) {
      EXPECT_EQ(tick, unit->missedPolls) << "tick " << tick;
      EXPECT_TRUE(unit->commsOk) << "tick " << tick;
      for (const SentPdu& r : pending) EXPECT_EQ(kObj1, r.oid);
    }
    // The re-sends of ticks 3 to 5 start the count afresh: only the new
    // request is outstanding.
    if (tick >= 3 && tick <= 5) {
      EXPECT_EQ(1, unit->outstanding.load()) << "tick " << tick;
    }
  }
  EXPECT_THAT(sendsPerTick, ElementsAre(0, 0, 1, 1, 1, 1));
  std::vector<std::string> traces;
  for (const auto& t : log.traces()) {
    if (t.rfind("SNMPError", 0) == 0) continue;
    traces.push_back(t);
  }
  EXPECT_THAT(traces,
              ElementsAre("more than two errors (3). id = 1",
                          "more than two errors (4). id = 1",
                          "more than two errors (5). id = 1", "Comms Failed",
                          "more than two errors (99). id = 1"));
  EXPECT_THAT(log.list(), ElementsAre("1:Start scan at 1.3.6.1.4.1.6853",
                                      "1:Start scan from '1.3.6.1.4.1.6853'",
                                      "1:127.0.1.111 - Comms Failed"));
  EXPECT_EQ(kStart, Last().oid);
  EXPECT_FALSE(unit->commsOk);
  EXPECT_TRUE(unit->fastPoll);
  EXPECT_EQ(99, unit->missedPolls);
  EXPECT_EQ(1, unit->outstanding.load());
  EXPECT_THAT(unit->commsChanges, ElementsAre(false, true));

  // Seeking: every tick sends, nothing is counted.
  fake.ClearSent();
  unit->PollNext();
  EXPECT_EQ(1u, Sent());
  EXPECT_EQ(99, unit->missedPolls);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, MissedPollTest,
    ::testing::Values(MissedCase{"Background", false, false},
                      MissedCase{"BackgroundTimeouts", false, true},
                      MissedCase{"Fast", true, false},
                      MissedCase{"FastTimeouts", true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SnmpDeviceTest, OnlyAnAcceptedValueResetsTheMissedPollCount) {
  WalkToBackground();
  unit->PollNext();
  unit->PollNext();  // missed 1
  ASSERT_EQ(1, unit->missedPolls);
  fake.DeliverTimeout(Last());
  EXPECT_EQ(1, unit->missedPolls);
  // A reply from outside the subtree is not accepted by the model.
  ReplyScan(Last(), "1.3.6.1.2.1.1.1.0");
  EXPECT_EQ(1, unit->missedPolls);
  unit->PollNext();  // the background walk sends again
  unit->PollNext();  // and misses again
  EXPECT_EQ(2, unit->missedPolls);
  AnswerLast();
  EXPECT_EQ(0, unit->missedPolls);
}

// ---------------------------------------------------------------------------
// The request queue

TEST_F(SnmpDeviceTest, RequestSerialRunsTo65535AndStartsAgainAtOne) {
  struct Case {
    uint32_t last;
    uint32_t serial;
    uint32_t stored;
  };
  for (const Case& c :
       {Case{0, 1, 1}, Case{41, 42, 42}, Case{65533, 65534, 65534},
        Case{65534, 65535, 0}, Case{70000, 4466, 4466}}) {
    SnmpDevice::nextRequestNumber = c.last;
    EXPECT_EQ(c.serial, SnmpDevice::takeRequestSerial()) << c.last;
    EXPECT_EQ(c.stored, SnmpDevice::nextRequestNumber.load()) << c.last;
  }
}

TEST_F(SnmpDeviceTest, AllUnitsShareOneSerialThatWraps) {
  auto second = NewUnit(2, "127.0.1.112");
  SnmpDevice::nextRequestNumber = 65534;
  unit->PollNext();
  EXPECT_EQ(0x1FFFF, Last().requestId);
  second->PollNext();
  EXPECT_EQ(0x10001, Last().requestId);
  EXPECT_EQ("127.0.1.112", Last().address);
  // A queued request takes its serial too.
  unit->commsOk = true;
  second->commsOk = true;
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2, false);
  second->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2, false);
  EXPECT_EQ(1, unit->bufferCount());
  ASSERT_EQ(1, second->bufferCount());
  EXPECT_EQ(0x20003u, second->requestQueue.front()->requestId);
}

TEST_F(SnmpDeviceTest, SetGoesOutAtOnceWhenNothingIsOutstanding) {
  SnmpDevice::nextRequestNumber = 4;
  EXPECT_EQ(0, unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1",
                                     SNMP_SYNTAX_INT, false));
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(0x20005, Last().requestId);
  EXPECT_EQ(SNMP_PDU_SET, Last().type);
  EXPECT_EQ(kOutState2, Last().oid);
  EXPECT_EQ(SNMP_SYNTAX_INT, Last().syntax);
  EXPECT_EQ("1", Last().value);
  EXPECT_EQ(1, unit->outstanding.load());
  EXPECT_EQ(1u, unit->sentCount);
  EXPECT_FALSE(unit->scanUnanswered);
}

TEST_F(SnmpDeviceTest, SetWaitsBehindAnOutstandingRequestButTheWalkDoesNot) {
  unit->commsOk = true;
  unit->PollNext();
  EXPECT_EQ(0, unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1",
                                     SNMP_SYNTAX_INT, false));
  EXPECT_EQ(1u, Sent());
  EXPECT_EQ(1, unit->bufferCount());
  EXPECT_EQ(1u, unit->sentCount);
  unit->SendSnmpMessage(SNMP_PDU_GETNEXT, unit->currentOid, nullptr, 0, true);
  EXPECT_EQ(2u, Sent());
  EXPECT_EQ(SNMP_PDU_GETNEXT, Last().type);
  EXPECT_EQ(0x10003, Last().requestId);  // serial 2 went to the queued Set
}

TEST_F(SnmpDeviceTest,
       QueuedSetsLeaveInOrderWithTheirOwnIdsOnePerReplyOrError) {
  WalkToFast();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0", 2, false);
  const uint32_t firstId = SnmpDevice::nextRequestNumber + 0x20000;
  unit->SendSnmpMessage(SNMP_PDU_SET, kObj1.c_str(), "Rack 4", 4, false);
  const uint32_t secondId = SnmpDevice::nextRequestNumber + 0x20000;
  ASSERT_EQ(2, unit->bufferCount());
  const SentPdu scan = Last();
  fake.ClearSent();

  agent.Answer(fake, scan);  // the walk steps and one Set leaves
  auto sent = fake.sent();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(SNMP_PDU_GETNEXT, sent[0].type);
  EXPECT_EQ(SNMP_PDU_SET, sent[1].type);
  EXPECT_EQ(static_cast<int32_t>(firstId), sent[1].requestId);
  EXPECT_EQ(kOutState2, sent[1].oid);
  EXPECT_EQ("0", sent[1].value);
  EXPECT_EQ(1, unit->bufferCount());
  EXPECT_EQ(1, log.CountTrace("SnmpDevice::sendNextMessage a3 " + kOutState2 +
                              " '0' 2 " + std::to_string(firstId)));

  fake.ClearSent();
  fake.DeliverTimeout(sent[0]);  // an error lets the next one go
  sent = fake.sent();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(static_cast<int32_t>(secondId), sent[0].requestId);
  EXPECT_EQ(kObj1, sent[0].oid);
  EXPECT_EQ(SNMP_SYNTAX_OCTETS, sent[0].syntax);
  EXPECT_EQ("Rack 4", sent[0].value);
  EXPECT_EQ(1, log.CountTrace("SnmpDevice::sendNextMessage a3 " + kObj1 +
                              " 'Rack 4' 4 " + std::to_string(secondId)));
  EXPECT_EQ(0, unit->bufferCount());
  EXPECT_EQ(5u, unit->sentCount);
}

TEST_F(SnmpDeviceTest, ASetMadeWhenNothingIsOutstandingOvertakesTheQueue) {
  WalkToBackground();
  unit->PollNext();  // scan outstanding
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0", 2, false);
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2, false);
  AnswerLast();  // scan reply sends the first Set
  ASSERT_EQ(SNMP_PDU_SET, Last().type);
  ASSERT_EQ("0", Last().value);
  AnswerLast();  // the Set's reply sends nothing
  ASSERT_EQ(0, unit->outstanding.load());
  fake.ClearSent();

  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "9", 2, false);
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ("9", Last().value);
  EXPECT_EQ(1, unit->bufferCount());
}

TEST_F(SnmpDeviceTest, SendNextMessageOnAnEmptyQueueSendsNothing) {
  EXPECT_FALSE(unit->sendNextMessage());
  EXPECT_EQ(0u, Sent());
  EXPECT_EQ(0, unit->outstanding.load());
  EXPECT_EQ(0u, unit->sentCount);
}

TEST_F(SnmpDeviceTest, ARequestThatFailsToLeaveIsNotOutstanding) {
  WalkToBackground();
  unit->sentCount = 0;
  fake.FailCall(FakeSnmpApi::Call::kSendMsg, SNMPAPI_TL_UNDELIVERABLE);
  // Sent at once: a scan request, then a Set.
  EXPECT_EQ(1, unit->SendSnmpMessage(SNMP_PDU_GETNEXT, kStart.c_str(), nullptr,
                                     0, true));
  EXPECT_EQ(1, unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1",
                                     SNMP_SYNTAX_INT, false));
  EXPECT_EQ(2u, unit->sentCount);
  EXPECT_EQ(0, unit->outstanding.load());
  // The scan request still counts as unanswered for the supervision.
  EXPECT_TRUE(unit->scanUnanswered);

  // Sent from the queue.
  unit->outstanding = 1;
  EXPECT_EQ(0, unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0",
                                     SNMP_SYNTAX_INT, false));
  unit->outstanding = 0;
  EXPECT_TRUE(unit->sendNextMessage());
  EXPECT_EQ(0, unit->outstanding.load());
  EXPECT_EQ(3u, unit->sentCount);
  EXPECT_EQ(0, unit->bufferCount());
}

TEST_F(SnmpDeviceTest, WithoutItsLockTheQueueDropsAndReportsNothingQueued) {
  unit->commsOk = true;
  unit->PollNext();
  unit->queueLock.reset();  // every wait fails
  EXPECT_EQ(0, unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2,
                                     false, 42, "1"));
  EXPECT_EQ(0, unit->bufferCount());
  EXPECT_THAT(log.fileLines(),
              ElementsAre("SnmpDevice - unit 1 (127.0.1.111) - slot 42 change "
                          "to '1' dropped - request queue not available (" +
                          kOutState2 + " = '1', id 131074)"));
  EXPECT_TRUE(unit->sendNextMessage());
  EXPECT_EQ(1u, Sent());
  EXPECT_TRUE(unit->requestQueue.empty());
}

TEST_F(SnmpDeviceTest, QueueIsSafeWithASecondThread) {
  constexpr int kSets = 2000;
  unit->commsOk = true;
  unit->outstanding = 1;  // everything the second thread asks for is queued
  std::atomic<bool> done{false};
  std::atomic<int> badCounts{0};
  std::thread producer([&] {
    for (int i = 0; i < kSets; ++i) {
      const std::string value = std::to_string(i);
      unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), value.c_str(), 2,
                            false);
      const int n = unit->bufferCount();
      if (n < 0 || n > kSets) badCounts++;
    }
    done = true;
  });
  int taken = 0;
  while (!done || unit->bufferCount() > 0) {
    if (unit->sendNextMessage()) {
      // true also for a failed wait; an empty queue gives false
      ++taken;
    }
    if (taken > 10 * kSets) break;
  }
  producer.join();
  while (unit->sendNextMessage()) {
  }
  const auto sent = fake.sent();
  ASSERT_EQ(static_cast<size_t>(kSets), sent.size());
  for (int i = 0; i < kSets; ++i) {
    EXPECT_EQ(std::to_string(i), sent[i].value);
    if (i > 0) {
      EXPECT_GT(sent[i].requestId, sent[i - 1].requestId);
    }
  }
  EXPECT_EQ(0, badCounts.load());
  EXPECT_EQ(0, unit->bufferCount());
  EXPECT_EQ(1 + kSets, unit->outstanding.load());
}

TEST_F(SnmpDeviceTest, DestroyingAUnitDiscardsItsQueueUnsent) {
  unit->commsOk = true;
  unit->PollNext();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2, false);
  unit.reset();
  EXPECT_EQ(1u, Sent());
  EXPECT_EQ(1, log.CountTrace("SnmpDevice::Destructor."));
  EXPECT_EQ(0u, fake.LiveCounts().sessions);
}

// ---------------------------------------------------------------------------
// Control requests go out promptly or not at all

// The drop lines of the log file, in order.
std::vector<std::string> DropLines(const LogCapture& log) {
  std::vector<std::string> lines;
  for (const auto& line : log.fileLines()) {
    if (line.find(" dropped - ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// Sets sent, by value, in order.
std::vector<std::string> SetValues(const std::vector<SentPdu>& sent) {
  std::vector<std::string> values;
  for (const SentPdu& p : sent) {
    if (p.type == SNMP_PDU_SET) values.push_back(p.value);
  }
  return values;
}

TEST_F(SnmpDeviceTest, SetsMadeWhileSendsFailNeverGoOutLater) {
  WalkToBackground();
  fake.FailCall(FakeSnmpApi::Call::kSendMsg, SNMPAPI_TL_UNDELIVERABLE);
  for (int tick = 0; tick < 100; ++tick) {
    clock.Advance(1000);
    unit->PollNext();
    const std::string value = std::to_string(tick % 2);
    unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), value.c_str(),
                          SNMP_SYNTAX_INT, false, 42, value.c_str());
    EXPECT_LE(unit->outstanding.load(), 0) << "tick " << tick;
    EXPECT_EQ(0, unit->bufferCount()) << "tick " << tick;
  }
  EXPECT_FALSE(unit->commsOk);  // six silent ticks declared the failure
  EXPECT_THAT(unit->commsChanges, ElementsAre(false, true));

  fake.ClearFailures();
  fake.ClearSent();
  clock.Advance(1000);
  unit->PollNext();
  ASSERT_EQ(1u, Sent());
  EXPECT_EQ(SNMP_PDU_GETNEXT, Last().type);
  EXPECT_EQ(1, unit->outstanding.load());
  // The walk resumes: the first walk runs at full speed again.
  for (int i = 0; i < 100 && unit->fastPoll; ++i) AnswerLast();
  EXPECT_TRUE(unit->commsOk);
  EXPECT_FALSE(unit->fastPoll);
  EXPECT_EQ(0, unit->outstanding.load());
  EXPECT_THAT(SetValues(fake.sent()), IsEmpty());
}

TEST_F(SnmpDeviceTest, SetsQueuedForAUnitThatStopsAnsweringAreDropped) {
  WalkToBackground();
  // The unit goes quiet: each tick's request stays unanswered, and a Set is
  // asked for on every tick.
  std::vector<SentPdu> scans;
  // Tick 1 sends the request; ticks 2 to 7 find it unanswered.
  for (int tick = 1; tick <= 7; ++tick) {
    clock.Advance(1000);
    unit->PollNext();
    const std::string value = std::to_string(tick);
    unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), value.c_str(),
                          SNMP_SYNTAX_INT, false, 42, value.c_str());
    if (tick < 7) {
      EXPECT_EQ(tick, unit->bufferCount()) << "tick " << tick;
    }
  }
  ASSERT_FALSE(unit->commsOk);
  // Declared failed at tick 7: everything queued before went, with a line.
  EXPECT_EQ(0, unit->bufferCount());
  const auto drops = DropLines(log);
  ASSERT_EQ(6u, drops.size());
  EXPECT_EQ(0u,
            drops[0].find("SnmpDevice - unit 1 (127.0.1.111) - slot 42 change "
                          "to '1' dropped - unit declared failed "
                          "(1.3.6.1.4.1.6853.3.4.1.2.2 = '1', id "))
      << drops[0];
  // The Set of tick 7 came after the failure: it went straight out.
  EXPECT_THAT(SetValues(fake.sent()), ElementsAre("7"));

  // The unit answers again: nothing old goes out.
  fake.ClearSent();
  unit->PollNext();
  for (int i = 0; i < 100 && unit->fastPoll; ++i) AnswerLast();
  ASSERT_TRUE(unit->commsOk);
  for (const SentPdu& p : fake.sent()) EXPECT_NE(SNMP_PDU_SET, p.type);
  EXPECT_EQ(6u, DropLines(log).size());
}

// The layer reports every lost request as timed out, which lets queued Sets
// go one by one while the unit is silent: each one that goes, goes within
// the limit of when it was asked for, and none goes after the failure.
TEST_F(SnmpDeviceTest, NoSetLeavesLaterThanTheLimitWhileRequestsTimeOut) {
  WalkToBackground();
  std::map<std::string, int64_t> askedAt;
  size_t seen = 0;
  int64_t latest = 0;
  for (int tick = 1; tick <= 12; ++tick) {
    clock.Advance(3000);  // a slow poll period makes the limit matter
    unit->PollNext();
    const std::string value = std::to_string(tick);
    askedAt[value] = clock.NowMs();
    unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), value.c_str(),
                          SNMP_SYNTAX_INT, false, 42, value.c_str());
    // Everything sent so far times out, one notification at a time.
    const auto sent = fake.sent();
    for (; seen < sent.size(); ++seen) {
      if (sent[seen].type == SNMP_PDU_SET) {
        latest = std::max(latest, clock.NowMs() - askedAt[sent[seen].value]);
      }
      fake.DeliverTimeout(sent[seen]);
    }
  }
  EXPECT_FALSE(unit->commsOk);
  EXPECT_LE(latest, SnmpDevice::kQueueLimitMs);
  EXPECT_EQ(0, unit->bufferCount());
}

TEST_F(SnmpDeviceTest, ASetQueuedJustBeforeTheFailureIsDroppedWithIt) {
  WalkToBackground();
  unit->PollNext();  // never answered
  for (int tick = 1; tick <= 5; ++tick) unit->PollNext();
  ASSERT_TRUE(unit->commsOk);
  unit->SendSnmpMessage(SNMP_PDU_SET, kObj1.c_str(), "Rack 9",
                        SNMP_SYNTAX_OCTETS, false, 98, "Rack 9");
  ASSERT_EQ(1, unit->bufferCount());
  unit->PollNext();  // the sixth: declared failed
  ASSERT_FALSE(unit->commsOk);
  EXPECT_EQ(0, unit->bufferCount());
  ASSERT_EQ(1u, DropLines(log).size());
  EXPECT_NE(std::string::npos,
            DropLines(log)[0].find("slot 98 change to 'Rack 9' dropped - unit "
                                   "declared failed"));
  // Recovery and a long walk: the Set never goes.
  for (int i = 0; i < 100 && unit->fastPoll; ++i) AnswerLast();
  for (int i = 0; i < 20; ++i) {
    unit->PollNext();
    AnswerLast();
  }
  EXPECT_THAT(SetValues(fake.sent()), IsEmpty());
}

TEST_F(SnmpDeviceTest, WhileNotAnsweringASetGoesStraightOutAndIsNeverQueued) {
  unit->PollNext();
  unit->PollNext();  // Seeking, two outstanding
  ASSERT_FALSE(unit->commsOk);
  fake.ClearSent();
  EXPECT_EQ(0, unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1",
                                     SNMP_SYNTAX_INT, false, 42, "1"));
  EXPECT_EQ(0, unit->bufferCount());
  EXPECT_THAT(SetValues(fake.sent()), ElementsAre("1"));
  EXPECT_EQ(3, unit->outstanding.load());
}

// A queued Set goes out only while it is younger than the queue's limit
// and, when the request that made it had a deadline, not past that.
TEST_F(SnmpDeviceTest, AQueuedSetPastItsLimitOrDeadlineIsDroppedNotSent) {
  struct Case {
    int64_t deadlineInMs;  // from when the Set is made; 0: none
    int64_t waitedMs;
    const char* dropped;  // why, or null when it is sent
  };
  const int64_t limit = SnmpDevice::kQueueLimitMs;
  for (const Case& c :
       {Case{0, limit, nullptr}, Case{0, limit + 1, "not sent in time"},
        Case{3000, 3000, nullptr},
        Case{3000, 3001, "deadline passed 1 ms ago"}}) {
    SCOPED_TRACE(std::to_string(c.deadlineInMs) + " " +
                 std::to_string(c.waitedMs));
    unit = NewUnit(1, kAddress);
    WalkToBackground();
    unit->PollNext();
    const SentPdu scan = Last();
    {
      ScopedControlDeadline scope(
          c.deadlineInMs != 0 ? clock.NowMs() + c.deadlineInMs : 0);
      unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0",
                            SNMP_SYNTAX_INT, false, 42, "0");
    }
    ASSERT_EQ(1, unit->bufferCount());
    fake.ClearSent();
    clock.Advance(c.waitedMs);
    agent.Answer(fake, scan);  // the reply that would let it go
    EXPECT_EQ(
        c.dropped ? std::vector<std::string>{} : std::vector<std::string>{"0"},
        SetValues(fake.sent()));
    EXPECT_EQ(0, unit->bufferCount());
    ASSERT_EQ(c.dropped ? 1u : 0u, DropLines(log).size());
    if (c.dropped) {
      EXPECT_NE(std::string::npos,
                DropLines(log)[0].find("slot 42 change to '0' dropped - " +
                                       std::string(c.dropped)));
    }
  }
}

TEST_F(SnmpDeviceTest, APollTickDropsWhatWaitedTooLongEvenWithoutReplies) {
  WalkToBackground();
  unit->PollNext();  // the unit never answers it
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", SNMP_SYNTAX_INT,
                        false, 42, "1");
  clock.Advance(SnmpDevice::kQueueLimitMs / 2);
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "0", SNMP_SYNTAX_INT,
                        false, 42, "0");
  ASSERT_EQ(2, unit->bufferCount());
  clock.Advance(SnmpDevice::kQueueLimitMs / 2 + 1);
  unit->PollNext();
  EXPECT_EQ(1, unit->bufferCount());
  ASSERT_EQ(1u, DropLines(log).size());
  EXPECT_NE(std::string::npos, DropLines(log)[0].find("change to '1' dropped"));
  EXPECT_THAT(SetValues(fake.sent()), IsEmpty());
}

// ---------------------------------------------------------------------------
// Agents that answer with errors

// An agent whose |failing| object answers every request with |errorStatus|
// (or with no binding at all when errorStatus is -1), the rest as usual.
class ErrorAgentTest : public SnmpDeviceTest,
                       public ::testing::WithParamInterface<int32_t> {
 protected:
  void AnswerAll(const std::string& failing) {
    // Every request in flight is answered, replies sending further ones.
    for (int guard = 0; guard < 1000; ++guard) {
      std::vector<SentPdu> batch = fake.sent();
      if (answered_ >= batch.size()) return;
      const SentPdu request = batch[answered_++];
      if (request.type == SNMP_PDU_GETNEXT && request.oid == failing) {
        if (GetParam() < 0) {
          fake.ReplyTo(request, {});
        } else {
          ReplyScan(request, request.oid, GetParam());
        }
      } else {
        agent.Answer(fake, request);
      }
    }
  }
  size_t answered_ = 0;
};

TEST_P(ErrorAgentTest, IsAskedAtTheTicksPaceAndTheOtherObjectsStayFresh) {
  const std::string failing = kObj2;  // kObj1 answers, kObj2 fails
  std::vector<size_t> sendsPerTick;
  std::map<std::string, int> refreshed;
  for (int tick = 0; tick < 30; ++tick) {
    const size_t before = Sent();
    const size_t valuesBefore = unit->values.size();
    unit->PollNext();
    AnswerAll(failing);
    sendsPerTick.push_back(Sent() - before);
    for (size_t i = valuesBefore; i < unit->values.size(); ++i)
      refreshed[unit->values[i].first] += 1;
    EXPECT_TRUE(unit->commsOk) << "tick " << tick;
  }
  // The first tick runs the fast walk up to the failing object; every later
  // tick sends one request.
  EXPECT_LE(sendsPerTick[0], 3u);
  for (size_t i = 1; i < sendsPerTick.size(); ++i)
    EXPECT_LE(sendsPerTick[i], 1u) << "tick " << i;
  EXPECT_EQ(0, unit->missedPolls);
  // The first walk ended once, at the failing object, and blanked.
  EXPECT_EQ(1, unit->fastPollDoneCalls);
  EXPECT_FALSE(unit->fastPoll);
  EXPECT_FALSE(unit->firstScan);
  // The object before the failing one was read on every new scan.
  EXPECT_GE(refreshed[kObj1], 5);
  // One debug list line for the failing object, however often it failed.
  int lines = 0;
  for (const auto& line : log.list())
    if (line.find("at '" + failing + "' - asking again") != std::string::npos)
      ++lines;
  EXPECT_EQ(1, lines);
}

INSTANTIATE_TEST_SUITE_P(Answers, ErrorAgentTest,
                         ::testing::Values(SNMP_ERROR_GENERR, SNMP_ERROR_TOOBIG,
                                           -1),
                         [](const auto& info) {
                           return info.param < 0
                                      ? std::string("NoBindings")
                                      : "Status" + std::to_string(info.param);
                         });

TEST_F(SnmpDeviceTest, AnObjectThatAnswersAgainIsToldAboutAgainWhenItFails) {
  WalkToBackground();
  auto askFor = [&](const std::string& oid, int32_t status) {
    std::snprintf(unit->currentOid, sizeof unit->currentOid, "%s", oid.c_str());
    unit->PollNext();
    if (status == 0) {
      AnswerLast();
    } else {
      ReplyScan(Last(), oid, status);
    }
  };
  askFor(kObj1, SNMP_ERROR_GENERR);
  askFor(kObj1, SNMP_ERROR_GENERR);
  askFor(kObj1, 0);  // it answers again
  askFor(kObj1, SNMP_ERROR_GENERR);
  EXPECT_THAT(log.list(),
              ElementsAre("1:Error 5 (SNMP_ERROR_GENERR) at '" + kObj1 +
                              "' - asking again at the poll tick",
                          "1:Error 5 (SNMP_ERROR_GENERR) at '" + kObj1 +
                              "' - asking again at the poll tick"));
}

// ---------------------------------------------------------------------------
// Traps and errors

const FakeSnmpApi::Binding kUptime{"1.3.6.1.2.1.1.3.0", SNMP_SYNTAX_TIMETICKS,
                                   "5"};
FakeSnmpApi::Binding TrapOid(const std::string& oid) {
  return {"1.3.6.1.6.3.1.1.4.1.0", SNMP_SYNTAX_OID, oid};
}

TEST_F(SnmpDeviceTest, TrapWithOneBindingIsCountedAndLoggedOnly) {
  ASSERT_TRUE(
      fake.DeliverTrap(unit->sessionHandle(), SNMP_PDU_TRAP, {kUptime}, 17));
  EXPECT_EQ(1u, unit->trapCount);
  EXPECT_THAT(unit->trapOids, IsEmpty());
  EXPECT_THAT(log.traces(),
              ElementsAre("SNMPTrap. Type=a7, ReqId=17, ErrorStatus=0 (), "
                          "ErrorIndex=0, MaxVbl=1",
                          "SNMPTrap Entry 1, '1.3.6.1.2.1.1.3.0' = "
                          "'0,0:0:0.5'"));
  EXPECT_EQ(0u, fake.LiveCounts().vbls);
}

TEST_F(SnmpDeviceTest, TrapReachesTheModelWithTheSecondBindingsValue) {
  for (int32_t type : {SNMP_PDU_TRAP, SNMP_PDU_V1TRAP}) {
    unit->trapOids.clear();
    log.Clear();
    ASSERT_EQ(1, fake.DeliverTrapFrom(
                     kAddress, type,
                     {kUptime,
                      TrapOid("1.3.6.1.6.3.1.1.5.1"),
                      {"1.3.6.1.2.1.2.2.1.1.3", SNMP_SYNTAX_INT, "3"}}));
    EXPECT_THAT(unit->trapOids, ElementsAre("1.3.6.1.6.3.1.1.5.1"));
    EXPECT_EQ(4u, log.traces().size());  // header and three entries
  }
  EXPECT_EQ(2u, unit->trapCount);
  // Another unit's traps do not reach this one.
  EXPECT_EQ(0, fake.DeliverTrapFrom("127.0.1.119", SNMP_PDU_TRAP,
                                    {kUptime, TrapOid("1.3.6.1.6.3.1.1.5.1")}));
  EXPECT_EQ(2u, unit->trapCount);
}

TEST_F(SnmpDeviceTest, UnknownTrapListsItsEntriesBeforeAndAfter) {
  unit->trapHandled = false;
  fake.DeliverTrap(unit->sessionHandle(), SNMP_PDU_TRAP,
                   {kUptime,
                    TrapOid("1.3.6.1.4.1.9.9.1"),
                    {"1.3.6.1.4.1.9.9.2.0", SNMP_SYNTAX_OCTETS, "it's: odd"}});
  const std::string e1 = "SNMPTrap Entry 1, '1.3.6.1.2.1.1.3.0' = '0,0:0:0.5'";
  const std::string e2 =
      "SNMPTrap Entry 2, '1.3.6.1.6.3.1.1.4.1.0' = '1.3.6.1.4.1.9.9.1'";
  const std::string e3 =
      "SNMPTrap Entry 3, '1.3.6.1.4.1.9.9.2.0' = 'it's: odd'";
  EXPECT_THAT(
      log.traces(),
      ElementsAre("SNMPTrap. Type=a7, ReqId=0, ErrorStatus=0 (), "
                  "ErrorIndex=0, MaxVbl=3",
                  e1, e2, e3, "***  Unknown Trap '1.3.6.1.4.1.9.9.1' ***", e1,
                  e2, e3));
}

TEST_F(SnmpDeviceTest, TimeoutIsLoggedLowersOutstandingAndLetsOneRequestGo) {
  unit->PollNext();
  unit->commsOk = true;  // Sets wait only for a unit known to answer
  const SentPdu scan = Last();
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "1", 2, false);
  unit->SendSnmpMessage(SNMP_PDU_SET, kOutState2.c_str(), "2", 2, false);
  log.Clear();
  fake.DeliverTimeout(scan);
  EXPECT_EQ(1, log.CountTrace("SNMPError Code=108\tIndex=65537"));
  EXPECT_EQ(1, unit->outstanding.load());  // down to 0, one Set out
  EXPECT_EQ(1, unit->bufferCount());
  EXPECT_EQ("1", Last().value);
  // The walk is untouched.
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_TRUE(unit->fastPoll);
  EXPECT_TRUE(unit->commsOk);
  EXPECT_EQ(99, unit->missedPolls);
  EXPECT_TRUE(unit->scanUnanswered);

  fake.DeliverNotification(unit->sessionHandle(), SNMPAPI_TL_UNDELIVERABLE,
                           0x20002);
  EXPECT_EQ(1, log.CountTrace("SNMPError Code=104\tIndex=131074"));
  EXPECT_EQ(0, unit->bufferCount());
}

TEST_F(SnmpDeviceTest, TwoTimeoutsForOneRequestLeaveMinusOne) {
  unit->PollNext();
  fake.DeliverTimeout(Last());
  fake.DeliverTimeout(Last());
  EXPECT_EQ(-1, unit->outstanding.load());
  unit->PollNext();
  EXPECT_EQ(0, unit->outstanding.load());
}

// ---------------------------------------------------------------------------
// Failures inside the handlers

enum class Where { kValue, kComms, kTrap, kFastPollDone };

struct ThrowCase {
  const char* name;
  Where where;
  bool structured;
  std::vector<std::string> lines;
};
void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class HandlerFailureTest : public SnmpDeviceTest,
                           public ::testing::WithParamInterface<ThrowCase> {};

TEST_P(HandlerFailureTest, IsLoggedAndTheUnitCarriesOn) {
  const ThrowCase& c = GetParam();
  std::function<void()> thrower;
  if (c.structured) {
    thrower = [] {
      throw structured_exception(0xC0000005,
                                 reinterpret_cast<const void*>(0xdead0));
    };
  } else {
    thrower = [] { throw std::runtime_error("model failed"); };
  }

  switch (c.where) {
    case Where::kValue:
      WalkToFast();
      unit->throwInHandleValue = thrower;
      AnswerLast();
      EXPECT_EQ(0, unit->outstanding.load());
      unit->throwInHandleValue = nullptr;
      fake.ClearSent();
      unit->PollNext();  // the fast walk is picked up again, not stuck
      ASSERT_EQ(1u, Sent());
      EXPECT_EQ(kObj1, Last().oid);
      break;
    case Where::kComms:
      unit->throwInCommsChanged = thrower;
      unit->PollNext();
      AnswerLast();
      EXPECT_FALSE(unit->commsOk);
      // The reply itself went on: the walk stepped and asked again.
      EXPECT_EQ(kObj1, unit->currentOid);
      EXPECT_EQ(2u, Sent());
      break;
    case Where::kTrap:
      unit->throwInHandleTrap = thrower;
      fake.DeliverTrap(unit->sessionHandle(), SNMP_PDU_TRAP,
                       {kUptime, TrapOid("1.3.6.1.6.3.1.1.5.1")});
      EXPECT_EQ(1u, unit->trapCount);
      break;
    case Where::kFastPollDone:
      unit->throwInFastPollDone = thrower;
      unit->PollNext();
      for (int i = 0; i < 10 && unit->fastPollDoneCalls == 0; ++i) {
        AnswerLast();
      }
      ASSERT_EQ(1, unit->fastPollDoneCalls);
      break;
  }
  EXPECT_EQ(c.lines, log.fileLines());
  EXPECT_EQ(0u, fake.LiveCounts().vbls);  // the list went back to be freed
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, HandlerFailureTest,
    ::testing::Values(ThrowCase{"ValueException",
                                Where::kValue,
                                false,
                                {"SnmpDevice::SNMPReply failed"}},
                      ThrowCase{"ValueFault",
                                Where::kValue,
                                true,
                                {"SnmpDevice::SNMPReply failed",
                                 "thrown exception c0000005 from dead0"}},
                      ThrowCase{"CommsException",
                                Where::kComms,
                                false,
                                {"SnmpDevice::checkComms failed"}},
                      ThrowCase{"CommsFault",
                                Where::kComms,
                                true,
                                {"SnmpDevice::checkComms - failed",
                                 "thrown exception c0000005 from dead0"}},
                      ThrowCase{"TrapException",
                                Where::kTrap,
                                false,
                                {"SnmpDevice::SNMPTrap - failed"}},
                      ThrowCase{"TrapFault",
                                Where::kTrap,
                                true,
                                {"SnmpDevice::SNMPTrap - failed",
                                 "thrown exception c0000005 from dead0"}},
                      ThrowCase{"FastPollDoneException",
                                Where::kFastPollDone,
                                false,
                                {"SnmpDevice::SNMPReply failed"}}),
    [](const auto& info) { return std::string(info.param.name); });


// ---------------------------------------------------------------------------
// Versions 2c and 3: the bulk walk, its fallback, and named refusals

class BulkWalkTest : public SnmpDeviceTest {
 protected:
  void SetUp() override {
    SnmpDeviceTest::SetUp();
    unit.reset();
    unit = std::make_unique<TestUnit>(1);
    unit->clock = &clock;
    unit->security.version = SnmpSecurity::Version::kV2c;
    unit->security.maxRepetitions = 2;
    ASSERT_TRUE(unit->setAddress(kAddress));
    ASSERT_EQ(0, unit->init_snmp(unit->address, "private", 161, "127.0.0.1", 0));
    log.Clear();
  }
  bool FileLogHas(const std::string& text) const {
    for (const auto& line : log.fileLines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(BulkWalkTest, EachRequestIsAGetBulkAndEveryBindingReachesTheModel) {
  unit->PollNext();
  std::vector<std::string> asked;
  for (int i = 0; i < 10 && unit->fastPoll; ++i) {
    EXPECT_EQ(SNMP_PDU_GETBULK, Last().type);
    EXPECT_EQ(2, Last().errorIndex);  // max-repetitions
    EXPECT_EQ(0, Last().errorStatus);  // non-repeaters
    EXPECT_EQ(SnmpSecurity::Version::kV2c, Last().security.version);
    asked.push_back(Last().oid);
    AnswerLast();
  }
  // Four objects two at a time, then the end of the view ends the walk.
  EXPECT_THAT(asked, ElementsAre(kStart, kObj2, kOutState2));
  std::vector<std::string> handed;
  for (const auto& [oid, value] : unit->values) handed.push_back(oid);
  EXPECT_THAT(handed, ElementsAre(kObj1, kObj2, kObj3, kOutState2));
  EXPECT_FALSE(unit->fastPoll);
  EXPECT_TRUE(unit->commsOk);
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_EQ(1, unit->fastPollDoneCalls);
  // Background: still one request per tick.
  unit->PollNext();
  EXPECT_EQ(4u, Sent());
  AnswerLast();
  EXPECT_EQ(4u, Sent());
  EXPECT_EQ(kObj2, unit->currentOid);
}

TEST_F(BulkWalkTest, ABindingPastTheSubtreeEndsTheWalkAndIsNotHanded) {
  agent.Add("1.3.6.1.4.1.6854.1.0", SNMP_SYNTAX_INT, "3");
  std::snprintf(unit->currentOid, sizeof unit->currentOid, "%s", kObj3.c_str());
  unit->PollNext();
  AnswerLast();
  ASSERT_EQ(1u, unit->values.size());
  EXPECT_EQ(kOutState2, unit->values[0].first);
  EXPECT_EQ(kStart, unit->currentOid);
  EXPECT_FALSE(unit->fastPoll);
}

struct FallbackCase {
  const char* name;
  SimAgent::Bulk bulk;
  const char* line;
};
void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }

class BulkFallbackTest : public BulkWalkTest,
                         public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(BulkFallbackTest, TheUnitWalksWithGetNextFromThenOnWithOneLine) {
  agent.bulk = GetParam().bulk;
  for (int tick = 0; tick < 12 && !unit->bulkFallback; ++tick) {
    unit->PollNext();
    const SentPdu request = Last();
    AnswerLast();
    if (request.type == SNMP_PDU_GETBULK &&
        agent.bulk == SimAgent::Bulk::kLost)
      fake.DeliverTimeout(request);
  }
  ASSERT_TRUE(unit->bulkFallback);
  for (int i = 0; i < 10 && unit->fastPoll; ++i) {
    unit->PollNext();
    AnswerLast();
  }
  EXPECT_FALSE(unit->fastPoll);
  unit->PollNext();
  EXPECT_EQ(SNMP_PDU_GETNEXT, Last().type);
  int lines = 0;
  for (const auto& line : log.fileLines())
    if (line.find("walking with GetNext") != std::string::npos) ++lines;
  EXPECT_EQ(1, lines);
  EXPECT_TRUE(FileLogHas(std::string("1:") + kAddress + " - " +
                         GetParam().line + " - walking with GetNext"));
}

INSTANTIATE_TEST_SUITE_P(
    Units, BulkFallbackTest,
    ::testing::Values(
        FallbackCase{"RefusesGetBulk", SimAgent::Bulk::kRefused,
                     "answers GetBulk with an error"},
        FallbackCase{"NeverAnswersGetBulk", SimAgent::Bulk::kLost,
                     "answers GetNext but never GetBulk"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BulkWalkTest, NoRepetitionsWalksWithGetNext) {
  unit->security.maxRepetitions = 0;
  unit->PollNext();
  EXPECT_EQ(SNMP_PDU_GETNEXT, Last().type);
}

TEST_F(BulkWalkTest, RefusalsAreNamedOncePerCauseAndRefusedTrapsCounted) {
  unit->PollNext();
  const SentPdu request = Last();
  fake.DeliverNotification(unit->sessionHandle(), SNMPAPI_V3_WRONG_DIGEST,
                           request.requestId);
  unit->PollNext();
  fake.DeliverNotification(unit->sessionHandle(), SNMPAPI_V3_WRONG_DIGEST,
                           Last().requestId);
  EXPECT_EQ("authentication failed: wrong digest", unit->refusal);
  EXPECT_TRUE(unit->scanUnanswered) << "a refusal is no answer";
  for (int i = 0; i < 2; ++i)
    fake.DeliverNotification(unit->sessionHandle(), SNMPAPI_V3_DECRYPTION_ERROR,
                             kSnmpTrapRefused);
  EXPECT_EQ(2u, unit->trapsRefused);
  const std::string prefix = std::string("1:") + kAddress + " - ";
  int named = 0;
  for (const auto& line : log.fileLines()) {
    if (line.find(prefix + "authentication failed: wrong digest") !=
        std::string::npos)
      ++named;
  }
  EXPECT_EQ(1, named);
  EXPECT_TRUE(FileLogHas(prefix +
                         "trap dropped - authentication failed: decryption "
                         "error"));
  // Once the unit answers, the cause is gone, and the model hears of each
  // change once.
  unit->PollNext();
  AnswerLast();
  EXPECT_EQ("", unit->refusal);
  unit->PollNext();
  AnswerLast();
  EXPECT_EQ((std::vector<std::string>{"authentication failed: wrong digest",
                                      ""}),
            unit->causeChanges);
}

}  // namespace
