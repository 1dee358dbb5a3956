#ifndef QOR_SNMP_SNMP_API_CORE_H_
#define QOR_SNMP_SNMP_API_CORE_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "snmp/snmp_api.h"

// One variable binding as the layer keeps it: the name and a value of one
// syntax. Numbers, octets and OID values each have their own member; only
// the one that the syntax names is meaningful.
struct SnmpVar {
  std::vector<uint32_t> name;
  uint32_t syntax = SNMP_SYNTAX_NULL;
  int32_t sNumber = 0;   // INT
  uint32_t uNumber = 0;  // CNTR32, GAUGE32, TIMETICKS, UINT32
  uint64_t counter64 = 0;
  std::vector<uint8_t> octets;     // OCTETS, BITS, OPAQUE, NSAPADDR, IPADDR
  std::vector<uint32_t> oidValue;  // OID
};

// The member of SnmpVar that holds a value of a syntax: kNone for NULL and
// the exceptions, which carry no value, kUnknown for a syntax the layer
// does not carry.
enum class SnmpVarMember {
  kSigned,
  kUnsigned,
  kCounter64,
  kOctets,
  kOid,
  kNone,
  kUnknown
};
SnmpVarMember MemberForSyntax(uint32_t syntax);

// Transport state that an implementation hangs on a session; destroyed with
// the session.
class SnmpSessionTransport {
 public:
  virtual ~SnmpSessionTransport() = default;
};

struct SnmpSessionRec {
  SNMPAPI_CALLBACK callback = nullptr;
  void* clientData = nullptr;
  uint32_t lastError = SNMPAPI_SUCCESS;
  struct InMessage {
    std::string srcAddress;
    uint32_t srcPort = 0;
    std::string dstAddress;
    uint32_t dstPort = 0;
    std::string community;
    int32_t type = 0;
    int32_t requestId = 0;
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
    std::vector<SnmpVar> vars;
    // How a trap came: its SNMP version, and for version 3 its user,
    // security level and the sender's engine ID.
    SnmpSecurity::Version version = SnmpSecurity::Version::kV1;
    std::string securityName;
    SnmpSecurity::Level securityLevel = SnmpSecurity::Level::kNoAuthNoPriv;
    std::vector<uint8_t> engineId;
    bool inform = false;  // an inform, for a unit of version 2c or 3 only
  };
  std::deque<InMessage> inbox;
  // Remote addresses whose traps this session takes (Register).
  std::set<std::string> trapSources;
  SnmpSecurity security;
  std::unique_ptr<SnmpSessionTransport> transport;
};

struct SnmpEntityRec {
  HSNMP_SESSION session = nullptr;
  std::string address;  // numeric or as the transport resolved it
  uint32_t port = 161;
  bool portFromText = false;  // "ADDR:PORT": SetPort leaves the port alone
  bool listening = false;
};

struct SnmpContextRec {
  HSNMP_SESSION session = nullptr;
  std::string community;
};

struct SnmpPduRec {
  HSNMP_SESSION session = nullptr;
  int32_t type = 0;
  int32_t requestId = 0;
  int32_t errorStatus = 0;
  int32_t errorIndex = 0;
  std::vector<SnmpVar> vars;
};

struct SnmpVblRec {
  HSNMP_SESSION session = nullptr;
  std::vector<SnmpVar> vars;
};

// Everything of the SNMP layer except the wire: handles and their records,
// OIDs and descriptors, variable binding lists, PDUs, the per-session and
// process last error, the start-up count, trap registrations and the queue
// of messages waiting for RecvMsg. NetSnmpApi and FakeSnmpApi derive from
// it and add the transport through the protected hooks.
//
// Handles are checked: an unknown or already freed handle makes the call
// fail with the matching *_INVALID error instead of touching memory, and a
// handle is never reused, so a stale one cannot reach a newer object.
// Entities, contexts, PDUs and lists belong to the session they were made
// for and are released by Close if their owner did not free them;
// descriptors (StrToOid, GetVb) live until FreeDescriptor or the layer's
// end.
//
// Start-up count: Startup adds one, Cleanup takes one away and fails with
// SNMPAPI_NOT_INITIALIZED when there is nothing to undo. Sessions do not
// depend on the count (a unit whose neighbour already cleaned up keeps its
// session until it closes it itself).
//
// The layer never retransmits: SetRetransmitMode accepts SNMPAPI_OFF only,
// and Startup reports the retransmit mode as off.
//
// Thread safety: every operation takes the layer's lock, which is released
// before a session callback runs, so the fake can be used from a second
// thread. Callbacks run on the thread that delivers (see the derived
// classes).
class SnmpApiCore : public SnmpApi {
 public:
  SnmpApiCore();
  ~SnmpApiCore() override;

  SNMPAPI_STATUS Startup(uint32_t* major, uint32_t* minor, uint32_t* level,
                         uint32_t* translateMode,
                         uint32_t* retransmitMode) override;
  SNMPAPI_STATUS Cleanup() override;
  SNMPAPI_STATUS SetRetransmitMode(uint32_t mode) override;

  HSNMP_SESSION CreateSession(void* hWnd, uint32_t wMsg,
                              SNMPAPI_CALLBACK callback,
                              void* clientData) override;
  SNMPAPI_STATUS Close(HSNMP_SESSION session) override;

  HSNMP_ENTITY StrToEntity(HSNMP_SESSION session, const char* text) override;
  SNMPAPI_STATUS SetPort(HSNMP_ENTITY entity, uint32_t port) override;
  SNMPAPI_STATUS FreeEntity(HSNMP_ENTITY entity) override;
  SNMPAPI_STATUS Listen(HSNMP_ENTITY entity, uint32_t state) override;
  SNMPAPI_STATUS Register(HSNMP_SESSION session, HSNMP_ENTITY src,
                          HSNMP_ENTITY dst, HSNMP_CONTEXT context,
                          smiOID* notification, uint32_t state) override;

  HSNMP_CONTEXT StrToContext(HSNMP_SESSION session,
                             smiOCTETS* community) override;
  SNMPAPI_STATUS FreeContext(HSNMP_CONTEXT context) override;

  SNMPAPI_STATUS StrToOid(const char* text, smiOID* oid) override;
  SNMPAPI_STATUS OidToStr(const smiOID* oid, uint32_t size, char* out) override;
  SNMPAPI_STATUS FreeDescriptor(uint32_t syntax, void* descriptor) override;

  HSNMP_VBL CreateVbl(HSNMP_SESSION session, smiOID* name,
                      smiVALUE* value) override;
  SNMPAPI_STATUS FreeVbl(HSNMP_VBL vbl) override;
  SNMPAPI_STATUS CountVbl(HSNMP_VBL vbl) override;
  SNMPAPI_STATUS GetVb(HSNMP_VBL vbl, uint32_t index, smiOID* name,
                       smiVALUE* value) override;

  HSNMP_PDU CreatePdu(HSNMP_SESSION session, int32_t type, int32_t requestId,
                      int32_t errorStatus, int32_t errorIndex,
                      HSNMP_VBL vbl) override;
  SNMPAPI_STATUS GetPduData(HSNMP_PDU pdu, int32_t* type, int32_t* requestId,
                            int32_t* errorStatus, int32_t* errorIndex,
                            HSNMP_VBL* vbl) override;
  SNMPAPI_STATUS FreePdu(HSNMP_PDU pdu) override;

  SNMPAPI_STATUS SendMsg(HSNMP_SESSION session, HSNMP_ENTITY src,
                         HSNMP_ENTITY dst, HSNMP_CONTEXT context,
                         HSNMP_PDU pdu) override;
  SNMPAPI_STATUS RecvMsg(HSNMP_SESSION session, HSNMP_ENTITY* src,
                         HSNMP_ENTITY* dst, HSNMP_CONTEXT* context,
                         HSNMP_PDU* pdu) override;

  SNMPAPI_STATUS GetLastError(HSNMP_SESSION session) override;
  SNMPAPI_STATUS SetSecurity(HSNMP_SESSION session,
                             const SnmpSecurity& security) override;

  // Live records, for leak checks in tests: sessions, entities, contexts,
  // PDUs, lists and descriptors that have not been freed.
  struct Counts {
    size_t sessions = 0, entities = 0, contexts = 0, pdus = 0, vbls = 0,
           descriptors = 0;
    size_t handles() const { return entities + contexts + pdus + vbls; }
  };
  Counts LiveCounts() const;
  uint32_t startupCount() const;

  // Messages kept for a session whose callback does not take them; the
  // oldest are dropped beyond this.
  static constexpr size_t kInboxLimit = 256;
  static constexpr uint32_t kMaxOidLength = 128;

 protected:
  // Operations of the layer, named for failure injection.
  enum class Call {
    kStartup,
    kCleanup,
    kCreateSession,
    kClose,
    kStrToEntity,
    kSetPort,
    kFreeEntity,
    kListen,
    kRegister,
    kStrToContext,
    kFreeContext,
    kStrToOid,
    kOidToStr,
    kFreeDescriptor,
    kCreateVbl,
    kFreeVbl,
    kCountVbl,
    kGetVb,
    kCreatePdu,
    kGetPduData,
    kFreePdu,
    kSendMsg,
    kRecvMsg,
  };
  // Called first by every operation with the lock held; a non-zero result
  // makes the operation fail with that error and no effect.
  virtual uint32_t InjectedFailure(Call call) { return 0; }

  // Transport hooks, called with the lock held.
  // Turns an address text (without port) into the form kept in the entity;
  // false refuses it (StrToEntity fails with SNMPAPI_ENTITY_UNKNOWN).
  virtual bool ResolveAddress(const std::string& text, std::string* resolved);
  // Sends |pdu| from |session| to |dst| with |community|; returns 0 or the
  // error code to report.
  virtual uint32_t Transmit(HSNMP_SESSION session, const SnmpEntityRec* src,
                            const SnmpEntityRec& dst,
                            const std::string& community,
                            const SnmpPduRec& pdu) = 0;
  // Starts receiving on a local entity of |session|; 0 or an error code.
  virtual uint32_t StartListening(HSNMP_SESSION session,
                                  const SnmpEntityRec& entity) {
    return 0;
  }
  // The set of registered trap sources of some session changed; a non-zero
  // result (for instance the trap port cannot be bound) fails Register.
  virtual uint32_t TrapRegistrationsChanged() { return 0; }
  // |session| is about to be destroyed; release its transport.
  virtual void SessionClosing(HSNMP_SESSION session) {}

  // Delivery, called without the lock (from the transport's event handler
  // or a test). The session's callback runs before these return; a closed
  // session gets nothing. Returns false when the session is not open.
  bool DeliverMessage(HSNMP_SESSION session, SnmpSessionRec::InMessage msg);
  bool DeliverNotification(HSNMP_SESSION session, uint32_t code,
                           uint32_t lParam);
  // Every open session registered for |sourceAddress|, in creation order.
  std::vector<HSNMP_SESSION> SessionsRegisteredFor(
      const std::string& sourceAddress) const;
  // Open sessions in creation order, and every live entity.
  std::vector<HSNMP_SESSION> OpenSessions() const;
  std::vector<const SnmpEntityRec*> AllEntities() const;

  // Valid record or null; lock held by the caller.
  SnmpSessionRec* FindSession(HSNMP_SESSION h) const;
  SnmpEntityRec* FindEntity(HSNMP_ENTITY h) const;
  SnmpContextRec* FindContext(HSNMP_CONTEXT h) const;

  mutable std::recursive_mutex mu_;

 private:
  uint32_t Fail(HSNMP_SESSION session, uint32_t error);
  bool Injected(Call call, HSNMP_SESSION session);
  SnmpPduRec* FindPdu(HSNMP_PDU h) const;
  SnmpVblRec* FindVbl(HSNMP_VBL h) const;
  void* AllocDescriptor(size_t bytes);
  bool ReleaseDescriptor(void* ptr);
  void ReleaseSessionRecords(HSNMP_SESSION session);

  // A new handle: one number for every object the layer ever made, of any
  // kind, so no handle is ever reused, nor taken for another kind's.
  template <typename Handle>
  Handle NewHandle() {
    return reinterpret_cast<Handle>(static_cast<uintptr_t>(nextHandle_++) << 4);
  }

  uint64_t nextHandle_ = 1;
  uint32_t startupCount_ = 0;
  uint32_t lastError_ = SNMPAPI_SUCCESS;
  uint64_t nextOrder_ = 1;
  // Records by handle; the order number keeps sessions in creation order.
  std::map<HSNMP_SESSION, std::pair<uint64_t, std::unique_ptr<SnmpSessionRec>>>
      sessions_;
  std::map<HSNMP_ENTITY, std::unique_ptr<SnmpEntityRec>> entities_;
  std::map<HSNMP_CONTEXT, std::unique_ptr<SnmpContextRec>> contexts_;
  std::map<HSNMP_PDU, std::unique_ptr<SnmpPduRec>> pdus_;
  std::map<HSNMP_VBL, std::unique_ptr<SnmpVblRec>> vbls_;
  std::set<void*> descriptors_;
};

// Dotted-decimal OID text to sub-identifiers: "1.3.6.1" (a leading "." is
// allowed); false for anything else or more than 128 sub-identifiers.
bool ParseOidText(const char* text, std::vector<uint32_t>* out);
// A binding's value from an smiVALUE (octets and OIDs copied); false for an
// unknown syntax.
bool VarFromValue(const smiVALUE& value, SnmpVar* var);

#endif  // QOR_SNMP_SNMP_API_CORE_H_
