#include "infodriver/socket_transport.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "infodriver/info_socket.h"
#include "infodriver/runtime_dir.h"
#include "platform/event_loop.h"

SocketTransport::~SocketTransport() { close(); }

int ConnectToInfodriver(int deviceNumber, bool ownUserOnly,
                        std::string* failure, bool* setupFailed) {
  if (setupFailed != nullptr) *setupFailed = false;
  std::string dir, error;
  gid_t group;
  if (!InfodriverClientGroup(&group, &error) ||
      PrepareRuntimeDirectory(false, &dir, &error, group, !ownUserOnly) !=
          RuntimeDirStatus::kOk) {
    *failure = error;
    return -1;
  }
  int reason = 0;
  const std::string path = InfodriverSocketPath(dir, deviceNumber);
  int fd = ConnectInfoSocket(path, &reason);
  if (fd < 0) {
    switch (reason) {
      case EMFILE:
      case ENFILE:
      case ENOMEM:
      case ENOBUFS:
        *failure =
            std::string("cannot make a socket: ") + std::strerror(reason);
        if (setupFailed != nullptr) *setupFailed = true;
        return -1;
      case EAGAIN:
        *failure = path + ": nobody takes connections (the listen backlog " +
                   "stayed full)";
        return -1;
      case ENAMETOOLONG:
        *failure = path + ": longer than a socket address holds";
        return -1;
      default:
        *failure = path + ": " + std::strerror(reason);
        return -1;
    }
  }
  // Slot-change requests decide which outputs switch: the driver takes them
  // only from an infodriver of this user's or root's.
  const long uid = InfoPeerUid(fd);
  if (ownUserOnly && uid != 0 && uid != static_cast<long>(geteuid())) {
    *failure = path + ": the infodriver runs as uid " + std::to_string(uid) +
               ", not as this user (uid " + std::to_string(geteuid()) +
               ") or root";
    ::close(fd);
    return -1;
  }
  return fd;
}

InfodriverTransport::OpenResult SocketTransport::open(int deviceNumber) {
  close();
  failure_.clear();
  bool setupFailed = false;
  fd_ = ConnectToInfodriver(deviceNumber, true, &failure_, &setupFailed);
  if (fd_ >= 0) return OpenResult::kOk;
  return setupFailed ? OpenResult::kSetupFailed : OpenResult::kNoInfodriver;
}

void SocketTransport::close() {
  if (fd_ < 0) return;
  if (watchedBy_ != nullptr) watchedBy_->UnwatchFd(fd_);
  watchedBy_ = nullptr;
  ::close(fd_);
  fd_ = -1;
}

bool SocketTransport::send(const InfoMessage& message) {
  if (fd_ < 0) return false;
  return SendInfoMessage(fd_, message, kSendTimeoutMs);
}

InfodriverTransport::ReceiveResult SocketTransport::receive(
    InfoMessage* message, int timeoutMs) {
  using SteadyClock = std::chrono::steady_clock;
  const auto deadline =
      SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (fd_ < 0) return ReceiveResult::kClosed;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - SteadyClock::now())
                    .count();
    switch (ReceiveInfoMessage(fd_, message, left > 0 ? left : 0)) {
      case InfoReceive::kMessage:
        return ReceiveResult::kMessage;
      case InfoReceive::kNothing:
        return ReceiveResult::kNothing;
      case InfoReceive::kClosed:
        return ReceiveResult::kClosed;
      case InfoReceive::kMalformed:
        break;  // dropped; look for the next one within the same wait
    }
  }
}

void SocketTransport::watch(EventLoop* loop, std::function<void()> readable) {
  if (fd_ < 0) return;
  if (watchedBy_ != nullptr) watchedBy_->UnwatchFd(fd_);
  watchedBy_ = nullptr;
  if (!readable || loop == nullptr) return;
  watchedBy_ = loop;
  loop->WatchFd(fd_, POLLIN, [readable](short) { readable(); });
}
