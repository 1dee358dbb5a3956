#include "infodriver/server/infodriver_server.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "infodriver/info_socket.h"
#include "infodriver/runtime_dir.h"
#include "platform/clock.h"
#include "platform/event_loop.h"

namespace {

bool FillAddress(const std::string& path, struct sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// True when |uid| belongs to |group|, as its primary group or as a member.
bool UserInGroup(uid_t uid, gid_t group) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[16384];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 ||
      found == nullptr)
    return false;
  if (found->pw_gid == group) return true;
  int count = 64;
  std::vector<gid_t> groups(count);
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(count);
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
      return false;
  }
  for (int i = 0; i < count; ++i)
    if (groups[i] == group) return true;
  return false;
}

using SteadyClock = std::chrono::steady_clock;

long MsSince(SteadyClock::time_point then) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                            then)
          .count());
}

}  // namespace

InfodriverServer::InfodriverServer(int deviceNumber, EventLoop* loop,
                                   gid_t clientGroup)
    : device_(deviceNumber), loop_(loop), clientGroup_(clientGroup) {}

InfodriverServer::~InfodriverServer() {
  stop();
  if (lockFd_ >= 0) close(lockFd_);
}

bool InfodriverServer::start(std::string* error) {
  std::string dir;
  if (PrepareRuntimeDirectory(true, &dir, error, clientGroup_) !=
      RuntimeDirStatus::kOk)
    return false;

  // Every peer costs a descriptor: take all the system allows, and keep the
  // peers below it, so that accept does not run out while peers are open.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur != RLIM_INFINITY) {
      const size_t usable = files.rlim_cur > 2 * kReservedFds
                                ? files.rlim_cur - 2 * kReservedFds
                                : 1;
      peerLimit_ = std::min(kMaxPeers, usable);
    }
  }

  // One infodriver per device number: the lock is held for the process's
  // life and released by the kernel however it ends.
  const std::string lockPath =
      dir + "/infodriver-" + std::to_string(device_) + ".lock";
  lockFd_ =
      open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ < 0) {
    *error = Errno("cannot open " + lockPath);
    return false;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "infodriver " + std::to_string(device_) +
                                        " is already running"
                                  : Errno("cannot lock " + lockPath);
    return false;
  }

  socketPath_ = InfodriverSocketPath(dir, device_);
  const std::string temporary =
      dir + "/.infodriver-" + std::to_string(device_) + ".new";
  struct sockaddr_un finalAddr, tempAddr;
  if (!FillAddress(socketPath_, &finalAddr) ||
      !FillAddress(temporary, &tempAddr)) {
    *error = "socket path too long: " + socketPath_;
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Errno("cannot make a socket");
    return false;
  }
  // Bound and listening under a temporary name, then renamed into place: the
  // socket appears only when it serves, and replaces a stale one left by an
  // infodriver that died.
  unlink(temporary.c_str());
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&tempAddr),
           sizeof tempAddr) != 0 ||
      (clientGroup_ != static_cast<gid_t>(-1) &&
       chown(temporary.c_str(), static_cast<uid_t>(-1), clientGroup_) != 0) ||
      chmod(temporary.c_str(),
            clientGroup_ != static_cast<gid_t>(-1) ? 0660 : 0600) != 0 ||
      listen(fd, 64) != 0 ||
      rename(temporary.c_str(), socketPath_.c_str()) != 0) {
    *error = Errno("cannot publish " + socketPath_);
    close(fd);
    unlink(temporary.c_str());
    return false;
  }
  listenFd_ = fd;
  loop_->WatchFd(listenFd_, POLLIN, [this](short) { acceptPeers(); });
  started_ = true;
  return true;
}

void InfodriverServer::stop() {
  if (!started_) return;
  started_ = false;
  if (Peer* driver = find(driver_)) {
    queue(*driver, {WVN_INFODISCONNECT, 0, 0, 0, std::string()});
    flushBlocking(*driver, 1000);
  }
  if (sweepTimer_ != 0) loop_->CancelOneShot(sweepTimer_);
  if (acceptPause_ != 0) loop_->CancelOneShot(acceptPause_);
  sweepTimer_ = acceptPause_ = 0;
  loop_->UnwatchFd(listenFd_);
  close(listenFd_);
  listenFd_ = -1;
  unlink(socketPath_.c_str());
  for (auto& [id, peer] : peers_) {
    loop_->UnwatchFd(peer->fd);
    close(peer->fd);
  }
  peers_.clear();
  driver_ = 0;
  forwards_.clear();
  queuedBytes_ = 0;
}

InfodriverServer::Peer* InfodriverServer::find(uint64_t id) {
  if (id == 0) return nullptr;
  auto it = peers_.find(id);
  return it == peers_.end() || it->second->dead ? nullptr : it->second.get();
}

bool InfodriverServer::allowed(long uid) const {
  if (uid == 0 || uid == static_cast<long>(geteuid())) return true;
  return uid > 0 && clientGroup_ != static_cast<gid_t>(-1) &&
         UserInGroup(static_cast<uid_t>(uid), clientGroup_);
}

void InfodriverServer::acceptPeers() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // Out of descriptors or memory: the waiting connection keeps the
      // socket readable, and watching it would spin the loop. Listen again
      // a little later, when peers may have gone.
      std::fprintf(stderr,
                   "infodriver %d: cannot accept a connection (%s); not "
                   "accepting for %d ms\n",
                   device_, std::strerror(errno), kAcceptPauseMs);
      loop_->UnwatchFd(listenFd_);
      acceptPause_ = loop_->AddOneShot(kAcceptPauseMs, [this] {
        acceptPause_ = 0;
        loop_->WatchFd(listenFd_, POLLIN, [this](short) { acceptPeers(); });
      });
      return;
    }
    struct ucred cred = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    socklen_t size = sizeof cred;
    const bool known =
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0;
    const long uid = known ? static_cast<long>(cred.uid) : -1;
    if (!known || !allowed(uid)) {
      std::fprintf(stderr,
                   "infodriver %d: refused a connection from pid %ld uid %ld: "
                   "not this user, root or a member of the clients' group\n",
                   device_, static_cast<long>(cred.pid), uid);
      close(fd);
      continue;
    }
    if (peers_.size() >= peerLimit_) {
      close(fd);
      continue;
    }
    auto peer = std::make_unique<Peer>();
    peer->id = nextPeerId_++;
    peer->fd = fd;
    peer->pid = cred.pid;
    peer->uid = uid;
    Peer& p = *peer;
    peers_[p.id] = std::move(peer);
    updateWatch(p);
  }
}

bool InfodriverServer::mayRead(const Peer& peer) const {
  if (peer.dead || peer.dropping) return false;
  if (peer.id == driver_) return true;
  return !clientsHeld_ && peer.forwards < kMaxClientForwards;
}

void InfodriverServer::updateWatch(Peer& peer) {
  if (peer.dead) return;
  const short events =
      (mayRead(peer) ? POLLIN : 0) | (peer.out.empty() ? 0 : POLLOUT);
  if (events == peer.events) return;
  peer.events = events;
  const uint64_t id = peer.id;
  loop_->WatchFd(peer.fd, events,
                 [this, id](short revents) { onPeerReady(id, revents); });
}

void InfodriverServer::updateAllClients() {
  for (auto& [id, peer] : peers_)
    if (id != driver_) updateWatch(*peer);
}

void InfodriverServer::onPeerReady(uint64_t id, short revents) {
  Peer* peer = find(id);
  if (peer == nullptr) {
    // Marked dead meanwhile and not yet closed: close it now, or its
    // hang-up would wake the loop for ever.
    reap();
    return;
  }
  if (revents & POLLOUT) flush(*peer);
  if (!peer->dead && mayRead(*peer) &&
      (revents & (POLLIN | POLLHUP | POLLERR))) {
    for (int i = 0; i < kMessagesPerWake && mayRead(*peer); ++i) {
      InfoMessage m;
      InfoReceive r = ReceiveInfoMessage(peer->fd, &m, 0);
      if (r == InfoReceive::kNothing) break;
      if (r != InfoReceive::kMessage) {
        // Gone, or sent something no peer of ours would send: either way
        // nothing it says can be relied on any more.
        peer->dead = true;
        break;
      }
      handle(*peer, m);
    }
  } else if (!peer->dead && (revents & (POLLHUP | POLLERR))) {
    // Held back or being dropped, and gone: what it left unread is
    // nobody's any more.
    peer->dead = true;
  }
  if (peer->dropping && peer->out.empty()) peer->dead = true;
  if (!peer->dead) updateWatch(*peer);
  reap();
}

void InfodriverServer::reap() {
  // Closing one peer can fail another (the driver's end answers the
  // clients it owed, and a client that hung up fails that send): repeat
  // until nobody is left marked.
  for (;;) {
    std::vector<uint64_t> dead;
    for (auto& [id, peer] : peers_)
      if (peer->dead) dead.push_back(id);
    if (dead.empty()) break;
    for (uint64_t id : dead) {
      auto it = peers_.find(id);
      if (it == peers_.end()) continue;
      Peer& peer = *it->second;
      discardOutput(peer);
      loop_->UnwatchFd(peer.fd);
      close(peer.fd);
      peers_.erase(it);
      if (id == driver_) dropDriver();
    }
  }
}

void InfodriverServer::dropDriver() {
  driver_ = 0;
  // Nobody will answer what was passed on: the clients hear "no driver".
  auto waiting = std::move(forwards_);
  forwards_.clear();
  clientsHeld_ = false;
  for (auto& [id, peer] : peers_) peer->forwards = 0;
  for (const auto& [sequence, f] : waiting) {
    if (audit_ && f.audit)
      audit_->Refused(f.audit, "the driver went away before it answered");
    if (Peer* client = find(f.client)) {
      InfoMessage request{f.message, f.clientSequence, 0, 0, std::string()};
      answer(*client, request, INFO_NO_DRIVER);
    }
  }
  updateAllClients();
}

std::string InfodriverServer::describe(const Peer& peer) const {
  return std::string(peer.id == driver_ ? "driver" : "client") + " " +
         std::to_string(peer.id) + " (pid " + std::to_string(peer.pid) +
         ", uid " + std::to_string(peer.uid) + ")";
}

void InfodriverServer::discardOutput(Peer& peer) {
  queuedBytes_ -= peer.queuedBytes;
  peer.queuedBytes = 0;
  peer.out.clear();
}

void InfodriverServer::dropClient(Peer& peer, const std::string& why) {
  if (peer.dead || peer.dropping) return;
  std::fprintf(stderr, "infodriver %d: dropped %s: %s\n", device_,
               describe(peer).c_str(), why.c_str());
  discardOutput(peer);
  // The notice goes when the client has read what the socket still holds
  // for it; one that never does is closed by the sweep.
  peer.dropping = true;
  std::string wire;
  EncodeMessage({INFO_DROPPED, 0, 0, 0, std::string()}, &wire);
  peer.queuedBytes = wire.size() + kMessageOverhead;
  queuedBytes_ += peer.queuedBytes;
  peer.out.push_back(std::move(wire));
  peer.waitingSince = SteadyClock::now();
  flush(peer);
  if (peer.out.empty()) peer.dead = true;
  armSweep();
}

void InfodriverServer::dropStalledDriver(Peer& peer, const std::string& why) {
  std::fprintf(stderr, "infodriver %d: dropped %s: %s\n", device_,
               describe(peer).c_str(), why.c_str());
  discardOutput(peer);
  // It reads nothing now, but may yet: whatever of this fits is its
  // notice, and the end of the stream is the other.
  std::string wire;
  EncodeMessage({WVN_INFODISCONNECT, 0, 0, 0, std::string()}, &wire);
  send(peer.fd, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  peer.dead = true;
}

bool InfodriverServer::makeRoom(Peer& peer, size_t size) {
  const bool isDriver = peer.id == driver_;
  if (!isDriver && peer.queuedBytes + size > kMaxClientQueuedBytes) {
    dropClient(peer, "reads too slowly (" + std::to_string(peer.out.size()) +
                         " messages waiting)");
    return false;
  }
  while (queuedBytes_ + size > kMaxQueuedBytes) {
    // The client holding the most output goes first; the driver's own
    // backlog is bounded by the back-pressure and never the reason.
    Peer* largest = nullptr;
    for (auto& [id, other] : peers_)
      if (id != driver_ && !other->dead && !other->dropping &&
          (largest == nullptr || other->queuedBytes > largest->queuedBytes))
        largest = other.get();
    if (largest == nullptr || largest->queuedBytes == 0) {
      if (isDriver) {
        dropStalledDriver(peer, "takes none of its output");
      } else {
        dropClient(peer, "output over the infodriver's memory bound");
      }
      return false;
    }
    dropClient(*largest, "reads too slowly while output is short of memory");
    if (largest == &peer) return false;
  }
  return true;
}

void InfodriverServer::queue(Peer& peer, const InfoMessage& m) {
  if (peer.dead || peer.dropping) return;
  std::string wire;
  if (!EncodeMessage(m, &wire)) return;
  const size_t size = wire.size() + kMessageOverhead;
  if (!makeRoom(peer, size)) return;
  if (peer.out.empty()) {
    peer.waitingSince = SteadyClock::now();
    armSweep();
  }
  peer.queuedBytes += size;
  queuedBytes_ += size;
  peer.out.push_back(std::move(wire));
  flush(peer);
}

bool InfodriverServer::flush(Peer& peer) {
  while (!peer.out.empty() && !peer.dead) {
    const std::string& wire = peer.out.front();
    ssize_t n =
        send(peer.fd, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      peer.dead = true;
      return false;
    }
    const size_t size = wire.size() + kMessageOverhead;
    peer.queuedBytes -= size;
    queuedBytes_ -= size;
    peer.out.pop_front();
    peer.waitingSince = SteadyClock::now();
  }
  if (peer.dropping && peer.out.empty()) peer.dead = true;
  return !peer.dead;
}

void InfodriverServer::auditOutcome(const Forward& f, int64_t result) {
  if (!audit_ || f.audit == 0) return;
  if (result == 1) {
    audit_->Sent(f.audit, slots_.get(static_cast<int>(f.slot)),
                 TheSystemClock().NowMs());
    armAuditTick();
  } else if (result == INFO_EXPIRED) {
    audit_->Expired(f.audit, "the driver read it after its deadline");
  } else {
    audit_->Refused(f.audit, "the driver refused it");
  }
}

// While a request waits for the unit to show its value, once a second.
void InfodriverServer::armAuditTick() {
  if (auditTimer_ != 0 || !audit_ || !audit_->watching()) return;
  auditTimer_ = loop_->AddOneShot(1000, [this] {
    auditTimer_ = 0;
    audit_->Tick(TheSystemClock().NowMs());
    armAuditTick();
  });
}

void InfodriverServer::armSweep() {
  if (sweepTimer_ != 0) return;
  sweepTimer_ = loop_->AddOneShot(1000, [this] {
    sweepTimer_ = 0;
    sweep();
  });
}

void InfodriverServer::sweep() {
  bool waiting = false;
  for (auto& [id, peer] : peers_) {
    Peer& p = *peer;
    if (p.dead) continue;
    const bool isDriver = id == driver_;
    if (!p.out.empty()) {
      const long idle = MsSince(p.waitingSince);
      if (isDriver && idle >= kDriverStallMs) {
        dropStalledDriver(p, "took none of its output for " +
                                 std::to_string(idle / 1000) + " s");
      } else if (!isDriver && p.dropping && idle >= kStallMs) {
        p.dead = true;
      } else if (!isDriver && idle >= kStallMs) {
        dropClient(p, "took none of its output for " +
                          std::to_string(idle / 1000) + " s");
      }
      waiting = waiting || !p.dead;
    }
  }
  // A driver that reads but leaves its requests unanswered holds every
  // client back as surely as one that stopped.
  if (Peer* driver = find(driver_)) {
    if (!forwards_.empty()) {
      TimePoint oldest = forwards_.begin()->second.since;
      for (const auto& [sequence, f] : forwards_)
        oldest = std::min(oldest, f.since);
      const long idle = MsSince(oldest);
      if (idle >= kDriverStallMs)
        dropStalledDriver(*driver, "answered no request for " +
                                       std::to_string(idle / 1000) + " s");
      waiting = true;
    }
  }
  reap();
  if (waiting) armSweep();
}

void InfodriverServer::flushBlocking(Peer& peer, int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (flush(peer) && !peer.out.empty()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return;
    struct pollfd p = {peer.fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left)) == 0) return;
  }
}

void InfodriverServer::answer(Peer& peer, const InfoMessage& request,
                              int64_t result, std::string text) {
  if (request.sequence == 0) return;  // nobody waits for this one
  queue(peer, {INFO_RESULT, request.sequence, result,
               static_cast<int64_t>(request.message), std::move(text)});
}

bool InfodriverServer::mayDrive(long uid) const {
  return uid == 0 || uid == static_cast<long>(geteuid());
}

void InfodriverServer::forwardToDriver(Peer& peer, const InfoMessage& m,
                                       std::string text, int64_t lParam,
                                       uint64_t audit) {
  Peer* driver = find(driver_);
  if (driver == nullptr) {
    if (audit_ && audit)
      audit_->Refused(audit, "no driver is connected to infodriver " +
                                 std::to_string(device_));
    answer(peer, m, INFO_NO_DRIVER);
    return;
  }
  if (driver == &peer) {
    if (audit_ && audit)
      audit_->Refused(audit, "the driver may not ask itself for a change");
    answer(peer, m, 0);
    return;
  }
  uint32_t sequence = nextSequence_++;
  if (nextSequence_ == 0) nextSequence_ = 1;
  forwards_[sequence] = {peer.id,  m.sequence, m.message, SteadyClock::now(),
                         m.wParam, audit};
  ++peer.forwards;
  if (forwards_.size() >= kMaxForwards && !clientsHeld_) {
    clientsHeld_ = true;
    updateAllClients();
  }
  queue(*driver, {m.message, sequence, m.wParam, lParam, std::move(text)});
  if (!driver->dead) updateWatch(*driver);
  armSweep();
}

void InfodriverServer::handleDriverResult(const InfoMessage& m) {
  auto it = forwards_.find(m.sequence);
  if (it == forwards_.end()) return;
  const Forward f = it->second;
  forwards_.erase(it);
  if (clientsHeld_ && forwards_.size() <= kMaxForwards / 2) {
    clientsHeld_ = false;
    updateAllClients();
  }
  // Recorded whether or not the client is still there to hear it.
  auditOutcome(f, m.wParam);
  auto c = peers_.find(f.client);
  if (c == peers_.end()) return;  // asked and left
  Peer& client = *c->second;
  if (client.forwards > 0) --client.forwards;
  if (client.dead) return;
  // The driver's answer is 1 or 0, or for a slot change INFO_EXPIRED;
  // anything else from it is a refusal.
  const int64_t result =
      m.wParam == 1                                             ? 1
      : m.wParam == INFO_EXPIRED && f.message == WVN_SLOTCHANGE ? INFO_EXPIRED
                                                                : 0;
  answer(client, {f.message, f.clientSequence, 0, 0, std::string()}, result);
  updateWatch(client);
}

void InfodriverServer::handle(Peer& peer, const InfoMessage& m) {
  const bool isDriver = peer.id == driver_;
  switch (m.message) {
    case WVN_DISCOVER:
      if (m.lParam == (device_ & 0xFFFF)) {
        peer.discovered = true;
        queue(peer, {WVN_DISCOVERREPLY, 0, static_cast<int64_t>(getpid()), 0,
                     std::string()});
        answer(peer, m, 1);
      } else {
        answer(peer, m, 0);
      }
      break;

    case WVN_ANNOUNCE:
    case WVN_HELLO:
      handleHello(peer, m);
      break;

    case WVN_READSLOT:
      if (IsSlotInRange(m.wParam))
        answer(peer, m, 1, slots_.get(m.wParam));
      else
        answer(peer, m, 0);
      break;

    case WVN_WRITESLOT:
    case WVN_WRITESLOTNEG:
      handleWrite(peer, m);
      break;

    case WVN_DEVDISCONNECT:
      if (isDriver) dropDriver();
      answer(peer, m, 0);
      break;

    case WVN_SLOTCHANGE:
      handleSlotChange(peer, m);
      break;

    case WVN_REQDEVGORXONLY:
    case WVN_REQDEVGOTXRX:
    case WVN_INQDEVGOTXRX:
      forwardToDriver(peer, m, std::string(), 0);
      break;

    case INFO_STATUS:
      if (m.sequence != 0)
        queue(peer,
              {INFO_RESULT, m.sequence, driver_ != 0 ? 1 : 0, device_, ""});
      break;

    case INFO_AUDITSTATUS:
      if (m.sequence != 0)
        queue(peer,
              {INFO_RESULT, m.sequence,
               audit_ ? static_cast<int64_t>(audit_->trail().writeFailures())
                      : -1,
               audit_ ? static_cast<int64_t>(audit_->trail().lost()) : 0, ""});
      break;

    case INFO_DUMP:
      handleDump(peer, m);
      break;

    case INFO_WATCH:
      peer.watching = true;
      answer(peer, m, 1);
      break;

    case INFO_RESULT:
      if (isDriver) handleDriverResult(m);
      break;

    case INFO_ATTRIBUTE:
    case INFO_AUDIT:
      handleAudit(peer, m);
      break;

    default:
      answer(peer, m, 0);
      break;
  }
}

void InfodriverServer::handleHello(Peer& peer, const InfoMessage& m) {
  if (peer.id == driver_) {
    queue(peer, {WVN_HELLOACK, 0, 1, 0, std::string()});
    answer(peer, m, 1);
  } else if (!peer.discovered) {
    answer(peer, m, 0);
  } else if (!mayDrive(peer.uid)) {
    // The clients' group may read and request, not drive: a driver
    // writes every slot and receives every client's request. Said once;
    // the HELLO after a refused ANNOUNCE is the same attempt.
    if (!peer.toldNotDriver)
      std::fprintf(stderr,
                   "infodriver %d: refused the driver role to %s: only "
                   "this user or root may be the driver\n",
                   device_, describe(peer).c_str());
    peer.toldNotDriver = true;
    answer(peer, m, 0);
  } else if (driver_ != 0) {
    // Told once: the HELLO that follows a refused ANNOUNCE is the same
    // attempt, not a second one.
    if (!peer.toldInUse)
      queue(peer, {WVN_DEVICEIDINUSE, 0, device_, 0, std::string()});
    peer.toldInUse = true;
    answer(peer, m, 0);
  } else {
    driver_ = peer.id;
    queue(peer, {WVN_HELLOACK, 0, 1, 0, std::string()});
    answer(peer, m, 1);
  }
}

void InfodriverServer::handleWrite(Peer& peer, const InfoMessage& m) {
  const bool valid = peer.id == driver_ && IsSlotInRange(m.wParam);
  if (valid) {
    slots_.set(m.wParam, m.text);
    if (audit_)
      audit_->SlotWritten(static_cast<int>(m.wParam), slots_.get(m.wParam));
    const InfoMessage written{INFO_SLOTWRITTEN, 0, m.wParam,
                              static_cast<int64_t>(m.message),
                              slots_.get(m.wParam)};
    for (auto& [id, other] : peers_) {
      if (!other->watching || other->dead) continue;
      queue(*other, written);
      if (other.get() != &peer) updateWatch(*other);
    }
  }
  answer(peer, m, valid ? 1 : 0);
}

void InfodriverServer::handleSlotChange(Peer& peer, const InfoMessage& m) {
  // An attribution counts for the one request that follows it.
  std::optional<ControlAttribution> attribution = std::move(peer.attribution);
  peer.attribution.reset();
  const std::string text = SlotText(m.text.c_str());
  uint64_t audit = 0;
  if (audit_) {
    const int slot = static_cast<int>(
        std::clamp<int64_t>(m.wParam, -1, kInfodriverSlotCount));
    audit = audit_->Requested({peer.uid, peer.pid}, attribution, slot, text,
                              IsSlotInRange(slot) ? slots_.get(slot) : "");
  }
  if (!IsSlotInRange(m.wParam)) {
    if (audit_)
      audit_->Refused(audit, "no such slot (0 to " +
                                 std::to_string(kInfodriverSlotCount - 1) +
                                 ")");
    answer(peer, m, 0);
    return;
  }
  // Every request reaches the driver with a deadline it can trust: one
  // the client did not give is counted from now, and one further away
  // than a request may take is cut to that. The driver checks it again
  // when it reads the request; only one already past is refused here.
  const int64_t now = TheSystemClock().NowMs();
  const int64_t latest = now + kControlDeadlineMs;
  const int64_t deadline =
      m.lParam == 0 || m.lParam > latest ? latest : m.lParam;
  if (now > deadline) {
    if (audit_)
      audit_->Expired(audit,
                      "its deadline had passed when the infodriver read it");
    answer(peer, m, INFO_EXPIRED);
    return;
  }
  forwardToDriver(peer, m, text, deadline, audit);
}

// Who a client says its next slot change comes from, or a refusal it made
// itself, for the audit trail.
void InfodriverServer::handleAudit(Peer& peer, const InfoMessage& m) {
  if (m.message == INFO_ATTRIBUTE) {
    peer.attribution = ControlAudit::ParseAttribution(m.text);
    answer(peer, m, peer.attribution ? 1 : 0);
  } else {
    const bool recorded =
        audit_ &&
        audit_->ClientRefusal({peer.uid, peer.pid}, m.text,
                              [this](int slot) { return slots_.get(slot); });
    answer(peer, m, recorded ? 1 : 0);
  }
}

void InfodriverServer::handleDump(Peer& peer, const InfoMessage& m) {
  int64_t count = 0;
  for (int slot = 0;
       slot < kInfodriverSlotCount && !peer.dead && !peer.dropping; ++slot) {
    const std::string& text = slots_.get(slot);
    if (text.empty()) continue;
    queue(peer, {INFO_SLOTDATA, 0, slot, 0, text});
    ++count;
  }
  answer(peer, m, count);
}
