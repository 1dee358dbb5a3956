// The driver's end of the infodriver link: the process's link (the real
// socket transport, its message decoding and event handling) with the
// application's notify callback and slot-change routing, fed by an
// infodriver played by this harness. The input chooses:
//   - messages sent during the handshake (handled while connect waits),
//   - the slot table the infodriver hands over after the handshake (any
//     slots, texts and count, so that the link keeps its own copy of the
//     slots or, when the hand-over does not add up, asks for every read),
//   - events of every number with any parameters and texts, well-formed or
//     not (short, oversized, NUL bytes, empty),
//   - slot reads and writes of the driver, with events arriving while a read
//     waits for its answer.
// Each step is checked against a model of the link and the routing: what the
// link must send back (answers and slot writes, in order), which unit gets
// which slot-change request, the counters, the debug list lines, and the
// end of the process on the infodriver's disconnect.

#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "infodriver/extinfo.h"
#include "infodriver/infodriver_protocol.h"
#include "infodriver/infodriver_routing.h"
#include "infodriver/socket_transport.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/event_loop.h"

// The harness lives beside the shared pieces; the entry points have C
// linkage, so the namespace does not hide them from libFuzzer.
namespace qor_fuzz {

namespace {

constexpr int kMaxSteps = 40;

constexpr uint32_t kEvents[] = {
    WVN_SLOTCHANGE,   WVN_SLOTCHANGE,    WVN_SLOTCHANGE,    WVN_REQDEVGORXONLY,
    WVN_REQDEVGOTXRX, WVN_INQDEVGOTXRX,  WVN_DEVICEIDINUSE, WVN_INFODISCONNECT,
    WVN_HELLOACK,     WVN_DISCOVERREPLY, WVN_TRANSFER,      INFO_RESULT,
    WVN_WRITESLOT,    WVN_READSLOT,      WVN_DEVDISCONNECT, INFO_SLOTDATA,
};

constexpr int64_t kSlots[] = {
    0,
    1,
    41,
    99,
    100,
    141,
    3999,
    4000,
    4093,
    4094,
    4095,
    4096,
    -1,
    -12,
    -4094,
    INT_MAX,
    INT_MIN,
    static_cast<int64_t>(INT_MAX) + 1,
    static_cast<int64_t>(INT_MIN) - 1,
    std::numeric_limits<int64_t>::min(),
    std::numeric_limits<int64_t>::max(),
};

const ScratchDirectory& RunDir() {
  static const ScratchDirectory dir("qor_link_fuzz");
  return dir;
}

struct UnitCall {
  int index;
  int relativeSlot;
  std::string text;
  bool operator==(const UnitCall&) const = default;
};

// What the routing hooks and the debug list saw.
struct Observed {
  std::vector<UnitCall> unitCalls;
  std::vector<std::string> lines;
  int statusRefreshes = 0;
  int windowDestroyed = 0;
};
Observed* observed = nullptr;

std::string Describe(const WireMessage& m) {
  return "{" + std::to_string(m.message) + " seq " +
         std::to_string(m.sequence) + " w " + std::to_string(m.wParam) + " l " +
         std::to_string(m.lParam) + " '" + Escaped(m.text) + "'}";
}

bool ReceiveWithin(int fd, int timeoutMs, std::string* bytes) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char buffer[4096];
  ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n <= 0) return false;
  bytes->assign(buffer, static_cast<size_t>(n));
  return true;
}

// QOR_FUZZ_TRACE=1 prints every step (for reading a crash's input).
bool Tracing() {
  static const bool on = std::getenv("QOR_FUZZ_TRACE") != nullptr;
  return on;
}

void Trace(const std::string& line) {
  if (Tracing()) std::fprintf(stderr, "  %s\n", line.c_str());
}

void SendBytes(int fd, const std::string& bytes) {
  // A link that has closed its end refuses; that is its business.
  (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

class LinkHarness {
 public:
  explicit LinkHarness(int device)
      : device_(device), link_(TheInfodriverLink()) {
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const std::string path =
        RunDir().path() + "/infodriver-" + std::to_string(device) + ".sock";
    unlink(path.c_str());
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr),
             sizeof addr) != 0 ||
        listen(listenFd_, 4) != 0)
      Fail(std::string("cannot serve the link: ") + std::strerror(errno));
    socketPath_ = path;

    link_.setEventLoop(&loop_);
    link_.setTransport(std::make_unique<SocketTransport>());
    link_.setCallback(InfodriverNotify);
    link_.setCounters(&writes_, &receives_);
    InfodriverRouting routing;
    routing.unitSlotChange = [](int index, int relativeSlot, const char* text) {
      observed->unitCalls.push_back({index, relativeSlot, text});
      return true;
    };
    routing.updateStatus = [] { ++observed->statusRefreshes; };
    routing.destroyMainWindow = [] { ++observed->windowDestroyed; };
    routing.link = &link_;
    SetInfodriverRouting(routing);
    observed = &seen_;
    TheDebugList().setListener([](const char* line) {
      if (line != nullptr) observed->lines.push_back(line);
    });
  }

  ~LinkHarness() {
    link_.disconnect();
    loop_.RunPosted();
    TheDebugList().setListener(nullptr);
    TheDebugList().clear();
    SetInfodriverRouting(InfodriverRouting());
    link_.setCounters(&link_.ownWriteCount, &link_.ownReceiveCount);
    link_.setEventLoop(nullptr);
    observed = nullptr;
    if (peerFd_ >= 0) close(peerFd_);
    close(listenFd_);
    unlink(socketPath_.c_str());
  }

  // One slot of the table the infodriver hands over after the handshake.
  struct DumpEntry {
    int64_t slot;
    std::string text;
  };

  // The handshake, with |noise| sent by the infodriver before it answers the
  // discovery, then the slot table hand-over: |dump| and a count that is
  // off by |countError|. True when the link is connected afterwards.
  bool Connect(const std::vector<std::string>& noise,
               const std::vector<DumpEntry>& dump, int64_t countError) {
    int accepted = -1;
    bool dumpAsked = false;
    const int connected = eventfd(0, EFD_CLOEXEC);
    std::thread infodriver([&] {
      struct pollfd p = {listenFd_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;
      accepted = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted < 0) return;
      std::string bytes;
      WireMessage m;
      if (!ReceiveWithin(accepted, 5000, &bytes) || !Decode(bytes, &m) ||
          m.message != WVN_DISCOVER)
        return;
      linkSequence_ = m.sequence;
      for (const std::string& n : noise) SendBytes(accepted, n);
      SendBytes(accepted, Encode({WVN_DISCOVERREPLY, 0, 0x4000, 0, ""}));
      SendBytes(accepted, Encode({INFO_RESULT, m.sequence, 1, m.message, ""}));
      // Answers to the noise come first; then the announcement (its
      // acknowledgement goes before the answer, so no hello follows), and
      // the link's request for the slot table unless the noise left it in
      // another state; connect's return ends the wait.
      for (;;) {
        struct pollfd q[2] = {{accepted, POLLIN, 0}, {connected, POLLIN, 0}};
        if (poll(q, 2, 5000) <= 0 || (q[1].revents & POLLIN)) return;
        if (!ReceiveWithin(accepted, 0, &bytes)) return;
        if (!Decode(bytes, &m)) Fail("the link sent a malformed message");
        if (m.message == WVN_ANNOUNCE || m.message == WVN_HELLO) {
          linkSequence_ = m.sequence;
          if (m.message == WVN_ANNOUNCE)
            SendBytes(accepted, Encode({WVN_HELLOACK, 0, 1, 0, ""}));
          SendBytes(accepted,
                    Encode({INFO_RESULT, m.sequence, 1, m.message, ""}));
        } else if (m.message == INFO_DUMP) {
          linkSequence_ = m.sequence;
          dumpAsked = true;
          for (const DumpEntry& e : dump)
            SendBytes(accepted, Encode({INFO_SLOTDATA, 0, e.slot, 0, e.text}));
          SendBytes(accepted,
                    Encode({INFO_RESULT, m.sequence,
                            static_cast<int64_t>(dump.size()) + countError,
                            m.message, ""}));
          return;
        }
      }
    });
    const int result = link_.connect(device_);
    const uint64_t one = 1;
    (void)!write(connected, &one, sizeof one);
    infodriver.join();
    close(connected);
    peerFd_ = accepted;
    if (result != IFSTAT_OK && result != IFSTAT_NOWINDOW)
      Fail("connect gave " + std::to_string(result));
    if (result != IFSTAT_OK) return false;
    if (!link_.isConnected()) Fail("connect said 15 but the link is closed");
    // The link keeps the slot table when the hand-over adds up: its count
    // is the number of slots that came with a text.
    copy_.assign(kInfodriverSlotCount, std::string());
    size_t filled = 0;
    if (dumpAsked) {
      for (const DumpEntry& e : dump)
        if (e.slot >= 0 && e.slot < kInfodriverSlotCount)
          copy_[e.slot] = SlotTextOf(e.text);
      for (const std::string& text : copy_) filled += text.empty() ? 0 : 1;
    }
    copyValid_ = dumpAsked && static_cast<int64_t>(dump.size()) + countError ==
                                  static_cast<int64_t>(filled);
    Trace(std::string("connected; slot copy ") +
          (copyValid_ ? "kept" : "not kept"));
    // Whatever the noise did is not part of what is checked from here on.
    drain();
    received_.clear();
    seen_ = Observed();
    writesBase_ = writes_;
    receivesBase_ = receives_;
    open_ = true;
    return true;
  }

  void Step(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: {
        WireMessage m = pickEvent(in);
        if (in.ConsumeProbability<float>() < 0.15f) {
          std::string bytes = in.ConsumeRandomLengthString(1200);
          if (bytes.size() >= 8) std::memcpy(&bytes[4], &m.sequence, 4);
          event(bytes);
        } else {
          event(Encode(m));
        }
        break;
      }
      case 5:
      case 6: {
        // A read while events are on their way.
        std::vector<std::string> before;
        const int count = in.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < count; ++i) before.push_back(Encode(pickEvent(in)));
        const int64_t slot = in.PickValueInArray(kSlots);
        const bool found = in.ConsumeBool();
        const std::string text = pickText(in);
        const bool update = in.ConsumeBool();
        read(static_cast<int>(slot), before, found, text, update,
             update ? pickText(in) : "");
        break;
      }
      default: {
        const int64_t slot = in.PickValueInArray(kSlots);
        const std::string text = pickText(in);
        Trace("writeSlot " + std::to_string(static_cast<int>(slot)) + " '" +
              Escaped(text) + "'");
        link_.writeSlot(static_cast<int>(slot), text.c_str());
        expectWrite(static_cast<int>(slot), text);
        break;
      }
    }
    settle();
  }

  // Everything the model expects has happened, and nothing else.
  void Check() {
    settle();
    if (!expected_.empty())
      Fail("the link did not send " + Describe(expected_.front()));
    if (seen_.unitCalls != want_.unitCalls)
      Fail("unit slot-change calls differ (" +
           std::to_string(seen_.unitCalls.size()) + " made, " +
           std::to_string(want_.unitCalls.size()) + " expected)");
    if (seen_.lines != want_.lines)
      Fail("debug list lines differ (" + std::to_string(seen_.lines.size()) +
           " written, " + std::to_string(want_.lines.size()) + " expected)");
    if (seen_.statusRefreshes != want_.statusRefreshes)
      Fail("status refreshes differ");
    if (seen_.windowDestroyed != want_.windowDestroyed)
      Fail("main window destroyed " + std::to_string(seen_.windowDestroyed) +
           " times, expected " + std::to_string(want_.windowDestroyed));
    if (receives_ - receivesBase_ != wantReceives_)
      Fail("receive counter " + std::to_string(receives_ - receivesBase_) +
           ", expected " + std::to_string(wantReceives_));
    if (writes_ - writesBase_ != wantWrites_)
      Fail("write counter " + std::to_string(writes_ - writesBase_) +
           ", expected " + std::to_string(wantWrites_));
  }

 private:
  static std::string pickText(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        return in.ConsumeRandomLengthString(24);
      case 1:
        return std::string(
            in.ConsumeIntegralInRange<size_t>(250, 260),
            static_cast<char>(in.ConsumeIntegralInRange(1, 255)));
      case 2:
        return std::string(in.ConsumeIntegralInRange<size_t>(500, 1030), 'q');
      default:
        return in.ConsumeRandomLengthString(1100);
    }
  }

  WireMessage pickEvent(FuzzedDataProvider& in) {
    WireMessage m;
    m.message = in.ConsumeProbability<float>() < 0.9f
                    ? in.PickValueInArray(kEvents)
                    : in.ConsumeIntegral<uint32_t>();
    m.sequence = in.ConsumeBool() ? nextSequence_++ : 0;
    m.wParam = in.ConsumeBool() ? in.PickValueInArray(kSlots)
                                : in.ConsumeIntegral<int64_t>();
    m.lParam = in.ConsumeIntegral<int64_t>();
    m.text = pickText(in);
    return m;
  }

  // One event from the infodriver, handled by the loop.
  void event(const std::string& bytes) {
    if (!open_) return;
    WireMessage shown;
    Trace("event " + (Decode(bytes, &shown) ? Describe(shown)
                                            : "malformed " + Escaped(bytes)));
    SendBytes(peerFd_, bytes);
    WireMessage m;
    if (bytes.empty()) {
      lost();
    } else if (Decode(bytes, &m)) {
      if (m.message != INFO_RESULT) handle(m);
    }
    // Anything else is malformed: dropped without a word.
  }

  void read(int slot, std::vector<std::string> before, bool found,
            const std::string& text, bool update, const std::string& wanted) {
    const int64_t number =
        update && slot < 0 ? -static_cast<int64_t>(slot) : slot;
    const bool inRange = number >= 0 && number < kInfodriverSlotCount;
    // With its own copy of the slots the link does not ask.
    const bool asks = open_ && inRange && !copyValid_;
    Trace(std::string(update ? "update" : "read") + " slot " +
          std::to_string(slot) + (asks ? " asked" : " not asked") +
          (found ? " found '" : " not found '") + Escaped(text) + "' with " +
          std::to_string(before.size()) + " events before, wanted '" +
          Escaped(wanted) + "'");
    for (const std::string& e : before) {
      WireMessage m;
      Trace("  before: " +
            (Decode(e, &m) ? Describe(m) : "malformed " + Escaped(e)));
    }
    std::vector<WireMessage> kept;
    bool lostWhileWaiting = false;
    std::string answer;
    if (asks) {
      // The events, then the answer, are waiting before the link asks.
      for (const std::string& e : before) SendBytes(peerFd_, e);
      const uint32_t sequence = linkSequence_ + 1;
      // A malformed answer would leave the link waiting for its time-out;
      // the infodriver's answers are well-formed.
      std::string answerText = text.substr(0, text.find('\0'));
      if (answerText.size() > qor_fuzz::kWireTextMax)
        answerText.resize(qor_fuzz::kWireTextMax);
      SendBytes(peerFd_, Encode({INFO_RESULT, sequence, found ? 1 : 0,
                                 WVN_READSLOT, answerText}));
      for (const std::string& e : before) {
        WireMessage m;
        if (e.empty()) {
          lostWhileWaiting = true;
          break;
        }
        // Answers and slot data are not events; a read drops them.
        if (Decode(e, &m) && m.message != INFO_RESULT &&
            m.message != INFO_SLOTDATA)
          kept.push_back(m);
      }
      expected_.push_back({WVN_READSLOT, sequence, number, 0, ""});
      ++linkSequence_;
      if (!lostWhileWaiting && found) answer = SlotTextOf(answerText);
    } else if (open_ && inRange && copyValid_) {
      answer = copy_[number];
    }

    std::string got;
    if (update) {
      const bool written = link_.updateSlot(slot, wanted.c_str());
      if (written != (SlotTextOf(wanted) != answer))
        Fail("updateSlot's result is wrong");
      if (lostWhileWaiting) {
        closed();
        expectedLost_ = true;
      }
      if (written) expectWrite(slot, wanted);
    } else {
      char buffer[256];
      std::memset(buffer, 'x', sizeof buffer);
      link_.readSlot(slot, buffer);
      got = buffer;
      if (got != answer)
        Fail("readSlot gave '" + Escaped(got) + "', expected '" +
             Escaped(answer) + "'");
      if (lostWhileWaiting) {
        closed();
        expectedLost_ = true;
      }
    }
    // The events kept during the read are delivered afterwards, in order;
    // a connection lost meanwhile is reported after them, once.
    bool disconnectKept = false;
    for (const WireMessage& m : kept) {
      disconnectKept = disconnectKept || m.message == WVN_INFODISCONNECT;
      handle(m, /*stillOpen=*/true);
    }
    if (expectedLost_) {
      expectedLost_ = false;
      if (!disconnectKept) disconnected();
    }
    // Without a read the events simply arrive after the call.
    if (!asks)
      for (const std::string& e : before) event(e);
  }

  // The model of one event's handling by the link and the application.
  void handle(const WireMessage& m, bool stillOpen = false) {
    if (!open_ && !stillOpen) return;
    int64_t result = 0;
    bool closeAfter = false;
    switch (m.message) {
      case WVN_INFODISCONNECT:
        disconnectedLine();
        closeAfter = true;
        break;
      case WVN_REQDEVGORXONLY:
      case WVN_REQDEVGOTXRX:
        want_.lines.push_back("Infodriver " + std::to_string(device_) +
                              " received request to go TXRX");
        result = m.message == WVN_REQDEVGOTXRX ? 1 : 0;
        break;
      case WVN_INQDEVGOTXRX:
        want_.lines.push_back("iStatus=8");
        result = 1;
        break;
      case WVN_DEVICEIDINUSE:
        // Another driver may write the slots now: the copy goes.
        copyValid_ = false;
        want_.lines.push_back("iStatus=2190");
        break;
      case WVN_SLOTCHANGE: {
        if (m.wParam < INT_MIN || m.wParam > INT_MAX) break;
        const int slot = static_cast<int>(m.wParam);
        ++wantReceives_;
        // A request past its deadline is refused and goes nowhere. The link
        // reads it after this, so its clock is later.
        if (m.lParam != 0 && m.lParam < TheSystemClock().NowMs()) {
          result = INFO_EXPIRED;
          break;
        }
        ++want_.statusRefreshes;
        result = 1;
        if (static_cast<unsigned>(slot) < 4000) {
          want_.unitCalls.push_back({slot / 100, slot % 100, m.text});
        } else if (slot == 4094) {
          expectWrite(4095, m.text);
        } else if (slot == 4095) {
          expectWrite(4094, m.text);
        } else {
          expectWrite(slot, m.text);
        }
        break;
      }
      default:
        break;
    }
    if (m.sequence != 0 && open_)
      expected_.push_back({INFO_RESULT, m.sequence, result, m.message, ""});
    if (closeAfter) closed();
  }

  void closed() {
    open_ = false;
    copyValid_ = false;
  }

  void disconnectedLine() {
    want_.lines.push_back("Infodriver " + std::to_string(device_) +
                          " has disconnected");
    ++want_.windowDestroyed;
  }

  // The connection broke (an empty message reads as the end).
  void lost() {
    closed();
    disconnected();
  }
  void disconnected() { disconnectedLine(); }

  void expectWrite(int slot, const std::string& text) {
    ++wantWrites_;
    if (!open_) return;  // a link without an infodriver drops it
    const uint32_t op = slot < 0 ? WVN_WRITESLOTNEG : WVN_WRITESLOT;
    const int64_t number = slot < 0 ? -static_cast<int64_t>(slot) : slot;
    expected_.push_back({op, 0, number, 0, SlotTextOf(text)});
    // What the link writes, its copy holds.
    if (copyValid_ && number < kInfodriverSlotCount)
      copy_[number] = SlotTextOf(text);
  }

  // Lets the loop deliver everything and compares what the link sent.
  void settle() {
    for (int i = 0; i < 8; ++i) {
      loop_.RunOnce(0);
      drain();
    }
    while (!received_.empty()) {
      const WireMessage got = received_.front();
      received_.pop_front();
      if (expected_.empty())
        Fail("the link sent an unexpected " + Describe(got));
      const WireMessage want = expected_.front();
      expected_.pop_front();
      if (got.message != want.message || got.sequence != want.sequence ||
          got.wParam != want.wParam || got.lParam != want.lParam ||
          got.text != want.text)
        Fail("the link sent " + Describe(got) + ", expected " + Describe(want));
    }
  }

  void drain() {
    if (peerFd_ < 0) return;
    for (;;) {
      char buffer[4096];
      ssize_t n = recv(peerFd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return;
      WireMessage m;
      if (!Decode(std::string(buffer, static_cast<size_t>(n)), &m))
        Fail("the link sent a malformed message");
      received_.push_back(m);
    }
  }

  const int device_;
  extinfo& link_;
  EventLoop loop_;
  int listenFd_ = -1;
  int peerFd_ = -1;
  std::string socketPath_;
  uint32_t linkSequence_ = 0;
  uint32_t nextSequence_ = kHarnessFirstSequence;
  bool open_ = false;
  bool expectedLost_ = false;
  // The model of the link's own copy of the slots.
  bool copyValid_ = false;
  std::vector<std::string> copy_;
  int writes_ = 0;
  int receives_ = 0;
  int writesBase_ = 0;
  int receivesBase_ = 0;
  int wantWrites_ = 0;
  int wantReceives_ = 0;
  Observed seen_;
  Observed want_;
  std::deque<WireMessage> received_;
  std::deque<WireMessage> expected_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("ZARN_RUNTIME_DIR", RunDir().path().c_str(), 1);
  debugMode = 1;
  logMode = 0;
  TheLogFile().initWithDirectory(7, "qor_mdu", true, true,
                                 RunDir().path() + "/logs");
  SetDebugOutputSink([](const char*) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int device = in.ConsumeBool() ? 7 : 0x10007;
  std::vector<std::string> noise;
  const int noiseCount = in.ConsumeIntegralInRange(0, 2);
  for (int i = 0; i < noiseCount; ++i)
    noise.push_back(in.ConsumeRandomLengthString(200));
  std::vector<LinkHarness::DumpEntry> dump;
  const int dumpCount = in.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < dumpCount; ++i) {
    int64_t slot = in.ConsumeProbability<float>() < 0.9f
                       ? in.ConsumeIntegralInRange<int64_t>(0, 4095)
                       : in.PickValueInArray(kSlots);
    // A hand-over is well-formed: no NUL, at most 1024 bytes.
    std::string text = in.ConsumeRandomLengthString(300);
    text = text.substr(0, text.find('\0'));
    dump.push_back({slot, text});
  }
  const int64_t countError = in.ConsumeProbability<float>() < 0.85f
                                 ? 0
                                 : in.ConsumeIntegralInRange(-2, 2);
  LinkHarness harness(device);
  if (!harness.Connect(noise, dump, countError)) return 0;
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step)
    harness.Step(in);
  harness.Check();
  return 0;
}

}  // namespace qor_fuzz
