// The unit's traps, delivered through the scripted SNMP layer from the
// unit's address as the trap receiver delivers them.

#include <string>
#include <vector>

#include "mdu/testing/mdu_test_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class MduTrapTest : public MduTest {
 protected:
  void SetUp() override {
    MduTest::SetUp();
    startUnit();
    // Walk once so the unit is in its background walk with nothing
    // outstanding, as it usually is when a trap comes.
    walk({integer("1.3.6.1.4.1.6853.9.0", 1)});
    ASSERT_TRUE(unit_->commsOk);
    queued();
    fake_.ClearSent();
    clearLines();
  }

  // A trap in the v2 form: sysUpTime.0, snmpTrapOID.0, then |bindings|.
  int trap(const std::string& trapOid, const std::vector<Binding>& bindings) {
    std::vector<Binding> all = {
        {"1.3.6.1.2.1.1.3.0", SNMP_SYNTAX_TIMETICKS, "1234"},
        {"1.3.6.1.6.3.1.1.4.1.0", SNMP_SYNTAX_OID, trapOid}};
    all.insert(all.end(), bindings.begin(), bindings.end());
    return fake_.DeliverTrapFrom(kAddress, SNMP_PDU_TRAP, all);
  }

  // The bindings of an alarm row trap for table index t, 3 to 8.
  static std::vector<Binding> alarm(int t, int type, int index, int state,
                                    int polarity) {
    const std::string cell = "1.3.6.1.4.1.6853.2.2.1.";
    const std::string row = "." + std::to_string(t);
    return {
        integer(cell + "1" + row, t),     integer(cell + "2" + row, type),
        integer(cell + "3" + row, index), octets(cell + "4" + row, "GPI"),
        integer(cell + "5" + row, state), integer(cell + "6" + row, polarity)};
  }

  // One trace line and one list line with these texts.
  bool tracedThenListed(const std::string& traceText,
                        const std::string& listText) {
    return count(traceLines(), traceText) == 1 &&
           count(unitListLines(), listText) == 1;
  }
};

TEST_F(MduTrapTest, RestartsOfTheAgentRescanAtOnce) {
  struct Case {
    const char* trapOid;
    std::vector<Binding> bindings;
    const char* line;
  } cases[] = {
      {"1.3.6.1.6.3.1.1.5.1", {}, "Cold-Start"},
      {"1.3.6.1.6.3.1.1.5.2", {}, "Warm-Start"},
      {"1.3.6.1.6.3.1.1.5.4",
       {integer("1.3.6.1.2.1.2.2.1.1.3", 3)},
       "Link 3 up"},
      // Without its binding the interface is empty.
      {"1.3.6.1.6.3.1.1.5.4", {}, "Link  up"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(unit_->fastPoll);
    fake_.ClearSent();
    clearLines();
    ASSERT_EQ(1, trap(c.trapOid, c.bindings));
    EXPECT_TRUE(tracedThenListed(c.line, c.line)) << c.line;
    // The walk starts again from the top in fast mode, without waiting
    // for the poll timer.
    EXPECT_TRUE(unit_->fastPoll);
    ASSERT_EQ(1u, fake_.sentCount()) << c.line;
    EXPECT_EQ(SNMP_PDU_GETNEXT, fake_.lastSent().type);
    EXPECT_EQ("1.3.6.1.4.1.6853", fake_.lastSent().oid);
    walk({});
  }
}

TEST_F(MduTrapTest, OtherStandardTrapsAreOnlyLogged) {
  struct Case {
    const char* trapOid;
    const char* trace;
    const char* list;
  } cases[] = {
      {"1.3.6.1.6.3.1.1.5.3", "Link Down", "Link Down"},
      {"1.3.6.1.6.3.1.1.5.5", "Authentication Failure",
       "Authentication Failure"},
      // The two lines of this one are worded differently.
      {"1.3.6.1.6.3.1.1.5.6", "EGP NeighborLoss", "egpNeighborLoss"},
  };
  for (const Case& c : cases) {
    clearLines();
    ASSERT_EQ(1, trap(c.trapOid, {}));
    EXPECT_TRUE(tracedThenListed(c.trace, c.list)) << c.trapOid;
    EXPECT_FALSE(unit_->fastPoll);
    EXPECT_EQ(0u, fake_.sentCount());
  }
  EXPECT_THAT(queued(), IsEmpty());
}

TEST_F(MduTrapTest, UnknownStandardTrapListsItsBindings) {
  ASSERT_EQ(1, trap("1.3.6.1.6.3.1.1.5.7", {octets("1.3.6.1.9.1", "x: y")}));
  const std::vector<std::string> expected = {
      "Other Trap 7", "SNMPTrap Entry 1, '1.3.6.1.2.1.1.3.0' = '0,0:0:12.34'",
      "SNMPTrap Entry 2, '1.3.6.1.6.3.1.1.4.1.0' = '1.3.6.1.6.3.1.1.5.7'",
      "SNMPTrap Entry 3, '1.3.6.1.9.1' = 'x: y'"};
  EXPECT_EQ(expected, unitListLines());
  EXPECT_EQ(1, count(traceLines(), expected[0]));
  // The engine traces every entry of every trap before the model does.
  for (size_t i = 1; i < expected.size(); ++i) {
    EXPECT_EQ(2, count(traceLines(), expected[i])) << expected[i];
  }
}

TEST_F(MduTrapTest, TemperatureTrapsSetTemperatureAndState) {
  ASSERT_EQ(
      1, trap("1.3.6.1.4.1.6853.0.5", {integer("1.3.6.1.4.1.6853.2.5.0", 61)}));
  EXPECT_TRUE(tracedThenListed("Temperature alarm 61", "Temperature alarm 61"));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{95, "61"}, SlotWrite{94, "2"}));
  EXPECT_EQ(61, unit_->temperature);

  ASSERT_EQ(
      1, trap("1.3.6.1.4.1.6853.0.6", {integer("1.3.6.1.4.1.6853.2.5.0", 38)}));
  EXPECT_TRUE(tracedThenListed("Temperature ok 38", "Temperature ok 38"));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{95, "38"}, SlotWrite{94, "1"}));
  EXPECT_EQ(38, unit_->temperature);
  // The polled derivation of the state is not spent by traps.
  EXPECT_TRUE(unit_->temperatureStatePending);
}

TEST_F(MduTrapTest, PowerStatusTrapWritesItsText) {
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.7",
                    {octets("1.3.6.1.4.1.6853.3.5.0", "Inlet B: off")}));
  EXPECT_TRUE(tracedThenListed("Power status 'Inlet B: off'",
                               "Power status 'Inlet B: off'"));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{97, "Inlet B; off"}));
}

TEST_F(MduTrapTest, AlarmTrapCreatesItsRowAndSetsTheSlots) {
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.4", alarm(7, 2, 3, 1, 0)));
  const std::string line = "Alarm (7) type 2, index 3, State 1, Polarity 0";
  EXPECT_TRUE(tracedThenListed(line, line));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{3, "1"}, SlotWrite{23, "0"}));
  ASSERT_EQ(1u, unit_->alarmTable.count(7));
  const AlarmTableEntry& entry = *unit_->alarmTable.at(7);
  EXPECT_EQ(7, entry.tableIndex);
  EXPECT_EQ(2, entry.type);
  EXPECT_EQ(3, entry.index);
  EXPECT_EQ(1, entry.state);
  EXPECT_EQ(0, entry.polarity);
  // The row serves later requests like a polled one.
  ASSERT_TRUE(unit_->slotChange(23, "1"));
  EXPECT_EQ("1.3.6.1.4.1.6853.2.2.1.6.7", fake_.lastSent().oid);
}

TEST_F(MduTrapTest, AlarmTrapUpdatesTheRowThatCarriesItsTableIndex) {
  // Row 11 carries table index 7; the trap finds it by the table index,
  // not by the key.
  for (const Binding& b : alarmTable({{11, 7, 2, 5, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  queued();
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.4", alarm(7, 2, 5, 1, 1)));
  EXPECT_EQ(1u, unit_->alarmTable.size());
  EXPECT_EQ(1, unit_->alarmTable.at(11)->state);
  EXPECT_EQ(1, unit_->alarmTable.at(11)->polarity);
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{5, "1"}, SlotWrite{25, "1"}));
}

TEST_F(MduTrapTest, AlarmTrapTakesTheLastRowThatCarriesItsTableIndex) {
  // Rows 3 and 9 both claim table index 7; the trap goes to row 9.
  for (const Binding& b :
       alarmTable({{3, 7, 2, 1, 0, 0}, {9, 7, 2, 2, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  queued();
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.4", alarm(7, 2, 6, 1, 1)));
  EXPECT_EQ(2u, unit_->alarmTable.size());
  EXPECT_EQ(6, unit_->alarmTable.at(9)->index);
  EXPECT_EQ(1, unit_->alarmTable.at(9)->state);
  EXPECT_EQ(1, unit_->alarmTable.at(3)->index);
  EXPECT_EQ(0, unit_->alarmTable.at(3)->state);
}

TEST_F(MduTrapTest, AlarmTrapWhoseKeyIsTakenLeavesTheTableAlone) {
  // Row 7 carries table index 9; a trap for table index 7 finds no row and
  // cannot take key 7.
  for (const Binding& b : alarmTable({{7, 9, 2, 1, 0, 0}})) {
    unit_->handleValue(b.oid.c_str(), b.value.c_str());
  }
  queued();
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.4", alarm(7, 2, 4, 1, 1)));
  ASSERT_EQ(1u, unit_->alarmTable.size());
  const AlarmTableEntry& row7 = *unit_->alarmTable.at(7);
  EXPECT_EQ(9, row7.tableIndex);
  EXPECT_EQ(1, row7.index);
  EXPECT_EQ(0, row7.state);
  // The slots still show what the unit reported.
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{4, "1"}, SlotWrite{24, "1"}));
}

TEST_F(MduTrapTest, AlarmTrapSlotsByTypeAndIndex) {
  struct Case {
    int type;
    int index;
    std::vector<SlotWrite> writes;
  } cases[] = {
      {3, 12, {{72, "1"}}}, {3, 13, {}},
      {3, 0, {}},           {2, 16, {{16, "1"}, {36, "0"}}},
      {2, 17, {}},          {1, 3, {}},
  };
  int t = 100;
  for (const Case& c : cases) {
    ASSERT_EQ(1,
              trap("1.3.6.1.4.1.6853.0.4", alarm(++t, c.type, c.index, 1, 0)));
    EXPECT_EQ(c.writes, queued()) << "type " << c.type << " index " << c.index;
    // The row records the trap either way.
    EXPECT_EQ(c.index, unit_->alarmTable.at(t)->index);
  }
}

TEST_F(MduTrapTest, MissingBindingsReadAsEmpty) {
  // An alarm trap that stops after the index: state and polarity are 0.
  std::vector<Binding> bindings = alarm(8, 2, 6, 1, 1);
  bindings.resize(3);
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.4", bindings));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{6, "0"}, SlotWrite{26, "0"}));
  // A temperature trap without its temperature.
  ASSERT_EQ(1, trap("1.3.6.1.4.1.6853.0.5", {}));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{95, ""}, SlotWrite{94, "2"}));
  EXPECT_EQ(1, count(unitListLines(), "Temperature alarm 0"));
}

TEST_F(MduTrapTest, UnknownMduTrapIsLoggedAndChangesNothing) {
  ASSERT_EQ(
      1, trap("1.3.6.1.4.1.6853.0.9", {integer("1.3.6.1.4.1.6853.2.5.0", 99)}));
  EXPECT_TRUE(tracedThenListed("Unknown MDU trap - 9", "Unknown MDU trap - 9"));
  EXPECT_THAT(queued(), IsEmpty());
  EXPECT_EQ(0, unit_->temperature);
}

TEST_F(MduTrapTest, TrapsOfOtherFamiliesAreNotHandled) {
  EXPECT_FALSE(unit_->handleTrap("1.3.6.1.4.1.9.0.1", nullptr));
  EXPECT_FALSE(unit_->handleTrap("1.3.6.1.6.3.1.1.5", nullptr));
  EXPECT_FALSE(unit_->handleTrap("", nullptr));
  // Through the engine, such a trap is reported as unknown.
  ASSERT_EQ(1, trap("1.3.6.1.4.1.9.0.1", {}));
  EXPECT_EQ(1,
            count(traceLines(), "***  Unknown Trap '1.3.6.1.4.1.9.0.1' ***"));
  EXPECT_THAT(queued(), IsEmpty());
}

}  // namespace
