// What the MQTT bridge costs: a slot change to a subscriber's message, the
// full republish of 160 units after a connection, the CPU of an idle
// qor_mqtt process serving 40 units, and the memory of qor_mqtt and of
// broker-mode qor_web through a flood of `set` messages and two 100 MB
// messages. A real infodriver, a driver played on its socket, a mosquitto
// of its own on a free port; nothing of the machine's own is touched.
//
//   build/bench/mqtt_bench [CHANGES] [IDLE_SECONDS] [FLOOD]
//                                          (default 1000 30 200000)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "integration/mqtt/mosquitto_broker.h"
#include "mqtt/mqtt_client.h"
#include "mqtt_bridge.h"
#include "support/infodriver_process.h"
#include "testing/http_client.h"
#include "unitview/device_hub.h"
#include "unitview/testing/fake_unit_source.h"

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kDevice = 71;

double Ms(Steady::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The driver's side of the infodriver: writes slots; takes every slot
// change request, as a driver whose unit does what it is told: accepts it
// and writes the slot, and counts them.
class PlayedDriver {
 public:
  bool Start() {
    peer_ = std::make_unique<RawPeer>(kDevice);
    if (!peer_->connected() || !peer_->becomeDriver(kDevice)) return false;
    drain_ = std::thread([this] {
      while (!stop_) {
        InfoMessage m;
        if (!peer_->receive(&m, 50) || m.message != WVN_SLOTCHANGE) continue;
        ++slotChanges_;
        std::lock_guard<std::mutex> lock(mu_);
        peer_->send({INFO_RESULT, m.sequence, 1, WVN_SLOTCHANGE, ""});
        peer_->send({WVN_WRITESLOT, 0, m.wParam, 0, m.text});
      }
    });
    return true;
  }
  int slotChanges() const { return slotChanges_; }
  ~PlayedDriver() {
    stop_ = true;
    if (drain_.joinable()) drain_.join();
  }
  void Write(int slot, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    peer_->send({WVN_WRITESLOT, 0, slot, 0, text});
  }

 private:
  std::unique_ptr<RawPeer> peer_;
  std::thread drain_;
  std::atomic<bool> stop_{false};
  std::atomic<int> slotChanges_{0};
  std::mutex mu_;
};

void WriteSettings(const fs::path& root, int units) {
  fs::create_directories(root / "sys" / "config" / "system");
  std::ofstream ini(root / "sys" / "config" / "system" / "dev_071.ini");
  ini << "[qor_mdu]\n";
  for (int u = 1; u <= units; ++u)
    ini << "[QOR_MDU_" << u << "]\nSNMPAddress=192.0.2." << u << "\n";
}

void FillUnits(PlayedDriver& driver, int units) {
  for (int u = 1; u <= units; ++u) {
    int base = UnitSlotOffset(u);
    for (int n = 1; n <= 16; ++n) driver.Write(base + n, "0");
    for (int n = 21; n <= 36; ++n) driver.Write(base + n, "1");
    for (int n = 41; n <= 52; ++n) driver.Write(base + n, n % 2 ? "1" : "0");
    for (int n = 61; n <= 72; ++n) driver.Write(base + n, "0");
    for (int n = 81; n <= 92; ++n) driver.Write(base + n, "10");
    driver.Write(base + 78, "2");
    driver.Write(base + 79, "70");
    driver.Write(base + 94, "1");
    driver.Write(base + 95, "40");
    driver.Write(base + 96, "47");
    driver.Write(base + 97, "Inlet A ok");
    driver.Write(base + 98, "Rack " + std::to_string(u));
    driver.Write(base + 99, "0");
  }
}

// A subscriber that hands each message to |onMessage|.
std::unique_ptr<MqttClient> Subscribe(
    int port, const std::string& pattern,
    std::function<void(const MqttMessage&)> f) {
  MqttOptions o;
  o.port = port;
  auto c = MakeMosquittoClient(o);
  MqttClient* raw = c.get();
  c->SetHandlers(
      {[raw, pattern] { raw->Subscribe(pattern, 0); }, nullptr, f, nullptr});
  std::string error;
  c->Start(&error);
  return c;
}

void Latency(int port, int changes) {
  PlayedDriver driver;
  if (!driver.Start()) return (void)std::fprintf(stderr, "no driver link\n");
  FillUnits(driver, 1);
  HubOptions ho;
  ho.devices = {kDevice};
  ho.site = "bench";
  DeviceHub hub(ho);
  MqttOptions mo;
  mo.port = port;
  auto client = MakeMosquittoClient(mo);
  BridgeOptions bo;
  bo.site = "bench";
  bo.maxWaitingRequests = 16;
  MqttBridge bridge(&hub, client.get(), bo);
  bridge.Attach();
  hub.Start();
  std::string error;
  client->Start(&error);

  std::mutex mu;
  std::condition_variable cv;
  std::string last;
  auto sub =
      Subscribe(port, "qor/bench/71/1/output/1", [&](const MqttMessage& m) {
        std::lock_guard<std::mutex> lock(mu);
        last = m.payload;
        cv.notify_all();
      });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return last == "1"; });
  }
  std::vector<double> ms;
  for (int i = 0; i < changes; ++i) {
    std::string want = i % 2 ? "1" : "0";
    auto start = Steady::now();
    driver.Write(41, want);
    std::unique_lock<std::mutex> lock(mu);
    if (!cv.wait_for(lock, std::chrono::seconds(5),
                     [&] { return last == want; })) {
      std::fprintf(stderr, "change %d did not arrive\n", i);
      continue;
    }
    ms.push_back(Ms(Steady::now() - start));
  }
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return;
  std::printf(
      "slot change -> subscriber: %zu changes, p50 %.2f ms, p99 %.2f ms, max "
      "%.2f ms\n",
      ms.size(), ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
  sub->Stop();
  client->Stop();
  bridge.Detach();
  hub.Stop();
}

void Republish(int port) {
  FakeUnitSource source;
  for (int d = 1; d <= 4; ++d)
    for (int u = 1; u <= 40; ++u) {
      std::map<int, std::string> slots;
      for (int n = 1; n <= 99; ++n)
        if (!SlotMeaning(n).empty()) slots[n] = std::to_string(n % 3);
      slots[98] = "Rack " + std::to_string(u);
      slots[99] = "0";
      source.SetUnit(FakeUnit("many", d, u, slots));
    }
  std::mutex mu;
  std::condition_variable cv;
  size_t count = 0;
  bool online = false;
  auto sub = Subscribe(port, "qor/many/#", [&](const MqttMessage& m) {
    std::lock_guard<std::mutex> lock(mu);
    ++count;
    if (m.topic == "qor/many/status" && m.payload == "online") online = true;
    cv.notify_all();
  });
  while (!sub->connected())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int round = 0; round < 3; ++round) {
    {
      std::lock_guard<std::mutex> lock(mu);
      count = 0;
      online = false;
    }
    MqttOptions mo;
    mo.port = port;
    auto client = MakeMosquittoClient(mo);
    BridgeOptions bo;
    bo.site = "many";
    bo.maxWaitingRequests = 16;
    MqttBridge bridge(&source, client.get(), bo);
    bridge.Attach();
    auto start = Steady::now();
    std::string error;
    client->Start(&error);
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(30), [&] { return online; });
    double took = Ms(Steady::now() - start);
    size_t seen = count;
    lock.unlock();
    std::printf(
        "full republish of 160 units (connection to the last message at the "
        "subscriber): %.1f ms, %llu messages published, %zu seen\n",
        took, static_cast<unsigned long long>(bridge.counters().published),
        seen);
    client->Stop();
    bridge.Detach();
  }
  sub->Stop();
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  auto close = text.rfind(')');
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

void IdleCpu(int port, int seconds) {
  PlayedDriver driver;
  if (!driver.Start()) return;
  FillUnits(driver, 40);
  qor_test::ChildProcess bridge;
  bridge.Start({QOR_MQTT_BIN, "--broker", "127.0.0.1:" + std::to_string(port),
                "--site", "idle", std::to_string(kDevice)});
  // Up once all 40 units are on the broker.
  std::mutex mu;
  std::set<std::string> states;
  auto sub = Subscribe(port, "qor/idle/71/+/state", [&](const MqttMessage& m) {
    std::lock_guard<std::mutex> lock(mu);
    states.insert(m.topic);
  });
  auto deadline = Steady::now() + std::chrono::seconds(30);
  while (Steady::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (states.size() == 40) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  sub->Stop();
  if (states.size() != 40 || !bridge.Running()) {
    std::fprintf(stderr, "qor_mqtt did not publish the 40 units (%zu)\n",
                 states.size());
    return;
  }
  double before = CpuSeconds(bridge.pid());
  auto start = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  if (!bridge.Running()) {
    std::fprintf(stderr, "qor_mqtt ended while measured\n");
    return;
  }
  double used = CpuSeconds(bridge.pid()) - before;
  double wall = Ms(Steady::now() - start) / 1000.0;
  std::printf(
      "qor_mqtt at 40 units, steady: %.3f %% of a core over %.0f s (%.2f s "
      "CPU)\n",
      100.0 * used / wall, wall, used);
  bridge.Stop();
}

// VmRSS and VmHWM (the peak) of |pid| in MiB.
std::string Memory(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line, rss = "?", peak = "?";
  while (std::getline(status, line)) {
    std::istringstream in(line);
    std::string key;
    long kb = 0;
    in >> key >> kb;
    char mib[32];
    std::snprintf(mib, sizeof mib, "%.1f", kb / 1024.0);
    if (key == "VmRSS:") rss = mib;
    if (key == "VmHWM:") peak = mib;
  }
  return "RSS " + rss + " MiB (peak " + peak + " MiB)";
}

// qor_mqtt with control and broker-mode qor_web against one broker: their
// memory before and after |count| set messages on one output as fast as
// one client sends them, then after a 100 MB location/set and a 100 MB
// retained state.
void FloodAndHugeMessages(int port, int count, const fs::path& dir) {
  PlayedDriver driver;
  if (!driver.Start()) return;
  FillUnits(driver, 1);
  const std::string broker = "127.0.0.1:" + std::to_string(port);
  qor_test::ChildProcess bridge;
  bridge.Start({QOR_MQTT_BIN, "--broker", broker, "--site", "flood",
                "--allow-control", std::to_string(kDevice)},
               {}, (dir / "qor_mqtt.log").string());
  const int webPort = FreeTcpPort();
  qor_test::ChildProcess web;
  web.Start({QOR_WEB_BIN, "--listen", "127.0.0.1:" + std::to_string(webPort),
             "--broker", broker},
            {}, (dir / "qor_web.log").string());
  const std::string base = "qor/flood/71/1/";
  std::mutex mu;
  size_t results = 0, busy = 0, accepted = 0;
  auto sub =
      Subscribe(port, base + "output/2/result", [&](const MqttMessage& m) {
        std::lock_guard<std::mutex> lock(mu);
        ++results;
        if (m.payload.find("\"busy\":true") != std::string::npos) ++busy;
        if (m.payload.find("\"accepted\"") != std::string::npos) ++accepted;
      });
  // Up once qor_web shows the unit.
  auto deadline = Steady::now() + std::chrono::seconds(30);
  while (Steady::now() < deadline &&
         HttpGet(static_cast<uint16_t>(webPort), "/api/v1/units")
                 .body.find("\"flood\"") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("before:            qor_mqtt %s, qor_web %s\n",
              Memory(bridge.pid()).c_str(), Memory(web.pid()).c_str());

  MqttOptions mo;
  mo.port = port;
  auto flood = MakeMosquittoClient(mo);
  std::string error;
  flood->Start(&error);
  while (!flood->connected())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto start = Steady::now();
  for (int i = 0; i < count; ++i)
    flood->Publish({base + "output/2/set", i % 2 ? "1" : "0"});
  double sent = Ms(Steady::now() - start) / 1000.0;
  // Done once no answer has come for 3 s.
  size_t last = SIZE_MAX;
  while (true) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::lock_guard<std::mutex> lock(mu);
    if (results == last) break;
    last = results;
  }
  flood->Stop();
  std::printf(
      "flood:             %d set messages sent in %.1f s; %zu answers (%zu "
      "busy, %zu accepted); %d slot changes at the driver\n",
      count, sent, results, busy, accepted, driver.slotChanges());
  std::printf("after the flood:   qor_mqtt %s, qor_web %s\n",
              Memory(bridge.pid()).c_str(), Memory(web.pid()).c_str());

  const std::string huge = (dir / "huge").string();
  {
    std::ofstream out(huge);
    std::string mib(1 << 20, 'x');
    for (int i = 0; i < 100; ++i) out << mib;
  }
  Publish(port, {"-t", base + "location/set", "-f", huge});
  Publish(port, {"-r", "-t", "qor/huge/1/1/state", "-f", huge});
  std::this_thread::sleep_for(std::chrono::seconds(5));
  HttpAnswer units = HttpGet(static_cast<uint16_t>(webPort), "/api/v1/units");
  std::printf(
      "after 100 MB x 2:  qor_mqtt %s, qor_web %s; GET /api/v1/units %zu "
      "bytes\n",
      Memory(bridge.pid()).c_str(), Memory(web.pid()).c_str(),
      units.body.size());
  Publish(port, {"-r", "-n", "-t", "qor/huge/1/1/state"});
  fs::remove(huge);
  sub->Stop();
  web.Stop();
  bridge.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  int changes = argc > 1 ? std::atoi(argv[1]) : 1000;
  int idle = argc > 2 ? std::atoi(argv[2]) : 30;
  int flood = argc > 3 ? std::atoi(argv[3]) : 200000;
  signal(SIGPIPE, SIG_IGN);
  fs::path root = "/tmp/qor_mqtt_bench_" + std::to_string(getpid());
  WriteSettings(root, 40);
  setenv("QX_ROOT", root.c_str(), 1);
  setenv("QX_SYSTEM", "sys", 1);
  {
    TempRuntimeDir rundir;
    MosquittoBroker broker(root / "broker", FreeTcpPort());
    if (!broker.Start()) {
      std::fprintf(stderr, "mosquitto did not start\n");
      return 1;
    }
    InfodriverProcess infodriver(INFODRIVER_BIN, kDevice);
    if (infodriver.failed()) return 1;
    Latency(broker.port(), changes);
    Republish(broker.port());
    IdleCpu(broker.port(), idle);
    FloodAndHugeMessages(broker.port(), flood, root);
  }
  fs::remove_all(root);
  return 0;
}
