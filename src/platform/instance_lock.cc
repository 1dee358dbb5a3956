#include "platform/instance_lock.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

InstanceLock::~InstanceLock() { Release(); }

InstanceLock::Result InstanceLock::Acquire(const std::string& name) {
  Release();
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  // Abstract namespace: leading NUL, then the name without a terminator.
  if (name.size() + 1 > sizeof addr.sun_path) return kError;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(
      offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kError;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
    int err = errno;
    close(fd);
    return err == EADDRINUSE ? kAlreadyHeld : kError;
  }
  fd_ = fd;
  return kAcquired;
}

void InstanceLock::Release() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}
