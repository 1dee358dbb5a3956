#ifndef QOR_SNMP_TESTING_FAKE_SNMP_API_H_
#define QOR_SNMP_TESTING_FAKE_SNMP_API_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "snmp/snmp_api_core.h"

// A scripted SNMP layer for unit tests of the session, the engine and the
// model. It keeps every handle rule of the real layer (SnmpApiCore) but has
// no wire: every PDU sent is recorded, and the test delivers replies, traps
// and notifications, which reach the session's callback exactly as the real
// layer delivers them (callback with wParam 0, then RecvMsg; or the
// notification code with its lParam). Delivery is synchronous: the callback
// has run when Deliver*/ReplyTo returns.
//
// Example:
//
//   FakeSnmpApi fake;
//   ScopedSnmpApi use(&fake);           // TheSnmpApi() is now |fake|
//   MyDevice dev;                       // derives from CsnmpZarn
//   dev.init_snmp("10.0.0.5", "public", 161, "127.0.0.1", 0);
//   dev.sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0, 0x10001);
//   const FakeSnmpApi::SentPdu& req = fake.lastSent();
//   EXPECT_EQ(req.oid, "1.3.6.1.4.1.6853");   // also address, community...
//   fake.ReplyTo(req, {{"1.3.6.1.4.1.6853.1.1.0", SNMP_SYNTAX_INT, "7"}});
//   fake.DeliverTimeout(req);                    // SNMPError(108, id)
//   fake.DeliverTrapFrom("10.0.0.5", SNMP_PDU_TRAP,
//                        {{"1.3.6.1.2.1.1.3.0", SNMP_SYNTAX_TIMETICKS, "5"},
//                         {"1.3.6.1.6.3.1.1.4.1.0", SNMP_SYNTAX_OID,
//                          "1.3.6.1.6.3.1.1.5.1"}});
//   fake.FailCall(FakeSnmpApi::Call::kSendMsg, SNMPAPI_TL_UNDELIVERABLE);
//
// Values are given as text by syntax: INT signed decimal; CNTR32, GAUGE32,
// TIMETICKS, UINT32 unsigned decimal; CNTR64 unsigned 64-bit decimal; OID
// dotted; IPADDR "a.b.c.d"; OCTETS, BITS, OPAQUE, NSAPADDR the string's
// bytes as they are (a std::string may hold any byte, "\x01\xFF" included);
// NULL and the exceptions 0x80-0x82 take no text. Sent values are recorded
// in the same form.
//
// Thread safety: every operation may be called from any thread; callbacks
// run on the thread that calls Deliver*/ReplyTo.
class FakeSnmpApi : public SnmpApiCore {
 public:
  using SnmpApiCore::Call;

  struct Binding {
    std::string oid;
    uint32_t syntax = SNMP_SYNTAX_NULL;
    std::string value;
  };

  // One PDU handed to SendMsg, with its first binding spelled out (the
  // driver's requests carry exactly one) and all bindings in |bindings|.
  struct SentPdu {
    HSNMP_SESSION session = nullptr;
    std::string address;  // destination entity
    uint32_t port = 0;
    std::string community;
    int32_t type = 0;
    int32_t requestId = 0;
    // For a GetBulk: non-repeaters and max-repetitions.
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
    // The session's version and security when it was sent.
    SnmpSecurity security;
    std::string oid;      // first binding's name, dotted
    uint32_t syntax = 0;  // first binding's value syntax
    std::string value;    // first binding's value in the text form above
    size_t bindingCount = 0;
    std::vector<Binding> bindings;
  };

  FakeSnmpApi();
  ~FakeSnmpApi() override;

  // --- What was sent -----------------------------------------------------
  std::vector<SentPdu> sent() const;
  size_t sentCount() const;
  const SentPdu& lastSent() const;  // copy it before sending more
  void ClearSent();

  // --- Delivery (the callback runs before these return) -------------------
  // A message for |session| (type 0xA2 unless given). False when the session
  // is not open.
  bool DeliverReply(HSNMP_SESSION session, int32_t requestId,
                    const std::vector<Binding>& bindings,
                    int32_t errorStatus = 0, int32_t errorIndex = 0,
                    int32_t type = SNMP_PDU_RESPONSE);
  // The reply to a recorded request: same session and request id.
  bool ReplyTo(const SentPdu& request, const std::vector<Binding>& bindings,
               int32_t errorStatus = 0, int32_t errorIndex = 0);
  // A trap PDU (0xA4 or 0xA7) straight to |session|.
  bool DeliverTrap(HSNMP_SESSION session, int32_t type,
                   const std::vector<Binding>& bindings, int32_t requestId = 0);
  // A trap routed like the real layer: to every open session registered for
  // |sourceAddress|, in the order they were created. Returns how many got
  // it.
  int DeliverTrapFrom(const std::string& sourceAddress, int32_t type,
                      const std::vector<Binding>& bindings);
  // A notification: timeout (108) with the request id, or any other code.
  bool DeliverNotification(HSNMP_SESSION session, uint32_t code,
                           uint32_t lParam);
  bool DeliverTimeout(const SentPdu& request);

  // --- Failures -----------------------------------------------------------
  // Makes |call| fail with |lastError| (returned by GetLastError of the
  // session involved and of the process; for a call that names no session,
  // such as FreeDescriptor, of every open session) for the next |times|
  // calls, or for every call with times < 0; times 0 removes the failure.
  // The failing call has no other effect.
  void FailCall(Call call, uint32_t lastError, int times = -1);
  void ClearFailures();
  // How many times |call| was made (failed ones included).
  int CallCount(Call call) const;

  // --- Inspection -----------------------------------------------------------
  // Open sessions in creation order.
  std::vector<HSNMP_SESSION> sessions() const;
  HSNMP_SESSION lastSession() const;  // null when none is open
  // Registered trap source addresses of |session|.
  std::vector<std::string> trapSources(HSNMP_SESSION session) const;
  struct EntityInfo {
    HSNMP_SESSION session;
    std::string address;
    uint32_t port;
    bool listening;
  };
  // Entities that are alive, in no particular order.
  std::vector<EntityInfo> entities() const;
  // The address of a live entity; empty for an unknown or freed handle.
  std::string entityAddress(HSNMP_ENTITY entity) const;
  // The port of a live entity; 0 for an unknown or freed handle.
  uint32_t entityPort(HSNMP_ENTITY entity) const;
  bool entityListening(HSNMP_ENTITY entity) const;
  // The community of a live context; empty for an unknown or freed handle.
  std::string contextCommunity(HSNMP_CONTEXT context) const;
  // Calls of StartListening for |session|: address and port listened on.
  std::vector<std::pair<std::string, uint32_t>> listens(
      HSNMP_SESSION session) const;

 protected:
  uint32_t InjectedFailure(Call call) override;
  uint32_t Transmit(HSNMP_SESSION session, const SnmpEntityRec* src,
                    const SnmpEntityRec& dst, const std::string& community,
                    const SnmpPduRec& pdu) override;
  uint32_t StartListening(HSNMP_SESSION session,
                          const SnmpEntityRec& entity) override;
  void SessionClosing(HSNMP_SESSION session) override;

 private:
  struct Failure {
    uint32_t error;
    int times;
  };
  SnmpSessionRec::InMessage MakeMessage(HSNMP_SESSION session, int32_t type,
                                        int32_t requestId, int32_t errorStatus,
                                        int32_t errorIndex,
                                        const std::vector<Binding>& bindings);

  std::vector<SentPdu> sent_;
  std::map<Call, Failure> failures_;
  std::map<Call, int> calls_;
  std::map<HSNMP_SESSION, std::vector<std::pair<std::string, uint32_t>>>
      listens_;
  std::map<HSNMP_SESSION, std::pair<std::string, uint32_t>> peers_;
};

// A binding from its text form (the rules above) and back; VarFromText is
// false when the texts do not fit the syntax.
bool VarFromText(const FakeSnmpApi::Binding& binding, SnmpVar* var);
FakeSnmpApi::Binding BindingFromVar(const SnmpVar& var);

#endif  // QOR_SNMP_TESTING_FAKE_SNMP_API_H_
