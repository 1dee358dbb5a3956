#include "snmp/csnmp_zarn.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "snmp/snmp_values.h"

namespace {

uint32_t snmpInstanceCount = 0;

// Text to integer as the C library's atoi reads it, without its undefined
// behaviour on overflow: out-of-range values stop at the limits.
int32_t TextToInt(const char* text) {
  errno = 0;
  long long v = std::strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

uint32_t TextToUnsigned(const char* text) {
  errno = 0;
  unsigned long long v = std::strtoull(text, nullptr, 10);
  if (errno == ERANGE) return UINT32_MAX;
  // strtoull accepts "-1" as the largest value minus 0; keep its 32-bit
  // reading for negative texts and stop positive overflow at the limit.
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '-' && v > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

// The first four dot-separated pieces of the text become the bytes; missing
// pieces stay 0.
void TextToIpAddress(const char* text, uint8_t bytes[4]) {
  const char* p = text;
  for (int i = 0; i < 4 && p; ++i) {
    bytes[i] = static_cast<uint8_t>(TextToInt(p));
    p = std::strchr(p, '.');
    if (p) ++p;
  }
}

}  // namespace

void SnmpTrace(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugString(line);
}

uint32_t CsnmpZarn::instanceCount() { return snmpInstanceCount; }

CsnmpZarn::CsnmpZarn() : api_(&TheSnmpApi()) {
  localEntity = nullptr;
  remoteEntity = nullptr;
  if (snmpInstanceCount == 0) {
    SnmpTrace("Start SNMP Starting\n");
    uint32_t major = 0, minor = 0, level = 0, translateMode = 0,
             retransmitMode = 0;
    SNMPAPI_STATUS result =
        api_->Startup(&major, &minor, &level, &translateMode, &retransmitMode);
    SnmpTrace(
        "SNMP Version %u.%u. Level %u. Translate Mode %u. Retransmit Mode "
        "%u.\n",
        major, minor, level, translateMode, retransmitMode);
    if (result != SNMPAPI_SUCCESS) {
      SnmpTrace("SNMP failed to start. Error=%s\n",
                errorText(api_->GetLastError(nullptr)));
      return;
    }
  }
  ++snmpInstanceCount;
  counted_ = true;
  SnmpTrace("SNMP %u instances.\n", snmpInstanceCount);
}

CsnmpZarn::~CsnmpZarn() {
  SnmpTrace("SNMP destructor - %u instances.\n", snmpInstanceCount);
  if (!counted_) return;
  uint32_t before = snmpInstanceCount--;
  if (before == 1) {
    SnmpTrace("SNMP Cleaning-up.\n");
    if (api_->Cleanup() != SNMPAPI_SUCCESS)
      SnmpTrace("SnmpCleanup failed. Error=%s\n",
                errorText(api_->GetLastError(nullptr)));
  }
}

int CsnmpZarn::init_snmp(const char* address, const char* community,
                         uint32_t remotePort, const char* localAddress,
                         uint32_t localPort) {
  SnmpApi& api = *api_;
  // 1. The session, with this object as the callback's client data.
  session = api.CreateSession(nullptr, 0, &CsnmpZarn::onSnmpEvent, this);
  if (!session) {
    SnmpTrace("SNMP session failure. Error %s.\n",
              errorText(api.GetLastError(nullptr)));
    return 1;
  }

  // 2. A local entity of our own only off the standard ports: with remote
  // port 161 and no local port, traps come through the registration.
  uint32_t effectiveLocalPort = localPort ? localPort : remotePort + 1;
  if (effectiveLocalPort != 162) {
    localEntity = api.StrToEntity(session, localAddress);
    if (api.SetPort(localEntity, effectiveLocalPort) != SNMPAPI_SUCCESS) {
      SnmpTrace(
          "CsnmpZarn::init_snmp(): SnmpSetPort() for local port failed. "
          "Error %s.\n",
          errorText(api.GetLastError(session)));
      return 1;
    }
    if (api.Listen(localEntity, SNMPAPI_ON) != SNMPAPI_SUCCESS) {
      uint32_t error = api.GetLastError(session);
      if (error != SNMPAPI_TL_OTHER) {
        SnmpTrace("CsnmpZarn::init_snmp(): SnmpListen() failed. Error %s.\n",
                  errorText(error));
        return 1;
      }
    }
  }

  // 3. The unit.
  remoteEntity = api.StrToEntity(session, address);
  if (remotePort != 161) {
    if (api.SetPort(remoteEntity, remotePort) != SNMPAPI_SUCCESS) {
      SnmpTrace(
          "CsnmpZarn::init_snmp(): SnmpSetPort() for remote port failed. "
          "Error %s.\n",
          errorText(api.GetLastError(session)));
      return 1;
    }
  }

  // 4. Traps from the unit, whatever their OID.
  if (api.Register(session, localEntity, remoteEntity, nullptr, nullptr,
                   SNMPAPI_ON) != SNMPAPI_SUCCESS) {
    SnmpTrace("CsnmpZarn::init_snmp(): SnmpRegister() failed. Error %s.\n",
              errorText(api.GetLastError(session)));
    return 1;
  }

  // 5. The community as the context; the octets refer to the caller's text.
  communityOctets.len = static_cast<uint32_t>(std::strlen(community));
  communityOctets.ptr =
      reinterpret_cast<uint8_t*>(const_cast<char*>(community));
  context = api.StrToContext(session, &communityOctets);

  // 6. Versions 2c and 3: the unit's security for every request.
  if (security.version != SnmpSecurity::Version::kV1 &&
      api.SetSecurity(session, security) != SNMPAPI_SUCCESS) {
    SnmpTrace("CsnmpZarn::init_snmp(): SNMP version %s not set. Error %s.\n",
              SnmpVersionName(security.version),
              errorText(api.GetLastError(session)));
    return 1;
  }
  return 0;
}

int CsnmpZarn::closeSnmp() {
  SnmpApi& api = *api_;
  int result = 0;
  SnmpTrace("Closing SNMP.\n");
  if (api.Close(session) != SNMPAPI_SUCCESS) {
    SnmpTrace("Failed to close SNMP. Error=%s.\n",
              errorText(api.GetLastError(nullptr)));
    result = 1;
  }
  if (api.Cleanup() != SNMPAPI_SUCCESS) {
    SnmpTrace("Failed to cleanup SNMP. Error=%s.\n",
              errorText(api.GetLastError(nullptr)));
    result = 1;
  }
  return result;
}

namespace {

// The value of a request from its text, by syntax (none for NULL and any
// syntax not listed). Texts are not copied; an address's bytes go to
// |ipBytes|, which must live as long as the value.
smiVALUE ValueFromText(SnmpApi& api, uint32_t syntax, const char* text,
                       uint8_t ipBytes[4]) {
  smiVALUE requestValue;
  requestValue.syntax = syntax ? syntax : SNMP_SYNTAX_NULL;
  switch (requestValue.syntax) {
    case SNMP_SYNTAX_INT:
      requestValue.value.sNumber = TextToInt(text);
      break;
    case SNMP_SYNTAX_BITS:
    case SNMP_SYNTAX_OCTETS:
    case SNMP_SYNTAX_OPAQUE:
    case SNMP_SYNTAX_NSAPADDR:
      requestValue.value.string.len = static_cast<uint32_t>(std::strlen(text));
      requestValue.value.string.ptr =
          reinterpret_cast<uint8_t*>(const_cast<char*>(text));
      break;
    case SNMP_SYNTAX_OID:
      requestValue.value.oid = smiOID{};
      api.StrToOid(text, &requestValue.value.oid);
      break;
    case SNMP_SYNTAX_IPADDR:
      TextToIpAddress(text, ipBytes);
      requestValue.value.string.len = 4;
      requestValue.value.string.ptr = ipBytes;
      break;
    case SNMP_SYNTAX_CNTR32:
    case SNMP_SYNTAX_GAUGE32:
    case SNMP_SYNTAX_TIMETICKS:
    case SNMP_SYNTAX_UINT32:
      requestValue.value.uNumber = TextToUnsigned(text);
      break;
    default:
      break;
  }
  return requestValue;
}

// What one request holds of the SNMP layer while sendRequest builds it: the
// name's OID, an OID value, the binding list and the PDU. All of it goes
// once, when the request is sent or given up, however far it got; each free
// that fails is traced with the session's last error. How far the request
// got decides what is freed and in which order, and the sent request's
// lines carry a " 1" to tell them from those of a request given up.
class RequestScratch {
 public:
  enum class Reached {
    kNothing,  // the name was no OID: only an OID value is held
    kName,     // no binding list could be made of the name
    kList,     // no PDU could be made of the list
    kPdu,      // built and handed to SendMsg
  };

  RequestScratch(SnmpApi& api, HSNMP_SESSION session, smiVALUE* value,
                 HSNMP_VBL* vbl, HSNMP_PDU* pdu)
      : api_(api), session_(session), value_(value), vbl_(vbl), pdu_(pdu) {}
  ~RequestScratch() { Release(); }
  RequestScratch(const RequestScratch&) = delete;
  RequestScratch& operator=(const RequestScratch&) = delete;

  smiOID* name() { return &name_; }
  void Reach(Reached reached) { reached_ = reached; }

  // Frees everything now (the destructor then has nothing left to do).
  void Release() {
    if (released_) return;
    released_ = true;
    switch (reached_) {
      case Reached::kNothing:
        break;
      case Reached::kName:
        Traced(api_.FreeVbl(*vbl_), "VBL");
        if (name_.ptr)
          Traced(api_.FreeDescriptor(SNMP_SYNTAX_OID, &name_), "Descriptor");
        break;
      case Reached::kList:
      case Reached::kPdu: {
        const bool sent = reached_ == Reached::kPdu;
        Traced(api_.FreeDescriptor(SNMP_SYNTAX_OID, &name_), "Descriptor");
        Traced(api_.FreeVbl(*vbl_), sent ? "VBL 1" : "VBL");
        Traced(api_.FreePdu(*pdu_), sent ? "PDU 1" : "PDU");
        break;
      }
    }
    *vbl_ = nullptr;
    *pdu_ = nullptr;
    // An OID value is a layer descriptor of its own; it goes with the
    // request.
    if (value_->syntax == SNMP_SYNTAX_OID && value_->value.oid.ptr)
      api_.FreeDescriptor(SNMP_SYNTAX_OID, &value_->value.oid);
  }

 private:
  void Traced(SNMPAPI_STATUS status, const char* what) {
    if (status != SNMPAPI_SUCCESS)
      SnmpTrace("Failed to free %s. Error %s.\n", what,
                errorText(api_.GetLastError(session_)));
  }

  SnmpApi& api_;
  HSNMP_SESSION session_;
  smiVALUE* value_;
  HSNMP_VBL* vbl_;
  HSNMP_PDU* pdu_;
  smiOID name_ = {};
  Reached reached_ = Reached::kNothing;
  bool released_ = false;
};

}  // namespace

int CsnmpZarn::sendRequest(int32_t pduType, const char* oid, const char* value,
                           uint32_t syntax, int32_t requestId) {
  SnmpApi& api = *api_;
  const char* text = value ? value : "";

  // 1. The value from its text, by syntax.
  uint8_t ipBytes[4] = {0, 0, 0, 0};
  smiVALUE requestValue = ValueFromText(api, syntax, text, ipBytes);
  // Whatever is made from here on goes on every way out.
  RequestScratch scratch(api, session, &requestValue, &requestVbl, &requestPdu);
  using Reached = RequestScratch::Reached;

  // 2. The name.
  if (api.StrToOid(oid, scratch.name()) == SNMPAPI_FAILURE) return 1;
  scratch.Reach(Reached::kName);

  // 3. The one-binding list.
  requestVbl = api.CreateVbl(session, scratch.name(), &requestValue);
  if (!requestVbl) return 1;
  scratch.Reach(Reached::kList);

  // 4. The PDU with the caller's request id.
  const int32_t repetitions =
      pduType == SNMP_PDU_GETBULK
          ? static_cast<int32_t>(security.maxRepetitions)
          : 0;
  requestPdu =
      api.CreatePdu(session, pduType, requestId, 0, repetitions, requestVbl);
  if (!requestPdu) {
    SnmpTrace("Failed to create PDU");
    return 1;
  }
  scratch.Reach(Reached::kPdu);

  // 5. Send.
  SNMPAPI_STATUS result =
      api.SendMsg(session, nullptr, remoteEntity, context, requestPdu);

  // 6. The scratch goes whatever the result.
  scratch.Release();

  // 7.
  if (result == SNMPAPI_SUCCESS) return 0;
  SnmpTrace("Failed to send message. Error %s.\n",
            errorText(api.GetLastError(session)));
  return 1;
}

SNMPAPI_STATUS CsnmpZarn::onSnmpEvent(HSNMP_SESSION session, void* hWnd,
                                      uint32_t wMsg, uint32_t wParam,
                                      uint32_t lParam, void* clientData) {
  if (!clientData) return SNMPAPI_SUCCESS;
  static_cast<CsnmpZarn*>(clientData)->dispatch(session, wParam, lParam);
  return SNMPAPI_SUCCESS;
}

void CsnmpZarn::dispatch(HSNMP_SESSION session, uint32_t wParam,
                         uint32_t lParam) {
  SnmpApi& api = *api_;
  // 1. and 2. Notifications: lParam is the request id of a timeout.
  if (wParam == SNMPAPI_TL_TIMEOUT) {
    SnmpTrace("Request timeout\n");
    SNMPError(SNMPAPI_TL_TIMEOUT, lParam);
    return;
  }
  if (wParam != 0) {
    SnmpTrace("Other callback.\n");
    SNMPError(wParam, lParam);
    return;
  }

  // 3. A message waits.
  HSNMP_ENTITY source = nullptr;
  HSNMP_ENTITY destination = nullptr;
  HSNMP_CONTEXT messageContext = nullptr;
  HSNMP_PDU pdu = nullptr;
  if (api.RecvMsg(session, &source, &destination, &messageContext, &pdu) !=
      SNMPAPI_SUCCESS)
    return;
  int32_t type = 0, requestId = 0, errorStatus = 0, errorIndex = 0;
  HSNMP_VBL vbl = nullptr;
  if (api.GetPduData(pdu, &type, &requestId, &errorStatus, &errorIndex, &vbl) !=
      SNMPAPI_SUCCESS) {
    // Nothing can be done with the message, but what RecvMsg handed out
    // must not pile up for the life of the session.
    api.FreePdu(pdu);
    api.FreeContext(messageContext);
    api.FreeEntity(source);
    api.FreeEntity(destination);
    return;
  }

  // 4. to 6.
  if (type == SNMP_PDU_TRAP || type == SNMP_PDU_V1TRAP) {
    HSNMP_VBL handled = SNMPTrap(pdu);
    if (handled) api.FreeVbl(handled);
  } else if (type == SNMP_PDU_RESPONSE) {
    HSNMP_VBL handled = SNMPReply(pdu);
    if (handled) api.FreeVbl(handled);
  }

  // 7.
  if (api.FreePdu(pdu) != SNMPAPI_SUCCESS)
    SnmpTrace("Fail to free PDU. Error=%04x", api.GetLastError(nullptr));
  if (api.FreeContext(messageContext) != SNMPAPI_SUCCESS)
    SnmpTrace("Fail to free Context. Error %s.\n",
              errorText(api.GetLastError(session)));
  if (api.FreeEntity(source) != SNMPAPI_SUCCESS)
    SnmpTrace("Fail to free source. Error %s.\n",
              errorText(api.GetLastError(session)));
  if (api.FreeVbl(vbl) != SNMPAPI_SUCCESS)
    SnmpTrace("Fail to variable binding list. Error %s.\n",
              errorText(api.GetLastError(session)));
  // The destination entity too: one per message would otherwise pile up
  // until the session closes.
  api.FreeEntity(destination);
}

HSNMP_VBL CsnmpZarn::SNMPTrap(HSNMP_PDU pdu) {
  SnmpTrace("Unhandled Trap.\n");
  return nullptr;
}

HSNMP_VBL CsnmpZarn::SNMPReply(HSNMP_PDU pdu) {
  SnmpTrace("Unhandled reply.\n");
  return nullptr;
}

void CsnmpZarn::SNMPError(uint32_t code, uint32_t requestId) {
  SnmpTrace("Unhandled Error.\n");
}

// Releases what GetVb handed out for one binding. |valueLine| is the
// caller's own message for a value descriptor that cannot be freed.
void CsnmpZarn::freeBinding(smiOID* name, smiVALUE* value,
                            const char* valueLine) {
  SnmpApi& api = *api_;
  if ((value->syntax == SNMP_SYNTAX_OCTETS && value->value.string.ptr) ||
      (value->syntax == SNMP_SYNTAX_OID && value->value.oid.ptr)) {
    void* descriptor = value->syntax == SNMP_SYNTAX_OID
                           ? static_cast<void*>(&value->value.oid)
                           : static_cast<void*>(&value->value.string);
    if (api.FreeDescriptor(value->syntax, descriptor) != SNMPAPI_SUCCESS)
      SnmpTrace(valueLine, errorText(api.GetLastError(session)));
  } else if ((value->syntax == SNMP_SYNTAX_BITS ||
              value->syntax == SNMP_SYNTAX_OPAQUE ||
              value->syntax == SNMP_SYNTAX_IPADDR ||
              value->syntax == SNMP_SYNTAX_NSAPADDR) &&
             value->value.string.ptr) {
    // These carry layer descriptors as well; released quietly.
    api.FreeDescriptor(value->syntax, &value->value.string);
  }
  if (name->ptr && api.FreeDescriptor(SNMP_SYNTAX_OID, name) != SNMPAPI_SUCCESS)
    SnmpTrace("Failed to Descriptor. Error %s.\n",
              errorText(api.GetLastError(session)));
}

int CsnmpZarn::GetValue(HSNMP_VBL vbl, uint32_t index, uint32_t size,
                        char* out) {
  SnmpApi& api = *api_;
  if (index == 0 || index > api.CountVbl(vbl)) return 1;
  smiOID name;
  smiVALUE value;
  api.GetVb(vbl, index, &name, &value);
  formatValue(&value, size, out);
  freeBinding(&name, &value,
              "CsnmpZarn::GetValue - Failed to free Value - Error %s.\n");
  return 0;
}

int CsnmpZarn::getOid(HSNMP_VBL vbl, uint32_t index, uint32_t size, char* out) {
  SnmpApi& api = *api_;
  if (index == 0 || index > api.CountVbl(vbl)) return 1;
  smiOID name;
  smiVALUE value;
  api.GetVb(vbl, index, &name, &value);
  if (size > 0) {
    out[0] = '\0';
    api.OidToStr(&name, size, out);
  }
  freeBinding(&name, &value, "Failed to free Value. Error %s.\n");
  return 0;
}

uint32_t CsnmpZarn::getSyntax(HSNMP_VBL vbl, uint32_t index) {
  SnmpApi& api = *api_;
  if (index == 0 || index > api.CountVbl(vbl)) return SNMP_SYNTAX_NULL;
  smiOID name;
  smiVALUE value;
  if (api.GetVb(vbl, index, &name, &value) != SNMPAPI_SUCCESS)
    return SNMP_SYNTAX_NULL;
  const uint32_t syntax = value.syntax;
  freeBinding(&name, &value, "Failed to free Value. Error %s.\n");
  return syntax;
}
