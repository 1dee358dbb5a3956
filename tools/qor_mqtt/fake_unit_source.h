#ifndef QOR_TOOLS_QOR_MQTT_FAKE_UNIT_SOURCE_H_
#define QOR_TOOLS_QOR_MQTT_FAKE_UNIT_SOURCE_H_

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "unitview/device_hub.h"

// A UnitSource for the bridge's tests: units and devices are set by the
// test, which also decides how each control request goes. Listener calls
// happen on the thread that changes something (the test's).
class FakeUnitSource : public UnitSource {
 public:
  struct Request {
    std::string site;
    int device = 0;
    int unit = 0;
    ControlPoint point;
    std::string value;
  };
  // Answers a request; the default accepts it.
  std::function<ControlUpdate(const ControlUpdate& asked)> answer;

  void Start() override {}
  void Stop() override {}

  // Adds or replaces the unit and tells the listeners.
  void SetUnit(const UnitState& state);
  void SetDevice(const DeviceStatus& status);
  // Tells the listeners a later stage of a request.
  void Advance(const ControlUpdate& update);
  std::vector<Request> requests() const;

  std::vector<DeviceStatus> Devices() const override;
  std::vector<UnitState> Units() const override;
  std::optional<UnitState> Unit(const std::string& site, int device,
                                int unit) const override;
  int AddListener(Listener listener) override;
  void RemoveListener(int id) override;
  ControlUpdate RequestControl(const std::string& site, int device, int unit,
                               const ControlPoint& point,
                               std::string_view value) override;
  std::optional<ControlUpdate> Control(uint64_t id) const override;
  Counters GetCounters() const override;

 private:
  std::vector<Listener> ListenersCopy() const;

  mutable std::mutex mutex_;
  std::map<std::tuple<std::string, int, int>, UnitState> units_;
  std::map<std::pair<std::string, int>, DeviceStatus> devices_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
  uint64_t nextId_ = 1;
  std::vector<Request> requests_;
  std::map<uint64_t, ControlUpdate> controls_;
};

// A unit as the driver would publish it: slots from |slots| (relative slot
// to text), decoded with DecodeUnit.
UnitState FakeUnit(const std::string& site, int device, int unit,
                   const std::map<int, std::string>& slots);

#endif  // QOR_TOOLS_QOR_MQTT_FAKE_UNIT_SOURCE_H_
