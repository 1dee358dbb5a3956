// soak_tool: the load and the final check of the driver's soak run
// (scripts/soak.sh).
//
//   soak_tool load --device D --units N --community C --trap-port P
//                  --seconds S [--stats FILE]
//       for S seconds: a trap from a random unit every 10 ms, a slot-change
//       request for a random control slot every 20 ms, and infodriver
//       clients that connect, watch, read or misbehave and vanish; a
//       watcher counts each unit's communication-state changes.
//   soak_tool check --device D --units N --community C [--deadline S]
//                  [--rescan --trap-port P]
//       until every unit's block equals what its agent serves (each agent
//       walked afresh every round), or the deadline; --rescan first sends
//       every unit the temperature trap its agent's state implies and a
//       cold-start trap, so that it walks at once. Exit 0 when
//       all agree, 1 otherwise, with the differences printed.
//
// Every figure goes to standard output (and --stats) as key=value lines.

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "soak/mdu_traffic.h"

using namespace mdu_traffic;

namespace {

struct Options {
  int device = 0;
  int units = 40;
  std::string community = "public";
  int trapPort = 162;
  int seconds = 60;
  int deadline = 120;
  bool rescan = false;
  std::string stats;
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--device")
      o->device = std::atoi(value());
    else if (a == "--units")
      o->units = std::atoi(value());
    else if (a == "--community")
      o->community = value();
    else if (a == "--trap-port")
      o->trapPort = std::atoi(value());
    else if (a == "--seconds")
      o->seconds = std::atoi(value());
    else if (a == "--deadline")
      o->deadline = std::atoi(value());
    else if (a == "--stats")
      o->stats = value();
    else if (a == "--rescan")
      o->rescan = true;
    else
      return false;
  }
  return o->device > 0 && o->units >= 1 && o->units <= 40;
}

std::string UnitHost(int unit) { return "127.0.1." + std::to_string(unit); }

const std::string kMdu = "1.3.6.1.4.1.6853";

class Traps {
 public:
  Traps(const Options& o) : o_(o) {
    for (int n = 1; n <= o.units; ++n)
      fds_.push_back(BoundUdpSocket(UnitHost(n)));
  }
  ~Traps() {
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  bool Send(int unit, const std::string& trapOid,
            const std::vector<Binding>& bindings) {
    int fd = fds_[unit - 1];
    return fd >= 0 && SendUdp(fd, "127.0.0.1", o_.trapPort,
                              EncodeTrap(o_.community, trapOid, bindings));
  }

 private:
  const Options& o_;
  std::vector<int> fds_;
};

// A client that comes and goes.
struct Visitor {
  std::unique_ptr<InfoClient> client;
  int64_t leaveAtUs = 0;
  bool reads = false;
};

int Load(const Options& o) {
  std::mt19937 rng(static_cast<unsigned>(getpid()));
  auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
  };
  Traps traps(o);
  InfoClient control, watcher;
  std::map<std::string, long> stats;
  std::vector<int> commsFailed(o.units + 1, 0), commsBack(o.units + 1, 0);
  std::vector<Visitor> visitors;

  const int64_t start = NowUs();
  const int64_t end = start + o.seconds * 1000000LL;
  int64_t nextTrap = start, nextSet = start, nextVisitor = start;

  auto connectWatcher = [&] {
    if (watcher.connected()) return;
    if (watcher.Connect(o.device) &&
        watcher.Request(INFO_WATCH, 0, "", 5000).has_value())
      return;
    watcher.Close();
    ++stats["watcher_reconnect_failed"];
  };
  connectWatcher();

  while (NowUs() < end) {
    const int64_t now = NowUs();
    if (now >= nextTrap) {
      nextTrap += 10000;
      const int unit = pick(1, o.units);
      const int kind = pick(0, 99);
      bool sent;
      if (kind < 40) {
        sent =
            traps.Send(unit, kMdu + ".0." + (kind < 20 ? "5" : "6"),
                       {{kMdu + ".2.5.0", 0x02, std::to_string(pick(20, 80))}});
      } else if (kind < 60) {
        sent = traps.Send(unit, kMdu + ".0.7",
                          {{kMdu + ".3.5.0", 0x04,
                            "Inlet " + std::to_string(pick(1, 2)) + ": " +
                                (pick(0, 1) ? "ok" : "lost")}});
      } else if (kind < 98) {
        // An alarm row as the unit has it (rows 1-4 fuses, 5-20 GPIs),
        // with a new state and polarity.
        const int row = pick(1, 20);
        const std::string r = "." + std::to_string(row);
        const std::string a = kMdu + ".2.2.1.";
        sent = traps.Send(
            unit, kMdu + ".0.4",
            {{a + "1" + r, 0x02, std::to_string(row)},
             {a + "2" + r, 0x02, row <= 4 ? "3" : "2"},
             {a + "3" + r, 0x02, std::to_string(row <= 4 ? row : row - 4)},
             {a + "4" + r, 0x04, "Alarm" + r},
             {a + "5" + r, 0x02, std::to_string(pick(0, 1))},
             {a + "6" + r, 0x02, std::to_string(pick(0, 1))}});
      } else {
        sent = traps.Send(unit, "1.3.6.1.6.3.1.1.5.1", {});
      }
      ++stats[sent ? "traps_sent" : "traps_failed"];
    }
    if (now >= nextSet) {
      nextSet += 20000;
      if (!control.connected() && !control.Connect(o.device))
        ++stats["control_connect_failed"];
      const int unit = pick(1, o.units);
      const int kind = pick(0, 99);
      int slot;
      std::string text;
      if (kind < 35) {
        slot = 40 + pick(1, 12);
        text = std::to_string(pick(0, 1));
      } else if (kind < 65) {
        slot = 80 + pick(1, 12);
        text = std::to_string(pick(0, 255) * 10);
      } else if (kind < 80) {
        slot = 20 + pick(1, 16);
        text = std::to_string(pick(0, 1));
      } else if (kind < 90) {
        slot = 98;
        text = "Rack " + std::to_string(pick(1, 99)) + ": 'row' " +
               std::to_string(pick(1, 9));
      } else if (kind < 95) {
        slot = 80 + pick(1, 12);
        text = "9999";  // out of range: refused, the unit keeps its delay
      } else {
        slot = 95;  // a measurement: not controllable
        text = "12";
      }
      if (control.connected() &&
          control.Send(WVN_SLOTCHANGE, (unit - 1) * 100 + slot, text) != 0)
        ++stats["changes_sent"];
      else
        ++stats["changes_failed"];
    }
    if (now >= nextVisitor) {
      nextVisitor += 100000;
      if (visitors.size() < 8) {
        Visitor v;
        v.client = std::make_unique<InfoClient>();
        v.leaveAtUs = now + pick(20, 1500) * 1000LL;
        v.reads = pick(0, 1) == 1;
        if (!v.client->Connect(o.device)) {
          ++stats["visitor_connect_failed"];
        } else {
          ++stats["visitors"];
          const int what = pick(0, 9);
          if (what < 5) {
            v.client->Send(INFO_WATCH, 0, "");
          } else if (what < 8) {
            for (int i = 0; i < 20; ++i)
              v.client->Send(WVN_READSLOT, pick(0, 4095), "");
          } else {
            // A peer that cannot speak the protocol: a short message.
            const char junk[5] = {1, 2, 3, 4, 5};
            if (write(v.client->fd(), junk, sizeof junk) < 0)
              ++stats["visitor_junk_failed"];
          }
          visitors.push_back(std::move(v));
        }
      }
    }
    for (auto it = visitors.begin(); it != visitors.end();) {
      if (now >= it->leaveAtUs || !it->client->connected())
        it = visitors.erase(it);  // vanishes, answered or not
      else
        ++it;
    }

    // Wait for whatever comes first: a message or the next job.
    std::vector<pollfd> fds;
    if (control.connected()) fds.push_back({control.fd(), POLLIN, 0});
    if (watcher.connected()) fds.push_back({watcher.fd(), POLLIN, 0});
    for (const Visitor& v : visitors)
      if (v.reads) fds.push_back({v.client->fd(), POLLIN, 0});
    int64_t wake = std::min(nextTrap, std::min(nextSet, nextVisitor));
    int waitMs =
        static_cast<int>(std::max<int64_t>(0, (wake - NowUs()) / 1000));
    poll(fds.data(), fds.size(), waitMs);

    while (auto m = control.Next(0))
      if (m->message == INFO_RESULT)
        ++stats[m->wParam == 1 ? "changes_accepted" : "changes_refused"];
    while (auto m = watcher.Next(0)) {
      if (m->message != INFO_SLOTWRITTEN || m->wParam % 100 != 99) continue;
      const int unit = static_cast<int>(m->wParam / 100) + 1;
      if (unit > o.units) continue;
      if (m->text == "1") ++commsFailed[unit];
      if (m->text == "0") ++commsBack[unit];
    }
    if (!watcher.connected()) connectWatcher();
    for (Visitor& v : visitors)
      if (v.reads)
        while (v.client->Next(0)) ++stats["visitor_messages"];
  }

  std::ostringstream out;
  for (const auto& [key, value] : stats) out << key << "=" << value << "\n";
  std::string failed, back;
  for (int n = 1; n <= o.units; ++n) {
    if (commsFailed[n]) failed += " " + std::to_string(n);
    if (commsBack[n]) back += " " + std::to_string(n);
  }
  out << "units_comms_failed=" << failed << "\n";
  out << "units_comms_back=" << back << "\n";
  std::fputs(out.str().c_str(), stdout);
  if (!o.stats.empty()) std::ofstream(o.stats) << out.str();
  return 0;
}

int Check(const Options& o) {
  if (o.rescan) {
    // Slot 94 follows the temperature traps once the unit has derived it,
    // so each unit first gets the trap that its agent's own temperature
    // implies; then a cold start makes it walk everything at once.
    Traps traps(o);
    for (int n = 1; n <= o.units; ++n) {
      auto walk = Walk(UnitHost(n), o.community, kMdu, 1000);
      if (walk) {
        const auto block = BlockFromWalk(*walk);
        if (block.count(95) && block.count(94))
          traps.Send(n, kMdu + (block.at(94) == "2" ? ".0.5" : ".0.6"),
                     {{kMdu + ".2.5.0", 0x02, block.at(95)}});
      }
      traps.Send(n, "1.3.6.1.6.3.1.1.5.1", {});
    }
  }
  const int64_t until = NowUs() + o.deadline * 1000000LL;
  std::vector<std::string> problems;
  for (;;) {
    problems.clear();
    InfoClient client;
    std::optional<std::map<int, std::string>> slots;
    if (client.Connect(o.device)) slots = client.Dump(10000);
    if (!slots) {
      problems.push_back("the infodriver does not answer a dump");
    } else {
      for (int n = 1; n <= o.units; ++n) {
        auto walk = Walk(UnitHost(n), o.community, kMdu, 1000);
        if (!walk || walk->empty()) {
          problems.push_back("unit " + std::to_string(n) +
                             ": its agent does not answer");
          continue;
        }
        const std::map<int, std::string> want = BlockFromWalk(*walk);
        for (int r = 0; r < 100; ++r) {
          const int s = (n - 1) * 100 + r;
          const std::string have = slots->count(s) ? slots->at(s) : "";
          const std::string expected = want.count(r) ? want.at(r) : "";
          if (have != expected)
            problems.push_back("unit " + std::to_string(n) + " slot " +
                               std::to_string(s) + ": '" + have +
                               "', agent says '" + expected + "'");
        }
      }
      for (const auto& [s, text] : *slots)
        if (s % 100 == 0 || s >= o.units * 100)
          problems.push_back("slot " + std::to_string(s) +
                             " outside the units' blocks: '" + text + "'");
    }
    if (problems.empty() || NowUs() >= until) break;
    sleep(2);
  }
  for (const std::string& p : problems) std::printf("MISMATCH %s\n", p.c_str());
  std::printf("blocks_checked=%d\nmismatches=%zu\n", o.units, problems.size());
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc < 2 || !Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: soak_tool load|check --device D [--units N] "
                 "[--community C] [--trap-port P] [--seconds S] "
                 "[--deadline S] [--rescan] [--stats FILE]\n");
    return 2;
  }
  const std::string command = argv[1];
  if (command == "load") return Load(o);
  if (command == "check") return Check(o);
  std::fprintf(stderr, "soak_tool: unknown command %s\n", command.c_str());
  return 2;
}
