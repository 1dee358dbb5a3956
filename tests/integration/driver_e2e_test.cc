// The whole driver on the installed programs: forty simulated MDUs (snmpd
// agents on 127.0.1.1 to 127.0.1.40), an infodriver, and qor_mdu between
// them, checked through infoctl as the control system's other processes
// see it. One driver serves every case of this file, in order.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "integration/e2e_support.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDevice = 41;
constexpr int kUnits = 40;
const char* kCommunity = "ziriru";

std::string Block(int unit) { return "unit " + std::to_string(unit); }

class DriverEndToEnd : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path("/tmp/qor_e2e_" + std::to_string(getpid()));
    fs::remove_all(*root_);
    fs::create_directories(*root_ / "sys" / "config" / "system");
    fs::create_directories(*root_ / "run");
    fs::permissions(*root_ / "run", fs::perms::owner_all);
    trapPort_ = qor_test::FreeUdpPort();
    env_ = new std::vector<std::string>{
        "QX_ROOT=" + root_->string(), "QX_SYSTEM=sys",
        "ZARN_RUNTIME_DIR=" + (*root_ / "run").string(),
        "ZARN_SNMP_TRAP_PORT=" + std::to_string(trapPort_)};

    std::ofstream ini(*root_ / "sys" / "config" / "system" /
                      ("dev_0" + std::to_string(kDevice) + ".ini"));
    ini << "[qor_mdu]\nPollDelay=500\n";
    for (int n = 1; n <= kUnits; ++n)
      ini << "[QOR_MDU_" << n << "]\nSNMPAddress=" << UnitAddress(n)
          << "\nSNMPCommunity=" << kCommunity << "\n";
    ini.close();

    agents_ = new std::vector<std::unique_ptr<MduAgent>>();
    for (int n = 1; n <= kUnits; ++n) {
      agents_->push_back(std::make_unique<MduAgent>(
          n, (*root_ / ("agent" + std::to_string(n))).string(), kCommunity));
      agents_->back()->Start();
    }
    for (auto& a : *agents_) ASSERT_TRUE(a->WaitUntilAnswering());

    infodriver_ = StartInfodriver(kDevice, *env_).release();
    ASSERT_FALSE(HasFailure());
    driver_ = new Process(BinPath("qor_mdu"), {std::to_string(kDevice)}, *env_);
  }

  static void TearDownTestSuite() {
    delete driver_;
    delete infodriver_;
    delete agents_;
    delete env_;
    fs::remove_all(*root_);
    delete root_;
  }

  static std::map<int, std::string> Slots() {
    return DumpSlots(kDevice, *env_);
  }
  static std::string Slot(int slot) {
    auto slots = Slots();
    auto it = slots.find(slot);
    return it == slots.end() ? "" : it->second;
  }
  static bool WaitForSlot(int slot, const std::string& text) {
    return WaitFor([&] { return Slot(slot) == text; },
                   std::chrono::seconds(30));
  }
  static int Run(const std::string& program,
                 const std::vector<std::string>& args) {
    Process p(program, args, *env_);
    return p.Wait();
  }
  static int SendTrap(int unit, const std::vector<std::string>& kind) {
    std::vector<std::string> command =
        SendTrapCommand(unit, trapPort_, kCommunity, kind);
    return Run(command[0], {command.begin() + 1, command.end()});
  }

  static fs::path* root_;
  static std::vector<std::string>* env_;
  static int trapPort_;
  static std::vector<std::unique_ptr<MduAgent>>* agents_;
  static Process* infodriver_;
  static Process* driver_;
};

fs::path* DriverEndToEnd::root_;
std::vector<std::string>* DriverEndToEnd::env_;
int DriverEndToEnd::trapPort_;
std::vector<std::unique_ptr<MduAgent>>* DriverEndToEnd::agents_;
Process* DriverEndToEnd::infodriver_;
Process* DriverEndToEnd::driver_;

TEST_F(DriverEndToEnd, EveryUnitPublishesItsAgentsValues) {
  ASSERT_TRUE(WaitFor(
      [] {
        auto slots = Slots();
        for (int n = 1; n <= kUnits; ++n)
          if (slots[(n - 1) * 100 + 99] != "0") return false;
        return true;
      },
      std::chrono::seconds(60)))
      << driver_->Stdout().substr(0, 4000);
  // The fast walks are done once every block is whole; then compare each
  // block with what its agent serves, blanks and untouched slots included.
  for (int n = 1; n <= kUnits; ++n) {
    const std::map<int, std::string> expected = ExpectedBlock(n);
    bool same = WaitFor(
        [&] {
          auto slots = Slots();
          std::map<int, std::string> got;
          for (int r = 0; r < 100; ++r)
            if (slots.count((n - 1) * 100 + r))
              got[r] = slots[(n - 1) * 100 + r];
          return got == expected;
        },
        std::chrono::seconds(30));
    if (!same) {
      auto slots = Slots();
      for (int r = 0; r < 100; ++r) {
        std::string want = expected.count(r) ? expected.at(r) : "";
        std::string have =
            slots.count((n - 1) * 100 + r) ? slots[(n - 1) * 100 + r] : "";
        EXPECT_EQ(have, want) << Block(n) << " relative slot " << r;
      }
    }
  }
  // Nothing outside the units' blocks was written.
  for (const auto& [slot, text] : Slots())
    EXPECT_TRUE(slot < 4000 && slot % 100 != 0) << slot << " = " << text;
  // Its SNMP engine ID, for units that send it v3 informs, is the same at
  // every start: a text ("qor_mdu-41@" and the host) of net-snmp's
  // enterprise.
  EXPECT_NE(LogTextUnder(*root_, kDevice)
                .find(" - SNMP engine ID for v3 informs "
                      "0x80001f8804716f725f6d64752d343140"),
            std::string::npos);
}

TEST_F(DriverEndToEnd, SlotChangesBecomeSetsAndRoutedWrites) {
  MduAgent& unit17 = *(*agents_)[16];
  // Output 1 of unit 17: the slot follows the agent's reply to the Set.
  const std::string state = unit17.Get("1.3.6.1.4.1.6853.3.4.1.2.1");
  ASSERT_FALSE(state.empty());
  const std::string flipped = state == "0" ? "1" : "0";
  ASSERT_EQ(Run(BinPath("infoctl"),
                {"set", std::to_string(kDevice), "1641", flipped}),
            0);
  EXPECT_TRUE(WaitFor(
      [&] { return unit17.Get("1.3.6.1.4.1.6853.3.4.1.2.1") == flipped; }));
  EXPECT_TRUE(WaitForSlot(1641, flipped));

  // The location, a text: colons come back as semicolons in the slot.
  ASSERT_EQ(Run(BinPath("infoctl"), {"set", std::to_string(kDevice), "1698",
                                     "Gallery 2: left rack"}),
            0);
  EXPECT_TRUE(WaitFor([&] {
    return unit17.Get("1.3.6.1.4.1.6853.2.4.0") == "Gallery 2: left rack";
  }));
  EXPECT_TRUE(WaitForSlot(1698, "Gallery 2; left rack"));

  // A delay beyond 2550 is refused: the agent keeps its value.
  const std::string delay = unit17.Get("1.3.6.1.4.1.6853.3.4.1.3.2");
  ASSERT_EQ(
      Run(BinPath("infoctl"), {"set", std::to_string(kDevice), "1682", "9999"}),
      0);

  // The pair 4094/4095 mirror each other; other slots beyond the units echo.
  ASSERT_EQ(Run(BinPath("infoctl"),
                {"set", std::to_string(kDevice), "4094", "mirror"}),
            0);
  EXPECT_TRUE(WaitForSlot(4095, "mirror"));
  EXPECT_EQ(Slot(4094), "");
  ASSERT_EQ(
      Run(BinPath("infoctl"), {"set", std::to_string(kDevice), "4000", "echo"}),
      0);
  EXPECT_TRUE(WaitForSlot(4000, "echo"));
  EXPECT_EQ(unit17.Get("1.3.6.1.4.1.6853.3.4.1.3.2"), delay);
}

TEST_F(DriverEndToEnd, TrapsUpdateTheirSlotsAtOnce) {
  // Temperature alarm from unit 5: slots 95 and 94 of its block.
  ASSERT_EQ(SendTrap(5, {"temp-alarm", "61"}), 0);
  EXPECT_TRUE(WaitForSlot(495, "61"));
  EXPECT_TRUE(WaitForSlot(494, "2"));

  // An alarm row change for GPI 3 of unit 4 (v1 trap, translated by the
  // SNMP layer): state and polarity slots.
  std::string tableIndex;
  for (int row = 1; row <= 40 && tableIndex.empty(); ++row) {
    std::string r = "." + std::to_string(row);
    if (DataValue(4, "1.3.6.1.4.1.6853.2.2.1.2" + r) == "2" &&
        DataValue(4, "1.3.6.1.4.1.6853.2.2.1.3" + r) == "3")
      tableIndex = DataValue(4, "1.3.6.1.4.1.6853.2.2.1.1" + r);
  }
  ASSERT_FALSE(tableIndex.empty());
  const std::string state = Slot(303) == "1" ? "0" : "1";
  const std::string polarity = Slot(323) == "1" ? "0" : "1";
  ASSERT_EQ(
      SendTrap(4, {"--v1", "alarm", tableIndex, "2", "3", state, polarity}), 0);
  EXPECT_TRUE(WaitForSlot(303, state));
  EXPECT_TRUE(WaitForSlot(323, polarity));

  // A cold start restarts the unit's walk.
  ASSERT_EQ(SendTrap(6, {"cold-start"}), 0);
  EXPECT_TRUE(WaitFor([] {
    return driver_->Stdout().find("6:Cold-Start") != std::string::npos;
  }));
  EXPECT_TRUE(WaitFor([] {
    return driver_->Stdout().find("6:Start scan from '1.3.6.1.4.1.6853'") !=
           std::string::npos;
  }));
}

TEST_F(DriverEndToEnd, SilentUnitFailsAloneAndComesBack) {
  MduAgent& unit10 = *(*agents_)[9];
  unit10.Stop();
  EXPECT_TRUE(WaitForSlot(999, "1"));
  auto slots = Slots();
  for (int n = 1; n <= kUnits; ++n) {
    if (n != 10) {
      EXPECT_EQ(slots[(n - 1) * 100 + 99], "0") << Block(n);
    }
  }
  unit10.Start();
  ASSERT_TRUE(unit10.WaitUntilAnswering());
  EXPECT_TRUE(WaitForSlot(999, "0"));
}

TEST_F(DriverEndToEnd, InfodriverGoingAwayEndsTheDriver) {
  infodriver_->Signal(SIGTERM);
  EXPECT_EQ(infodriver_->Wait(), 0);
  EXPECT_EQ(driver_->Wait(), 0);
  std::string log;
  for (const auto& e : fs::directory_iterator(*root_ / "sys" / "logs"))
    log += ReadFileText(e.path().string());
  EXPECT_NE(log.find(" - ++++ Driver Closing ++++\n"), std::string::npos);
}

}  // namespace
