// Throughput of the infodriver link over the real socket:
//   1. updateSlot calls per second (each a slot read, a comparison and, when
//      the text differs, a write), for changing and for unchanged texts;
//   2. a burst of 4,000 queued slot writes drained in one tick, as the 10 ms
//      timer does: count, then getData / updateSlot / delete until empty.
// Starts its own infodriver in a private runtime directory.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "platform/event_loop.h"
#include "support/infodriver_process.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kDevice = 901;
constexpr int kRepetitions = 5;

double Seconds(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// updateSlot calls per second over |calls| calls; |changing| alternates two
// texts so that every call writes.
double UpdateRate(extinfo& link, int calls, bool changing) {
  const std::string a = "Output 1 On  delay 120";
  const std::string b = "Output 1 Off delay 120";
  link.updateSlot(500, a.c_str());
  const auto start = SteadyClock::now();
  for (int i = 0; i < calls; ++i) {
    const std::string& text = changing && (i & 1) == 0 ? b : a;
    link.updateSlot(500 + (changing ? 0 : i % 99), text.c_str());
  }
  return calls / Seconds(start);
}

// One drain tick over |n| queued writes to distinct slots; seconds.
double DrainBurst(extinfo& link, inf_buffer& buffer, int n, int round) {
  for (int i = 0; i < n; ++i) {
    const std::string text =
        "value " + std::to_string(i) + " round " + std::to_string(round);
    buffer.addData(i % 4000, text.c_str());
  }
  const auto start = SteadyClock::now();
  while (buffer.count() > 0) {
    std::unique_ptr<eiData> record(buffer.getData());
    if (record) link.updateSlot(record->slot(), record->text());
  }
  return Seconds(start);
}

}  // namespace

int main() {
  TempRuntimeDir rundir;
  InfodriverProcess infodriver(INFODRIVER_BIN, kDevice);
  if (infodriver.failed()) {
    std::fprintf(stderr, "infodriver_bench: cannot start %s\n", INFODRIVER_BIN);
    return 1;
  }
  EventLoop loop;
  extinfo link(&loop);
  if (link.connect(kDevice) != IFSTAT_OK) {
    std::fprintf(stderr, "infodriver_bench: cannot connect\n");
    return 1;
  }

  std::vector<double> changing, unchanged, drain;
  for (int r = 0; r < kRepetitions; ++r) {
    changing.push_back(UpdateRate(link, 20000, true));
    unchanged.push_back(UpdateRate(link, 20000, false));
  }
  inf_buffer buffer;
  for (int r = 0; r < kRepetitions; ++r)
    drain.push_back(DrainBurst(link, buffer, 4000, r));

  std::printf("updateSlot, text changes (read + write): %10.0f calls/s\n",
              Median(changing));
  std::printf("updateSlot, text unchanged (read only):  %10.0f calls/s\n",
              Median(unchanged));
  std::printf(
      "drain of 4000 queued writes in one tick: %10.1f ms"
      " (median of %d; min %.1f, max %.1f)\n",
      Median(drain) * 1000, kRepetitions,
      *std::min_element(drain.begin(), drain.end()) * 1000,
      *std::max_element(drain.begin(), drain.end()) * 1000);
  link.disconnect();
  return 0;
}
