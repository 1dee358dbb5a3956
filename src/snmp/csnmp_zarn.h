#ifndef QOR_SNMP_CSNMP_ZARN_H_
#define QOR_SNMP_CSNMP_ZARN_H_

#include <cstdint>

#include "snmp/snmp_api.h"
#include "snmp/snmp_security.h"

// The SNMP session of one unit: one session of the SNMP layer with the
// unit's address as the remote entity and its community as the context. It
// sends one-binding requests given as text and dispatches every notification
// of its session (replies, traps, failures and timeouts) to three virtual
// operations, which the polling engine overrides.
//
// A process-wide count of live objects starts the SNMP layer with the first
// object and cleans it up with the last. Diagnostic lines go to the system
// debug output only.
//
// Everything runs on the event loop's thread. The community octets point at
// the community text held by the derived object, which must outlive the
// session. The object talks to the layer that TheSnmpApi() gave when it was
// constructed, for its whole life.
class CsnmpZarn {
 public:
  CsnmpZarn();
  ~CsnmpZarn();  // not virtual: the engine's destructor calls it last
  CsnmpZarn(const CsnmpZarn&) = delete;
  CsnmpZarn& operator=(const CsnmpZarn&) = delete;

  // 0 on success, 1 on any failure (what was made stays in place).
  int init_snmp(const char* address, const char* community, uint32_t remotePort,
                const char* localAddress, uint32_t localPort);
  int closeSnmp();
  // 0 when the layer accepted the request, 1 otherwise. A GetBulk asks for
  // security.maxRepetitions bindings with no non-repeaters.
  int sendRequest(int32_t pduType, const char* oid, const char* value,
                  uint32_t syntax, int32_t requestId);

  // The session callback registered with the layer.
  static SNMPAPI_STATUS onSnmpEvent(HSNMP_SESSION session, void* hWnd,
                                    uint32_t wMsg, uint32_t wParam,
                                    uint32_t lParam, void* clientData);

  // Text of binding |index| (from 1): 1 when index is beyond the list.
  int GetValue(HSNMP_VBL vbl, uint32_t index, uint32_t size, char* out);
  int getOid(HSNMP_VBL vbl, uint32_t index, uint32_t size, char* out);
  // Syntax of binding |index| (from 1); SNMP_SYNTAX_NULL when there is none.
  uint32_t getSyntax(HSNMP_VBL vbl, uint32_t index);

  // The unit's version and security; set before init_snmp. Version 1 (the
  // default) leaves the session exactly as the community alone makes it.
  SnmpSecurity security;

  static uint32_t instanceCount();

 protected:
  // The layer this session talks to; the unit's replies and traps are
  // read through the same one.
  SnmpApi& snmpApi() const { return *api_; }

  virtual HSNMP_VBL SNMPTrap(HSNMP_PDU pdu);
  virtual HSNMP_VBL SNMPReply(HSNMP_PDU pdu);
  virtual void SNMPError(uint32_t code, uint32_t requestId);

  HSNMP_SESSION session = nullptr;
  HSNMP_VBL requestVbl = nullptr;
  HSNMP_PDU requestPdu = nullptr;
  HSNMP_ENTITY localEntity = nullptr;
  HSNMP_ENTITY remoteEntity = nullptr;
  HSNMP_CONTEXT context = nullptr;
  smiOCTETS communityOctets;

 private:
  void dispatch(HSNMP_SESSION session, uint32_t wParam, uint32_t lParam);
  void freeBinding(smiOID* name, smiVALUE* value, const char* valueLine);

  SnmpApi* api_;
  // Whether this object was counted in the instance count: an object whose
  // layer start-up failed must not take another object's count away.
  bool counted_ = false;
};

// The system debug output line of this layer: formatted into 2048 bytes and
// written as is (the texts carry their own "\n").
void SnmpTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // QOR_SNMP_CSNMP_ZARN_H_
