#include "infodriver/testing/in_memory_infodriver.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <utility>

#include "infodriver/extinfo.h"
#include "infodriver/slot_table.h"

namespace {
class InMemoryTransport;
}

struct InMemoryInfodriver::State {
  int device = 1;
  SlotTable slots;
  std::vector<Write> writes;
  int reads = 0;
  int dumps = 0;
  bool soleWriter = false;
  std::vector<InfoMessage> received;

  bool reachable = true;
  bool setupFails = false;
  bool answersDiscover = true;
  bool deviceIdInUse = false;
  bool toldInUse = false;  // on the current connection

  bool gone = false;        // the InMemoryInfodriver has been destroyed
  bool peerClosed = false;  // dropConnection()
  bool linkConnected = false;
  int devDisconnect = -1;

  InMemoryTransport* current = nullptr;  // the transport that is open
  extinfo* attached = nullptr;
  const InfodriverTransport* attachedTransport = nullptr;
  std::function<void()> readable;
  std::deque<InfoMessage> toLink;
  std::deque<InfoMessage> beforeNextAnswer;
  std::map<uint32_t, int64_t> answers;
  uint32_t nextSequence = 1;
  uint32_t lastDelivered = 0;

  void push(uint32_t message, int64_t wParam, int64_t lParam,
            std::string text) {
    toLink.push_back({message, 0, wParam, lParam, std::move(text)});
  }
  void reply(const InfoMessage& request, int64_t result,
             std::string text = std::string()) {
    toLink.push_back({INFO_RESULT, request.sequence, result,
                      static_cast<int64_t>(request.message), std::move(text)});
  }
  // What an infodriver does with a message from its driver.
  void fromLink(const InfoMessage& m);
};

namespace {

class InMemoryTransport : public InfodriverTransport {
 public:
  explicit InMemoryTransport(std::shared_ptr<InMemoryInfodriver::State> state)
      : state_(std::move(state)) {}

  ~InMemoryTransport() override {
    close();
    // The attached link is changing transports or dying.
    if (state_->attachedTransport == this) {
      state_->attached = nullptr;
      state_->attachedTransport = nullptr;
    }
  }

  OpenResult open(int deviceNumber) override {
    close();
    if (state_->gone || !state_->reachable) return OpenResult::kNoInfodriver;
    if (state_->setupFails) return OpenResult::kSetupFailed;
    if (state_->current != nullptr) state_->current->close();
    state_->current = this;
    state_->peerClosed = false;
    state_->toldInUse = false;
    state_->toLink.clear();
    open_ = true;
    return OpenResult::kOk;
  }

  void close() override {
    if (!open_) return;
    open_ = false;
    if (state_->current == this) {
      state_->current = nullptr;
      state_->readable = nullptr;
      state_->linkConnected = false;
      state_->toLink.clear();
    }
  }

  bool isOpen() const override { return open_; }

  bool send(const InfoMessage& message) override {
    if (!open_ || state_->gone || state_->peerClosed) return false;
    std::string wire;
    if (!EncodeMessage(message, &wire)) return false;
    state_->fromLink(message);
    return true;
  }

  ReceiveResult receive(InfoMessage* message, int) override {
    if (!open_) return ReceiveResult::kClosed;
    if (state_->toLink.empty())
      return state_->gone || state_->peerClosed ? ReceiveResult::kClosed
                                                : ReceiveResult::kNothing;
    *message = std::move(state_->toLink.front());
    state_->toLink.pop_front();
    return ReceiveResult::kMessage;
  }

  bool soleWriter() const override { return soleWriter_; }

  void watch(EventLoop*, std::function<void()> readable) override {
    if (open_ && state_->current == this)
      state_->readable = std::move(readable);
  }

 private:
  std::shared_ptr<InMemoryInfodriver::State> state_;
  bool open_ = false;
  const bool soleWriter_ = state_->soleWriter;
};

}  // namespace

void InMemoryInfodriver::State::fromLink(const InfoMessage& m) {
  received.push_back(m);
  if (m.sequence != 0 && m.message != INFO_RESULT) {
    while (!beforeNextAnswer.empty()) {
      InfoMessage event = std::move(beforeNextAnswer.front());
      beforeNextAnswer.pop_front();
      event.sequence = nextSequence++;
      lastDelivered = event.sequence;
      toLink.push_back(std::move(event));
    }
  }
  switch (m.message) {
    case WVN_DISCOVER:
      if (answersDiscover && m.lParam == (device & 0xFFFF)) {
        push(WVN_DISCOVERREPLY, 0x4000 + device, 0, std::string());
        reply(m, 1);
      } else {
        reply(m, 0);
      }
      break;
    case WVN_ANNOUNCE:
    case WVN_HELLO:
      if (deviceIdInUse) {
        // Once per connection, as the infodriver program tells it.
        if (!toldInUse) push(WVN_DEVICEIDINUSE, device, 0, std::string());
        toldInUse = true;
        reply(m, 0);
      } else {
        linkConnected = true;
        push(WVN_HELLOACK, 1, 0, std::string());
        reply(m, 1);
      }
      break;
    case WVN_READSLOT:
      ++reads;
      if (IsSlotInRange(m.wParam))
        reply(m, 1, slots.get(m.wParam));
      else
        reply(m, 0);
      break;
    case INFO_DUMP: {
      ++dumps;
      int64_t count = 0;
      for (int slot = 0; slot < kInfodriverSlotCount; ++slot) {
        if (slots.get(slot).empty()) continue;
        push(INFO_SLOTDATA, slot, 0, slots.get(slot));
        ++count;
      }
      reply(m, count);
      break;
    }
    case WVN_WRITESLOT:
    case WVN_WRITESLOTNEG:
      writes.push_back({static_cast<int>(m.wParam), m.message, m.text});
      slots.set(m.wParam, m.text);
      break;
    case WVN_DEVDISCONNECT:
      devDisconnect = static_cast<int>(m.lParam);
      linkConnected = false;
      break;
    case INFO_RESULT:
      answers[m.sequence] = m.wParam;
      break;
    default:
      if (m.sequence != 0) reply(m, 0);
      break;
  }
}

InMemoryInfodriver::InMemoryInfodriver(int deviceNumber)
    : state_(std::make_shared<State>()) {
  state_->device = deviceNumber;
  // Suites whose code runs on the production link in both of its modes are
  // registered twice, once with this set.
  const char* sole = std::getenv("QOR_TEST_LINK_SOLE_WRITER");
  state_->soleWriter = sole != nullptr && std::strcmp(sole, "1") == 0;
}

InMemoryInfodriver::~InMemoryInfodriver() {
  if (state_->attached != nullptr) state_->attached->disconnect();
  state_->gone = true;
}

std::unique_ptr<InfodriverTransport> InMemoryInfodriver::makeTransport() {
  return std::make_unique<InMemoryTransport>(state_);
}

int InMemoryInfodriver::attach(extinfo& link) {
  auto transport = makeTransport();
  const InfodriverTransport* raw = transport.get();
  link.setTransport(std::move(transport));
  state_->attached = &link;
  state_->attachedTransport = raw;
  return link.connect(state_->device);
}

void InMemoryInfodriver::setSlot(int slot, const std::string& text) {
  state_->slots.set(slot, text);
}

std::string InMemoryInfodriver::slot(int slot) const {
  return state_->slots.get(slot);
}

const std::vector<InMemoryInfodriver::Write>& InMemoryInfodriver::writes()
    const {
  return state_->writes;
}

void InMemoryInfodriver::clearWrites() { state_->writes.clear(); }

int InMemoryInfodriver::readCount() const { return state_->reads; }

const std::vector<InfoMessage>& InMemoryInfodriver::received() const {
  return state_->received;
}

void InMemoryInfodriver::setReachable(bool reachable) {
  state_->reachable = reachable;
}
void InMemoryInfodriver::setSetupFails(bool fails) {
  state_->setupFails = fails;
}
void InMemoryInfodriver::setAnswersDiscover(bool answers) {
  state_->answersDiscover = answers;
}
void InMemoryInfodriver::setSoleWriter(bool sole) { state_->soleWriter = sole; }

int InMemoryInfodriver::dumpCount() const { return state_->dumps; }

void InMemoryInfodriver::setDeviceIdInUse(bool inUse) {
  state_->deviceIdInUse = inUse;
}

bool InMemoryInfodriver::linkConnected() const { return state_->linkConnected; }

int InMemoryInfodriver::devDisconnectDevice() const {
  return state_->devDisconnect;
}

int64_t InMemoryInfodriver::deliver(uint32_t message, int64_t wParam,
                                    int64_t lParam, const std::string& text) {
  if (state_->current == nullptr || state_->peerClosed) return -1;
  const uint32_t sequence = state_->nextSequence++;
  state_->lastDelivered = sequence;
  state_->toLink.push_back({message, sequence, wParam, lParam, text});
  if (state_->readable) {
    auto readable = state_->readable;  // the call may replace it
    readable();
  }
  return answerTo(sequence);
}

int64_t InMemoryInfodriver::deliverSlotChange(int slot,
                                              const std::string& text) {
  return deliver(WVN_SLOTCHANGE, slot, 0, text);
}
int64_t InMemoryInfodriver::deliverReqDevGoRxOnly() {
  return deliver(WVN_REQDEVGORXONLY, 0, 0, std::string());
}
int64_t InMemoryInfodriver::deliverReqDevGoTxRx() {
  return deliver(WVN_REQDEVGOTXRX, 0, 0, std::string());
}
int64_t InMemoryInfodriver::deliverInqDevGoTxRx() {
  return deliver(WVN_INQDEVGOTXRX, 0, 0, std::string());
}
int64_t InMemoryInfodriver::deliverDeviceIdInUse(int64_t wParam) {
  return deliver(WVN_DEVICEIDINUSE, wParam, 0, std::string());
}
int64_t InMemoryInfodriver::deliverInfoDisconnect() {
  return deliver(WVN_INFODISCONNECT, 0, 0, std::string());
}

void InMemoryInfodriver::dropConnection() {
  if (state_->current == nullptr) return;
  state_->peerClosed = true;
  state_->linkConnected = false;
  if (state_->readable) {
    auto readable = state_->readable;
    readable();
  }
}

void InMemoryInfodriver::queueSlotChangeBeforeNextAnswer(
    int slot, const std::string& text) {
  state_->beforeNextAnswer.push_back({WVN_SLOTCHANGE, 0, slot, 0, text});
}

int64_t InMemoryInfodriver::answerTo(uint32_t sequence) const {
  auto it = state_->answers.find(sequence);
  return it == state_->answers.end() ? -1 : it->second;
}

uint32_t InMemoryInfodriver::lastDeliveredSequence() const {
  return state_->lastDelivered;
}
