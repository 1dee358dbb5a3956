#include "soak/mdu_traffic.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "infodriver/info_socket.h"
#include "infodriver/runtime_dir.h"
#include "mdu/slot_text.h"

namespace mdu_traffic {

namespace {

void PutLength(size_t n, std::string* out) {
  if (n < 0x80) {
    out->push_back(static_cast<char>(n));
  } else if (n < 0x100) {
    out->push_back('\x81');
    out->push_back(static_cast<char>(n));
  } else {
    out->push_back('\x82');
    out->push_back(static_cast<char>(n >> 8));
    out->push_back(static_cast<char>(n & 0xFF));
  }
}

std::string Tlv(uint8_t tag, const std::string& body) {
  std::string out(1, static_cast<char>(tag));
  PutLength(body.size(), &out);
  return out + body;
}

std::string IntegerBody(int64_t v) {
  std::string body;
  // Minimal two's complement, most significant byte first.
  for (int shift = 56; shift > 0; shift -= 8) {
    int64_t top = v >> shift;
    uint8_t next = static_cast<uint8_t>(v >> (shift - 8));
    if ((top == 0 && !(next & 0x80)) || (top == -1 && (next & 0x80))) continue;
    body.push_back(static_cast<char>(top & 0xFF));
  }
  body.push_back(static_cast<char>(v & 0xFF));
  return body;
}

std::string UnsignedBody(uint64_t v) {
  std::string body;
  do {
    body.insert(body.begin(), static_cast<char>(v & 0xFF));
    v >>= 8;
  } while (v != 0);
  if (static_cast<uint8_t>(body[0]) & 0x80) body.insert(body.begin(), '\0');
  return body;
}

std::string OidBody(const std::string& oid) {
  std::vector<uint32_t> arcs;
  const char* p = oid.c_str();
  if (*p == '.') ++p;
  while (*p) {
    arcs.push_back(static_cast<uint32_t>(std::strtoul(p, nullptr, 10)));
    p = std::strchr(p, '.');
    if (!p) break;
    ++p;
  }
  std::string body;
  if (arcs.size() < 2) return std::string(1, '\0');
  auto put = [&](uint32_t arc) {
    char tmp[5];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>(arc & 0x7F);
      arc >>= 7;
    } while (arc != 0);
    while (n > 1) body.push_back(static_cast<char>(tmp[--n] | 0x80));
    body.push_back(tmp[0]);
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  return body;
}

std::string EncodeValue(const Binding& b) {
  switch (b.type) {
    case 0x02:
      return Tlv(0x02, IntegerBody(std::strtoll(b.text.c_str(), nullptr, 10)));
    case 0x04:
      return Tlv(0x04, b.text);
    case 0x06:
      return Tlv(0x06, OidBody(b.text));
    case 0x41:
    case 0x42:
    case 0x43:
      return Tlv(b.type,
                 UnsignedBody(std::strtoull(b.text.c_str(), nullptr, 10)));
    default:
      return Tlv(0x05, "");
  }
}

// A bounded reader of BER elements.
struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool Element(uint8_t* tag, const uint8_t** body, size_t* len) {
    if (end - p < 2) return false;
    *tag = *p++;
    size_t n = *p++;
    if (n & 0x80) {
      int bytes = n & 0x7F;
      if (bytes == 0 || bytes > 3 || end - p < bytes) return false;
      n = 0;
      while (bytes--) n = (n << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < n) return false;
    *body = p;
    *len = n;
    p += n;
    return true;
  }
};

int64_t DecodeInteger(const uint8_t* body, size_t len) {
  if (len == 0 || len > 8) return 0;
  int64_t v = (body[0] & 0x80) ? -1 : 0;
  for (size_t i = 0; i < len; ++i) v = (v << 8) | body[i];
  return v;
}

std::string DecodeOid(const uint8_t* body, size_t len) {
  std::string out;
  uint64_t arc = 0;
  bool first = true;
  for (size_t i = 0; i < len; ++i) {
    arc = (arc << 7) | (body[i] & 0x7F);
    if (body[i] & 0x80) continue;
    if (first) {
      uint64_t a = arc < 80 ? arc / 40 : 2;
      out = std::to_string(a) + "." + std::to_string(arc - a * 40);
      first = false;
    } else {
      out += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return out;
}

}  // namespace

std::string EncodePdu(const Pdu& pdu) {
  std::string list;
  for (const Binding& b : pdu.bindings)
    list += Tlv(0x30, Tlv(0x06, OidBody(b.oid)) + EncodeValue(b));
  std::string body = Tlv(0x02, IntegerBody(pdu.requestId)) +
                     Tlv(0x02, IntegerBody(pdu.errorStatus)) +
                     Tlv(0x02, IntegerBody(0)) + Tlv(0x30, list);
  return Tlv(0x30, Tlv(0x02, IntegerBody(pdu.version)) +
                       Tlv(0x04, pdu.community) + Tlv(pdu.type, body));
}

bool DecodePdu(const uint8_t* data, size_t size, Pdu* pdu) {
  Reader top{data, data + size};
  uint8_t tag;
  const uint8_t* body;
  size_t len;
  if (!top.Element(&tag, &body, &len) || tag != 0x30) return false;
  Reader msg{body, body + len};
  if (!msg.Element(&tag, &body, &len) || tag != 0x02) return false;
  pdu->version = static_cast<int>(DecodeInteger(body, len));
  if (!msg.Element(&tag, &body, &len) || tag != 0x04) return false;
  pdu->community.assign(reinterpret_cast<const char*>(body), len);
  if (!msg.Element(&tag, &body, &len)) return false;
  pdu->type = tag;
  if (tag < 0xA0 || tag > 0xA8 || tag == 0xA4) return false;
  Reader p{body, body + len};
  if (!p.Element(&tag, &body, &len) || tag != 0x02) return false;
  pdu->requestId = static_cast<int32_t>(DecodeInteger(body, len));
  if (!p.Element(&tag, &body, &len) || tag != 0x02) return false;
  pdu->errorStatus = static_cast<int32_t>(DecodeInteger(body, len));
  if (!p.Element(&tag, &body, &len) || tag != 0x02) return false;
  if (!p.Element(&tag, &body, &len) || tag != 0x30) return false;
  Reader list{body, body + len};
  pdu->bindings.clear();
  while (list.p < list.end) {
    if (!list.Element(&tag, &body, &len) || tag != 0x30) return false;
    Reader vb{body, body + len};
    Binding b;
    if (!vb.Element(&tag, &body, &len) || tag != 0x06) return false;
    b.oid = DecodeOid(body, len);
    if (!vb.Element(&tag, &body, &len)) return false;
    b.type = tag;
    if (tag == 0x02) {
      b.text = std::to_string(DecodeInteger(body, len));
    } else if (tag == 0x41 || tag == 0x42 || tag == 0x43) {
      uint64_t v = 0;
      for (size_t i = 0; i < len && i < 9; ++i) v = (v << 8) | body[i];
      b.text = std::to_string(v);
    } else if (tag == 0x06) {
      b.text = DecodeOid(body, len);
    } else {
      b.text.assign(reinterpret_cast<const char*>(body), len);
    }
    pdu->bindings.push_back(std::move(b));
  }
  return true;
}

std::string EncodeTrap(const std::string& community, const std::string& trapOid,
                       const std::vector<Binding>& bindings) {
  static int32_t serial = 1;
  Pdu pdu;
  pdu.version = 1;
  pdu.community = community;
  pdu.type = 0xA7;
  pdu.requestId = serial++;
  pdu.bindings.push_back({"1.3.6.1.2.1.1.3.0", 0x43, "4242"});
  pdu.bindings.push_back({"1.3.6.1.6.3.1.1.4.1.0", 0x06, trapOid});
  pdu.bindings.insert(pdu.bindings.end(), bindings.begin(), bindings.end());
  return EncodePdu(pdu);
}

int BoundUdpSocket(const std::string& fromAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (inet_pton(AF_INET, fromAddress.c_str(), &a.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendUdp(int fd, const std::string& toAddress, int toPort,
             const std::string& bytes) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(toPort));
  if (inet_pton(AF_INET, toAddress.c_str(), &a.sin_addr) != 1) return false;
  return sendto(fd, bytes.data(), bytes.size(), 0,
                reinterpret_cast<sockaddr*>(&a),
                sizeof a) == static_cast<ssize_t>(bytes.size());
}

std::optional<std::map<std::string, Binding>> Walk(const std::string& address,
                                                   const std::string& community,
                                                   const std::string& subtree,
                                                   int timeoutMs) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  std::map<std::string, Binding> values;
  std::string current = subtree;
  int32_t id = 7000;
  for (int step = 0; step < 10000; ++step) {
    Pdu request;
    request.community = community;
    request.type = 0xA1;
    request.requestId = ++id;
    request.bindings.push_back({current, 0x05, ""});
    Pdu reply;
    bool answered = false;
    // A lost datagram is retried; a silent agent ends the walk.
    for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
      if (!SendUdp(fd, address, 161, EncodePdu(request))) break;
      const int64_t until = NowUs() + timeoutMs * 1000LL;
      while (!answered) {
        const int64_t left = (until - NowUs()) / 1000;
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        uint8_t buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0 && DecodePdu(buf, n, &reply) && reply.type == 0xA2 &&
            reply.requestId == request.requestId)
          answered = true;
      }
    }
    if (!answered) {
      close(fd);
      return std::nullopt;
    }
    if (reply.errorStatus != 0 || reply.bindings.size() != 1) break;
    const Binding& b = reply.bindings[0];
    if (b.oid.compare(0, subtree.size() + 1, subtree + ".") != 0) break;
    values[b.oid] = b;
    current = b.oid;
  }
  close(fd);
  return values;
}

InfoClient::~InfoClient() { Close(); }

bool InfoClient::Connect(int device) {
  Close();
  std::string dir, error;
  if (PrepareRuntimeDirectory(false, &dir, &error) != RuntimeDirStatus::kOk)
    return false;
  int reason = 0;
  fd_ = ConnectInfoSocket(InfodriverSocketPath(dir, device), &reason);
  return fd_ >= 0;
}

void InfoClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  pending_.clear();
}

uint32_t InfoClient::Send(uint32_t message, int64_t wParam,
                          const std::string& text) {
  if (fd_ < 0) return 0;
  if (++sequence_ == 0) ++sequence_;
  InfoMessage m{message, sequence_, wParam, 0, text};
  if (!SendInfoMessage(fd_, m, 2000)) {
    Close();
    return 0;
  }
  return sequence_;
}

std::optional<InfoMessage> InfoClient::Request(uint32_t message, int64_t wParam,
                                               const std::string& text,
                                               int timeoutMs) {
  const uint32_t sequence = Send(message, wParam, text);
  if (sequence == 0) return std::nullopt;
  std::optional<InfoMessage> result;
  ReceiveUntil(timeoutMs, [&](InfoMessage& m) {
    if (m.message == INFO_RESULT && m.sequence == sequence) {
      result = std::move(m);
      return true;
    }
    pending_.push_back(std::move(m));
    return false;
  });
  return result;
}

std::optional<InfoMessage> InfoClient::Next(int timeoutMs) {
  if (!pending_.empty()) {
    InfoMessage m = std::move(pending_.front());
    pending_.erase(pending_.begin());
    return m;
  }
  if (fd_ < 0) return std::nullopt;
  InfoMessage m;
  switch (ReceiveInfoMessage(fd_, &m, timeoutMs)) {
    case InfoReceive::kMessage:
      return m;
    case InfoReceive::kClosed:
      Close();
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<std::map<int, std::string>> InfoClient::Dump(int timeoutMs) {
  const uint32_t sequence = Send(INFO_DUMP, 0, "");
  if (sequence == 0) return std::nullopt;
  std::map<int, std::string> slots;
  const bool done = ReceiveUntil(timeoutMs, [&](InfoMessage& m) {
    if (m.message == INFO_SLOTDATA)
      slots[static_cast<int>(m.wParam)] = m.text;
    else if (m.message == INFO_RESULT && m.sequence == sequence)
      return true;
    return false;
  });
  if (!done) return std::nullopt;
  return slots;
}

bool InfoClient::ReceiveUntil(int timeoutMs,
                              const std::function<bool(InfoMessage&)>& take) {
  const int64_t until = NowUs() + timeoutMs * 1000LL;
  for (;;) {
    const int64_t left = (until - NowUs()) / 1000;
    if (left <= 0) return false;
    InfoMessage m;
    switch (ReceiveInfoMessage(fd_, &m, static_cast<int>(left))) {
      case InfoReceive::kMessage:
        if (take(m)) return true;
        break;
      case InfoReceive::kClosed:
        Close();
        return false;
      default:
        break;
    }
  }
}

int64_t NowUs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

std::map<int, std::string> BlockFromWalk(
    const std::map<std::string, Binding>& walk) {
  const std::string e = "1.3.6.1.4.1.6853.";
  auto text = [&](const std::string& oid) -> std::string {
    auto it = walk.find(e + oid);
    return it == walk.end() ? "" : it->second.text;
  };
  auto number = [&](const std::string& oid) {
    return std::atoi(text(oid).c_str());
  };
  std::map<int, std::string> block;
  for (int row = 1; row < 100; ++row) {
    const std::string r = "." + std::to_string(row);
    if (text("2.2.1.2" + r).empty()) continue;
    const int type = number("2.2.1.2" + r);
    const int index = number("2.2.1.3" + r);
    if (type == 2 && index >= 1 && index <= 16) {
      block[index] = text("2.2.1.5" + r);
      block[20 + index] = text("2.2.1.6" + r);
    }
    if (type == 3 && index >= 1 && index <= 12)
      block[60 + index] = text("2.2.1.5" + r);
  }
  for (int row = 1; row < 100; ++row) {
    const std::string r = "." + std::to_string(row);
    if (text("3.4.1.1" + r).empty()) continue;
    const int output = number("3.4.1.1" + r);
    if (output < 1 || output > 12) continue;
    block[40 + output] = text("3.4.1.2" + r);
    block[80 + output] = std::to_string(number("3.4.1.3" + r) * 10);
  }
  block[78] = text("3.2.0");
  block[79] = std::to_string(number("3.3.0") * 10);
  block[94] = number("2.5.0") >= number("2.6.0") ? "2" : "1";
  block[95] = text("2.5.0");
  block[96] = text("2.6.0");
  block[97] = CleanSlotText(text("3.5.0"));
  block[98] = CleanSlotText(text("2.4.0"));
  block[99] = "0";
  for (auto it = block.begin(); it != block.end();)
    it = it->second.empty() ? block.erase(it) : std::next(it);
  return block;
}

}  // namespace mdu_traffic
