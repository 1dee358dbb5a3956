// The time of one fast walk of a unit's 160-object subtree through the
// polling engine and the real SNMP layer, against a local snmpd, side by side
// with net-snmp's own `snmpwalk -v1` of the same subtree in the same run.
//
//   engine_walk_bench [--runs N] [--address A] [--alarm-rows R] [--cpu C]
//
// Runs are interleaved (engine walk, snmpwalk, snmpget) so that both see
// the same machine load; medians are printed. snmpwalk's figure includes
// starting a process; snmpget of one object measures that start-up (plus
// one round trip), so "snmpwalk - snmpget" is snmpwalk's walk alone.
//
// Everything (this program, snmpd, snmpwalk) runs on CPU C (default 0; -1
// leaves the scheduler free): a round trip between two processes on
// different CPUs of a small virtual machine costs two to three times as
// much as on one, and a fresh snmpwalk lands on either CPU at random, which
// makes unpinned figures bimodal.

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/snmp_device.h"
#include "logging/log.h"
#include "platform/main_loop.h"
#include "support/mdu_like_subtree.h"
#include "support/process.h"
#include "support/snmpd_agent.h"

namespace {

using Clock = std::chrono::steady_clock;

class BenchUnit : public SnmpDevice {
 public:
  BenchUnit() : SnmpDevice("1.3.6.1.4.1.6853", 0, 1) {}
  int handleValue(const char* oid, const char* value) override {
    if (std::strncmp(oid, deviceOid.c_str(), deviceOid.size()) == 0) {
      replyCount += 1;
      checkComms(true);
    }
    return 0;
  }
  void fastPollDone() override { walksDone += 1; }
  bool commsChanged(bool failed) override { return true; }
  bool handleTrap(const char* trapOid, HSNMP_VBL vbl) override { return false; }
  int walksDone = 0;
};

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time (user + system) of this process or of its waited-for children.
double CpuMs(int who) {
  struct rusage ru {};
  getrusage(who, &ru);
  return ru.ru_utime.tv_sec * 1e3 + ru.ru_utime.tv_usec / 1e3 +
         ru.ru_stime.tv_sec * 1e3 + ru.ru_stime.tv_usec / 1e3;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs a tool with its output discarded; returns its wall time in ms, or a
// negative number when it failed.
double TimeTool(const std::vector<std::string>& args) {
  qor_test::SpawnOptions o;
  o.argv = args;
  o.in = STDIN_FILENO;
  const auto t0 = Clock::now();
  const pid_t pid = qor_test::Spawn(o);
  if (pid < 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = Ms(Clock::now() - t0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// One fast walk from the start OID to its end; returns its wall time.
double TimeEngineWalk(BenchUnit& unit, uint32_t* requests) {
  const int done = unit.walksDone;
  const uint32_t sent = unit.sentCount;
  const auto t0 = Clock::now();
  unit.startScan();
  unit.PollNext();
  const auto deadline = t0 + std::chrono::seconds(30);
  while (unit.walksDone == done && Clock::now() < deadline) {
    TheMainLoop().RunOnce(50);
  }
  const double ms = Ms(Clock::now() - t0);
  *requests = unit.sentCount - sent;
  return unit.walksDone == done ? -1 : ms;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 30;
  std::string address = "127.0.1.201";
  int alarmRows = 19;
  int cpu = 0;
  int engineOnly = 0;  // N > 0: only N engine walks (for a profiler)
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (opt == "--address") address = argv[i + 1];
    if (opt == "--alarm-rows") alarmRows = std::max(0, std::atoi(argv[i + 1]));
    if (opt == "--cpu") cpu = std::atoi(argv[i + 1]);
    if (opt == "--engine-only") engineOnly = std::atoi(argv[i + 1]);
  }
  if (cpu >= 0) {
    // Children (snmpd, snmpwalk, snmpget) inherit the mask.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
      std::perror("sched_setaffinity");
      return 1;
    }
  }
  debugMode = 0;  // no debug channels, as a driver runs in service
  logMode = 0;
  const std::string trapPort = std::to_string(qor_test::FreeUdpPort());
  setenv("ZARN_SNMP_TRAP_PORT", trapPort.c_str(), 1);

  const auto objects = engine_test::MduLikeSubtree(alarmRows);
  const std::string community = "public";
  qor_test::SnmpdAgent agent(address, community, objects);
  if (!agent.Start()) {
    std::fprintf(stderr, "snmpd did not start:\n%s\n", agent.log().c_str());
    return 1;
  }

  BenchUnit unit;
  unit.setAddress(address.c_str());
  unit.setCommunity(community.c_str());
  if (unit.init_snmp(unit.address, unit.community, 161, "127.0.0.1", 0) != 0) {
    std::fprintf(stderr, "init_snmp failed\n");
    return 1;
  }

  const std::vector<std::string> walk = {
      "/usr/bin/snmpwalk", "-v1", "-c", community, "-On", "-m", "", address,
      "1.3.6.1.4.1.6853"};
  const std::vector<std::string> get = {
      "/usr/bin/snmpget", "-v1", "-c", community, "-On", "-m", "", address,
      objects[0].oid};

  uint32_t requests = 0;
  TimeEngineWalk(unit, &requests);  // warm-up: session, caches
  if (engineOnly > 0) {
    std::vector<double> ms;
    for (int i = 0; i < engineOnly; ++i) {
      ms.push_back(TimeEngineWalk(unit, &requests));
    }
    std::printf("engine fast walk %.2f ms (median of %d)\n", Median(ms),
                engineOnly);
    return 0;
  }
  TimeTool(walk);

  std::vector<double> engineMs, walkMs, getMs;
  double engineCpu = 0, walkCpu = 0, getCpu = 0;
  for (int i = 0; i < runs; ++i) {
    const double self0 = CpuMs(RUSAGE_SELF);
    const double e = TimeEngineWalk(unit, &requests);
    engineCpu += CpuMs(RUSAGE_SELF) - self0;
    const double child0 = CpuMs(RUSAGE_CHILDREN);
    const double w = TimeTool(walk);
    const double child1 = CpuMs(RUSAGE_CHILDREN);
    const double g = TimeTool(get);
    walkCpu += child1 - child0;
    getCpu += CpuMs(RUSAGE_CHILDREN) - child1;
    if (e < 0 || w < 0 || g < 0) {
      std::fprintf(stderr,
                   "run %d failed (engine %.2f, snmpwalk %.2f, "
                   "snmpget %.2f)\n",
                   i, e, w, g);
      return 1;
    }
    engineMs.push_back(e);
    walkMs.push_back(w);
    getMs.push_back(g);
  }

  const double e = Median(engineMs);
  const double w = Median(walkMs);
  const double g = Median(getMs);
  std::printf("subtree: %zu objects on %s (snmpd), %d runs, medians, %s\n",
              objects.size(), address.c_str(), runs,
              cpu >= 0 ? ("all on CPU " + std::to_string(cpu)).c_str()
                       : "CPUs unpinned");
  std::printf(
      "engine fast walk          %8.2f ms  (%u requests, %.1f us each)\n", e,
      requests, 1000 * e / requests);
  std::printf("snmpwalk -v1 (process)    %8.2f ms\n", w);
  std::printf("snmpget -v1, one object   %8.2f ms  (process start-up)\n", g);
  std::printf("snmpwalk - snmpget        %8.2f ms  (the walk alone)\n", w - g);
  std::printf("engine / snmpwalk         %8.2f\n", e / w);
  std::printf("engine / (walk alone)     %8.2f\n", e / (w - g));
  std::printf(
      "CPU per walk (mean): engine %.2f ms, snmpwalk %.2f ms, "
      "snmpget %.2f ms\n",
      engineCpu / runs, walkCpu / runs, getCpu / runs);
  return 0;
}
