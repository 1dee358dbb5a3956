#ifndef QOR_SNMP_TRAP_FORWARD_H_
#define QOR_SNMP_TRAP_FORWARD_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Traps handed from the host's trap intake (qor_trapd, which owns UDP port
// 162) to the drivers: one Unix datagram per trap datagram, a fixed header
// with the trap's original UDP source and destination, then the trap's
// bytes unchanged. The driver decides by the forwarded source address
// exactly as it decides by the UDP source of a trap it takes itself.
//
// Header, 16 bytes: "QTRP", version 1, 0, source port (network order),
// source IPv4 address (network order), destination port (network order),
// two zero bytes.
//
// The drivers' intake sockets and the intake's lock live in the runtime
// directory, which only the drivers' user can enter.
constexpr size_t kForwardHeaderSize = 16;
constexpr size_t kForwardMaxDatagram = kForwardHeaderSize + 65535;

// |trap| from |source| that arrived on |dstPort|, ready to send.
std::vector<uint8_t> ForwardedTrap(const struct sockaddr_in& source,
                                   uint16_t dstPort, const uint8_t* trap,
                                   size_t size);

// Reads a forwarded datagram; false (nothing set) for anything that is not
// one. |*trap| points into |data|.
bool ParseForwardedTrap(const uint8_t* data, size_t size,
                        struct sockaddr_in* source, uint16_t* dstPort,
                        const uint8_t** trap, size_t* trapSize);

// A driver's answer to an inform it took from the intake, for the intake
// to send out of the trap port (the inform's sender expects it from there):
// the same header with "QANS", the inform's source in the source fields and
// a zero destination port, then the answer's bytes.
std::vector<uint8_t> InformAnswer(const struct sockaddr_in& destination,
                                  const uint8_t* answer, size_t size);
bool ParseInformAnswer(const uint8_t* data, size_t size,
                       struct sockaddr_in* destination, const uint8_t** answer,
                       size_t* answerSize);

// Names in the runtime directory |dir|: a driver's intake socket, whose
// number keeps drivers of different devices apart, and the intake's lock,
// held for as long as an intake runs.
std::string TrapIntakeSocketPath(const std::string& dir, int deviceNumber);
std::string TrapIntakeLockPath(const std::string& dir);
// The intake's own socket, where the drivers send their answers to informs.
std::string TrapIntakeAnswerSocketPath(const std::string& dir);
// True when |name| (a file name in the runtime directory) is a driver's
// intake socket.
bool IsTrapIntakeSocketName(const std::string& name);

// True while an intake holds its lock in |lockPath|.
bool TrapIntakeRunning(const std::string& lockPath);

#endif  // QOR_SNMP_TRAP_FORWARD_H_
