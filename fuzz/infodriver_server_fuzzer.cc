// The infodriver's message handling (src/infodriver/server) driven over its
// real socket by up to four peers that send arbitrary messages: well-formed
// ones of every number with any parameters and texts, malformed ones (short,
// oversized, NUL bytes, empty), handshakes, hang-ups, and answers to the
// requests the infodriver passes on to its driver.
//
// Every step is checked against a small model of the infodriver: which peer
// is the driver, what each slot holds, and exactly which messages each peer
// must receive, in order. A slot touched by anything but a valid write of the
// driver, a peer left without its answer, or an answer that differs from the
// model fails the run.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "infodriver/infodriver_protocol.h"
#include "infodriver/server/infodriver_server.h"
#include "platform/clock.h"
#include "platform/event_loop.h"

// The harness lives beside the shared pieces; the entry points have C
// linkage, so the namespace does not hide them from libFuzzer.
namespace qor_fuzz {

namespace {

constexpr int kPeers = 4;
constexpr int kMaxSteps = 48;

constexpr uint32_t kMessages[] = {
    WVN_DISCOVER,       WVN_ANNOUNCE,       WVN_HELLO,         WVN_READSLOT,
    WVN_WRITESLOT,      WVN_WRITESLOTNEG,   WVN_DEVDISCONNECT, WVN_SLOTCHANGE,
    WVN_REQDEVGORXONLY, WVN_REQDEVGOTXRX,   WVN_INQDEVGOTXRX,  INFO_STATUS,
    INFO_DUMP,          INFO_WATCH,         INFO_RESULT,       WVN_HELLOACK,
    WVN_DISCOVERREPLY,  WVN_INFODISCONNECT, WVN_DEVICEIDINUSE, INFO_SLOTDATA,
    INFO_SLOTWRITTEN,   WVN_TRANSFER,
};

constexpr int64_t kParams[] = {
    0,
    1,
    2,
    -1,
    7,
    0x10007,
    4094,
    4095,
    4096,
    -4095,
    std::numeric_limits<int64_t>::min(),
    std::numeric_limits<int64_t>::max(),
    0xFFFFFFFFLL,
    0x100000000LL + 5,
};

// The scratch directory is the runtime directory of every infodriver here.
const ScratchDirectory& RunDir() {
  static const ScratchDirectory dir("qor_infodriver_fuzz");
  return dir;
}

// What a peer is expected to receive: a message, with the sequence left open
// for requests that the infodriver passes on to its driver (it numbers them
// itself).
struct Expected {
  WireMessage m;
  bool anySequence = false;
  bool anyWParam = false;  // DISCOVERREPLY carries the infodriver's pid
  bool anyLParam = false;  // a deadline the infodriver made or cut
};

// A request passed on to the driver, waiting for its answer.
struct Forward {
  int clientConnection;
  uint32_t clientSequence;
  uint32_t message;
  std::optional<uint32_t> sequence;  // learnt when the driver receives it
};

struct Peer {
  int fd = -1;
  int connection = 0;  // which connection this slot holds now
  bool closedByServer = false;
  std::deque<WireMessage> inbox;
  std::deque<Expected> expected;
  bool discovered = false;
  bool watching = false;
  bool toldInUse = false;
};

class Harness {
 public:
  explicit Harness(int device) : device_(device), slots_(kInfodriverSlotCount) {
    std::string error;
    if (!server_.start(&error)) Fail("infodriver start: " + error);
    for (int p = 0; p < kPeers; ++p) connect(p);
  }

  ~Harness() {
    server_.stop();
    for (Peer& peer : peers_)
      if (peer.fd >= 0) close(peer.fd);
  }

  void Step(FuzzedDataProvider& in) {
    const int p = in.ConsumeIntegralInRange(0, kPeers - 1);
    Peer& peer = peers_[p];
    if (peer.fd < 0 || peer.closedByServer) connect(p);
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0:
      case 1:
      case 2: {
        WireMessage m;
        m.message = in.ConsumeBool() ? in.PickValueInArray(kMessages)
                                     : in.ConsumeIntegral<uint32_t>();
        m.sequence = in.ConsumeBool() ? nextSequence() : 0;
        m.wParam = pickParam(in);
        m.lParam = in.ConsumeBool() ? device_ & 0xFFFF : pickParam(in);
        m.text = pickText(in);
        send(p, Encode(m));
        break;
      }
      case 3: {
        // Any bytes at all; the sequence is the harness's so that an answer
        // can be told from the others.
        std::string bytes = in.ConsumeRandomLengthString(1200);
        if (bytes.size() >= 8) {
          uint32_t sequence = in.ConsumeBool() ? nextSequence() : 0;
          std::memcpy(&bytes[4], &sequence, 4);
        }
        send(p, bytes);
        break;
      }
      case 4:
        send(p, Encode({WVN_DISCOVER, nextSequence(), 0x1234, device_ & 0xFFFF,
                        ""}));
        sync(p);
        send(p, Encode({in.ConsumeBool() ? WVN_ANNOUNCE : WVN_HELLO,
                        nextSequence(), 0x1234, 0, ""}));
        break;
      case 5:
        hangUp(p);
        return;
      case 6:
      case 7: {
        // The driver answers one of the requests passed on to it.
        if (driver() != p || forwards_.empty()) {
          send(p, Encode({INFO_STATUS, nextSequence(), 0, 0, ""}));
          break;
        }
        size_t k = in.ConsumeIntegralInRange<size_t>(0, forwards_.size() - 1);
        if (!forwards_[k].sequence) Fail("forward without a sequence");
        int64_t result =
            in.ConsumeBool() ? in.ConsumeIntegralInRange(-1, 2) : pickParam(in);
        send(p, Encode({INFO_RESULT, *forwards_[k].sequence, result, 0, ""}));
        break;
      }
    }
    sync(p);
  }

  // Every slot as the model says, and the driver where the model has it.
  void CheckSlots() {
    for (int s = 0; s < kInfodriverSlotCount; ++s) {
      if (server_.slots().get(s) != slots_[s])
        Fail("slot " + std::to_string(s) + " holds '" +
             Escaped(server_.slots().get(s)) + "', expected '" +
             Escaped(slots_[s]) + "'");
    }
    if (server_.hasDriver() != (driver() >= 0))
      Fail("infodriver and model disagree on the driver");
  }

 private:
  int64_t pickParam(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0:
        return in.PickValueInArray(kParams);
      case 1:
        return in.ConsumeIntegralInRange<int64_t>(-5, 4100);
      default:
        return in.ConsumeIntegral<int64_t>();
    }
  }

  // Texts around the limits come up often: a slot's 255 bytes, a message's
  // 1024.
  static std::string pickText(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        return in.ConsumeRandomLengthString(40);
      case 1: {
        std::string text(in.ConsumeIntegralInRange<size_t>(250, 260),
                         static_cast<char>(in.ConsumeIntegralInRange(1, 255)));
        text.back() = 'z';
        return text;
      }
      case 2:
        return std::string(in.ConsumeIntegralInRange<size_t>(1020, 1030), 'x');
      default:
        return in.ConsumeRandomLengthString(1100);
    }
  }

  uint32_t nextSequence() { return nextSequence_++; }

  int driver() const {
    for (int p = 0; p < kPeers; ++p)
      if (peers_[p].connection == driverConnection_ && driverConnection_ != 0)
        return p;
    return -1;
  }

  int peerOf(int connection) const {
    for (int p = 0; p < kPeers; ++p)
      if (peers_[p].connection == connection && !peers_[p].closedByServer &&
          peers_[p].fd >= 0)
        return p;
    return -1;
  }

  void connect(int p) {
    Peer& peer = peers_[p];
    if (peer.fd >= 0) close(peer.fd);
    peer = Peer();
    peer.connection = ++lastConnection_;
    peer.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, server_.socketPath().c_str(),
                 sizeof addr.sun_path - 1);
    if (peer.fd < 0 ||
        ::connect(peer.fd, reinterpret_cast<struct sockaddr*>(&addr),
                  sizeof addr) != 0)
      Fail(std::string("connect: ") + std::strerror(errno));
  }

  void hangUp(int p) {
    Peer& peer = peers_[p];
    const bool wasDriver = driver() == p;
    close(peer.fd);
    peer.fd = -1;
    peer.expected.clear();
    peer.inbox.clear();
    if (wasDriver) {
      dropDriver();
      // Nothing else shows when the infodriver has noticed.
      for (int i = 0; i < 10000 && server_.hasDriver(); ++i) pump();
      if (server_.hasDriver()) Fail("the driver's hang-up was not noticed");
    }
    for (int i = 0; i < 3; ++i) pump();
    checkInboxes();
  }

  // Sends |bytes| from peer |p| and works out what the infodriver must do.
  void send(int p, const std::string& bytes) {
    Peer& peer = peers_[p];
    ssize_t n = ::send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(bytes.size())) {
      // Only a peer that the infodriver has already dropped refuses.
      if (!peer.closedByServer && !peerGoneNow(p))
        Fail(std::string("send: ") + std::strerror(errno));
      return;
    }
    WireMessage m;
    if (!Decode(bytes, &m)) {
      // Malformed or empty: nothing it says can be trusted any more.
      peerDropped(p);
      return;
    }
    handle(p, m);
  }

  bool peerGoneNow(int p) {
    pump();
    return peers_[p].closedByServer;
  }

  // The model of the infodriver's handling of |m| from peer |p|.
  void handle(int p, const WireMessage& m) {
    Peer& peer = peers_[p];
    const bool isDriver = driver() == p;
    auto answer = [&](int q, uint32_t message, uint32_t sequence,
                      int64_t result, std::string text = "") {
      if (sequence == 0) return;
      expect(q, {INFO_RESULT, sequence, result, message, std::move(text)});
    };
    switch (m.message) {
      case WVN_DISCOVER:
        if (m.lParam == (device_ & 0xFFFF)) {
          peer.discovered = true;
          Expected reply{{WVN_DISCOVERREPLY, 0, 0, 0, ""}};
          reply.anyWParam = true;
          peer.expected.push_back(reply);
          answer(p, m.message, m.sequence, 1);
        } else {
          answer(p, m.message, m.sequence, 0);
        }
        break;
      case WVN_ANNOUNCE:
      case WVN_HELLO:
        if (isDriver) {
          expect(p, {WVN_HELLOACK, 0, 1, 0, ""});
          answer(p, m.message, m.sequence, 1);
        } else if (!peer.discovered) {
          answer(p, m.message, m.sequence, 0);
        } else if (driver() >= 0) {
          if (!peer.toldInUse)
            expect(p, {WVN_DEVICEIDINUSE, 0, device_, 0, ""});
          peer.toldInUse = true;
          answer(p, m.message, m.sequence, 0);
        } else {
          driverConnection_ = peer.connection;
          expect(p, {WVN_HELLOACK, 0, 1, 0, ""});
          answer(p, m.message, m.sequence, 1);
        }
        break;
      case WVN_READSLOT:
        if (IsSlotInRange(m.wParam))
          answer(p, m.message, m.sequence, 1, slots_[m.wParam]);
        else
          answer(p, m.message, m.sequence, 0);
        break;
      case WVN_WRITESLOT:
      case WVN_WRITESLOTNEG: {
        const bool valid = isDriver && IsSlotInRange(m.wParam);
        if (valid) {
          slots_[m.wParam] = SlotTextOf(m.text);
          for (int q = 0; q < kPeers; ++q) {
            if (peers_[q].watching && peerOf(peers_[q].connection) == q)
              expect(q, {INFO_SLOTWRITTEN, 0, m.wParam, m.message,
                         slots_[m.wParam]});
          }
        }
        answer(p, m.message, m.sequence, valid ? 1 : 0);
        break;
      }
      case WVN_DEVDISCONNECT:
        if (isDriver) dropDriver();
        answer(p, m.message, m.sequence, 0);
        break;
      case WVN_SLOTCHANGE:
        if (!IsSlotInRange(m.wParam)) {
          answer(p, m.message, m.sequence, 0);
          break;
        }
        // A deadline already past is refused before anything else; the
        // infodriver reads the request after this, so its clock is later.
        if (m.lParam != 0 && m.lParam < TheSystemClock().NowMs()) {
          answer(p, m.message, m.sequence, INFO_EXPIRED);
          break;
        }
        forward(p, m, SlotTextOf(m.text));
        break;
      case WVN_REQDEVGORXONLY:
      case WVN_REQDEVGOTXRX:
      case WVN_INQDEVGOTXRX:
        forward(p, m, "");
        break;
      case INFO_STATUS:
        if (m.sequence != 0)
          expect(p,
                 {INFO_RESULT, m.sequence, driver() >= 0 ? 1 : 0, device_, ""});
        break;
      case INFO_DUMP: {
        int64_t count = 0;
        for (int s = 0; s < kInfodriverSlotCount; ++s) {
          if (slots_[s].empty()) continue;
          expect(p, {INFO_SLOTDATA, 0, s, 0, slots_[s]});
          ++count;
        }
        answer(p, m.message, m.sequence, count);
        break;
      }
      case INFO_WATCH:
        peer.watching = true;
        answer(p, m.message, m.sequence, 1);
        break;
      case INFO_RESULT:
        if (isDriver) driverAnswered(m);
        break;
      default:
        answer(p, m.message, m.sequence, 0);
        break;
    }
  }

  void forward(int p, const WireMessage& m, std::string text) {
    const int d = driver();
    if (d < 0) {
      if (m.sequence != 0)
        expect(p, {INFO_RESULT, m.sequence, INFO_NO_DRIVER, m.message, ""});
      return;
    }
    if (d == p) {
      if (m.sequence != 0)
        expect(p, {INFO_RESULT, m.sequence, 0, m.message, ""});
      return;
    }
    Expected passedOn{{m.message, 0, m.wParam, 0, std::move(text)}};
    passedOn.anySequence = true;
    if (m.message == WVN_SLOTCHANGE) {
      // The client's own deadline passes unchanged unless the infodriver
      // fills in a missing one or cuts one too far away.
      const bool own =
          m.lParam != 0 &&
          m.lParam < TheSystemClock().NowMs() + kControlDeadlineMs - 1000;
      passedOn.m.lParam = own ? m.lParam : 0;
      passedOn.anyLParam = !own;
    }
    peers_[d].expected.push_back(passedOn);
    forwards_.push_back({peers_[p].connection, m.sequence, m.message, {}});
  }

  void driverAnswered(const WireMessage& m) {
    for (size_t k = 0; k < forwards_.size(); ++k) {
      if (forwards_[k].sequence != m.sequence) continue;
      const Forward f = forwards_[k];
      forwards_.erase(forwards_.begin() + static_cast<long>(k));
      const int client = peerOf(f.clientConnection);
      if (client >= 0 && f.clientSequence != 0)
        expect(client,
               {INFO_RESULT, f.clientSequence,
                m.wParam == 1 ? 1
                : m.wParam == INFO_EXPIRED && f.message == WVN_SLOTCHANGE
                    ? INFO_EXPIRED
                    : 0,
                f.message, ""});
      return;
    }
  }

  void dropDriver() {
    driverConnection_ = 0;
    for (const Forward& f : forwards_) {
      const int client = peerOf(f.clientConnection);
      if (client >= 0 && f.clientSequence != 0)
        expect(client,
               {INFO_RESULT, f.clientSequence, INFO_NO_DRIVER, f.message, ""});
    }
    forwards_.clear();
  }

  void peerDropped(int p) {
    const bool wasDriver = driver() == p;
    peers_[p].closedByServer = true;
    if (wasDriver) dropDriver();
    // The infodriver closes the connection; wait until the peer sees it.
    for (int i = 0; i < 10000 && !peerEnded_[p]; ++i) pump();
    if (!peerEnded_[p]) Fail("a malformed message did not end its peer");
    peers_[p].expected.clear();
    peers_[p].inbox.clear();
    checkInboxes();
  }

  void expect(int p, const WireMessage& m) {
    peers_[p].expected.push_back({m});
  }

  // Runs the infodriver once and reads what every peer has been sent.
  void pump() {
    loop_.RunOnce(0);
    for (int p = 0; p < kPeers; ++p) {
      Peer& peer = peers_[p];
      peerEnded_[p] = false;
      if (peer.fd < 0) continue;
      for (;;) {
        char buffer[4096];
        ssize_t n = recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
          WireMessage m;
          if (!Decode(std::string(buffer, static_cast<size_t>(n)), &m))
            Fail("the infodriver sent a malformed message");
          peer.inbox.push_back(m);
          continue;
        }
        if (n == 0 ||
            (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          peerEnded_[p] = true;
        }
        break;
      }
    }
  }

  // Waits until the infodriver has handled everything peer |p| sent (its
  // answer to a status request has come back), then compares every peer's
  // messages with the model's.
  void sync(int p) {
    Peer& peer = peers_[p];
    if (peer.closedByServer || peer.fd < 0) return;
    const uint32_t marker = nextSequence();
    const std::string status = Encode({INFO_STATUS, marker, 0, 0, ""});
    ssize_t n = ::send(peer.fd, status.data(), status.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(status.size()))
      Fail("the infodriver dropped a peer that did nothing wrong");
    expect(p, {INFO_RESULT, marker, driver() >= 0 ? 1 : 0, device_, ""});
    for (int i = 0; i < 20000; ++i) {
      pump();
      for (const WireMessage& m : peer.inbox)
        if (m.message == INFO_RESULT && m.sequence == marker) {
          checkInboxes();
          return;
        }
      if (peerEnded_[p]) Fail("the infodriver dropped a well-behaved peer");
    }
    Fail("no answer from the infodriver");
  }

  void checkInboxes() {
    for (int p = 0; p < kPeers; ++p) {
      Peer& peer = peers_[p];
      while (!peer.inbox.empty()) {
        const WireMessage got = peer.inbox.front();
        peer.inbox.pop_front();
        if (peer.expected.empty())
          Fail("peer " + std::to_string(p) + " got an unexpected message " +
               describe(got));
        const Expected want = peer.expected.front();
        peer.expected.pop_front();
        if (got.message != want.m.message ||
            (!want.anySequence && got.sequence != want.m.sequence) ||
            (!want.anyWParam && got.wParam != want.m.wParam) ||
            (!want.anyLParam && got.lParam != want.m.lParam) ||
            got.text != want.m.text)
          Fail("peer " + std::to_string(p) + " got " + describe(got) +
               ", expected " + describe(want.m));
        if (want.anySequence) learnForwardSequence(got);
      }
    }
  }

  void learnForwardSequence(const WireMessage& got) {
    for (Forward& f : forwards_) {
      if (f.sequence) continue;
      if (f.message != got.message) Fail("passed on out of order");
      f.sequence = got.sequence;
      return;
    }
    // The forward may already have been answered as "no driver".
  }

  static std::string describe(const WireMessage& m) {
    return "{" + std::to_string(m.message) + " seq " +
           std::to_string(m.sequence) + " w " + std::to_string(m.wParam) +
           " l " + std::to_string(m.lParam) + " '" + Escaped(m.text) + "'}";
  }

  const int device_;
  EventLoop loop_;
  InfodriverServer server_{device_, &loop_};
  Peer peers_[kPeers];
  bool peerEnded_[kPeers] = {};
  std::vector<std::string> slots_;
  std::deque<Forward> forwards_;
  int driverConnection_ = 0;
  int lastConnection_ = 0;
  uint32_t nextSequence_ = kHarnessFirstSequence;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("ZARN_RUNTIME_DIR", RunDir().path().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input starts on an empty runtime directory, so that nothing an
  // earlier input's infodriver left there (its socket, its lock file) can
  // decide this one's start.
  const std::string dir = RunDir().path() + "/run";
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  setenv("ZARN_RUNTIME_DIR", dir.c_str(), 1);
  FuzzedDataProvider in(data, size);
  Harness harness(in.ConsumeBool() ? 7 : 0x10007);
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step)
    harness.Step(in);
  harness.CheckSlots();
  return 0;
}

}  // namespace qor_fuzz
