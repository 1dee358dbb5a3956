#ifndef QOR_SNMP_NET_SNMP_API_H_
#define QOR_SNMP_NET_SNMP_API_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/event_loop.h"
#include "platform/trap_port.h"
#include "snmp/snmp_api_core.h"

struct snmp_pdu;

// The real SNMP layer: requests over net-snmp's single-session API, served
// by an event loop; SNMPv1 unless the session's security says 2c or 3.
// A v3 session learns the unit's engine ID with a probe sent like any
// request when its first request is made; the requests made until the
// answer are held and go out with it, or fail as timed out with the probe,
// and the next request probes again. A unit whose requests time out
// kForgetEngineIdAfter times in a row is probed again with its next one
// (it may have come back with another engine ID). Nothing waits for a unit.
// A report from a v3 unit ends its request with the cause it names
// (SNMPAPI_V3_*), delivered like a timeout, except notInTimeWindow, after
// which the library sends the request again once with the time it learned.
//
// - One net-snmp session per session of ours, opened on the remote entity
//   when it is first known (trap registration or the first send) and opened
//   again if a request goes to another entity. Requests carry the caller's
//   request id and the context's community; net-snmp never retransmits.
// - Timeout: kDefaultTimeoutMs (2000 ms) per request, no retries. A unit on
//   the LAN answers in a few milliseconds, so two seconds only expire for a
//   unit that is gone or a datagram that was lost; the engine supervises
//   communication by counting poll ticks whose scan request is still
//   unanswered and resends the walk itself, so it does not rely on this
//   timeout. Its purpose is to tell SNMPError about each lost request (so
//   the engine's outstanding count comes down and a queued Set can go) soon
//   enough to be useful and late enough that a slow answer is still taken.
// - Traps: one UDP receiver for the process on port 162 of all addresses
//   (ZARN_SNMP_TRAP_PORT gives another), opened with the first registration
//   and closed with the last. A port that cannot be opened (another trap
//   receiver on the host, no privilege) does not fail the registration:
//   the units are polled all the same, the log file and the debug list say
//   that traps are off and why, and the port is tried again every
//   kTrapRetryMs until it opens or nobody wants traps any more. Each trap
//   reaches every session registered for its UDP source address; traps from any
//   other source are dropped. SNMPv1 traps are handed over in the v2 form
//   (sysUpTime.0, snmpTrapOID.0, then the trap's bindings) with PDU type 0xA4;
//   v2c traps as they come (0xA7). A unit of version 3 takes only v3 traps
//   with its user, security level and engine ID (set, or learned while
//   polling); one that fails these or the library's checks reaches the
//   session as an SNMPAPI_V3_* code with request id kSnmpTrapRefused. v2c
//   informs go to units of version 2c or 3, v3 informs (checked with users
//   of this process's engine ID, the authoritative one for informs) to units
//   of version 3 as their traps do; each is answered from the trap port once
//   a unit took it (through the intake, below, when one runs: the answer
//   goes to its socket, and it sends it). A v3 unit that learns this
//   process's engine ID and time gets the reports it asks for, from the
//   same port. Anything else that arrives (requests, broken datagrams) is
//   dropped.
// - Several drivers on one host: when the host runs a trap intake
//   (qor_trapd, which then owns port 162), traps come from it instead, over
//   a Unix datagram socket of this process (setTrapIntake), each with its
//   original UDP source, and go to the sessions exactly as above. Whether
//   an intake runs is its lock in the runtime directory; it is looked at
//   when traps are first wanted and every kIntakeCheckMs after, so the
//   port goes to an intake that starts later and comes back when none runs
//   any more. Without setTrapIntake nothing of this happens.
// - Listen on a local entity opens a UDP socket bound to that address and
//   port which takes traps for its session, with the same rules.
// - net-snmp reads no configuration files, loads no MIBs and logs nothing.
//
// Callbacks run from the event loop (socket readiness and request deadlines),
// never from inside SendMsg. Everything must be called on the loop's
// thread. |loop| is not owned and must outlive this object.
class NetSnmpApi : public SnmpApiCore {
 public:
  static constexpr int kDefaultTimeoutMs = 2000;
  static constexpr uint16_t kDefaultTrapPort = kStandardTrapPort;
  static constexpr int kIntakeCheckMs = 2000;
  static constexpr int kTrapRetryMs = 60000;
  // Requests of a v3 unit timed out one after the other after which its
  // engine ID is learned again.
  static constexpr int kForgetEngineIdAfter = 3;

  explicit NetSnmpApi(EventLoop& loop, int timeoutMs = kDefaultTimeoutMs);
  ~NetSnmpApi() override;

  int timeoutMs() const { return timeoutMs_; }
  // The port the trap receiver is bound to; 0 while it is closed.
  uint16_t trapPort() const;
  // Takes traps from the host's trap intake when one runs: |socketPath| is
  // this process's intake socket, |lockPath| the intake's lock. Call before
  // the first trap registration.
  void setTrapIntake(const std::string& socketPath,
                     const std::string& lockPath);
  // True while the intake socket is open.
  bool trapIntakeOpen() const { return intakeFd_ >= 0; }
  // How long to wait before trying a trap port that could not be opened
  // again; tests shorten it.
  void setTrapRetryMs(int ms) { trapRetryMs_ = ms; }
  // The local UDP port requests of |session| go out from (and replies come
  // back to); 0 before its first send or registration.
  uint16_t sessionPort(HSNMP_SESSION session) const;

 protected:
  bool ResolveAddress(const std::string& text, std::string* resolved) override;
  uint32_t Transmit(HSNMP_SESSION session, const SnmpEntityRec* src,
                    const SnmpEntityRec& dst, const std::string& community,
                    const SnmpPduRec& pdu) override;
  uint32_t StartListening(HSNMP_SESSION session,
                          const SnmpEntityRec& entity) override;
  uint32_t TrapRegistrationsChanged() override;
  void SessionClosing(HSNMP_SESSION session) override;

 private:
  class Session;
  struct Event;

  Session* TransportOf(HSNMP_SESSION session, bool create);
  uint32_t OpenPeer(HSNMP_SESSION session, Session* s,
                    const std::string& address, uint32_t port,
                    const std::string& community, const SnmpSecurity& security);
  static int FromPeerOnly(struct snmp_session* session,
                          struct netsnmp_transport_s* transport,
                          void* transportData, int transportDataLength);
  // Hands |request| (taken in every case) to the library and keeps its
  // deadline; an error when it did not leave.
  uint32_t SendNow(HSNMP_SESSION session, Session* s, struct snmp_pdu* request);
  // Sends a v3 session's engine ID probe.
  uint32_t SendProbe(HSNMP_SESSION session, Session* s);
  void FinishProbe(HSNMP_SESSION session, Session* s);
  void ForgetEngineId(Session* s);
  // Asks net-snmp for the session's nearest request deadline and keeps it.
  void Reschedule(HSNMP_SESSION session);
  void SetDeadline(HSNMP_SESSION session, int64_t due);
  void ClearDeadline(HSNMP_SESSION session);
  // The event loop's deadline source: the nearest kept deadline of all
  // sessions, worked out again only when the nearest one went or moved.
  int64_t NearestDeadline();
  void ExpireDeadlines();
  void OnSessionReadable(HSNMP_SESSION session);
  void OnSessionTimer(HSNMP_SESSION session);
  void OnTrapSocket(int fd, HSNMP_SESSION onlyFor, bool forwarded = false);
  // Opens the trap port when it is not open; on failure says so once per
  // reason and tries again later.
  uint32_t OpenTrapPort(bool noIntake);
  void CloseTrapPort();
  void RetryTrapPort();
  void OpenIntakeSocket();
  void CloseIntakeSocket();
  void CheckTrapIntake();
  void Deliver(std::vector<Event> events);
  static constexpr uint32_t kTrapNotForSession = UINT32_MAX;
  // 0 when |session| takes the trap |msg|, kTrapNotForSession when it is
  // not its kind, else the SNMPAPI_V3_* cause it is refused for.
  uint32_t TrapRefusal(HSNMP_SESSION session,
                       const SnmpSessionRec::InMessage& msg);
  // The engine ID a v3 unit's traps must carry: set, or learned.
  std::vector<uint8_t> ExpectedEngineId(HSNMP_SESSION session);
  static int OnNetSnmpEvent(int op, struct snmp_session* session, int reqid,
                            struct snmp_pdu* pdu, void* magic);

  EventLoop& loop_;
  int timeoutMs_;
  int trapFd_ = -1;
  uint16_t trapPort_ = 0;
  int deadlineSource_ = 0;
  // Each session's nearest request deadline on the loop's clock, for the
  // sessions with requests waiting. A kept deadline may be earlier than
  // net-snmp's (a request answered since), never later: at worst the loop
  // wakes once, asks net-snmp, and keeps the true one.
  std::unordered_map<HSNMP_SESSION, int64_t> deadlines_;
  int64_t nearest_ = INT64_MAX;
  bool nearestStale_ = false;
  std::string intakeSocketPath_;
  std::string intakeLockPath_;
  std::string intakeAnswerPath_;  // where answers to informs go
  int intakeFd_ = -1;
  int64_t intakeTimer_ = 0;
  int trapRetryMs_ = kTrapRetryMs;
  int64_t trapRetryTimer_ = 0;
  bool trapRetrySet_ = false;
  uint32_t trapsOffError_ = 0;  // why the port is not open; 0 when it is
};

// For the process's own layer (TheSnmpApi()): take traps from the host's
// trap intake when one runs. Call before the layer is first used.
void UseHostTrapIntake(const std::string& socketPath,
                       const std::string& lockPath);
// For the process's own layer: its SNMP engine ID (the authoritative one
// of the v3 informs it receives) made from |text|, at most 27 bytes, the
// same at every start; otherwise the library makes one at random.
void UseSnmpEngineIdText(const std::string& text);
// The process's engine ID, "0x" and hexadecimal digits.
std::string LocalSnmpEngineIdText();

#endif  // QOR_SNMP_NET_SNMP_API_H_
