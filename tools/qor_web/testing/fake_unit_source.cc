#include "testing/fake_unit_source.h"

void FakeUnitSource::SetUnit(const UnitState& state) {
  std::map<int, Listener> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    units_[{state.site, state.device, state.unit}] = state;
    counters_.slotWrites++;
    listeners = listeners_;
  }
  std::lock_guard<std::mutex> call(callMutex_);
  for (auto& [id, l] : listeners)
    if (l.unitChanged) l.unitChanged(state);
}

void FakeUnitSource::SetDevices(std::vector<DeviceStatus> devices) {
  std::map<int, Listener> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_ = devices;
    listeners = listeners_;
  }
  std::lock_guard<std::mutex> call(callMutex_);
  for (auto& [id, l] : listeners)
    for (const DeviceStatus& d : devices)
      if (l.deviceChanged) l.deviceChanged(d);
}

void FakeUnitSource::AnswerControl(ControlStage stage, std::string reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = stage;
  answerReason_ = std::move(reason);
}

void FakeUnitSource::FinishControl(uint64_t id, ControlStage stage) {
  std::map<int, Listener> listeners;
  ControlUpdate update;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = updates_.find(id);
    if (found == updates_.end()) return;
    found->second.stage = stage;
    update = found->second;
    listeners = listeners_;
  }
  std::lock_guard<std::mutex> call(callMutex_);
  for (auto& [i, l] : listeners)
    if (l.controlChanged) l.controlChanged(update);
}

std::vector<FakeUnitSource::Request> FakeUnitSource::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FakeUnitSource::ListenerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_.size();
}

std::vector<DeviceStatus> FakeUnitSource::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

std::vector<UnitState> FakeUnitSource::Units() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<UnitState> units;
  for (auto& [key, state] : units_) units.push_back(state);
  return units;
}

std::optional<UnitState> FakeUnitSource::Unit(const std::string& site,
                                              int device, int unit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = units_.find({site, device, unit});
  if (found == units_.end()) return std::nullopt;
  return found->second;
}

int FakeUnitSource::AddListener(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_[nextListener_] = std::move(listener);
  return nextListener_++;
}

void FakeUnitSource::RemoveListener(int id) {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(id);
}

ControlUpdate FakeUnitSource::RequestControl(const std::string& site,
                                             int device, int unit,
                                             const ControlPoint& point,
                                             std::string_view value) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back({site, device, unit, point, std::string(value)});
  ControlUpdate update;
  update.id = requests_.size();
  update.site = site;
  update.device = device;
  update.unit = unit;
  update.point = point;
  update.value = std::string(value);
  update.stage = answer_;
  update.reason = answerReason_;
  updates_[update.id] = update;
  counters_.controlRequests++;
  if (answer_ == ControlStage::kRefused) counters_.controlRefused++;
  return update;
}

std::optional<ControlUpdate> FakeUnitSource::Control(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = updates_.find(id);
  if (found == updates_.end()) return std::nullopt;
  return found->second;
}

UnitSource::Counters FakeUnitSource::GetCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}
