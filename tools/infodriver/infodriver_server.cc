#include "infodriver_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "infodriver/info_socket.h"
#include "infodriver/runtime_dir.h"
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

}  // namespace

InfodriverServer::InfodriverServer(int deviceNumber, EventLoop* loop)
    : device_(deviceNumber), loop_(loop) {}

InfodriverServer::~InfodriverServer() {
  stop();
  if (lockFd_ >= 0) close(lockFd_);
}

bool InfodriverServer::start(std::string* error) {
  std::string dir;
  if (PrepareRuntimeDirectory(true, &dir, error) != RuntimeDirStatus::kOk)
    return false;

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
      chmod(temporary.c_str(), 0600) != 0 || listen(fd, 64) != 0 ||
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
}

InfodriverServer::Peer* InfodriverServer::find(uint64_t id) {
  if (id == 0) return nullptr;
  auto it = peers_.find(id);
  return it == peers_.end() || it->second->dead ? nullptr : it->second.get();
}

void InfodriverServer::acceptPeers() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or out of descriptors: try next time
    if (peers_.size() >= kMaxPeers) {
      close(fd);
      continue;
    }
    auto peer = std::make_unique<Peer>();
    peer->id = nextPeerId_++;
    peer->fd = fd;
    Peer& p = *peer;
    peers_[p.id] = std::move(peer);
    updateWatch(p);
  }
}

void InfodriverServer::updateWatch(Peer& peer) {
  const short events = POLLIN | (peer.out.empty() ? 0 : POLLOUT);
  if (events == peer.events) return;
  peer.events = events;
  const uint64_t id = peer.id;
  loop_->WatchFd(peer.fd, events,
                 [this, id](short revents) { onPeerReady(id, revents); });
}

void InfodriverServer::onPeerReady(uint64_t id, short revents) {
  Peer* peer = find(id);
  if (peer == nullptr) return;
  if (revents & POLLOUT) flush(*peer);
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    for (int i = 0; i < kMessagesPerWake && !peer->dead; ++i) {
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
  }
  if (!peer->dead) updateWatch(*peer);
  reap();
}

void InfodriverServer::reap() {
  std::vector<uint64_t> dead;
  for (auto& [id, peer] : peers_)
    if (peer->dead) dead.push_back(id);
  for (uint64_t id : dead) {
    auto it = peers_.find(id);
    loop_->UnwatchFd(it->second->fd);
    close(it->second->fd);
    peers_.erase(it);
    if (id == driver_) dropDriver();
  }
}

void InfodriverServer::dropDriver() {
  driver_ = 0;
  // Nobody will answer what was passed on: the clients hear "no driver".
  auto waiting = std::move(forwards_);
  forwards_.clear();
  for (const auto& [sequence, f] : waiting) {
    if (Peer* client = find(f.client)) {
      InfoMessage request{f.message, f.clientSequence, 0, 0, std::string()};
      answer(*client, request, INFO_NO_DRIVER);
      updateWatch(*client);
    }
  }
}

void InfodriverServer::queue(Peer& peer, const InfoMessage& m) {
  if (peer.dead) return;
  std::string wire;
  if (!EncodeMessage(m, &wire)) return;
  peer.queuedBytes += wire.size();
  peer.out.push_back(std::move(wire));
  if (peer.queuedBytes > kMaxQueuedBytes) {
    // A peer that does not read what it asked for (a watcher that stalled)
    // would make the infodriver hold its output without limit.
    peer.dead = true;
    return;
  }
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
    peer.queuedBytes -= wire.size();
    peer.out.pop_front();
  }
  return !peer.dead;
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

void InfodriverServer::forwardToDriver(Peer& peer, const InfoMessage& m,
                                       std::string text) {
  Peer* driver = find(driver_);
  if (driver == nullptr) {
    answer(peer, m, INFO_NO_DRIVER);
    return;
  }
  if (driver == &peer || forwards_.size() >= kMaxForwards) {
    answer(peer, m, 0);
    return;
  }
  uint32_t sequence = nextSequence_++;
  if (nextSequence_ == 0) nextSequence_ = 1;
  forwards_[sequence] = {peer.id, m.sequence, m.message};
  queue(*driver, {m.message, sequence, m.wParam, 0, std::move(text)});
  if (!driver->dead) updateWatch(*driver);
}

void InfodriverServer::handleDriverResult(const InfoMessage& m) {
  auto it = forwards_.find(m.sequence);
  if (it == forwards_.end()) return;
  const Forward f = it->second;
  forwards_.erase(it);
  Peer* client = find(f.client);
  if (client == nullptr) return;  // asked and left
  // The driver's answer is 1 or 0; anything else from it is a refusal.
  const int64_t result = m.wParam == 1 ? 1 : 0;
  answer(*client, {f.message, f.clientSequence, 0, 0, std::string()}, result);
  if (!client->dead) updateWatch(*client);
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
      if (isDriver) {
        queue(peer, {WVN_HELLOACK, 0, 1, 0, std::string()});
        answer(peer, m, 1);
      } else if (!peer.discovered) {
        answer(peer, m, 0);
      } else if (driver_ != 0) {
        queue(peer, {WVN_DEVICEIDINUSE, 0, device_, 0, std::string()});
        answer(peer, m, 0);
      } else {
        driver_ = peer.id;
        queue(peer, {WVN_HELLOACK, 0, 1, 0, std::string()});
        answer(peer, m, 1);
      }
      break;

    case WVN_READSLOT:
      if (IsSlotInRange(m.wParam))
        answer(peer, m, 1, slots_.get(m.wParam));
      else
        answer(peer, m, 0);
      break;

    case WVN_WRITESLOT:
    case WVN_WRITESLOTNEG: {
      const bool valid = isDriver && IsSlotInRange(m.wParam);
      if (valid) {
        slots_.set(m.wParam, m.text);
        const InfoMessage written{INFO_SLOTWRITTEN, 0, m.wParam,
                                  static_cast<int64_t>(m.message),
                                  slots_.get(m.wParam)};
        for (auto& [id, other] : peers_) {
          if (!other->watching || other->dead) continue;
          queue(*other, written);
          if (!other->dead && other.get() != &peer) updateWatch(*other);
        }
      }
      answer(peer, m, valid ? 1 : 0);
      break;
    }

    case WVN_DEVDISCONNECT:
      if (isDriver) dropDriver();
      answer(peer, m, 0);
      break;

    case WVN_SLOTCHANGE:
      if (!IsSlotInRange(m.wParam)) {
        answer(peer, m, 0);
        break;
      }
      forwardToDriver(peer, m, SlotText(m.text.c_str()));
      break;

    case WVN_REQDEVGORXONLY:
    case WVN_REQDEVGOTXRX:
    case WVN_INQDEVGOTXRX:
      forwardToDriver(peer, m, std::string());
      break;

    case INFO_STATUS:
      if (m.sequence != 0)
        queue(peer,
              {INFO_RESULT, m.sequence, driver_ != 0 ? 1 : 0, device_, ""});
      break;

    case INFO_DUMP: {
      int64_t count = 0;
      for (int slot = 0; slot < kInfodriverSlotCount && !peer.dead; ++slot) {
        const std::string& text = slots_.get(slot);
        if (text.empty()) continue;
        queue(peer, {INFO_SLOTDATA, 0, slot, 0, text});
        ++count;
      }
      answer(peer, m, count);
      break;
    }

    case INFO_WATCH:
      peer.watching = true;
      answer(peer, m, 1);
      break;

    case INFO_RESULT:
      if (isDriver) handleDriverResult(m);
      break;

    default:
      answer(peer, m, 0);
      break;
  }
}
