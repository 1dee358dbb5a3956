#include "infodriver/extinfo.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "infodriver/socket_transport.h"
#include "logging/handler_guard.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "platform/control_deadline.h"
#include "platform/event_loop.h"
#include "platform/main_loop.h"
#include "platform/structured_exception.h"

namespace {

// How long a request waits for the infodriver's answer. The infodriver
// answers at once; this only bounds a stuck or stopped one.
constexpr int kAnswerTimeoutMs = 5000;
// Events read per wake-up of the loop, so that a flood cannot starve the
// loop's timers.
constexpr int kEventsPerWake = 64;

int64_t NextLinkId() {
  static int64_t next = 0;
  next = next % 0xFFFF + 1;  // the handshake passes the low 16 bits
  return next;
}

}  // namespace

extinfo::extinfo(EventLoop* loop)
    : writeCounter(&ownWriteCount),
      receiveCounter(&ownReceiveCount),
      loop_(loop != nullptr ? loop : &TheMainLoop()),
      self_(std::make_shared<extinfo*>(this)) {}

extinfo::~extinfo() {
  // Tasks already posted to the loop must find nothing to do.
  self_.reset();
  if (transport_ && transport_->isOpen()) {
    if (hLinkWnd != 0)
      transport_->send({WVN_DEVDISCONNECT, 0, 0, iDevice, std::string()});
    closeTransport();
  }
}

void extinfo::setCallback(Callback callback) {
  notifyCallback = std::move(callback);
}

void extinfo::setCounters(int* writeCount, int* receiveCount) {
  if (writeCount != nullptr) writeCounter = writeCount;
  if (receiveCount != nullptr) receiveCounter = receiveCount;
}

void extinfo::setTransport(std::unique_ptr<InfodriverTransport> transport) {
  if (transport_) closeTransport();
  transport_ = std::move(transport);
}

void extinfo::setEventLoop(EventLoop* loop) {
  loop_ = loop != nullptr ? loop : &TheMainLoop();
}

bool extinfo::isConnected() const {
  return hLinkWnd != 0 && transport_ && transport_->isOpen();
}

int extinfo::connect(int deviceNumber, void* instance, int, int, int, int) {
  iStatus = IFSTAT_OK;
  dropSlotCopy();
  if (transport_ && transport_->isOpen()) closeTransport();
  if (!transport_) transport_ = std::make_unique<SocketTransport>();
  hInstance = instance;
  pending_.clear();
  disconnectQueued_ = false;
  hLinkWnd = 0;
  bHelloAck = 0;
  connectFailure_.clear();

  switch (transport_->open(deviceNumber)) {
    case InfodriverTransport::OpenResult::kSetupFailed:
      connectFailure_ = transport_->openFailure();
      iStatus = IFSTAT_NOCLASS;
      return iStatus;
    case InfodriverTransport::OpenResult::kNoInfodriver:
      connectFailure_ = transport_->openFailure();
      iDevice = deviceNumber;
      iStatus = IFSTAT_NOWINDOW;
      return iStatus;
    case InfodriverTransport::OpenResult::kOk:
      break;
  }
  iDevice = deviceNumber;
  const int64_t linkId = NextLinkId();

  // The handshake. The infodriver of iDevice answers WVN_DISCOVER with
  // WVN_DISCOVERREPLY before its result; the other answers arrive the same
  // way and are handled as they come.
  connecting_ = true;
  hInfodriverWnd = 0;
  InfoMessage result;
  call({WVN_DISCOVER, 0, linkId & 0xFFFF, iDevice & 0xFFFF, std::string()},
       true, &result);
  if (hInfodriverWnd == 0 || !transport_->isOpen()) {
    connecting_ = false;
    closeTransport();
    connectFailure_ = "no answer to the handshake";
    iStatus = IFSTAT_NOWINDOW;
    return iStatus;
  }
  call({WVN_ANNOUNCE, 0, linkId & 0xFFFF, 0, std::string()}, true, &result);
  if (bHelloAck == 0)
    call({WVN_HELLO, 0, linkId & 0xFFFF, 0, std::string()}, true, &result);
  connecting_ = false;
  if (!transport_->isOpen()) {
    connectFailure_ = "the connection ended during the handshake";
    iStatus = IFSTAT_NOWINDOW;
    return iStatus;
  }

  hLinkWnd = linkId;
  if (iStatus == IFSTAT_OK) loadSlotCopy();
  transport_->watch(loop_, [this] { onReadable(); });
  // Normally 15; 2190 when the infodriver said the device id is in use.
  return IFSTAT_OK;
}

void extinfo::disconnect() {
  if (transport_ && transport_->isOpen()) {
    if (hLinkWnd != 0)
      transport_->send({WVN_DEVDISCONNECT, 0, 0, iDevice, std::string()});
    closeTransport();
  }
  dropSlotCopy();
  pending_.clear();
  disconnectQueued_ = false;
  iDevice = 0;
  hInfodriverWnd = 0;
  iStatus = IFSTAT_DISCONNECTED;
  bHelloAck = 0;
  hLinkWnd = 0;
}

void extinfo::closeTransport() {
  dropSlotCopy();
  if (!transport_) return;
  transport_->watch(loop_, nullptr);
  transport_->close();
}

bool extinfo::call(InfoMessage m, bool handleInline, InfoMessage* result) {
  if (!transport_ || !transport_->isOpen()) return false;
  m.sequence = nextSequence_++;
  if (nextSequence_ == 0) nextSequence_ = 1;
  if (!transport_->send(m)) {
    connectionLost();
    return false;
  }
  using SteadyClock = std::chrono::steady_clock;
  const auto deadline =
      SteadyClock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - SteadyClock::now())
                    .count();
    InfoMessage in;
    switch (transport_->receive(&in, left > 0 ? static_cast<int>(left) : 0)) {
      case InfodriverTransport::ReceiveResult::kNothing:
        return false;
      case InfodriverTransport::ReceiveResult::kClosed:
        connectionLost();
        return false;
      case InfodriverTransport::ReceiveResult::kMessage:
        break;
    }
    if (in.message == INFO_SLOTDATA) {
      // Only the slot fetch asks for these; anything else is dropped.
      if (collectingSlots_ && IsSlotInRange(in.wParam))
        slotCopy_[static_cast<size_t>(in.wParam)] = SlotText(in.text.c_str());
      continue;
    }
    if (in.message == INFO_RESULT) {
      if (in.sequence == m.sequence) {
        *result = std::move(in);
        return true;
      }
      continue;  // the late answer to a request that gave up waiting
    }
    if (handleInline) {
      handleMessage(in);
      if (!transport_->isOpen()) return false;
    } else {
      if (in.message == WVN_INFODISCONNECT) disconnectQueued_ = true;
      pending_.push_back(std::move(in));
      schedulePendingDelivery();
    }
  }
}

void extinfo::loadSlotCopy() {
  if (!transport_ || !transport_->soleWriter()) return;
  slotCopy_.assign(kInfodriverSlotCount, std::string());
  collectingSlots_ = true;
  InfoMessage result;
  const bool answered =
      call({INFO_DUMP, 0, 0, 0, std::string()}, false, &result);
  collectingSlots_ = false;
  size_t filled = 0;
  for (const std::string& text : slotCopy_) filled += text.empty() ? 0 : 1;
  // The answer counts the slots sent: anything short of all of them, and
  // the link asks the infodriver as before.
  if (answered && result.wParam == static_cast<int64_t>(filled) &&
      transport_->isOpen())
    slotCopyValid_ = true;
  else
    dropSlotCopy();
}

void extinfo::dropSlotCopy() {
  slotCopyValid_ = false;
  collectingSlots_ = false;
  std::vector<std::string>().swap(slotCopy_);
}

void extinfo::readSlot(int slot, char* buffer) {
  buffer[0] = '\0';
  if (!IsSlotInRange(slot) || !isConnected()) return;
  if (slotCopyValid_) {
    const std::string& text = slotCopy_[static_cast<size_t>(slot)];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return;
  }
  InfoMessage result;
  if (!call({WVN_READSLOT, 0, slot, 0, std::string()}, false, &result)) return;
  if (result.wParam != 1) return;
  const size_t n = std::min(result.text.size(), kSlotTextMax);
  std::memcpy(buffer, result.text.data(), n);
  buffer[n] = '\0';
}

void extinfo::writeTo(int slot, const char* text) {
  // Caller has counted the write; a link without an infodriver drops it.
  uint32_t operation = WVN_WRITESLOT;
  int64_t number = slot;
  if (slot < 0) {
    operation = WVN_WRITESLOTNEG;
    number = -static_cast<int64_t>(slot);
  }
  if (!isConnected()) return;
  std::string cut = SlotText(text);
  if (!transport_->send({operation, 0, number, 0, cut})) {
    connectionLost();
    return;
  }
  if (slotCopyValid_ && IsSlotInRange(number))
    slotCopy_[static_cast<size_t>(number)] = std::move(cut);
}

bool extinfo::updateSlot(int slot, const char* text) {
  const std::string wanted = SlotText(text);
  const int64_t number = slot < 0 ? -static_cast<int64_t>(slot) : slot;
  char current[512];
  current[0] = '\0';
  if (number <= INT_MAX) readSlot(static_cast<int>(number), current);
  if (wanted == current) return false;
  ++*writeCounter;
  writeTo(slot, wanted.c_str());
  return true;
}

void extinfo::writeSlot(int slot, const char* text) {
  ++*writeCounter;
  writeTo(slot, text);
}

void extinfo::connectionLost() {
  if (!transport_ || !transport_->isOpen()) return;
  closeTransport();
  // During the handshake the lost connection is connect's failure; later it
  // is the infodriver's disconnect, reported from the loop like any event.
  if (connecting_ || disconnectQueued_) return;
  disconnectQueued_ = true;
  pending_.push_back({WVN_INFODISCONNECT, 0, 0, 0, std::string()});
  schedulePendingDelivery();
}

void extinfo::schedulePendingDelivery() {
  if (deliveryPosted_ || loop_ == nullptr) return;
  deliveryPosted_ = true;
  std::weak_ptr<extinfo*> weak = self_;
  loop_->Post([weak] {
    if (auto self = weak.lock()) {
      (*self)->deliveryPosted_ = false;
      (*self)->deliverPendingEvents();
    }
  });
}

int extinfo::deliverPendingEvents() {
  if (delivering_) return 0;
  delivering_ = true;
  int delivered = 0;
  while (!pending_.empty()) {
    InfoMessage m = std::move(pending_.front());
    pending_.pop_front();
    handleMessage(m);
    ++delivered;
  }
  delivering_ = false;
  return delivered;
}

void extinfo::onReadable() {
  for (int i = 0; i < kEventsPerWake && transport_ && transport_->isOpen();
       ++i) {
    InfoMessage in;
    auto r = transport_->receive(&in, 0);
    if (r == InfodriverTransport::ReceiveResult::kNothing) break;
    if (r == InfodriverTransport::ReceiveResult::kClosed) {
      connectionLost();
      break;
    }
    if (in.message == INFO_RESULT) continue;  // nobody waits for it any more
    if (in.message == WVN_INFODISCONNECT) disconnectQueued_ = true;
    pending_.push_back(std::move(in));
  }
  deliverPendingEvents();
}

// True when the slot change |m| carries a deadline that has passed; the
// log says which change was refused and how late it was.
bool extinfo::pastDeadline(const InfoMessage& m) const {
  const int64_t deadline = m.lParam;
  if (deadline == 0) return false;
  const int64_t now = TheSystemClock().NowMs();
  if (now <= deadline) return false;
  // A deadline from a confused peer may be far in the past; the line says
  // "very long" rather than overflow.
  int64_t late = 0;
  if (__builtin_sub_overflow(now, deadline, &late)) late = INT64_MAX;
  FileLog(
      "Infodriver %d - slot %lld change to '%s' refused - its deadline "
      "passed %lld ms ago",
      iDevice, static_cast<long long>(m.wParam), m.text.c_str(),
      static_cast<long long>(late));
  return true;
}

void extinfo::handleMessage(const InfoMessage& m) {
  int64_t result = 0;
  int value = 0;
  const char* text = nullptr;
  bool notify = true;
  bool closeAfter = false;
  int64_t deadline = 0;
  switch (m.message) {
    case WVN_HELLOACK:
      bHelloAck = static_cast<int>(m.wParam);
      notify = false;
      break;
    case WVN_DISCOVERREPLY:
      hInfodriverWnd = m.wParam;
      notify = false;
      break;
    case WVN_TRANSFER:
      // Slot data travels in the link's own messages; nothing arrives this
      // way, and the answer is the default one.
      notify = false;
      break;
    case WVN_INFODISCONNECT:
      iStatus = IFSTAT_DISCONNECTED;
      text = "infodriver disconnected";
      closeAfter = true;
      break;
    case WVN_REQDEVGORXONLY:
      iStatus = IFSTAT_GOTXRX;
      text = "request to go RXONLY refused: the device stays TXRX";
      result = 0;
      break;
    case WVN_REQDEVGOTXRX:
      iStatus = IFSTAT_GOTXRX;
      text = "request to go TXRX accepted";
      result = 1;
      break;
    case WVN_INQDEVGOTXRX:
      iStatus = IFSTAT_INQTXRX;
      text = "inquiry to go TXRX accepted";
      result = 1;
      break;
    case WVN_DEVICEIDINUSE:
      // Another driver writes the slots now: ask the infodriver again.
      dropSlotCopy();
      iStatus = IFSTAT_DEVICEIDINUSE;
      value = static_cast<int>(m.wParam & 0xFFFF);
      text = "device id in use";
      break;
    case WVN_SLOTCHANGE:
      // A slot number that no int holds is no request at all.
      if (m.wParam < INT_MIN || m.wParam > INT_MAX) {
        notify = false;
        break;
      }
      ++*receiveCounter;
      // The request may have waited (for this process, stopped or busy, to
      // read it) until nobody expects it any more: carried out now, it
      // would switch a unit late.
      deadline = m.lParam;
      if (pastDeadline(m)) {
        result = INFO_EXPIRED;
        notify = false;
        break;
      }
      iStatus = IFSTAT_OK;
      value = static_cast<int>(m.wParam);
      text = m.text.c_str();
      result = 1;
      break;
    default:
      notify = false;
      break;
  }

  if (notify && notifyCallback) {
    // Whatever the request becomes on the way (a Set queued for a unit)
    // keeps its deadline.
    ScopedControlDeadline scope(deadline);
    RunGuarded("extinfo::WndProc - failed",
               [&] { notifyCallback(this, value, text); });
  }
  if (m.sequence != 0 && transport_ && transport_->isOpen()) {
    if (!transport_->send({INFO_RESULT, m.sequence, result,
                           static_cast<int64_t>(m.message), std::string()}))
      connectionLost();
  }
  if (closeAfter && transport_ && transport_->isOpen()) closeTransport();
}

extinfo& TheInfodriverLink() {
  static extinfo link;
  return link;
}
