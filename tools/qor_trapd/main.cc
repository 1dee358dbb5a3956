// qor_trapd: the host's trap intake, for several drivers on one host.
//
// The units send their traps to UDP port 162, and only one process can own
// it. qor_trapd owns it and hands every datagram, with the UDP source it
// came from, to every driver of the host (the Unix datagram sockets
// traps-N.sock in the runtime directory); each driver keeps the traps of
// its own units, deciding by that source exactly as for a trap it takes
// itself. A driver that takes an SNMPv2c inform answers it through the
// intake's own socket (qor_trapd.sock), and the answer goes out of the
// port the inform came to, as its sender expects. net-snmp's snmptrapd cannot
// do this: its forwarding sends from its own address, keeps no trace of the
// sender for SNMPv2c traps and only the agent-addr field, which the sender
// fills in as it likes, for SNMPv1.
//
// While it runs it holds RUNDIR/qor_trapd.lock; the drivers leave port 162
// to it then, and take it back themselves when no intake runs. A driver
// that holds the port when qor_trapd starts lets it go within seconds;
// qor_trapd waits for it.
//
// No arguments. ZARN_SNMP_TRAP_PORT gives another port (tests); RUNDIR is
// the drivers' runtime directory ($ZARN_RUNTIME_DIR, ...). Exit codes: 0
// after SIGTERM, SIGINT or SIGHUP; 1 when it cannot start (another intake
// runs, the runtime directory is unsafe, the port cannot be bound for
// another reason than a driver holding it).
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "infodriver/runtime_dir.h"
#include "platform/exit_signals.h"
#include "platform/program_info.h"
#include "platform/service_notifier.h"
#include "platform/trap_port.h"
#include "snmp/trap_forward.h"

namespace {

constexpr int kRetryBindMs = 1000;
// How often the status line counts the drivers again.
constexpr int kStatusPeriodMs = 5000;

const char kUsage[] =
    "usage: qor_trapd\n"
    "       qor_trapd --help | --version\n"
    "\n"
    "Owns UDP port 162 and hands every trap, with its source, to each qor_mdu\n"
    "driver running on this host (their sockets in $ZARN_RUNTIME_DIR).\n"
    "ZARN_SNMP_TRAP_PORT gives another port.\n"
    "\n"
    "Exit status: 0 after SIGTERM, SIGINT or SIGHUP; 1 when it cannot start.\n";

// The sockets of the drivers now running, found afresh for every trap: a
// driver that starts gets the next one, one that ended costs nothing.
std::vector<std::string> DriverSockets(const std::string& dir) {
  std::vector<std::string> paths;
  DIR* d = opendir(dir.c_str());
  if (!d) return paths;
  while (struct dirent* e = readdir(d))
    if (IsTrapIntakeSocketName(e->d_name))
      paths.push_back(dir + "/" + e->d_name);
  closedir(d);
  return paths;
}

struct Counts {
  unsigned long long received = 0;
  unsigned long long delivered = 0;
  unsigned long long dropped = 0;   // a driver's socket was full
  unsigned long long answered = 0;  // informs answered for a driver
};

// Where datagrams came from lately: a driver's answer to an inform goes
// out only to a sender that sent something within kSenderMemoryMs, so the
// trap port never sends anywhere else.
class RecentSenders {
 public:
  static constexpr int64_t kSenderMemoryMs = 30000;
  static constexpr size_t kMaxSenders = 4096;

  void Saw(const struct sockaddr_in& from) {
    const int64_t now = NowMs();
    if (seen_.size() >= kMaxSenders) Prune(now);
    if (seen_.size() < kMaxSenders) seen_[Key(from)] = now;
  }
  bool Knows(const struct sockaddr_in& to) const {
    auto it = seen_.find(Key(to));
    return it != seen_.end() && NowMs() - it->second <= kSenderMemoryMs;
  }

 private:
  static uint64_t Key(const struct sockaddr_in& a) {
    return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
  }
  static int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  void Prune(int64_t now) {
    for (auto it = seen_.begin(); it != seen_.end();)
      it = now - it->second > kSenderMemoryMs ? seen_.erase(it) : std::next(it);
  }
  std::unordered_map<uint64_t, int64_t> seen_;
};

// The drivers' answers to informs, sent out of the trap port to the
// informs' senders.
void SendAnswers(int out, int udp, const RecentSenders& senders,
                 Counts* counts) {
  std::vector<uint8_t> buffer(kForwardMaxDatagram);
  for (int i = 0; i < 64; ++i) {
    ssize_t n =
        recv(out, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    struct sockaddr_in to = {};
    const uint8_t* answer = nullptr;
    size_t size = 0;
    if (static_cast<size_t>(n) > buffer.size() ||
        !ParseInformAnswer(buffer.data(), static_cast<size_t>(n), &to, &answer,
                           &size) ||
        !senders.Knows(to))
      continue;
    if (sendto(udp, answer, size, MSG_DONTWAIT,
               reinterpret_cast<const struct sockaddr*>(&to), sizeof to) >= 0)
      ++counts->answered;
  }
}

void Forward(int udp, int out, const std::string& dir, uint16_t port,
             RecentSenders* senders, Counts* counts) {
  std::vector<uint8_t> buffer(65536);
  for (int i = 0; i < 64; ++i) {  // then look at the signals again
    struct sockaddr_in from = {};
    socklen_t length = sizeof from;
    ssize_t n =
        recvfrom(udp, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                 reinterpret_cast<struct sockaddr*>(&from), &length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (static_cast<size_t>(n) > buffer.size() || from.sin_family != AF_INET)
      continue;
    ++counts->received;
    senders->Saw(from);
    const std::vector<uint8_t> message =
        ForwardedTrap(from, port, buffer.data(), static_cast<size_t>(n));
    for (const std::string& path : DriverSockets(dir)) {
      struct sockaddr_un to = {};
      to.sun_family = AF_UNIX;
      if (path.size() >= sizeof to.sun_path) continue;
      std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
      // Never wait for a driver: a stalled one loses its traps, not the
      // others.
      if (sendto(out, message.data(), message.size(), MSG_DONTWAIT,
                 reinterpret_cast<struct sockaddr*>(&to), sizeof to) >= 0) {
        ++counts->delivered;
      } else if (errno == EAGAIN || errno == ENOBUFS) {
        if (counts->dropped++ == 0)
          std::fprintf(stderr,
                       "qor_trapd: %s does not keep up - traps dropped for "
                       "it\n",
                       path.c_str());
      }
      // ECONNREFUSED, ENOENT: a driver that ended; nothing to do.
    }
  }
}

// What the intake holds while it runs.
struct Intake {
  int signals = -1;  // readable on SIGTERM, SIGINT or SIGHUP
  std::string dir;   // the drivers' runtime directory
  uint16_t port = kStandardTrapPort;
  int udp = -1;  // the trap port, once bound
  // Sends to the drivers' sockets and takes their answers to informs,
  // bound to the intake's own socket in the runtime directory.
  int out = -1;
};

// The runtime directory, the intake's lock, the port setting and the
// sockets; false (after saying why) when the intake cannot start.
bool OpenIntake(Intake* intake) {
  std::string error;
  if (PrepareRuntimeDirectory(true, &intake->dir, &error) !=
      RuntimeDirStatus::kOk) {
    std::fprintf(stderr, "qor_trapd: %s\n", error.c_str());
    return false;
  }
  // The lock first: from now on the drivers leave the port to this process.
  // It is held until the process ends.
  const std::string lockPath = TrapIntakeLockPath(intake->dir);
  const int lock =
      open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "qor_trapd: another trap intake runs (%s)\n",
                 lockPath.c_str());
    return false;
  }
  if (!TrapPortSetting(&intake->port)) {
    std::fprintf(stderr, "qor_trapd: %s \"%s\" is no port\n", kTrapPortVariable,
                 getenv(kTrapPortVariable));
    return false;
  }
  intake->udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  intake->out = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (intake->udp < 0 || intake->out < 0) {
    std::fprintf(stderr, "qor_trapd: no socket - %s\n", strerror(errno));
    return false;
  }
  // With the lock held, a socket file left there is an earlier intake's.
  const std::string answers = TrapIntakeAnswerSocketPath(intake->dir);
  struct sockaddr_un own = {};
  own.sun_family = AF_UNIX;
  if (answers.size() >= sizeof own.sun_path) {
    std::fprintf(stderr, "qor_trapd: %s is too long a path\n", answers.c_str());
    return false;
  }
  std::memcpy(own.sun_path, answers.c_str(), answers.size() + 1);
  unlink(answers.c_str());
  if (bind(intake->out, reinterpret_cast<struct sockaddr*>(&own), sizeof own) !=
      0) {
    std::fprintf(stderr, "qor_trapd: %s cannot be bound - %s\n",
                 answers.c_str(), strerror(errno));
    return false;
  }
  int size = 1 << 20;  // a burst of traps waits here rather than being lost
  setsockopt(intake->udp, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return true;
}

enum class Bound { kYes, kStopped, kFailed };

// Binds the trap port, waiting while a driver still holds it.
Bound BindTrapPort(const Intake& intake) {
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(intake.port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  bool said = false;
  while (bind(intake.udp, reinterpret_cast<struct sockaddr*>(&addr),
              sizeof addr) != 0) {
    if (errno != EADDRINUSE) {
      std::fprintf(stderr, "qor_trapd: UDP port %u cannot be bound - %s\n",
                   intake.port, strerror(errno));
      return Bound::kFailed;
    }
    if (!said)
      std::fprintf(stderr,
                   "qor_trapd: UDP port %u is in use - waiting for it\n",
                   intake.port);
    said = true;
    struct pollfd p = {intake.signals, POLLIN, 0};
    if (poll(&p, 1, kRetryBindMs) > 0) return Bound::kStopped;
  }
  return Bound::kYes;
}

// "traps of UDP port 162 go to 2 drivers", whenever the count changes.
class StatusLine {
 public:
  StatusLine(ServiceNotifier* notifier, const Intake& intake)
      : notifier_(notifier), intake_(intake) {}
  // The first one comes with READY=1: the port is the intake's from now on.
  void Ready() { Send("READY=1\n"); }
  void Refresh() { Send(""); }

 private:
  void Send(const std::string& prefix) {
    const size_t drivers = DriverSockets(intake_.dir).size();
    if (prefix.empty() && drivers == drivers_) return;
    drivers_ = drivers;
    notifier_->Notify(prefix + "STATUS=traps of UDP port " +
                      std::to_string(intake_.port) + " go to " +
                      std::to_string(drivers) +
                      (drivers == 1 ? " driver" : " drivers"));
  }
  ServiceNotifier* notifier_;
  const Intake& intake_;
  size_t drivers_ = 0;
};

// Hands every trap on to the drivers until an exit signal comes.
Counts ForwardUntilExitSignal(const Intake& intake, StatusLine* status) {
  Counts counts;
  RecentSenders senders;
  for (;;) {
    status->Refresh();
    struct pollfd p[3] = {{intake.udp, POLLIN, 0},
                          {intake.signals, POLLIN, 0},
                          {intake.out, POLLIN, 0}};
    if (poll(p, 3, kStatusPeriodMs) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents) break;
    if (p[0].revents)
      Forward(intake.udp, intake.out, intake.dir, intake.port, &senders,
              &counts);
    if (p[2].revents) SendAnswers(intake.out, intake.udp, senders, &counts);
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerHelpOrVersion(argc, argv, "qor_trapd", kUsage)) return 0;
  if (argc != 1) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  Intake intake;
  intake.signals = ExitSignalFd();
  if (!OpenIntake(&intake)) return 1;
  switch (BindTrapPort(intake)) {
    case Bound::kFailed:
      return 1;
    case Bound::kStopped:
      return 0;
    case Bound::kYes:
      break;
  }
  std::fprintf(stderr,
               "qor_trapd: traps of UDP port %u go to the drivers in %s\n",
               intake.port, intake.dir.c_str());
  SystemdNotifier notifier;
  StatusLine status(&notifier, intake);
  status.Ready();
  const Counts counts = ForwardUntilExitSignal(intake, &status);
  notifier.Notify("STOPPING=1\nSTATUS=stopping");
  std::fprintf(stderr,
               "qor_trapd: ending - %llu traps received, %llu deliveries, %llu "
               "dropped, %llu informs answered\n",
               counts.received, counts.delivered, counts.dropped,
               counts.answered);
  unlink(TrapIntakeAnswerSocketPath(intake.dir).c_str());
  return 0;
}
