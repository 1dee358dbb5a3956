#ifndef QOR_TESTS_SOAK_MDU_TRAFFIC_H_
#define QOR_TESTS_SOAK_MDU_TRAFFIC_H_

// What the soak and the end-to-end benchmarks put on the wire and read back,
// without spawning a process per packet: SNMPv1/v2c messages encoded and
// decoded by hand (only the BER forms an MDU uses), traps sent from a unit's
// own address, a synchronous walk of an agent, and a client of an
// infodriver's socket. Single-threaded; every call has its own deadline.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "infodriver/infodriver_protocol.h"

namespace mdu_traffic {

// One variable binding: INTEGER, OCTET STRING, OID, TimeTicks or NULL.
struct Binding {
  std::string oid;      // dotted decimal, no leading dot
  uint8_t type = 0x05;  // BER tag: 0x02 INTEGER, 0x04 OCTET STRING, ...
  std::string text;     // the string, or the number / OID in decimal
};

struct Pdu {
  int version = 0;  // 0 SNMPv1, 1 SNMPv2c
  std::string community;
  uint8_t type = 0;  // 0xA0 Get ... 0xA3 Set, 0xA7 v2 trap
  int32_t requestId = 0;
  int32_t errorStatus = 0;
  std::vector<Binding> bindings;
};

std::string EncodePdu(const Pdu& pdu);
// False when |data| is not an SNMP message of the forms above (v1 traps,
// 0xA4, are not decoded).
bool DecodePdu(const uint8_t* data, size_t size, Pdu* pdu);

// A v2c trap of an MDU: sysUpTime.0, snmpTrapOID.0 = |trapOid|, |bindings|.
std::string EncodeTrap(const std::string& community, const std::string& trapOid,
                       const std::vector<Binding>& bindings);

// A UDP socket bound to |fromAddress| (any port), so that what it sends
// comes from that unit's address. -1 on failure.
int BoundUdpSocket(const std::string& fromAddress);
bool SendUdp(int fd, const std::string& toAddress, int toPort,
             const std::string& bytes);

// A GetNext walk of |subtree| on ADDR:161 (SNMPv1), each value as the
// agent serves it. Empty optional when the agent does not answer.
std::optional<std::map<std::string, Binding>> Walk(const std::string& address,
                                                   const std::string& community,
                                                   const std::string& subtree,
                                                   int timeoutMs);

// A client connection to the infodriver of |device| (RUNDIR as infoctl
// finds it).
class InfoClient {
 public:
  InfoClient() = default;
  ~InfoClient();
  InfoClient(const InfoClient&) = delete;
  InfoClient& operator=(const InfoClient&) = delete;

  bool Connect(int device);
  void Close();
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends without waiting for the result; returns the sequence used, 0 when
  // the send failed.
  uint32_t Send(uint32_t message, int64_t wParam, const std::string& text);
  // Sends and waits for the result; events that arrive meanwhile go to
  // |pending|. Empty optional on timeout or a lost connection.
  std::optional<InfoMessage> Request(uint32_t message, int64_t wParam,
                                     const std::string& text, int timeoutMs);
  // One message, waiting at most |timeoutMs|: pending first.
  std::optional<InfoMessage> Next(int timeoutMs);
  // Every non-empty slot.
  std::optional<std::map<int, std::string>> Dump(int timeoutMs);

 private:
  // Hands each message that arrives to |take| until it returns true; false
  // when |timeoutMs| passes or the connection is lost first.
  bool ReceiveUntil(int timeoutMs,
                    const std::function<bool(InfoMessage&)>& take);

  int fd_ = -1;
  uint32_t sequence_ = 0;
  std::vector<InfoMessage> pending_;
};

// Microseconds on CLOCK_REALTIME (the clock of kernel packet time stamps).
int64_t NowUs();

// The relative slots of a unit's block that an agent's walk implies:
// GPI states and polarities, fuse states, output states and delays, the
// sequence settings, temperature, its state, alarm point, power status,
// location, and "0" in slot 99 (the unit answers). Empty texts are left out,
// as a dump leaves out empty slots.
std::map<int, std::string> BlockFromWalk(
    const std::map<std::string, Binding>& walk);

}  // namespace mdu_traffic

#endif  // QOR_TESTS_SOAK_MDU_TRAFFIC_H_
