#include "snmp/snmp_api_core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "snmp/snmp_values.h"

namespace {

constexpr size_t kMaxCommunity = 255;
constexpr size_t kMaxOctets = 65535;
constexpr size_t kMaxAddressText = 255;

bool IsOctetSyntax(uint32_t syntax) {
  return MemberForSyntax(syntax) == SnmpVarMember::kOctets;
}

bool IsAddressChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

}  // namespace

bool ParseOidText(const char* text, std::vector<uint32_t>* out) {
  if (!text) return false;
  const char* p = text;
  if (*p == '.') ++p;
  std::vector<uint32_t> ids;
  while (true) {
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<uint64_t>(*p - '0');
      if (v > UINT32_MAX) return false;
      ++p;
    }
    ids.push_back(static_cast<uint32_t>(v));
    if (ids.size() > SnmpApiCore::kMaxOidLength) return false;
    if (*p == '\0') break;
    if (*p != '.') return false;
    ++p;
  }
  *out = std::move(ids);
  return true;
}

bool VarFromValue(const smiVALUE& value, SnmpVar* var) {
  var->syntax = value.syntax;
  switch (MemberForSyntax(value.syntax)) {
    case SnmpVarMember::kSigned:
      var->sNumber = value.value.sNumber;
      return true;
    case SnmpVarMember::kUnsigned:
      var->uNumber = value.value.uNumber;
      return true;
    case SnmpVarMember::kCounter64:
      var->counter64 =
          (static_cast<uint64_t>(value.value.hNumber.hipart) << 32) |
          value.value.hNumber.lopart;
      return true;
    case SnmpVarMember::kOctets: {
      const smiOCTETS& s = value.value.string;
      if (s.len > kMaxOctets || (s.len > 0 && !s.ptr)) return false;
      var->octets.assign(s.ptr, s.ptr + s.len);
      return true;
    }
    case SnmpVarMember::kOid: {
      const smiOID& o = value.value.oid;
      if (o.len > SnmpApiCore::kMaxOidLength || (o.len > 0 && !o.ptr))
        return false;
      var->oidValue.assign(o.ptr, o.ptr + o.len);
      return true;
    }
    case SnmpVarMember::kNone:
      return true;
    case SnmpVarMember::kUnknown:
      return false;
  }
  return false;
}

SnmpVarMember MemberForSyntax(uint32_t syntax) {
  switch (syntax) {
    case SNMP_SYNTAX_INT:
      return SnmpVarMember::kSigned;
    case SNMP_SYNTAX_CNTR32:
    case SNMP_SYNTAX_GAUGE32:
    case SNMP_SYNTAX_TIMETICKS:
    case SNMP_SYNTAX_UINT32:
      return SnmpVarMember::kUnsigned;
    case SNMP_SYNTAX_CNTR64:
      return SnmpVarMember::kCounter64;
    case SNMP_SYNTAX_OCTETS:
    case SNMP_SYNTAX_BITS:
    case SNMP_SYNTAX_OPAQUE:
    case SNMP_SYNTAX_NSAPADDR:
    case SNMP_SYNTAX_IPADDR:
      return SnmpVarMember::kOctets;
    case SNMP_SYNTAX_OID:
      return SnmpVarMember::kOid;
    case SNMP_SYNTAX_NULL:
    case SNMP_SYNTAX_NOSUCHOBJECT:
    case SNMP_SYNTAX_NOSUCHINSTANCE:
    case SNMP_SYNTAX_ENDOFMIBVIEW:
      return SnmpVarMember::kNone;
    default:
      return SnmpVarMember::kUnknown;
  }
}

SnmpApiCore::SnmpApiCore() = default;

SnmpApiCore::~SnmpApiCore() {
  for (void* p : descriptors_) std::free(p);
}

uint32_t SnmpApiCore::Fail(HSNMP_SESSION session, uint32_t error) {
  lastError_ = error;
  if (SnmpSessionRec* s = FindSession(session)) s->lastError = error;
  return SNMPAPI_FAILURE;
}

bool SnmpApiCore::Injected(Call call, HSNMP_SESSION session) {
  uint32_t error = InjectedFailure(call);
  if (error == 0) return false;
  Fail(session, error);
  // A scripted failure of a call that names no session shows in every
  // session's last error, so that a caller that asks its session sees it.
  if (!FindSession(session))
    for (auto& [h, entry] : sessions_) entry.second->lastError = error;
  return true;
}

SnmpSessionRec* SnmpApiCore::FindSession(HSNMP_SESSION h) const {
  auto it = sessions_.find(h);
  return it == sessions_.end() ? nullptr : it->second.second.get();
}
SnmpEntityRec* SnmpApiCore::FindEntity(HSNMP_ENTITY h) const {
  auto it = entities_.find(h);
  return it == entities_.end() ? nullptr : it->second.get();
}
SnmpContextRec* SnmpApiCore::FindContext(HSNMP_CONTEXT h) const {
  auto it = contexts_.find(h);
  return it == contexts_.end() ? nullptr : it->second.get();
}
SnmpPduRec* SnmpApiCore::FindPdu(HSNMP_PDU h) const {
  auto it = pdus_.find(h);
  return it == pdus_.end() ? nullptr : it->second.get();
}
SnmpVblRec* SnmpApiCore::FindVbl(HSNMP_VBL h) const {
  auto it = vbls_.find(h);
  return it == vbls_.end() ? nullptr : it->second.get();
}

void* SnmpApiCore::AllocDescriptor(size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p) descriptors_.insert(p);
  return p;
}

bool SnmpApiCore::ReleaseDescriptor(void* ptr) {
  auto it = descriptors_.find(ptr);
  if (it == descriptors_.end()) return false;
  descriptors_.erase(it);
  std::free(ptr);
  return true;
}

SNMPAPI_STATUS SnmpApiCore::Startup(uint32_t* major, uint32_t* minor,
                                    uint32_t* level, uint32_t* translateMode,
                                    uint32_t* retransmitMode) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  // The values are reported whatever the result.
  if (major) *major = 2;
  if (minor) *minor = 0;
  if (level) *level = 2;                  // v1 requests, v1 and v2c traps
  if (translateMode) *translateMode = 1;  // entities are addresses
  if (retransmitMode) *retransmitMode = SNMPAPI_OFF;
  if (Injected(Call::kStartup, nullptr)) return SNMPAPI_FAILURE;
  ++startupCount_;
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::Cleanup() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kCleanup, nullptr)) return SNMPAPI_FAILURE;
  if (startupCount_ == 0) return Fail(nullptr, SNMPAPI_NOT_INITIALIZED);
  --startupCount_;
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::SetRetransmitMode(uint32_t mode) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (mode != SNMPAPI_OFF) return Fail(nullptr, SNMPAPI_MODE_INVALID);
  return SNMPAPI_SUCCESS;
}

HSNMP_SESSION SnmpApiCore::CreateSession(void* hWnd, uint32_t wMsg,
                                         SNMPAPI_CALLBACK callback,
                                         void* clientData) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kCreateSession, nullptr)) return nullptr;
  // Notifications come only through the callback: there are no windows.
  if (hWnd || !callback) {
    Fail(nullptr, SNMPAPI_HWND_INVALID);
    return nullptr;
  }
  auto rec = std::make_unique<SnmpSessionRec>();
  rec->callback = callback;
  rec->clientData = clientData;
  HSNMP_SESSION h = NewHandle<HSNMP_SESSION>();
  sessions_[h] = {nextOrder_++, std::move(rec)};
  return h;
}

void SnmpApiCore::ReleaseSessionRecords(HSNMP_SESSION session) {
  auto drop = [session](auto& records) {
    for (auto it = records.begin(); it != records.end();) {
      if (it->second->session == session) {
        it = records.erase(it);
      } else {
        ++it;
      }
    }
  };
  drop(entities_);
  drop(contexts_);
  drop(pdus_);
  drop(vbls_);
}

SNMPAPI_STATUS SnmpApiCore::Close(HSNMP_SESSION session) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kClose, session)) return SNMPAPI_FAILURE;
  SnmpSessionRec* s = FindSession(session);
  if (!s) return Fail(nullptr, SNMPAPI_SESSION_INVALID);
  SessionClosing(session);
  bool hadTraps = !s->trapSources.empty();
  ReleaseSessionRecords(session);
  sessions_.erase(session);
  if (hadTraps) TrapRegistrationsChanged();
  return SNMPAPI_SUCCESS;
}

bool SnmpApiCore::ResolveAddress(const std::string& text,
                                 std::string* resolved) {
  *resolved = text;
  return true;
}

HSNMP_ENTITY SnmpApiCore::StrToEntity(HSNMP_SESSION session, const char* text) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kStrToEntity, session)) return nullptr;
  if (!FindSession(session)) {
    Fail(nullptr, SNMPAPI_SESSION_INVALID);
    return nullptr;
  }
  if (!text || std::strlen(text) > kMaxAddressText) {
    Fail(session, SNMPAPI_ENTITY_UNKNOWN);
    return nullptr;
  }
  std::string address(text);
  uint32_t port = 161;
  bool portFromText = false;
  size_t colon = address.rfind(':');
  if (colon != std::string::npos) {
    std::string digits = address.substr(colon + 1);
    address.resize(colon);
    uint32_t value = 0;
    bool ok = !digits.empty() && digits.size() <= 5;
    for (char c : digits) {
      if (c < '0' || c > '9') ok = false;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!ok || value == 0 || value > 65535) {
      Fail(session, SNMPAPI_ENTITY_UNKNOWN);
      return nullptr;
    }
    port = value;
    portFromText = true;
  }
  bool ok = !address.empty();
  for (char c : address) ok = ok && IsAddressChar(c);
  std::string resolved;
  if (!ok || !ResolveAddress(address, &resolved)) {
    Fail(session, SNMPAPI_ENTITY_UNKNOWN);
    return nullptr;
  }
  auto rec = std::make_unique<SnmpEntityRec>();
  rec->session = session;
  rec->address = resolved;
  rec->port = port;
  rec->portFromText = portFromText;
  HSNMP_ENTITY h = NewHandle<HSNMP_ENTITY>();
  entities_[h] = std::move(rec);
  return h;
}

SNMPAPI_STATUS SnmpApiCore::SetPort(HSNMP_ENTITY entity, uint32_t port) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpEntityRec* e = FindEntity(entity);
  if (Injected(Call::kSetPort, e ? e->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!e) return Fail(nullptr, SNMPAPI_ENTITY_INVALID);
  if (port > 65535) return Fail(e->session, SNMPAPI_TL_INVALID_PARAM);
  // A port written in the address text takes the place of the configured
  // one, so a unit behind a port forward needs no other setting.
  if (!e->portFromText) e->port = port;
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::FreeEntity(HSNMP_ENTITY entity) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpEntityRec* e = FindEntity(entity);
  if (Injected(Call::kFreeEntity, e ? e->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!e) return Fail(nullptr, SNMPAPI_ENTITY_INVALID);
  entities_.erase(entity);
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::Listen(HSNMP_ENTITY entity, uint32_t state) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpEntityRec* e = FindEntity(entity);
  if (Injected(Call::kListen, e ? e->session : nullptr)) return SNMPAPI_FAILURE;
  if (!e) return Fail(nullptr, SNMPAPI_ENTITY_INVALID);
  if (state == SNMPAPI_OFF) {
    e->listening = false;
    return SNMPAPI_SUCCESS;
  }
  if (state != SNMPAPI_ON) return Fail(e->session, SNMPAPI_MODE_INVALID);
  if (uint32_t error = StartListening(e->session, *e))
    return Fail(e->session, error);
  e->listening = true;
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::Register(HSNMP_SESSION session, HSNMP_ENTITY src,
                                     HSNMP_ENTITY dst, HSNMP_CONTEXT context,
                                     smiOID* notification, uint32_t state) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kRegister, session)) return SNMPAPI_FAILURE;
  SnmpSessionRec* s = FindSession(session);
  if (!s) return Fail(nullptr, SNMPAPI_SESSION_INVALID);
  if (src && !FindEntity(src)) return Fail(session, SNMPAPI_ENTITY_INVALID);
  // A registration without a source would take every unit's traps; the
  // layer only routes traps by their sender's address.
  SnmpEntityRec* d = FindEntity(dst);
  if (!d) return Fail(session, SNMPAPI_ENTITY_INVALID);
  if (context || notification) return Fail(session, SNMPAPI_OPERATION_INVALID);
  if (state == SNMPAPI_OFF) {
    if (s->trapSources.erase(d->address)) TrapRegistrationsChanged();
    return SNMPAPI_SUCCESS;
  }
  if (state != SNMPAPI_ON) return Fail(session, SNMPAPI_MODE_INVALID);
  bool added = s->trapSources.insert(d->address).second;
  if (uint32_t error = TrapRegistrationsChanged()) {
    if (added) s->trapSources.erase(d->address);
    TrapRegistrationsChanged();
    return Fail(session, error);
  }
  return SNMPAPI_SUCCESS;
}

HSNMP_CONTEXT SnmpApiCore::StrToContext(HSNMP_SESSION session,
                                        smiOCTETS* community) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kStrToContext, session)) return nullptr;
  if (!FindSession(session)) {
    Fail(nullptr, SNMPAPI_SESSION_INVALID);
    return nullptr;
  }
  if (!community || community->len > kMaxCommunity ||
      (community->len > 0 && !community->ptr)) {
    Fail(session, SNMPAPI_CONTEXT_INVALID);
    return nullptr;
  }
  auto rec = std::make_unique<SnmpContextRec>();
  rec->session = session;
  rec->community.assign(reinterpret_cast<const char*>(community->ptr),
                        community->len);
  HSNMP_CONTEXT h = NewHandle<HSNMP_CONTEXT>();
  contexts_[h] = std::move(rec);
  return h;
}

SNMPAPI_STATUS SnmpApiCore::FreeContext(HSNMP_CONTEXT context) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpContextRec* c = FindContext(context);
  if (Injected(Call::kFreeContext, c ? c->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!c) return Fail(nullptr, SNMPAPI_CONTEXT_INVALID);
  contexts_.erase(context);
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::StrToOid(const char* text, smiOID* oid) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kStrToOid, nullptr)) return SNMPAPI_FAILURE;
  std::vector<uint32_t> ids;
  if (!oid || !ParseOidText(text, &ids))
    return Fail(nullptr, SNMPAPI_OID_INVALID);
  auto* p = static_cast<uint32_t*>(AllocDescriptor(ids.size() * 4));
  if (!p) return Fail(nullptr, SNMPAPI_ALLOC_ERROR);
  std::memcpy(p, ids.data(), ids.size() * 4);
  oid->len = static_cast<uint32_t>(ids.size());
  oid->ptr = p;
  return oid->len;
}

SNMPAPI_STATUS SnmpApiCore::OidToStr(const smiOID* oid, uint32_t size,
                                     char* out) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kOidToStr, nullptr)) return SNMPAPI_FAILURE;
  if (!out || size == 0) return Fail(nullptr, SNMPAPI_SIZE_INVALID);
  out[0] = '\0';
  if (!oid || oid->len == 0 || !oid->ptr || oid->len > kMaxOidLength)
    return Fail(nullptr, SNMPAPI_OID_INVALID);
  int n = formatOid(oid, size, out);
  if (n <= 0) return Fail(nullptr, SNMPAPI_OUTPUT_TRUNCATED);
  return static_cast<SNMPAPI_STATUS>(n);
}

SNMPAPI_STATUS SnmpApiCore::FreeDescriptor(uint32_t syntax, void* descriptor) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kFreeDescriptor, nullptr)) return SNMPAPI_FAILURE;
  if (!descriptor) return Fail(nullptr, SNMPAPI_OPERATION_INVALID);
  if (syntax == SNMP_SYNTAX_OID) {
    auto* oid = static_cast<smiOID*>(descriptor);
    if (oid->ptr && !ReleaseDescriptor(oid->ptr))
      return Fail(nullptr, SNMPAPI_OPERATION_INVALID);
    oid->ptr = nullptr;
    oid->len = 0;
    return SNMPAPI_SUCCESS;
  }
  if (IsOctetSyntax(syntax)) {
    auto* octets = static_cast<smiOCTETS*>(descriptor);
    if (octets->ptr && !ReleaseDescriptor(octets->ptr))
      return Fail(nullptr, SNMPAPI_OPERATION_INVALID);
    octets->ptr = nullptr;
    octets->len = 0;
    return SNMPAPI_SUCCESS;
  }
  return Fail(nullptr, SNMPAPI_SYNTAX_INVALID);
}

HSNMP_VBL SnmpApiCore::CreateVbl(HSNMP_SESSION session, smiOID* name,
                                 smiVALUE* value) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kCreateVbl, session)) return nullptr;
  if (!FindSession(session)) {
    Fail(nullptr, SNMPAPI_SESSION_INVALID);
    return nullptr;
  }
  auto rec = std::make_unique<SnmpVblRec>();
  rec->session = session;
  if (name) {
    if (name->len == 0 || !name->ptr || name->len > kMaxOidLength) {
      Fail(session, SNMPAPI_OID_INVALID);
      return nullptr;
    }
    SnmpVar var;
    if (value && !VarFromValue(*value, &var)) {
      Fail(session, SNMPAPI_SYNTAX_INVALID);
      return nullptr;
    }
    var.name.assign(name->ptr, name->ptr + name->len);
    rec->vars.push_back(std::move(var));
  }
  HSNMP_VBL h = NewHandle<HSNMP_VBL>();
  vbls_[h] = std::move(rec);
  return h;
}

SNMPAPI_STATUS SnmpApiCore::FreeVbl(HSNMP_VBL vbl) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpVblRec* v = FindVbl(vbl);
  if (Injected(Call::kFreeVbl, v ? v->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!v) return Fail(nullptr, SNMPAPI_VBL_INVALID);
  vbls_.erase(vbl);
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::CountVbl(HSNMP_VBL vbl) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpVblRec* v = FindVbl(vbl);
  if (Injected(Call::kCountVbl, v ? v->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!v) return Fail(nullptr, SNMPAPI_VBL_INVALID);
  return static_cast<SNMPAPI_STATUS>(v->vars.size());
}

SNMPAPI_STATUS SnmpApiCore::GetVb(HSNMP_VBL vbl, uint32_t index, smiOID* name,
                                  smiVALUE* value) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpVblRec* v = FindVbl(vbl);
  if (Injected(Call::kGetVb, v ? v->session : nullptr)) return SNMPAPI_FAILURE;
  if (!v) return Fail(nullptr, SNMPAPI_VBL_INVALID);
  if (index == 0 || index > v->vars.size())
    return Fail(v->session, SNMPAPI_INDEX_INVALID);
  const SnmpVar& var = v->vars[index - 1];
  if (name) {
    name->len = 0;
    name->ptr = nullptr;
    if (!var.name.empty()) {
      auto* p = static_cast<uint32_t*>(AllocDescriptor(var.name.size() * 4));
      if (!p) return Fail(v->session, SNMPAPI_ALLOC_ERROR);
      std::memcpy(p, var.name.data(), var.name.size() * 4);
      name->len = static_cast<uint32_t>(var.name.size());
      name->ptr = p;
    }
  }
  if (value) {
    *value = smiVALUE{};
    value->syntax = var.syntax;
    switch (var.syntax) {
      case SNMP_SYNTAX_INT:
        value->value.sNumber = var.sNumber;
        break;
      case SNMP_SYNTAX_CNTR32:
      case SNMP_SYNTAX_GAUGE32:
      case SNMP_SYNTAX_TIMETICKS:
      case SNMP_SYNTAX_UINT32:
        value->value.uNumber = var.uNumber;
        break;
      case SNMP_SYNTAX_CNTR64:
        value->value.hNumber.hipart =
            static_cast<uint32_t>(var.counter64 >> 32);
        value->value.hNumber.lopart = static_cast<uint32_t>(var.counter64);
        break;
      case SNMP_SYNTAX_OID:
        value->value.oid = smiOID{};
        if (!var.oidValue.empty()) {
          auto* p =
              static_cast<uint32_t*>(AllocDescriptor(var.oidValue.size() * 4));
          if (!p) return Fail(v->session, SNMPAPI_ALLOC_ERROR);
          std::memcpy(p, var.oidValue.data(), var.oidValue.size() * 4);
          value->value.oid.len = static_cast<uint32_t>(var.oidValue.size());
          value->value.oid.ptr = p;
        }
        break;
      default:
        if (IsOctetSyntax(var.syntax)) {
          value->value.string = smiOCTETS{};
          if (!var.octets.empty()) {
            auto* p = static_cast<uint8_t*>(AllocDescriptor(var.octets.size()));
            if (!p) return Fail(v->session, SNMPAPI_ALLOC_ERROR);
            std::memcpy(p, var.octets.data(), var.octets.size());
            value->value.string.len = static_cast<uint32_t>(var.octets.size());
            value->value.string.ptr = p;
          }
        }
        break;
    }
  }
  return SNMPAPI_SUCCESS;
}

HSNMP_PDU SnmpApiCore::CreatePdu(HSNMP_SESSION session, int32_t type,
                                 int32_t requestId, int32_t errorStatus,
                                 int32_t errorIndex, HSNMP_VBL vbl) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kCreatePdu, session)) return nullptr;
  if (!FindSession(session)) {
    Fail(nullptr, SNMPAPI_SESSION_INVALID);
    return nullptr;
  }
  if (type < SNMP_PDU_GET || type > SNMP_PDU_REPORT) {
    Fail(session, SNMPAPI_PDU_INVALID);
    return nullptr;
  }
  SnmpVblRec* v = nullptr;
  if (vbl && !(v = FindVbl(vbl))) {
    Fail(session, SNMPAPI_VBL_INVALID);
    return nullptr;
  }
  auto rec = std::make_unique<SnmpPduRec>();
  rec->session = session;
  rec->type = type;
  rec->requestId = requestId;
  rec->errorStatus = errorStatus;
  rec->errorIndex = errorIndex;
  if (v) rec->vars = v->vars;
  HSNMP_PDU h = NewHandle<HSNMP_PDU>();
  pdus_[h] = std::move(rec);
  return h;
}

SNMPAPI_STATUS SnmpApiCore::GetPduData(HSNMP_PDU pdu, int32_t* type,
                                       int32_t* requestId, int32_t* errorStatus,
                                       int32_t* errorIndex, HSNMP_VBL* vbl) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpPduRec* p = FindPdu(pdu);
  if (Injected(Call::kGetPduData, p ? p->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!p) return Fail(nullptr, SNMPAPI_PDU_INVALID);
  if (type) *type = p->type;
  if (requestId) *requestId = p->requestId;
  if (errorStatus) *errorStatus = p->errorStatus;
  if (errorIndex) *errorIndex = p->errorIndex;
  if (vbl) {
    auto rec = std::make_unique<SnmpVblRec>();
    rec->session = p->session;
    rec->vars = p->vars;
    *vbl = NewHandle<HSNMP_VBL>();
    vbls_[*vbl] = std::move(rec);
  }
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::FreePdu(HSNMP_PDU pdu) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpPduRec* p = FindPdu(pdu);
  if (Injected(Call::kFreePdu, p ? p->session : nullptr))
    return SNMPAPI_FAILURE;
  if (!p) return Fail(nullptr, SNMPAPI_PDU_INVALID);
  pdus_.erase(pdu);
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::SendMsg(HSNMP_SESSION session, HSNMP_ENTITY src,
                                    HSNMP_ENTITY dst, HSNMP_CONTEXT context,
                                    HSNMP_PDU pdu) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kSendMsg, session)) return SNMPAPI_FAILURE;
  if (!FindSession(session)) return Fail(nullptr, SNMPAPI_SESSION_INVALID);
  SnmpEntityRec* s = nullptr;
  if (src && !(s = FindEntity(src)))
    return Fail(session, SNMPAPI_ENTITY_INVALID);
  SnmpEntityRec* d = FindEntity(dst);
  if (!d) return Fail(session, SNMPAPI_ENTITY_INVALID);
  SnmpContextRec* c = FindContext(context);
  if (!c) return Fail(session, SNMPAPI_CONTEXT_INVALID);
  SnmpPduRec* p = FindPdu(pdu);
  if (!p) return Fail(session, SNMPAPI_PDU_INVALID);
  // Requests go out as SNMPv1 (only these three exist there) unless the
  // session speaks 2c or 3, which add GetBulk.
  const bool bulk = p->type == SNMP_PDU_GETBULK &&
                    FindSession(session)->security.version !=
                        SnmpSecurity::Version::kV1;
  if (p->type != SNMP_PDU_GET && p->type != SNMP_PDU_GETNEXT &&
      p->type != SNMP_PDU_SET && !bulk)
    return Fail(session, SNMPAPI_PDU_INVALID);
  if (uint32_t error = Transmit(session, s, *d, c->community, *p))
    return Fail(session, error);
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::RecvMsg(HSNMP_SESSION session, HSNMP_ENTITY* src,
                                    HSNMP_ENTITY* dst, HSNMP_CONTEXT* context,
                                    HSNMP_PDU* pdu) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Injected(Call::kRecvMsg, session)) return SNMPAPI_FAILURE;
  SnmpSessionRec* s = FindSession(session);
  if (!s) return Fail(nullptr, SNMPAPI_SESSION_INVALID);
  if (s->inbox.empty()) return Fail(session, SNMPAPI_NOOP);
  SnmpSessionRec::InMessage msg = std::move(s->inbox.front());
  s->inbox.pop_front();
  auto entity = [&](const std::string& address, uint32_t port) {
    auto rec = std::make_unique<SnmpEntityRec>();
    rec->session = session;
    rec->address = address;
    rec->port = port;
    HSNMP_ENTITY h = NewHandle<HSNMP_ENTITY>();
    entities_[h] = std::move(rec);
    return h;
  };
  if (src) *src = entity(msg.srcAddress, msg.srcPort);
  if (dst) *dst = entity(msg.dstAddress, msg.dstPort);
  if (context) {
    auto rec = std::make_unique<SnmpContextRec>();
    rec->session = session;
    rec->community = msg.community;
    *context = NewHandle<HSNMP_CONTEXT>();
    contexts_[*context] = std::move(rec);
  }
  if (pdu) {
    auto rec = std::make_unique<SnmpPduRec>();
    rec->session = session;
    rec->type = msg.type;
    rec->requestId = msg.requestId;
    rec->errorStatus = msg.errorStatus;
    rec->errorIndex = msg.errorIndex;
    rec->vars = std::move(msg.vars);
    *pdu = NewHandle<HSNMP_PDU>();
    pdus_[*pdu] = std::move(rec);
  }
  return SNMPAPI_SUCCESS;
}

SNMPAPI_STATUS SnmpApiCore::GetLastError(HSNMP_SESSION session) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!session) return lastError_;
  SnmpSessionRec* s = FindSession(session);
  return s ? s->lastError : SNMPAPI_SESSION_INVALID;
}

SNMPAPI_STATUS SnmpApiCore::SetSecurity(HSNMP_SESSION session,
                                        const SnmpSecurity& security) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpSessionRec* s = FindSession(session);
  if (!s) return Fail(nullptr, SNMPAPI_SESSION_INVALID);
  s->security = security;
  return SNMPAPI_SUCCESS;
}

bool SnmpApiCore::DeliverMessage(HSNMP_SESSION session,
                                 SnmpSessionRec::InMessage msg) {
  SNMPAPI_CALLBACK callback;
  void* clientData;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    SnmpSessionRec* s = FindSession(session);
    if (!s) return false;
    if (s->inbox.size() >= kInboxLimit) s->inbox.pop_front();
    s->inbox.push_back(std::move(msg));
    callback = s->callback;
    clientData = s->clientData;
  }
  callback(session, nullptr, 0, 0, 0, clientData);
  return true;
}

bool SnmpApiCore::DeliverNotification(HSNMP_SESSION session, uint32_t code,
                                      uint32_t lParam) {
  SNMPAPI_CALLBACK callback;
  void* clientData;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    SnmpSessionRec* s = FindSession(session);
    if (!s) return false;
    callback = s->callback;
    clientData = s->clientData;
  }
  callback(session, nullptr, 0, code, lParam, clientData);
  return true;
}

std::vector<HSNMP_SESSION> SnmpApiCore::SessionsRegisteredFor(
    const std::string& sourceAddress) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<std::pair<uint64_t, HSNMP_SESSION>> found;
  for (const auto& [h, entry] : sessions_)
    if (entry.second->trapSources.count(sourceAddress))
      found.emplace_back(entry.first, h);
  std::sort(found.begin(), found.end());
  std::vector<HSNMP_SESSION> result;
  for (const auto& f : found) result.push_back(f.second);
  return result;
}

std::vector<HSNMP_SESSION> SnmpApiCore::OpenSessions() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<std::pair<uint64_t, HSNMP_SESSION>> found;
  for (const auto& [h, entry] : sessions_) found.emplace_back(entry.first, h);
  std::sort(found.begin(), found.end());
  std::vector<HSNMP_SESSION> result;
  for (const auto& f : found) result.push_back(f.second);
  return result;
}

std::vector<const SnmpEntityRec*> SnmpApiCore::AllEntities() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<const SnmpEntityRec*> result;
  for (const auto& [h, rec] : entities_) result.push_back(rec.get());
  return result;
}

SnmpApiCore::Counts SnmpApiCore::LiveCounts() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Counts c;
  c.sessions = sessions_.size();
  c.entities = entities_.size();
  c.contexts = contexts_.size();
  c.pdus = pdus_.size();
  c.vbls = vbls_.size();
  c.descriptors = descriptors_.size();
  return c;
}

uint32_t SnmpApiCore::startupCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return startupCount_;
}
