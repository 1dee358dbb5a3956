#ifndef QOR_SNMP_SNMP_API_H_
#define QOR_SNMP_SNMP_API_H_

// The SNMP layer beneath the driver's session class: the operations of the
// Windows SNMP API that the session calls, with the same handles, results
// and error codes, so the session code keeps the shape of the API whose
// results its callers test for. Handles are opaque; every handle an operation
// hands out is freed with its free operation.
//
// Two implementations: NetSnmpApi (real SNMPv1 over net-snmp, served by the
// event loop) and FakeSnmpApi (scripted, for unit tests of the session, the
// engine and the model). The driver reaches the layer only through
// TheSnmpApi(), which tests replace with SetSnmpApi().
//
// Threading: everything runs on the event loop's thread; session callbacks
// are called from the loop (never re-entrantly from inside a send).

#include <cstdint>

#include "snmp/snmp_security.h"

using SNMPAPI_STATUS = uint32_t;
constexpr SNMPAPI_STATUS SNMPAPI_FAILURE = 0;
constexpr SNMPAPI_STATUS SNMPAPI_SUCCESS = 1;
constexpr uint32_t SNMPAPI_OFF = 0;
constexpr uint32_t SNMPAPI_ON = 1;

// Error codes returned by GetLastError (the text table is errorText()).
constexpr uint32_t SNMPAPI_ALLOC_ERROR = 2;
constexpr uint32_t SNMPAPI_CONTEXT_INVALID = 3;
constexpr uint32_t SNMPAPI_CONTEXT_UNKNOWN = 4;
constexpr uint32_t SNMPAPI_ENTITY_INVALID = 5;
constexpr uint32_t SNMPAPI_ENTITY_UNKNOWN = 6;
constexpr uint32_t SNMPAPI_INDEX_INVALID = 7;
constexpr uint32_t SNMPAPI_NOOP = 8;
constexpr uint32_t SNMPAPI_OID_INVALID = 9;
constexpr uint32_t SNMPAPI_OPERATION_INVALID = 10;
constexpr uint32_t SNMPAPI_OUTPUT_TRUNCATED = 11;
constexpr uint32_t SNMPAPI_PDU_INVALID = 12;
constexpr uint32_t SNMPAPI_SESSION_INVALID = 13;
constexpr uint32_t SNMPAPI_SYNTAX_INVALID = 14;
constexpr uint32_t SNMPAPI_VBL_INVALID = 15;
constexpr uint32_t SNMPAPI_MODE_INVALID = 16;
constexpr uint32_t SNMPAPI_SIZE_INVALID = 17;
constexpr uint32_t SNMPAPI_NOT_INITIALIZED = 18;
constexpr uint32_t SNMPAPI_MESSAGE_INVALID = 19;
constexpr uint32_t SNMPAPI_HWND_INVALID = 20;
constexpr uint32_t SNMPAPI_OTHER_ERROR = 99;
constexpr uint32_t SNMPAPI_TL_NOT_INITIALIZED = 100;
constexpr uint32_t SNMPAPI_TL_NOT_SUPPORTED = 101;
constexpr uint32_t SNMPAPI_TL_NOT_AVAILABLE = 102;
constexpr uint32_t SNMPAPI_TL_RESOURCE_ERROR = 103;
constexpr uint32_t SNMPAPI_TL_UNDELIVERABLE = 104;
constexpr uint32_t SNMPAPI_TL_SRC_INVALID = 105;
constexpr uint32_t SNMPAPI_TL_INVALID_PARAM = 106;
constexpr uint32_t SNMPAPI_TL_IN_USE = 107;
constexpr uint32_t SNMPAPI_TL_TIMEOUT = 108;
constexpr uint32_t SNMPAPI_TL_PDU_TOO_BIG = 109;
constexpr uint32_t SNMPAPI_TL_OTHER = 199;
// Beyond the Windows API: an SNMPv3 unit refused a request in a report,
// delivered to the session callback like a timeout, with the request id
// (0 when the unit could not read it); or a trap from the unit failed its
// checks.
constexpr uint32_t SNMPAPI_V3_WRONG_DIGEST = 201;
constexpr uint32_t SNMPAPI_V3_UNKNOWN_USER = 202;
constexpr uint32_t SNMPAPI_V3_UNKNOWN_ENGINE_ID = 203;
constexpr uint32_t SNMPAPI_V3_DECRYPTION_ERROR = 204;
constexpr uint32_t SNMPAPI_V3_UNSUPPORTED_LEVEL = 205;
constexpr uint32_t SNMPAPI_V3_NOT_IN_TIME_WINDOW = 206;
// The request id that comes with an SNMPAPI_V3_* code when a trap, not a
// request, was refused.
constexpr uint32_t kSnmpTrapRefused = UINT32_MAX;
inline bool IsSnmpV3Refusal(uint32_t code) {
  return code >= SNMPAPI_V3_WRONG_DIGEST &&
         code <= SNMPAPI_V3_NOT_IN_TIME_WINDOW;
}

// PDU types.
constexpr int32_t SNMP_PDU_GET = 0xA0;
constexpr int32_t SNMP_PDU_GETNEXT = 0xA1;
constexpr int32_t SNMP_PDU_RESPONSE = 0xA2;
constexpr int32_t SNMP_PDU_SET = 0xA3;
constexpr int32_t SNMP_PDU_V1TRAP = 0xA4;
constexpr int32_t SNMP_PDU_GETBULK = 0xA5;
constexpr int32_t SNMP_PDU_INFORM = 0xA6;
constexpr int32_t SNMP_PDU_TRAP = 0xA7;
constexpr int32_t SNMP_PDU_REPORT = 0xA8;

// SMI syntax codes (the same numbers as net-snmp's ASN types).
constexpr uint32_t SNMP_SYNTAX_INT = 0x02;
constexpr uint32_t SNMP_SYNTAX_BITS = 0x03;
constexpr uint32_t SNMP_SYNTAX_OCTETS = 0x04;
constexpr uint32_t SNMP_SYNTAX_NULL = 0x05;
constexpr uint32_t SNMP_SYNTAX_OID = 0x06;
constexpr uint32_t SNMP_SYNTAX_IPADDR = 0x40;
constexpr uint32_t SNMP_SYNTAX_CNTR32 = 0x41;
constexpr uint32_t SNMP_SYNTAX_GAUGE32 = 0x42;
constexpr uint32_t SNMP_SYNTAX_TIMETICKS = 0x43;
constexpr uint32_t SNMP_SYNTAX_OPAQUE = 0x44;
constexpr uint32_t SNMP_SYNTAX_NSAPADDR = 0x45;
constexpr uint32_t SNMP_SYNTAX_CNTR64 = 0x46;
constexpr uint32_t SNMP_SYNTAX_UINT32 = 0x47;
constexpr uint32_t SNMP_SYNTAX_NOSUCHOBJECT = 0x80;
constexpr uint32_t SNMP_SYNTAX_NOSUCHINSTANCE = 0x81;
constexpr uint32_t SNMP_SYNTAX_ENDOFMIBVIEW = 0x82;

// SNMP error status (the PDU's error-status field).
constexpr int32_t SNMP_ERROR_NOERROR = 0;
constexpr int32_t SNMP_ERROR_TOOBIG = 1;
constexpr int32_t SNMP_ERROR_NOSUCHNAME = 2;
constexpr int32_t SNMP_ERROR_BADVALUE = 3;
constexpr int32_t SNMP_ERROR_READONLY = 4;
constexpr int32_t SNMP_ERROR_GENERR = 5;
constexpr int32_t SNMP_ERROR_NOACCESS = 6;
constexpr int32_t SNMP_ERROR_WRONGTYPE = 7;
constexpr int32_t SNMP_ERROR_WRONGLENGTH = 8;
constexpr int32_t SNMP_ERROR_WRONGENCODING = 9;
constexpr int32_t SNMP_ERROR_WRONGVALUE = 10;
constexpr int32_t SNMP_ERROR_NOCREATION = 11;
constexpr int32_t SNMP_ERROR_INCONSISTENTVALUE = 12;
constexpr int32_t SNMP_ERROR_RESOURCEUNAVAILABLE = 13;
constexpr int32_t SNMP_ERROR_COMMITFAILED = 14;
constexpr int32_t SNMP_ERROR_UNDOFAILED = 15;
constexpr int32_t SNMP_ERROR_AUTHORIZATIONERROR = 16;
constexpr int32_t SNMP_ERROR_NOTWRITABLE = 17;
constexpr int32_t SNMP_ERROR_INCONSISTENTNAME = 18;

// Descriptors: an octet string or an OID that the layer allocated (by
// StrToOid, GetVb) is released with FreeDescriptor; one that the caller
// built over its own memory is not.
struct smiOCTETS {
  uint32_t len = 0;
  uint8_t* ptr = nullptr;
};
struct smiOID {
  uint32_t len = 0;
  uint32_t* ptr = nullptr;
};
struct smiCNTR64 {
  uint32_t hipart = 0;
  uint32_t lopart = 0;
};
struct smiVALUE {
  uint32_t syntax = SNMP_SYNTAX_NULL;
  union {
    int32_t sNumber;
    uint32_t uNumber;
    smiCNTR64 hNumber;
    smiOCTETS string;
    smiOID oid;
    uint8_t empty;
  } value{};
};

// Opaque handles; null means none. A handle names its object for as long as
// the object lives and is never given to another object afterwards, so a
// handle kept past its object's end makes every call fail instead of acting
// on whatever came next. The types they point to are never defined: a
// handle is a number, not an address.
struct SnmpSessionHandle;
struct SnmpEntityHandle;
struct SnmpContextHandle;
struct SnmpPduHandle;
struct SnmpVblHandle;
using HSNMP_SESSION = SnmpSessionHandle*;
using HSNMP_ENTITY = SnmpEntityHandle*;
using HSNMP_CONTEXT = SnmpContextHandle*;
using HSNMP_PDU = SnmpPduHandle*;
using HSNMP_VBL = SnmpVblHandle*;

// The notification callback of a session: wParam 0 means a message waits
// for RecvMsg; SNMPAPI_TL_TIMEOUT (108) with lParam = the request id of the
// request that got no answer; any other non-zero code is another failure.
// |hWnd| and |wMsg| are always 0 (no windows on this platform).
using SNMPAPI_CALLBACK = SNMPAPI_STATUS (*)(HSNMP_SESSION session, void* hWnd,
                                            uint32_t wMsg, uint32_t wParam,
                                            uint32_t lParam, void* clientData);

class SnmpApi {
 public:
  virtual ~SnmpApi() = default;

  // Process-wide start and clean-up: Startup counts, Cleanup undoes one.
  virtual SNMPAPI_STATUS Startup(uint32_t* major, uint32_t* minor,
                                 uint32_t* level, uint32_t* translateMode,
                                 uint32_t* retransmitMode) = 0;
  virtual SNMPAPI_STATUS Cleanup() = 0;
  virtual SNMPAPI_STATUS SetRetransmitMode(uint32_t mode) = 0;

  virtual HSNMP_SESSION CreateSession(void* hWnd, uint32_t wMsg,
                                      SNMPAPI_CALLBACK callback,
                                      void* clientData) = 0;
  virtual SNMPAPI_STATUS Close(HSNMP_SESSION session) = 0;

  // Entities: "A.B.C.D" or "A.B.C.D:PORT" (the port then replaces the
  // remote port set with SetPort; a plain address uses 161 until set).
  virtual HSNMP_ENTITY StrToEntity(HSNMP_SESSION session, const char* text) = 0;
  virtual SNMPAPI_STATUS SetPort(HSNMP_ENTITY entity, uint32_t port) = 0;
  virtual SNMPAPI_STATUS FreeEntity(HSNMP_ENTITY entity) = 0;
  virtual SNMPAPI_STATUS Listen(HSNMP_ENTITY entity, uint32_t state) = 0;
  // Traps whose UDP source is |dst|'s address reach |session|.
  virtual SNMPAPI_STATUS Register(HSNMP_SESSION session, HSNMP_ENTITY src,
                                  HSNMP_ENTITY dst, HSNMP_CONTEXT context,
                                  smiOID* notification, uint32_t state) = 0;

  virtual HSNMP_CONTEXT StrToContext(HSNMP_SESSION session,
                                     smiOCTETS* community) = 0;
  virtual SNMPAPI_STATUS FreeContext(HSNMP_CONTEXT context) = 0;

  // OIDs: dotted decimal only (no MIB names).
  virtual SNMPAPI_STATUS StrToOid(const char* text, smiOID* oid) = 0;
  // Writes at most size - 1 characters and a terminator; returns the length
  // written, or SNMPAPI_FAILURE.
  virtual SNMPAPI_STATUS OidToStr(const smiOID* oid, uint32_t size,
                                  char* out) = 0;
  virtual SNMPAPI_STATUS FreeDescriptor(uint32_t syntax, void* descriptor) = 0;

  // Variable binding lists; indexes start at 1.
  virtual HSNMP_VBL CreateVbl(HSNMP_SESSION session, smiOID* name,
                              smiVALUE* value) = 0;
  virtual SNMPAPI_STATUS FreeVbl(HSNMP_VBL vbl) = 0;
  virtual SNMPAPI_STATUS CountVbl(HSNMP_VBL vbl) = 0;
  // Copies the binding's name and value into layer-allocated descriptors
  // (free them with FreeDescriptor).
  virtual SNMPAPI_STATUS GetVb(HSNMP_VBL vbl, uint32_t index, smiOID* name,
                               smiVALUE* value) = 0;

  virtual HSNMP_PDU CreatePdu(HSNMP_SESSION session, int32_t type,
                              int32_t requestId, int32_t errorStatus,
                              int32_t errorIndex, HSNMP_VBL vbl) = 0;
  // Any out pointer may be null. *vbl receives a new handle (a copy of the
  // PDU's list) that the caller frees.
  virtual SNMPAPI_STATUS GetPduData(HSNMP_PDU pdu, int32_t* type,
                                    int32_t* requestId, int32_t* errorStatus,
                                    int32_t* errorIndex, HSNMP_VBL* vbl) = 0;
  virtual SNMPAPI_STATUS FreePdu(HSNMP_PDU pdu) = 0;

  virtual SNMPAPI_STATUS SendMsg(HSNMP_SESSION session, HSNMP_ENTITY src,
                                 HSNMP_ENTITY dst, HSNMP_CONTEXT context,
                                 HSNMP_PDU pdu) = 0;
  // Takes the oldest message waiting for |session|. Every handle returned
  // is the caller's to free.
  virtual SNMPAPI_STATUS RecvMsg(HSNMP_SESSION session, HSNMP_ENTITY* src,
                                 HSNMP_ENTITY* dst, HSNMP_CONTEXT* context,
                                 HSNMP_PDU* pdu) = 0;

  // The last error of |session|, or of the process for a null session.
  virtual SNMPAPI_STATUS GetLastError(HSNMP_SESSION session) = 0;

  // Beyond the Windows API: the SNMP version and security of every later
  // request of |session| (version 1 with the context's community until
  // set). A GetBulk PDU carries non-repeaters in its error status and
  // max-repetitions in its error index, as in the Windows API.
  virtual SNMPAPI_STATUS SetSecurity(HSNMP_SESSION session,
                                     const SnmpSecurity& security) = 0;
};

// The layer the driver uses. Not owned; tests install a fake and restore
// the previous one afterwards. With none installed, the process's NetSnmpApi
// is created on first use.
SnmpApi& TheSnmpApi();
SnmpApi* SetSnmpApi(SnmpApi* api);  // returns the previous one

// Installs |api| as TheSnmpApi() for a scope and puts the previous one back.
class ScopedSnmpApi {
 public:
  explicit ScopedSnmpApi(SnmpApi* api) : previous_(SetSnmpApi(api)) {}
  ~ScopedSnmpApi() { SetSnmpApi(previous_); }
  ScopedSnmpApi(const ScopedSnmpApi&) = delete;
  ScopedSnmpApi& operator=(const ScopedSnmpApi&) = delete;

 private:
  SnmpApi* previous_;
};

#endif  // QOR_SNMP_SNMP_API_H_
