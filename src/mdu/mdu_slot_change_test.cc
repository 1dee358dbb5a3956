// Requested slot changes into SNMP Sets.

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mdu/testing/mdu_test_fixture.h"
#include "platform/structured_exception.h"

using ::testing::IsEmpty;

namespace {

class MduSlotChangeTest : public MduTest {
 protected:
  void SetUp() override {
    MduTest::SetUp();
    startUnit(7);
    // The unit reports fuses 1-4 in rows 1-4 before GPIs 1-16 in rows
    // 5-20, and outputs 1-12 in rows 1-12.
    std::vector<std::vector<int>> alarms;
    for (int k = 1; k <= 4; ++k) alarms.push_back({k, k, 3, k, 0, 0});
    for (int i = 1; i <= 16; ++i) {
      alarms.push_back({4 + i, 4 + i, 2, i, 0, 0});
    }
    std::vector<std::vector<int>> outputs;
    for (int j = 1; j <= 12; ++j) outputs.push_back({j, j, 0, 0});
    objects_ = alarmTable(alarms);
    for (const Binding& b : outputTable(outputs)) objects_.push_back(b);
  }

  // The unit's rows become known with the walk.
  void reportRows() {
    walk(objects_);
    queued();
    fake_.ClearSent();
    clearLines();
  }

  std::vector<Binding> objects_;
};

TEST_F(MduSlotChangeTest, RequestsBecomeSets) {
  reportRows();
  struct Case {
    int slot;
    const char* text;
    const char* listLine;
    const char* oid;
    const char* value;
    uint32_t syntax;
  } cases[] = {
      {41, "1", "Slot 41 (GPI Switch 1) change to '1'",
       "1.3.6.1.4.1.6853.3.4.1.2.1", "1", SNMP_SYNTAX_INT},
      {52, "0", "Slot 52 (GPI Switch 12) change to '0'",
       "1.3.6.1.4.1.6853.3.4.1.2.12", "0", SNMP_SYNTAX_INT},
      {85, "1234", "Slot 85 (Delay 5) change to '1234'",
       "1.3.6.1.4.1.6853.3.4.1.3.5", "123", SNMP_SYNTAX_INT},
      {85, "2550", "Slot 85 (Delay 5) change to '2550'",
       "1.3.6.1.4.1.6853.3.4.1.3.5", "255", SNMP_SYNTAX_INT},
      {81, "0", "Slot 81 (Delay 1) change to '0'", "1.3.6.1.4.1.6853.3.4.1.3.1",
       "0", SNMP_SYNTAX_INT},
      {92, "soon", "Slot 92 (Delay 12) change to 'soon'",
       "1.3.6.1.4.1.6853.3.4.1.3.12", "0", SNMP_SYNTAX_INT},
      {79, "19", "Slot 79 (Seq Delay) change to '19'", "1.3.6.1.4.1.6853.3.3.0",
       "1", SNMP_SYNTAX_INT},
      {78, "3", "Slot 78 (Startup Mode) change to '3'",
       "1.3.6.1.4.1.6853.3.2.0", "3", SNMP_SYNTAX_INT},
      {96, "128", "Slot 96 (High Temperature) change to '128'",
       "1.3.6.1.4.1.6853.2.6.0", "128", SNMP_SYNTAX_INT},
      {96, "0", "Slot 96 (High Temperature) change to '0'",
       "1.3.6.1.4.1.6853.2.6.0", "0", SNMP_SYNTAX_INT},
      // Checked as 40 and sent as it is: the SNMP layer reads it as 40.
      {96, " 40x", "Slot 96 (High Temperature) change to ' 40x'",
       "1.3.6.1.4.1.6853.2.6.0", "40", SNMP_SYNTAX_INT},
      {98, "Gallery: B's", "Slot 98 (Location) change to 'Gallery: B's'",
       "1.3.6.1.4.1.6853.2.4.0", "Gallery: B's", SNMP_SYNTAX_OCTETS},
      {98, "", "Slot 98 (Location) change to ''", "1.3.6.1.4.1.6853.2.4.0", "",
       SNMP_SYNTAX_OCTETS},
      // GPI n sits in row n + 4; fuse 1 in row 1 is where a search that
      // ignores the type would stop for GPI 1.
      {21, "1", "Slot 21 (GPI Polarity 1) change to '1'",
       "1.3.6.1.4.1.6853.2.2.1.6.5", "1", SNMP_SYNTAX_INT},
      {25, "0", "Slot 25 (GPI Polarity 5) change to '0'",
       "1.3.6.1.4.1.6853.2.2.1.6.9", "0", SNMP_SYNTAX_INT},
      {36, "1", "Slot 36 (GPI Polarity 16) change to '1'",
       "1.3.6.1.4.1.6853.2.2.1.6.20", "1", SNMP_SYNTAX_INT},
  };
  for (const Case& c : cases) {
    clearLines();
    fake_.ClearSent();
    EXPECT_TRUE(unit_->slotChange(c.slot, c.text)) << c.listLine;
    EXPECT_EQ(std::vector<std::string>{c.listLine}, unitListLines());
    EXPECT_EQ(1, count(traceLines(), "slot change "));
    ASSERT_EQ(1u, fake_.sentCount()) << c.listLine;
    const FakeSnmpApi::SentPdu set = fake_.lastSent();
    EXPECT_EQ(SNMP_PDU_SET, set.type);
    EXPECT_EQ(c.oid, set.oid) << c.listLine;
    EXPECT_EQ(c.value, set.value) << c.listLine;
    EXPECT_EQ(c.syntax, set.syntax) << c.listLine;
    EXPECT_EQ(kAddress, set.address);
    EXPECT_EQ(2u, requestTag(set.requestId));  // a control request
    // Answer it, so the next request goes out at once.
    ASSERT_TRUE(fake_.ReplyTo(set, {set.bindings[0]}));
    queued();
  }
}

TEST_F(MduSlotChangeTest, OutOfRangeValuesAreRefused) {
  reportRows();
  struct Case {
    int slot;
    const char* text;
    const char* traceLine;
  } cases[] = {
      {85, "2551", "Delay out of range 2551"},
      {85, "-1", "Delay out of range -1"},
      {79, "2551", "Sequential delay out of range 2551"},
      {79, "-10", "Sequential delay out of range -10"},
      {96, "129", "Max Temp. out of range 129"},
      {96, "-1", "Max Temp. out of range -1"},
  };
  for (const Case& c : cases) {
    clearLines();
    EXPECT_FALSE(unit_->slotChange(c.slot, c.text)) << c.traceLine;
    EXPECT_EQ(1, count(traceLines(), c.traceLine));
    EXPECT_EQ(0, count(traceLines(), "slot change "));
    // The request itself is still listed.
    EXPECT_EQ(1u, unitListLines().size());
  }
  EXPECT_EQ(0u, fake_.sentCount());
}

TEST_F(MduSlotChangeTest, RowsMustBeReportedFirst) {
  struct Case {
    int slot;
    const char* traceLine;
  } cases[] = {
      {41, "Failed to find output state for 1"},
      {85, "Failed to find output delay for 5"},
      {25, "Failed to find GPI polarity for 5"},
  };
  for (const Case& c : cases) {
    clearLines();
    EXPECT_FALSE(unit_->slotChange(c.slot, "1")) << c.traceLine;
    EXPECT_EQ(1, count(traceLines(), c.traceLine));
  }
  // A fuse with the GPI's number does not stand in for it.
  for (const Binding& b : alarmTable({{1, 1, 3, 5, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  clearLines();
  EXPECT_FALSE(unit_->slotChange(25, "1"));
  EXPECT_EQ(1, count(traceLines(), "Failed to find GPI polarity for 5"));
  EXPECT_EQ(1u, fake_.sentCount());  // the first GetNext only
}

TEST_F(MduSlotChangeTest, FirstRowInKeyOrderServes) {
  walk({});
  // Two rows claim output 3; the lower row number wins.
  for (const Binding& b : outputTable({{8, 3, 0, 0}, {5, 3, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  ASSERT_TRUE(unit_->slotChange(43, "1"));
  EXPECT_EQ("1.3.6.1.4.1.6853.3.4.1.2.3", fake_.lastSent().oid);
  // For GPIs the OID carries the row's table index.
  for (const Binding& b :
       alarmTable({{30, 77, 2, 9, 0, 0}, {31, 78, 2, 9, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  fake_.ReplyTo(fake_.lastSent(), {});
  ASSERT_TRUE(unit_->slotChange(29, "1"));
  EXPECT_EQ("1.3.6.1.4.1.6853.2.2.1.6.77", fake_.lastSent().oid);
}

TEST_F(MduSlotChangeTest, RowsAreFoundByTheirNumbersNotByTheirKeys) {
  walk({});
  // Row keys, output indexes and table indexes all differ, so a lookup by
  // the wrong field finds another row or none.
  for (const Binding& b : outputTable({{1, 4, 0, 0}, {4, 1, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  for (const Binding& b : alarmTable(
           {{2, 40, 2, 5, 0, 0}, {5, 50, 3, 5, 0, 0}, {6, 60, 2, 2, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  struct Case {
    int slot;
    std::string oid;
  } cases[] = {
      {41, "1.3.6.1.4.1.6853.3.4.1.2.1"},  // output 1 is row 4
      {44, "1.3.6.1.4.1.6853.3.4.1.2.4"},  // output 4 is row 1
      {81, "1.3.6.1.4.1.6853.3.4.1.3.1"},  {84, "1.3.6.1.4.1.6853.3.4.1.3.4"},
      {25, "1.3.6.1.4.1.6853.2.2.1.6.40"},  // GPI 5, not fuse 5
      {22, "1.3.6.1.4.1.6853.2.2.1.6.60"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    fake_.ClearSent();
    unit_->outstanding = 0;
    ASSERT_TRUE(unit_->slotChange(c.slot, "10"));
    ASSERT_EQ(1u, fake_.sentCount());
    EXPECT_EQ(c.oid, fake_.lastSent().oid);
  }
  // Outputs 2 and 3, GPI 6 and the row keys themselves are unknown.
  for (int slot : {42, 43, 82, 26}) {
    EXPECT_FALSE(unit_->slotChange(slot, "1")) << slot;
  }
}

TEST_F(MduSlotChangeTest, AnExceptionInsideIsLoggedAndRefusesTheRequest) {
  reportRows();
  struct Case {
    const char* name;
    std::function<void()> thrower;
    std::vector<std::string> lines;
  } cases[] = {
      {"exception",
       [] { throw std::runtime_error("list"); },
       {"Cqor_mdl::slotChange failed"}},
      {"fault",
       [] { throw structured_exception(11, nullptr); },
       {"Cqor_mdl::slotChange - failed", "thrown exception b from 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = fileLines().size();
    fake_.ClearSent();
    TheDebugList().setListener([&](const char* line) {
      if (line != nullptr) c.thrower();
    });
    EXPECT_FALSE(unit_->slotChange(98, "Rack 1"));
    TheDebugList().setListener(nullptr);
    EXPECT_EQ(0u, fake_.sentCount());
    const std::vector<std::string> lines = fileLines();
    EXPECT_EQ(c.lines,
              std::vector<std::string>(lines.begin() + before, lines.end()));
  }
}

TEST_F(MduSlotChangeTest, OtherSlotsAreRefusedSilently) {
  reportRows();
  std::vector<int> refused = {-1, 0, 100, 4095};
  for (int s = 1; s <= 99; ++s) {
    const bool controllable = (s >= 21 && s <= 36) || (s >= 41 && s <= 52) ||
                              (s >= 81 && s <= 92) || s == 78 || s == 79 ||
                              s == 96 || s == 98;
    if (!controllable) refused.push_back(s);
  }
  for (int s : refused) {
    EXPECT_FALSE(unit_->slotChange(s, "1")) << s;
  }
  EXPECT_THAT(unitListLines(), IsEmpty());
  EXPECT_THAT(traceLines(), IsEmpty());
  EXPECT_EQ(0u, fake_.sentCount());
}

TEST_F(MduSlotChangeTest, RequestWhileBusyIsQueued) {
  reportRows();
  unit_->PollNext();  // a GetNext of the background walk is outstanding
  ASSERT_EQ(1u, fake_.sentCount());
  EXPECT_TRUE(unit_->slotChange(98, "Later"));
  EXPECT_EQ(1u, fake_.sentCount());
  EXPECT_EQ(1, unit_->bufferCount());
  // It goes out after the scan reply.
  ASSERT_TRUE(
      fake_.ReplyTo(fake_.lastSent(), {integer("1.3.6.1.4.1.6853.9.0", 1)}));
  ASSERT_EQ(2u, fake_.sentCount());
  EXPECT_EQ(SNMP_PDU_SET, fake_.lastSent().type);
  EXPECT_EQ("Later", fake_.lastSent().value);
}

TEST_F(MduSlotChangeTest, RequestsNeverWriteTheSlot) {
  reportRows();
  ASSERT_TRUE(unit_->slotChange(41, "0"));
  ASSERT_TRUE(fake_.ReplyTo(fake_.lastSent(), {}, SNMP_ERROR_BADVALUE, 1));
  // A refused Set leaves the slot as the unit reported it.
  EXPECT_THAT(queued(), IsEmpty());
}

TEST_F(MduSlotChangeTest, FailedSendIsReported) {
  reportRows();
  fake_.FailCall(FakeSnmpApi::Call::kSendMsg, SNMPAPI_TL_UNDELIVERABLE);
  EXPECT_FALSE(unit_->slotChange(98, nullptr));
  // A missing text counts as an empty one.
  EXPECT_EQ(1, count(unitListLines(), "Slot 98 (Location) change to ''"));
}

}  // namespace
