#include "infodriver/socket_transport.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "infodriver/info_socket.h"
#include "infodriver/runtime_dir.h"
#include "platform/event_loop.h"

SocketTransport::~SocketTransport() { close(); }

InfodriverTransport::OpenResult SocketTransport::open(int deviceNumber) {
  close();
  std::string dir, error;
  switch (PrepareRuntimeDirectory(false, &dir, &error)) {
    case RuntimeDirStatus::kOk:
      break;
    case RuntimeDirStatus::kMissing:
      return OpenResult::kNoInfodriver;
    case RuntimeDirStatus::kUnsafe:
      return OpenResult::kSetupFailed;
  }
  int reason = 0;
  fd_ = ConnectInfoSocket(InfodriverSocketPath(dir, deviceNumber), &reason);
  if (fd_ >= 0) return OpenResult::kOk;
  switch (reason) {
    case ENOENT:
    case ECONNREFUSED:
      return OpenResult::kNoInfodriver;
    default:
      return OpenResult::kSetupFailed;
  }
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
