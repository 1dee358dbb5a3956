#include "app/app.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/driver_main.h"
#include "config/profile_file.h"
#include "gtest/gtest.h"
#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/infodriver_routing.h"
#include "infodriver/testing/in_memory_infodriver.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "mdu/cqor_mdl.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/message_box.h"
#include "platform/resources.h"
#include "snmp/testing/fake_snmp_api.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct ParseCase {
  std::vector<std::string> args;
  int expected;
};

TEST(ParseDeviceNumber, CommandLinesAsTheDriverReadsThem) {
  const ParseCase cases[] = {
      {{"5"}, 5},
      {{" 12abc"}, 12},
      {{"abc"}, 0},
      {{"0"}, 0},
      {{"-3"}, -3},
      {{}, 0},
      {{""}, 0},
      {{"+7"}, 7},
      {{"12", "34"}, 12},
      {{"\t 9"}, 9},
      // Only the first 254 characters of the command line count.
      {{std::string(253, ' ') + "8"}, 8},
      {{std::string(254, ' ') + "8"}, 0},
      // Beyond the int range is no device number, never a wrapped one.
      {{"99999999999"}, -1},
      {{"2147483647"}, 2147483647},
  };
  for (const ParseCase& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("qor_mdu")};
    for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    EXPECT_EQ(ParseDeviceNumber(static_cast<int>(argv.size()), argv.data()),
              c.expected)
        << "argument '" << (c.args.empty() ? "" : c.args[0]) << "'";
  }
}

class AppTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) /
            ("app_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys" / "config" / "system");
    setenv("QX_ROOT", root_.c_str(), 1);
    setenv("QX_SYSTEM", "sys", 1);
    // The driver's log lines go to this test's folder, never to the
    // machine's.
    LogFile::resetDirectoryCreatedForTest();
    TheLogFile().initWithDirectory(5, "Qor_Mdu", true, true, Logs());
    ResetAppForTest();
    TheApp().deviceNumber = 5;
    TheApp().loop = &loop_;
    debugMode = 1;
    logMode = 0;
    SetDebugOutputSink([](const char*) {});
    SetMessageBoxSink([this](const char* caption, const char* text) {
      boxes_.push_back(std::string(caption) + ": " + text);
    });
    TheDebugList().clear();
    TheInfodriverLink().setTransport(infodriver_.makeTransport());
    TheInfodriverLink().setEventLoop(&loop_);
  }
  void TearDown() override {
    if (!TheApp().window.destroyed) DestroyUnits(&TheApp().window);
    TheInfodriverLink().disconnect();
    TheInfodriverLink().setEventLoop(nullptr);
    while (eiData* d = TheInfBuffer().getData()) delete d;
    SetMessageBoxSink(nullptr);
    ResetAppForTest();
    SetDebugOutputSink(nullptr);
    unsetenv("QX_ROOT");
    unsetenv("QX_SYSTEM");
    debugMode = 1;
    logMode = 0;
    fs::remove_all(root_);
  }
  std::string Logs() const { return (root_ / "logs").string(); }
  // Every line of the log files so far.
  std::string LogText() const {
    std::string text;
    if (fs::exists(Logs()))
      for (const auto& e : fs::directory_iterator(Logs()))
        text += ReadText(e.path().string());
    return text;
  }
  std::string Ini() const {
    return (root_ / "sys" / "config" / "system" / "dev_005.ini").string();
  }
  std::string Setting(const char* section, const char* key) {
    return GetProfileString(Ini(), section, key, "<missing>");
  }
  void WriteIni(const std::string& content) { std::ofstream(Ini()) << content; }
  // Each listed status panel field shows its text.
  void ExpectFields(
      std::initializer_list<std::pair<int, const char*>> expected) const {
    const StatusPanel& p = TheApp().window.panel;
    for (const auto& [id, text] : expected)
      EXPECT_EQ(p.field(id), text) << "field " << id;
  }

  fs::path root_;
  ManualClock clock_;
  EventLoop loop_{&clock_};
  InMemoryInfodriver infodriver_{5};
  FakeSnmpApi snmp_;
  ScopedSnmpApi useFake_{&snmp_};
  std::vector<std::string> boxes_;
};

TEST_F(AppTest, FirstStartWritesEveryKeyWithItsDefault) {
  ASSERT_TRUE(CreateMainWindow());
  EXPECT_EQ(Setting("qor_mdu", "DebugMode"), "1");
  EXPECT_EQ(Setting("qor_mdu", "LogMode"), "0");
  EXPECT_EQ(Setting("qor_mdu", "PollDelay"), "1000");
  for (int n = 1; n <= 40; ++n) {
    std::string section = "QOR_MDU_" + std::to_string(n);
    EXPECT_EQ(Setting(section.c_str(), "SNMPAddress"), "") << section;
    EXPECT_EQ(Setting(section.c_str(), "SNMPCommunity"), "ziriru") << section;
  }
  MainWindow& w = TheApp().window;
  EXPECT_EQ(w.title, "ZARN qor_mdu Application with Debug window - Device 5");
  EXPECT_EQ(w.className, "CLASS_QOR_MDU");
  ASSERT_EQ(w.panel.unitList.size(), 40u);
  EXPECT_EQ(w.panel.unitList[0], "QOR_MDU_1");
  EXPECT_EQ(w.panel.unitList[39], "QOR_MDU_40");
  EXPECT_EQ(w.panel.selection, 0);
}

// The first start with a settings file that lacks keys rewrites it once,
// with every key and its effective value.
TEST_F(AppTest, FirstStartRewritesTheSettingsFileOnce) {
  WriteIni("[qor_mdu]\nPollDelay=250\n[QOR_MDU_2]\nSNMPAddress=10.0.0.2\n");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(
      inotify_add_watch(watch, (root_ / "sys" / "config" / "system").c_str(),
                        IN_MOVED_TO | IN_CLOSE_WRITE),
      0);
  ASSERT_TRUE(CreateMainWindow());
  int rewrites = 0;
  alignas(struct inotify_event) char events[65536];
  ssize_t n;
  while ((n = read(watch, events, sizeof events)) > 0) {
    for (char* p = events; p < events + n;) {
      auto* e = reinterpret_cast<struct inotify_event*>(p);
      if ((e->mask & IN_MOVED_TO) && e->len > 0 &&
          std::string(e->name) == "dev_005.ini")
        ++rewrites;
      p += sizeof(struct inotify_event) + e->len;
    }
  }
  close(watch);
  EXPECT_EQ(rewrites, 1);
  EXPECT_EQ(Setting("qor_mdu", "PollDelay"), "250");
  EXPECT_EQ(Setting("qor_mdu", "DebugMode"), "1");
  EXPECT_EQ(Setting("qor_mdu", "LogMode"), "0");
  EXPECT_EQ(Setting("QOR_MDU_2", "SNMPAddress"), "10.0.0.2");
  EXPECT_EQ(Setting("QOR_MDU_2", "SNMPCommunity"), "ziriru");
  EXPECT_EQ(Setting("QOR_MDU_40", "SNMPAddress"), "");

  // A second start finds every key and writes nothing.
  DestroyUnits(&TheApp().window);
  ResetAppForTest();
  TheApp().deviceNumber = 5;
  TheApp().loop = &loop_;
  const auto before = fs::last_write_time(Ini());
  ASSERT_TRUE(CreateMainWindow());
  EXPECT_EQ(fs::last_write_time(Ini()), before);
}

TEST_F(AppTest, TimersRunWithTheirPeriods) {
  WriteIni("[qor_mdu]\nPollDelay=250\n");
  ASSERT_TRUE(CreateMainWindow());
  EXPECT_EQ(loop_.TimerPeriod(kPollTimer), 250);
  EXPECT_EQ(loop_.TimerPeriod(kStatusTimer), 800);
  EXPECT_EQ(loop_.TimerPeriod(kDrainTimer), 10);
  DestroyMainWindow();
  EXPECT_FALSE(loop_.HasTimer(kPollTimer));
  EXPECT_FALSE(loop_.HasTimer(kStatusTimer));
  EXPECT_FALSE(loop_.HasTimer(kDrainTimer));
  EXPECT_TRUE(loop_.quitRequested());
  EXPECT_EQ(loop_.exitCode(), 0);
}

TEST_F(AppTest, PollDelayZeroGivesTheShortestPeriod) {
  WriteIni("[qor_mdu]\nPollDelay=0\n");
  ASSERT_TRUE(CreateMainWindow());
  EXPECT_EQ(loop_.TimerPeriod(kPollTimer), EventLoop::kMinPeriodMs);
}

// A PollDelay that is no period polls at the shortest period, and the log
// says once what is used; a usable one logs nothing.
TEST_F(AppTest, PollDelayThatIsNoPeriodIsLoggedWithWhatIsUsed) {
  struct Case {
    const char* value;
    int period;
    bool logged;
  };
  const Case cases[] = {{"-5", 10, true},    {"0", 10, true},
                        {"abc", 10, true},   {"", 10, true},
                        {"250", 250, false}, {"10", 10, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("PollDelay=") + c.value);
    fs::remove_all(Logs());
    LogFile::resetDirectoryCreatedForTest();
    WriteIni(std::string("[qor_mdu]\nPollDelay=") + c.value + "\n");
    LoadSettings();
    EXPECT_EQ(std::max(TheApp().pollDelay, EventLoop::kMinPeriodMs), c.period);
    const std::string text = LogText();
    const std::string line = std::string("PollDelay \"") + c.value +
                             "\" is not a period of at least 10 ms - polling "
                             "every 10 ms\n";
    if (c.logged) {
      EXPECT_NE(text.find(line), std::string::npos) << text;
      EXPECT_EQ(text.find("PollDelay"), text.rfind("PollDelay")) << text;
    } else {
      EXPECT_EQ(text.find("PollDelay"), std::string::npos) << text;
    }
  }
}

TEST_F(AppTest, DebugModeZeroStartsHiddenAndQuiet) {
  WriteIni("[qor_mdu]\nDebugMode=0\nLogMode=1\n");
  ASSERT_TRUE(CreateMainWindow());
  MainWindow& w = TheApp().window;
  EXPECT_EQ(TheApp().hideDebug, 1);
  EXPECT_EQ(w.height, TheApp().statusHeight + 42);
  EXPECT_EQ(w.style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0u);
  EXPECT_TRUE(w.isChecked(IDM_DEBUG_HIDE));
  EXPECT_FALSE(w.isChecked(IDM_DEBUG_ON));
  EXPECT_TRUE(w.isChecked(IDM_LOG_ENABLED));
  EXPECT_EQ(TheDebugList().lineCount(), 0);
}

struct CommandCase {
  const char* name;
  int debugMode, hideDebug, logMode;  // before
  int command;
  int wantDebug, wantHide, wantLog;  // after
  bool fullSize;
};

TEST_F(AppTest, SwitchCommandsUpdateTheModelAndTheSettingsFile) {
  const CommandCase cases[] = {
      {"Hide while shown", 1, 0, 0, IDM_DEBUG_HIDE, 0, 1, 0, false},
      {"Hide again restores", 0, 1, 0, IDM_DEBUG_HIDE, 1, 0, 0, true},
      {"On while on: output off, size kept", 1, 0, 0, IDM_DEBUG_ON, 0, 0, 0,
       true},
      {"On while off and hidden: shown", 0, 1, 0, IDM_DEBUG_ON, 1, 0, 0, true},
      {"Enabled toggles log mode", 1, 0, 0, IDM_LOG_ENABLED, 1, 0, 1, true},
      {"Enabled while debug is off", 0, 1, 1, IDM_LOG_ENABLED, 0, 1, 0, false},
  };
  ASSERT_TRUE(CreateMainWindow());
  MainWindow& w = TheApp().window;
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    debugMode = c.debugMode;
    TheApp().hideDebug = c.hideDebug;
    logMode = c.logMode;
    // The operator dragged the window larger; every switch resets the size
    // and keeps the corner.
    w.x = 33;
    w.y = 44;
    w.width = 1000;
    w.height = 900;
    ASSERT_TRUE(OnCommand(c.command));
    EXPECT_EQ(debugMode, c.wantDebug);
    EXPECT_EQ(TheApp().hideDebug, c.wantHide);
    EXPECT_EQ(logMode, c.wantLog);
    EXPECT_EQ(Setting("qor_mdu", "DebugMode"), c.wantDebug ? "1" : "0");
    EXPECT_EQ(Setting("qor_mdu", "LogMode"), c.wantLog ? "1" : "0");
    EXPECT_EQ(w.isChecked(IDM_DEBUG_ON), c.wantDebug != 0);
    EXPECT_EQ(w.isChecked(IDM_DEBUG_HIDE), c.wantHide != 0);
    EXPECT_EQ(w.isChecked(IDM_LOG_ENABLED), c.wantLog != 0);
    EXPECT_EQ(w.x, 33);
    EXPECT_EQ(w.y, 44);
    EXPECT_EQ(w.width, 690);
    EXPECT_EQ(w.height, c.fullSize ? 640 : TheApp().statusHeight + 42);
    EXPECT_EQ((w.style & WS_THICKFRAME) != 0, c.fullSize);
  }
}

TEST_F(AppTest, ClearEmptiesTheDebugListAndExitEndsTheLoop) {
  ASSERT_TRUE(CreateMainWindow());
  DebugList("something %d", 1);
  ASSERT_GE(TheDebugList().lineCount(), 1);
  EXPECT_TRUE(OnCommand(IDM_DEBUG_CLEAR));
  EXPECT_EQ(TheDebugList().lineCount(), 0);
  EXPECT_FALSE(OnCommand(4242));
  EXPECT_TRUE(OnCommand(IDM_EXIT));
  EXPECT_TRUE(loop_.quitRequested());
  EXPECT_TRUE(TheApp().window.destroyed);
}

TEST_F(AppTest, StatusWithoutAUnitReadsAsOneSentence) {
  ASSERT_TRUE(CreateMainWindow());
  TheApp().commsRxCount = 12;
  TheApp().commsTxCount = 3456;
  TheApp().window.panel.selection = 1;
  UpdateStatus();
  ExpectFields({{IDC_LINK_RX, "00000012"},
                {IDC_LINK_TX, "00003456"},
                {IDC_COMMS_STATE, "Not set"},
                {IDC_POLL_MODE, "-"},
                {IDC_TYPE, "in ini"},
                {IDC_IP, "file"},
                {IDC_LOCATION, "-"},
                {IDC_UNIT_RX, "-"},
                {IDC_UNIT_TX, "-"},
                {IDC_UNIT_TRAPRX, "-"},
                {IDC_UNIT_BUFFER, "-"}});
}

TEST_F(AppTest, NoInfodriverShowsTheBoxAndMakesNoUnit) {
  WriteIni("[QOR_MDU_1]\nSNMPAddress=10.0.0.1\n");
  infodriver_.setReachable(false);
  EXPECT_FALSE(CreateMainWindow());
  EXPECT_EQ(
      boxes_,
      std::vector<std::string>(
          {"QOR_MDU - Error: QOR_MDU Driver can't Connect to infodriver 5"}));
  for (Cqor_mdl* unit : TheApp().unitTable) EXPECT_EQ(unit, nullptr);
  EXPECT_EQ(snmp_.sentCount(), 0u);
  EXPECT_FALSE(loop_.HasTimer(kPollTimer));
  EXPECT_NE(LogText().find("Infodriver 5 unreachable"), std::string::npos);
}

TEST_F(AppTest, OnlyConfiguredSectionsMakeUnitsWithTheirOffsets) {
  WriteIni("[QOR_MDU_3]\nSNMPAddress=10.0.0.3\nSNMPCommunity=secret\n");
  ASSERT_TRUE(CreateMainWindow());
  AppState& app = TheApp();
  for (int i = 0; i < mdu::kUnitCount; ++i) {
    if (i == 2) continue;
    EXPECT_EQ(app.unitTable[i], nullptr) << i;
  }
  Cqor_mdl* unit = app.unitTable[2];
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->slotOffset, 200);
  EXPECT_EQ(unit->instance, 3);
  EXPECT_STREQ(unit->address, "10.0.0.3");
  EXPECT_STREQ(unit->community, "secret");
  EXPECT_EQ(unit->infBuffer, &TheInfBuffer());
  EXPECT_EQ(unit->infodriverLink, &TheInfodriverLink());
  EXPECT_EQ(app.window.panel.unitList.size(), 40u);
  // initMdu polled once at once: one GetNext of the unit's subtree.
  ASSERT_EQ(snmp_.sentCount(), 1u);
  EXPECT_EQ(snmp_.lastSent().address, "10.0.0.3");
  EXPECT_EQ(snmp_.lastSent().community, "secret");
  EXPECT_EQ(snmp_.lastSent().oid, "1.3.6.1.4.1.6853");
  auto lines = TheDebugList().lines();
  EXPECT_EQ(lines[0], "Connected OK to infodriver 5");
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "SNMP init_snmp OK for device 3"),
      lines.end());

  // The drain writes slot 299 ("no communication yet") within one tick.
  clock_.Advance(10);
  loop_.FireDueTimers();
  EXPECT_EQ(infodriver_.slot(299), "1");

  // Timer 1 polls every unit.
  const size_t before = snmp_.sentCount();
  clock_.Advance(1000);
  loop_.FireDueTimers();
  EXPECT_EQ(snmp_.sentCount(), before + 1);
}

TEST_F(AppTest, OverlongAddressOrCommunityLeavesThePositionEmpty) {
  WriteIni("[QOR_MDU_1]\nSNMPAddress=" + std::string(64, '1') +
           "\n[QOR_MDU_2]\nSNMPAddress=10.0.0.2\nSNMPCommunity=" +
           std::string(70, 'c') +
           "\n[QOR_MDU_4]\nSNMPAddress=" + std::string(63, '4') + "\n");
  ASSERT_TRUE(CreateMainWindow());
  EXPECT_EQ(TheApp().unitTable[0], nullptr);
  EXPECT_EQ(TheApp().unitTable[1], nullptr);
  // 63 characters still fit.
  ASSERT_NE(TheApp().unitTable[3], nullptr);
  EXPECT_EQ(std::string(TheApp().unitTable[3]->address), std::string(63, '4'));
  // The operator finds out why in the log, and the settings keep the text.
  EXPECT_EQ(Setting("QOR_MDU_2", "SNMPCommunity"), std::string(70, 'c'));
}

// Versions 2c and 3 per unit: a value that is refused leaves that unit
// unmade with a line naming it, the key and the value; the others run.
TEST_F(AppTest, SecuritySettingsAreCheckedPerUnitAndPassPhrasesStayInTheirFiles) {
  const fs::path auth = root_ / "auth.pass";
  const fs::path priv = root_ / "priv.pass";
  const fs::path open = root_ / "open.pass";
  for (const auto& [path, mode] :
       {std::pair{auth, 0600}, std::pair{priv, 0400}, std::pair{open, 0644}}) {
    std::ofstream(path) << "phrase-of-" << path.stem().string() << "\n";
    fs::permissions(path, static_cast<fs::perms>(mode));
  }
  const std::string v3 = "SNMPVersion=3\nSNMPUser=ops\nSNMPAuthPassFile=" +
                         auth.string() + "\nSNMPPrivPassFile=" + priv.string() +
                         "\n";
  struct Bad {
    int unit;
    std::string lines;
    std::string logged;
  };
  const std::vector<Bad> bad = {
      {1, "SNMPVersion=2\n", "SNMPVersion of QOR_MDU_1 is '2'"},
      {2, v3 + "SNMPSecurityLevel=auth\n",
       "SNMPSecurityLevel of QOR_MDU_2 is 'auth'"},
      {3, v3 + "SNMPAuthProtocol=SHA1\n",
       "SNMPAuthProtocol of QOR_MDU_3 is 'SHA1'"},
      {4, v3 + "SNMPPrivProtocol=3DES\n",
       "SNMPPrivProtocol of QOR_MDU_4 is '3DES'"},
      {5, "SNMPVersion=2c\nSNMPMaxRepetitions=-1\n",
       "SNMPMaxRepetitions of QOR_MDU_5 is '-1'"},
      {6, v3 + "SNMPTrapEngineID=80zz\n",
       "SNMPTrapEngineID of QOR_MDU_6 is '80zz'"},
      {7, "SNMPVersion=3\nSNMPUser=ops\nSNMPAuthPassFile=" + open.string() +
              "\n",
       "SNMPAuthPassFile of QOR_MDU_7 is '" + open.string() + "'"},
      {8, "SNMPVersion=3\nSNMPUser=ops\nSNMPAuthPassFile=" + auth.string() +
              "\n",
       "SNMPPrivPassFile of QOR_MDU_8 is needed for SNMPSecurityLevel authPriv"},
      {9, "SNMPVersion=3\n", "SNMPUser of QOR_MDU_9 is needed"},
  };
  std::string ini;
  for (const Bad& b : bad)
    ini += "[QOR_MDU_" + std::to_string(b.unit) +
           "]\nSNMPAddress=10.0.0.1\n" + b.lines;
  ini += "[QOR_MDU_10]\nSNMPAddress=10.0.0.10\n" + v3 +
         "SNMPAuthProtocol=SHA-256\nSNMPTrapEngineID=0x8000000001020304\n";
  ini += "[QOR_MDU_11]\nSNMPAddress=10.0.0.11\nSNMPVersion=2c\n";
  WriteIni(ini);
  ASSERT_TRUE(CreateMainWindow());
  const std::string log = LogText();
  for (const Bad& b : bad) {
    EXPECT_EQ(TheApp().unitTable[b.unit - 1], nullptr) << b.unit;
    EXPECT_NE(log.find(b.logged), std::string::npos) << b.logged << "\n" << log;
  }
  Cqor_mdl* v3unit = TheApp().unitTable[9];
  ASSERT_NE(v3unit, nullptr);
  EXPECT_EQ(v3unit->security.authPass, "phrase-of-auth");
  EXPECT_EQ(v3unit->security.privPass, "phrase-of-priv");
  EXPECT_EQ(v3unit->security.authProtocol, "SHA-256");
  EXPECT_EQ(v3unit->security.trapEngineId.size(), 8u);
  ASSERT_NE(TheApp().unitTable[10], nullptr);
  EXPECT_EQ(snmp_.lastSent().security.version, SnmpSecurity::Version::kV2c);
  EXPECT_EQ(snmp_.lastSent().type, SNMP_PDU_GETBULK);
  // Every key written back with its default; no pass phrase anywhere.
  EXPECT_EQ(Setting("QOR_MDU_11", "SNMPMaxRepetitions"), "25");
  EXPECT_EQ(Setting("QOR_MDU_40", "SNMPVersion"), "1");
  EXPECT_EQ(Setting("QOR_MDU_40", "SNMPSecurityLevel"), "authPriv");
  const std::string written = ReadText(Ini());
  for (const std::string& text : {written, log}) {
    EXPECT_EQ(text.find("phrase-of-"), std::string::npos);
  }
}

TEST_F(AppTest, StatusShowsTheSelectedUnit) {
  WriteIni("[QOR_MDU_1]\nSNMPAddress=10.0.0.1\n");
  ASSERT_TRUE(CreateMainWindow());
  Cqor_mdl* unit = TheApp().unitTable[0];
  ASSERT_NE(unit, nullptr);
  snmp_.ReplyTo(snmp_.lastSent(), {{"1.3.6.1.4.1.6853.3.1.1.0",
                                    SNMP_SYNTAX_OCTETS, "QOR MDU-12"}});
  snmp_.ReplyTo(snmp_.lastSent(),
                {{"1.3.6.1.4.1.6853.3.4.1.1.1", SNMP_SYNTAX_INT, "1"}});
  UpdateStatus();
  ExpectFields({{IDC_COMMS_STATE, "OK"},
                {IDC_POLL_MODE, "Fast"},
                {IDC_TYPE, "QOR MDU-12"},
                {IDC_IP, "10.0.0.1"},
                {IDC_UNIT_RX, "00000002"},
                {IDC_UNIT_TX, "00000003"},
                {IDC_UNIT_TRAPRX, "00000000"},
                {IDC_UNIT_BUFFER, "0"}});
}

TEST_F(AppTest, SlotChangesReachTheOwningUnitAndTheStatusIsRefreshedFirst) {
  WriteIni("[QOR_MDU_2]\nSNMPAddress=10.0.0.2\n");
  ASSERT_TRUE(CreateMainWindow());
  // Output 1 of unit 2 becomes known, then its slot is requested.
  snmp_.ReplyTo(snmp_.lastSent(),
                {{"1.3.6.1.4.1.6853.3.4.1.1.1", SNMP_SYNTAX_INT, "1"}});
  TheApp().commsRxCount = 0;
  EXPECT_EQ(infodriver_.deliverSlotChange(141, "0"), 1);
  EXPECT_EQ(TheApp().commsRxCount, 1);
  EXPECT_EQ(TheApp().window.panel.field(IDC_LINK_RX), "00000001");
  // The walk's next request is outstanding, so the Set waits in the queue
  // and goes out after the walk's reply.
  EXPECT_EQ(TheApp().unitTable[1]->bufferCount(), 1);
  snmp_.ReplyTo(snmp_.lastSent(),
                {{"1.3.6.1.4.1.6853.3.4.1.1.2", SNMP_SYNTAX_INT, "2"}});
  bool setSent = false;
  for (const auto& pdu : snmp_.sent())
    if (pdu.type == SNMP_PDU_SET && pdu.oid == "1.3.6.1.4.1.6853.3.4.1.2.1" &&
        pdu.value == "0")
      setSent = true;
  EXPECT_TRUE(setSent);
  // A position without a unit: dropped, nothing written.
  infodriver_.clearWrites();
  EXPECT_EQ(infodriver_.deliverSlotChange(541, "1"), 1);
  EXPECT_TRUE(infodriver_.writes().empty());
}

TEST_F(AppTest, TheWholeBufferIsDrainedInOneTickUnchanged) {
  ASSERT_TRUE(CreateMainWindow());
  for (int i = 0; i < 500; ++i)
    TheInfBuffer().addData(1000 + i, ("100% %s " + std::to_string(i)).c_str());
  DrainSlotWrites();
  EXPECT_EQ(TheInfBuffer().count(), 0);
  EXPECT_EQ(infodriver_.slot(1000), "100% %s 0");
  EXPECT_EQ(infodriver_.slot(1499), "100% %s 499");
  EXPECT_EQ(TheApp().commsTxCount, 500);
}

// The drain ticks only while writes wait, and a write queued on another
// thread gets it ticking again on its 10 ms grid.
TEST_F(AppTest, DrainTicksOnlyWhileWritesAreQueued) {
  ASSERT_TRUE(CreateMainWindow());
  clock_.Advance(kDrainPeriodMs);
  EXPECT_EQ(loop_.FireDueTimers(), 1);  // the first tick finds nothing
  EXPECT_TRUE(loop_.TimerSuspended(kDrainTimer));
  EXPECT_EQ(loop_.TimerPeriod(kDrainTimer), kDrainPeriodMs);
  clock_.Advance(700);  // before the status tick: nothing is due
  EXPECT_EQ(loop_.FireDueTimers(), 0);

  clock_.Advance(4);  // between two points of the drain's grid
  std::thread unit([] { TheInfBuffer().addData(17, "queued elsewhere"); });
  unit.join();
  EXPECT_EQ(loop_.RunPosted(), 1);
  EXPECT_FALSE(loop_.TimerSuspended(kDrainTimer));
  EXPECT_EQ(loop_.MsUntilNextTimer(), 6);  // the same tick as ever
  clock_.Advance(6);
  EXPECT_EQ(loop_.FireDueTimers(), 1);
  EXPECT_EQ(infodriver_.slot(17), "queued elsewhere");
  EXPECT_TRUE(loop_.TimerSuspended(kDrainTimer));

  // On the loop's own thread the write resumes the timer at once.
  TheInfBuffer().addData(18, "queued here");
  EXPECT_FALSE(loop_.TimerSuspended(kDrainTimer));
  EXPECT_EQ(loop_.RunPosted(), 0);
  clock_.Advance(kDrainPeriodMs);
  loop_.FireDueTimers();
  EXPECT_EQ(infodriver_.slot(18), "queued here");
}

// A drain that cannot see the buffer empty keeps ticking, so nothing queued
// is left waiting for a write that may never come.
TEST_F(AppTest, DrainKeepsTickingWhenTheBufferCannotBeChecked) {
  ASSERT_TRUE(CreateMainWindow());
  TheInfBuffer().addData(19, "late");
  ASSERT_TRUE(TheInfBuffer().lockForTest().wait(0));
  clock_.Advance(kDrainPeriodMs);
  loop_.FireDueTimers();  // count() gives up after 100 ms
  EXPECT_FALSE(loop_.TimerSuspended(kDrainTimer));
  TheInfBuffer().lockForTest().release();
  clock_.Advance(kDrainPeriodMs);
  loop_.FireDueTimers();
  EXPECT_EQ(infodriver_.slot(19), "late");
  EXPECT_TRUE(loop_.TimerSuspended(kDrainTimer));
}

TEST_F(AppTest, InfodriverDisconnectEndsTheLoopWithZero) {
  WriteIni("[QOR_MDU_1]\nSNMPAddress=10.0.0.1\n");
  ASSERT_TRUE(CreateMainWindow());
  infodriver_.deliverInfoDisconnect();
  loop_.RunPosted();
  EXPECT_TRUE(loop_.quitRequested());
  EXPECT_EQ(loop_.exitCode(), 0);
  EXPECT_EQ(TheApp().unitTable[0], nullptr);  // units deleted on the way out
}

TEST(AboutBox, VersionAndBuildLines) {
  EXPECT_EQ(AboutVersionLine(), "Version 1, 1, 1, 1  (1, 1, 1, 1)");
  const std::string build = AboutBuildLine();
  // "Apr  4 2013 - 17:30:38"
  ASSERT_EQ(build.size(), 22u);
  EXPECT_EQ(build.substr(11, 3), " - ");
  EXPECT_EQ(build[16], ':');
  EXPECT_EQ(build[19], ':');
}

}  // namespace
