// qor_web under four devices of forty units: the delay from a slot write
// to the page's event, the cost of a /metrics scrape, and qor_web's memory.
// A scripted driver per device (a raw infodriver peer) writes the slots, as
// a driver of forty answering units would; qor_web is the real program.
//
//   web_bench [--changes N] [--scrapes N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/infodriver_process.h"
#include "support/process.h"
#include "testing/http_client.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDevices[] = {81, 82, 83, 84};
constexpr int kUnits = 40;

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), n);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

// A unit's block as a driver publishes it for an answering MDU.
void WriteUnit(RawPeer* peer, int unit) {
  int base = 100 * (unit - 1);
  auto w = [&](int slot, const std::string& text) {
    peer->send({WVN_WRITESLOT, 0, base + slot, 0, text});
  };
  for (int n = 1; n <= 16; ++n) {
    w(n, n % 5 == 0 ? "1" : "0");
    w(20 + n, "0");
  }
  for (int n = 1; n <= 12; ++n) {
    w(40 + n, n % 2 ? "1" : "0");
    w(80 + n, std::to_string(n * 10));
    w(60 + n, "0");
  }
  w(78, "2");
  w(79, "70");
  w(94, "1");
  w(95, "40");
  w(96, "47");
  w(97, "Inlet A ok, inlet B ok");
  w(98, "Rack " + std::to_string(unit));
  w(99, "0");
}

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t close = text.rfind(')');
  std::vector<std::string> fields;
  size_t pos = close + 2;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    fields.push_back(text.substr(pos, end - pos));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  // utime and stime are fields 14 and 15 of the line (11 and 12 here).
  return (std::stod(fields[11]) + std::stod(fields[12])) /
         sysconf(_SC_CLK_TCK);
}

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  int changes = 500, scrapes = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--changes") changes = std::atoi(argv[i + 1]);
    if (a == "--scrapes") scrapes = std::atoi(argv[i + 1]);
  }
  TempRuntimeDir rundir;
  fs::path root = "/tmp/qor_web_bench_" + std::to_string(getpid());
  fs::create_directories(root / "sys" / "config" / "system");
  setenv("QX_ROOT", root.c_str(), 1);
  setenv("QX_SYSTEM", "sys", 1);
  std::vector<std::unique_ptr<InfodriverProcess>> infodrivers;
  std::vector<std::unique_ptr<RawPeer>> drivers;
  for (int device : kDevices) {
    char name[32];
    std::snprintf(name, sizeof name, "dev_%03d.ini", device);
    std::ofstream ini(root / "sys" / "config" / "system" / name);
    for (int n = 1; n <= kUnits; ++n)
      ini << "[QOR_MDU_" << n << "]\nSNMPAddress=127.0.1." << n << "\n";
    ini.close();
    infodrivers.push_back(
        std::make_unique<InfodriverProcess>(INFODRIVER_BIN, device));
    drivers.push_back(std::make_unique<RawPeer>(device));
    if (!drivers.back()->becomeDriver(device)) {
      std::fprintf(stderr, "cannot become the driver of %d\n", device);
      return 1;
    }
    for (int n = 1; n <= kUnits; ++n) WriteUnit(drivers.back().get(), n);
  }
  uint16_t port = FreePort();
  std::vector<std::string> args = {"--listen",
                                   "127.0.0.1:" + std::to_string(port)};
  for (int device : kDevices) args.push_back(std::to_string(device));
  qor_test::Process web(QOR_WEB_BIN, args);
  bool ready = qor_test::WaitFor(
      [&] {
        HttpAnswer a = HttpGet(port, "/metrics");
        size_t up = 0;
        for (size_t p = a.body.find("\nqor_mdu_up{"); p != std::string::npos;
             p = a.body.find("\nqor_mdu_up{", p + 1))
          if (a.body.compare(a.body.find('}', p) + 1, 3, " 1\n") == 0) ++up;
        return up == 4 * kUnits;
      },
      std::chrono::seconds(60));
  if (!ready) {
    std::fprintf(stderr, "qor_web does not show 160 units up: %s\n",
                 web.Stderr().c_str());
    return 1;
  }

  // Slot change -> event on an open stream.
  EventStreamReader stream(port);
  stream.ReadUntil([](const std::string& t) {
    return t.find("\"unit\":40") != std::string::npos &&
           t.find("\"device\":84") != std::string::npos;
  });
  std::vector<double> delays;
  for (int i = 0; i < changes; ++i) {
    int d = i % 4, unit = 1 + (i * 7) % kUnits;
    std::string value = std::to_string(1000 + i);
    std::string needle = "\"celsius\":" + value + "}";
    auto t0 = Clock::now();
    drivers[d]->send({WVN_WRITESLOT, 0, 100 * (unit - 1) + 95, 0, value});
    if (!stream.ReadUntil([&](const std::string& t) {
          return t.find(needle, t.size() > 200000 ? t.size() - 200000 : 0) !=
                 std::string::npos;
        })) {
      std::fprintf(stderr, "change %d never reached the stream\n", i);
      return 1;
    }
    delays.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }

  // /metrics of 160 units.
  std::vector<double> scrapeMs;
  size_t bytes = 0;
  double cpu0 = CpuSeconds(web.pid());
  for (int i = 0; i < scrapes; ++i) {
    auto t0 = Clock::now();
    HttpAnswer a = HttpGet(port, "/metrics");
    scrapeMs.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    bytes = a.body.size();
  }
  double cpuPerScrape = (CpuSeconds(web.pid()) - cpu0) / scrapes * 1000;

  std::printf("units: %d (4 devices x %d)\n", 4 * kUnits, kUnits);
  std::printf("slot change -> event: p50 %.2f ms, p99 %.2f ms, max %.2f ms "
              "(%d changes)\n",
              Percentile(delays, 0.5), Percentile(delays, 0.99),
              Percentile(delays, 1.0), changes);
  std::printf("/metrics: median %.2f ms, p99 %.2f ms, %zu bytes, CPU %.2f ms "
              "per scrape (%d scrapes)\n",
              Percentile(scrapeMs, 0.5), Percentile(scrapeMs, 0.99), bytes,
              cpuPerScrape, scrapes);
  std::printf("qor_web RSS: %.1f MiB\n", RssKiB(web.pid()) / 1024.0);
  stream.Close();
  drivers.clear();
  infodrivers.clear();
  fs::remove_all(root);
  return 0;
}
