#include "snmp/testing/recording_session.h"

HSNMP_VBL RecordingSession::SNMPTrap(HSNMP_PDU pdu) {
  if (useDefaults) return CsnmpZarn::SNMPTrap(pdu);
  return Record("trap", pdu);
}

HSNMP_VBL RecordingSession::SNMPReply(HSNMP_PDU pdu) {
  if (useDefaults) return CsnmpZarn::SNMPReply(pdu);
  return Record("reply", pdu);
}

void RecordingSession::SNMPError(uint32_t code, uint32_t requestId) {
  if (useDefaults) return CsnmpZarn::SNMPError(code, requestId);
  SessionEvent e;
  e.what = "error";
  e.code = code;
  e.requestId = static_cast<int32_t>(requestId);
  Push(std::move(e));
}

HSNMP_VBL RecordingSession::Record(const char* what, HSNMP_PDU pdu) {
  SessionEvent e;
  e.what = what;
  HSNMP_VBL vbl = nullptr;
  snmpApi().GetPduData(pdu, &e.type, &e.requestId, &e.errorStatus,
                       &e.errorIndex, &vbl);
  uint32_t count = snmpApi().CountVbl(vbl);
  for (uint32_t i = 1; i <= count; ++i) {
    char oid[256], value[256];
    getOid(vbl, i, sizeof oid, oid);
    GetValue(vbl, i, sizeof value, value);
    e.bindings.emplace_back(oid, value);
  }
  Push(std::move(e));
  // Without |keep| the list is left to the session's close.
  return keep ? vbl : nullptr;
}

void RecordingSession::Push(SessionEvent event) {
  events.push_back(std::move(event));
  Recorded(events.back());
}
