// Cost of one polled value through the model: handleValue -> storeSlot
// (slot read through the infodriver link, conversion, queue) -> drain ->
// updateSlot. The values are those of the simulated unit (sim/mdu.data), so
// the mix of scalars and table cells is that of a real walk; the walk ends
// are left out (the engine's part).
//
//   mdu_value_bench [--data FILE] [--passes N] [--socket DEVICE] [--debug]
//
// By default the link talks to an in-memory infodriver, so the figure is the
// driver's own CPU; --socket DEVICE connects the link to a running
// `infodriver DEVICE` instead (wall time then includes the round trips of
// every slot read and write). --debug turns the unit's log lines on.
//
// Only RunPasses does the measured work, so callgrind can count it alone:
//   valgrind --tool=callgrind --toggle-collect='*RunPasses*' mdu_value_bench

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/testing/in_memory_infodriver.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "mdu/cqor_mdl.h"
#include "platform/debug_output.h"
#include "snmp/testing/fake_snmp_api.h"
#include "support/sim_data.h"

namespace {

struct Value {
  std::string oid;
  std::string text;
};

// The objects of the data file with their values as the agent serves them
// for unit 1 (value texts as the SNMP layer formats them).
std::vector<Value> LoadValues(const std::string& path) {
  std::vector<Value> values;
  for (const qor_test::SimObject& o : qor_test::ReadSimObjects(path, 1))
    values.push_back({o.oid, o.value});
  return values;
}

// Each pass feeds every value once and then drains the buffer into the
// infodriver, as the 10 ms timer does during a fast walk.
__attribute__((noinline)) void RunPasses(Cqor_mdl& unit, inf_buffer& buffer,
                                         const std::vector<Value>& values,
                                         int passes) {
  for (int p = 0; p < passes; ++p) {
    for (const Value& v : values) {
      unit.handleValue(v.oid.c_str(), v.text.c_str());
    }
    while (eiData* data = buffer.getData()) {
      TheInfodriverLink().updateSlot(data->slot(), data->text());
      delete data;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string data = MDU_DATA_FILE;
  int passes = 2000;
  int socketDevice = 0;
  bool debug = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else if (arg == "--passes" && i + 1 < argc) {
      passes = std::atoi(argv[++i]);
    } else if (arg == "--socket" && i + 1 < argc) {
      socketDevice = std::atoi(argv[++i]);
    } else if (arg == "--debug") {
      debug = true;
    } else {
      std::fprintf(stderr,
                   "usage: mdu_value_bench [--data FILE] [--passes N] "
                   "[--socket DEVICE] [--debug]\n");
      return 2;
    }
  }
  const std::vector<Value> values = LoadValues(data);
  if (values.empty() || passes < 1) {
    std::fprintf(stderr, "no values in %s\n", data.c_str());
    return 1;
  }

  debugMode = debug ? 1 : 0;
  logMode = 0;
  TheLogFile().initWithDirectory(9, "mdu_bench", true, true, "/tmp");
  SetDebugOutputSink([](const char*) {});

  FakeSnmpApi fake;
  ScopedSnmpApi useFake(&fake);
  std::unique_ptr<InMemoryInfodriver> memory;
  if (socketDevice > 0) {
    if (TheInfodriverLink().connect(socketDevice) != IFSTAT_OK) {
      std::fprintf(stderr, "no infodriver %d\n", socketDevice);
      return 1;
    }
  } else {
    memory = std::make_unique<InMemoryInfodriver>(9);
    memory->attach(TheInfodriverLink());
  }

  inf_buffer buffer;
  {
    Cqor_mdl unit(0, 1);
    unit.setAddress("127.0.1.201");
    unit.infBuffer = &buffer;
    unit.infodriverLink = &TheInfodriverLink();
    // Past the first scan: log lines only for changes, as in steady state.
    RunPasses(unit, buffer, values, 1);
    unit.firstScan = false;

    const auto start = std::chrono::steady_clock::now();
    RunPasses(unit, buffer, values, passes);
    const auto end = std::chrono::steady_clock::now();
    const double ns =
        std::chrono::duration<double, std::nano>(end - start).count();
    const double perValue = ns / (static_cast<double>(passes) * values.size());
    std::printf("values per pass: %zu, passes: %d, infodriver: %s, debug: %s\n",
                values.size(), passes + 1,
                socketDevice > 0 ? "socket" : "in memory",
                debug ? "on" : "off");
    std::printf("wall time per polled value: %.0f ns\n", perValue);
    std::printf("values measured (for callgrind's Ir / value): %zu\n",
                values.size() * static_cast<size_t>(passes + 1));
  }
  if (socketDevice > 0) TheInfodriverLink().disconnect();
  return 0;
}
