// Two drivers on one host share the trap port through qor_trapd: the
// units send to the one port, and each driver gets its own units' traps,
// SNMPv1 and SNMPv2c, and no other driver's, and answers its units'
// informs through the intake.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "integration/e2e_support.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

// Device number -> the unit addresses of its settings file.
const std::vector<std::pair<int, std::vector<int>>> kDrivers = {{1, {1, 2}},
                                                                {2, {3, 4}}};
// A unit of version 2c, whose informs its driver answers through the
// intake.
constexpr int kInformingUnit = 4;

class TrapSharing : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path("/tmp") / ("qor_traps_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys" / "config" / "system");
    fs::create_directories(root_ / "run");
    fs::permissions(root_ / "run", fs::perms::owner_all);
    port_ = qor_test::FreeUdpPort();
    env_ = {"QX_ROOT=" + root_.string(), "QX_SYSTEM=sys",
            "ZARN_RUNTIME_DIR=" + (root_ / "run").string(),
            "ZARN_SNMP_TRAP_PORT=" + std::to_string(port_)};
    for (const auto& [device, units] : kDrivers) {
      char name[32];
      std::snprintf(name, sizeof name, "dev_%03d.ini", device);
      std::ofstream ini(root_ / "sys" / "config" / "system" / name);
      ini << "[qor_mdu]\nDebugMode=1\n";
      for (size_t i = 0; i < units.size(); ++i) {
        ini << "[QOR_MDU_" << i + 1
            << "]\nSNMPAddress=" << UnitAddress(units[i]) << "\n";
        if (units[i] == kInformingUnit) ini << "SNMPVersion=2c\n";
      }
      infodrivers_.push_back(StartInfodriver(device, env_));
      ASSERT_FALSE(HasFailure());
    }
  }
  void TearDown() override {
    drivers_.clear();
    trapd_.reset();
    infodrivers_.clear();
    fs::remove_all(root_);
  }
  // A driver is ready for traps once its intake socket is there.
  std::unique_ptr<Process> StartDriver(int device) {
    auto p = std::make_unique<Process>(
        BinPath("qor_mdu"), std::vector<std::string>{std::to_string(device)},
        env_);
    EXPECT_TRUE(WaitFor([&] {
      return fs::exists(root_ / "run" /
                        ("traps-" + std::to_string(device) + ".sock"));
    }));
    return p;
  }
  int SendTrap(int unit, bool v1, const std::string& text,
               bool inform = false) {
    std::vector<std::string> args = {SimPath("send_trap.sh"), "--from",
                                     AgentHost(unit), "--to",
                                     "127.0.0.1:" + std::to_string(port_)};
    if (v1) args.push_back("--v1");
    if (inform) args.push_back("--inform");
    args.push_back("power");
    args.push_back(text);
    Process p("/bin/bash", args);
    return p.Wait();
  }

  fs::path root_;
  int port_ = 0;
  std::vector<std::string> env_;
  std::vector<std::unique_ptr<Process>> infodrivers_;
  std::unique_ptr<Process> trapd_;
  std::vector<std::unique_ptr<Process>> drivers_;
};

TEST_F(TrapSharing, EveryUnitsTrapsReachItsDriverAndNoOther) {
  // Driver 1 starts before the intake and holds the port until the intake
  // runs; driver 2 starts after it.
  drivers_.push_back(StartDriver(1));
  trapd_ = std::make_unique<Process>(BinPath("qor_trapd"),
                                     std::vector<std::string>{}, env_);
  ASSERT_TRUE(WaitFor([&] {
    return trapd_->Stderr().find("go to the drivers in") != std::string::npos;
  })) << trapd_->Stderr();
  drivers_.push_back(StartDriver(2));

  std::vector<std::string> marks;
  for (const auto& [device, units] : kDrivers)
    for (int unit : units)
      for (bool v1 : {true, false}) {
        const std::string mark =
            "mark-unit" + std::to_string(unit) + (v1 ? "-v1" : "-v2c");
        ASSERT_EQ(SendTrap(unit, v1, mark), 0) << mark;
        marks.push_back(mark);
      }

  for (size_t d = 0; d < kDrivers.size(); ++d) {
    for (const auto& [device, units] : kDrivers)
      for (int unit : units)
        for (const char* version : {"-v1", "-v2c"}) {
          const std::string mark = "mark-unit" + std::to_string(unit) + version;
          if (device == kDrivers[d].first) {
            EXPECT_TRUE(WaitFor([&] {
              return drivers_[d]->Stdout().find(mark) != std::string::npos;
            })) << "driver "
                << kDrivers[d].first << " lacks " << mark;
          }
        }
  }
  // snmptrap says an inform was sent only once it has the answer.
  ASSERT_EQ(SendTrap(kInformingUnit, false, "mark-unit4-inform", true), 0);
  EXPECT_TRUE(WaitFor([&] {
    return drivers_[1]->Stdout().find("mark-unit4-inform") != std::string::npos;
  }));

  // Every trap that reached its driver had its chance to reach the other.
  for (size_t d = 0; d < kDrivers.size(); ++d) {
    const std::string out = drivers_[d]->Stdout();
    for (const std::string& mark : marks) {
      const int unit = mark[9] - '0';
      const auto& mine = kDrivers[d].second;
      const bool own = std::find(mine.begin(), mine.end(), unit) != mine.end();
      if (!own) {
        EXPECT_EQ(out.find(mark), std::string::npos)
            << "driver " << kDrivers[d].first << " got " << mark;
      }
    }
  }

  for (auto& driver : drivers_) {
    driver->Signal(SIGTERM);
    EXPECT_EQ(driver->Wait(), 0);
  }
  trapd_->Signal(SIGTERM);
  EXPECT_EQ(trapd_->Wait(), 0);
}

}  // namespace
