#include "fake_unit_source.h"

UnitState FakeUnit(const std::string& site, int device, int unit,
                   const std::map<int, std::string>& slots) {
  UnitSlots texts;
  for (const auto& [slot, text] : slots) texts[slot] = text;
  UnitState s =
      DecodeUnit(site, device, unit, "127.0.1." + std::to_string(unit), texts);
  s.site = site;
  s.device = device;
  s.unit = unit;
  s.slots = texts;
  return s;
}

std::vector<UnitSource::Listener> FakeUnitSource::ListenersCopy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Listener> all;
  for (const auto& [id, l] : listeners_) all.push_back(l);
  return all;
}

void FakeUnitSource::SetUnit(const UnitState& state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    units_[{state.site, state.device, state.unit}] = state;
  }
  for (const Listener& l : ListenersCopy())
    if (l.unitChanged) l.unitChanged(state);
}

void FakeUnitSource::SetDevice(const DeviceStatus& status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[{status.site, status.device}] = status;
  }
  for (const Listener& l : ListenersCopy())
    if (l.deviceChanged) l.deviceChanged(status);
}

void FakeUnitSource::Advance(const ControlUpdate& update) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_[update.id] = update;
  }
  for (const Listener& l : ListenersCopy())
    if (l.controlChanged) l.controlChanged(update);
}

std::vector<FakeUnitSource::Request> FakeUnitSource::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<DeviceStatus> FakeUnitSource::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<DeviceStatus> all;
  for (const auto& [k, d] : devices_) all.push_back(d);
  return all;
}

std::vector<UnitState> FakeUnitSource::Units() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<UnitState> all;
  for (const auto& [k, u] : units_) all.push_back(u);
  return all;
}

std::optional<UnitState> FakeUnitSource::Unit(const std::string& site,
                                              int device, int unit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = units_.find({site, device, unit});
  if (it == units_.end()) return std::nullopt;
  return it->second;
}

int FakeUnitSource::AddListener(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_[nextListener_] = std::move(listener);
  return nextListener_++;
}

void FakeUnitSource::RemoveListener(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(id);
}

ControlUpdate FakeUnitSource::RequestControl(const std::string& site,
                                             int device, int unit,
                                             const ControlPoint& point,
                                             std::string_view value) {
  ControlUpdate asked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({site, device, unit, point, std::string(value)});
    asked.id = nextId_++;
  }
  asked.site = site;
  asked.device = device;
  asked.unit = unit;
  asked.point = point;
  asked.value = std::string(value);
  asked.stage = ControlStage::kAccepted;
  ControlUpdate result = answer ? answer(asked) : asked;
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[result.id] = result;
  return result;
}

std::optional<ControlUpdate> FakeUnitSource::Control(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls_.find(id);
  if (it == controls_.end()) return std::nullopt;
  return it->second;
}

UnitSource::Counters FakeUnitSource::GetCounters() const { return {}; }
