// Two units against real simulated MDUs (snmpd started by sim/mdu_agent.sh
// from sim/mdu.data), the real SNMP layer, the real infodriver program over
// its socket, traps from sim/send_trap.sh and requests from infoctl.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/infodriver_routing.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "mdu/cqor_mdl.h"
#include "mdu/slot_text.h"
#include "platform/debug_output.h"
#include "platform/main_loop.h"
#include "support/infodriver_process.h"
#include "support/process.h"
#include "support/sim_data.h"
#include "support/snmpd_agent.h"

namespace {

constexpr int kDevice = 21;
constexpr int kPollTimer = 901;
constexpr int kDrainTimer = 903;
const std::string kSim = SIM_DIR;

// The values one simulated unit serves: the data file with the unit's
// number and temperature filled in, as mdu_agent.sh does.
std::map<std::string, std::string> AgentValues(int unit) {
  return qor_test::SimValues(kSim + "/mdu.data", unit);
}

// What relative slots 1 to 99 hold once a unit serving |values| has been
// walked: the layout of a unit's block, written out independently here.
std::map<int, std::string> ExpectedSlots(
    const std::map<std::string, std::string>& values) {
  std::map<int, std::string> slots;
  for (int s = 1; s <= 99; ++s) slots[s] = "";
  auto value = [&](const std::string& oid) {
    auto it = values.find("1.3.6.1.4.1.6853." + oid);
    return it == values.end() ? std::string() : it->second;
  };
  // Rows are numbered by their table index, which need not start at 1.
  std::vector<int> alarmRows;
  const std::string indexColumn = "1.3.6.1.4.1.6853.2.2.1.1.";
  for (const auto& [oid, text] : values) {
    if (oid.rfind(indexColumn, 0) == 0)
      alarmRows.push_back(std::atoi(oid.c_str() + indexColumn.size()));
  }
  for (int row : alarmRows) {
    const std::string r = "." + std::to_string(row);
    const int type = std::atoi(value("2.2.1.2" + r).c_str());
    const int index = std::atoi(value("2.2.1.3" + r).c_str());
    if (type == 2 && index >= 1 && index <= 16) {
      slots[index] = value("2.2.1.5" + r);
      slots[20 + index] = value("2.2.1.6" + r);
    } else if (type == 3 && index >= 1 && index <= 12) {
      slots[60 + index] = value("2.2.1.5" + r);
    }
  }
  for (int row = 1; value("3.4.1.1." + std::to_string(row)) != ""; ++row) {
    const std::string r = "." + std::to_string(row);
    const int output = std::atoi(value("3.4.1.1" + r).c_str());
    slots[40 + output] = value("3.4.1.2" + r);
    slots[80 + output] =
        std::to_string(std::atoi(value("3.4.1.3" + r).c_str()) * 10);
  }
  slots[78] = value("3.2.0");
  slots[79] = std::to_string(std::atoi(value("3.3.0").c_str()) * 10);
  const int temperature = std::atoi(value("2.5.0").c_str());
  const int alarmPoint = std::atoi(value("2.6.0").c_str());
  slots[94] = temperature >= alarmPoint ? "2" : "1";
  slots[95] = value("2.5.0");
  slots[96] = value("2.6.0");
  slots[97] = CleanSlotText(value("3.5.0"));
  slots[98] = CleanSlotText(value("2.4.0"));
  slots[99] = "0";
  return slots;
}

// A simulated MDU: sim/mdu_agent.sh, which becomes snmpd.
class SimulatedMdu {
 public:
  SimulatedMdu(const std::string& address, int unit, const std::string& dir)
      : address_(address) {
    started_ = process_.Start(
        {kSim + "/mdu_agent.sh", "--address", address, "--community", "public",
         "--unit", std::to_string(unit), "--dir", dir},
        {}, dir + "/agent-" + address + ".out");
  }

  // Waits until the agent answers a Get.
  bool ready() {
    if (!started_) return false;
    return WaitUntil(
        [this] {
          bool ok = false;
          get("1.3.6.1.4.1.6853.2.6.0", &ok);
          return ok;
        },
        20000);
  }

  std::string get(const std::string& oid, bool* ok = nullptr) {
    qor_test::ToolResult r = qor_test::RunTool(
        {"/usr/bin/snmpget", "-v1", "-c", "public", "-Oqv", "-r", "0", "-t",
         "1", "-M", "/dev/null", "-m", "", address_, oid},
        5000);
    if (ok) *ok = r.exitCode == 0;
    std::string out = r.output;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
      out.pop_back();
    }
    if (out.size() >= 2 && out.front() == '"' && out.back() == '"') {
      out = out.substr(1, out.size() - 2);
    }
    return out;
  }

 private:
  std::string address_;
  bool started_ = false;
  qor_test::ChildProcess process_;
};

class MduIntegrationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The process's trap receiver takes its port from here when it starts.
    trapPort_ = qor_test::FreeUdpPort();
    setenv("ZARN_SNMP_TRAP_PORT", std::to_string(trapPort_).c_str(), 1);
  }

  void SetUp() override {
    debugMode = 1;
    logMode = 0;
    dir_ = ::testing::TempDir() + "mdu_integration_" + std::to_string(getpid());
    std::string mkdir = "mkdir -p '" + dir_ + "'";
    ASSERT_EQ(0, std::system(mkdir.c_str()));
    TheLogFile().initWithDirectory(kDevice, "qor_mdu", true, true, dir_);
    SetDebugOutputSink([](const char*) {});

    infodriver_ = std::make_unique<InfodriverProcess>(INFODRIVER_BIN, kDevice);
    ASSERT_FALSE(infodriver_->failed());
    ASSERT_EQ(IFSTAT_OK, TheInfodriverLink().connect(kDevice));
    TheInfodriverLink().setCallback(InfodriverNotify);
    SetInfodriverRouting(
        {[this](int index, int relativeSlot, const char* text) {
           Cqor_mdl* unit = index < 2 ? units_[index].get() : nullptr;
           if (unit == nullptr) return false;
           unit->slotChange(relativeSlot, text);
           return true;
         },
         nullptr, nullptr});
  }

  void TearDown() override {
    TheMainLoop().KillTimer(kPollTimer);
    TheMainLoop().KillTimer(kDrainTimer);
    for (auto& unit : units_) unit.reset();
    SetInfodriverRouting({});
    TheInfodriverLink().disconnect();
    while (eiData* data = TheInfBuffer().getData()) delete data;
    mdus_.clear();
    infodriver_.reset();
    SetDebugOutputSink(nullptr);
    // The agents' files and the log file go with the test.
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Unit n (1 or 2) polling the simulated MDU at |address|.
  Cqor_mdl& startUnit(int n, const std::string& address, int simulatedUnit) {
    mdus_.push_back(
        std::make_unique<SimulatedMdu>(address, simulatedUnit, dir_));
    EXPECT_TRUE(mdus_.back()->ready()) << "agent at " << address;
    auto unit = std::make_unique<Cqor_mdl>((n - 1) * 100, n);
    unit->setAddress(address.c_str());
    unit->setCommunity("public");
    unit->infBuffer = &TheInfBuffer();
    unit->infodriverLink = &TheInfodriverLink();
    EXPECT_EQ(0, unit->initMdu());
    units_[n - 1] = std::move(unit);
    return *units_[n - 1];
  }

  void startTimers(int pollDelayMs) {
    TheMainLoop().SetTimer(kPollTimer, pollDelayMs, [this] {
      for (auto& unit : units_) {
        if (unit) unit->PollNext();
      }
    });
    TheMainLoop().SetTimer(kDrainTimer, 10, [] {
      while (TheInfBuffer().count() > 0) {
        eiData* data = TheInfBuffer().getData();
        if (data == nullptr) break;
        TheInfodriverLink().updateSlot(data->slot(), data->text());
        delete data;
      }
    });
  }

  static void pump() { TheMainLoop().RunOnce(20); }

  bool waitFor(std::function<bool()> condition, int timeoutMs = 20000) {
    return WaitUntil(condition, timeoutMs, pump);
  }

  std::string slot(int absolute) {
    char text[256] = "";
    TheInfodriverLink().readSlot(absolute, text);
    return text;
  }

  // Every slot of unit n's block against what its agent serves.
  void expectBlock(int n, const std::map<int, std::string>& expected) {
    for (const auto& [relative, text] : expected) {
      EXPECT_EQ(text, slot((n - 1) * 100 + relative))
          << "unit " << n << " relative slot " << relative;
    }
  }

  bool walkDone(Cqor_mdl& unit) {
    return !unit.firstScan && !unit.fastPoll && TheInfBuffer().count() == 0;
  }

  int sendTrap(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kSim + "/send_trap.sh", "--to",
                                     "127.0.0.1:" + std::to_string(trapPort_)};
    argv.insert(argv.end(), args.begin(), args.end());
    return qor_test::RunTool(argv, 10000).exitCode;
  }

  int infoctlSet(int slot, const std::string& text) {
    return RunProcess({INFOCTL_BIN, "set", std::to_string(kDevice),
                       std::to_string(slot), text},
                      pump)
        .exitCode;
  }

  static uint16_t trapPort_;
  TempRuntimeDir runtimeDir_;
  std::string dir_;
  std::unique_ptr<InfodriverProcess> infodriver_;
  std::vector<std::unique_ptr<SimulatedMdu>> mdus_;
  std::unique_ptr<Cqor_mdl> units_[2];
};

uint16_t MduIntegrationTest::trapPort_ = 0;

TEST_F(MduIntegrationTest, WalkTrapsAndRequestsThroughRealPieces) {
  // Unit 1 is simulated unit 4, unit 2 simulated unit 3: the agents differ
  // in location, ident and temperature.
  Cqor_mdl& unit1 = startUnit(1, "127.0.1.122", 4);
  Cqor_mdl& unit2 = startUnit(2, "127.0.1.121", 3);
  startTimers(200);

  // 1. After the fast walk, every slot of both blocks holds what the
  //    agents serve, converted.
  ASSERT_TRUE(waitFor([&] { return walkDone(unit1) && walkDone(unit2); }))
      << "walks did not end";
  ASSERT_TRUE(waitFor([] { return TheInfBuffer().count() == 0; }));
  expectBlock(1, ExpectedSlots(AgentValues(4)));
  expectBlock(2, ExpectedSlots(AgentValues(3)));
  EXPECT_EQ("Rack 3; Studio A\"s MDU", slot(198));
  EXPECT_STREQ("Serial QM-3-7731", unit2.equipmentDescription);
  EXPECT_STREQ("MDU-3 alarm agent", unit2.alarmIdent);
  EXPECT_EQ("", slot(100));
  EXPECT_EQ("", slot(200));

  // 2. Traps. The background walk is stopped so that it cannot put the
  //    agent's values back while the traps' values are checked.
  TheMainLoop().KillTimer(kPollTimer);
  ASSERT_TRUE(waitFor([&] {
    return unit1.outstanding.load() <= 0 && unit2.outstanding.load() <= 0;
  }));
  ASSERT_EQ(0, sendTrap({"--from", "127.0.1.121", "temp-alarm", "61"}));
  ASSERT_TRUE(waitFor([&] { return slot(195) == "61"; }));
  EXPECT_EQ("2", slot(194));
  // Row 7 of the alarm table is GPI 3, which the agent reports as 1 / 1.
  ASSERT_EQ(
      0, sendTrap({"--from", "127.0.1.121", "alarm", "7", "2", "3", "0", "0"}));
  ASSERT_TRUE(waitFor([&] { return slot(103) == "0" && slot(123) == "0"; }));
  ASSERT_EQ(
      0, sendTrap({"--from", "127.0.1.121", "--v1", "power", "Inlet B: off"}));
  ASSERT_TRUE(waitFor([&] { return slot(197) == "Inlet B; off"; }));
  // Unit 1 heard none of them.
  expectBlock(1, ExpectedSlots(AgentValues(4)));

  // A cold start walks the unit again at once: the agent's values come
  // back, except the temperature state, which only traps change now.
  const uint32_t traps = unit2.trapCount;
  ASSERT_EQ(0, sendTrap({"--from", "127.0.1.121", "--v1", "cold-start"}));
  ASSERT_TRUE(waitFor([&] { return unit2.trapCount == traps + 1; }));
  ASSERT_TRUE(waitFor([&] { return walkDone(unit2) && slot(103) == "1"; }));
  std::map<int, std::string> expected = ExpectedSlots(AgentValues(3));
  expected[94] = "2";
  expectBlock(2, expected);

  // 3. Requests from the control system become Sets; the slot follows the
  //    unit's reply.
  struct Request {
    int slot;
    const char* text;
    const char* oid;
    const char* agentValue;
    const char* slotText;
  } requests[] = {
      {141, "0", "1.3.6.1.4.1.6853.3.4.1.2.1", "0", "0"},
      {198, "Gallery: B's", "1.3.6.1.4.1.6853.2.4.0", "Gallery: B's",
       "Gallery; B\"s"},
      {185, "1234", "1.3.6.1.4.1.6853.3.4.1.3.5", "123", "1230"},
      // GPI 5 is the row with table index 25.
      {125, "1", "1.3.6.1.4.1.6853.2.2.1.6.25", "1", "1"},
      {179, "40", "1.3.6.1.4.1.6853.3.3.0", "4", "40"},
  };
  for (const Request& r : requests) {
    ASSERT_EQ(0, infoctlSet(r.slot, r.text)) << r.slot;
    EXPECT_TRUE(waitFor([&] { return slot(r.slot) == r.slotText; }))
        << "slot " << r.slot << " holds '" << slot(r.slot) << "'";
    EXPECT_EQ(r.agentValue, mdus_[1]->get(r.oid)) << r.oid;
  }
  EXPECT_STREQ("Gallery: B's", unit2.alarmLocation);

  // A refused request changes neither the agent nor the slot.
  ASSERT_EQ(0, infoctlSet(185, "2551"));
  for (int i = 0; i < 10; ++i) pump();
  EXPECT_EQ("1230", slot(185));
  EXPECT_EQ("123", mdus_[1]->get("1.3.6.1.4.1.6853.3.4.1.3.5"));
}

}  // namespace
