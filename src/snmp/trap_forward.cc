#include "snmp/trap_forward.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr uint8_t kMagic[4] = {'Q', 'T', 'R', 'P'};
constexpr uint8_t kVersion = 1;
}  // namespace

std::vector<uint8_t> ForwardedTrap(const struct sockaddr_in& source,
                                   uint16_t dstPort, const uint8_t* trap,
                                   size_t size) {
  std::vector<uint8_t> out(kForwardHeaderSize + size);
  std::memcpy(out.data(), kMagic, 4);
  out[4] = kVersion;
  out[5] = 0;
  std::memcpy(&out[6], &source.sin_port, 2);
  std::memcpy(&out[8], &source.sin_addr.s_addr, 4);
  const uint16_t port = htons(dstPort);
  std::memcpy(&out[12], &port, 2);
  out[14] = out[15] = 0;
  if (size) std::memcpy(out.data() + kForwardHeaderSize, trap, size);
  return out;
}

bool ParseForwardedTrap(const uint8_t* data, size_t size,
                        struct sockaddr_in* source, uint16_t* dstPort,
                        const uint8_t** trap, size_t* trapSize) {
  if (size <= kForwardHeaderSize || size > kForwardMaxDatagram) return false;
  if (std::memcmp(data, kMagic, 4) != 0 || data[4] != kVersion) return false;
  struct sockaddr_in from = {};
  from.sin_family = AF_INET;
  std::memcpy(&from.sin_port, &data[6], 2);
  std::memcpy(&from.sin_addr.s_addr, &data[8], 4);
  uint16_t port;
  std::memcpy(&port, &data[12], 2);
  *source = from;
  *dstPort = ntohs(port);
  *trap = data + kForwardHeaderSize;
  *trapSize = size - kForwardHeaderSize;
  return true;
}

std::string TrapIntakeSocketPath(const std::string& dir, int deviceNumber) {
  return dir + "/traps-" + std::to_string(deviceNumber) + ".sock";
}

std::string TrapIntakeLockPath(const std::string& dir) {
  return dir + "/qor_trapd.lock";
}

bool IsTrapIntakeSocketName(const std::string& name) {
  const std::string prefix = "traps-", suffix = ".sock";
  if (name.size() <= prefix.size() + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

bool TrapIntakeRunning(const std::string& lockPath) {
  int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops a shared lock just taken
  return held;
}
