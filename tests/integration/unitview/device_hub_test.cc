// The hub against the real infodriver program, with a scripted driver on
// the infodriver's driver connection.

#include "unitview/device_hub.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "infodriver/server/audit_trail.h"
#include "infodriver/server/control_audit.h"
#include "infodriver/server/infodriver_server.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "support/infodriver_process.h"

namespace {

constexpr int kDevice = 43;

// A driver that answers every slot-change request with |accept| and, when
// |writeBack|, writes the requested text to the slot as a unit's reply
// would make the real driver do.
class ScriptedDriver {
 public:
  explicit ScriptedDriver(bool writeBack) : writeBack_(writeBack) {}
  ~ScriptedDriver() { Stop(); }

  bool Start() {
    peer_ = std::make_unique<RawPeer>(kDevice);
    if (!peer_->connected() || !peer_->becomeDriver(kDevice)) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    peer_.reset();
  }
  void Write(int slot, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    peer_->send({WVN_WRITESLOT, 0, slot, 0, text});
  }
  std::vector<std::pair<int, std::string>> Requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  // A stalled driver holds the requests it reads (as under SIGSTOP); once
  // resumed it answers them with |answer|.
  std::atomic<bool> stalled{false};
  std::atomic<int64_t> answer{1};

 private:
  void Serve() {
    while (!stop_) {
      InfoMessage m;
      if (!peer_->receive(&m, 50)) continue;
      if (m.message != WVN_SLOTCHANGE) continue;
      while (stalled && !stop_)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back({static_cast<int>(m.wParam), m.text});
      peer_->send({INFO_RESULT, m.sequence, answer, WVN_SLOTCHANGE, ""});
      if (writeBack_) peer_->send({WVN_WRITESLOT, 0, m.wParam, 0, m.text});
    }
  }

  bool writeBack_;
  std::unique_ptr<RawPeer> peer_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::pair<int, std::string>> requests_;
};

class DeviceHubTest : public ::testing::Test {
 protected:
  DeviceHubTest() {
    dir_ = std::filesystem::temp_directory_path() /
           ("qor_hub_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    // Units 1 and 3 are configured; 2 has an empty address.
    WriteSettings("");

    options_.devices = {kDevice};
    options_.site = "studio";
    options_.locations.locatorFile = (dir_ / "none.ini").string();
    options_.locations.systemDirectory = dir_.string();
    options_.statusPeriodMs = 100;
    options_.reconnectMinMs = 50;
    options_.reconnectMaxMs = 200;
    options_.confirmTimeoutMs = 1500;
    unsetenv("QX_ROOT");
  }
  ~DeviceHubTest() override {
    hub_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The settings file, with |unit3| more lines in unit 3's section; its
  // time moves on each time, so that the hub sees every rewrite.
  void WriteSettings(const std::string& unit3) {
    const std::filesystem::path file = dir_ / "dev_043.ini";
    std::ofstream(file)
        << "[qor_mdu]\nPollDelay=1000\n[QOR_MDU_1]\nSNMPAddress=127.0.1.1\n"
           "SNMPVersion=3\nSNMPSecurityLevel=authNoPriv\n"
           "[QOR_MDU_2]\nSNMPAddress=\n[QOR_MDU_3]\nSNMPAddress=127.0.1.3\n"
        << unit3;
    std::filesystem::last_write_time(
        file, std::filesystem::file_time_type::clock::now() +
                  std::chrono::seconds(++rewrites_));
  }

  void StartHub() {
    hub_ = std::make_unique<DeviceHub>(options_);
    hub_->AddListener({nullptr, nullptr, [this](const ControlUpdate& u) {
                         std::lock_guard<std::mutex> lock(mu_);
                         updates_.push_back(u);
                       }});
    hub_->Start();
  }

  // A driver with unit 1 answering and |slots| written, and the hub
  // started and showing it live.
  std::unique_ptr<ScriptedDriver> StartLive(
      bool writeBack, const std::vector<std::pair<int, std::string>>& slots) {
    auto driver = std::make_unique<ScriptedDriver>(writeBack);
    EXPECT_TRUE(driver->Start());
    driver->Write(99, "0");
    for (const auto& [slot, text] : slots) driver->Write(slot, text);
    StartHub();
    EXPECT_TRUE(WaitUntil([&] { return Live() && Unit(1)->answering(); }));
    return driver;
  }

  std::optional<UnitState> Unit(int unit) {
    return hub_->Unit("studio", kDevice, unit);
  }

  bool Live() {
    auto u = Unit(1);
    return u && u->live;
  }

  std::vector<ControlStage> StagesOf(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<ControlStage> stages;
    for (const ControlUpdate& u : updates_)
      if (u.id == id) stages.push_back(u.stage);
    return stages;
  }

  bool Finished(uint64_t id) {
    auto s = StagesOf(id);
    return !s.empty() && IsFinalStage(s.back());
  }

  TempRuntimeDir rundir_;
  std::unique_ptr<InfodriverProcess> infodriver_ =
      std::make_unique<InfodriverProcess>(INFODRIVER_BIN, kDevice);
  std::filesystem::path dir_;
  int rewrites_ = 0;
  HubOptions options_;
  std::unique_ptr<DeviceHub> hub_;
  std::mutex mu_;
  std::vector<ControlUpdate> updates_;
};

TEST_F(DeviceHubTest, ShowsTheConfiguredUnitsAsTheDriverWritesThem) {
  ASSERT_FALSE(infodriver_->failed());
  ScriptedDriver driver(false);
  ASSERT_TRUE(driver.Start());
  // Written before the hub connects: it must come from the dump.
  driver.Write(99, "0");
  driver.Write(43, "1");
  driver.Write(199, "0");  // unit 2 is not configured
  StartHub();

  ASSERT_TRUE(WaitUntil([&] {
    auto u = Unit(1);
    return u && u->live && u->answering() && u->outputs.size() == 1;
  }));
  EXPECT_EQ("127.0.1.1", Unit(1)->address);
  EXPECT_EQ("3", Unit(1)->snmpVersion);
  EXPECT_EQ("authNoPriv", Unit(1)->snmpSecurityLevel);
  EXPECT_EQ(3, Unit(1)->outputs[0].number);
  EXPECT_FALSE(Unit(2).has_value());
  ASSERT_TRUE(Unit(3).has_value());
  EXPECT_EQ(Comms::kUnknown, Unit(3)->comms);
  EXPECT_EQ("1", Unit(3)->snmpVersion);
  EXPECT_EQ("", Unit(3)->snmpSecurityLevel);
  EXPECT_FALSE(hub_->Unit("elsewhere", kDevice, 1).has_value());

  std::vector<UnitState> all = hub_->Units();
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ(1, all[0].unit);
  EXPECT_EQ(3, all[1].unit);
  std::vector<DeviceStatus> devices = hub_->Devices();
  ASSERT_EQ(1u, devices.size());
  EXPECT_TRUE(devices[0].driverConnected);
  EXPECT_EQ((std::vector<int>{1, 3}), devices[0].units);

  // Written after: it comes as a slot write.
  driver.Write(298, "Rack 3");
  ASSERT_TRUE(WaitUntil([&] { return Unit(3)->location == "Rack 3"; }));

  // A new version alone, with the same units and addresses, is shown too.
  WriteSettings("SNMPVersion=2c\n");
  ASSERT_TRUE(WaitUntil([&] { return Unit(3)->snmpVersion == "2c"; }));
}

// The units of a device whose driver or infodriver is away are shown as
// such, and come back by themselves when it returns.
TEST_F(DeviceHubTest, FollowsTheDriverAndTheInfodriverComingAndGoing) {
  ASSERT_FALSE(infodriver_->failed());
  auto driver = StartLive(false, {});

  driver.reset();
  ASSERT_TRUE(WaitUntil([&] { return !Live(); }));
  EXPECT_FALSE(Unit(1)->answering());
  EXPECT_FALSE(hub_->Devices()[0].driverConnected);
  EXPECT_TRUE(hub_->Devices()[0].infodriverConnected);

  driver = std::make_unique<ScriptedDriver>(false);
  ASSERT_TRUE(driver->Start());
  ASSERT_TRUE(WaitUntil([&] { return Live(); }));

  driver.reset();
  EXPECT_EQ(0, infodriver_->stop(SIGTERM));
  ASSERT_TRUE(
      WaitUntil([&] { return !hub_->Devices()[0].infodriverConnected; }));
  EXPECT_FALSE(hub_->Devices()[0].problem.empty());

  infodriver_ = std::make_unique<InfodriverProcess>(INFODRIVER_BIN, kDevice);
  ASSERT_FALSE(infodriver_->failed());
  driver = std::make_unique<ScriptedDriver>(false);
  ASSERT_TRUE(driver->Start());
  driver->Write(98, "back again");
  ASSERT_TRUE(
      WaitUntil([&] { return Live() && Unit(1)->location == "back again"; }));
  EXPECT_GE(hub_->GetCounters().reconnects, 2u);
}

TEST_F(DeviceHubTest, ARequestIsConfirmedByTheSlot) {
  ASSERT_FALSE(infodriver_->failed());
  auto driver = StartLive(true, {{43, "0"}, {292, "0"}});

  ControlUpdate u =
      hub_->RequestControl("studio", kDevice, 1, *ParseControlPoint("output/3"),
                           "1", ControlDeadlineFrom(TheSystemClock().NowMs()));
  EXPECT_EQ(ControlStage::kAccepted, u.stage) << u.reason;
  ASSERT_TRUE(WaitUntil([&] { return Finished(u.id); }));
  EXPECT_EQ((std::vector<ControlStage>{ControlStage::kAccepted,
                                       ControlStage::kConfirmed}),
            StagesOf(u.id));
  EXPECT_EQ(ControlStage::kConfirmed, hub_->Control(u.id)->stage);
  EXPECT_EQ("1", hub_->Control(u.id)->slotText);
  EXPECT_EQ(true, Unit(1)->outputs[0].on);
  // Exactly one request, for the right slot of the right unit.
  EXPECT_EQ((std::vector<std::pair<int, std::string>>{{43, "1"}}),
            driver->Requests());

  // Unit 3's delay of output 12 lives in slot 292.
  ControlUpdate d = hub_->RequestControl(
      "studio", kDevice, 3, *ParseControlPoint("output/12/on_delay"), "50",
      ControlDeadlineFrom(TheSystemClock().NowMs()));
  EXPECT_EQ(ControlStage::kAccepted, d.stage) << d.reason;
  ASSERT_TRUE(WaitUntil([&] { return Finished(d.id); }));
  EXPECT_EQ(ControlStage::kConfirmed, StagesOf(d.id).back());
  EXPECT_EQ(292, driver->Requests().back().first);
}

TEST_F(DeviceHubTest, ARequestTheUnitNeverShowsIsNotConfirmed) {
  ASSERT_FALSE(infodriver_->failed());
  auto driver = StartLive(false, {{43, "0"}});

  ControlUpdate u =
      hub_->RequestControl("studio", kDevice, 1, *ParseControlPoint("output/3"),
                           "1", ControlDeadlineFrom(TheSystemClock().NowMs()));
  ASSERT_EQ(ControlStage::kAccepted, u.stage);
  // Another slot changing is no confirmation.
  driver->Write(44, "1");
  ASSERT_TRUE(WaitUntil([&] { return Finished(u.id); }));
  EXPECT_EQ(ControlStage::kNotConfirmed, StagesOf(u.id).back());
  EXPECT_EQ("0", hub_->Control(u.id)->slotText);
  EXPECT_EQ(1u, hub_->GetCounters().controlNotConfirmed);
}

// A driver that does not answer by the deadline leaves the outcome open:
// the request is pending, not refused, until the late answer ends it.
TEST_F(DeviceHubTest, AStalledDriverLeavesTheRequestPendingUntilItAnswers) {
  ASSERT_FALSE(infodriver_->failed());
  auto driver = StartLive(false, {{43, "0"}});
  const ControlPoint output3 = *ParseControlPoint("output/3");

  ControlUpdate late = hub_->RequestControl("studio", kDevice, 1, output3, "1",
                                            TheSystemClock().NowMs());
  EXPECT_EQ(ControlStage::kExpired, late.stage);

  driver->stalled = true;
  ControlUpdate u = hub_->RequestControl("studio", kDevice, 1, output3, "1",
                                         TheSystemClock().NowMs() + 200);
  EXPECT_EQ(ControlStage::kPending, u.stage) << u.reason;
  EXPECT_EQ(ControlStage::kPending, hub_->Control(u.id)->stage);
  driver->answer = INFO_EXPIRED;
  driver->stalled = false;
  ASSERT_TRUE(WaitUntil([&] { return Finished(u.id); }));
  EXPECT_EQ(ControlStage::kExpired, StagesOf(u.id).back());
  EXPECT_EQ(ControlStage::kExpired, hub_->Control(u.id)->stage);
  EXPECT_EQ(1u, driver->Requests().size());
}

TEST_F(DeviceHubTest, RefusedRequestsAskNothing) {
  ASSERT_FALSE(infodriver_->failed());
  auto driver = StartLive(true, {{41, "0"}});

  struct Case {
    const char* what;
    std::string site;
    int device;
    int unit;
    const char* point;
    const char* value;
  };
  const Case cases[] = {
      {"unit not configured", "studio", kDevice, 2, "output/1", "1"},
      {"unit beyond 40", "studio", kDevice, 41, "output/1", "1"},
      {"device not served", "studio", kDevice + 1, 1, "output/1", "1"},
      {"other site", "elsewhere", kDevice, 1, "output/1", "1"},
      {"bad value", "studio", kDevice, 1, "output/1", "2"},
      {"rounded delay", "studio", kDevice, 1, "sequential_delay", "15"},
      {"output not reported yet", "studio", kDevice, 1, "output/5", "1"},
      {"polarity not reported yet", "studio", kDevice, 1, "gpi/2/polarity",
       "1"},
  };
  for (const Case& c : cases) {
    ControlUpdate u = hub_->RequestControl(
        c.site, c.device, c.unit, *ParseControlPoint(c.point), c.value,
        ControlDeadlineFrom(TheSystemClock().NowMs()));
    EXPECT_EQ(ControlStage::kRefused, u.stage) << c.what;
    EXPECT_FALSE(u.reason.empty()) << c.what;
  }
  EXPECT_TRUE(driver->Requests().empty());
  driver->Stop();  // the infodriver sees its driver go
  driver.reset();
  ASSERT_TRUE(WaitUntil([&] { return !Live(); }));
  ControlUpdate u =
      hub_->RequestControl("studio", kDevice, 1, *ParseControlPoint("output/1"),
                           "1", ControlDeadlineFrom(TheSystemClock().NowMs()));
  EXPECT_EQ(ControlStage::kRefused, u.stage);
  EXPECT_NE(std::string::npos, u.reason.find("no driver")) << u.reason;
  EXPECT_EQ(9u, hub_->GetCounters().controlRefused);
}

// A trail folder that takes nothing (a full disk, through the file-system
// seam) holds no request up: the driver takes it as ever, and the failed
// writes reach the hub for qor_web's metric.
TEST_F(DeviceHubTest, AFullTrailFolderIsCountedAndControlStillAnswers) {
  infodriver_.reset();  // this device's infodriver runs here, on the seam
  FaultInjectingFileSystem full;
  full.FailAppend(ENOSPC);
  EventLoop loop;
  InfodriverServer server(kDevice, &loop);
  AuditTrail::Options trail;
  trail.directory = dir_.string();
  trail.device = kDevice;
  trail.fs = &full;
  server.useControlAudit(std::make_unique<ControlAudit>(
      kDevice, std::make_unique<AuditTrail>(trail), ""));
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  std::thread serving([&] { loop.Run(); });
  {
    auto driver = StartLive(true, {{43, "0"}});
    ControlUpdate u = hub_->RequestControl(
        "studio", kDevice, 1, *ParseControlPoint("output/3"), "1",
        ControlDeadlineFrom(TheSystemClock().NowMs()));
    EXPECT_EQ(ControlStage::kAccepted, u.stage) << u.reason;
    ASSERT_TRUE(WaitUntil([&] { return Finished(u.id); }));
    EXPECT_EQ(ControlStage::kConfirmed, StagesOf(u.id).back());
    EXPECT_TRUE(WaitUntil([&] {
      std::optional<uint64_t> failures = hub_->Devices()[0].auditWriteFailures;
      return failures && *failures > 0;
    }));
    hub_.reset();
  }
  loop.Post([&] {
    server.stop();
    loop.Quit(0);
  });
  serving.join();
}

}  // namespace
