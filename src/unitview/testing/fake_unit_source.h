#ifndef QOR_UNITVIEW_TESTING_FAKE_UNIT_SOURCE_H_
#define QOR_UNITVIEW_TESTING_FAKE_UNIT_SOURCE_H_

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "unitview/unit_source.h"

// A UnitSource whose units, devices and control answers a test sets, for
// testing what is built on the interface (the web server, the MQTT bridge)
// without infodrivers. Listeners are called on the thread that changes
// something, one call at a time, and never after RemoveListener returns,
// as the real sources promise. Thread-safe.
class FakeUnitSource : public UnitSource {
 public:
  struct Request {
    std::string site;
    int device = 0;
    int unit = 0;
    ControlPoint point;
    std::string value;
    int64_t deadlineMs = 0;
  };
  // Answers a request (given as accepted, with its id); unset accepts it.
  // Called without the fake's lock, so it may call Advance.
  std::function<ControlUpdate(const ControlUpdate& asked)> answer;

  void Start() override {}
  void Stop() override {}

  // Adds or replaces the unit (or the device, by site and number) and
  // tells the listeners.
  void SetUnit(const UnitState& state);
  void SetDevice(const DeviceStatus& status);
  // Every request from now on is answered with |stage| (kAccepted or
  // kRefused with |reason|).
  void AnswerControl(ControlStage stage, std::string reason = "");
  // Tells the listeners a later stage of a request.
  void Advance(const ControlUpdate& update);
  // The same for a request made earlier, by its id.
  void FinishControl(uint64_t id, ControlStage stage);
  std::vector<Request> requests() const;
  // What RecordRefusal was given, in order.
  struct Recorded {
    ControlRequester by;
    ControlUpdate refusal;
  };
  std::vector<Recorded> recorded() const;
  size_t ListenerCount() const;

  std::vector<DeviceStatus> Devices() const override;
  std::vector<UnitState> Units() const override;
  std::optional<UnitState> Unit(const std::string& site, int device,
                                int unit) const override;
  int AddListener(Listener listener) override;
  void RemoveListener(int id) override;
  ControlUpdate RequestControl(const std::string& site, int device, int unit,
                               const ControlPoint& point,
                               std::string_view value,
                               int64_t deadlineMs) override;
  void RecordRefusal(const ControlRequester& by,
                     const ControlUpdate& refusal) override;
  std::optional<ControlUpdate> Control(uint64_t id) const override;
  Counters GetCounters() const override;

 private:
  template <typename Call>
  void Notify(Call call);

  mutable std::mutex mutex_;
  std::map<std::tuple<std::string, int, int>, UnitState> units_;
  std::map<std::pair<std::string, int>, DeviceStatus> devices_;
  uint64_t nextId_ = 1;
  std::vector<Request> requests_;
  std::vector<Recorded> recorded_;
  std::map<uint64_t, ControlUpdate> controls_;
  Counters counters_;

  // Held while listeners are called, added or removed; never taken with
  // mutex_ held.
  mutable std::recursive_mutex dispatchMutex_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
};

// A unit as the driver would publish it at 127.0.1.UNIT: the relative slots
// in |slots|, decoded.
UnitState FakeUnit(const std::string& site, int device, int unit,
                   const std::map<int, std::string>& slots);

#endif  // QOR_UNITVIEW_TESTING_FAKE_UNIT_SOURCE_H_
