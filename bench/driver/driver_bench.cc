// driver_bench: the whole driver measured from outside, each figure next to
// a peer measured in the same run. The agents (sim/mdu_agent.sh on
// 127.0.1.FIRST.., port 161) are started by bench/driver/run.sh; this
// program starts the infodriver and the driver itself, in a private
// runtime directory, and reads the wire with a packet socket on the
// loopback interface (root), so nothing in the driver is instrumented.
//
//   driver_bench --bin DIR --work DIR [--first 201] [--community C]
//                [--device D] MODE [options]
//
//   walk --units N --runs K   the driver's fast walks from its start, and
//                             N snmpwalk -v1 started at once
//   steady --units N --warmup S --seconds S
//                             CPU and RSS of a driver polling N units
//   trap --runs K             trap sent -> slot write seen by a client, and a
//                             slot-change echo (client -> driver -> slot) seen
//                             by the same client
//   set --runs K              slot-change request sent -> the Set on the wire
//   idle --warmup S --seconds S
//                             wake-ups (context switches) and CPU of a driver
//                             polling one unit, and of a process that only
//                             wakes at the poll tick
//   bigwalk --runs K          one unit with many objects: driver start to the
//                             walk's last slot seen by a watching client, and
//                             snmpwalk -v1 of the same agent from its start
//   rewrite                   rewrites of the settings file at a first start
//                             with keys missing, and at the start after it
//   callgrind --valgrind-out FILE
//                             one unit's fast walk under callgrind (the driver
//                             started through valgrind); prints the values
//                             the driver received
//   fresh --runs K [--pause-max S] [--max-wait S]
//                             one unit's location changed on its agent
//                             (snmpset, no trap) at random moments -> the
//                             new text in slot 98 seen by a watching client
//
// Every mode takes the units' SNMP settings: --snmp-version 1|2c|3 and, for
// version 3 (authPriv, SHA and AES), --user U --auth-file F --priv-file F.
// steady also gives the driver's CPU from utime + stime (/proc/PID/stat)
// and how many of its units answer (slot 99) when the figures are taken.
//
// Output: key=value lines (times in microseconds), read by bench/run_all.sh.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "soak/mdu_traffic.h"
#include "support/infodriver_process.h"
#include "support/process.h"
#include "support/snmpd_agent.h"

using namespace mdu_traffic;
namespace fs = std::filesystem;

namespace {

const std::string kSubtree = "1.3.6.1.4.1.6853";

struct Options {
  std::string bin, work, community = "public", valgrindOut;
  int first = 201, device = 90, units = 1, runs = 10, warmup = 60, seconds = 60;
  // fresh: the pause before each change is 1 s to pauseMax s; a change not
  // in its slot after maxWait s is counted lost.
  int pauseMax = 10, maxWait = 60;
  // Empty: the driver's default (version 1).
  std::string snmpVersion, user, authFile, privFile;
  std::string mode;
};

std::string Host(const Options& o, int unit) {
  return "127.0.1." + std::to_string(o.first + unit - 1);
}

// ---- processes ----------------------------------------------------------

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out) {
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  qor_test::SpawnOptions o;
  o.argv = argv;
  o.in = STDIN_FILENO;
  o.out = o.err = fd;
  pid_t pid = qor_test::Spawn(o);
  if (fd >= 0) close(fd);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    usleep(50000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Nanoseconds on a CPU (user + system) of a live process.
int64_t CpuNs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  int64_t ns = 0;
  if (in >> ns) return ns;
  return -1;
}

// Voluntary plus involuntary context switches: each is a wake-up of the
// process, or a preemption.
long ContextSwitches(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  long n = 0;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      n += std::atol(line.c_str() + line.find(':') + 1);
  return n;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// ---- the wire -------------------------------------------------------------

struct Packet {
  int64_t us = 0;
  std::string src, dst;
  int sport = 0, dport = 0;
  Pdu pdu;
};

// SNMP datagrams on the loopback interface, each once, with the kernel's
// time stamp.
class Sniffer {
 public:
  bool Open() {
    fd_ = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    if (fd_ < 0) return false;
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_IP);
    a.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    int size = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    return bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Sniffer() {
    if (fd_ >= 0) close(fd_);
  }
  void Drain() {
    Packet p;
    while (Next(0, &p)) {
    }
  }
  // One SNMP packet within |timeoutMs|; false when none came.
  bool Next(int timeoutMs, Packet* p) {
    const int64_t until = NowUs() + timeoutMs * 1000LL;
    for (;;) {
      int64_t left = (until - NowUs()) / 1000;
      pollfd pf{fd_, POLLIN, 0};
      if (poll(&pf, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0)
        return false;
      uint8_t buf[65536];
      char control[256];
      sockaddr_ll from{};
      iovec iov{buf, sizeof buf};
      msghdr m{};
      m.msg_name = &from;
      m.msg_namelen = sizeof from;
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      ssize_t n = recvmsg(fd_, &m, MSG_DONTWAIT);
      if (n <= 0) continue;
      // Loopback shows every datagram leaving and arriving: keep one.
      if (from.sll_pkttype == PACKET_OUTGOING) continue;
      p->us = NowUs();
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
          timespec t;
          std::memcpy(&t, CMSG_DATA(c), sizeof t);
          p->us = t.tv_sec * 1000000LL + t.tv_nsec / 1000;
        }
      if (n < 28) continue;
      const iphdr* ip = reinterpret_cast<const iphdr*>(buf);
      if (ip->protocol != IPPROTO_UDP) continue;
      const size_t ihl = ip->ihl * 4u;
      if (static_cast<size_t>(n) < ihl + 8) continue;
      const udphdr* udp = reinterpret_cast<const udphdr*>(buf + ihl);
      char a[INET_ADDRSTRLEN], b[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &ip->saddr, a, sizeof a);
      inet_ntop(AF_INET, &ip->daddr, b, sizeof b);
      p->src = a;
      p->dst = b;
      p->sport = ntohs(udp->source);
      p->dport = ntohs(udp->dest);
      if (p->sport != 161 && p->dport != 161) continue;
      if (!DecodePdu(buf + ihl + 8, n - ihl - 8, &p->pdu)) continue;
      return true;
    }
  }

 private:
  int fd_ = -1;
};

// ---- statistics -------------------------------------------------------------

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(q * (v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void Print(const std::string& key, double value) {
  std::printf("%s=%.2f\n", key.c_str(), value);
  std::fflush(stdout);
}

// ---- set-up -----------------------------------------------------------------

class Bench {
 public:
  explicit Bench(const Options& o) : o_(o) {
    fs::create_directories(o.work + "/sys/config/system");
    fs::create_directories(o.work + "/run");
    chmod((o.work + "/run").c_str(), 0700);
    setenv("QX_ROOT", o.work.c_str(), 1);
    setenv("QX_SYSTEM", "sys", 1);
    setenv("ZARN_RUNTIME_DIR", (o.work + "/run").c_str(), 1);
    trapPort_ = qor_test::FreeUdpPort();
    setenv("ZARN_SNMP_TRAP_PORT", std::to_string(trapPort_).c_str(), 1);
  }
  ~Bench() {
    Stop(driver_);
    Stop(infodriver_);
  }

  void Settings(int units, int pollDelay) {
    char name[64];
    std::snprintf(name, sizeof name, "/sys/config/system/dev_%03d.ini",
                  o_.device);
    std::ofstream ini(o_.work + name);
    ini << "[qor_mdu]\nDebugMode=0\nLogMode=0\nPollDelay=" << pollDelay << "\n";
    for (int n = 1; n <= units; ++n) {
      ini << "[QOR_MDU_" << n << "]\nSNMPAddress=" << Host(o_, n)
          << "\nSNMPCommunity=" << o_.community << "\n";
      if (!o_.snmpVersion.empty())
        ini << "SNMPVersion=" << o_.snmpVersion << "\n";
      if (o_.snmpVersion == "3")
        ini << "SNMPUser=" << o_.user
            << "\nSNMPSecurityLevel=authPriv\nSNMPAuthProtocol=SHA"
               "\nSNMPAuthPassFile="
            << o_.authFile
            << "\nSNMPPrivProtocol=AES\nSNMPPrivPassFile=" << o_.privFile
            << "\n";
    }
  }

  void StopInfodriver() {
    Stop(infodriver_);
    infodriver_ = 0;
  }
  std::string SettingsPath() const {
    char name[64];
    std::snprintf(name, sizeof name, "/sys/config/system/dev_%03d.ini",
                  o_.device);
    return o_.work + name;
  }

  bool StartInfodriver() {
    infodriver_ = Spawn({o_.bin + "/infodriver", std::to_string(o_.device)},
                        o_.work + "/infodriver.out");
    for (int i = 0; i < 100; ++i) {
      InfoClient c;
      if (c.Connect(o_.device) && c.Request(INFO_STATUS, 0, "", 1000))
        return true;
      usleep(50000);
    }
    return false;
  }

  pid_t StartDriver(const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(o_.bin + "/qor_mdu");
    argv.push_back(std::to_string(o_.device));
    driver_ = Spawn(argv, o_.work + "/driver.out");
    return driver_;
  }
  void StopDriver() {
    Stop(driver_);
    driver_ = 0;
  }
  // Until the infodriver sees no driver: the next one may take the device.
  void WaitDriverGone() {
    for (int i = 0; i < 100; ++i) {
      InfoClient c;
      auto r = c.Connect(o_.device) ? c.Request(INFO_STATUS, 0, "", 1000)
                                    : std::nullopt;
      if (r && r->wParam != 1) return;
      usleep(20000);
    }
  }
  bool WaitSlot(int slot, const std::string& text, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      InfoClient c;
      auto r = c.Connect(o_.device) ? c.Request(WVN_READSLOT, slot, "", 1000)
                                    : std::nullopt;
      if (r && r->text == text) return true;
      usleep(100000);
    }
    return false;
  }

  int trapPort() const { return trapPort_; }
  pid_t driver() const { return driver_; }

 private:
  const Options& o_;
  pid_t infodriver_ = 0, driver_ = 0;
  int trapPort_ = 0;
};

// ---- walks ----------------------------------------------------------------

// The walks of |units| agents as seen on the wire: from each agent's first
// GetNext to the reply that ends its walk (an error or a name outside the
// subtree). Stops when every walk has ended, or at the deadline.
struct WalkWatch {
  std::map<std::string, int64_t> first, end;
  std::map<std::string, long> values;
  int ended = 0;
  // Summed over the walks: reply -> next request (the walker's own time per
  // step) and request -> reply (the agent and the loopback).
  std::map<std::string, int64_t> lastRequest, lastReply;
  int64_t turnaroundUs = 0, agentUs = 0;

  void See(const Options& o, const Packet& p) {
    auto inRange = [&](const std::string& a) {
      if (a.rfind("127.0.1.", 0) != 0) return false;
      int last = std::atoi(a.c_str() + 8);
      return last >= o.first && last < o.first + o.units;
    };
    if (p.dport == 161 && p.pdu.type == 0xA1 && inRange(p.dst)) {
      if (!first.count(p.dst)) first[p.dst] = p.us;
      if (!end.count(p.dst) && lastReply.count(p.dst))
        turnaroundUs += p.us - lastReply[p.dst];
      lastRequest[p.dst] = p.us;
    } else if (p.sport == 161 && p.pdu.type == 0xA2 && inRange(p.src) &&
               first.count(p.src) && !end.count(p.src)) {
      agentUs += p.us - lastRequest[p.src];
      lastReply[p.src] = p.us;
      bool ours = p.pdu.errorStatus == 0 && p.pdu.bindings.size() == 1 &&
                  p.pdu.bindings[0].oid.rfind(kSubtree + ".", 0) == 0;
      if (ours) {
        ++values[p.src];
      } else {
        end[p.src] = p.us;
        ++ended;
      }
    }
  }
  int64_t Span() const {
    int64_t lo = INT64_MAX, hi = 0;
    for (auto& [a, t] : first) lo = std::min(lo, t);
    for (auto& [a, t] : end) hi = std::max(hi, t);
    return hi - lo;
  }
  int64_t LastEnd() const {
    int64_t hi = 0;
    for (auto& [a, t] : end) hi = std::max(hi, t);
    return hi;
  }
  long Values() const {
    long n = 0;
    for (auto& [a, v] : values) n += v;
    return n;
  }
};

int WalkBench(const Options& o) {
  Bench bench(o);
  bench.Settings(o.units, 1000);
  if (!bench.StartInfodriver()) return 1;
  Sniffer sniffer;
  if (!sniffer.Open()) {
    std::fprintf(stderr, "driver_bench: no packet socket (root?)\n");
    return 1;
  }
  std::vector<double> dWire, dExec, dCpuPerValue, pWire, pExec, pCpuPerValue;
  std::vector<double> dTurn, dAgent, pTurn, pAgent;
  for (int run = 0; run < o.runs; ++run) {
    // The peer: N snmpwalk processes started at once.
    {
      sniffer.Drain();
      WalkWatch w;
      const int64_t t0 = NowUs();
      std::vector<pid_t> pids;
      for (int n = 1; n <= o.units; ++n)
        pids.push_back(Spawn({"/usr/bin/snmpwalk", "-v1", "-c", o.community,
                              "-On", "-m", "", Host(o, n), kSubtree},
                             "/dev/null"));
      int64_t cpuUs = 0, lastExit = 0;
      size_t left = pids.size();
      while (left > 0 && NowUs() - t0 < 60000000) {
        Packet p;
        if (sniffer.Next(5, &p)) w.See(o, p);
        rusage ru;
        int status;
        pid_t done;
        while ((done = wait4(-1, &status, WNOHANG, &ru)) > 0) {
          --left;
          lastExit = NowUs();
          cpuUs += ru.ru_utime.tv_sec * 1000000LL + ru.ru_utime.tv_usec +
                   ru.ru_stime.tv_sec * 1000000LL + ru.ru_stime.tv_usec;
        }
      }
      Packet p;
      while (sniffer.Next(20, &p)) w.See(o, p);
      if (w.ended == o.units) {
        pWire.push_back(w.Span());
        pExec.push_back(lastExit - t0);
        pCpuPerValue.push_back(static_cast<double>(cpuUs) / w.Values());
        pTurn.push_back(static_cast<double>(w.turnaroundUs) / w.Values());
        pAgent.push_back(static_cast<double>(w.agentUs) / w.Values());
      }
    }
    // The driver: from its start to the end of its last fast walk.
    {
      sniffer.Drain();
      WalkWatch w;
      const int64_t t0 = NowUs();
      pid_t pid = bench.StartDriver();
      int64_t cpuNs = -1;
      while (w.ended < o.units && NowUs() - t0 < 60000000) {
        Packet p;
        if (sniffer.Next(100, &p)) w.See(o, p);
        if (w.ended == o.units) cpuNs = CpuNs(pid);
      }
      bench.StopDriver();
      bench.WaitDriverGone();
      if (w.ended == o.units && cpuNs >= 0) {
        dWire.push_back(w.Span());
        dExec.push_back(w.LastEnd() - t0);
        dCpuPerValue.push_back(cpuNs / 1000.0 / w.Values());
        dTurn.push_back(static_cast<double>(w.turnaroundUs) / w.Values());
        dAgent.push_back(static_cast<double>(w.agentUs) / w.Values());
        Print("run" + std::to_string(run) + "_values", w.Values());
      }
    }
  }
  Print("runs_ok", std::min(dWire.size(), pWire.size()));
  Print("driver_wire_us", Percentile(dWire, 0.5));
  Print("driver_exec_us", Percentile(dExec, 0.5));
  Print("driver_cpu_per_value_us", Percentile(dCpuPerValue, 0.5));
  Print("snmpwalk_wire_us", Percentile(pWire, 0.5));
  Print("snmpwalk_exec_us", Percentile(pExec, 0.5));
  Print("snmpwalk_cpu_per_value_us", Percentile(pCpuPerValue, 0.5));
  Print("driver_turnaround_per_value_us", Percentile(dTurn, 0.5));
  Print("driver_agent_per_value_us", Percentile(dAgent, 0.5));
  Print("snmpwalk_turnaround_per_value_us", Percentile(pTurn, 0.5));
  Print("snmpwalk_agent_per_value_us", Percentile(pAgent, 0.5));
  return dWire.empty() || pWire.empty() ? 1 : 0;
}

// ---- steady state
// -------------------------------------------------------------

int Steady(const Options& o) {
  Bench bench(o);
  bench.Settings(o.units, 1000);
  if (!bench.StartInfodriver()) return 1;
  pid_t pid = bench.StartDriver();
  std::this_thread::sleep_for(std::chrono::seconds(o.warmup));
  // The peer: a process that only wakes every 10 ms, as the driver's drain
  // timer makes it do, and polls nothing; what this machine charges for
  // the wake-ups alone.
  pid_t idle = fork();
  if (idle == 0) {
    for (;;) poll(nullptr, 0, 10);
  }
  usleep(100000);
  const int64_t idle0 = CpuNs(idle);
  const long cs0 = ContextSwitches(pid);
  const int64_t t0 = NowUs(), cpu0 = CpuNs(pid), ticks0 = CpuTicks(pid);
  const long rss0 = RssKb(pid);
  long rssMax = rss0;
  while (NowUs() - t0 < o.seconds * 1000000LL) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    rssMax = std::max(rssMax, RssKb(pid));
  }
  const int64_t t1 = NowUs(), cpu1 = CpuNs(pid), idle1 = CpuNs(idle);
  const int64_t ticks1 = CpuTicks(pid);
  const long cs1 = ContextSwitches(pid);
  kill(idle, SIGKILL);
  waitpid(idle, nullptr, 0);
  const long rss1 = RssKb(pid);
  bool alive = kill(pid, 0) == 0;
  // A unit that does not answer costs less than one that does: the figures
  // count only with every unit answering.
  int answering = 0;
  for (int n = 1; n <= o.units; ++n) {
    InfoClient c;
    auto r = c.Connect(o.device)
                 ? c.Request(WVN_READSLOT, (n - 1) * 100 + 99, "", 1000)
                 : std::nullopt;
    if (r && r->text == "0") ++answering;
  }
  // After the figures, for a profile: the system calls of the next few
  // seconds, counted by strace (QOR_BENCH_STRACE=FILE, strace installed).
  if (const char* out = getenv("QOR_BENCH_STRACE"); out && *out && alive) {
    pid_t tracer = Spawn(
        {"/usr/bin/strace", "-c", "-f", "-o", out, "-p", std::to_string(pid)},
        "/dev/null");
    std::this_thread::sleep_for(std::chrono::seconds(10));
    kill(tracer, SIGINT);
    waitpid(tracer, nullptr, 0);
  }
  bench.StopDriver();
  Print("cpu_percent", alive ? 100.0 * (cpu1 - cpu0) / 1000.0 / (t1 - t0) : -1);
  const double tickMs = 1000.0 / sysconf(_SC_CLK_TCK);
  const double statMs = (ticks1 - ticks0) * tickMs;
  Print("stat_cpu_ms", statMs);
  Print("stat_cpu_percent", 100.0 * statMs * 1000.0 / (t1 - t0));
  Print("stat_ms_per_unit_per_minute", statMs / o.units / ((t1 - t0) / 60e6));
  Print("units_answering", answering);
  Print("idle_loop_cpu_percent", 100.0 * (idle1 - idle0) / 1000.0 / (t1 - t0));
  Print("wakeups_per_s", (cs1 - cs0) * 1e6 / (t1 - t0));
  Print("rss_start_kb", rss0);
  Print("rss_end_kb", rss1);
  Print("rss_max_kb", rssMax);
  Print("rss_growth_kb", rss1 - rss0);
  return alive ? 0 : 1;
}

// ---- one idle unit
// ------------------------------------------------------------

int Idle(const Options& o) {
  Bench bench(o);
  bench.Settings(1, 1000);
  if (!bench.StartInfodriver()) return 1;
  pid_t pid = bench.StartDriver();
  std::this_thread::sleep_for(std::chrono::seconds(o.warmup));
  // The peer: a process that wakes once a poll period and does nothing
  // else, the wake-ups that the poll tick costs by itself.
  pid_t tick = fork();
  if (tick == 0) {
    for (;;) poll(nullptr, 0, 1000);
  }
  usleep(100000);
  const int64_t t0 = NowUs(), cpu0 = CpuNs(pid);
  const long cs0 = ContextSwitches(pid), tick0 = ContextSwitches(tick);
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  const int64_t t1 = NowUs(), cpu1 = CpuNs(pid);
  const long cs1 = ContextSwitches(pid), tick1 = ContextSwitches(tick);
  kill(tick, SIGKILL);
  waitpid(tick, nullptr, 0);
  const bool alive = kill(pid, 0) == 0;
  bench.StopDriver();
  const double seconds = (t1 - t0) / 1e6;
  const double driver = (cs1 - cs0) / seconds, peer = (tick1 - tick0) / seconds;
  Print("driver_wakeups_per_s", alive ? driver : -1);
  Print("poll_tick_wakeups_per_s", peer);
  Print("beyond_poll_tick_per_s", driver - peer);
  Print("cpu_percent", 100.0 * (cpu1 - cpu0) / 1000.0 / (t1 - t0));
  return alive ? 0 : 1;
}

// ---- one unit of many objects
// ---------------------------------------------------

// The inlet status (slot 97) is the last object of a unit's walk that the
// driver writes to a slot.
constexpr int kLastSlotOfTheWalk = 97;

// Where a start's time goes, from the wire: exec -> first GetNext, the
// walk (first GetNext -> the reply that ends it), and the end of the walk ->
// the last slot seen (the driver) or the process's exit (snmpwalk).
struct StartPhases {
  std::vector<double> toFirst, walk, after;
  void Add(int64_t t0, const WalkWatch& w, int64_t done) {
    if (w.first.empty() || w.end.empty()) return;
    const int64_t first = w.first.begin()->second, end = w.LastEnd();
    toFirst.push_back(first - t0);
    walk.push_back(end - first);
    after.push_back(done - end);
  }
  void Print(const std::string& who, const std::string& last) const {
    ::Print(who + "_exec_to_first_request_us", Percentile(toFirst, 0.5));
    ::Print(who + "_walk_wire_us", Percentile(walk, 0.5));
    ::Print(who + "_walk_end_to_" + last + "_us", Percentile(after, 0.5));
  }
};

int BigWalk(const Options& o) {
  Bench bench(o);
  bench.Settings(1, 1000);
  // The wire split perturbs what it measures (this process wakes for every
  // datagram), so it is asked for separately.
  const char* wireEnv = getenv("QOR_BENCH_WIRE");
  const bool wire = wireEnv && *wireEnv == '1';
  Sniffer sniffer;
  if (wire && !sniffer.Open()) {
    std::fprintf(stderr, "driver_bench: no packet socket (root?)\n");
    return 1;
  }
  std::vector<double> driver, peer, ratio;
  StartPhases driverPhases, peerPhases;
  for (int run = 0; run < o.runs; ++run) {
    // The peer: snmpwalk -v1 of the same agent, from its start to its end.
    if (wire) sniffer.Drain();
    WalkWatch pw;
    const int64_t peerStart = NowUs();
    pid_t walk = Spawn({"/usr/bin/snmpwalk", "-v1", "-c", o.community, "-On",
                        "-m", "", Host(o, 1), kSubtree},
                       o.work + "/snmpwalk.out");
    int status = 0;
    int64_t exited = 0;
    if (wire) {
      while (!exited) {
        Packet p;
        if (sniffer.Next(2, &p)) pw.See(o, p);
        if (waitpid(walk, &status, WNOHANG) == walk) exited = NowUs();
      }
      for (Packet p; sniffer.Next(5, &p);) pw.See(o, p);
    } else {
      waitpid(walk, &status, 0);
      exited = NowUs();
    }
    // The driver, with a fresh infodriver, so that every slot is written.
    if (!bench.StartInfodriver()) return 1;
    InfoClient watcher;
    if (!watcher.Connect(o.device) || !watcher.Request(INFO_WATCH, 0, "", 2000))
      return 1;
    if (wire) sniffer.Drain();
    WalkWatch dw;
    const int64_t t0 = NowUs();
    bench.StartDriver();
    int64_t seen = 0;
    while (!seen && NowUs() - t0 < 60000000) {
      Packet pkt;
      while (wire && sniffer.Next(0, &pkt)) dw.See(o, pkt);
      auto m = watcher.Next(wire ? 1 : 100);
      if (m && m->message == INFO_SLOTWRITTEN &&
          m->wParam == kLastSlotOfTheWalk)
        seen = NowUs();
    }
    if (wire)
      for (Packet pkt; sniffer.Next(5, &pkt);) dw.See(o, pkt);
    bench.StopDriver();
    watcher.Close();
    bench.StopInfodriver();
    if (!seen || !WIFEXITED(status) || WEXITSTATUS(status) != 0) continue;
    driver.push_back(seen - t0);
    peer.push_back(exited - peerStart);
    ratio.push_back(static_cast<double>(seen - t0) / (exited - peerStart));
    driverPhases.Add(t0, dw, seen);
    peerPhases.Add(peerStart, pw, exited);
    ::Print("run" + std::to_string(run) + "_ratio", ratio.back());
  }
  std::ifstream out(o.work + "/snmpwalk.out");
  long objects = 0;
  for (std::string line; std::getline(out, line);)
    if (line.rfind("." + kSubtree + ".", 0) == 0) ++objects;
  Print("objects", objects);
  Print("runs_ok", driver.size());
  Print("driver_start_to_last_slot_us", Percentile(driver, 0.5));
  Print("snmpwalk_us", Percentile(peer, 0.5));
  Print("ratio_median", Percentile(ratio, 0.5));
  Print("ratio_min", Percentile(ratio, 0));
  Print("ratio_max", Percentile(ratio, 1));
  if (wire) {
    driverPhases.Print("driver", "last_slot");
    peerPhases.Print("snmpwalk", "exit");
  }
  return driver.empty() ? 1 : 0;
}

// ---- settings write-back
// --------------------------------------------------------

// Renames onto the settings file (each rewrite ends with one) while the
// driver starts, until its unit's first walk has reached the infodriver.
long RewritesDuringStart(Bench& bench, const Options& o) {
  const std::string path = bench.SettingsPath();
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string name = path.substr(path.rfind('/') + 1);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // The temporary files' IN_CLOSE_WRITE come between the renames, so that
  // the kernel does not merge renames that follow each other.
  if (watch < 0 ||
      inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
    return -1;
  if (!bench.StartInfodriver()) return -1;
  bench.StartDriver();
  const bool walked = bench.WaitSlot(99, "0", 30);
  usleep(500000);
  bench.StopDriver();
  bench.StopInfodriver();
  long rewrites = 0;
  alignas(inotify_event) char buffer[1 << 16];
  ssize_t n;
  while ((n = read(watch, buffer, sizeof buffer)) > 0) {
    for (char* p = buffer; p < buffer + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      if ((e->mask & IN_MOVED_TO) && e->len > 0 && name == e->name) ++rewrites;
      p += sizeof(inotify_event) + e->len;
    }
  }
  close(watch);
  return walked ? rewrites : -1;
}

int Rewrite(const Options& o) {
  Bench bench(o);
  // A first start: one unit's address and community, every other key
  // missing (80 of them).
  {
    std::ofstream ini(bench.SettingsPath());
    ini << "[qor_mdu]\nDebugMode=0\n[QOR_MDU_1]\nSNMPAddress=" << Host(o, 1)
        << "\nSNMPCommunity=" << o.community << "\n";
  }
  const long first = RewritesDuringStart(bench, o);
  // Its peer: the start after it, which finds every key.
  const long second = RewritesDuringStart(bench, o);
  Print("first_start_rewrites", first);
  Print("next_start_rewrites", second);
  return first < 0 || second < 0 ? 1 : 0;
}

// ---- trap to slot, and the echo beside it ----------------------------------

// Waits for the watcher to report |slot| written with |text|.
bool SeeWrite(InfoClient& watcher, int slot, const std::string& text,
              int64_t* at) {
  const int64_t until = NowUs() + 3000000;
  while (NowUs() < until) {
    auto m = watcher.Next(100);
    if (m && m->message == INFO_SLOTWRITTEN && m->wParam == slot &&
        m->text == text) {
      *at = NowUs();
      return true;
    }
  }
  return false;
}

int TrapBench(const Options& o) {
  Bench bench(o);
  bench.Settings(1, 1000);
  if (!bench.StartInfodriver()) return 1;
  bench.StartDriver();
  if (!bench.WaitSlot(99, "0", 30)) return 1;
  InfoClient watcher, control;
  if (!watcher.Connect(o.device) || !watcher.Request(INFO_WATCH, 0, "", 2000) ||
      !control.Connect(o.device))
    return 1;
  int trapFd = BoundUdpSocket(Host(o, 1));
  std::mt19937 rng(1);
  std::vector<double> trap, echo;
  int lost = 0;
  for (int i = 0; i < o.runs; ++i) {
    // Off the 10 ms drain tick's phase, so samples spread over it.
    usleep(std::uniform_int_distribution<int>(1000, 11000)(rng));
    const std::string temp = std::to_string(70 + i % 20);
    int64_t t0 = NowUs(), t1;
    SendUdp(trapFd, "127.0.0.1", bench.trapPort(),
            EncodeTrap(o.community, kSubtree + ".0.5",
                       {{kSubtree + ".2.5.0", 0x02, temp}}));
    if (SeeWrite(watcher, 95, temp, &t1))
      trap.push_back(t1 - t0);
    else
      ++lost;
    usleep(std::uniform_int_distribution<int>(1000, 11000)(rng));
    const std::string text = "echo " + std::to_string(i);
    t0 = NowUs();
    control.Send(WVN_SLOTCHANGE, 4000, text);
    if (SeeWrite(watcher, 4000, text, &t1))
      echo.push_back(t1 - t0);
    else
      ++lost;
    while (control.Next(0)) {
    }
  }
  close(trapFd);
  Print("samples", trap.size());
  Print("lost", lost);
  Print("trap_p50_us", Percentile(trap, 0.5));
  Print("trap_p99_us", Percentile(trap, 0.99));
  Print("echo_p50_us", Percentile(echo, 0.5));
  Print("echo_p99_us", Percentile(echo, 0.99));
  return trap.empty() ? 1 : 0;
}

// ---- slot change to the Set on the wire
// ----------------------------------------

// The output 1 state that unit 1's agent serves now.
std::string DataState(const Options& o) {
  auto walk = mdu_traffic::Walk(Host(o, 1), o.community, kSubtree, 1000);
  if (!walk) return "";
  auto it = walk->find(kSubtree + ".3.4.1.2.1");
  return it == walk->end() ? "" : it->second.text;
}

int SetBench(const Options& o) {
  Bench bench(o);
  bench.Settings(1, 1000);
  if (!bench.StartInfodriver()) return 1;
  bench.StartDriver();
  if (!bench.WaitSlot(99, "0", 30)) return 1;
  // The unit's output rows are known once its first walk is done.
  if (!bench.WaitSlot(41, DataState(o), 30)) return 1;
  InfoClient control;
  Sniffer sniffer;
  if (!control.Connect(o.device) || !sniffer.Open()) return 1;
  std::mt19937 rng(2);
  std::vector<double> lat;
  int lost = 0;
  const std::string agent = Host(o, 1);
  for (int i = 0; i < o.runs; ++i) {
    usleep(std::uniform_int_distribution<int>(1000, 11000)(rng));
    sniffer.Drain();
    const int64_t t0 = NowUs();
    control.Send(WVN_SLOTCHANGE, 41, std::to_string(i % 2));
    bool seen = false;
    int32_t id = 0;
    Packet p;
    while (!seen && sniffer.Next(2000, &p))
      if (p.dst == agent && p.dport == 161 && p.pdu.type == 0xA3) {
        lat.push_back(p.us - t0);
        id = p.pdu.requestId;
        seen = true;
      }
    if (!seen) ++lost;
    // Let the reply land before the next request, so none queues behind it.
    while (seen && sniffer.Next(2000, &p))
      if (p.src == agent && p.pdu.type == 0xA2 && p.pdu.requestId == id) break;
    while (control.Next(0)) {
    }
  }
  Print("samples", lat.size());
  Print("lost", lost);
  Print("set_p50_us", Percentile(lat, 0.5));
  Print("set_p99_us", Percentile(lat, 0.99));
  Print("set_max_us", Percentile(lat, 1.0));
  return lat.empty() ? 1 : 0;
}

// ---- a change the unit does not announce, to its slot ---------------------

// The location set straight on the agent (its read-write community), as an
// operator at the unit would change it: no trap follows.
bool SetAgentLocation(const Options& o, const std::string& text) {
  pid_t pid = Spawn({"/usr/bin/snmpset", "-v1", "-c", o.community, "-t", "2",
                     "-r", "1", Host(o, 1), kSubtree + ".2.4.0", "s", text},
                    o.work + "/snmpset.out");
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

int Freshness(const Options& o) {
  constexpr int kLocationSlot = 98;
  Bench bench(o);
  bench.Settings(1, 1000);
  if (!bench.StartInfodriver()) return 1;
  InfoClient watcher;
  if (!watcher.Connect(o.device) || !watcher.Request(INFO_WATCH, 0, "", 2000))
    return 1;
  // A location the slot shows as the agent serves it (the driver replaces
  // the infodriver's separators in texts), known before the driver starts:
  // the first walk is done when it is in its slot, and from then on only the
  // background walk reads it.
  const std::string start = "Bench rack start";
  if (!SetAgentLocation(o, start)) {
    std::fprintf(stderr, "driver_bench: snmpset of the location failed\n");
    return 1;
  }
  pid_t driver = bench.StartDriver();
  if (!bench.WaitSlot(99, "0", 30) ||
      !bench.WaitSlot(kLocationSlot, start, 30)) {
    std::fprintf(stderr, "driver_bench: the unit's first walk did not end\n");
    return 1;
  }
  // The poll tick's phase follows from the driver's start, so a fixed seed
  // would give every run the same moments of the walk: a fresh seed, printed
  // so that a run can be repeated (QOR_BENCH_SEED).
  const char* seedText = getenv("QOR_BENCH_SEED");
  const unsigned seed = seedText && *seedText
                            ? static_cast<unsigned>(std::atol(seedText))
                            : std::random_device()();
  std::printf("seed=%u\n", seed);
  std::mt19937 rng(seed);
  std::vector<double> ms;
  int lost = 0;
  for (int i = 0; i < o.runs; ++i) {
    // A random moment of the background walk.
    usleep(std::uniform_int_distribution<int>(1000, o.pauseMax * 1000)(rng) *
           1000);
    while (watcher.Next(0)) {
    }
    const std::string text = "Bench rack " + std::to_string(i);
    // From before the Set: the agent holds the new value somewhere inside
    // snmpset's run, so the figure errs by that run's few ms on the long side.
    const int64_t t0 = NowUs();
    if (!SetAgentLocation(o, text)) {
      std::fprintf(stderr, "driver_bench: snmpset of the location failed\n");
      return 1;
    }
    int64_t seen = 0;
    while (!seen && NowUs() - t0 < o.maxWait * 1000000LL) {
      auto m = watcher.Next(500);
      if (m && m->message == INFO_SLOTWRITTEN && m->wParam == kLocationSlot &&
          m->text == text)
        seen = NowUs();
    }
    if (!seen) {
      ++lost;
      Print("run" + std::to_string(i) + "_lost", 1);
      continue;
    }
    ms.push_back((seen - t0) / 1000.0);
    Print("run" + std::to_string(i) + "_ms", ms.back());
  }
  const bool alive = kill(driver, 0) == 0;
  bench.StopDriver();
  Print("samples", ms.size());
  Print("lost", lost);
  Print("median_ms", Percentile(ms, 0.5));
  Print("min_ms", Percentile(ms, 0));
  Print("max_ms", Percentile(ms, 1));
  return ms.empty() || !alive ? 1 : 0;
}

// ---- instructions per value
// -------------------------------------------------------

int Callgrind(const Options& o) {
  Bench bench(o);
  bench.Settings(1, 1000);
  if (!bench.StartInfodriver()) return 1;
  Sniffer sniffer;
  if (!sniffer.Open()) return 1;
  // Only the driver's work for the walk counts: each reply (with the
  // request it sends) and every timer (the drain of the slot writes, the
  // poll tick, session timers, the status panel); start-up does not. The
  // two never nest, so their toggles do not cancel out.
  pid_t pid = bench.StartDriver(
      {"/usr/bin/valgrind", "--tool=callgrind", "--collect-atstart=no",
       "--toggle-collect=*NetSnmpApi::OnSessionReadable*",
       "--toggle-collect=*EventLoop::FireDueTimers*",
       "--callgrind-out-file=" + o.valgrindOut});
  WalkWatch w;
  Options one = o;
  one.units = 1;
  const int64_t t0 = NowUs();
  while (w.ended < 1 && NowUs() - t0 < 120000000) {
    Packet p;
    if (sniffer.Next(200, &p)) w.See(one, p);
  }
  // The last values' slot writes drain on the next ticks.
  usleep(500000);
  bench.StopDriver();
  (void)pid;
  Print("values", w.Values() + w.ended);
  return w.ended == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--bin")
      o.bin = value();
    else if (a == "--work")
      o.work = value();
    else if (a == "--first")
      o.first = std::stoi(value());
    else if (a == "--community")
      o.community = value();
    else if (a == "--device")
      o.device = std::stoi(value());
    else if (a == "--units")
      o.units = std::stoi(value());
    else if (a == "--runs")
      o.runs = std::stoi(value());
    else if (a == "--warmup")
      o.warmup = std::stoi(value());
    else if (a == "--seconds")
      o.seconds = std::stoi(value());
    else if (a == "--valgrind-out")
      o.valgrindOut = value();
    else if (a == "--pause-max")
      o.pauseMax = std::max(1, std::stoi(value()));
    else if (a == "--max-wait")
      o.maxWait = std::stoi(value());
    else if (a == "--snmp-version")
      o.snmpVersion = value();
    else if (a == "--user")
      o.user = value();
    else if (a == "--auth-file")
      o.authFile = value();
    else if (a == "--priv-file")
      o.privFile = value();
    else if (a[0] != '-' && o.mode.empty())
      o.mode = a;
    else {
      std::fprintf(stderr, "driver_bench: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.bin.empty() || o.work.empty()) {
    std::fprintf(stderr, "usage: driver_bench --bin DIR --work DIR MODE ...\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // QOR_BENCH_CPU=C pins this program and everything it starts to CPU C.
  if (const char* cpu = getenv("QOR_BENCH_CPU"); cpu && *cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(std::atoi(cpu), &set);
    sched_setaffinity(0, sizeof set, &set);
  }
  if (o.mode == "walk") return WalkBench(o);
  if (o.mode == "steady") return Steady(o);
  if (o.mode == "idle") return Idle(o);
  if (o.mode == "bigwalk") return BigWalk(o);
  if (o.mode == "rewrite") return Rewrite(o);
  if (o.mode == "trap") return TrapBench(o);
  if (o.mode == "set") return SetBench(o);
  if (o.mode == "callgrind") return Callgrind(o);
  if (o.mode == "fresh") return Freshness(o);
  std::fprintf(stderr, "driver_bench: unknown mode %s\n", o.mode.c_str());
  return 2;
}
