// The unit model's start, its slot layout and the polled values into slots.

#include <algorithm>
#include <chrono>
#include <future>
#include <set>

#include "mdu/mdu_objects.h"
#include "mdu/testing/mdu_test_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// ---------------------------------------------------------------------------
// Conversions

TEST(MduObjectsTest, ReadIntegerAsTheUnitsValuesAreRead) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"42", 42},
      {"  -7", -7},
      {"+5", 5},
      {" 40x", 40},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"12.5", 12},
      {"\t3", 3},
      {"2147483647", 2147483647},
      {"99999999999", 2147483647},  // beyond the range: its end, no wrap
      {"-2147483648", -2147483647 - 1},
      {"-99999999999", -2147483647 - 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, mdu::readInteger(c.text)) << "'" << c.text << "'";
  }
  EXPECT_EQ(0, mdu::readInteger(nullptr));
}

TEST(MduObjectsTest, ObjectsAreFoundByPlainTextPrefixes) {
  struct Case {
    const char* oid;
    const char* description;  // null: no object
  } cases[] = {
      // 2.10 is taken for the alarm ident: the prefix has no final dot.
      {"1.3.6.1.4.1.6853.2.10.0", "Alarm Ident"},
      {"1.3.6.1.4.1.6853.2.2.2.0", nullptr},
      {"1.3.6.1.4.1.6853.3.1.7.0", "Equipment description and version"},
      {"1.3.6.1.4.1.6853.3.1", nullptr},
      {"1.3.6.1.4.1.6853.3.4.1.2.3", "Mdu Table"},
      {"1.3.6.1.4.1.6853.9.0", nullptr},
  };
  for (const Case& c : cases) {
    const mdu::MduObject* object = mdu::findMduObject(c.oid);
    if (c.description == nullptr) {
      EXPECT_EQ(nullptr, object) << c.oid;
    } else {
      ASSERT_NE(nullptr, object) << c.oid;
      EXPECT_STREQ(c.description, object->description) << c.oid;
    }
  }
}

// ---------------------------------------------------------------------------
// Start

TEST_F(MduTest, InitMduWritesNoCommsAndPollsAtOnce) {
  Cqor_mdl& unit = makeUnit(2);
  ASSERT_EQ(0, unit.initMdu());
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{199, "1"}));
  ASSERT_EQ(1u, fake_.sentCount());
  const FakeSnmpApi::SentPdu request = fake_.lastSent();
  EXPECT_EQ(SNMP_PDU_GETNEXT, request.type);
  EXPECT_EQ("1.3.6.1.4.1.6853", request.oid);
  EXPECT_EQ(kAddress, request.address);
  EXPECT_EQ(161u, request.port);
  EXPECT_EQ("public", request.community);
  EXPECT_EQ(1, count(traceLines(), "SNMPAddress = 127.0.1.121"));
}

TEST_F(MduTest, InitMduClearsACauseAnEarlierDriverLeft) {
  Cqor_mdl& unit = makeUnit();
  TheInfodriverLink().updateSlot(93, "authentication failed; wrong digest");
  ASSERT_EQ(0, unit.initMdu());
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{99, "1"}, SlotWrite{93, ""}));
}

TEST_F(MduTest, InitMduWithoutAddressDoesNothing) {
  Cqor_mdl& unit = makeUnit(1, "");
  EXPECT_EQ(1, unit.initMdu());
  EXPECT_THAT(queued(), IsEmpty());
  EXPECT_THAT(fake_.sessions(), IsEmpty());
  EXPECT_EQ(0u, fake_.sentCount());
}

TEST_F(MduTest, InitMduReportsASessionFailureAndDoesNotPoll) {
  fake_.FailCall(FakeSnmpApi::Call::kCreateSession, SNMPAPI_ALLOC_ERROR);
  Cqor_mdl& unit = makeUnit(1);
  EXPECT_EQ(1, unit.initMdu());
  EXPECT_EQ(0u, fake_.sentCount());
  // The comms slot says "no communication" until a value arrives.
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{99, "1"}));
}

// ---------------------------------------------------------------------------
// Scalars into slots

TEST_F(MduTest, ScalarsLandInTheirSlotsConverted) {
  struct Case {
    const char* oid;
    const char* value;
    std::vector<SlotWrite> writes;  // relative slots
  } cases[] = {
      {"1.3.6.1.4.1.6853.2.4.0",
       "Rack 3: Studio A's",
       {{98, "Rack 3; Studio A\"s"}}},
      {"1.3.6.1.4.1.6853.2.5.0", "41", {{95, "41"}}},
      // With both temperatures known, the state follows once.
      {"1.3.6.1.4.1.6853.2.6.0", "55", {{96, "55"}, {94, "1"}}},
      {"1.3.6.1.4.1.6853.3.2.0", "2", {{78, "2"}}},
      {"1.3.6.1.4.1.6853.3.3.0", "12", {{79, "120"}}},
      {"1.3.6.1.4.1.6853.3.3.0", "-3", {{79, "-30"}}},
      {"1.3.6.1.4.1.6853.3.3.0", "abc", {{79, "0"}}},
      {"1.3.6.1.4.1.6853.3.5.0", "Inlet: A's", {{97, "Inlet; A\"s"}}},
  };
  // Unit 3: every write goes to 200 + the relative slot.
  Cqor_mdl& unit = makeUnit(3);
  unit.checkComms(true);
  queued();
  for (const Case& c : cases) {
    unit.handleValue(c.oid, c.value);
    std::vector<SlotWrite> expected;
    for (const SlotWrite& w : c.writes) {
      expected.emplace_back(200 + w.first, w.second);
    }
    EXPECT_EQ(expected, queued()) << c.oid << " = " << c.value;
  }
}

TEST_F(MduTest, UnitTwoWritesSlots101And199) {
  Cqor_mdl& unit = startUnit(2);
  walk(alarmTable({{5, 5, 2, 1, 1, 0}}));
  drain();
  EXPECT_EQ("1", infodriver_.slot(101));
  EXPECT_EQ("0", infodriver_.slot(121));
  EXPECT_EQ("0", infodriver_.slot(199));
  // Unit 1's block and the gap between blocks stay untouched.
  EXPECT_EQ("", infodriver_.slot(1));
  EXPECT_EQ("", infodriver_.slot(100));
  EXPECT_EQ("", infodriver_.slot(200));
  EXPECT_FALSE(unit.firstScan);
}

TEST_F(MduTest, ValuesOutsideTheSubtreeAreIgnored) {
  Cqor_mdl& unit = makeUnit();
  unit.handleValue("1.3.6.1.2.1.1.1.0", "Linux");
  unit.handleValue("1.3.6.1.4.1.685", "short");
  EXPECT_EQ(0u, unit.replyCount);
  EXPECT_FALSE(unit.commsOk);
  EXPECT_THAT(queued(), IsEmpty());
}

TEST_F(MduTest, UnknownObjectInTheSubtreeIsOnlyCounted) {
  Cqor_mdl& unit = makeUnit();
  clearLines();
  unit.handleValue("1.3.6.1.4.1.6853.9.1.0", "7");
  EXPECT_EQ(1u, unit.replyCount);
  EXPECT_TRUE(unit.commsOk);
  // The only write is the comms state that the first value brings.
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{99, "0"}));
  EXPECT_THAT(unitListLines(), ElementsAre("127.0.1.121 - Comms OK"));
}

TEST_F(MduTest, TextsAreKeptAndListedWhenTheyChange) {
  Cqor_mdl& unit = makeUnit();
  unit.handleValue("1.3.6.1.4.1.6853.3.1.1.0", "MDU-12");
  unit.handleValue("1.3.6.1.4.1.6853.3.1.2.0", "Firmware 2.4");
  EXPECT_STREQ("Firmware 2.4", unit.equipmentDescription);
  unit.handleValue("1.3.6.1.4.1.6853.2.1.0", "ident A");
  EXPECT_STREQ("ident A", unit.alarmIdent);
  unit.handleValue("1.3.6.1.4.1.6853.2.4.0", "Rack 9");
  EXPECT_STREQ("Rack 9", unit.alarmLocation);

  unit.firstScan = false;
  clearLines();
  queued();
  unit.handleValue("1.3.6.1.4.1.6853.2.1.0", "ident A");
  unit.handleValue("1.3.6.1.4.1.6853.3.1.2.0", "Firmware 2.4");
  EXPECT_THAT(unitListLines(), IsEmpty());
  unit.handleValue("1.3.6.1.4.1.6853.2.1.0", "ident B");
  unit.handleValue("1.3.6.1.4.1.6853.3.1.2.0", "Firmware 2.5");
  EXPECT_THAT(unitListLines(),
              ElementsAre("Alarm Ident. 1.3.6.1.4.1.6853.2.1.0 = ident B",
                          "Equipment description and version. "
                          "1.3.6.1.4.1.6853.3.1.2.0 = Firmware 2.5"));
  // Neither writes a slot.
  EXPECT_THAT(queued(), IsEmpty());
}

TEST_F(MduTest, SequentialDelayLogsTheUnitsValue) {
  Cqor_mdl& unit = makeUnit();
  unit.handleValue("1.3.6.1.4.1.6853.3.3.0", "12");
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{99, "0"}, SlotWrite{79, "120"}));
  // First scan, slot empty before: listed, then listed again as a change.
  EXPECT_EQ(2, count(unitListLines(),
                     "Sequential mode delay between outputs. "
                     "1.3.6.1.4.1.6853.3.3.0 = 12"));
}

// ---------------------------------------------------------------------------
// storeSlot

TEST_F(MduTest, StoreSlotResultsAndQueuesEveryTime) {
  Cqor_mdl& unit = makeUnit(2);
  // The slots hold what the link wrote, as they do when the link is the
  // infodriver's only writer.
  TheInfodriverLink().writeSlot(150, "same");
  EXPECT_EQ(1, unit.storeSlot(50, "same"));
  EXPECT_EQ(2, unit.storeSlot(50, "other"));
  EXPECT_EQ(0, unit.storeSlot(50, nullptr));
  // An empty text is a text.
  EXPECT_EQ(2, unit.storeSlot(50, ""));
  EXPECT_THAT(queued(),
              ElementsAre(SlotWrite{150, "same"}, SlotWrite{150, "other"},
                          SlotWrite{150, ""}));
  // The comparison uses the converted text.
  TheInfodriverLink().writeSlot(151, "a;b\"c");
  EXPECT_EQ(1, unit.storeSlot(51, "a:b'c"));
  TheInfodriverLink().writeSlot(152, "-12");
  EXPECT_EQ(1, unit.storeSlotNumber(52, -12));
  EXPECT_EQ(2, unit.storeSlotNumber(52, 12));
  EXPECT_THAT(queued(),
              ElementsAre(SlotWrite{151, "a;b\"c"}, SlotWrite{152, "-12"},
                          SlotWrite{152, "12"}));
  // A text longer than a slot is compared and queued as the slot keeps it.
  const std::string text(300, 'x');
  TheInfodriverLink().writeSlot(153, text.c_str());
  EXPECT_EQ(1, unit.storeSlot(53, text.c_str()));
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{153, std::string(255, 'x')}));
  // The slots are read through the unit's own link; without one every slot
  // reads as empty.
  unit.infodriverLink = nullptr;
  EXPECT_EQ(2, unit.storeSlot(50, "same"));
  EXPECT_EQ(1, unit.storeSlot(50, ""));
}

TEST_F(MduTest, StoreSlotWithoutBufferWritesNothingAndSaysSo) {
  Cqor_mdl& unit = makeUnit();
  unit.infBuffer = nullptr;
  EXPECT_EQ(0, unit.storeSlot(98, "x"));
  unit.handleValue("1.3.6.1.4.1.6853.2.4.0", "Rack 1");
  EXPECT_EQ(1, count(unitListLines(),
                     "Failed to set Alarm Location. "
                     "1.3.6.1.4.1.6853.2.4.0 = Rack 1"));
  // The model's copy is still updated.
  EXPECT_STREQ("Rack 1", unit.alarmLocation);
  EXPECT_THAT(queued(), IsEmpty());
}

// ---------------------------------------------------------------------------
// Alarm table

TEST_F(MduTest, FirstScanListsEveryCellAndLaterScansOnlyChanges) {
  startUnit();
  const auto row5 = [](int state) {
    return alarmTable({{5, 5, 2, 3, state, 0}});
  };
  clearLines();
  walk(row5(1));
  std::vector<std::string> lines = unitListLines();
  EXPECT_EQ(1, count(lines, "Alarm Table. State. (5) 1"));
  EXPECT_EQ(2, count(lines, "Alarm Table. State. GPI. (5) 1"));
  EXPECT_EQ(1, count(lines, "Alarm Table. Table index. (5) 5"));
  EXPECT_EQ(1, count(lines, "Alarm Table. Type. (5) 2"));
  EXPECT_EQ(1, count(lines, "Alarm Table. Index. (5) 3"));
  // Table index and type go to the trace as well; the others do not.
  EXPECT_EQ(1, count(traceLines(), "Alarm Table. Table index. (5) 5"));
  EXPECT_EQ(1, count(traceLines(), "Alarm Table. Type. (5) 2"));
  EXPECT_EQ(0, count(traceLines(), "Alarm Table. Index. (5) 3"));
  std::vector<SlotWrite> writes = queued();
  EXPECT_EQ(1, std::count(writes.begin(), writes.end(), SlotWrite{3, "1"}));
  apply(writes);
  EXPECT_EQ("1", slot(3));

  // The same value again: nothing listed, but queued again.
  clearLines();
  walkAgain(row5(1));
  lines = unitListLines();
  EXPECT_EQ(0, count(lines, "Alarm Table. State. (5) 1"));
  EXPECT_EQ(0, count(lines, "Alarm Table. State. GPI. (5) 1"));
  writes = queued();
  EXPECT_EQ(1, std::count(writes.begin(), writes.end(), SlotWrite{3, "1"}));
  apply(writes);

  // A change: listed once for the cell and once for the slot.
  clearLines();
  walkAgain(row5(0));
  lines = unitListLines();
  EXPECT_EQ(1, count(lines, "Alarm Table. State. (5) 0"));
  EXPECT_EQ(1, count(lines, "Alarm Table. State. GPI. (5) 0"));
  drain();
  EXPECT_EQ("0", slot(3));
}

TEST_F(MduTest, LaterScansAreSilentForEveryUnchangedCell) {
  startUnit();
  const std::vector<std::vector<int>> alarms = {{5, 5, 2, 3, 1, 1},
                                                {6, 9, 3, 4, 0, 0}};
  const std::vector<std::vector<int>> outputs = {{1, 2, 1, 5}};
  std::vector<Binding> objects = alarmTable(alarms);
  for (const Binding& b : outputTable(outputs)) objects.push_back(b);
  walk(objects);
  drain();  // the slots show what the unit reported
  std::vector<std::string> first;
  for (const std::string& line : unitListLines()) {
    if (line.rfind("Alarm Table.", 0) == 0 || line.rfind("Mdu Table.", 0) == 0)
      first.push_back(line);
  }
  // Every column was listed in the first scan.
  for (const char* column :
       {"Alarm Table. Table index. (5) 5", "Alarm Table. Type. (5) 2",
        "Alarm Table. Index. (5) 3", "Alarm Table. State. (5) 1",
        "Alarm Table. Polarity. (5) 1", "Mdu Table. Output index. (1) 2",
        "Mdu Table. Output state. (1) 1",
        "Mdu Table. Output on delay from power on. (1) 5"}) {
    EXPECT_LE(1, count(first, column)) << column;
  }

  clearLines();
  walkAgain(objects);
  for (const std::string& line : unitListLines()) {
    EXPECT_NE(0u, line.rfind("Alarm Table.", 0)) << line;
    EXPECT_NE(0u, line.rfind("Mdu Table.", 0)) << line;
  }
}

TEST_F(MduTest, AlarmRowsMapToSlotsByTypeAndIndex) {
  struct Case {
    std::vector<int> row;  // row, tableIndex, type, index, state, polarity
    std::vector<SlotWrite> writes;
  } cases[] = {
      // GPI 3: state to slot 3, polarity to 23.
      {{5, 5, 2, 3, 1, 0}, {{3, "1"}, {23, "0"}}},
      {{9, 9, 2, 16, 7, 1}, {{16, "7"}, {36, "1"}}},
      // Fuse 4: state to 64, the polarity goes nowhere.
      {{2, 2, 3, 4, 1, 1}, {{64, "1"}}},
      {{2, 2, 3, 12, 0, 1}, {{72, "0"}}},
      // Out of range numbers and other types write nothing.
      {{2, 2, 3, 13, 1, 1}, {}},
      {{2, 2, 2, 17, 1, 1}, {}},
      {{2, 2, 2, 0, 1, 1}, {}},
      {{2, 2, 1, 3, 1, 1}, {}},
  };
  for (const Case& c : cases) {
    Cqor_mdl& unit = makeUnit();
    unit.checkComms(true);  // the comms slot is not the point here
    queued();
    for (const Binding& b : alarmTable({c.row})) {
      unit.handleValue(b.oid.c_str(), b.value.c_str());
    }
    EXPECT_EQ(c.writes, queued())
        << "row type " << c.row[2] << " index " << c.row[3];
    // The row is stored with every column, whatever its slots.
    ASSERT_EQ(1u, unit.alarmTable.count(c.row[0]));
    const AlarmTableEntry& entry = *unit.alarmTable[c.row[0]];
    EXPECT_EQ(c.row[1], entry.tableIndex);
    EXPECT_EQ(c.row[2], entry.type);
    EXPECT_EQ(c.row[3], entry.index);
    EXPECT_EQ(c.row[4], entry.state);
    EXPECT_EQ(c.row[5], entry.polarity);
  }
}

TEST_F(MduTest, StateBeforeTypeAndIndexWritesNoSlot) {
  Cqor_mdl& unit = makeUnit();
  unit.checkComms(true);
  queued();
  unit.handleValue("1.3.6.1.4.1.6853.2.2.1.5.5", "1");
  unit.handleValue("1.3.6.1.4.1.6853.2.2.1.4.5", "ignored");
  EXPECT_THAT(queued(), IsEmpty());
  EXPECT_EQ(1, unit.alarmTable.at(5)->state);
  // A cell without a row part is dropped.
  unit.handleValue("1.3.6.1.4.1.6853.2.2.1.5", "1");
  EXPECT_EQ(1u, unit.alarmTable.size());
}

// ---------------------------------------------------------------------------
// Output table

TEST_F(MduTest, OutputRowsFillStateAndDelayTimesTen) {
  Cqor_mdl& unit = makeUnit();
  unit.checkComms(true);
  queued();
  for (const Binding& b : outputTable({{4, 2, 1, 5}})) {
    unit.handleValue(b.oid.c_str(), b.value.c_str());
  }
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{42, "1"}, SlotWrite{82, "50"}));
  EXPECT_EQ(50, unit.mduTable.at(4)->onDelay);
  EXPECT_EQ(2, unit.mduTable.at(4)->outputIndex);
  EXPECT_EQ(1, unit.mduTable.at(4)->outputState);
  // The value as received, not the slot's 50: once for the cell, and for
  // the slot once as first-scan listing and once as a change.
  EXPECT_EQ(3, count(unitListLines(),
                     "Mdu Table. Output on delay from power on. (4) 5"));

  unit.handleValue("1.3.6.1.4.1.6853.3.4.1.3.4", "soon");
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{82, "0"}));
  EXPECT_EQ(0, unit.mduTable.at(4)->onDelay);
  // Output numbers outside 1-12 are kept in their rows but write no slot.
  for (const Binding& b : outputTable({{5, 13, 1, 5}, {6, 0, 1, 5}})) {
    unit.handleValue(b.oid.c_str(), b.value.c_str());
  }
  EXPECT_THAT(queued(), IsEmpty());
  EXPECT_EQ(3u, unit.mduTable.size());
}

// ---------------------------------------------------------------------------
// Temperature state

TEST_F(MduTest, TemperatureStateIsDerivedOnceFromPolledValues) {
  Cqor_mdl& unit = makeUnit();
  unit.checkComms(true);
  queued();
  unit.handleValue("1.3.6.1.4.1.6853.2.5.0", "45");
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{95, "45"}));
  EXPECT_TRUE(unit.temperatureStatePending);
  unit.handleValue("1.3.6.1.4.1.6853.2.6.0", "50");
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{96, "50"}, SlotWrite{94, "1"}));
  EXPECT_FALSE(unit.temperatureStatePending);
  // Later polls move 95 and 96 but never 94 again.
  unit.handleValue("1.3.6.1.4.1.6853.2.5.0", "55");
  unit.handleValue("1.3.6.1.4.1.6853.2.6.0", "50");
  EXPECT_THAT(queued(), ElementsAre(SlotWrite{95, "55"}, SlotWrite{96, "50"}));
  EXPECT_EQ(55, unit.temperature);
}

// The state is derived from whichever of the two values comes second, at
// the first moment both are known, and "2" from the alarm point upward.
TEST_F(MduTest, TemperatureStateComparesWithTheAlarmPoint) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> values;  // in order
    std::string state;  // slot 94 once both are known
  } cases[] = {
      {"below", {{"2.5.0", "49"}, {"2.6.0", "50"}}, "1"},
      {"equal", {{"2.5.0", "50"}, {"2.6.0", "50"}}, "2"},
      {"above", {{"2.5.0", "51"}, {"2.6.0", "50"}}, "2"},
      {"alarm point first, above", {{"2.6.0", "40"}, {"2.5.0", "61"}}, "2"},
      {"alarm point first, below", {{"2.6.0", "40"}, {"2.5.0", "39"}}, "1"},
      {"negative below", {{"2.5.0", "-5"}, {"2.6.0", "3"}}, "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Cqor_mdl& unit = makeUnit();
    unit.checkComms(true);
    queued();
    const std::string prefix = "1.3.6.1.4.1.6853.";
    unit.handleValue((prefix + c.values[0].first).c_str(),
                     c.values[0].second.c_str());
    // One value alone derives nothing.
    for (const SlotWrite& w : queued()) EXPECT_NE(94, w.first);
    EXPECT_TRUE(unit.temperatureStatePending);
    unit.handleValue((prefix + c.values[1].first).c_str(),
                     c.values[1].second.c_str());
    std::vector<SlotWrite> writes = queued();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ((SlotWrite{94, c.state}), writes[1]);
    EXPECT_FALSE(unit.temperatureStatePending);
  }
}

// ---------------------------------------------------------------------------
// End of the fast scan

TEST_F(MduTest, FastScanEndBlanksWhatTheUnitDidNotReport) {
  startUnit();
  std::vector<std::vector<int>> gpis;
  for (int i = 1; i <= 8; ++i) gpis.push_back({10 + i, 10 + i, 2, i, 1, 1});
  // A fuse numbered like a missing GPI must not keep that GPI's slots.
  gpis.push_back({40, 40, 3, 9, 1, 1});
  std::vector<std::vector<int>> outputs;
  for (int j = 1; j <= 6; ++j) outputs.push_back({j, j, 1, 1});
  std::vector<Binding> objects = alarmTable(gpis);
  for (const Binding& b : outputTable(outputs)) objects.push_back(b);
  walk(objects);

  std::set<int> blanked;
  std::set<int> written;
  for (const SlotWrite& w : queued()) {
    (w.second.empty() ? blanked : written).insert(w.first);
  }
  std::set<int> expected;
  for (int s = 9; s <= 16; ++s) expected.insert(s);
  for (int s = 29; s <= 36; ++s) expected.insert(s);
  for (int s = 47; s <= 52; ++s) expected.insert(s);
  for (int s = 87; s <= 92; ++s) expected.insert(s);
  for (int s = 61; s <= 72; ++s) expected.insert(s);
  expected.erase(69);  // fuse 9 was reported
  EXPECT_EQ(expected, blanked);
  for (int s : {1, 8, 21, 28, 41, 46, 81, 86, 69}) {
    EXPECT_EQ(1u, written.count(s)) << s;
  }
}

// ---------------------------------------------------------------------------
// Communication state

TEST_F(MduTest, CommsSlotGoesFromOneToZeroWithTheFirstValue) {
  startUnit();
  drain();
  EXPECT_EQ("1", slot(99));
  walk({integer("1.3.6.1.4.1.6853.2.5.0", 30)});
  drain();
  EXPECT_EQ("0", slot(99));
  EXPECT_EQ("30", slot(95));
}

// A cause holds a colon, which slots never do; the unit view turns it back.
TEST_F(MduTest, CauseSlotHoldsTheNamedCauseUntilItIsCleared) {
  Cqor_mdl& unit = startUnit();
  drain();
  EXPECT_EQ("", slot(93));
  unit.causeChanged("authentication failed: wrong digest");
  drain();
  EXPECT_EQ("authentication failed; wrong digest", slot(93));
  unit.causeChanged("");
  drain();
  EXPECT_EQ("", slot(93));
}

// ---------------------------------------------------------------------------
// Set replies

TEST_F(MduTest, SetReplyUpdatesTheSlotAtOnce) {
  Cqor_mdl& unit = startUnit();
  walk({octets("1.3.6.1.4.1.6853.2.4.0", "Old")});
  drain();
  ASSERT_TRUE(unit.slotChange(98, "New: place"));
  const FakeSnmpApi::SentPdu set = fake_.lastSent();
  ASSERT_EQ(SNMP_PDU_SET, set.type);
  ASSERT_TRUE(fake_.ReplyTo(set, {octets(set.oid, set.value)}));
  drain();
  EXPECT_EQ("New; place", slot(98));
  EXPECT_STREQ("New: place", unit.alarmLocation);
}

// ---------------------------------------------------------------------------
// Row tables from two threads

TEST_F(MduTest, TableLockKeepsRowLookupsOffTheDeliveryPath) {
  Cqor_mdl& unit = makeUnit();
  unit.checkComms(true);
  ASSERT_TRUE(unit.tableLock->wait());
  auto cell = std::async(std::launch::async, [&unit] {
    unit.handleValue("1.3.6.1.4.1.6853.2.2.1.1.3", "3");
  });
  // The cell waits for the lock (no time limit) ...
  EXPECT_EQ(std::future_status::timeout,
            cell.wait_for(std::chrono::milliseconds(100)));
  EXPECT_TRUE(unit.alarmTable.empty());
  // ... and goes on once it is free.
  ASSERT_TRUE(unit.tableLock->release());
  cell.get();
  EXPECT_EQ(1u, unit.alarmTable.size());
  // Every operation gives the lock back.
  EXPECT_TRUE(unit.tableLock->wait());
  EXPECT_TRUE(unit.tableLock->release());
}

}  // namespace
