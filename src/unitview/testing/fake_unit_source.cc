#include "unitview/testing/fake_unit_source.h"

UnitState FakeUnit(const std::string& site, int device, int unit,
                   const std::map<int, std::string>& slots) {
  UnitSlots texts;
  for (const auto& [slot, text] : slots) texts[slot] = text;
  return DecodeUnit(site, device, unit, "127.0.1." + std::to_string(unit),
                    texts);
}

template <typename Call>
void FakeUnitSource::Notify(Call call) {
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  for (const auto& [id, l] : listeners_) call(l);
}

void FakeUnitSource::SetUnit(const UnitState& state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    units_[{state.site, state.device, state.unit}] = state;
    counters_.slotWrites++;
  }
  Notify([&](const Listener& l) {
    if (l.unitChanged) l.unitChanged(state);
  });
}

void FakeUnitSource::SetDevice(const DeviceStatus& status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[{status.site, status.device}] = status;
  }
  Notify([&](const Listener& l) {
    if (l.deviceChanged) l.deviceChanged(status);
  });
}

void FakeUnitSource::AnswerControl(ControlStage stage, std::string reason) {
  answer = [stage, reason](const ControlUpdate& asked) {
    ControlUpdate u = asked;
    u.stage = stage;
    u.reason = reason;
    return u;
  };
}

void FakeUnitSource::Advance(const ControlUpdate& update) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_[update.id] = update;
  }
  Notify([&](const Listener& l) {
    if (l.controlChanged) l.controlChanged(update);
  });
}

void FakeUnitSource::FinishControl(uint64_t id, ControlStage stage) {
  std::optional<ControlUpdate> update = Control(id);
  if (!update) return;
  update->stage = stage;
  Advance(*update);
}

std::vector<FakeUnitSource::Request> FakeUnitSource::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FakeUnitSource::ListenerCount() const {
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  return listeners_.size();
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
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  listeners_[nextListener_] = std::move(listener);
  return nextListener_++;
}

void FakeUnitSource::RemoveListener(int id) {
  std::lock_guard<std::recursive_mutex> dispatch(dispatchMutex_);
  listeners_.erase(id);
}

ControlUpdate FakeUnitSource::RequestControl(const std::string& site,
                                             int device, int unit,
                                             const ControlPoint& point,
                                             std::string_view value,
                                             int64_t deadlineMs) {
  ControlUpdate asked = NewControlUpdate(site, device, unit, point, value);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(
        {site, device, unit, point, std::string(value), deadlineMs});
    asked.id = nextId_++;
    counters_.controlRequests++;
  }
  asked.stage = ControlStage::kAccepted;
  ControlUpdate result = answer ? answer(asked) : asked;
  std::lock_guard<std::mutex> lock(mutex_);
  if (result.stage == ControlStage::kRefused) counters_.controlRefused++;
  controls_[result.id] = result;
  return result;
}

std::optional<ControlUpdate> FakeUnitSource::Control(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls_.find(id);
  if (it == controls_.end()) return std::nullopt;
  return it->second;
}

UnitSource::Counters FakeUnitSource::GetCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void FakeUnitSource::RecordRefusal(const ControlRequester& by,
                                   const ControlUpdate& refusal) {
  std::lock_guard<std::mutex> lock(mutex_);
  recorded_.push_back({by, refusal});
}

std::vector<FakeUnitSource::Recorded> FakeUnitSource::recorded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recorded_;
}
