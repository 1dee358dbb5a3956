#include "snmp/net_snmp_api.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
#include <net-snmp/library/snmp_impl.h>
// clang-format on

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>

#include "logging/log.h"
#include "platform/main_loop.h"
#include "platform/trap_port.h"
#include "snmp/snmp_values.h"
#include "snmp/trap_forward.h"

namespace {

// The library is set up once per process: no configuration files, no
// persistent state, no log output, and the transports known. SNMPv3 users
// exist only in memory, made from the units' settings.
void InitNetSnmpOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_NO_TOKEN_WARNINGS, 1);
    // A handler that drops everything: without one the library writes its
    // complaints about broken packets to the terminal.
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    // The library's own one-time set-up, transports included; it runs with
    // the first session set-up and must run only once.
    netsnmp_session unused;
    snmp_sess_init(&unused);
    // The rest of the library's set-up, which the user-based security model
    // of SNMPv3 units needs (its engine ID discovery): with no MIB
    // directory and the files above off, it reads nothing.
    netsnmp_set_mib_directory("");
    init_snmp("qor_mdu");
  });
}

long NetSnmpVersion(SnmpSecurity::Version version) {
  switch (version) {
    case SnmpSecurity::Version::kV2c:
      return SNMP_VERSION_2c;
    case SnmpSecurity::Version::kV3:
      return SNMP_VERSION_3;
    default:
      return SNMP_VERSION_1;
  }
}

struct ProtocolOid {
  const char* name;
  const oid* id;
  size_t length;
};

const ProtocolOid* AuthProtocolOid(const std::string& name) {
  static const ProtocolOid kAuth[] = {
      {"SHA", usmHMACSHA1AuthProtocol, OID_LENGTH(usmHMACSHA1AuthProtocol)},
      {"SHA-224", usmHMAC128SHA224AuthProtocol,
       OID_LENGTH(usmHMAC128SHA224AuthProtocol)},
      {"SHA-256", usmHMAC192SHA256AuthProtocol,
       OID_LENGTH(usmHMAC192SHA256AuthProtocol)},
      {"SHA-384", usmHMAC256SHA384AuthProtocol,
       OID_LENGTH(usmHMAC256SHA384AuthProtocol)},
      {"SHA-512", usmHMAC384SHA512AuthProtocol,
       OID_LENGTH(usmHMAC384SHA512AuthProtocol)},
      {"MD5", usmHMACMD5AuthProtocol, OID_LENGTH(usmHMACMD5AuthProtocol)},
  };
  for (const ProtocolOid& p : kAuth)
    if (name == p.name) return &p;
  return nullptr;
}

const ProtocolOid* PrivProtocolOid(const std::string& name) {
  static const ProtocolOid kPriv[] = {
      {"AES", usmAESPrivProtocol, OID_LENGTH(usmAESPrivProtocol)},
      {"AES-192", usmAES192PrivProtocol, OID_LENGTH(usmAES192PrivProtocol)},
      {"AES-256", usmAES256PrivProtocol, OID_LENGTH(usmAES256PrivProtocol)},
      {"DES", usmDESPrivProtocol, OID_LENGTH(usmDESPrivProtocol)},
  };
  for (const ProtocolOid& p : kPriv)
    if (name == p.name) return &p;
  return nullptr;
}

// The USM settings of a session: user, level, protocols and
// the keys made from the pass phrases by the library. |context| must live
// as long as |config| is used. False when a protocol or key is refused.
bool ConfigureUsm(netsnmp_session* config, const SnmpSecurity& sec,
                  std::string* user, std::string* context) {
  *user = sec.user;
  *context = sec.context;
  config->securityModel = SNMP_SEC_MODEL_USM;
  config->securityName = user->data();
  config->securityNameLen = user->size();
  config->contextName = context->data();
  config->contextNameLen = context->size();
  // The library copies the protocols into the users it makes: "none" is
  // named as such.
  config->securityAuthProto = usmNoAuthProtocol;
  config->securityAuthProtoLen = OID_LENGTH(usmNoAuthProtocol);
  config->securityPrivProto = usmNoPrivProtocol;
  config->securityPrivProtoLen = OID_LENGTH(usmNoPrivProtocol);
  switch (sec.level) {
    case SnmpSecurity::Level::kNoAuthNoPriv:
      config->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
      return true;
    case SnmpSecurity::Level::kAuthNoPriv:
      config->securityLevel = SNMP_SEC_LEVEL_AUTHNOPRIV;
      break;
    case SnmpSecurity::Level::kAuthPriv:
      config->securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
      break;
  }
  const ProtocolOid* auth = AuthProtocolOid(sec.authProtocol);
  if (!auth) return false;
  config->securityAuthProto = const_cast<oid*>(auth->id);
  config->securityAuthProtoLen = auth->length;
  config->securityAuthKeyLen = USM_AUTH_KU_LEN;
  if (generate_Ku(auth->id, static_cast<u_int>(auth->length),
                  reinterpret_cast<const u_char*>(sec.authPass.data()),
                  sec.authPass.size(), config->securityAuthKey,
                  &config->securityAuthKeyLen) != SNMPERR_SUCCESS)
    return false;
  if (sec.level != SnmpSecurity::Level::kAuthPriv) return true;
  const ProtocolOid* priv = PrivProtocolOid(sec.privProtocol);
  if (!priv) return false;
  config->securityPrivProto = const_cast<oid*>(priv->id);
  config->securityPrivProtoLen = priv->length;
  config->securityPrivKeyLen = USM_PRIV_KU_LEN;
  // The privacy key is made with the authentication protocol's hash.
  return generate_Ku(auth->id, static_cast<u_int>(auth->length),
                     reinterpret_cast<const u_char*>(sec.privPass.data()),
                     sec.privPass.size(), config->securityPrivKey,
                     &config->securityPrivKeyLen) == SNMPERR_SUCCESS;
}

// Everything of a session's security that decides how requests are made,
// to tell when the library's session must be opened again.
std::string SecurityKey(const SnmpSecurity& sec) {
  if (sec.version != SnmpSecurity::Version::kV3)
    return SnmpVersionName(sec.version);
  std::string key = "3";
  for (const std::string* field :
       {&sec.user, &sec.authProtocol, &sec.authPass, &sec.privProtocol,
        &sec.privPass, &sec.context}) {
    key += '\0';
    key += *field;
  }
  key += static_cast<char>(sec.level);
  return key;
}

// The cause an SNMPv3 unit gave in a report or a trap that could not be
// taken; 0 for anything else.
uint32_t V3Refusal(int snmpErrno) {
  switch (snmpErrno) {
    case SNMPERR_AUTHENTICATION_FAILURE:
    case SNMPERR_USM_AUTHENTICATIONFAILURE:
      return SNMPAPI_V3_WRONG_DIGEST;
    case SNMPERR_UNKNOWN_USER_NAME:
    case SNMPERR_USM_UNKNOWNSECURITYNAME:
      return SNMPAPI_V3_UNKNOWN_USER;
    case SNMPERR_UNKNOWN_ENG_ID:
    case SNMPERR_USM_UNKNOWNENGINEID:
      return SNMPAPI_V3_UNKNOWN_ENGINE_ID;
    case SNMPERR_DECRYPTION_ERR:
    case SNMPERR_USM_DECRYPTIONERROR:
      return SNMPAPI_V3_DECRYPTION_ERROR;
    case SNMPERR_UNSUPPORTED_SEC_LEVEL:
    case SNMPERR_USM_UNSUPPORTEDSECURITYLEVEL:
      return SNMPAPI_V3_UNSUPPORTED_LEVEL;
    case SNMPERR_NOT_IN_TIME_WINDOW:
    case SNMPERR_USM_NOTINTIMEWINDOW:
      return SNMPAPI_V3_NOT_IN_TIME_WINDOW;
    default:
      return 0;
  }
}

uint32_t ErrorFromNetSnmp(int snmpErrno) {
  switch (snmpErrno) {
    case SNMPERR_BAD_SENDTO:
    case SNMPERR_BAD_ADDRESS:
      return SNMPAPI_TL_UNDELIVERABLE;
    case SNMPERR_TOO_LONG:
      return SNMPAPI_TL_PDU_TOO_BIG;
    case SNMPERR_BAD_ASN1_BUILD:
    case SNMPERR_V2_IN_V1:
    case SNMPERR_VAR_TYPE:
      return SNMPAPI_SYNTAX_INVALID;
    case SNMPERR_MALLOC:
      return SNMPAPI_ALLOC_ERROR;
    case SNMPERR_TIMEOUT:
      return SNMPAPI_TL_TIMEOUT;
    default:
      if (uint32_t refusal = V3Refusal(snmpErrno)) return refusal;
      return SNMPAPI_TL_OTHER;
  }
}

// Every received PDU's source is turned into text: done by hand, because
// inet_ntop formats each byte with sprintf.
std::string Ipv4Text(const struct in_addr& addr) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&addr.s_addr);
  char text[INET_ADDRSTRLEN];
  char* end = text;
  for (int i = 0; i < 4; ++i) {
    if (i != 0) *end++ = '.';
    end = std::to_chars(end, text + sizeof text, bytes[i]).ptr;
  }
  return std::string(text, end);
}

// The UDP source of a received PDU, as the UDP transport records it.
bool SourceOf(const netsnmp_pdu* pdu, std::string* address, uint32_t* port) {
  if (!pdu->transport_data ||
      pdu->transport_data_length < static_cast<int>(sizeof(sockaddr_in)))
    return false;
  const auto* pair =
      static_cast<const netsnmp_indexed_addr_pair*>(pdu->transport_data);
  if (pair->remote_addr.sa.sa_family != AF_INET) return false;
  *address = Ipv4Text(pair->remote_addr.sin.sin_addr);
  *port = ntohs(pair->remote_addr.sin.sin_port);
  return true;
}

bool NameFrom(const oid* name, size_t length, std::vector<uint32_t>* out) {
  if (length == 0 || length > SnmpApiCore::kMaxOidLength) return false;
  out->clear();
  for (size_t i = 0; i < length; ++i) {
    if (name[i] > UINT32_MAX) return false;
    out->push_back(static_cast<uint32_t>(name[i]));
  }
  return true;
}

// Bindings of a parsed PDU in the layer's form; false drops the PDU.
bool VarsFrom(const netsnmp_variable_list* v, std::vector<SnmpVar>* out) {
  for (; v; v = v->next_variable) {
    SnmpVar var;
    if (!NameFrom(v->name, v->name_length, &var.name)) return false;
    var.syntax = v->type;
    switch (v->type) {
      case ASN_INTEGER:
        if (!v->val.integer) return false;
        var.sNumber = static_cast<int32_t>(*v->val.integer);
        break;
      case ASN_COUNTER:
      case ASN_GAUGE:
      case ASN_TIMETICKS:
      case ASN_UINTEGER:
        if (!v->val.integer) return false;
        var.uNumber = static_cast<uint32_t>(*v->val.integer);
        break;
      case ASN_COUNTER64:
        if (!v->val.counter64) return false;
        var.counter64 =
            (static_cast<uint64_t>(v->val.counter64->high & 0xFFFFFFFF) << 32) |
            (v->val.counter64->low & 0xFFFFFFFF);
        break;
      case ASN_OCTET_STR:
      case ASN_BIT_STR:
      case ASN_OPAQUE:
      case ASN_NSAP:
      case ASN_IPADDRESS:
        if (v->val_len > 0 && !v->val.string) return false;
        var.octets.assign(v->val.string, v->val.string + v->val_len);
        break;
      case ASN_OBJECT_ID:
        if (v->val_len > 0 &&
            !NameFrom(v->val.objid, v->val_len / sizeof(oid), &var.oidValue))
          return false;
        break;
      default:  // NULL, the v2 exceptions, and types with no text form
        break;
    }
    out->push_back(std::move(var));
  }
  return true;
}

SnmpVar TimeTicksVar(std::vector<uint32_t> name, uint32_t ticks) {
  SnmpVar var;
  var.name = std::move(name);
  var.syntax = SNMP_SYNTAX_TIMETICKS;
  var.uNumber = ticks;
  return var;
}

// |pdu| as the library encodes it for sending; empty when it cannot be.
// |community| only for version 1 and 2c.
std::vector<uint8_t> Encoded(netsnmp_pdu* pdu, long version,
                             const std::string& community) {
  std::vector<uint8_t> packet;
  netsnmp_session sender;
  snmp_sess_init(&sender);
  sender.version = version;
  std::string communityCopy = community;
  if (version != SNMP_VERSION_3) {
    sender.community = reinterpret_cast<u_char*>(communityCopy.data());
    sender.community_len = communityCopy.size();
  }
  size_t size = 2048;
  u_char* buffer = static_cast<u_char*>(malloc(size));
  size_t offset = 0;
  if (buffer && snmp_build(&buffer, &size, &offset, &sender, pdu) == 0) {
    // Encoded backwards the packet ends at the buffer's end, else it
    // starts at its beginning.
    if (netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID,
                               NETSNMP_DS_LIB_REVERSE_ENCODE))
      packet.assign(buffer + size - offset, buffer + size);
    else
      packet.assign(buffer, buffer + offset);
  }
  free(buffer);
  return packet;
}

// The answer to an inform, built by the library: the inform's request id
// and bindings in a response (for version 3 with the inform's user and
// level). Empty when it cannot be built.
std::vector<uint8_t> InformResponse(netsnmp_pdu* inform, long version,
                                    const std::string& community) {
  netsnmp_pdu* response = snmp_clone_pdu(inform);
  if (!response) return {};
  response->command = SNMP_MSG_RESPONSE;
  response->errstat = 0;
  response->errindex = 0;
  if (version != SNMP_VERSION_3) {
    SNMP_FREE(response->community);
    response->community = static_cast<u_char*>(
        netsnmp_memdup(community.data(), community.size() + 1));
    response->community_len = response->community ? community.size() : 0;
  }
  std::vector<uint8_t> packet;
  if (version == SNMP_VERSION_3 || response->community)
    packet = Encoded(response, version, community);
  snmp_free_pdu(response);
  return packet;
}

// The report an SNMPv3 inform that failed |error| asks for (RFC 3412,
// 7.2): this process's engine ID, boots and time to a sender that learns
// them, or the cause of a refusal. Empty when none is due.
std::vector<uint8_t> V3Report(netsnmp_pdu* pdu, int error) {
  // A confirmed class PDU (a sender's discovery asks with a get), or one
  // that could not be read (encrypted with the wrong key) that asks for
  // reports.
  if (!SNMP_CMD_CONFIRMED(pdu->command) &&
      !(pdu->command == 0 && (pdu->flags & SNMP_MSG_FLAG_RPRT_BIT)))
    return {};
  const u_long flags = pdu->flags;
  pdu->flags |= UCD_MSG_FLAG_FORCE_PDU_COPY;
  netsnmp_pdu* report = snmp_clone_pdu(pdu);
  pdu->flags = flags;
  if (!report) return {};
  report->flags = flags;
  std::vector<uint8_t> packet;
  if (snmpv3_make_report(report, error) == SNMPERR_SUCCESS)
    packet = Encoded(report, SNMP_VERSION_3, "");
  snmp_free_pdu(report);
  return packet;
}

// An SNMPv3 trap or inform, checked by the library's user-based security
// model against the users made for the units (for a trap, of the unit's
// engine ID; for an inform, whose receiver is the authoritative engine, of
// this process's); false drops it, with the cause in *refusal when it
// failed authentication. An inform's answer, or the report a failed one
// asks for, goes to *answer; *report says it is a report.
bool ParseV3Notification(uint8_t* data, size_t size,
                         SnmpSessionRec::InMessage* msg, uint32_t* refusal,
                         std::vector<uint8_t>* answer, bool* report) {
  netsnmp_session receiver;
  snmp_sess_init(&receiver);
  receiver.version = SNMP_VERSION_3;
  // Authoritative for what asks for a report (informs), not for traps.
  receiver.isAuthoritative = SNMP_SESS_UNKNOWNAUTH;
  netsnmp_pdu* pdu = snmp_pdu_create(0);
  if (!pdu) return false;
  size_t length = size;
  const int result = snmpv3_parse(pdu, data, &length, nullptr, &receiver);
  bool ok = result == SNMPERR_SUCCESS &&
            (pdu->command == SNMP_MSG_TRAP2 || pdu->command == SNMP_MSG_INFORM);
  if (result != SNMPERR_SUCCESS) {
    *refusal = V3Refusal(result);
    if (answer) {
      *answer = V3Report(pdu, result);
      *report = !answer->empty();
    }
  }
  // The user and engine ID are read before they are checked: a refusal
  // can then tell a known user of an unknown engine ID.
  msg->version = SnmpSecurity::Version::kV3;
  if (pdu->securityName && pdu->securityNameLen <= 32)
    msg->securityName.assign(pdu->securityName, pdu->securityNameLen);
  if (pdu->securityEngineID && pdu->securityEngineIDLen <= 32)
    msg->engineId.assign(pdu->securityEngineID,
                         pdu->securityEngineID + pdu->securityEngineIDLen);
  if (ok) {
    msg->type = SNMP_PDU_TRAP;
    msg->inform = pdu->command == SNMP_MSG_INFORM;
    msg->requestId = static_cast<int32_t>(pdu->reqid);
    msg->securityLevel = pdu->securityLevel == SNMP_SEC_LEVEL_AUTHPRIV
                             ? SnmpSecurity::Level::kAuthPriv
                         : pdu->securityLevel == SNMP_SEC_LEVEL_AUTHNOPRIV
                             ? SnmpSecurity::Level::kAuthNoPriv
                             : SnmpSecurity::Level::kNoAuthNoPriv;
    ok = VarsFrom(pdu->variables, &msg->vars);
    if (ok && msg->inform && answer)
      *answer = InformResponse(pdu, SNMP_VERSION_3, "");
  }
  snmp_free_pdu(pdu);
  return ok;
}

// A trap datagram in the form sessions receive it; false drops it. SNMPv1
// and v2c traps, SNMPv3 traps and v2c and v3 informs (whose answer goes to
// *answer) are read here; anything else never reaches the parser of the
// PDU.
bool ParseTrapDatagram(uint8_t* data, size_t size,
                       SnmpSessionRec::InMessage* msg, uint32_t* refusal,
                       std::vector<uint8_t>* answer, bool* report) {
  u_char community[256];
  size_t communityLength = sizeof community;
  size_t length = size;
  long version = -1;
  u_char* rest =
      snmp_comstr_parse(data, &length, community, &communityLength, &version);
  if (!rest || version == SNMP_VERSION_3)
    return ParseV3Notification(data, size, msg, refusal, answer, report);
  if (version != SNMP_VERSION_1 && version != SNMP_VERSION_2c) return false;
  msg->version = version == SNMP_VERSION_1 ? SnmpSecurity::Version::kV1
                                           : SnmpSecurity::Version::kV2c;
  netsnmp_pdu* pdu = snmp_pdu_create(0);
  if (!pdu) return false;
  pdu->version = version;
  bool ok = snmp_pdu_parse(pdu, rest, &length) == 0;
  if (ok && pdu->command == SNMP_MSG_TRAP && version == SNMP_VERSION_1) {
    // The v2 form: sysUpTime.0, snmpTrapOID.0, then the trap's bindings.
    std::vector<uint32_t> trapOid;
    if (pdu->trap_type >= 0 && pdu->trap_type <= 5) {
      trapOid = {1, 3, 6, 1, 6,
                 3, 1, 1, 5, static_cast<uint32_t>(pdu->trap_type + 1)};
    } else if (pdu->trap_type == SNMP_TRAP_ENTERPRISESPECIFIC &&
               pdu->specific_type >= 0 && pdu->specific_type <= UINT32_MAX &&
               NameFrom(pdu->enterprise, pdu->enterprise_length, &trapOid) &&
               trapOid.size() + 2 <= SnmpApiCore::kMaxOidLength) {
      trapOid.push_back(0);
      trapOid.push_back(static_cast<uint32_t>(pdu->specific_type));
    } else {
      ok = false;
    }
    if (ok) {
      msg->type = SNMP_PDU_V1TRAP;
      msg->vars.push_back(TimeTicksVar({1, 3, 6, 1, 2, 1, 1, 3, 0},
                                       static_cast<uint32_t>(pdu->time)));
      SnmpVar oidVar;
      oidVar.name = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
      oidVar.syntax = SNMP_SYNTAX_OID;
      oidVar.oidValue = std::move(trapOid);
      msg->vars.push_back(std::move(oidVar));
    }
  } else if (ok &&
             (pdu->command == SNMP_MSG_TRAP2 ||
              pdu->command == SNMP_MSG_INFORM) &&
             version == SNMP_VERSION_2c) {
    msg->type = SNMP_PDU_TRAP;
    msg->inform = pdu->command == SNMP_MSG_INFORM;
    if (msg->inform && answer)
      *answer = InformResponse(
          pdu, SNMP_VERSION_2c,
          std::string(reinterpret_cast<char*>(community), communityLength));
    msg->requestId = static_cast<int32_t>(pdu->reqid);
    msg->errorStatus = static_cast<int32_t>(pdu->errstat);
    msg->errorIndex = static_cast<int32_t>(pdu->errindex);
  } else {
    ok = false;  // informs, requests, responses: not for a trap port
  }
  if (ok) ok = VarsFrom(pdu->variables, &msg->vars);
  if (ok)
    msg->community.assign(reinterpret_cast<char*>(community), communityLength);
  snmp_free_pdu(pdu);
  return ok;
}

// A non-blocking UDP socket bound to |address|:|port|; -1 with *error set.
int BoundUdpSocket(const std::string& address, uint16_t port, uint32_t* error) {
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (address.empty()) {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    *error = SNMPAPI_TL_SRC_INVALID;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = SNMPAPI_TL_RESOURCE_ERROR;
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    *error = errno == EADDRINUSE      ? SNMPAPI_TL_IN_USE
             : errno == EADDRNOTAVAIL ? SNMPAPI_TL_SRC_INVALID
                                      : SNMPAPI_TL_RESOURCE_ERROR;
    close(fd);
    return -1;
  }
  return fd;
}

// A session's read: one recvfrom. net-snmp's own UDP read also asks the
// kernel for the socket's local address with every datagram, for its
// diagnostics; a session needs only the sender (FromPeerOnly checks it).
// The address pair is allocated as net-snmp's is, for net-snmp to free.
int RecvFromPeer(netsnmp_transport* t, void* buf, int size, void** opaque,
                 int* olength) {
  *opaque = nullptr;
  *olength = 0;
  if (!t || t->sock < 0) return -1;
  auto* pair = static_cast<netsnmp_indexed_addr_pair*>(
      calloc(1, sizeof(netsnmp_indexed_addr_pair)));
  if (!pair) return -1;
  socklen_t fromLength = sizeof pair->remote_addr;
  ssize_t n;
  do {
    n = recvfrom(t->sock, buf, static_cast<size_t>(size), MSG_DONTWAIT,
                 &pair->remote_addr.sa, &fromLength);
  } while (n < 0 && errno == EINTR);
  *opaque = pair;
  *olength = sizeof(netsnmp_indexed_addr_pair);
  return static_cast<int>(n);
}

uint16_t LocalPort(int fd) {
  struct sockaddr_in addr = {};
  socklen_t len = sizeof addr;
  if (fd < 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0)
    return 0;
  return ntohs(addr.sin_port);
}

}  // namespace

struct NetSnmpApi::Event {
  HSNMP_SESSION session = nullptr;
  bool isMessage = false;
  SnmpSessionRec::InMessage msg;
  uint32_t code = 0;
  uint32_t lParam = 0;
};

// The wire side of one session.
class NetSnmpApi::Session : public SnmpSessionTransport {
 public:
  Session(EventLoop& loop, HSNMP_SESSION handle, NetSnmpApi* api)
      : loop(loop), handle(handle), api(api) {}
  ~Session() override { Shutdown(); }

  void ClosePeer() {
    closing = true;
    api->ClearDeadline(handle);
    inFlight = 0;
    if (fd >= 0) loop.UnwatchFd(fd);
    fd = -1;
    localPort = 0;
    // Closing may report the requests still waiting; nobody takes them.
    if (sessp) snmp_sess_close(sessp);
    sessp = nullptr;
    pending.clear();
    for (netsnmp_pdu* request : held) snmp_free_pdu(request);
    held.clear();
    probeId = 0;
    probeState = ProbeState::kNone;
    probeEngineId.clear();
    timeoutsInARow = 0;
    timeResent.clear();
    closing = false;
  }

  void Shutdown() {
    ClosePeer();
    for (int l : listenFds) {
      loop.UnwatchFd(l);
      close(l);
    }
    listenFds.clear();
  }

  EventLoop& loop;
  HSNMP_SESSION handle;
  NetSnmpApi* api;
  void* sessp = nullptr;
  int fd = -1;
  // Known once the socket is bound (its first send); replies carry it.
  uint16_t localPort = 0;
  // Requests sent and not yet answered, timed out or failed, as far as the
  // callbacks tell; a hint for when to ask net-snmp, never trusted alone.
  int inFlight = 0;
  std::string peer;
  struct sockaddr_in peerAddr = {};
  std::string community;
  std::string securityKey;
  // The unit's engine ID once learned (v3).
  std::vector<uint8_t> engineId;
  // A v3 unit's engine ID is learned with a probe of our own, a request
  // the unit answers with a report that carries it. It goes out like any
  // request, so the loop never waits for it; the session's requests made
  // meanwhile are held and go out once the engine ID is known.
  enum class ProbeState { kNone, kLearned, kFailed };
  int probeId = 0;  // the probe's request id while it is out
  ProbeState probeState = ProbeState::kNone;  // set by the callback
  std::vector<uint8_t> probeEngineId;         // what the unit's answer said
  std::vector<netsnmp_pdu*> held;
  // Requests of a v3 unit that timed out one after the other; after
  // kForgetEngineIdAfter the engine ID is learned again (a unit replaced or
  // reset answers a stale one with nothing the library takes).
  int timeoutsInARow = 0;
  // Requests whose first notInTimeWindow report was taken: the library
  // sends them again with the time it learned from it.
  std::set<int> timeResent;
  bool closing = false;
  std::vector<int> listenFds;
  std::vector<Event> pending;
};

namespace {
std::string g_intakeSocketPath, g_intakeLockPath, g_engineIdText;
// 2023-11-14: engine boots are seconds since then, within 31 bits until
// 2091.
constexpr time_t kBootsEpoch = 1700000000;
}  // namespace

void UseHostTrapIntake(const std::string& socketPath,
                       const std::string& lockPath) {
  g_intakeSocketPath = socketPath;
  g_intakeLockPath = lockPath;
}

void UseSnmpEngineIdText(const std::string& text) { g_engineIdText = text; }

std::string LocalSnmpEngineIdText() {
  u_char id[32];
  const size_t length = snmpv3_get_engineID(id, sizeof id);
  std::string hex = "0x";
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[id[i] >> 4];
    hex += kDigits[id[i] & 15];
  }
  return hex;
}

SnmpApi* NewProcessSnmpApi() {
  auto* api = new NetSnmpApi(TheMainLoop());
  if (!g_engineIdText.empty()) {
    // The library's engine ID from a text (its type 4), the same at every
    // start, so that a unit set up with it keeps it.
    std::string text = g_engineIdText;
    engineID_conf("engineID", text.data());
    // Its boots must grow with every start, or an inform recorded before
    // one would be taken again after it; nothing is kept between starts,
    // so the clock counts them.
    // (The library adds one to what it is given.)
    std::string boots =
        std::to_string(std::max<time_t>(0, time(nullptr) - kBootsEpoch));
    engineBoots_conf("engineBoots", boots.data());
    FileLog("SNMP engine ID for v3 informs %s",
            LocalSnmpEngineIdText().c_str());
  }
  if (!g_intakeSocketPath.empty())
    api->setTrapIntake(g_intakeSocketPath, g_intakeLockPath);
  return api;
}

NetSnmpApi::NetSnmpApi(EventLoop& loop, int timeoutMs)
    : loop_(loop), timeoutMs_(timeoutMs) {
  InitNetSnmpOnce();
  deadlineSource_ = loop_.AddDeadlineSource(
      [this] { return NearestDeadline(); }, [this] { ExpireDeadlines(); });
}

NetSnmpApi::~NetSnmpApi() {
  // Sessions go while this object can still run its hooks.
  for (HSNMP_SESSION s : OpenSessions()) Close(s);
  loop_.RemoveDeadlineSource(deadlineSource_);
  CloseTrapPort();
  CloseIntakeSocket();
}

uint16_t NetSnmpApi::trapPort() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return trapFd_ >= 0 ? trapPort_ : 0;
}

uint16_t NetSnmpApi::sessionPort(HSNMP_SESSION session) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  SnmpSessionRec* rec = FindSession(session);
  if (!rec || !rec->transport) return 0;
  return LocalPort(static_cast<Session*>(rec->transport.get())->fd);
}

bool NetSnmpApi::ResolveAddress(const std::string& text,
                                std::string* resolved) {
  struct in_addr addr;
  if (inet_pton(AF_INET, text.c_str(), &addr) == 1) {
    *resolved = Ipv4Text(addr);
    return true;
  }
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || !found)
    return false;
  *resolved =
      Ipv4Text(reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr);
  freeaddrinfo(found);
  return true;
}

NetSnmpApi::Session* NetSnmpApi::TransportOf(HSNMP_SESSION session,
                                             bool create) {
  SnmpSessionRec* rec = FindSession(session);
  if (!rec) return nullptr;
  if (!rec->transport && create)
    rec->transport = std::make_unique<Session>(loop_, session, this);
  return static_cast<Session*>(rec->transport.get());
}

// Only the unit itself may answer a session's requests: a datagram from any
// other address or port is dropped before it is parsed, so it can neither
// reach the session nor use up a request that the unit will still answer.
int NetSnmpApi::FromPeerOnly(struct snmp_session* session,
                             struct netsnmp_transport_s* transport,
                             void* transportData, int transportDataLength) {
  auto* s = static_cast<Session*>(session->myvoid);
  if (!s || !transportData ||
      transportDataLength < static_cast<int>(sizeof(netsnmp_indexed_addr_pair)))
    return 0;
  const auto* pair =
      static_cast<const netsnmp_indexed_addr_pair*>(transportData);
  return pair->remote_addr.sa.sa_family == AF_INET &&
         pair->remote_addr.sin.sin_addr.s_addr == s->peerAddr.sin_addr.s_addr &&
         pair->remote_addr.sin.sin_port == s->peerAddr.sin_port;
}

namespace {

constexpr size_t kMaxEngineIdLength = 32;

// The library's user of |engineId| for |security|'s user name, made from
// its pass phrases; one that exists stays as it is.
void MakeUser(const SnmpSecurity& security,
              const std::vector<uint8_t>& engineId) {
  netsnmp_session user;
  snmp_sess_init(&user);
  std::string name, context;
  if (ConfigureUsm(&user, security, &name, &context)) {
    std::vector<u_char> id(engineId.begin(), engineId.end());
    user.version = SNMP_VERSION_3;
    user.securityEngineID = id.data();
    user.securityEngineIDLen = id.size();
    usm_create_user_from_session(&user);
  }
  explicit_bzero(user.securityAuthKey, sizeof user.securityAuthKey);
  explicit_bzero(user.securityPrivKey, sizeof user.securityPrivKey);
}

}  // namespace

uint32_t NetSnmpApi::OpenPeer(HSNMP_SESSION session, Session* s,
                              const std::string& address, uint32_t port,
                              const std::string& community,
                              const SnmpSecurity& security) {
  s->ClosePeer();
  std::string peer = "udp:" + address + ":" + std::to_string(port);
  struct sockaddr_in peerAddr = {};
  peerAddr.sin_family = AF_INET;
  peerAddr.sin_port = htons(static_cast<uint16_t>(port));
  if (port == 0 || port > 65535 ||
      inet_pton(AF_INET, address.c_str(), &peerAddr.sin_addr) != 1)
    return SNMPAPI_TL_INVALID_PARAM;
  netsnmp_transport* transport =
      netsnmp_tdomain_transport(peer.c_str(), 0, "udp");
  if (!transport) return SNMPAPI_TL_RESOURCE_ERROR;
  transport->f_recv = &RecvFromPeer;
  netsnmp_session config;
  snmp_sess_init(&config);
  config.version = NetSnmpVersion(security.version);
  config.retries = 0;
  config.timeout = static_cast<long>(timeoutMs_) * 1000;
  std::string communityCopy = community;
  config.community = reinterpret_cast<u_char*>(communityCopy.data());
  config.community_len = communityCopy.size();
  config.callback = &NetSnmpApi::OnNetSnmpEvent;
  config.callback_magic = s;
  config.myvoid = s;
  std::string user, context;
  if (security.version == SnmpSecurity::Version::kV3) {
    if (!ConfigureUsm(&config, security, &user, &context)) {
      netsnmp_transport_free(transport);
      return SNMPAPI_SYNTAX_INVALID;
    }
    // Left to itself the library would learn the unit's engine ID here and
    // again before a send, each time waiting for the answer: the loop, and
    // every other unit with it, would stand still for a silent unit. The
    // engine ID is learned with a probe of our own (Transmit).
    config.flags |= SNMP_FLAGS_DONT_PROBE;
  }
  // snmp_sess_add copies the configuration and owns the transport, closing
  // it itself when it fails.
  void* sessp =
      snmp_sess_add_ex(&config, transport, &NetSnmpApi::FromPeerOnly, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
  // The keys made from the pass phrases go with the copy.
  explicit_bzero(config.securityAuthKey, sizeof config.securityAuthKey);
  explicit_bzero(config.securityPrivKey, sizeof config.securityPrivKey);
  if (!sessp) return SNMPAPI_TL_RESOURCE_ERROR;
  s->sessp = sessp;
  // The copy the library keeps has lost the flag; from here on it holds.
  if (security.version == SnmpSecurity::Version::kV3)
    snmp_sess_session(sessp)->flags |= SNMP_FLAGS_DONT_PROBE;
  s->peer = peer;
  s->peerAddr = peerAddr;
  s->community = community;
  s->securityKey = SecurityKey(security);
  s->engineId.clear();
  if (security.version == SnmpSecurity::Version::kV3) {
    // Traps of a unit whose engine ID is set are checked with a user of
    // that engine ID, and its informs, whose receiver is the authoritative
    // engine, with a user of this process's; both made from the same pass
    // phrases.
    if (!security.trapEngineId.empty())
      MakeUser(security, security.trapEngineId);
    std::vector<uint8_t> local(kMaxEngineIdLength);
    local.resize(snmpv3_get_engineID(local.data(), local.size()));
    if (!local.empty()) MakeUser(security, local);
  }
  s->fd = snmp_sess_transport(sessp)->sock;
  // The loop's own wait reports this socket's readiness straight to its
  // session: one epoll_wait per wake-up, however many units.
  loop_.WatchFd(s->fd, POLLIN,
                [this, session](short) { OnSessionReadable(session); });
  return 0;
}

namespace {

// Adds |var| to |request| in net-snmp's form of its syntax; false when the
// library will not take it.
bool AddVariable(netsnmp_pdu* request, const SnmpVar& var) {
  std::vector<oid> name(var.name.begin(), var.name.end());
  long sNumber = var.sNumber;
  u_long uNumber = var.uNumber;
  struct counter64 c64;
  c64.high = var.counter64 >> 32;
  c64.low = var.counter64 & 0xFFFFFFFF;
  std::vector<oid> oidValue(var.oidValue.begin(), var.oidValue.end());
  const void* value = nullptr;
  size_t length = 0;
  switch (var.syntax) {
    case SNMP_SYNTAX_INT:
      value = &sNumber;
      length = sizeof sNumber;
      break;
    case SNMP_SYNTAX_CNTR32:
    case SNMP_SYNTAX_GAUGE32:
    case SNMP_SYNTAX_TIMETICKS:
    case SNMP_SYNTAX_UINT32:
      value = &uNumber;
      length = sizeof uNumber;
      break;
    case SNMP_SYNTAX_CNTR64:
      value = &c64;
      length = sizeof c64;
      break;
    case SNMP_SYNTAX_OID:
      value = oidValue.data();
      length = oidValue.size() * sizeof(oid);
      break;
    case SNMP_SYNTAX_OCTETS:
    case SNMP_SYNTAX_BITS:
    case SNMP_SYNTAX_OPAQUE:
    case SNMP_SYNTAX_NSAPADDR:
    case SNMP_SYNTAX_IPADDR:
      value = var.octets.data();
      length = var.octets.size();
      break;
    default:
      break;
  }
  return snmp_pdu_add_variable(request, name.data(), name.size(),
                               static_cast<u_char>(var.syntax), value,
                               length) != nullptr;
}

}  // namespace

uint32_t NetSnmpApi::Transmit(HSNMP_SESSION session, const SnmpEntityRec* src,
                              const SnmpEntityRec& dst,
                              const std::string& community,
                              const SnmpPduRec& pdu) {
  Session* s = TransportOf(session, true);
  if (!s) return SNMPAPI_SESSION_INVALID;
  std::string peer = "udp:" + dst.address + ":" + std::to_string(dst.port);
  const SnmpSecurity& security = FindSession(session)->security;
  const std::string securityKey = SecurityKey(security);
  if (!s->sessp || s->peer != peer || s->community != community ||
      s->securityKey != securityKey) {
    if (uint32_t error =
            OpenPeer(session, s, dst.address, dst.port, community, security))
      return error;
  }

  netsnmp_pdu* request = snmp_pdu_create(pdu.type);
  if (!request) return SNMPAPI_ALLOC_ERROR;
  request->version = NetSnmpVersion(security.version);
  request->reqid = pdu.requestId;
  if (pdu.type == SNMP_PDU_GETBULK) {
    if (security.version == SnmpSecurity::Version::kV1) {
      snmp_free_pdu(request);
      return SNMPAPI_OPERATION_INVALID;
    }
    request->non_repeaters = std::max(0, pdu.errorStatus);
    request->max_repetitions = std::max(0, pdu.errorIndex);
  }
  for (const SnmpVar& var : pdu.vars) {
    if (!AddVariable(request, var)) {
      snmp_free_pdu(request);
      return SNMPAPI_SYNTAX_INVALID;
    }
  }

  netsnmp_session* ns = snmp_sess_session(s->sessp);
  ns->s_snmp_errno = 0;
  if (security.version == SnmpSecurity::Version::kV3 &&
      ns->securityEngineIDLen == 0) {
    // Requests wait for the engine ID: without it they cannot be made.
    if (s->probeId == 0) {
      if (uint32_t error = SendProbe(session, s)) {
        snmp_free_pdu(request);
        return error;
      }
    }
    s->held.push_back(request);
    return 0;
  }
  return SendNow(session, s, request);
}

uint32_t NetSnmpApi::SendNow(HSNMP_SESSION session, Session* s,
                             netsnmp_pdu* request) {
  netsnmp_session* ns = snmp_sess_session(s->sessp);
  ns->s_snmp_errno = 0;
  // The library takes the PDU when it accepts it.
  if (snmp_sess_async_send(s->sessp, request, nullptr, nullptr) == 0) {
    // 0 is the library's failure, with or without an error number: the
    // request did not leave and will neither be answered nor time out.
    uint32_t error = ns->s_snmp_errno != 0 ? ErrorFromNetSnmp(ns->s_snmp_errno)
                                           : SNMPAPI_TL_OTHER;
    snmp_free_pdu(request);
    return error;
  }
  ++s->inFlight;
  // With no retries net-snmp gives up on a request one timeout after it was
  // sent; a deadline that is already set is earlier and stays.
  if (!deadlines_.count(session))
    SetDeadline(session, loop_.clock().NowMs() + timeoutMs_);
  return 0;
}

// The probe asks, as nobody, for nothing: a unit answers it with a report
// of an unknown engine ID that carries its own (RFC 3414, 4).
uint32_t NetSnmpApi::SendProbe(HSNMP_SESSION session, Session* s) {
  // The user "nobody" of any engine, which the library needs to make the
  // probe: no authentication, no privacy.
  if (!usm_get_user(nullptr, 0, "")) {
    struct usmUser* nobody = usm_create_user();
    if (!nobody) return SNMPAPI_ALLOC_ERROR;
    nobody->name = strdup("");
    nobody->secName = strdup("");
    if (!nobody->name || !nobody->secName) {
      usm_free_user(nobody);
      return SNMPAPI_ALLOC_ERROR;
    }
    usm_add_user(nobody);
  }
  netsnmp_pdu* probe = snmp_pdu_create(SNMP_MSG_GET);
  if (!probe) return SNMPAPI_ALLOC_ERROR;
  probe->version = SNMP_VERSION_3;
  probe->securityModel = SNMP_SEC_MODEL_USM;
  probe->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
  probe->securityName = strdup("");
  probe->securityNameLen = 0;
  const int id = static_cast<int>(probe->reqid);
  if (uint32_t error = SendNow(session, s, probe)) return error;
  s->probeId = id;
  s->probeState = Session::ProbeState::kNone;
  return 0;
}

// A v3 unit that stopped answering may have come back with another engine
// ID (replaced, or reset): its answers to the old one would never be taken.
// Its next request learns the engine ID again.
void NetSnmpApi::ForgetEngineId(Session* s) {
  s->timeoutsInARow = 0;
  netsnmp_session* ns = snmp_sess_session(s->sessp);
  if (ns->version != SNMP_VERSION_3 || ns->securityEngineIDLen == 0) return;
  SNMP_FREE(ns->securityEngineID);
  ns->securityEngineIDLen = 0;
  SNMP_FREE(ns->contextEngineID);
  ns->contextEngineIDLen = 0;
}

// Called on the loop once the probe has its answer or has timed out: the
// held requests go out with the engine ID learned, or fail as timed out,
// each with its own request id (the next request probes again).
void NetSnmpApi::FinishProbe(HSNMP_SESSION session, Session* s) {
  const bool learned = s->probeState == Session::ProbeState::kLearned;
  s->probeId = 0;
  s->probeState = Session::ProbeState::kNone;
  std::vector<netsnmp_pdu*> held;
  held.swap(s->held);
  netsnmp_session* ns = snmp_sess_session(s->sessp);
  if (learned && ns->securityEngineIDLen == 0) {
    // The library keeps what a report said only for some versions of it:
    // the session is told here in any case.
    ns->securityEngineID = static_cast<u_char*>(
        netsnmp_memdup(s->probeEngineId.data(), s->probeEngineId.size()));
    if (ns->securityEngineID) ns->securityEngineIDLen = s->probeEngineId.size();
  }
  if (learned && ns->securityEngineIDLen != 0 && ns->contextEngineIDLen == 0) {
    ns->contextEngineID = static_cast<u_char*>(
        netsnmp_memdup(ns->securityEngineID, ns->securityEngineIDLen));
    if (ns->contextEngineID) ns->contextEngineIDLen = ns->securityEngineIDLen;
  }
  s->probeEngineId.clear();
  // The unit's user of that engine ID, its keys made from the session's
  // (the library makes one user per session unless told again).
  ns->flags &= ~SNMP_FLAGS_USER_CREATED;
  if (learned && ns->securityEngineIDLen != 0 &&
      usm_create_user_from_session(ns) == SNMPERR_SUCCESS) {
    s->engineId.assign(ns->securityEngineID,
                       ns->securityEngineID + ns->securityEngineIDLen);
    for (netsnmp_pdu* request : held) {
      const uint32_t id = static_cast<uint32_t>(request->reqid);
      if (uint32_t error = SendNow(session, s, request)) {
        Event e;
        e.session = session;
        e.code = error;
        e.lParam = id;
        s->pending.push_back(std::move(e));
      }
    }
    return;
  }
  for (netsnmp_pdu* request : held) {
    Event e;
    e.session = session;
    e.code = SNMPAPI_TL_TIMEOUT;
    e.lParam = static_cast<uint32_t>(request->reqid);
    s->pending.push_back(std::move(e));
    snmp_free_pdu(request);
  }
}

uint32_t NetSnmpApi::StartListening(HSNMP_SESSION session,
                                    const SnmpEntityRec& entity) {
  Session* s = TransportOf(session, true);
  if (!s) return SNMPAPI_SESSION_INVALID;
  if (entity.port > 65535) return SNMPAPI_TL_INVALID_PARAM;
  uint32_t error = 0;
  int fd = BoundUdpSocket(entity.address, static_cast<uint16_t>(entity.port),
                          &error);
  if (fd < 0) return error;
  s->listenFds.push_back(fd);
  loop_.WatchFd(fd, POLLIN,
                [this, fd, session](short) { OnTrapSocket(fd, session); });
  return 0;
}

uint32_t NetSnmpApi::TrapRegistrationsChanged() {
  bool wanted = false;
  for (HSNMP_SESSION h : OpenSessions())
    if (!FindSession(h)->trapSources.empty()) wanted = true;
  if (!wanted) {
    CloseTrapPort();
    CloseIntakeSocket();
    return 0;
  }
  if (!intakeSocketPath_.empty()) {
    OpenIntakeSocket();
    if (!intakeTimer_)
      intakeTimer_ =
          loop_.AddOneShot(kIntakeCheckMs, [this] { CheckTrapIntake(); });
    if (TrapIntakeRunning(intakeLockPath_)) return 0;
  }
  if (trapFd_ >= 0) return 0;
  uint16_t port = 0;
  if (!TrapPortSetting(&port)) return SNMPAPI_TL_INVALID_PARAM;
  // The registration stands whether or not the port opens now: a unit is
  // polled without its traps rather than not at all.
  if (!trapRetrySet_) OpenTrapPort(false);
  return 0;
}

void NetSnmpApi::setTrapIntake(const std::string& socketPath,
                               const std::string& lockPath) {
  intakeSocketPath_ = socketPath;
  intakeLockPath_ = lockPath;
  // The intake's own socket is beside its lock.
  const size_t slash = lockPath.rfind('/');
  intakeAnswerPath_ = TrapIntakeAnswerSocketPath(
      slash == std::string::npos ? "." : lockPath.substr(0, slash));
}

// Opens the trap port for the process. A port that cannot be opened does
// not fail anything: the units are polled without their traps, the log file
// and the debug list say so once for each reason, and the port is tried
// again after trapRetryMs_. |noIntake| adds the line that says the port is
// taken because no trap intake runs on the host.
uint32_t NetSnmpApi::OpenTrapPort(bool noIntake) {
  if (trapFd_ >= 0) return 0;
  uint16_t port = 0;
  if (!TrapPortSetting(&port)) return SNMPAPI_TL_INVALID_PARAM;
  uint32_t error = 0;
  int fd = BoundUdpSocket("", port, &error);
  if (fd < 0) {
    if (error != trapsOffError_) {
      FileLog(
          "SNMP traps are off - port %u cannot be opened (%s) - trying "
          "again every %d s",
          static_cast<unsigned>(port), errorText(error), trapRetryMs_ / 1000);
      DebugList("SNMP traps are off - port %u cannot be opened (%s)",
                static_cast<unsigned>(port), errorText(error));
      trapsOffError_ = error;
    }
    if (!trapRetrySet_) {
      trapRetryTimer_ =
          loop_.AddOneShot(trapRetryMs_, [this] { RetryTrapPort(); });
      trapRetrySet_ = true;
    }
    return error;
  }
  if (trapsOffError_ != 0) {
    FileLog("SNMP traps are on - port %u", static_cast<unsigned>(port));
    DebugList("SNMP traps are on - port %u", static_cast<unsigned>(port));
    trapsOffError_ = 0;
  }
  trapFd_ = fd;
  trapPort_ = port;
  loop_.WatchFd(fd, POLLIN, [this, fd](short) { OnTrapSocket(fd, nullptr); });
  if (noIntake)
    FileLog("No trap intake runs - traps taken on UDP port %u", port);
  return 0;
}

void NetSnmpApi::CloseTrapPort() {
  if (trapRetrySet_) loop_.CancelOneShot(trapRetryTimer_);
  trapRetrySet_ = false;
  trapsOffError_ = 0;
  if (trapFd_ < 0) return;
  loop_.UnwatchFd(trapFd_);
  close(trapFd_);
  trapFd_ = -1;
}

void NetSnmpApi::OpenIntakeSocket() {
  if (intakeFd_ >= 0) return;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (intakeSocketPath_.size() >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, intakeSocketPath_.c_str(),
              intakeSocketPath_.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // One driver per device number holds its instance lock, so a socket file
  // left here is a dead driver's.
  unlink(intakeSocketPath_.c_str());
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    FileLog("Trap intake socket %s cannot be made - %s",
            intakeSocketPath_.c_str(), strerror(errno));
    close(fd);
    return;
  }
  // A burst of traps waits in the socket rather than being lost.
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  intakeFd_ = fd;
  loop_.WatchFd(fd, POLLIN,
                [this, fd](short) { OnTrapSocket(fd, nullptr, true); });
}

void NetSnmpApi::CloseIntakeSocket() {
  if (intakeTimer_) loop_.CancelOneShot(intakeTimer_);
  intakeTimer_ = 0;
  if (intakeFd_ < 0) return;
  loop_.UnwatchFd(intakeFd_);
  close(intakeFd_);
  intakeFd_ = -1;
  unlink(intakeSocketPath_.c_str());
}

// The trap port belongs to the intake while one runs, and to this process
// otherwise; whoever started first, the port ends with the intake.
void NetSnmpApi::CheckTrapIntake() {
  intakeTimer_ = 0;
  if (intakeFd_ < 0) OpenIntakeSocket();
  if (TrapIntakeRunning(intakeLockPath_)) {
    if (trapFd_ >= 0) {
      FileLog("Trap intake runs - UDP port %u left to it", trapPort_);
      CloseTrapPort();
    }
  } else {
    OpenTrapPort(true);
  }
  intakeTimer_ =
      loop_.AddOneShot(kIntakeCheckMs, [this] { CheckTrapIntake(); });
}

void NetSnmpApi::RetryTrapPort() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  trapRetrySet_ = false;
  if (trapFd_ >= 0) return;
  bool wanted = false;
  for (HSNMP_SESSION h : OpenSessions())
    if (!FindSession(h)->trapSources.empty()) wanted = true;
  if (!wanted) return;
  // An intake that started meanwhile has the port; its check hands it over.
  if (!intakeSocketPath_.empty() && TrapIntakeRunning(intakeLockPath_)) return;
  OpenTrapPort(false);
}

void NetSnmpApi::SessionClosing(HSNMP_SESSION session) {
  if (Session* s = TransportOf(session, false)) s->Shutdown();
}

void NetSnmpApi::SetDeadline(HSNMP_SESSION session, int64_t due) {
  auto it = deadlines_.find(session);
  if (it != deadlines_.end() && it->second < due && it->second == nearest_)
    nearestStale_ = true;  // the nearest one may have moved away
  deadlines_[session] = due;
  if (!nearestStale_) nearest_ = std::min(nearest_, due);
}

void NetSnmpApi::ClearDeadline(HSNMP_SESSION session) {
  auto it = deadlines_.find(session);
  if (it == deadlines_.end()) return;
  if (it->second == nearest_) nearestStale_ = true;
  deadlines_.erase(it);
}

int64_t NetSnmpApi::NearestDeadline() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (nearestStale_) {
    nearest_ = INT64_MAX;
    for (const auto& [session, due] : deadlines_)
      nearest_ = std::min(nearest_, due);
    nearestStale_ = false;
  }
  return nearest_ == INT64_MAX ? -1 : nearest_;
}

void NetSnmpApi::ExpireDeadlines() {
  std::vector<HSNMP_SESSION> due;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    const int64_t now = loop_.clock().NowMs();
    for (const auto& [session, when] : deadlines_)
      if (when <= now) due.push_back(session);
  }
  for (HSNMP_SESSION session : due) OnSessionTimer(session);
}

void NetSnmpApi::Reschedule(HSNMP_SESSION session) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Session* s = TransportOf(session, false);
  if (!s || !s->sessp) {
    ClearDeadline(session);
    return;
  }
  int numfds = 0;
  int block = 1;
  struct timeval tv = {0, 0};
  netsnmp_large_fd_set fds;
  netsnmp_large_fd_set_init(&fds,
                            s->fd + 1 > FD_SETSIZE ? s->fd + 1 : FD_SETSIZE);
  snmp_sess_select_info2(s->sessp, &numfds, &fds, &tv, &block);
  netsnmp_large_fd_set_cleanup(&fds);
  if (block) {  // nothing is waiting for an answer
    ClearDeadline(session);
    s->inFlight = 0;
    return;
  }
  // Rounded up, so the deadline never comes before net-snmp's.
  int64_t ms =
      static_cast<int64_t>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
  SetDeadline(session, loop_.clock().NowMs() + ms);
  s->inFlight = std::max(s->inFlight, 1);
}

void NetSnmpApi::OnSessionReadable(HSNMP_SESSION session) {
  std::vector<Event> events;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Session* s = TransportOf(session, false);
    if (!s || !s->sessp) return;
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds,
                              s->fd + 1 > FD_SETSIZE ? s->fd + 1 : FD_SETSIZE);
    NETSNMP_LARGE_FD_SET(s->fd, &fds);
    snmp_sess_read2(s->sessp, &fds);
    netsnmp_large_fd_set_cleanup(&fds);
    if (s->probeId != 0 && s->probeState != Session::ProbeState::kNone)
      FinishProbe(session, s);
    events.swap(s->pending);
  }
  Deliver(std::move(events));
  // In a walk the reply's handler has sent the next request, whose deadline
  // is later than the one kept: nothing to ask. Only a session that has
  // gone quiet asks net-snmp, so that no deadline is kept for nothing.
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Session* s = TransportOf(session, false);
  if (s && s->inFlight <= 0) Reschedule(session);
}

void NetSnmpApi::OnSessionTimer(HSNMP_SESSION session) {
  std::vector<Event> events;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Session* s = TransportOf(session, false);
    if (!s || !s->sessp) {
      ClearDeadline(session);
      return;
    }
    snmp_sess_timeout(s->sessp);
    if (s->probeId != 0 && s->probeState != Session::ProbeState::kNone)
      FinishProbe(session, s);
    if (s->timeoutsInARow >= kForgetEngineIdAfter && s->probeId == 0)
      ForgetEngineId(s);
    events.swap(s->pending);
  }
  Deliver(std::move(events));
  Reschedule(session);
}

int NetSnmpApi::OnNetSnmpEvent(int op, struct snmp_session* session, int reqid,
                               struct snmp_pdu* pdu, void* magic) {
  auto* s = static_cast<Session*>(magic);
  if (!s || s->closing) return 1;
  if (s->probeId != 0 && reqid == s->probeId) {
    // The probe's end is worked on once the library is done with the
    // datagram (FinishProbe), not from inside it.
    if (s->inFlight > 0) --s->inFlight;
    s->probeState = Session::ProbeState::kFailed;
    if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu &&
        pdu->securityEngineID && pdu->securityEngineIDLen > 0 &&
        pdu->securityEngineIDLen <= 32) {
      s->probeEngineId.assign(pdu->securityEngineID,
                              pdu->securityEngineID + pdu->securityEngineIDLen);
      s->probeState = Session::ProbeState::kLearned;
    }
    return 1;
  }
  Event e;
  e.session = s->handle;
  switch (op) {
    case NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE: {
      // Only answers to our requests come here: traps have their own port.
      // An answer refused here returns 0, so that the library keeps the
      // request waiting and reports its timeout: the engine counts on every
      // request it sent being answered or timed out.
      s->timeoutsInARow = 0;
      if (pdu && pdu->command == SNMP_MSG_REPORT) {
        const int type = snmpv3_get_report_type(pdu);
        if (type == SNMPERR_NOT_IN_TIME_WINDOW) {
          // The unit started again and counts its time anew: the library
          // learned it from this report and sends the request again, once.
          // Said a second time, the request is left to time out.
          return s->timeResent.insert(reqid).second ? 1 : 0;
        }
        // An SNMPv3 unit refused the request: its cause goes to the
        // session like a timeout, and the request is done.
        if (s->inFlight > 0) --s->inFlight;
        e.code = V3Refusal(type);
        if (e.code == 0) e.code = SNMPAPI_TL_OTHER;
        e.lParam = static_cast<uint32_t>(reqid);
        break;
      }
      if (!pdu || pdu->command != SNMP_MSG_RESPONSE) return 0;
      SnmpSessionRec::InMessage& msg = e.msg;
      if (!SourceOf(pdu, &msg.srcAddress, &msg.srcPort)) return 0;
      if (!VarsFrom(pdu->variables, &msg.vars)) return 0;
      if (s->inFlight > 0) --s->inFlight;
      msg.type = SNMP_PDU_RESPONSE;
      msg.requestId = static_cast<int32_t>(pdu->reqid);
      msg.errorStatus = static_cast<int32_t>(pdu->errstat);
      msg.errorIndex = static_cast<int32_t>(pdu->errindex);
      if (pdu->community)
        msg.community.assign(reinterpret_cast<char*>(pdu->community),
                             pdu->community_len);
      if (s->localPort == 0) s->localPort = LocalPort(s->fd);
      msg.dstPort = s->localPort;
      e.isMessage = true;
      break;
    }
    case NETSNMP_CALLBACK_OP_TIMED_OUT:
      if (s->inFlight > 0) --s->inFlight;
      ++s->timeoutsInARow;
      e.code = SNMPAPI_TL_TIMEOUT;
      e.lParam = static_cast<uint32_t>(reqid);
      break;
    case NETSNMP_CALLBACK_OP_SEND_FAILED:
      if (s->inFlight > 0) --s->inFlight;
      e.code = SNMPAPI_TL_UNDELIVERABLE;
      e.lParam = static_cast<uint32_t>(reqid);
      break;
    default:
      return 1;
  }
  s->timeResent.erase(reqid);  // the request is done
  s->pending.push_back(std::move(e));
  return 1;
}

void NetSnmpApi::OnTrapSocket(int fd, HSNMP_SESSION onlyFor, bool forwarded) {
  static constexpr int kBatch = 64;  // then let the loop serve others
  std::vector<uint8_t> buffer(kForwardMaxDatagram);
  for (int i = 0; i < kBatch; ++i) {
    struct sockaddr_in from = {};
    socklen_t fromLength = sizeof from;
    ssize_t n =
        forwarded
            ? recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC)
            : recvfrom(fd, buffer.data(), buffer.size(),
                       MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<struct sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: all read
    }
    if (static_cast<size_t>(n) > buffer.size()) continue;
    uint8_t* trap = buffer.data();
    size_t trapSize = static_cast<size_t>(n);
    uint16_t dstPort = 0;
    if (forwarded) {
      const uint8_t* inner = nullptr;
      if (!ParseForwardedTrap(buffer.data(), trapSize, &from, &dstPort, &inner,
                              &trapSize))
        continue;
      trap = buffer.data() + (inner - buffer.data());
    } else {
      dstPort = LocalPort(fd);
    }
    if (from.sin_family != AF_INET) continue;
    SnmpSessionRec::InMessage msg;
    uint32_t refusal = 0;
    std::vector<uint8_t> answer;
    bool report = false;
    const bool parsed =
        ParseTrapDatagram(trap, trapSize, &msg, &refusal, &answer, &report);
    if (!parsed && refusal == 0 && !report) continue;
    msg.srcAddress = Ipv4Text(from.sin_addr);
    msg.srcPort = ntohs(from.sin_port);
    msg.dstPort = dstPort;

    std::vector<Event> events;
    bool v3Source = false;
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      std::vector<HSNMP_SESSION> targets;
      if (onlyFor) {
        SnmpSessionRec* rec = FindSession(onlyFor);
        if (rec && rec->trapSources.count(msg.srcAddress))
          targets.push_back(onlyFor);
      } else {
        targets = SessionsRegisteredFor(msg.srcAddress);
      }
      for (HSNMP_SESSION h : targets) {
        Event e;
        e.session = h;
        SnmpSessionRec* rec = FindSession(h);
        const bool v3Unit =
            rec && rec->security.version == SnmpSecurity::Version::kV3;
        v3Source = v3Unit || v3Source;
        // A sender that learns this process's engine ID and time is no
        // refusal: it sends its inform again.
        if (!parsed && report && refusal == SNMPAPI_V3_UNKNOWN_ENGINE_ID)
          continue;
        if (!parsed && report && refusal == SNMPAPI_V3_NOT_IN_TIME_WINDOW)
          continue;
        uint32_t refused = parsed   ? TrapRefusal(h, msg)
                           : v3Unit ? refusal
                                    : kTrapNotForSession;
        if (!parsed && v3Unit && refused == SNMPAPI_V3_UNKNOWN_USER &&
            msg.securityName == rec->security.user &&
            msg.engineId != ExpectedEngineId(h))
          refused = SNMPAPI_V3_UNKNOWN_ENGINE_ID;
        if (refused == kTrapNotForSession) continue;
        if (refused != 0) {
          // Dropped: the session hears why, with the id no request has.
          e.code = refused;
          e.lParam = kSnmpTrapRefused;
          events.push_back(std::move(e));
          continue;
        }
        e.isMessage = true;
        e.msg = msg;
        events.push_back(std::move(e));
      }
    }
    // An inform is answered once some unit took it; a report goes to a
    // source of a v3 unit, and to nobody else.
    bool taken = false;
    for (const Event& e : events) taken = taken || e.isMessage;
    if (report ? v3Source : taken && !answer.empty()) {
      if (!forwarded) {
        sendto(fd, answer.data(), answer.size(), MSG_DONTWAIT,
               reinterpret_cast<const struct sockaddr*>(&from), sizeof from);
      } else {
        // The sender expects the answer from the trap port, which is the
        // intake's: it sends it from there.
        const std::vector<uint8_t> packed =
            InformAnswer(from, answer.data(), answer.size());
        struct sockaddr_un to = {};
        to.sun_family = AF_UNIX;
        if (intakeAnswerPath_.size() < sizeof to.sun_path) {
          std::memcpy(to.sun_path, intakeAnswerPath_.c_str(),
                      intakeAnswerPath_.size() + 1);
          sendto(fd, packed.data(), packed.size(), MSG_DONTWAIT,
                 reinterpret_cast<const struct sockaddr*>(&to), sizeof to);
        }
      }
    }
    Deliver(std::move(events));

    // A callback may have closed this socket (the last registration went).
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (onlyFor) {
      Session* s = TransportOf(onlyFor, false);
      bool still = false;
      if (s)
        for (int l : s->listenFds) still = still || l == fd;
      if (!still) return;
    } else if (fd != (forwarded ? intakeFd_ : trapFd_)) {
      return;
    }
  }
}

// Whether |session| takes a trap that passed the library's checks: a v3
// unit takes only v3 traps of its own user, security level and engine ID
// (learned while polling, or set), any other unit v1 and v2c traps.
uint32_t NetSnmpApi::TrapRefusal(HSNMP_SESSION session,
                                 const SnmpSessionRec::InMessage& msg) {
  SnmpSessionRec* rec = FindSession(session);
  if (!rec) return kTrapNotForSession;
  const SnmpSecurity& sec = rec->security;
  const bool v3Unit = sec.version == SnmpSecurity::Version::kV3;
  const bool v3Trap = msg.version == SnmpSecurity::Version::kV3;
  if (msg.inform && sec.version == SnmpSecurity::Version::kV1)
    return kTrapNotForSession;
  if (!v3Unit) return v3Trap ? kTrapNotForSession : 0;
  if (!v3Trap) return kTrapNotForSession;
  if (msg.securityName != sec.user) return SNMPAPI_V3_UNKNOWN_USER;
  if (msg.securityLevel != sec.level) return SNMPAPI_V3_UNSUPPORTED_LEVEL;
  // An inform carries this process's engine ID, which the library checked.
  if (!msg.inform && msg.engineId != ExpectedEngineId(session))
    return SNMPAPI_V3_UNKNOWN_ENGINE_ID;
  return 0;
}

std::vector<uint8_t> NetSnmpApi::ExpectedEngineId(HSNMP_SESSION session) {
  SnmpSessionRec* rec = FindSession(session);
  if (!rec) return {};
  if (!rec->security.trapEngineId.empty()) return rec->security.trapEngineId;
  Session* s = TransportOf(session, false);
  return s ? s->engineId : std::vector<uint8_t>();
}

void NetSnmpApi::Deliver(std::vector<Event> events) {
  for (Event& e : events) {
    // A handler's exception must not unwind through the loop's socket
    // handling; the driver's handlers catch their own.
    try {
      if (e.isMessage) {
        DeliverMessage(e.session, std::move(e.msg));
      } else {
        DeliverNotification(e.session, e.code, e.lParam);
      }
    } catch (...) {
    }
  }
}
