#ifndef QOR_TOOLS_QOR_MQTT_BROKER_SOURCE_H_
#define QOR_TOOLS_QOR_MQTT_BROKER_SOURCE_H_

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "mqtt_client.h"
#include "unitview/device_hub.h"

struct BrokerSourceOptions {
  // The broker; the client id defaults to "qor-view-<host>-<pid>".
  MqttOptions mqtt;
  // How long RequestControl waits for the bridge's first answer. The
  // bridge answers once the driver has, which takes a few seconds at most.
  int answerTimeoutMs = 15000;
  // A request the broker could not hand to a bridge within this long is
  // dropped by the broker: a switch must not happen long after it was asked.
  int requestExpirySeconds = 10;
};

// The units of every site that bridges (qor_mqtt) carry to one broker, as a
// UnitSource: what qor_web shows in broker mode. Reads the retained tree
// (qor/<site>/status, qor/<site>/<device>/status and each unit's state) and
// keeps it current; sends control as a message on the point's `set` topic
// with an MQTT 5 response topic of its own and the request's id as
// correlation data, and reports the stages the bridge publishes there.
//
// A site whose bridge is offline (its Last Will) keeps its units, shown not
// live, and refuses requests. Listeners run on the MQTT client's thread.
class BrokerSource : public UnitSource {
 public:
  explicit BrokerSource(BrokerSourceOptions options);
  // For tests: over |client| (owned), which must not be started yet.
  BrokerSource(BrokerSourceOptions options, std::unique_ptr<MqttClient> client);
  ~BrokerSource() override;  // stops
  BrokerSource(const BrokerSource&) = delete;
  BrokerSource& operator=(const BrokerSource&) = delete;

  // Start fails only when the options cannot work (a TLS file missing...);
  // the reason is then logged and the source stays empty.
  void Start() override;
  void Stop() override;
  bool connected() const;
  // The topic the bridges answer this source's requests on.
  const std::string& responseTopic() const { return responseTopic_; }

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
  std::optional<ControlUpdate> Control(uint64_t id) const override;
  Counters GetCounters() const override;

 private:
  using UnitKey = std::tuple<std::string, int, int>;
  using DeviceKey = std::pair<std::string, int>;
  struct Request {
    ControlUpdate last;
    ControlUpdate first;    // what RequestControl returns
    bool answered = false;  // the first stage has come
    std::chrono::steady_clock::time_point made;
  };

  void OnConnected();
  void OnMessage(const MqttMessage& message);
  void OnResult(const MqttMessage& message);
  // With mutex_ held: the unit or device as listeners and snapshots show it.
  UnitState ShownLocked(const UnitState& raw) const;
  DeviceStatus ShownLocked(const DeviceStatus& raw) const;
  void PruneLocked();

  BrokerSourceOptions options_;
  std::unique_ptr<MqttClient> client_;
  std::string responseTopic_;
  bool started_ = false;

  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, bool> siteOnline_;
  std::map<DeviceKey, DeviceStatus> devices_;
  std::map<UnitKey, UnitState> units_;
  // Held while listeners are called and while they are added or removed;
  // never taken with mutex_ held.
  std::recursive_mutex dispatchMutex_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
  uint64_t nextRequest_ = 1;
  std::map<uint64_t, Request> requests_;
  Counters counters_;
};

#endif  // QOR_TOOLS_QOR_MQTT_BROKER_SOURCE_H_
