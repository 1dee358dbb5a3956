#include "mqtt/broker_source.h"

#include <unistd.h>

#include <cstdio>
#include <random>

#include "mqtt/mqtt_topics.h"
#include "nlohmann/json.hpp"
#include "unitview/control_requester.h"

namespace {

std::string DefaultClientId() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
    std::snprintf(host, sizeof host, "host");
  std::string id = std::string("qor-view-") + host + "-" +
                   std::to_string(static_cast<long>(getpid()));
  for (char& c : id)
    if (c == '/' || c == '+' || c == '#') c = '_';
  return id;
}

// Stages kept for Control() this long after the request, and at most this
// many.
constexpr auto kKeepRequests = std::chrono::minutes(10);
constexpr size_t kMaxRequests = 4096;

std::string ProcessToken() {
  std::random_device random;
  char token[20];
  std::snprintf(token, sizeof token, "%08x%08x", random(), random());
  return token;
}

int64_t WallNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

BrokerSource::BrokerSource(BrokerSourceOptions options)
    : BrokerSource(options, nullptr) {}

BrokerSource::BrokerSource(BrokerSourceOptions options,
                           std::unique_ptr<MqttClient> client)
    : options_(std::move(options)), client_(std::move(client)) {
  if (options_.mqtt.clientId.empty())
    options_.mqtt.clientId = DefaultClientId();
  options_.mqtt.logName = "qor_web";
  responseTopic_ = std::string(kResponsePrefix) + options_.mqtt.clientId + "/" +
                   ProcessToken();
  if (!client_) client_ = MakeMosquittoClient(options_.mqtt);
}

BrokerSource::~BrokerSource() { Stop(); }

void BrokerSource::Start() {
  if (started_) return;
  MqttClient::Handlers handlers;
  handlers.connected = [this] { OnConnected(); };
  handlers.message = [this](const MqttMessage& m) { OnMessage(m); };
  client_->SetHandlers(std::move(handlers));
  std::string error;
  if (!client_->Start(&error)) {
    std::fprintf(stderr, "broker source: %s\n", error.c_str());
    return;
  }
  started_ = true;
}

void BrokerSource::Stop() {
  if (!started_) return;
  started_ = false;
  client_->Stop();
  answered_.notify_all();
}

bool BrokerSource::connected() const { return client_->connected(); }

void BrokerSource::OnConnected() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.reconnects;
  }
  // The retained tree comes again with each subscription, so a
  // reconnection brings every value back without asking.
  client_->Subscribe("qor/+/status", 1);
  client_->Subscribe("qor/+/control", 1);
  client_->Subscribe("qor/+/+/status", 1);
  client_->Subscribe("qor/+/+/+/state", 0);
  client_->Subscribe(responseTopic_, 1);
}

UnitState BrokerSource::ShownLocked(const UnitState& raw) const {
  UnitState shown = raw;
  auto site = siteOnline_.find(raw.site);
  auto device = devices_.find({raw.site, raw.device});
  bool online = site != siteOnline_.end() && site->second;
  bool driver = device == devices_.end() || device->second.driverConnected;
  shown.live = raw.live && online && driver;
  return shown;
}

DeviceStatus BrokerSource::ShownLocked(const DeviceStatus& raw) const {
  DeviceStatus shown = raw;
  if (auto control = siteControl_.find(raw.site); control != siteControl_.end())
    shown.siteControl = control->second;
  auto site = siteOnline_.find(raw.site);
  if (site == siteOnline_.end() || !site->second) {
    shown.infodriverConnected = false;
    shown.driverConnected = false;
    shown.problem = "the bridge of site " + raw.site + " is offline";
  }
  return shown;
}

// A site's status or control topic: what the site's units and devices
// now show.
void BrokerSource::StoreSiteLocked(const ParsedTopic& topic,
                                   const MqttMessage& message,
                                   std::vector<UnitState>* unitsChanged,
                                   std::vector<DeviceStatus>* devicesChanged) {
  if (topic.kind == ParsedTopic::kSiteControl) {
    if (message.payload.empty()) {
      siteControl_.erase(topic.site);
    } else if (siteControl_.size() >= kMaxSites &&
               siteControl_.count(topic.site) == 0) {
      return;
    } else {
      siteControl_[topic.site] = message.payload == "enabled";
    }
    for (const auto& [key, d] : devices_)
      if (key.first == topic.site) devicesChanged->push_back(ShownLocked(d));
    return;
  }
  if (message.payload.empty()) {
    siteOnline_.erase(topic.site);
  } else if (siteOnline_.size() >= kMaxSites &&
             siteOnline_.count(topic.site) == 0) {
    log_.Line("ignored site %s: already %zu sites on the broker",
              Printable(topic.site).c_str(), kMaxSites);
    return;
  } else {
    siteOnline_[topic.site] = message.payload == "online";
  }
  for (const auto& [key, d] : devices_)
    if (key.first == topic.site) devicesChanged->push_back(ShownLocked(d));
  for (const auto& [key, u] : units_)
    if (std::get<0>(key) == topic.site) unitsChanged->push_back(ShownLocked(u));
}

// A unit's state topic: the unit as its bridge last published it.
void BrokerSource::StoreUnitStateLocked(const ParsedTopic& topic,
                                        const MqttMessage& message,
                                        std::vector<UnitState>* unitsChanged) {
  ++counters_.slotWrites;
  UnitKey key{topic.site, topic.device, topic.unit};
  if (message.payload.empty()) {
    units_.erase(key);
    return;
  }
  std::string error;
  auto state = ParseStatePayload(topic.site, topic.device, topic.unit,
                                 message.payload, &error);
  if (!state) {
    log_.Line("ignored the state on %s: %s", Printable(message.topic).c_str(),
              error.c_str());
    return;
  }
  if (units_.size() >= kMaxUnits && units_.count(key) == 0) {
    log_.Line("ignored %s: already %zu units on the broker",
              Printable(message.topic).c_str(), kMaxUnits);
    return;
  }
  units_[key] = *state;
  unitsChanged->push_back(ShownLocked(*state));
}

void BrokerSource::OnMessage(const MqttMessage& message) {
  if (message.topic == responseTopic_) return OnResult(message);
  ParsedTopic topic = ParseTopic(message.topic);
  std::vector<UnitState> unitsChanged;
  std::vector<DeviceStatus> devicesChanged;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (topic.kind) {
      case ParsedTopic::kSiteStatus:
      case ParsedTopic::kSiteControl:
        StoreSiteLocked(topic, message, &unitsChanged, &devicesChanged);
        break;
      case ParsedTopic::kDeviceStatus: {
        DeviceKey key{topic.site, topic.device};
        if (message.payload.empty()) {
          devices_.erase(key);
          break;
        }
        auto status =
            ParseDeviceStatusPayload(topic.site, topic.device, message.payload);
        if (!status) break;
        if (devices_.size() >= kMaxUnits && devices_.count(key) == 0) break;
        devices_[key] = *status;
        devicesChanged.push_back(ShownLocked(*status));
        for (const auto& [k, u] : units_)
          if (std::get<0>(k) == topic.site && std::get<1>(k) == topic.device)
            unitsChanged.push_back(ShownLocked(u));
        break;
      }
      case ParsedTopic::kUnitState:
        StoreUnitStateLocked(topic, message, &unitsChanged);
        break;
      default:
        break;
    }
  }
  if (unitsChanged.empty() && devicesChanged.empty()) return;
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  for (const auto& [id, l] : listeners_) {
    if (l.deviceChanged)
      for (const DeviceStatus& d : devicesChanged) l.deviceChanged(d);
    if (l.unitChanged)
      for (const UnitState& u : unitsChanged) l.unitChanged(u);
  }
}

void BrokerSource::OnResult(const MqttMessage& message) {
  auto update = ParseControlResultPayload(message.payload);
  if (!update) return;
  uint64_t id = 0;
  for (char c : message.correlationData) {
    if (c < '0' || c > '9' || id > (UINT64_MAX - 9) / 10) return;
    id = id * 10 + static_cast<uint64_t>(c - '0');
  }
  ControlUpdate shown;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = requests_.find(id);
    if (it == requests_.end()) return;
    Request& r = it->second;
    shown = r.last;
    shown.stage = update->stage;
    shown.reason = update->reason;
    shown.slotText = update->slotText;
    shown.busy = update->busy;
    // A stage never goes back: a late "accepted" after "confirmed" (the
    // two can cross) changes nothing.
    if (r.answered && (r.last.stage != ControlStage::kAccepted ||
                       shown.stage == ControlStage::kAccepted))
      return;
    bool first = !r.answered;
    r.last = shown;
    r.answered = true;
    if (shown.stage == ControlStage::kRefused) ++counters_.controlRefused;
    if (shown.stage == ControlStage::kConfirmed) ++counters_.controlConfirmed;
    if (shown.stage == ControlStage::kNotConfirmed)
      ++counters_.controlNotConfirmed;
    if (first) {
      r.first = shown;
      answered_.notify_all();
      // A first stage that is already the last (the reply to "accepted"
      // was lost or overtaken) is a later stage too.
      if (shown.stage != ControlStage::kConfirmed &&
          shown.stage != ControlStage::kNotConfirmed)
        return;
    }
  }
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  for (const auto& [id, l] : listeners_)
    if (l.controlChanged) l.controlChanged(shown);
}

std::vector<DeviceStatus> BrokerSource::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<DeviceStatus> all;
  for (const auto& [key, d] : devices_) all.push_back(ShownLocked(d));
  return all;
}

std::vector<UnitState> BrokerSource::Units() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<UnitState> all;
  for (const auto& [key, u] : units_) all.push_back(ShownLocked(u));
  return all;
}

std::optional<UnitState> BrokerSource::Unit(const std::string& site, int device,
                                            int unit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = units_.find({site, device, unit});
  if (it == units_.end()) return std::nullopt;
  return ShownLocked(it->second);
}

int BrokerSource::AddListener(Listener listener) {
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  const int id = nextListener_++;
  listeners_[id] = std::move(listener);
  return id;
}

// Waits for a call in progress, so that the listener is never called once
// this returns.
void BrokerSource::RemoveListener(int id) {
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  listeners_.erase(id);
}

void BrokerSource::PruneLocked() {
  auto now = std::chrono::steady_clock::now();
  for (auto it = requests_.begin(); it != requests_.end();)
    it = now - it->second.made > kKeepRequests ? requests_.erase(it)
                                               : std::next(it);
  // Ids grow with time: the oldest go first.
  while (requests_.size() >= kMaxRequests) requests_.erase(requests_.begin());
}

// Why the bridge of |site| cannot take a request for the unit now, or
// nothing.
std::string BrokerSource::SiteRefusalLocked(const std::string& site, int device,
                                            int unit) const {
  if (units_.count({site, device, unit}) == 0)
    return "no bridge publishes unit " + std::to_string(unit) + " of device " +
           std::to_string(device) + " of site " + site;
  auto online = siteOnline_.find(site);
  if (online == siteOnline_.end() || !online->second)
    return "the bridge of site " + site + " is offline";
  if (auto control = siteControl_.find(site);
      control != siteControl_.end() && !control->second)
    return "the bridge of site " + site +
           " takes no control requests (qor_mqtt runs without "
           "--allow-control)";
  auto dev = devices_.find({site, device});
  if (dev != devices_.end() && !dev->second.driverConnected)
    return "the driver of device " + std::to_string(device) + " of site " +
           site + " is not connected";
  return "";
}

ControlUpdate BrokerSource::RequestControl(const std::string& site, int device,
                                           int unit, const ControlPoint& point,
                                           std::string_view value,
                                           int64_t deadlineMs) {
  ControlUpdate update = NewControlUpdate(site, device, unit, point, value);
  const int64_t remainingMs = deadlineMs - TheSystemClock().NowMs();
  std::unique_lock<std::mutex> lock(mutex_);
  PruneLocked();
  update.id = nextRequest_++;
  ++counters_.controlRequests;
  auto end = [&](ControlStage stage, std::string reason, bool busy = false) {
    update.stage = stage;
    update.reason = std::move(reason);
    update.busy = busy;
    if (stage == ControlStage::kRefused) ++counters_.controlRefused;
    requests_[update.id] =
        Request{update, update, true, std::chrono::steady_clock::now()};
    return update;
  };
  auto refuse = [&](std::string reason) {
    return end(ControlStage::kRefused, std::move(reason));
  };
  if (remainingMs <= 0)
    return end(ControlStage::kExpired,
               "not sent: its deadline passed before it could go to the "
               "broker");
  if (std::string why = SiteRefusalLocked(site, device, unit); !why.empty())
    return refuse(why);
  ControlValue checked = CheckControlValue(point, value);
  if (!checked.ok) return refuse(checked.error);
  update.value = checked.slotText;

  MqttMessage m;
  m.topic = UnitTopic(site, device, unit) + "/" + point.name() + "/set";
  if (inFlight_.count(m.topic) != 0)
    return end(ControlStage::kRefused,
               "a request for " + point.name() + " of unit " +
                   std::to_string(unit) + " is in flight; nothing was sent",
               /*busy=*/true);
  m.payload = SetPayloadFor(point, checked.slotText);
  // Who asked, for the trail of the host that carries it out (marked there
  // as not verified: the broker cannot prove it), and the name confirming
  // a protected output, which that host's bridge checks again.
  const ControlRequester& by = CurrentControlRequester();
  m.user = by.who;
  if (!by.confirm.empty())
    m.payload =
        nlohmann::json{{"value", m.payload}, {"confirm", by.confirm}}.dump();
  // QoS 0: never sent again by the library or the broker after a lost
  // connection, where a QoS 1 copy could act a second time, or late.
  m.qos = 0;
  m.responseTopic = responseTopic_;
  m.correlationData = std::to_string(update.id);
  m.expirySeconds = static_cast<int>((remainingMs + 999) / 1000);
  m.deadline = DeadlineText(WallNowMs() + remainingMs);
  requests_[update.id] =
      Request{update, update, false, std::chrono::steady_clock::now()};
  if (!client_->Publish(m)) {
    requests_.erase(update.id);
    return refuse("not connected to the broker");
  }
  inFlight_.insert(m.topic);
  const uint64_t id = update.id;
  const bool answered = answered_.wait_for(
      lock, std::chrono::milliseconds(remainingMs + options_.answerGraceMs),
      [&] {
        auto it = requests_.find(id);
        return it == requests_.end() || it->second.answered || !started_;
      });
  inFlight_.erase(m.topic);
  auto it = requests_.find(id);
  if (answered && it != requests_.end() && it->second.answered)
    return it->second.first;
  // The bridge may have acted on it before its deadline; say so rather
  // than pretend it cannot have happened, and keep following it.
  update.stage = ControlStage::kPending;
  update.reason = "no answer from the bridge of site " + site +
                  " by the request's deadline; it may have been carried out";
  if (it != requests_.end()) it->second.last = update;
  return update;
}

std::optional<ControlUpdate> BrokerSource::Control(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = requests_.find(id);
  if (it == requests_.end()) return std::nullopt;
  return it->second.last;
}

UnitSource::Counters BrokerSource::GetCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}
