#include "snmp/trap_forward.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr uint8_t kTrapMagic[4] = {'Q', 'T', 'R', 'P'};
constexpr uint8_t kAnswerMagic[4] = {'Q', 'A', 'N', 'S'};
constexpr uint8_t kVersion = 1;

std::vector<uint8_t> Pack(const uint8_t (&magic)[4],
                          const struct sockaddr_in& address, uint16_t dstPort,
                          const uint8_t* bytes, size_t size) {
  std::vector<uint8_t> out(kForwardHeaderSize + size);
  std::memcpy(out.data(), magic, 4);
  out[4] = kVersion;
  out[5] = 0;
  std::memcpy(&out[6], &address.sin_port, 2);
  std::memcpy(&out[8], &address.sin_addr.s_addr, 4);
  const uint16_t port = htons(dstPort);
  std::memcpy(&out[12], &port, 2);
  out[14] = out[15] = 0;
  if (size) std::memcpy(out.data() + kForwardHeaderSize, bytes, size);
  return out;
}

bool Unpack(const uint8_t (&magic)[4], const uint8_t* data, size_t size,
            struct sockaddr_in* address, uint16_t* dstPort,
            const uint8_t** bytes, size_t* byteCount) {
  if (size <= kForwardHeaderSize || size > kForwardMaxDatagram) return false;
  if (std::memcmp(data, magic, 4) != 0 || data[4] != kVersion) return false;
  struct sockaddr_in from = {};
  from.sin_family = AF_INET;
  std::memcpy(&from.sin_port, &data[6], 2);
  std::memcpy(&from.sin_addr.s_addr, &data[8], 4);
  uint16_t port;
  std::memcpy(&port, &data[12], 2);
  *address = from;
  *dstPort = ntohs(port);
  *bytes = data + kForwardHeaderSize;
  *byteCount = size - kForwardHeaderSize;
  return true;
}
}  // namespace

std::vector<uint8_t> ForwardedTrap(const struct sockaddr_in& source,
                                   uint16_t dstPort, const uint8_t* trap,
                                   size_t size) {
  return Pack(kTrapMagic, source, dstPort, trap, size);
}

bool ParseForwardedTrap(const uint8_t* data, size_t size,
                        struct sockaddr_in* source, uint16_t* dstPort,
                        const uint8_t** trap, size_t* trapSize) {
  return Unpack(kTrapMagic, data, size, source, dstPort, trap, trapSize);
}

std::vector<uint8_t> InformAnswer(const struct sockaddr_in& destination,
                                  const uint8_t* answer, size_t size) {
  return Pack(kAnswerMagic, destination, 0, answer, size);
}

bool ParseInformAnswer(const uint8_t* data, size_t size,
                       struct sockaddr_in* destination, const uint8_t** answer,
                       size_t* answerSize) {
  uint16_t unused;
  return Unpack(kAnswerMagic, data, size, destination, &unused, answer,
                answerSize);
}

std::string TrapIntakeSocketPath(const std::string& dir, int deviceNumber) {
  return dir + "/traps-" + std::to_string(deviceNumber) + ".sock";
}

std::string TrapIntakeLockPath(const std::string& dir) {
  return dir + "/qor_trapd.lock";
}

std::string TrapIntakeAnswerSocketPath(const std::string& dir) {
  return dir + "/qor_trapd.sock";
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
