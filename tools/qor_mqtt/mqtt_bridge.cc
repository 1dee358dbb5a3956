#include "mqtt_bridge.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <vector>

#include "mqtt/mqtt_topics.h"
#include "nlohmann/json.hpp"
#include "platform/clock.h"

namespace {

constexpr size_t kMaxEarlyStages = 256;
// Requests remembered against a second delivery; beyond that many within
// their deadlines, more are refused as busy.
constexpr size_t kMaxTaken = 4096;
// A request's route is kept this long past its deadline for the stages
// after accepted (the hub confirms within 10 s of accepting).
constexpr int64_t kRouteKeepMs = 60000;

// The host's name as the owner record says it.
std::string ThisHostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  return host;
}

// Whether |pid| is a qor_mqtt that runs on this host. A process this one
// may not look at counts as one (the service's view of /proc may hide it):
// better to end than to share the site.
bool BridgeProcessRuns(long pid) {
  if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
    return false;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return !std::getline(comm, name) || name == "qor_mqtt";
}

int64_t WallNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

MqttBridge::MqttBridge(UnitSource* source, MqttClient* client,
                       BridgeOptions options)
    : source_(source), client_(client), options_(std::move(options)) {
  for (const auto& [device, path] : options_.namesFiles)
    names_[device] = std::make_unique<NamesFile>(path);
  discovery_.prefix = options_.haDiscoveryPrefix;
  discovery_.site = options_.site;
  discovery_.allowControl = options_.allowControl;
  discovery_.allowProtected = options_.allowProtected;
}

MqttBridge::~MqttBridge() { Detach(); }

std::string MqttBridge::WillTopic(const std::string& site) {
  return SiteStatusTopic(site);
}

std::string MqttBridge::OwnerTopic(const std::string& site) {
  return "qor/" + site + "/owner";
}

void MqttBridge::Attach() {
  if (attached_) return;
  attached_ = true;
  MqttClient::Handlers handlers;
  handlers.connected = [this] { OnConnected(); };
  handlers.disconnected = [] {};
  handlers.message = [this](const MqttMessage& m) { OnMessage(m); };
  handlers.link = options_.link;
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
      if (units_.try_emplace({u.device, u.unit}, u).second)
        NoteChangesLocked(u);
  }
  ControlQueue::Options queueOptions;
  queueOptions.waitingPerDevice = options_.maxWaitingRequests;
  queueOptions.requestsPerSecond = options_.requestsPerSecond;
  queue_ = std::make_unique<ControlQueue>(source_, queueOptions);
  if (names_.empty()) return;
  namesWatchStop_ = false;
  namesWatch_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(namesWatchMutex_);
    while (!namesWatchWake_.wait_for(lock, std::chrono::seconds(2),
                                     [this] { return namesWatchStop_; })) {
      lock.unlock();
      RefreshNames();
      lock.lock();
    }
  });
}

void MqttBridge::Detach() {
  if (!attached_) return;
  attached_ = false;
  if (namesWatch_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(namesWatchMutex_);
      namesWatchStop_ = true;
    }
    namesWatchWake_.notify_all();
    namesWatch_.join();
  }
  queue_->Stop();  // waiting requests are answered refused
  queue_.reset();
  source_->RemoveListener(listenerId_);
}

MqttBridge::Counters MqttBridge::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void MqttBridge::OnConnected() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    announced_ = false;
    siteStatusSeen_.clear();
    ownerSeen_.clear();
  }
  // Who holds the site: its status and owner record, retained, arrive
  // before the acknowledgement of the last subscription below. Not our own
  // messages: a stale Last Will is someone else's "offline".
  client_->Subscribe(SiteStatusTopic(options_.site), 1, MqttClient::kNoLocal);
  client_->Subscribe(OwnerTopic(options_.site), 1, MqttClient::kNoLocal);
  const std::string base = "qor/" + options_.site + "/+/+/";
  // Control point names have one to three levels: location,
  // output/3, output/3/on_delay.
  // A request is acted on only if it was published without the retain
  // flag: so the flag must reach us as published, and copies the broker
  // kept are not wanted at all.
  const int options =
      MqttClient::kRetainAsPublished | MqttClient::kNoRetainedOnSubscribe;
  // What the site's bridges left on the broker, to clear the units no
  // longer configured (see OnOwnState).
  client_->Subscribe(base + "state", 0, MqttClient::kNoLocal);
  client_->Subscribe(base + "+/set", 0, options);
  client_->Subscribe(base + "+/+/set", 0, options);
  client_->SubscribeThen(base + "+/+/+/set", 0, options,
                         [this] { OnOwnerKnown(); });
}

void MqttBridge::AnnounceLocked() {
  announced_ = true;
  MqttMessage owner{OwnerTopic(options_.site), OwnerPayload(options_.clientId),
                    1, true};
  if (client_->Publish(owner)) ++counters_.published;
  // The broker may have lost, or never had, what was sent before: send
  // everything again, and clear the topics of points that went away while
  // the connection was down. The copies come from the listener calls, in
  // their order, so nothing older than what was already sent goes out.
  std::map<std::string, std::string> before;
  before.swap(sent_);
  discoveryBasis_.clear();
  ++counters_.republished;
  if (!options_.haDiscoveryPrefix.empty()) {
    auto [topic, payload] = SiteDiscoveryConfig(discovery_);
    PublishRetainedLocked(topic, payload, 0);
  }
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
  PublishRetainedLocked(
      SiteControlTopic(options_.site),
      options_.allowControl ? kControlEnabled : kControlDisabled, 1);
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
  std::optional<UnitNames> names;
  if (auto file = names_.find(state.device); file != names_.end()) {
    names = file->second->Unit(state.unit);
    namesSent_[{state.device, state.unit}] = *names;
  }
  PublishRetainedLocked(
      unit + "state",
      StatePayload(state, &changed_[{state.device, state.unit}],
                   names ? &*names : nullptr),
      0);
  PublishDiscoveryLocked(state);
}

void MqttBridge::PublishDiscoveryLocked(const UnitState& state) {
  if (options_.haDiscoveryPrefix.empty()) return;
  DiscoveryBasis basis;
  basis.location = state.location;
  for (const OutputPoint& o : state.outputs)
    basis.reported += "o" + std::to_string(o.number) +
                      (o.onDelaySeconds ? "d" : "");
  for (const GpiPoint& g : state.gpis)
    basis.reported += "g" + std::to_string(g.number);
  for (const FusePoint& f : state.fuses)
    basis.reported += "f" + std::to_string(f.number);
  if (state.temperatureCelsius) basis.reported += "t";
  if (state.temperatureAlarm) basis.reported += "a";
  auto file = names_.find(state.device);
  if (file != names_.end()) basis.names = file->second->Unit(state.unit);
  auto last = discoveryBasis_.find({state.device, state.unit});
  if (last != discoveryBasis_.end() && last->second == basis) return;
  // QoS 0 as for the state, and for the same reason: a copy the library
  // kept across a reconnection would put an old config back.
  for (const auto& [topic, payload] :
       UnitDiscoveryConfigs(discovery_, state, basis.names)) {
    if (payload.empty())
      ClearOnceLocked(topic);
    else
      PublishRetainedLocked(topic, payload, 0);
  }
  discoveryBasis_[{state.device, state.unit}] = std::move(basis);
}

void MqttBridge::ClearOnceLocked(const std::string& topic) {
  auto it = sent_.find(topic);
  if (it != sent_.end() && it->second.empty()) return;
  MqttMessage clear{topic, "", 0, true};
  if (client_->Publish(clear)) {
    ++counters_.published;
    sent_[topic] = "";
  }
}

void MqttBridge::NoteChangesLocked(const UnitState& state) {
  std::map<std::string, int64_t>& times = changed_[{state.device, state.unit}];
  std::map<std::string, std::string>& last =
      lastPoints_[{state.device, state.unit}];
  const int64_t now = WallNowMs();
  std::map<std::string, Inherited>& inherited =
      inherited_[{state.device, state.unit}];
  for (auto& [point, payload] : PointPayloads(state)) {
    auto it = last.find(point);
    if (it != last.end() && it->second == payload) continue;
    // A value that is still what the bridge before us published keeps the
    // time it changed then (the unit may look stale for a moment first,
    // while the source finds its driver).
    auto before = inherited.find(point);
    if (payload.empty())
      times.erase(point);
    else if (before != inherited.end() && before->second.payload == payload)
      times[point] = before->second.ms;
    else
      times[point] = now;
    last[point] = std::move(payload);
  }
  if (state.live) inherited_.erase({state.device, state.unit});
}

void MqttBridge::InheritLocked(int device, int unit,
                               const std::string& payload) {
  std::optional<UnitState> old =
      ParseStatePayload(options_.site, device, unit, payload, nullptr);
  nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
  if (!old || !j.is_object() || !j.contains("changed") ||
      !j["changed"].is_object())
    return;
  std::map<std::string, std::string> points = PointPayloads(*old);
  std::map<std::string, std::string>& last = lastPoints_[{device, unit}];
  std::map<std::string, int64_t>& times = changed_[{device, unit}];
  auto state = units_.find({device, unit});
  const bool seenLive = state != units_.end() && state->second.live;
  bool adopted = false;
  for (auto& [point, text] : j["changed"].items()) {
    std::optional<int64_t> ms = text.is_string()
                                    ? ParseDeadlineText(text.get<std::string>())
                                    : std::nullopt;
    auto was = points.find(point);
    if (!ms || was == points.end() || was->second.empty()) continue;
    if (!seenLive) inherited_[{device, unit}][point] = {was->second, *ms};
    auto now = last.find(point);
    if (now != last.end() && now->second == was->second && times[point] > *ms) {
      times[point] = *ms;
      adopted = true;
    }
  }
  if (adopted && state != units_.end() && client_->connected())
    PublishUnitLocked(state->second);
}

void MqttBridge::ClearUnitLocked(int device, int unit) {
  units_.erase({device, unit});
  changed_.erase({device, unit});
  lastPoints_.erase({device, unit});
  inherited_.erase({device, unit});
  discoveryBasis_.erase({device, unit});
  const std::string base = UnitTopic(options_.site, device, unit) + "/";
  std::vector<std::string> topics = {base + "state"};
  for (const auto& [point, payload] : PointPayloads(UnitState()))
    topics.push_back(base + point);
  if (!options_.haDiscoveryPrefix.empty())
    for (std::string& topic : UnitDiscoveryTopics(discovery_, device, unit))
      topics.push_back(std::move(topic));
  for (const std::string& topic : topics) {
    // Nothing goes out before the bridge holds the site: until then the
    // topic counts as one the broker holds, which the announcement clears.
    if (!announced_) {
      sent_[topic] = "(left by an earlier bridge)";
      continue;
    }
    MqttMessage clear{topic, "", 0, true};
    if (client_->Publish(clear)) {
      ++counters_.published;
      sent_.erase(topic);
    }
    // Otherwise sent_ keeps it, and the next connection clears it.
  }
}

void MqttBridge::OnUnitChanged(const UnitState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A unit the settings no longer have: its last change may come after
  // the device's status that dropped it.
  auto device = devices_.find(state.device);
  if (device != devices_.end() &&
      std::count(device->second.units.begin(), device->second.units.end(),
                 state.unit) == 0)
    return;
  units_[{state.device, state.unit}] = state;
  NoteChangesLocked(state);
  if (!announced_ || !client_->connected()) return;
  PublishUnitLocked(state);
}

void MqttBridge::RefreshNames() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!announced_ || !client_->connected()) return;
  for (const auto& [key, state] : units_) {
    auto file = names_.find(key.first);
    if (file == names_.end()) continue;
    auto sent = namesSent_.find(key);
    if (sent != namesSent_.end() &&
        sent->second == file->second->Unit(key.second))
      continue;
    PublishUnitLocked(state);
  }
}

void MqttBridge::OnDeviceChanged(const DeviceStatus& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[status.device] = status;
  // Units gone from the settings leave nothing behind on the broker.
  std::vector<int> gone;
  for (const auto& [key, state] : units_)
    if (key.first == status.device &&
        std::count(status.units.begin(), status.units.end(), key.second) == 0)
      gone.push_back(key.second);
  for (int unit : gone) ClearUnitLocked(status.device, unit);
  if (!announced_ || !client_->connected()) return;
  PublishRetainedLocked(DeviceStatusTopic(options_.site, status.device),
                        DeviceStatusPayload(status), 0);
}

void MqttBridge::OnOwnState(const ParsedTopic& topic,
                            const MqttMessage& message) {
  // An empty payload is a clearing, ours or another's.
  if (message.payload.empty()) return;
  bool served = false;
  bool configured = false;
  for (const DeviceStatus& d : source_->Devices()) {
    if (d.device != topic.device) continue;
    served = true;
    configured = std::count(d.units.begin(), d.units.end(), topic.unit) != 0;
  }
  // Another bridge of the site may serve other devices: only the units of
  // devices served here are ours to clear.
  if (!served) return;
  if (configured) {
    std::lock_guard<std::mutex> lock(mutex_);
    return InheritLocked(topic.device, topic.unit, message.payload);
  }
  log_.Line(
      "cleared the topics of unit %d of device %d: it is no longer "
      "configured",
      topic.unit, topic.device);
  std::lock_guard<std::mutex> lock(mutex_);
  ClearUnitLocked(topic.device, topic.unit);
}

void MqttBridge::PublishResult(const Route& route, const ControlUpdate& update,
                               int qos) {
  ControlUpdate shown = update;
  shown.id = route.id;
  MqttMessage m{route.topic, ControlResultPayload(shown, route.point), qos,
                false};
  m.correlationData = route.correlationData;
  bool sent = client_->Publish(m);
  std::lock_guard<std::mutex> lock(mutex_);
  if (sent) ++counters_.published;
}

void MqttBridge::Refuse(const Route& route, const ControlUpdate& update,
                        const std::string& reason, ControlStage stage,
                        const ControlRequester* record) {
  ControlUpdate refused = update;
  refused.stage = stage;
  refused.reason = reason;
  if (record != nullptr) source_->RecordRefusal(*record, refused);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.refused;
  }
  log_.Line("%s \"%s\" on %s (answered on %s): %s", ControlStageName(stage),
            Printable(update.value).c_str(), Printable(route.point).c_str(),
            Printable(route.topic).c_str(), Printable(reason, 200).c_str());
  PublishResult(route, refused, 0);
}

MqttBridge::Taken MqttBridge::Take(const std::string& key, int64_t deadlineMs) {
  const int64_t now = TheSystemClock().NowMs();
  std::lock_guard<std::mutex> lock(controlMutex_);
  while (!takenOrder_.empty() && takenOrder_.front().first < now) {
    taken_.erase(takenOrder_.front().second);
    takenOrder_.pop_front();
  }
  if (taken_.count(key) != 0) return Taken::kBefore;
  if (taken_.size() >= kMaxTaken) return Taken::kFull;
  taken_.insert(key);
  takenOrder_.emplace_back(deadlineMs, key);
  return Taken::kNow;
}

// Whether |message| on |topic| is no request: a topic that is not a set
// topic of this site, a retained copy, or a clearing. Said and counted.
bool MqttBridge::NotARequest(const MqttMessage& message,
                             const ParsedTopic& topic) {
  if (topic.kind != ParsedTopic::kSet || topic.site != options_.site) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.badMessages;
    log_.Line("ignored a message on an unknown topic %s",
              Printable(message.topic).c_str());
    return true;
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
    return true;
  }
  // An empty message is how a retained one is deleted, never a request.
  return message.payload.empty();
}

// The request's deadline on this host's clock: |arrivedMs| + the time a
// request lives, or the one its publisher gave when that is sooner; a
// reason, with |stage|, when the given one cannot be taken.
std::optional<std::string> MqttBridge::DeadlineOf(const MqttMessage& message,
                                                  int64_t arrivedMs,
                                                  int64_t* deadlineMs,
                                                  ControlStage* stage) {
  *deadlineMs = ControlDeadlineFrom(arrivedMs);
  if (message.deadline.empty()) return std::nullopt;
  std::optional<int64_t> wall = ParseDeadlineText(message.deadline);
  if (!wall)
    return "the deadline \"" + Printable(message.deadline) +
           "\" is not an RFC 3339 UTC time such as "
           "2026-12-09T10:11:12.345Z; nothing was sent";
  const int64_t leftMs = *wall - WallNowMs();
  if (leftMs <= 0) {
    *stage = ControlStage::kExpired;
    return "not sent: its deadline passed " + std::to_string(-leftMs) +
           " ms before it reached the bridge";
  }
  if (leftMs > kControlDeadlineMs + kClockSkewToleranceMs)
    return "its deadline is " + std::to_string(leftMs) +
           " ms ahead of this host's clock, more than the " +
           std::to_string(kControlDeadlineMs) + " ms a request lives plus " +
           std::to_string(kClockSkewToleranceMs) +
           " ms: clock skew between the requester and this host (keep "
           "both synchronised with NTP); nothing was sent";
  // Never longer than a request made here would have.
  *deadlineMs = arrivedMs + std::min<int64_t>(leftMs, kControlDeadlineMs);
  return std::nullopt;
}

// Whether the request is taken now: false when it was delivered before
// (dropped) or too many are remembered (refused busy).
bool MqttBridge::TakeOnce(const MqttMessage& message, const Route& route,
                          ControlUpdate& update, int64_t deadlineMs) {
  if (message.responseTopic.empty() || message.correlationData.empty())
    return true;
  Taken taken = Take(route.topic + '\n' + route.correlationData, deadlineMs);
  if (taken == Taken::kFull) {
    update.busy = true;
    Refuse(route, update,
           "too many requests within their deadlines; nothing was sent");
    return false;
  }
  if (taken == Taken::kBefore) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.duplicates;
    }
    log_.Line(
        "ignored a second delivery of the request on %s (answered on "
        "%s): it was taken once already",
        Printable(message.topic).c_str(), Printable(route.topic).c_str());
    return false;
  }
  return true;
}

// A `set` payload is the value itself ("1"), or, to name the protected
// output it switches off, {"value":"0","confirm":"NAME"}: |value| and
// |confirm| from it, or why it is neither. A JSON value without "confirm"
// is no value of any point, as ever.
std::optional<std::string> MqttBridge::ParseSetBody(const std::string& payload,
                                                    std::string* value,
                                                    std::string* confirm) {
  size_t first = payload.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || payload[first] != '{') return std::nullopt;
  nlohmann::json body = nlohmann::json::parse(payload, nullptr, false);
  auto text = [&](const char* key, std::string* out) {
    auto found = body.find(key);
    if (found == body.end() || !found->is_string()) return false;
    *out = found->get<std::string>();
    return true;
  };
  value->clear();
  if (body.is_discarded() || !body.is_object() || body.size() != 2 ||
      !text("value", value) || !text("confirm", confirm))
    return std::string(
        "a `set` payload is the value itself, or "
        "{\"value\":\"0\",\"confirm\":\"NAME\"} with texts; nothing was sent");
  return std::nullopt;
}

// Why the unit of |topic| cannot take |payload| for |point| now, if it
// cannot; |checked| gets the value's slot text. A protected output is
// switched off only with |confirm| its name, by a bridge that allows it.
std::optional<std::string> MqttBridge::UnitRefusal(const ParsedTopic& topic,
                                                   const ControlPoint& point,
                                                   const std::string& payload,
                                                   const std::string& confirm,
                                                   ControlValue* checked) {
  const std::string unitName = "unit " + std::to_string(topic.unit) +
                               " of device " + std::to_string(topic.device);
  std::optional<UnitState> unit =
      source_->Unit(topic.site, topic.device, topic.unit);
  if (!unit) return unitName + " is not a configured unit of this site";
  *checked = CheckSetPayload(point, payload);
  if (!checked->ok) return checked->error;
  if (point.kind == ControlKind::kOutputState && checked->slotText == "0") {
    auto file = names_.find(topic.device);
    if (file != names_.end()) {
      const UnitNames names = file->second->Unit(topic.unit);
      // Without a name of its own the output is confirmed by its point
      // name, as on the web.
      const std::string name =
          names.NameOf(point.name()).value_or(point.name());
      const std::string what = "output " + std::to_string(point.number) + " (" +
                               name + ") is protected: ";
      if (names.protectedOutputs.count(point.number) &&
          !options_.allowProtected)
        return what +
               "it is switched off only by an admin on the web page, or "
               "through a bridge that runs with --allow-protected; nothing "
               "was sent";
      if (names.protectedOutputs.count(point.number) && confirm != name)
        return what +
               "to switch it off, confirm with its name: send "
               "{\"value\":\"0\",\"confirm\":\"" +
               name + "\"}; nothing was sent";
    }
  }
  // Said now, rather than accepted and "not confirmed" once the unit has
  // had its time to show a value it cannot show.
  if (!unit->answering())
    return unitName + " is not answering (comms " +
           CommsName(unit->knownComms()) + "); nothing was sent";
  return std::nullopt;
}

void MqttBridge::OnMessage(const MqttMessage& message) {
  if (OnOwnerMessage(message)) return;
  ParsedTopic topic = ParseTopic(message.topic);
  if (topic.kind == ParsedTopic::kUnitState && topic.site == options_.site)
    return OnOwnState(topic, message);
  if (NotARequest(message, topic)) return;
  const int64_t arrivedMs = TheSystemClock().NowMs();

  Route route;
  route.topic = ResultTopicFor(message.topic);
  route.correlationData = message.correlationData;
  route.point = topic.point;
  const bool responseTopicOk = message.responseTopic.empty() ||
                               ValidResponseTopic(message.responseTopic);
  if (!message.responseTopic.empty() && responseTopicOk)
    route.topic = message.responseTopic;
  {
    std::lock_guard<std::mutex> lock(controlMutex_);
    route.id = ++nextId_;
  }
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
  // Who asks, for the device's trail: the site, and the user the
  // requester names, which nothing here can check.
  ControlRequester by{"mqtt", "site " + options_.site, options_.broker, "", ""};
  if (!message.user.empty())
    by.who += ", user " + Printable(message.user, 64) + " (not verified)";
  // Refusals of a request for a control point are in its device's trail.
  const ControlRequester* record = point ? &by : nullptr;
  // Never published to: an answer there could land on another site's
  // `set` topics, or overwrite a state that a viewer reads.
  if (!responseTopicOk)
    return Refuse(route, update,
                  "the response topic \"" +
                      Printable(message.responseTopic, 100) +
                      "\" is not under " + std::string(kResponsePrefix) +
                      "; nothing was sent",
                  ControlStage::kRefused, record);
  if (message.payload.size() > kMaxSetPayload)
    return Refuse(route, update,
                  "the value is " + std::to_string(message.payload.size()) +
                      " bytes long; at most " + std::to_string(kMaxSetPayload) +
                      " are read",
                  ControlStage::kRefused, record);
  if (!options_.allowControl)
    return Refuse(route, update,
                  "control is not enabled on this bridge (qor_mqtt runs "
                  "without --allow-control)",
                  ControlStage::kRefused, record);
  if (!point)
    return Refuse(route, update,
                  "\"" + Printable(topic.point) + "\" is no control point");
  std::string value = message.payload, confirm;
  if (std::optional<std::string> why =
          ParseSetBody(message.payload, &value, &confirm))
    return Refuse(route, update, *why, ControlStage::kRefused, record);
  update.value = value;

  int64_t deadlineMs = 0;
  ControlStage stage = ControlStage::kRefused;
  if (std::optional<std::string> why =
          DeadlineOf(message, arrivedMs, &deadlineMs, &stage))
    return Refuse(route, update, *why, stage, record);
  ControlValue checked;
  if (std::optional<std::string> why =
          UnitRefusal(topic, *point, value, confirm, &checked))
    return Refuse(route, update, *why, ControlStage::kRefused, record);

  // The same request delivered again (a QoS 1 publisher's resend after its
  // reconnection, a second broker on the way) is the same request: it
  // already has its answers, and a refusal now would contradict them.
  if (!TakeOnce(message, route, update, deadlineMs)) return;
  route.forgetAtMs = deadlineMs + kRouteKeepMs;
  queue_->Submit(
      message.topic, topic.site, topic.device, topic.unit, *point,
      checked.slotText, deadlineMs,
      [this, route](const ControlUpdate& first) { OnFirstStage(route, first); },
      by);
}

void MqttBridge::OnFirstStage(Route route, const ControlUpdate& first) {
  if (first.id == 0) {
    // The queue's own answer (busy, expired while waiting, stopping): the
    // source never saw the request.
    if (first.stage == ControlStage::kRefused ||
        first.stage == ControlStage::kExpired)
      return Refuse(route, first, first.reason, first.stage);
    return PublishResult(route, first, 0);
  }
  if (first.stage == ControlStage::kRefused ||
      first.stage == ControlStage::kExpired) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.refused;
  }
  PublishResult(route, first, 1);
  if (IsFinalStage(first.stage)) return;
  // Later stages come to OnControlChanged; one may already have.
  std::optional<ControlUpdate> early;
  {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const int64_t now = TheSystemClock().NowMs();
    for (auto it = routes_.begin(); it != routes_.end();)
      it = it->second.forgetAtMs < now ? routes_.erase(it) : std::next(it);
    route.lastStage = first.stage;
    auto it = early_.find(first.id);
    if (it != early_.end()) {
      if (it->second.stage != first.stage) early = it->second;
      early_.erase(it);
    }
    if (!early || !IsFinalStage(early->stage)) routes_[first.id] = route;
  }
  if (early) PublishResult(route, *early, 1);
}

void MqttBridge::OnControlChanged(const ControlUpdate& update) {
  Route route;
  {
    std::lock_guard<std::mutex> lock(controlMutex_);
    auto it = routes_.find(update.id);
    if (it == routes_.end()) {
      // The queue has not answered yet: keep the stage for it.
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
  PublishResult(route, update, 1);
}

// Who holds the site. Two bridges with one site name would overwrite each
// other's topics; with one client id they would take the session from each
// other for ever, each connection publishing everything again. So each
// bridge connects with a client id of its own, and announces itself only
// after reading the site's status and owner record: the newer of two live
// bridges ends before publishing anything. A record of this bridge's own
// host whose process has gone is its own past (a crash and a restart) and
// is taken over; so is any record while the site is offline.

std::string MqttBridge::OwnerPayload(const std::string& clientId) {
  return nlohmann::json{{"client", clientId},
                        {"host", ThisHostName()},
                        {"pid", static_cast<long>(getpid())},
                        {"since", DeadlineText(WallNowMs())}}
      .dump();
}

bool MqttBridge::OnOwnerMessage(const MqttMessage& message) {
  const bool status = message.topic == SiteStatusTopic(options_.site);
  if (!status && message.topic != OwnerTopic(options_.site)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!announced_) {
    (status ? siteStatusSeen_ : ownerSeen_) = message.payload;
    return true;
  }
  // The Last Will of a session of ours the broker held on to (the process
  // before a crash, a connection it has not yet given up): not true now.
  if (status && message.payload == kOffline && client_->connected()) {
    log_.Line(
        "the broker said site %s is offline (the Last Will of an "
        "earlier connection); saying online again",
        options_.site.c_str());
    MqttMessage online{SiteStatusTopic(options_.site), kOnline, 1, true};
    if (client_->Publish(online)) ++counters_.published;
  }
  return true;
}

void MqttBridge::OnOwnerKnown() {
  std::string why;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endedByOwner_) return;
    if (siteStatusSeen_ != kOnline || !HeldByAnotherLocked(ownerSeen_, &why)) {
      AnnounceLocked();
      return;
    }
    endedByOwner_ = true;
  }
  if (options_.anotherBridge) options_.anotherBridge(why);
}

bool MqttBridge::HeldByAnotherLocked(const std::string& payload,
                                     std::string* why) const {
  nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
  // No record (a bridge before records, or none ever): nothing to go by.
  if (!j.is_object() || !j["client"].is_string() || !j["host"].is_string() ||
      !j["pid"].is_number_integer())
    return false;
  const std::string client = j["client"];
  const std::string host = j["host"];
  const long pid = j["pid"];
  if (client == options_.clientId) return false;
  if (host == ThisHostName() && !BridgeProcessRuns(pid)) return false;
  *why = "site " + options_.site + " is held by the bridge " +
         Printable(client) + " (" + Printable(host) + ", pid " +
         std::to_string(pid) + ", since " +
         Printable(j.value("since", std::string("?"))) +
         "), which is online: two bridges of one site would overwrite each "
         "other; stop one of them or give this one another --site";
  return true;
}
