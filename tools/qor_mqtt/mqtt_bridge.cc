#include "mqtt_bridge.h"

#include <set>

#include "mqtt_topics.h"
#include "platform/clock.h"

namespace {

constexpr size_t kMaxEarlyStages = 256;

}  // namespace

MqttBridge::MqttBridge(UnitSource* source, MqttClient* client,
                       BridgeOptions options)
    : source_(source), client_(client), options_(std::move(options)) {}

MqttBridge::~MqttBridge() { Detach(); }

std::string MqttBridge::WillTopic(const std::string& site) {
  return SiteStatusTopic(site);
}

void MqttBridge::Attach() {
  if (attached_) return;
  attached_ = true;
  stopping_ = false;
  MqttClient::Handlers handlers;
  handlers.connected = [this] { OnConnected(); };
  handlers.disconnected = [] {};
  handlers.message = [this](const MqttMessage& m) { OnMessage(m); };
  client_->SetHandlers(std::move(handlers));
  UnitSource::Listener listener;
  listener.unitChanged = [this](const UnitState& s) { OnUnitChanged(s); };
  listener.deviceChanged = [this](const DeviceStatus& s) {
    OnDeviceChanged(s);
  };
  listener.controlChanged = [this](const ControlUpdate& u) {
    OnControlChanged(u);
  };
  listenerId_ = source_->AddListener(std::move(listener));
  // What the source already has; a listener call that came first is newer.
  std::vector<DeviceStatus> devices = source_->Devices();
  std::vector<UnitState> units = source_->Units();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (DeviceStatus& d : devices)
      if (d.site == options_.site || d.site.empty())
        devices_.try_emplace(d.device, std::move(d));
    for (UnitState& u : units)
      units_.try_emplace({u.device, u.unit}, std::move(u));
  }
  worker_ = std::thread([this] { Worker(); });
}

void MqttBridge::Detach() {
  if (!attached_) return;
  attached_ = false;
  {
    std::lock_guard<std::mutex> lock(controlMutex_);
    stopping_ = true;
    waiting_.clear();
  }
  controlWake_.notify_all();
  if (worker_.joinable()) worker_.join();
  source_->RemoveListener(listenerId_);
}

MqttBridge::Counters MqttBridge::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void MqttBridge::OnConnected() {
  const std::string base = "qor/" + options_.site + "/+/+/";
  // Control point names have one to three levels: location,
  // output/3, output/3/on_delay.
  // A request is acted on only if it was published without the retain
  // flag: so the flag must reach us as published, and copies the broker
  // kept are not wanted at all.
  const int options =
      MqttClient::kRetainAsPublished | MqttClient::kNoRetainedOnSubscribe;
  client_->Subscribe(base + "+/set", 0, options);
  client_->Subscribe(base + "+/+/set", 0, options);
  client_->Subscribe(base + "+/+/+/set", 0, options);

  std::lock_guard<std::mutex> lock(mutex_);
  // The broker may have lost, or never had, what was sent before: send
  // everything again, and clear the topics of points that went away while
  // the connection was down. The copies come from the listener calls, in
  // their order, so nothing older than what was already sent goes out.
  std::map<std::string, std::string> before;
  before.swap(sent_);
  ++counters_.republished;
  for (const auto& [device, d] : devices_)
    PublishRetainedLocked(DeviceStatusTopic(options_.site, device),
                          DeviceStatusPayload(d), 0);
  for (const auto& [key, u] : units_) PublishUnitLocked(u);
  for (const auto& [topic, payload] : before) {
    auto now = sent_.find(topic);
    if (payload.empty() || (now != sent_.end() && !now->second.empty()))
      continue;
    MqttMessage clear{topic, "", 0, true};
    if (client_->Publish(clear)) ++counters_.published;
    sent_[topic] = "";
  }
  // Last, so that whoever waits for "online" finds the state in place.
  MqttMessage online{SiteStatusTopic(options_.site), kOnline, 1, true};
  if (client_->Publish(online)) ++counters_.published;
}

void MqttBridge::PublishRetainedLocked(const std::string& topic,
                                       const std::string& payload, int qos) {
  auto it = sent_.find(topic);
  if (it != sent_.end() && it->second == payload) return;
  // An empty payload clears a retained topic; one never sent needs no
  // clearing.
  if (it == sent_.end() && payload.empty()) {
    sent_[topic] = payload;
    return;
  }
  MqttMessage m{topic, payload, qos, true};
  if (client_->Publish(m)) {
    sent_[topic] = payload;
    ++counters_.published;
  } else {
    // Not connected: the next connection republishes the current value.
    sent_.erase(topic);
  }
}

void MqttBridge::PublishUnitLocked(const UnitState& state) {
  std::string unit = UnitTopic(options_.site, state.device, state.unit) + "/";
  for (const auto& [point, payload] : PointPayloads(state))
    PublishRetainedLocked(unit + point, payload, 0);
  PublishRetainedLocked(unit + "state", StatePayload(state), 0);
}

void MqttBridge::OnUnitChanged(const UnitState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_[{state.device, state.unit}] = state;
  if (!client_->connected()) return;
  PublishUnitLocked(state);
}

void MqttBridge::OnDeviceChanged(const DeviceStatus& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[status.device] = status;
  if (!client_->connected()) return;
  PublishRetainedLocked(DeviceStatusTopic(options_.site, status.device),
                        DeviceStatusPayload(status), 0);
}

void MqttBridge::PublishResult(const Route& route,
                               const ControlUpdate& update) {
  MqttMessage m{route.topic, ControlResultPayload(update), 1, false};
  m.correlationData = route.correlationData;
  bool sent = client_->Publish(m);
  std::lock_guard<std::mutex> lock(mutex_);
  if (sent) ++counters_.published;
}

void MqttBridge::Refuse(const Route& route, const ControlUpdate& update,
                        const std::string& reason) {
  ControlUpdate refused = update;
  refused.stage = ControlStage::kRefused;
  refused.reason = reason;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.refused;
  }
  log_.Line("refused \"%s\" (answered on %s): %s",
            Printable(update.value).c_str(), Printable(route.topic).c_str(),
            Printable(reason, 200).c_str());
  PublishResult(route, refused);
}

void MqttBridge::OnMessage(const MqttMessage& message) {
  ParsedTopic topic = ParseTopic(message.topic);
  if (topic.kind != ParsedTopic::kSet || topic.site != options_.site) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.badMessages;
    log_.Line("ignored a message on an unknown topic %s",
              Printable(message.topic).c_str());
    return;
  }
  if (message.retain) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.retainedIgnored;
    }
    log_.Line(
        "ignored a retained request on %s: requests are never retained "
        "(clear it with an empty retained message)",
        Printable(message.topic).c_str());
    return;
  }
  // An empty message is how a retained one is deleted, never a request.
  if (message.payload.empty()) return;

  Route route;
  route.topic = message.responseTopic.empty() ? ResultTopicFor(message.topic)
                                              : message.responseTopic;
  route.correlationData = message.correlationData;
  ControlUpdate update;
  update.site = topic.site;
  update.device = topic.device;
  update.unit = topic.unit;
  update.value = message.payload.size() > kMaxSetPayload
                     ? message.payload.substr(0, 64)
                     : message.payload;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.requests;
  }
  std::optional<ControlPoint> point = ParseControlPoint(topic.point);
  if (point) update.point = *point;
  if (message.payload.size() > kMaxSetPayload)
    return Refuse(route, update,
                  "the value is " + std::to_string(message.payload.size()) +
                      " bytes long; at most " + std::to_string(kMaxSetPayload) +
                      " are read");
  if (!options_.allowControl)
    return Refuse(route, update,
                  "control is not enabled on this bridge (qor_mqtt runs "
                  "without --allow-control)");
  if (!point)
    return Refuse(route, update,
                  "\"" + Printable(topic.point) + "\" is no control point");
  if (!source_->Unit(topic.site, topic.device, topic.unit))
    return Refuse(route, update,
                  "unit " + std::to_string(topic.unit) + " of device " +
                      std::to_string(topic.device) +
                      " is not a configured unit of this site");
  ControlValue checked = CheckControlValue(*point, message.payload);
  if (!checked.ok) return Refuse(route, update, checked.error);

  std::unique_lock<std::mutex> lock(controlMutex_);
  if (waiting_.size() >= options_.maxWaitingRequests) {
    lock.unlock();
    return Refuse(route, update,
                  "too many requests are waiting for the driver; try again");
  }
  Pending pending{topic.site,
                  topic.device,
                  topic.unit,
                  *point,
                  checked.slotText,
                  route,
                  std::chrono::steady_clock::now(),
                  TheSystemClock().NowMs() + options_.waitLimitMs};
  waiting_.push_back(std::move(pending));
  lock.unlock();
  controlWake_.notify_one();
}

void MqttBridge::Worker() {
  while (true) {
    Pending p;
    {
      std::unique_lock<std::mutex> lock(controlMutex_);
      controlWake_.wait(lock,
                        [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      p = std::move(waiting_.front());
      waiting_.pop_front();
    }
    if (std::chrono::steady_clock::now() - p.made >
        std::chrono::milliseconds(options_.waitLimitMs)) {
      ControlUpdate late =
          NewControlUpdate(p.site, p.device, p.unit, p.point, p.value);
      Refuse(p.route, late,
             "not sent: it waited behind other requests for a slow driver "
             "longer than " +
                 std::to_string(options_.waitLimitMs) + " ms");
      continue;
    }
    ControlUpdate first = source_->RequestControl(
        p.site, p.device, p.unit, p.point, p.value, p.deadlineMs);
    if (first.stage == ControlStage::kRefused) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.refused;
    }
    PublishResult(p.route, first);
    if (IsFinalStage(first.stage)) continue;
    // Later stages come to OnControlChanged; one may already have.
    std::optional<ControlUpdate> early;
    {
      std::lock_guard<std::mutex> lock(controlMutex_);
      Route route = p.route;
      route.lastStage = first.stage;
      route.published = true;
      auto it = early_.find(first.id);
      if (it != early_.end()) {
        if (it->second.stage != first.stage) early = it->second;
        early_.erase(it);
      }
      if (!early || !IsFinalStage(early->stage)) routes_[first.id] = route;
    }
    if (early) PublishResult(p.route, *early);
  }
}

void MqttBridge::OnControlChanged(const ControlUpdate& update) {
  Route route;
  {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto it = routes_.find(update.id);
    if (it == routes_.end()) {
      // RequestControl has not returned yet: keep the stage for it.
      if (early_.size() >= kMaxEarlyStages) early_.erase(early_.begin());
      auto& kept = early_[update.id];
      if (kept.id == 0 || IsFinalStage(update.stage)) kept = update;
      return;
    }
    if (it->second.lastStage == update.stage) return;
    it->second.lastStage = update.stage;
    route = it->second;
    if (IsFinalStage(update.stage)) routes_.erase(it);
  }
  if (update.stage == ControlStage::kNotConfirmed) {
    log_.Line("%s of unit %d of device %d was not confirmed: %s",
              update.point.name().c_str(), update.unit, update.device,
              Printable(update.reason, 200).c_str());
  }
  PublishResult(route, update);
}
