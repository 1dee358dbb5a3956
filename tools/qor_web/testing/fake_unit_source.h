#ifndef QOR_TOOLS_QOR_WEB_TESTING_FAKE_UNIT_SOURCE_H_
#define QOR_TOOLS_QOR_WEB_TESTING_FAKE_UNIT_SOURCE_H_

#include <map>
#include <mutex>
#include <tuple>

#include "unitview/device_hub.h"

// A UnitSource whose units, devices and control answers a test sets, for
// testing what is built on the interface without infodrivers. Listeners
// are called on the thread that changes something. Thread-safe.
class FakeUnitSource : public UnitSource {
 public:
  struct Request {
    std::string site;
    int device;
    int unit;
    ControlPoint point;
    std::string value;
  };

  void Start() override {}
  void Stop() override {}

  // Adds or replaces a unit and tells the listeners.
  void SetUnit(const UnitState& state);
  void SetDevices(std::vector<DeviceStatus> devices);
  // What RequestControl answers next: kAccepted or kRefused (with reason).
  void AnswerControl(ControlStage stage, std::string reason = "");
  // Tells the listeners a later stage of request |id|.
  void FinishControl(uint64_t id, ControlStage stage);
  std::vector<Request> Requests() const;
  size_t ListenerCount() const;

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
  mutable std::mutex mutex_;
  // Listener calls are made one at a time, as the real sources do.
  std::mutex callMutex_;
  std::map<std::tuple<std::string, int, int>, UnitState> units_;
  std::vector<DeviceStatus> devices_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
  ControlStage answer_ = ControlStage::kAccepted;
  std::string answerReason_;
  std::vector<Request> requests_;
  std::map<uint64_t, ControlUpdate> updates_;
  Counters counters_;
};

#endif  // QOR_TOOLS_QOR_WEB_TESTING_FAKE_UNIT_SOURCE_H_
