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

InfodriverTransport::OpenResult SocketTransport::open(int deviceNumber) {
  close();
  failure_.clear();
  std::string dir, error;
  gid_t group;
  if (!InfodriverClientGroup(&group, &error)) {
    failure_ = error;
    return OpenResult::kNoInfodriver;
  }
  if (PrepareRuntimeDirectory(false, &dir, &error, group) !=
      RuntimeDirStatus::kOk) {
    failure_ = error;
    return OpenResult::kNoInfodriver;
  }
  int reason = 0;
  const std::string path = InfodriverSocketPath(dir, deviceNumber);
  fd_ = ConnectInfoSocket(path, &reason);
  if (fd_ < 0) {
    switch (reason) {
      case EMFILE:
      case ENFILE:
      case ENOMEM:
      case ENOBUFS:
        failure_ =
            std::string("cannot make a socket: ") + std::strerror(reason);
        return OpenResult::kSetupFailed;
      case EAGAIN:
        failure_ = path + ": nobody takes connections (the listen backlog " +
                   "stayed full)";
        return OpenResult::kNoInfodriver;
      case ENAMETOOLONG:
        failure_ = path + ": longer than a socket address holds";
        return OpenResult::kNoInfodriver;
      default:
        failure_ = path + ": " + std::strerror(reason);
        return OpenResult::kNoInfodriver;
    }
  }
  // Slot-change requests decide which outputs switch: they are taken only
  // from an infodriver of this user's or root's.
  const long uid = InfoPeerUid(fd_);
  if (uid != 0 && uid != static_cast<long>(geteuid())) {
    failure_ = path + ": the infodriver runs as uid " + std::to_string(uid) +
               ", not as this user (uid " + std::to_string(geteuid()) +
               ") or root";
    close();
    return OpenResult::kNoInfodriver;
  }
  return OpenResult::kOk;
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
