// Cost of one GetNext round trip through the driver's SNMP layer (CsnmpZarn
// over NetSnmpApi on an event loop) against a real snmpd, side by side with
// net-snmp's own `snmpwalk -v1` over the same subtree of the same agent in
// the same run.
//
//   snmp_walk_bench [--objects N] [--walks K] [--address 127.0.1.241]
//                   [--bulk R]
//
// With --bulk R the layer walks as a version 2c unit does, with GetBulk of
// R repetitions, beside `snmpbulkwalk -v2c -CrR`; the first walk of each
// (the unit's first walk, snmpbulkwalk's first run) is given as well.
//
// snmpwalk is a new process per walk, so its figures are given twice: as
// measured, and with its start-up taken out (the difference between a walk
// of the whole subtree and a walk of a one-object subtree, divided by the
// difference in requests).
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/event_loop.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/net_snmp_api.h"
#include "support/snmpd_agent.h"

namespace {

const char kSubtree[] = "1.3.6.1.4.1.6853.1";
const char kSmallSubtree[] = "1.3.6.1.4.1.6853.2";
const char kCommunity[] = "bench";

double WallUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double CpuUs(int who) {
  struct rusage ru;
  getrusage(who, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec +
         ru.ru_stime.tv_usec;
}

// Walks a subtree as the engine's fast walk does: the next GetNext goes out
// from inside the reply's handling.
class Walker : public CsnmpZarn {
 public:
  // Returns the number of requests the walk took, 0 on a failure.
  int bulk = 0;  // repetitions of a GetBulk walk; 0 walks with GetNext

  int Walk(EventLoop& loop, const std::string& subtree) {
    prefix_ = subtree + ".";
    done_ = false;
    failed_ = false;
    requests_ = 0;
    Next(subtree);
    while (!done_) loop.RunOnce(1000);
    return failed_ ? 0 : requests_;
  }

 protected:
  HSNMP_VBL SNMPReply(HSNMP_PDU pdu) override {
    int32_t status = 0;
    HSNMP_VBL vbl = nullptr;
    TheSnmpApi().GetPduData(pdu, nullptr, nullptr, &status, nullptr, &vbl);
    char oid[256] = "", value[256] = "";
    const uint32_t count = TheSnmpApi().CountVbl(vbl);
    for (uint32_t i = 1; i <= count && !done_; ++i) {
      getOid(vbl, i, sizeof oid, oid);
      GetValue(vbl, i, sizeof value, value);
      const uint32_t syntax = bulk ? getSyntax(vbl, i) : 0;
      if (status != 0 || syntax >= 0x80 ||
          std::strncmp(oid, prefix_.c_str(), prefix_.size()))
        done_ = true;
    }
    if (!done_) Next(oid);
    return vbl;
  }
  void SNMPError(uint32_t code, uint32_t requestId) override {
    failed_ = done_ = true;
  }

 private:
  void Next(const std::string& oid) {
    ++requests_;
    if (sendRequest(bulk ? 0xA5 : 0xA1, oid.c_str(), nullptr, 0,
                    0x10000 + requests_) != 0)
      failed_ = done_ = true;
  }

  std::string prefix_;
  bool done_ = false;
  bool failed_ = false;
  int requests_ = 0;
};

struct Figures {
  double wallUs = 0;
  double cpuUs = 0;
  long requests = 0;
};

Figures RunSnmpwalk(const std::string& endpoint, const char* subtree, int walks,
                    int objects, int bulk = 0) {
  Figures f;
  double wall0 = WallUs(), cpu0 = CpuUs(RUSAGE_CHILDREN);
  for (int i = 0; i < walks; ++i) {
    std::vector<std::string> argv = {"/usr/bin/snmpwalk", "-v1"};
    if (bulk)
      argv = {"/usr/bin/snmpbulkwalk", "-v2c", "-Cr" + std::to_string(bulk)};
    argv.insert(argv.end(), {"-c", kCommunity, "-On", "-r0", "-t5",
                             "udp:" + endpoint, subtree});
    qor_test::ToolResult r = qor_test::RunTool(
        argv, 60000, {{"MIBS", ""}, {"SNMPCONFPATH", "/nonexistent"}});
    if (r.exitCode != 0) {
      std::fprintf(stderr, "snmpwalk failed: %s\n", r.output.c_str());
      std::exit(1);
    }
    f.requests += bulk ? objects / bulk + 1 : objects + 1;
  }
  f.wallUs = WallUs() - wall0;
  f.cpuUs = CpuUs(RUSAGE_CHILDREN) - cpu0;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int objects = 200;
  int walks = 20;
  std::string address = "127.0.1.241";
  int bulk = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--objects")) objects = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--walks")) walks = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--address")) address = argv[i + 1];
    if (!std::strcmp(argv[i], "--bulk")) bulk = std::atoi(argv[i + 1]);
  }
  if (objects < 2 || walks < 1) {
    std::fprintf(stderr,
                 "usage: %s [--objects N>=2] [--walks K>=1] "
                 "[--address A]\n",
                 argv[0]);
    return 2;
  }
  SetDebugOutputSink([](const char*) {});
  setenv("ZARN_SNMP_TRAP_PORT", std::to_string(qor_test::FreeUdpPort()).c_str(),
         1);

  // An MDU-like subtree: scalars and table columns of mixed types, and a
  // one-object subtree beside it for snmpwalk's start-up cost.
  std::vector<qor_test::SnmpdObject> agentObjects;
  const char* types[] = {"integer", "octet_str", "timeticks", "uinteger"};
  for (int i = 0; i < objects; ++i) {
    std::string oid = std::string(kSubtree) + "." + std::to_string(1 + i / 12) +
                      ".1." + std::to_string(1 + i % 12);
    const char* type = types[i % 4];
    std::string value = std::string(type) == "octet_str"
                            ? "Output " + std::to_string(i)
                            : std::to_string(i * 7);
    agentObjects.push_back({oid, type, value, false});
  }
  agentObjects.push_back(
      {std::string(kSmallSubtree) + ".1.0", "integer", "1", false});
  qor_test::SnmpdAgent agent(address, kCommunity, agentObjects);
  if (!agent.Start()) {
    std::fprintf(stderr, "snmpd did not start:\n%s\n", agent.log().c_str());
    return 1;
  }

  EventLoop loop;
  NetSnmpApi api(loop);
  ScopedSnmpApi use(&api);
  Walker walker;
  walker.bulk = bulk;
  if (bulk) {
    walker.security.version = SnmpSecurity::Version::kV2c;
    walker.security.maxRepetitions = static_cast<uint32_t>(bulk);
  }
  if (walker.init_snmp(address.c_str(), kCommunity, 161, "127.0.0.1", 0) != 0) {
    std::fprintf(stderr, "init_snmp failed\n");
    return 1;
  }
  // The first walk of each is the unit's first walk (warm-up for the rest),
  // then the measured runs.
  double first0 = WallUs();
  const int firstRequests = walker.Walk(loop, kSubtree);
  const double firstWall = WallUs() - first0;
  if (firstRequests == 0 || (!bulk && firstRequests != objects + 1)) {
    std::fprintf(stderr, "the layer's walk did not read %d objects\n", objects);
    return 1;
  }
  const Figures firstTool =
      RunSnmpwalk(agent.endpoint(), kSubtree, 1, objects, bulk);

  Figures layer;
  double wall0 = WallUs(), cpu0 = CpuUs(RUSAGE_SELF);
  for (int i = 0; i < walks; ++i) layer.requests += walker.Walk(loop, kSubtree);
  layer.wallUs = WallUs() - wall0;
  layer.cpuUs = CpuUs(RUSAGE_SELF) - cpu0;

  Figures big = RunSnmpwalk(agent.endpoint(), kSubtree, walks, objects, bulk);
  Figures small = RunSnmpwalk(agent.endpoint(), kSmallSubtree, walks, 1, bulk);
  walker.closeSnmp();

  double layerWall = layer.wallUs / layer.requests;
  double layerCpu = layer.cpuUs / layer.requests;
  double walkWall = big.wallUs / big.requests;
  double walkCpu = big.cpuUs / big.requests;
  double marginalRequests = static_cast<double>(big.requests - small.requests);
  double walkWallMarginal = (big.wallUs - small.wallUs) / marginalRequests;
  double walkCpuMarginal = (big.cpuUs - small.cpuUs) / marginalRequests;

  const char* tool = bulk ? "snmpbulkwalk -v2c" : "snmpwalk -v1";
  std::printf(
      "%s round trip against snmpd on %s: %d objects, %d walks "
      "(%d requests each)\n",
      bulk ? "GetBulk" : "GetNext", agent.endpoint().c_str(), objects, walks,
      firstRequests);
  std::printf("first walk: layer %.1f ms, %s %.1f ms (ratio %.2f)\n",
              firstWall / 1000, tool, firstTool.wallUs / 1000,
              firstWall / firstTool.wallUs);
  std::printf("%-34s %12s %12s\n", "", "wall us/req", "cpu us/req");
  std::printf("%-34s %12.1f %12.1f\n", "layer (CsnmpZarn + NetSnmpApi)",
              layerWall, layerCpu);
  std::printf("%-34s %12.1f %12.1f\n", (std::string(tool) + ", as measured").c_str(),
              walkWall, walkCpu);
  std::printf("%-34s %12.1f %12.1f\n",
              (std::string(tool) + ", start-up taken out").c_str(),
              walkWallMarginal, walkCpuMarginal);
  std::printf("%-34s %12.2f %12.2f\n", "ratio layer / snmpwalk (measured)",
              layerWall / walkWall, layerCpu / walkCpu);
  std::printf("%-34s %12.2f %12.2f\n", "ratio layer / snmpwalk (no start-up)",
              layerWall / walkWallMarginal, layerCpu / walkCpuMarginal);
  std::printf(
      "(cpu of the layer: this process; of snmpwalk: the snmpwalk "
      "processes; snmpd's own time is in neither)\n");
  return 0;
}
