// Inbound SNMP through the real layer: datagrams sent over loopback UDP to
// the process's trap receiver and, as replies, to the sessions' own sockets,
// all served by an event loop as in the driver. Three recording sessions
// take part, two for the unit at 127.0.1.131 and one for 127.0.1.132, and an
// MDU model (engine and model on the same layer) for the unit at
// 127.0.1.133, which walks its unit and takes its traps; datagrams come from
// those units' addresses or from a stranger at 127.0.1.139.
//
// The input builds each datagram: SNMPv1 and v2c traps and v1 responses with
// any request ids, error fields and bindings of every type (encoded here,
// independently of net-snmp), sent as they are, with a few bytes changed, or
// as raw bytes. A well-formed datagram must reach exactly the sessions it is
// for, with the fields and binding texts it carries (an SNMPv1 trap in its
// v2 form); any datagram must reach no other session; and once the sessions
// are closed the layer must hold no handle or descriptor.

#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "mdu/cqor_mdl.h"
#include "platform/debug_output.h"
#include "platform/event_loop.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/net_snmp_api.h"
#include "snmp/snmp_values.h"

using qor_fuzz::Escaped;
using qor_fuzz::Fail;

namespace {

using Ids = std::vector<uint32_t>;

// ---------------------------------------------------------------------------
// BER, as an agent writes it.

std::string Length(size_t n) {
  if (n < 0x80) return std::string(1, static_cast<char>(n));
  if (n <= 0xFF) return std::string{'\x81', static_cast<char>(n)};
  return std::string{'\x82', static_cast<char>(n >> 8), static_cast<char>(n)};
}

std::string Tlv(uint8_t tag, const std::string& body) {
  return std::string(1, static_cast<char>(tag)) + Length(body.size()) + body;
}

std::string SignedBody(int64_t v) {
  std::string bytes;
  for (int i = 7; i >= 0; --i) bytes += static_cast<char>(v >> (8 * i));
  // Shortest two's complement form.
  while (bytes.size() > 1 && ((bytes[0] == 0 && !(bytes[1] & 0x80)) ||
                              (bytes[0] == '\xFF' && (bytes[1] & 0x80))))
    bytes.erase(0, 1);
  return bytes;
}

std::string UnsignedBody(uint64_t v) {
  std::string bytes;
  for (int i = 7; i >= 0; --i) bytes += static_cast<char>(v >> (8 * i));
  while (bytes.size() > 1 && bytes[0] == 0 && !(bytes[1] & 0x80))
    bytes.erase(0, 1);
  if (bytes[0] & 0x80) bytes.insert(0, 1, '\0');
  return bytes;
}

std::string OidBody(const Ids& ids) {
  std::string body;
  body += static_cast<char>(ids[0] * 40 + ids[1]);
  for (size_t i = 2; i < ids.size(); ++i) {
    uint32_t v = ids[i];
    std::string piece(1, static_cast<char>(v & 0x7F));
    for (v >>= 7; v != 0; v >>= 7)
      piece.insert(0, 1, static_cast<char>(0x80 | (v & 0x7F)));
    body += piece;
  }
  return body;
}

// ---------------------------------------------------------------------------
// What the sessions see.

struct Binding {
  Ids name;
  smiVALUE value;  // points into |octets| / |oidValue|
  std::vector<uint8_t> octets;
  Ids oidValue;
};

std::string OidText(const Ids& ids) {
  smiOID oid;
  oid.len = static_cast<uint32_t>(ids.size());
  oid.ptr = const_cast<uint32_t*>(ids.data());
  char text[256];
  formatOid(&oid, sizeof text, text);
  return text;
}

std::string ValueText(const Binding& b) {
  smiVALUE v = b.value;
  if (v.syntax == SNMP_SYNTAX_OID) {
    v.value.oid.len = static_cast<uint32_t>(b.oidValue.size());
    v.value.oid.ptr = const_cast<uint32_t*>(b.oidValue.data());
  } else if (v.syntax == SNMP_SYNTAX_OCTETS || v.syntax == SNMP_SYNTAX_OPAQUE ||
             v.syntax == SNMP_SYNTAX_IPADDR ||
             v.syntax == SNMP_SYNTAX_NSAPADDR) {
    v.value.string.len = static_cast<uint32_t>(b.octets.size());
    v.value.string.ptr = const_cast<uint8_t*>(b.octets.data());
  }
  char text[256];
  formatValue(&v, sizeof text, text);
  return text;
}

struct Event {
  bool error = false;
  uint32_t code = 0;
  int32_t type = 0, requestId = 0, errorStatus = 0, errorIndex = 0;
  std::vector<std::pair<std::string, std::string>> bindings;
  bool operator==(const Event&) const = default;
};

std::string Describe(const Event& e) {
  if (e.error) return "error " + std::to_string(e.code);
  std::string s = "type " + std::to_string(e.type) + " id " +
                  std::to_string(e.requestId) + " status " +
                  std::to_string(e.errorStatus) + "/" +
                  std::to_string(e.errorIndex) + " [";
  for (const auto& [oid, value] : e.bindings)
    s += oid + "='" + Escaped(value) + "' ";
  return s + "]";
}

// A session that records every notification with the texts the driver
// reads from it.
class Probe final : public CsnmpZarn {
 public:
  std::vector<Event> events;
  bool opened = false;

  int Send(int32_t requestId) {
    return sendRequest(SNMP_PDU_GETNEXT, "1.3.6.1.4.1.6853", nullptr, 0,
                       requestId);
  }

 protected:
  HSNMP_VBL SNMPTrap(HSNMP_PDU pdu) override { return Record(pdu); }
  HSNMP_VBL SNMPReply(HSNMP_PDU pdu) override { return Record(pdu); }
  void SNMPError(uint32_t code, uint32_t requestId) override {
    Event e;
    e.error = true;
    e.code = code;
    e.requestId = static_cast<int32_t>(requestId);
    events.push_back(e);
  }

 private:
  HSNMP_VBL Record(HSNMP_PDU pdu) {
    Event e;
    HSNMP_VBL vbl = nullptr;
    if (TheSnmpApi().GetPduData(pdu, &e.type, &e.requestId, &e.errorStatus,
                                &e.errorIndex, &vbl) != SNMPAPI_SUCCESS)
      Fail("GetPduData failed on a delivered PDU");
    const uint32_t count = TheSnmpApi().CountVbl(vbl);
    for (uint32_t i = 1; i <= count; ++i) {
      char value[256] = "";
      char oid[256] = "";
      if (GetValue(vbl, i, sizeof value, value) != 0 ||
          getOid(vbl, i, sizeof oid, oid) != 0)
        Fail("a binding within the count cannot be read");
      e.bindings.emplace_back(oid, value);
    }
    char spare[8] = "x";
    if (GetValue(vbl, count + 1, sizeof spare, spare) != 1 ||
        std::strcmp(spare, "x") != 0)
      Fail("a binding beyond the count was read");
    events.push_back(e);
    return vbl;
  }
};

// ---------------------------------------------------------------------------

constexpr const char* kUnitA = "127.0.1.131";
constexpr const char* kUnitB = "127.0.1.132";
constexpr const char* kUnitC = "127.0.1.133";  // the MDU model's unit
constexpr const char* kStranger = "127.0.1.139";
constexpr int kProbes = 3;  // two for unit A, one for unit B
// Datagram sources: the units A, B and C, the stranger, and unit A's
// address from another port (a trap still counts as unit A's; a reply does
// not).
constexpr int kSources = 5;
constexpr int kFromC = 2;
constexpr int kFromStranger = 3;
constexpr int kFromAOtherPort = 4;
constexpr int kMaxDatagrams = 12;

int BoundUdp(const char* address, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, address, &addr.sin_addr);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0)
    Fail(std::string("cannot bind ") + address + ": " + std::strerror(errno));
  *port = ntohs(addr.sin_port);
  return fd;
}

struct World {
  EventLoop loop;
  std::unique_ptr<NetSnmpApi> api;
  int agent[kSources] = {-1, -1, -1, -1, -1};
  uint16_t agentPort[kSources] = {0, 0, 0, 0, 0};
  uint16_t trapPort = 0;
};

World& TheWorld() {
  static World* world = [] {
    auto* w = new World;
    const char* addresses[kSources] = {kUnitA, kUnitB, kUnitC, kStranger,
                                       kUnitA};
    for (int i = 0; i < kSources; ++i)
      w->agent[i] = BoundUdp(addresses[i], &w->agentPort[i]);
    // A free port for the trap receiver, for this process only.
    int probe = BoundUdp("127.0.0.1", &w->trapPort);
    close(probe);
    setenv("ZARN_SNMP_TRAP_PORT", std::to_string(w->trapPort).c_str(), 1);
    // Requests left unanswered must not time out while an input runs.
    w->api = std::make_unique<NetSnmpApi>(w->loop, 600000);
    SetSnmpApi(w->api.get());
    return w;
  }();
  return *world;
}

// The request id of a request the layer sent (SNMPv1: version, community,
// then the PDU, whose first field is the id).
bool ReadRequestId(const std::string& d, int32_t* id) {
  size_t at = 0;
  auto header = [&](uint8_t* tag, size_t* length) {
    if (at + 2 > d.size()) return false;
    *tag = static_cast<uint8_t>(d[at++]);
    size_t n = static_cast<uint8_t>(d[at++]);
    if (n & 0x80) {
      const size_t bytes = n & 0x7F;
      if (bytes == 0 || bytes > 2 || at + bytes > d.size()) return false;
      n = 0;
      for (size_t i = 0; i < bytes; ++i)
        n = (n << 8) | static_cast<uint8_t>(d[at++]);
    }
    *length = n;
    return at + n <= d.size();
  };
  uint8_t tag;
  size_t length;
  if (!header(&tag, &length) || tag != 0x30) return false;
  if (!header(&tag, &length) || tag != 0x02) return false;
  at += length;
  if (!header(&tag, &length) || tag != 0x04) return false;
  at += length;
  if (!header(&tag, &length) || (tag & 0xE0) != 0xA0) return false;
  if (!header(&tag, &length) || tag != 0x02 || length == 0 || length > 4)
    return false;
  int32_t v = static_cast<int8_t>(d[at]);
  for (size_t i = 1; i < length; ++i)
    v = static_cast<int32_t>(static_cast<uint32_t>(v) << 8 |
                             static_cast<uint8_t>(d[at + i]));
  *id = v;
  return true;
}

class Harness {
 public:
  explicit Harness(World& world) : w_(world) {
    for (int i = 0; i < kProbes; ++i) {
      const int unit = i < 2 ? 0 : 1;
      address_[i] = std::string(i < 2 ? kUnitA : kUnitB) + ":" +
                    std::to_string(w_.agentPort[unit]);
      probes_[i] = std::make_unique<Probe>();
      if (probes_[i]->init_snmp(address_[i].c_str(), community_, 161,
                                "127.0.0.1", 0) != 0)
        Fail("init_snmp failed for " + address_[i]);
    }
    if (w_.api->trapPort() != w_.trapPort) Fail("no trap receiver");
    // The model's unit: its first GetNext goes out now.
    unit_ = std::make_unique<Cqor_mdl>(200, 3);
    unit_->setAddress(
        (std::string(kUnitC) + ":" + std::to_string(w_.agentPort[kFromC]))
            .c_str());
    unit_->setCommunity(community_);
    unit_->infBuffer = &buffer_;
    unit_->infodriverLink = &TheInfodriverLink();
    if (unit_->initMdu() != 0) Fail("initMdu failed");
  }

  ~Harness() {
    unit_.reset();
    while (eiData* data = buffer_.getData()) delete data;
    for (auto& p : probes_) {
      p->closeSnmp();
      p.reset();
    }
    pump();
    const SnmpApiCore::Counts live = w_.api->LiveCounts();
    if (live.sessions != 0 || live.handles() != 0 || live.descriptors != 0)
      Fail("the layer holds " + std::to_string(live.sessions) + " sessions, " +
           std::to_string(live.handles()) + " handles, " +
           std::to_string(live.descriptors) + " descriptors after closing");
  }

  void Datagram(FuzzedDataProvider& in) {
    if (in.ConsumeProbability<float>() < 0.25f) {
      unitReply(in);
      return;
    }
    const bool trap = in.ConsumeBool();
    const int mode = in.ConsumeIntegralInRange(0, 9);  // 0-6 as built
    std::string bytes;
    std::vector<Event> want;  // for an untouched built datagram
    bool predicted = false;
    int from = 0;
    int asker = -1;
    int32_t requestId = 0;

    if (trap) {
      from = in.ConsumeIntegralInRange(0, kSources - 1);
      if (mode < 9)
        bytes = buildTrap(in, &want, &predicted);
      else
        bytes = in.ConsumeRandomLengthString(1500);
    } else {
      // A session asks its unit; the reply comes from the unit's address,
      // or from somewhere else.
      asker = in.ConsumeIntegralInRange(0, kProbes - 1);
      const int unit = asker < 2 ? 0 : 1;
      requestId = nextRequestId_++;
      if (probes_[asker]->Send(requestId) != 0) Fail("sendRequest failed");
      struct sockaddr_in session = {};
      if (!receiveRequest(unit, &session)) Fail("the request did not arrive");
      from = in.ConsumeProbability<float>() < 0.85f
                 ? unit
                 : in.ConsumeIntegralInRange(0, kSources - 1);
      if (mode < 9) {
        const bool rightId = in.ConsumeProbability<float>() < 0.9f;
        bytes = buildResponse(in, rightId ? requestId : requestId + 0x1000,
                              &want, &predicted);
        predicted = predicted && rightId;
      } else {
        bytes = in.ConsumeRandomLengthString(1500);
      }
      if (from != unit) {
        // Only the unit itself may answer.
        predicted = true;
        want.clear();
      }
      sessionAddress_ = session;
    }
    if (mode >= 7 && mode < 9 && !bytes.empty()) {
      // A few bytes changed: the parser sees almost what an agent sends.
      for (int k = in.ConsumeIntegralInRange(1, 4); k > 0; --k) {
        size_t at = in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1);
        bytes[at] = static_cast<char>(in.ConsumeIntegral<uint8_t>());
      }
      predicted = trap ? from == kFromC || from == kFromStranger
                       : from != (asker < 2 ? 0 : 1);
      if (predicted) want.clear();
    }

    for (auto& p : probes_) p->events.clear();
    const uint32_t unitTraps = unit_->trapCount;
    sendFrom(from, bytes, trap);
    pump();

    // The model's unit takes the traps of its own address, and only those.
    const uint32_t taken = unit_->trapCount - unitTraps;
    if (taken > 1 || (taken == 1 && !(trap && from == kFromC)))
      Fail("the unit took " + std::to_string(taken) + " traps from source " +
           std::to_string(from));
    if (trap && from == kFromC && mode < 7 && !want.empty() && taken != 1)
      Fail("the unit missed a trap from its address");

    // Who may receive it: for a trap, the sessions registered for its
    // source; for a reply, the session that asked.
    for (int i = 0; i < kProbes; ++i) {
      bool mayReceive;
      if (trap)
        mayReceive = ((from == 0 || from == kFromAOtherPort) && i < 2) ||
                     (from == 1 && i == 2);
      else
        mayReceive = i == asker;
      const std::vector<Event>& got = probes_[i]->events;
      if (!mayReceive && !got.empty())
        Fail("session " + std::to_string(i) + " got " + Describe(got[0]) +
             " from " + std::to_string(from) + (trap ? " (trap)" : " (reply)"));
      if (got.size() > 1)
        Fail("one datagram made " + std::to_string(got.size()) + " events");
      if (predicted) {
        const std::vector<Event> expected =
            mayReceive ? want : std::vector<Event>();
        if (got != expected)
          Fail("session " + std::to_string(i) + " got " +
               (got.empty() ? "nothing" : Describe(got[0])) + ", expected " +
               (expected.empty() ? "nothing" : Describe(expected[0])));
      }
      if (!trap && i == asker && !got.empty() &&
          (got[0].error || got[0].requestId != requestId))
        Fail("a reply with another request id was delivered");
    }
  }

 private:
  // Bindings of any type the translation keeps; v2-only types when |v2|.
  Binding pickBinding(FuzzedDataProvider& in, bool v2) {
    Binding b;
    b.name = pickOid(in);
    static constexpr uint32_t kV1[] = {
        SNMP_SYNTAX_INT,     SNMP_SYNTAX_OCTETS,    SNMP_SYNTAX_NULL,
        SNMP_SYNTAX_OID,     SNMP_SYNTAX_IPADDR,    SNMP_SYNTAX_CNTR32,
        SNMP_SYNTAX_GAUGE32, SNMP_SYNTAX_TIMETICKS, SNMP_SYNTAX_OPAQUE};
    static constexpr uint32_t kV2[] = {
        SNMP_SYNTAX_CNTR64, SNMP_SYNTAX_UINT32, SNMP_SYNTAX_NOSUCHOBJECT,
        SNMP_SYNTAX_NOSUCHINSTANCE, SNMP_SYNTAX_ENDOFMIBVIEW};
    b.value.syntax = v2 && in.ConsumeProbability<float>() < 0.3f
                         ? in.PickValueInArray(kV2)
                         : in.PickValueInArray(kV1);
    switch (b.value.syntax) {
      case SNMP_SYNTAX_INT:
        b.value.value.sNumber = in.ConsumeIntegral<int32_t>();
        break;
      case SNMP_SYNTAX_CNTR32:
      case SNMP_SYNTAX_GAUGE32:
      case SNMP_SYNTAX_TIMETICKS:
      case SNMP_SYNTAX_UINT32:
        b.value.value.uNumber = in.ConsumeIntegral<uint32_t>();
        break;
      case SNMP_SYNTAX_CNTR64: {
        uint64_t v = in.ConsumeIntegral<uint64_t>();
        b.value.value.hNumber.hipart = static_cast<uint32_t>(v >> 32);
        b.value.value.hNumber.lopart = static_cast<uint32_t>(v);
        break;
      }
      case SNMP_SYNTAX_OCTETS:
        b.octets = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 400));
        break;
      case SNMP_SYNTAX_OPAQUE:
        b.octets = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 40));
        // Opaque content that starts like a wrapped float or counter is
        // unwrapped by the parser into types of its own.
        if (!b.octets.empty() && b.octets[0] == 0x9F) b.octets[0] = 0x9E;
        break;
      case SNMP_SYNTAX_IPADDR:
        b.octets = in.ConsumeBytes<uint8_t>(4);
        b.octets.resize(4);
        break;
      case SNMP_SYNTAX_OID:
        b.oidValue = pickOid(in);
        break;
      default:
        break;
    }
    return b;
  }

  // The model's unit answers its walk: the latest GetNext it sent gets a
  // response with the same id and bindings of the input's choosing.
  void unitReply(FuzzedDataProvider& in) {
    std::string request;
    struct sockaddr_in session = {};
    for (;;) {
      char buffer[2048];
      struct sockaddr_in from = {};
      socklen_t len = sizeof from;
      ssize_t n =
          recvfrom(w_.agent[kFromC], buffer, sizeof buffer, MSG_DONTWAIT,
                   reinterpret_cast<struct sockaddr*>(&from), &len);
      if (n <= 0) break;
      request.assign(buffer, static_cast<size_t>(n));
      session = from;
    }
    int32_t id = 0;
    if (request.empty() || !ReadRequestId(request, &id)) return;
    std::vector<Binding> bindings;
    const int count = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) bindings.push_back(pickBinding(in, false));
    Event ignored;
    const std::string list = EncodeBindings(bindings, &ignored);
    const int32_t errorStatus =
        in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange(0, 20);
    std::string bytes = Message(
        0, community_,
        Tlv(0xA2,
            Tlv(0x02, SignedBody(id)) + Tlv(0x02, SignedBody(errorStatus)) +
                Tlv(0x02, SignedBody(in.ConsumeIntegralInRange(0, 3))) + list));
    if (in.ConsumeProbability<float>() < 0.1f) {
      size_t at = in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1);
      bytes[at] = static_cast<char>(in.ConsumeIntegral<uint8_t>());
    }
    // To the socket the request came from: the unit's session.
    sendto(w_.agent[kFromC], bytes.data(), bytes.size(), 0,
           reinterpret_cast<struct sockaddr*>(&session), sizeof session);
    pump();
  }

  Ids pickOid(FuzzedDataProvider& in) {
    Ids ids;
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
        ids = {1, 3, 6, 1, 4, 1, 6853};
        break;
      case 1:
        ids = {1, 3, 6, 1, 2, 1, 1};
        break;
      case 2: {
        // The unit's objects and traps.
        static const Ids kKnown[] = {
            {1, 3, 6, 1, 4, 1, 6853, 2, 2, 1},
            {1, 3, 6, 1, 4, 1, 6853, 3, 4, 1},
            {1, 3, 6, 1, 4, 1, 6853, 2, 4, 0},
            {1, 3, 6, 1, 4, 1, 6853, 2, 5, 0},
            {1, 3, 6, 1, 4, 1, 6853, 2, 6, 0},
            {1, 3, 6, 1, 4, 1, 6853, 3, 1},
            {1, 3, 6, 1, 4, 1, 6853, 3, 3, 0},
            {1, 3, 6, 1, 4, 1, 6853, 3, 5, 0},
            {1, 3, 6, 1, 4, 1, 6853, 0},
            {1, 3, 6, 1, 6, 3, 1, 1, 5},
            {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0},
        };
        ids = in.PickValueInArray(kKnown);
        break;
      }
      default:
        ids = {in.ConsumeIntegralInRange<uint32_t>(0, 2),
               in.ConsumeIntegralInRange<uint32_t>(0, 39)};
        break;
    }
    const size_t more = in.ConsumeProbability<float>() < 0.05f
                            ? in.ConsumeIntegralInRange<size_t>(0, 120)
                            : in.ConsumeIntegralInRange<size_t>(0, 8);
    for (size_t i = 0; i < more && ids.size() < 128; ++i)
      ids.push_back(in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 200)
                                     : in.ConsumeIntegral<uint32_t>());
    return ids;
  }

  static std::string EncodeValue(const Binding& b) {
    const smiVALUE& v = b.value;
    const uint8_t tag = static_cast<uint8_t>(v.syntax);
    switch (v.syntax) {
      case SNMP_SYNTAX_INT:
        return Tlv(tag, SignedBody(v.value.sNumber));
      case SNMP_SYNTAX_CNTR32:
      case SNMP_SYNTAX_GAUGE32:
      case SNMP_SYNTAX_TIMETICKS:
      case SNMP_SYNTAX_UINT32:
        return Tlv(tag, UnsignedBody(v.value.uNumber));
      case SNMP_SYNTAX_CNTR64:
        return Tlv(
            tag,
            UnsignedBody((static_cast<uint64_t>(v.value.hNumber.hipart) << 32) |
                         v.value.hNumber.lopart));
      case SNMP_SYNTAX_OID:
        return Tlv(tag, OidBody(b.oidValue));
      case SNMP_SYNTAX_OCTETS:
      case SNMP_SYNTAX_OPAQUE:
      case SNMP_SYNTAX_IPADDR:
        return Tlv(tag, std::string(b.octets.begin(), b.octets.end()));
      default:  // NULL and the exceptions carry nothing
        return Tlv(tag, "");
    }
  }

  std::string EncodeBindings(const std::vector<Binding>& bindings, Event* e) {
    std::string list;
    for (const Binding& b : bindings) {
      list += Tlv(0x30, Tlv(0x06, OidBody(b.name)) + EncodeValue(b));
      e->bindings.emplace_back(OidText(b.name), ValueText(b));
    }
    return Tlv(0x30, list);
  }

  std::string Message(int version, const std::string& community,
                      const std::string& pdu) {
    return Tlv(0x30,
               Tlv(0x02, SignedBody(version)) + Tlv(0x04, community) + pdu);
  }

  std::string pickCommunity(FuzzedDataProvider& in) {
    return in.ConsumeProbability<float>() < 0.9f
               ? std::string(community_)
               : in.ConsumeRandomLengthString(40);
  }

  std::string buildTrap(FuzzedDataProvider& in, std::vector<Event>* want,
                        bool* predicted) {
    Event e;
    std::vector<Binding> bindings;
    const bool v1 = in.ConsumeBool();
    const int count = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < count; ++i) bindings.push_back(pickBinding(in, !v1));
    const std::string community = pickCommunity(in);
    *predicted = true;
    if (v1) {
      const Ids enterprise = pickOid(in);
      const int32_t generic = in.ConsumeProbability<float>() < 0.9f
                                  ? in.ConsumeIntegralInRange(0, 6)
                                  : in.ConsumeIntegral<int32_t>();
      const int32_t specific = in.ConsumeProbability<float>() < 0.9f
                                   ? in.ConsumeIntegralInRange(0, 100)
                                   : in.ConsumeIntegral<int32_t>();
      const uint32_t time = in.ConsumeIntegral<uint32_t>();
      std::string agentAddress = in.ConsumeBytesAsString(4);
      agentAddress.resize(4);
      // The v2 form: sysUpTime.0, snmpTrapOID.0, then the trap's bindings.
      e.type = SNMP_PDU_V1TRAP;
      Binding upTime;
      upTime.name = {1, 3, 6, 1, 2, 1, 1, 3, 0};
      upTime.value.syntax = SNMP_SYNTAX_TIMETICKS;
      upTime.value.value.uNumber = time;
      Binding trapOid;
      trapOid.name = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
      trapOid.value.syntax = SNMP_SYNTAX_OID;
      bool delivered = true;
      if (generic >= 0 && generic <= 5) {
        trapOid.oidValue = {1, 3, 6, 1, 6,
                            3, 1, 1, 5, static_cast<uint32_t>(generic + 1)};
      } else if (generic == 6 && specific >= 0 &&
                 enterprise.size() + 2 <= 128) {
        trapOid.oidValue = enterprise;
        trapOid.oidValue.push_back(0);
        trapOid.oidValue.push_back(static_cast<uint32_t>(specific));
      } else {
        delivered = false;
      }
      Event ignored;
      const std::string list = EncodeBindings(bindings, &ignored);
      e.bindings.emplace_back(OidText(upTime.name), ValueText(upTime));
      e.bindings.emplace_back(OidText(trapOid.name), ValueText(trapOid));
      for (auto& b : ignored.bindings) e.bindings.push_back(b);
      if (delivered) want->push_back(e);
      return Message(
          0, community,
          Tlv(0xA4, Tlv(0x06, OidBody(enterprise)) + Tlv(0x40, agentAddress) +
                        Tlv(0x02, SignedBody(generic)) +
                        Tlv(0x02, SignedBody(specific)) +
                        Tlv(0x43, UnsignedBody(time)) + list));
    }
    e.type = SNMP_PDU_TRAP;
    e.requestId = in.ConsumeIntegral<int32_t>();
    e.errorStatus = in.ConsumeIntegralInRange(0, 20);
    e.errorIndex = in.ConsumeIntegralInRange(0, 20);
    const std::string list = EncodeBindings(bindings, &e);
    want->push_back(e);
    return Message(1, community,
                   Tlv(0xA7, Tlv(0x02, SignedBody(e.requestId)) +
                                 Tlv(0x02, SignedBody(e.errorStatus)) +
                                 Tlv(0x02, SignedBody(e.errorIndex)) + list));
  }

  std::string buildResponse(FuzzedDataProvider& in, int32_t requestId,
                            std::vector<Event>* want, bool* predicted) {
    Event e;
    e.type = SNMP_PDU_RESPONSE;
    e.requestId = requestId;
    e.errorStatus = in.ConsumeIntegralInRange(0, 20);
    e.errorIndex = in.ConsumeIntegralInRange(0, 20);
    std::vector<Binding> bindings;
    const int count = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < count; ++i) bindings.push_back(pickBinding(in, false));
    const std::string list = EncodeBindings(bindings, &e);
    *predicted = true;
    want->push_back(e);
    return Message(0, community_,
                   Tlv(0xA2, Tlv(0x02, SignedBody(requestId)) +
                                 Tlv(0x02, SignedBody(e.errorStatus)) +
                                 Tlv(0x02, SignedBody(e.errorIndex)) + list));
  }

  bool receiveRequest(int unit, struct sockaddr_in* from) {
    for (int i = 0; i < 200; ++i) {
      struct pollfd p = {w_.agent[unit], POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        char buffer[2048];
        socklen_t len = sizeof *from;
        ssize_t n = recvfrom(w_.agent[unit], buffer, sizeof buffer, 0,
                             reinterpret_cast<struct sockaddr*>(from), &len);
        return n > 0;
      }
      w_.loop.RunOnce(0);
    }
    return false;
  }

  void sendFrom(int agent, const std::string& bytes, bool trap) {
    struct sockaddr_in to = {};
    if (trap) {
      to.sin_family = AF_INET;
      to.sin_port = htons(w_.trapPort);
      inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    } else {
      to = sessionAddress_;
    }
    if (sendto(w_.agent[agent], bytes.data(), bytes.size(), 0,
               reinterpret_cast<struct sockaddr*>(&to), sizeof to) < 0)
      Fail(std::string("sendto: ") + std::strerror(errno));
  }

  void pump() {
    for (int i = 0; i < 4; ++i) w_.loop.RunOnce(0);
  }

  World& w_;
  const char* community_ = "public";
  std::string address_[kProbes];
  std::unique_ptr<Probe> probes_[kProbes];
  inf_buffer buffer_;
  std::unique_ptr<Cqor_mdl> unit_;
  struct sockaddr_in sessionAddress_ = {};
  int32_t nextRequestId_ = 0x10001;
};

const qor_fuzz::ScratchDirectory& Scratch() {
  static const qor_fuzz::ScratchDirectory dir("qor_snmp_fuzz");
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetDebugOutputSink([](const char*) {});
  debugMode = 1;
  logMode = 0;
  TheLogFile().initWithDirectory(3, "qor_mdu", true, true,
                                 Scratch().path() + "/logs");
  TheWorld();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Harness harness(TheWorld());
  for (int i = 0; i < kMaxDatagrams && in.remaining_bytes() > 0; ++i)
    harness.Datagram(in);
  return 0;
}
