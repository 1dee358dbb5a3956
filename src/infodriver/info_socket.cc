#include "infodriver/info_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until |deadline|; -1 stays "no limit".
int Remaining(int timeoutMs, Clock::time_point deadline) {
  if (timeoutMs < 0) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - Clock::now())
                  .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for |events| on |fd|; false on timeout. A hang-up counts as ready so
// that the caller sees the end of the stream.
bool WaitFor(int fd, short events, int timeoutMs) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, Remaining(timeoutMs, deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the I/O call report the error
  }
}

}  // namespace

int ConnectInfoSocket(const std::string& path, int* error, int timeoutMs) {
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // A non-blocking connect to a Unix socket whose backlog is full fails at
  // once with EAGAIN instead of waiting for room, so the wait is the
  // kernel's own, bounded by the socket's send timeout, which bounds a
  // blocking connect.
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  int r;
  for (;;) {
    const int left = Remaining(timeoutMs < 0 ? 0 : timeoutMs, deadline);
    struct timeval tv = {left / 1000, (left % 1000) * 1000};
    if (left == 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    } else {
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    r = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    if (r == 0 || errno != EINTR) break;
  }
  if (r != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

long InfoPeerUid(int fd) {
  struct ucred cred;
  socklen_t size = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return -1;
  return static_cast<long>(cred.uid);
}

bool SendInfoMessage(int fd, const InfoMessage& m, int timeoutMs) {
  std::string wire;
  if (!EncodeMessage(m, &wire)) return false;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    ssize_t n = send(fd, wire.data(), wire.size(), MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(wire.size())) return true;
    if (n >= 0) return false;  // a seqpacket send is whole or nothing
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int left = Remaining(timeoutMs, deadline);
    if (left == 0 || !WaitFor(fd, POLLOUT, left)) return false;
  }
}

InfoReceive ReceiveInfoMessage(int fd, InfoMessage* m, int timeoutMs) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  // One byte more than the longest valid message shows an oversized one.
  char buffer[kMessageMax + 1];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      if (static_cast<size_t>(n) > kMessageMax ||
          !DecodeMessage(buffer, static_cast<size_t>(n), m))
        return InfoReceive::kMalformed;
      return InfoReceive::kMessage;
    }
    // An empty message reads like the end of the stream; nothing valid is
    // empty, so both end the conversation.
    if (n == 0) return InfoReceive::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return InfoReceive::kClosed;
    int left = Remaining(timeoutMs, deadline);
    if (left == 0 || !WaitFor(fd, POLLIN, left)) return InfoReceive::kNothing;
  }
}
