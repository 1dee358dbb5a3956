#include "snmp/testing/fake_snmp_api.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

std::string DottedOid(const std::vector<uint32_t>& ids) {
  std::string text;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) text += '.';
    text += std::to_string(ids[i]);
  }
  return text;
}

}  // namespace

FakeSnmpApi::Binding BindingFromVar(const SnmpVar& var) {
  FakeSnmpApi::Binding b;
  b.oid = DottedOid(var.name);
  b.syntax = var.syntax;
  switch (var.syntax) {
    case SNMP_SYNTAX_INT:
      b.value = std::to_string(var.sNumber);
      break;
    case SNMP_SYNTAX_CNTR32:
    case SNMP_SYNTAX_GAUGE32:
    case SNMP_SYNTAX_TIMETICKS:
    case SNMP_SYNTAX_UINT32:
      b.value = std::to_string(var.uNumber);
      break;
    case SNMP_SYNTAX_CNTR64:
      b.value = std::to_string(var.counter64);
      break;
    case SNMP_SYNTAX_OID:
      b.value = DottedOid(var.oidValue);
      break;
    case SNMP_SYNTAX_IPADDR:
      for (size_t i = 0; i < var.octets.size(); ++i) {
        if (i) b.value += '.';
        b.value += std::to_string(var.octets[i]);
      }
      break;
    default:  // the octet syntaxes; nothing for NULL and the exceptions
      b.value.assign(var.octets.begin(), var.octets.end());
      break;
  }
  return b;
}

bool VarFromText(const FakeSnmpApi::Binding& binding, SnmpVar* var) {
  if (!ParseOidText(binding.oid.c_str(), &var->name)) return false;
  var->syntax = binding.syntax;
  const std::string& text = binding.value;
  uint64_t u = 0;
  if (binding.syntax == SNMP_SYNTAX_IPADDR) {
    // Four dotted numbers, where the other octet syntaxes take the bytes.
    var->octets.clear();
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
      size_t dot = text.find('.', start);
      std::string piece = text.substr(
          start, dot == std::string::npos ? std::string::npos : dot - start);
      if (!ParseUnsigned(piece, 255, &u)) return false;
      var->octets.push_back(static_cast<uint8_t>(u));
      if (i < 3 && dot == std::string::npos) return false;
      if (i == 3 && dot != std::string::npos) return false;
      start = dot + 1;
    }
    return true;
  }
  switch (MemberForSyntax(binding.syntax)) {
    case SnmpVarMember::kUnknown:
      return false;
    case SnmpVarMember::kNone:
      return true;
    case SnmpVarMember::kSigned: {
      errno = 0;
      char* end = nullptr;
      long long v = std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || errno != 0 || *end != '\0' || v < INT32_MIN ||
          v > INT32_MAX)
        return false;
      var->sNumber = static_cast<int32_t>(v);
      return true;
    }
    case SnmpVarMember::kUnsigned:
      if (!ParseUnsigned(text, UINT32_MAX, &u)) return false;
      var->uNumber = static_cast<uint32_t>(u);
      return true;
    case SnmpVarMember::kCounter64:
      if (!ParseUnsigned(text, UINT64_MAX, &u)) return false;
      var->counter64 = u;
      return true;
    case SnmpVarMember::kOid:
      return ParseOidText(text.c_str(), &var->oidValue);
    case SnmpVarMember::kOctets:
      var->octets.assign(text.begin(), text.end());
      return true;
  }
  return false;
}

FakeSnmpApi::FakeSnmpApi() = default;
FakeSnmpApi::~FakeSnmpApi() = default;

uint32_t FakeSnmpApi::InjectedFailure(Call call) {
  ++calls_[call];
  auto it = failures_.find(call);
  if (it == failures_.end()) return 0;
  uint32_t error = it->second.error;
  if (it->second.times > 0 && --it->second.times == 0) failures_.erase(it);
  return error;
}

uint32_t FakeSnmpApi::Transmit(HSNMP_SESSION session, const SnmpEntityRec* src,
                               const SnmpEntityRec& dst,
                               const std::string& community,
                               const SnmpPduRec& pdu) {
  SentPdu rec;
  rec.session = session;
  rec.address = dst.address;
  rec.port = dst.port;
  rec.community = community;
  rec.type = pdu.type;
  rec.requestId = pdu.requestId;
  rec.errorStatus = pdu.errorStatus;
  rec.errorIndex = pdu.errorIndex;
  if (SnmpSessionRec* r = FindSession(session)) rec.security = r->security;
  rec.bindingCount = pdu.vars.size();
  for (size_t i = 0; i < pdu.vars.size(); ++i) {
    Binding b = BindingFromVar(pdu.vars[i]);
    if (i == 0) {
      rec.oid = b.oid;
      rec.syntax = b.syntax;
      rec.value = b.value;
    }
    rec.bindings.push_back(std::move(b));
  }
  peers_[session] = {dst.address, dst.port};
  sent_.push_back(std::move(rec));
  return 0;
}

uint32_t FakeSnmpApi::StartListening(HSNMP_SESSION session,
                                     const SnmpEntityRec& entity) {
  listens_[session].emplace_back(entity.address, entity.port);
  return 0;
}

void FakeSnmpApi::SessionClosing(HSNMP_SESSION session) {
  listens_.erase(session);
  peers_.erase(session);
}

std::vector<FakeSnmpApi::SentPdu> FakeSnmpApi::sent() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return sent_;
}

size_t FakeSnmpApi::sentCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return sent_.size();
}

const FakeSnmpApi::SentPdu& FakeSnmpApi::lastSent() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (sent_.empty()) throw std::logic_error("FakeSnmpApi: nothing was sent");
  return sent_.back();
}

void FakeSnmpApi::ClearSent() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  sent_.clear();
}

SnmpSessionRec::InMessage FakeSnmpApi::MakeMessage(
    HSNMP_SESSION session, int32_t type, int32_t requestId, int32_t errorStatus,
    int32_t errorIndex, const std::vector<Binding>& bindings) {
  SnmpSessionRec::InMessage msg;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto it = peers_.find(session);
    if (it != peers_.end()) {
      msg.srcAddress = it->second.first;
      msg.srcPort = it->second.second;
    } else if (SnmpSessionRec* s = FindSession(session);
               s && !s->trapSources.empty()) {
      msg.srcAddress = *s->trapSources.begin();
      msg.srcPort = 161;
    }
  }
  msg.dstAddress = "127.0.0.1";
  msg.dstPort = 162;
  msg.community = "public";
  msg.type = type;
  msg.requestId = requestId;
  msg.errorStatus = errorStatus;
  msg.errorIndex = errorIndex;
  for (const Binding& b : bindings) {
    SnmpVar var;
    if (!VarFromText(b, &var))
      throw std::invalid_argument("FakeSnmpApi: bad binding " + b.oid +
                                  " syntax " + std::to_string(b.syntax) +
                                  " value '" + b.value + "'");
    msg.vars.push_back(std::move(var));
  }
  return msg;
}

bool FakeSnmpApi::DeliverReply(HSNMP_SESSION session, int32_t requestId,
                               const std::vector<Binding>& bindings,
                               int32_t errorStatus, int32_t errorIndex,
                               int32_t type) {
  return DeliverMessage(
      session,
      MakeMessage(session, type, requestId, errorStatus, errorIndex, bindings));
}

bool FakeSnmpApi::ReplyTo(const SentPdu& request,
                          const std::vector<Binding>& bindings,
                          int32_t errorStatus, int32_t errorIndex) {
  return DeliverReply(request.session, request.requestId, bindings, errorStatus,
                      errorIndex);
}

bool FakeSnmpApi::DeliverTrap(HSNMP_SESSION session, int32_t type,
                              const std::vector<Binding>& bindings,
                              int32_t requestId) {
  return DeliverMessage(session,
                        MakeMessage(session, type, requestId, 0, 0, bindings));
}

int FakeSnmpApi::DeliverTrapFrom(const std::string& sourceAddress, int32_t type,
                                 const std::vector<Binding>& bindings) {
  int reached = 0;
  for (HSNMP_SESSION s : SessionsRegisteredFor(sourceAddress)) {
    SnmpSessionRec::InMessage msg = MakeMessage(s, type, 0, 0, 0, bindings);
    msg.srcAddress = sourceAddress;
    if (DeliverMessage(s, std::move(msg))) ++reached;
  }
  return reached;
}

bool FakeSnmpApi::DeliverNotification(HSNMP_SESSION session, uint32_t code,
                                      uint32_t lParam) {
  return SnmpApiCore::DeliverNotification(session, code, lParam);
}

bool FakeSnmpApi::DeliverTimeout(const SentPdu& request) {
  return DeliverNotification(request.session, SNMPAPI_TL_TIMEOUT,
                             static_cast<uint32_t>(request.requestId));
}

void FakeSnmpApi::FailCall(Call call, uint32_t lastError, int times) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (times == 0) {
    failures_.erase(call);
    return;
  }
  failures_[call] = Failure{lastError, times};
}

void FakeSnmpApi::ClearFailures() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  failures_.clear();
}

int FakeSnmpApi::CallCount(Call call) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

std::vector<HSNMP_SESSION> FakeSnmpApi::sessions() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return OpenSessions();
}

HSNMP_SESSION FakeSnmpApi::lastSession() const {
  std::vector<HSNMP_SESSION> all = sessions();
  return all.empty() ? nullptr : all.back();
}

std::vector<std::string> FakeSnmpApi::trapSources(HSNMP_SESSION session) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpSessionRec* s = FindSession(session);
  if (!s) return {};
  return std::vector<std::string>(s->trapSources.begin(), s->trapSources.end());
}

std::vector<FakeSnmpApi::EntityInfo> FakeSnmpApi::entities() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<EntityInfo> result;
  for (const SnmpEntityRec* e : AllEntities())
    result.push_back({e->session, e->address, e->port, e->listening});
  return result;
}

std::string FakeSnmpApi::entityAddress(HSNMP_ENTITY entity) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const SnmpEntityRec* e = FindEntity(entity);
  return e ? e->address : "";
}

uint32_t FakeSnmpApi::entityPort(HSNMP_ENTITY entity) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const SnmpEntityRec* e = FindEntity(entity);
  return e ? e->port : 0;
}

bool FakeSnmpApi::entityListening(HSNMP_ENTITY entity) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const SnmpEntityRec* e = FindEntity(entity);
  return e && e->listening;
}

std::string FakeSnmpApi::contextCommunity(HSNMP_CONTEXT context) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const SnmpContextRec* c = FindContext(context);
  return c ? c->community : "";
}

std::vector<std::pair<std::string, uint32_t>> FakeSnmpApi::listens(
    HSNMP_SESSION session) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = listens_.find(session);
  if (it == listens_.end()) return {};
  return it->second;
}
