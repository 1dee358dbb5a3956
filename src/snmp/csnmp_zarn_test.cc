#include "snmp/csnmp_zarn.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "snmp/snmp_values.h"
#include "snmp/testing/fake_snmp_api.h"
#include "snmp/testing/recording_session.h"

namespace {

using Call = FakeSnmpApi::Call;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using TestSession = RecordingSession;

class CsnmpZarnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugOutputSink([this](const char* text) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(text);
    });
  }
  void TearDown() override {
    SetDebugOutputSink(nullptr);
    EXPECT_EQ(CsnmpZarn::instanceCount(), 0u) << "a test left an object";
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  void ClearLines() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }
  // An initialised session on the ports the driver uses (161, and 0 for
  // the local side).
  void Init(TestSession& s, const char* address = "127.0.1.5") {
    ASSERT_EQ(s.init_snmp(address, community_.c_str(), 161, "127.0.0.1", 0), 0);
    ClearLines();
  }

  FakeSnmpApi fake_;
  ScopedSnmpApi use_{&fake_};
  std::string community_ = "public";

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

TEST_F(CsnmpZarnTest, FirstObjectStartsTheLayerAndLastCleansUp) {
  {
    TestSession a;
    EXPECT_THAT(Lines(),
                ElementsAre("Start SNMP Starting\n",
                            "SNMP Version 2.0. Level 2. Translate Mode 1. "
                            "Retransmit Mode 0.\n",
                            "SNMP 1 instances.\n"));
    ClearLines();
    {
      TestSession b;
      EXPECT_THAT(Lines(), ElementsAre("SNMP 2 instances.\n"));
      EXPECT_EQ(CsnmpZarn::instanceCount(), 2u);
      ClearLines();
    }
    EXPECT_THAT(Lines(), ElementsAre("SNMP destructor - 2 instances.\n"));
    EXPECT_EQ(fake_.CallCount(Call::kCleanup), 0);
    ClearLines();
  }
  EXPECT_THAT(Lines(), ElementsAre("SNMP destructor - 1 instances.\n",
                                   "SNMP Cleaning-up.\n"));
  EXPECT_EQ(fake_.CallCount(Call::kStartup), 1);
  EXPECT_EQ(fake_.CallCount(Call::kCleanup), 1);
  EXPECT_EQ(fake_.startupCount(), 0u);
}

TEST_F(CsnmpZarnTest, FailedStartupLeavesTheObjectUncounted) {
  fake_.FailCall(Call::kStartup, SNMPAPI_ALLOC_ERROR, 1);
  {
    TestSession a;
    EXPECT_THAT(
        Lines(),
        ElementsAre("Start SNMP Starting\n",
                    "SNMP Version 2.0. Level 2. Translate Mode 1. Retransmit "
                    "Mode 0.\n",
                    "SNMP failed to start. Error=SNMPAPI_ALLOC_ERROR:Error "
                    "allocating memory\n"));
    EXPECT_EQ(CsnmpZarn::instanceCount(), 0u);
    ClearLines();
    // The next object tries again.
    TestSession b;
    EXPECT_EQ(fake_.CallCount(Call::kStartup), 2);
    EXPECT_EQ(CsnmpZarn::instanceCount(), 1u);
    ClearLines();
  }
  // b goes first (cleans up); a, never counted, takes nothing away.
  EXPECT_THAT(Lines(), ElementsAre("SNMP destructor - 1 instances.\n",
                                   "SNMP Cleaning-up.\n",
                                   "SNMP destructor - 0 instances.\n"));
  EXPECT_EQ(fake_.CallCount(Call::kCleanup), 1);
}

TEST_F(CsnmpZarnTest, CleanupFailureIsReported) {
  {
    TestSession a;
    fake_.FailCall(Call::kCleanup, SNMPAPI_OTHER_ERROR);
    ClearLines();
  }
  EXPECT_THAT(
      Lines(),
      ElementsAre("SNMP destructor - 1 instances.\n", "SNMP Cleaning-up.\n",
                  "SnmpCleanup failed. Error=SNMPAPI_OTHER_ERROR:For "
                  "internal/undefined errors\n"));
}

TEST_F(CsnmpZarnTest, TheDriversPortsMakeNoLocalEntity) {
  TestSession s;
  ASSERT_EQ(s.init_snmp("127.0.1.5", "public", 161, "127.0.0.1", 0), 0);
  EXPECT_EQ(s.localEntity, nullptr);
  EXPECT_EQ(fake_.CallCount(Call::kListen), 0);
  EXPECT_EQ(fake_.CallCount(Call::kSetPort), 0);
  EXPECT_THAT(fake_.trapSources(s.session), ElementsAre("127.0.1.5"));
  ASSERT_NE(s.remoteEntity, nullptr);
  EXPECT_EQ(fake_.entityPort(s.remoteEntity), 161u);
  ASSERT_NE(s.context, nullptr);
  EXPECT_EQ(fake_.contextCommunity(s.context), "public");
  EXPECT_EQ(fake_.CallCount(Call::kStartup), 1);
  EXPECT_EQ(s.closeSnmp(), 0);
}

TEST_F(CsnmpZarnTest, OtherRemotePortListensOnTheNextPort) {
  TestSession s;
  ASSERT_EQ(s.init_snmp("127.0.1.5", "public", 5000, "127.0.0.1", 0), 0);
  ASSERT_NE(s.localEntity, nullptr);
  EXPECT_EQ(fake_.entityAddress(s.localEntity), "127.0.0.1");
  EXPECT_EQ(fake_.entityPort(s.localEntity), 5001u);
  EXPECT_TRUE(fake_.entityListening(s.localEntity));
  EXPECT_THAT(fake_.listens(s.session),
              ElementsAre(std::make_pair(std::string("127.0.0.1"), 5001u)));
  EXPECT_EQ(fake_.entityPort(s.remoteEntity), 5000u);
  EXPECT_EQ(fake_.CallCount(Call::kSetPort), 2);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, LocalPortGivenAndPortInTheAddressText) {
  TestSession s;
  // Local port 162 is the trap port: no local entity even off 161.
  ASSERT_EQ(s.init_snmp("127.0.1.5:1161", "public", 161, "127.0.0.1", 162), 0);
  EXPECT_EQ(s.localEntity, nullptr);
  EXPECT_EQ(fake_.entityPort(s.remoteEntity), 1161u)
      << "the text's port takes over";
  s.closeSnmp();
  TestSession t;
  ASSERT_EQ(t.init_snmp("127.0.1.6", "public", 161, "127.0.0.1", 7000), 0);
  ASSERT_NE(t.localEntity, nullptr);
  EXPECT_EQ(fake_.entityPort(t.localEntity), 7000u);
  t.closeSnmp();
}

struct InitFailure {
  const char* name;
  Call call;
  uint32_t error;
  uint32_t remotePort;
  int result;
  std::vector<std::string> lines;
};

class InitSnmpFailures : public CsnmpZarnTest,
                         public ::testing::WithParamInterface<InitFailure> {};

TEST_P(InitSnmpFailures, ReportsAndReturns) {
  const InitFailure& c = GetParam();
  TestSession s;
  ClearLines();
  fake_.FailCall(c.call, c.error);
  EXPECT_EQ(s.init_snmp("127.0.1.5", "public", c.remotePort, "127.0.0.1", 0),
            c.result);
  EXPECT_EQ(Lines(), c.lines);
  fake_.ClearFailures();
  s.closeSnmp();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InitSnmpFailures,
    ::testing::Values(
        InitFailure{"CreateSession",
                    Call::kCreateSession,
                    SNMPAPI_ALLOC_ERROR,
                    161,
                    1,
                    {"SNMP session failure. Error SNMPAPI_ALLOC_ERROR:Error "
                     "allocating memory.\n"}},
        InitFailure{"LocalSetPort",
                    Call::kSetPort,
                    SNMPAPI_ENTITY_INVALID,
                    5000,
                    1,
                    {"CsnmpZarn::init_snmp(): SnmpSetPort() for local port "
                     "failed. Error SNMPAPI_ENTITY_INVALID:Invalid entity "
                     "parameter.\n"}},
        InitFailure{"ListenInUse",
                    Call::kListen,
                    SNMPAPI_TL_IN_USE,
                    5000,
                    1,
                    {"CsnmpZarn::init_snmp(): SnmpListen() failed. Error "
                     "SNMPAPI_TL_IN_USE:Source endpoint in use.\n"}},
        InitFailure{
            "ListenOtherGoesOn", Call::kListen, SNMPAPI_TL_OTHER, 5000, 0, {}},
        InitFailure{"Register",
                    Call::kRegister,
                    SNMPAPI_TL_RESOURCE_ERROR,
                    161,
                    1,
                    {"CsnmpZarn::init_snmp(): SnmpRegister() failed. Error "
                     "SNMPAPI_TL_RESOURCE_ERROR:TL resource error.\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CsnmpZarnTest, RemoteSetPortFailure) {
  TestSession s;
  ClearLines();
  EXPECT_EQ(s.init_snmp("127.0.1.5", "public", 65535, "127.0.0.1", 0), 1)
      << "local port 65536 cannot be set";
  EXPECT_THAT(Lines(),
              ElementsAre("CsnmpZarn::init_snmp(): SnmpSetPort() for local "
                          "port failed. Error SNMPAPI_TL_INVALID_PARAM:Input "
                          "parameter invalid.\n"));
  s.closeSnmp();
  TestSession t;
  ClearLines();
  EXPECT_EQ(t.init_snmp("127.0.1.5", "public", 70000, "127.0.0.1", 6000), 1);
  EXPECT_THAT(Lines(),
              ElementsAre("CsnmpZarn::init_snmp(): SnmpSetPort() for remote "
                          "port failed. Error SNMPAPI_TL_INVALID_PARAM:Input "
                          "parameter invalid.\n"));
  t.closeSnmp();
}

TEST_F(CsnmpZarnTest, BadAddressFailsAtRegistration) {
  TestSession s;
  ClearLines();
  EXPECT_EQ(s.init_snmp("not an address", "public", 161, "127.0.0.1", 0), 1);
  EXPECT_THAT(Lines(),
              ElementsAre("CsnmpZarn::init_snmp(): SnmpRegister() failed. "
                          "Error SNMPAPI_ENTITY_INVALID:Invalid entity "
                          "parameter.\n"));
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, CloseSnmpReportsBothSteps) {
  TestSession s;
  Init(s);
  EXPECT_EQ(s.closeSnmp(), 0);
  EXPECT_THAT(Lines(), ElementsAre("Closing SNMP.\n"));
  ClearLines();
  EXPECT_EQ(s.closeSnmp(), 1);
  EXPECT_THAT(
      Lines(),
      ElementsAre("Closing SNMP.\n",
                  "Failed to close SNMP. Error=SNMPAPI_SESSION_INVALID:Invalid "
                  "session parameter.\n",
                  "Failed to cleanup SNMP. Error=SNMPAPI_NOT_INITIALIZED:"
                  "SnmpStartup failed/not called.\n"));
  ClearLines();
}

struct SyntaxCase {
  const char* name;
  uint32_t syntax;
  const char* text;
  uint32_t sentSyntax;
  std::string sentValue;
};

class SendRequestSyntax : public CsnmpZarnTest,
                          public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(SendRequestSyntax, ConvertsTheValueText) {
  const SyntaxCase& c = GetParam();
  TestSession s;
  Init(s);
  ASSERT_EQ(s.sendRequest(SNMP_PDU_SET, "1.3.6.1.4.1.6853.1.1.0", c.text,
                          c.syntax, 0x20005),
            0);
  FakeSnmpApi::SentPdu sent = fake_.lastSent();
  EXPECT_EQ(sent.type, SNMP_PDU_SET);
  EXPECT_EQ(sent.requestId, 0x20005);
  EXPECT_EQ(sent.oid, "1.3.6.1.4.1.6853.1.1.0");
  EXPECT_EQ(sent.bindingCount, 1u);
  EXPECT_EQ(sent.syntax, c.sentSyntax);
  EXPECT_EQ(sent.value, c.sentValue);
  EXPECT_THAT(Lines(), IsEmpty());
  s.closeSnmp();
  // Nothing of the request stays behind.
  EXPECT_EQ(fake_.LiveCounts().descriptors, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendRequestSyntax,
    ::testing::Values(
        SyntaxCase{"NoSyntaxIsNull", 0, "ignored", SNMP_SYNTAX_NULL, ""},
        SyntaxCase{"IntPositive", 2, "42", SNMP_SYNTAX_INT, "42"},
        SyntaxCase{"IntNegative", 2, "-7", SNMP_SYNTAX_INT, "-7"},
        SyntaxCase{"IntNotANumber", 2, "on", SNMP_SYNTAX_INT, "0"},
        SyntaxCase{"IntLeadingDigits", 2, "12abc", SNMP_SYNTAX_INT, "12"},
        SyntaxCase{"IntTooLargeStopsAtLimit", 2, "99999999999", SNMP_SYNTAX_INT,
                   "2147483647"},
        SyntaxCase{"Octets", 4, "Rack 3", SNMP_SYNTAX_OCTETS, "Rack 3"},
        SyntaxCase{"OctetsEmpty", 4, "", SNMP_SYNTAX_OCTETS, ""},
        SyntaxCase{"Bits", 3, "ab", SNMP_SYNTAX_BITS, "ab"},
        SyntaxCase{"Opaque", 68, "xy", SNMP_SYNTAX_OPAQUE, "xy"},
        SyntaxCase{"Nsap", 69, "nn", SNMP_SYNTAX_NSAPADDR, "nn"},
        SyntaxCase{"Oid", 6, "1.3.6.1.2.1", SNMP_SYNTAX_OID, "1.3.6.1.2.1"},
        SyntaxCase{"IpAddress", 64, "192.168.0.1", SNMP_SYNTAX_IPADDR,
                   "192.168.0.1"},
        SyntaxCase{"IpAddressMissingPieces", 64, "10.1", SNMP_SYNTAX_IPADDR,
                   "10.1.0.0"},
        SyntaxCase{"IpAddressExtraPieces", 64, "1.2.3.4.5", SNMP_SYNTAX_IPADDR,
                   "1.2.3.4"},
        SyntaxCase{"IpAddressEmpty", 64, "", SNMP_SYNTAX_IPADDR, "0.0.0.0"},
        SyntaxCase{"Counter32", 65, "4294967295", SNMP_SYNTAX_CNTR32,
                   "4294967295"},
        SyntaxCase{"Gauge32", 66, "12", SNMP_SYNTAX_GAUGE32, "12"},
        SyntaxCase{"TimeTicks", 67, "100", SNMP_SYNTAX_TIMETICKS, "100"},
        SyntaxCase{"UInteger32", 71, "5", SNMP_SYNTAX_UINT32, "5"},
        SyntaxCase{"UnsignedTooLarge", 66, "99999999999", SNMP_SYNTAX_GAUGE32,
                   "4294967295"},
        SyntaxCase{"NullGiven", 5, "x", SNMP_SYNTAX_NULL, ""},
        SyntaxCase{"Counter64HasNoValue", 70, "5", SNMP_SYNTAX_CNTR64, "0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CsnmpZarnTest, GetNextIsSentWithNoValue) {
  TestSession s;
  Init(s);
  ASSERT_EQ(
      s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0, 0x10001),
      0);
  FakeSnmpApi::SentPdu sent = fake_.lastSent();
  EXPECT_EQ(sent.type, SNMP_PDU_GETNEXT);
  EXPECT_EQ(sent.syntax, SNMP_SYNTAX_NULL);
  EXPECT_EQ(sent.address, "127.0.1.5");
  EXPECT_EQ(sent.port, 161u);
  EXPECT_EQ(sent.community, "public");
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, BadOidTextFailsQuietly) {
  TestSession s;
  Init(s);
  EXPECT_EQ(s.sendRequest(SNMP_PDU_GETNEXT, "1.3.x", nullptr, 0, 1), 1);
  EXPECT_EQ(s.sendRequest(SNMP_PDU_SET, "", "1.3.6", SNMP_SYNTAX_OID, 1), 1);
  EXPECT_THAT(Lines(), IsEmpty());
  EXPECT_EQ(fake_.sentCount(), 0u);
  EXPECT_EQ(fake_.LiveCounts().descriptors, 0u);
  s.closeSnmp();
}

struct SendFailure {
  const char* name;
  Call call;
  uint32_t error;
  int32_t type;
  const char* value;  // a Set's value, or null for a GetNext
  std::vector<std::string> lines;
};

class SendRequestFailures : public CsnmpZarnTest,
                            public ::testing::WithParamInterface<SendFailure> {
};

TEST_P(SendRequestFailures, AreReportedWithTheirErrorAndLeaveNothing) {
  const SendFailure& c = GetParam();
  TestSession s;
  Init(s);
  fake_.FailCall(c.call, c.error, 1);
  EXPECT_EQ(
      s.sendRequest(c.type, "1.3.6", c.value, c.value ? SNMP_SYNTAX_OID : 0, 1),
      1);
  EXPECT_EQ(Lines(), c.lines);
  auto counts = fake_.LiveCounts();
  EXPECT_EQ(counts.vbls + counts.pdus + counts.descriptors, 0u);
  s.closeSnmp();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SendRequestFailures,
    ::testing::Values(
        SendFailure{"SendMsg",
                    Call::kSendMsg,
                    SNMPAPI_TL_UNDELIVERABLE,
                    SNMP_PDU_GETNEXT,
                    nullptr,
                    {"Failed to send message. Error "
                     "SNMPAPI_TL_UNDELIVERABLE:Destination unreachable.\n"}},
        // Freeing the list that was never made fails; the session's last
        // error is still the one that stopped the request.
        SendFailure{"CreateVbl",
                    Call::kCreateVbl,
                    SNMPAPI_ALLOC_ERROR,
                    SNMP_PDU_GETNEXT,
                    nullptr,
                    {"Failed to free VBL. Error SNMPAPI_ALLOC_ERROR:Error "
                     "allocating memory.\n"}},
        SendFailure{"CreatePdu",
                    Call::kCreatePdu,
                    SNMPAPI_ALLOC_ERROR,
                    SNMP_PDU_SET,
                    "1.3.6.1",
                    {"Failed to create PDU",
                     "Failed to free PDU. Error SNMPAPI_ALLOC_ERROR:Error "
                     "allocating memory.\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CsnmpZarnTest, ScratchFreeFailuresAreReportedOneByOne) {
  TestSession s;
  Init(s);
  fake_.FailCall(Call::kFreeDescriptor, SNMPAPI_OTHER_ERROR, 1);
  fake_.FailCall(Call::kFreeVbl, SNMPAPI_VBL_INVALID, 1);
  fake_.FailCall(Call::kFreePdu, SNMPAPI_PDU_INVALID, 1);
  EXPECT_EQ(s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6", nullptr, 0, 1), 0);
  EXPECT_THAT(
      Lines(),
      ElementsAre("Failed to free Descriptor. Error SNMPAPI_OTHER_ERROR:For "
                  "internal/undefined errors.\n",
                  "Failed to free VBL 1. Error SNMPAPI_VBL_INVALID:Invalid "
                  "VBL parameter.\n",
                  "Failed to free PDU 1. Error SNMPAPI_PDU_INVALID:Invalid "
                  "PDU parameter.\n"));
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, TimeoutAndOtherNotificationsReachSNMPError) {
  TestSession s;
  Init(s);
  s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6", nullptr, 0, 0x10007);
  ASSERT_TRUE(fake_.DeliverTimeout(fake_.lastSent()));
  ASSERT_TRUE(
      fake_.DeliverNotification(s.session, SNMPAPI_TL_UNDELIVERABLE, 0x20009));
  ASSERT_EQ(s.events.size(), 2u);
  EXPECT_EQ(s.events[0].what, "error");
  EXPECT_EQ(s.events[0].code, 108u);
  EXPECT_EQ(s.events[0].requestId, 0x10007);
  EXPECT_EQ(s.events[1].code, SNMPAPI_TL_UNDELIVERABLE);
  EXPECT_EQ(s.events[1].requestId, 0x20009);
  EXPECT_THAT(Lines(), ElementsAre("Request timeout\n", "Other callback.\n"));
  EXPECT_EQ(fake_.CallCount(Call::kRecvMsg), 0)
      << "no message is received for a notification";
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, RepliesAndBothTrapTypesAreDispatched) {
  TestSession s;
  Init(s);
  s.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0, 0x10001);
  ASSERT_TRUE(fake_.ReplyTo(
      fake_.lastSent(), {{"1.3.6.1.4.1.6853.1.1.0", SNMP_SYNTAX_INT, "3"}}));
  const std::vector<FakeSnmpApi::Binding> trap = {
      {"1.3.6.1.2.1.1.3.0", SNMP_SYNTAX_TIMETICKS, "8640000"},
      {"1.3.6.1.6.3.1.1.4.1.0", SNMP_SYNTAX_OID, "1.3.6.1.6.3.1.1.5.1"}};
  ASSERT_EQ(fake_.DeliverTrapFrom("127.0.1.5", SNMP_PDU_TRAP, trap), 1);
  ASSERT_EQ(fake_.DeliverTrapFrom("127.0.1.5", SNMP_PDU_V1TRAP, trap), 1);
  ASSERT_EQ(s.events.size(), 3u);
  EXPECT_EQ(s.events[0].what, "reply");
  EXPECT_EQ(s.events[0].requestId, 0x10001);
  EXPECT_THAT(s.events[0].bindings,
              ElementsAre(std::make_pair(std::string("1.3.6.1.4.1.6853.1.1.0"),
                                         std::string("3"))));
  EXPECT_EQ(s.events[1].what, "trap");
  EXPECT_EQ(s.events[1].type, SNMP_PDU_TRAP);
  EXPECT_EQ(s.events[2].type, SNMP_PDU_V1TRAP);
  EXPECT_EQ(s.events[2].bindings[0].second, "1,0:0:0.0");
  EXPECT_EQ(s.events[2].bindings[1].second, "1.3.6.1.6.3.1.1.5.1");
  EXPECT_THAT(Lines(), IsEmpty());
  // Everything the dispatcher and the handlers took is back.
  EXPECT_EQ(fake_.LiveCounts().handles(), 2u) << "remote entity and context";
  EXPECT_EQ(fake_.LiveCounts().descriptors, 0u);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, OtherPduTypesReachNoOperation) {
  TestSession s;
  Init(s);
  for (int32_t type : {SNMP_PDU_GET, SNMP_PDU_GETNEXT, SNMP_PDU_SET,
                       SNMP_PDU_GETBULK, SNMP_PDU_INFORM, SNMP_PDU_REPORT})
    ASSERT_TRUE(fake_.DeliverReply(s.session, 1, {}, 0, 0, type));
  EXPECT_THAT(s.events, IsEmpty());
  EXPECT_THAT(Lines(), IsEmpty());
  EXPECT_EQ(fake_.LiveCounts().handles(), 2u) << "each message was freed";
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, AHandlerWithoutAListCausesNoFreeForIt) {
  TestSession s;
  s.keep = false;
  Init(s);
  int before = fake_.CallCount(Call::kFreeVbl);
  ASSERT_TRUE(fake_.DeliverReply(s.session, 1, {}));
  ASSERT_TRUE(fake_.DeliverTrap(s.session, SNMP_PDU_TRAP, {}));
  // Only the PDU's own list is freed, once per message.
  EXPECT_EQ(fake_.CallCount(Call::kFreeVbl) - before, 2);
  EXPECT_EQ(fake_.LiveCounts().vbls, 2u) << "the handlers' copies";
  s.keep = true;
  before = fake_.CallCount(Call::kFreeVbl);
  ASSERT_TRUE(fake_.DeliverReply(s.session, 2, {}));
  EXPECT_EQ(fake_.CallCount(Call::kFreeVbl) - before, 2);
  EXPECT_EQ(fake_.LiveCounts().vbls, 2u);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, DefaultOperationsOnlySayNothingHandledTheEvent) {
  TestSession s;
  s.useDefaults = true;
  Init(s);
  fake_.DeliverReply(s.session, 1, {{"1.3.6", SNMP_SYNTAX_INT, "1"}});
  fake_.DeliverTrap(s.session, SNMP_PDU_TRAP, {});
  fake_.DeliverNotification(s.session, SNMPAPI_TL_TIMEOUT, 1);
  EXPECT_THAT(Lines(), ElementsAre("Unhandled reply.\n", "Unhandled Trap.\n",
                                   "Request timeout\n", "Unhandled Error.\n"));
  EXPECT_EQ(fake_.LiveCounts().handles(), 2u);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, NoClientDataDoesNothing) {
  EXPECT_EQ(CsnmpZarn::onSnmpEvent(nullptr, nullptr, 0, 0, 0, nullptr),
            SNMPAPI_SUCCESS);
  EXPECT_EQ(fake_.CallCount(Call::kRecvMsg), 0);
}

TEST_F(CsnmpZarnTest, MessageFreeFailuresAreReported) {
  TestSession s;
  s.keep = false;
  Init(s);
  fake_.FailCall(Call::kFreePdu, SNMPAPI_PDU_INVALID, 1);
  fake_.FailCall(Call::kFreeContext, SNMPAPI_CONTEXT_INVALID, 1);
  fake_.FailCall(Call::kFreeEntity, SNMPAPI_ENTITY_INVALID, 1);
  fake_.FailCall(Call::kFreeVbl, SNMPAPI_VBL_INVALID, 1);
  ASSERT_TRUE(fake_.DeliverReply(s.session, 1, {}));
  EXPECT_THAT(
      Lines(),
      ElementsAre("Fail to free PDU. Error=000c",
                  "Fail to free Context. Error SNMPAPI_CONTEXT_INVALID:"
                  "Invalid context parameter.\n",
                  "Fail to free source. Error SNMPAPI_ENTITY_INVALID:Invalid "
                  "entity parameter.\n",
                  "Fail to variable binding list. Error SNMPAPI_VBL_INVALID:"
                  "Invalid VBL parameter.\n"));
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, ReceiveFailuresLeaveNothingBehind) {
  TestSession s;
  Init(s);
  fake_.FailCall(Call::kRecvMsg, SNMPAPI_NOOP, 1);
  ASSERT_TRUE(fake_.DeliverReply(s.session, 1, {}));
  fake_.FailCall(Call::kGetPduData, SNMPAPI_PDU_INVALID, 1);
  ASSERT_TRUE(fake_.DeliverReply(s.session, 2, {}));
  EXPECT_THAT(s.events, IsEmpty());
  EXPECT_THAT(Lines(), IsEmpty());
  EXPECT_EQ(fake_.LiveCounts().handles(), 2u);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, GetValueAndGetOidReadOneBinding) {
  TestSession s;
  Init(s);
  smiOID name;
  fake_.StrToOid("1.3.6.1.4.1.6853.1.3.0", &name);
  smiVALUE value;
  value.syntax = SNMP_SYNTAX_IPADDR;
  uint8_t ip[4] = {10, 1, 2, 3};
  value.value.string.len = 4;
  value.value.string.ptr = ip;
  HSNMP_VBL vbl = fake_.CreateVbl(s.session, &name, &value);
  fake_.FreeDescriptor(SNMP_SYNTAX_OID, &name);

  char out[256] = "untouched";
  EXPECT_EQ(s.GetValue(vbl, 1, sizeof out, out), 0);
  EXPECT_STREQ(out, "10.1.2.3");
  EXPECT_EQ(s.getOid(vbl, 1, sizeof out, out), 0);
  EXPECT_STREQ(out, "1.3.6.1.4.1.6853.1.3.0");
  std::strcpy(out, "untouched");
  EXPECT_EQ(s.GetValue(vbl, 2, sizeof out, out), 1);
  EXPECT_EQ(s.getOid(vbl, 2, sizeof out, out), 1);
  EXPECT_EQ(s.GetValue(vbl, 0, sizeof out, out), 1);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(fake_.LiveCounts().descriptors, 0u)
      << "every descriptor GetVb handed out is freed, IPADDR included";
  EXPECT_THAT(Lines(), IsEmpty());
  fake_.FreeVbl(vbl);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, GetValueFreeFailuresAreReported) {
  TestSession s;
  Init(s);
  smiOID name;
  fake_.StrToOid("1.3.6", &name);
  std::string text = "abc";
  smiVALUE value;
  value.syntax = SNMP_SYNTAX_OCTETS;
  value.value.string.len = 3;
  value.value.string.ptr = reinterpret_cast<uint8_t*>(text.data());
  HSNMP_VBL vbl = fake_.CreateVbl(s.session, &name, &value);
  fake_.FreeDescriptor(SNMP_SYNTAX_OID, &name);
  char out[256];
  fake_.FailCall(Call::kFreeDescriptor, SNMPAPI_OTHER_ERROR, 2);
  s.GetValue(vbl, 1, sizeof out, out);
  EXPECT_STREQ(out, "abc");
  fake_.FailCall(Call::kFreeDescriptor, SNMPAPI_OTHER_ERROR, 2);
  s.getOid(vbl, 1, sizeof out, out);
  EXPECT_THAT(Lines(),
              ElementsAre("CsnmpZarn::GetValue - Failed to free Value - Error "
                          "SNMPAPI_OTHER_ERROR:For internal/undefined "
                          "errors.\n",
                          "Failed to Descriptor. Error SNMPAPI_OTHER_ERROR:For "
                          "internal/undefined errors.\n",
                          "Failed to free Value. Error SNMPAPI_OTHER_ERROR:For "
                          "internal/undefined errors.\n",
                          "Failed to Descriptor. Error SNMPAPI_OTHER_ERROR:For "
                          "internal/undefined errors.\n"));
  fake_.FreeVbl(vbl);
  s.closeSnmp();
}

TEST_F(CsnmpZarnTest, SnmpTraceCutsLongLinesAt2048Bytes) {
  std::string longText(5000, 'z');
  SnmpTrace("%s", longText.c_str());
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0], std::string(2047, 'z'));
}

}  // namespace
