#ifndef QOR_MQTT_BROKER_SOURCE_H_
#define QOR_MQTT_BROKER_SOURCE_H_

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_topics.h"
#include "mqtt/rate_limited_log.h"
#include "unitview/unit_source.h"

struct BrokerSourceOptions {
  // The broker; the client id defaults to "qor-view-<host>-<pid>".
  MqttOptions mqtt;
  // How long past a request's deadline RequestControl still waits for the
  // bridge's first answer: the driver answers by the deadline, and the
  // answer then crosses the infodriver, the bridge and the broker.
  int answerGraceMs = 2000;
};

// The units of every site that bridges (qor_mqtt) carry to one broker, as a
// UnitSource: what qor_web shows in broker mode. Reads the retained tree
// (qor/<site>/status, qor/<site>/<device>/status and each unit's state) and
// keeps it current; sends control as a message on the point's `set` topic
// with an MQTT 5 response topic of its own (under qor-response/) and the
// request's id as correlation data, and reports the stages the bridge
// publishes there.
//
// A request is sent at most once: with QoS 0, so that neither the library
// nor the broker ever sends it again after a lost connection, with the
// MQTT 5 message expiry of the time left to its deadline, and with the
// deadline itself as the user property "deadline" (RFC 3339 UTC), which
// the bridge turns back into a deadline of its own clock. One request per
// control point is sent at a time; another one meanwhile is refused busy.
//
// What the broker sends is bounded: at most kMaxSites sites, kMaxUnits
// units, slot texts of at most 255 bytes (a state with a longer one is
// ignored), packets of at most kMqttMaxPacketBytes.
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
  // The topic the bridges answer this source's requests on:
  // qor-response/<client id>/<a token new with each process>, so that a
  // restarted viewer's ids are never taken for its predecessor's.
  const std::string& responseTopic() const { return responseTopic_; }

  static constexpr size_t kMaxSites = 256;
  static constexpr size_t kMaxUnits = 4096;

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
  std::string SiteRefusalLocked(const std::string& site, int device,
                                int unit) const;
  void StoreSiteLocked(const ParsedTopic& topic, const MqttMessage& message,
                       std::vector<UnitState>* unitsChanged,
                       std::vector<DeviceStatus>* devicesChanged);
  void StoreUnitStateLocked(const ParsedTopic& topic,
                            const MqttMessage& message,
                            std::vector<UnitState>* unitsChanged);
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
  // What each site's bridge says on qor/SITE/control: takes requests.
  std::map<std::string, bool> siteControl_;
  std::map<DeviceKey, DeviceStatus> devices_;
  std::map<UnitKey, UnitState> units_;
  // Held while listeners are called and while they are added or removed;
  // never taken with mutex_ held.
  std::recursive_mutex dispatchMutex_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
  uint64_t nextRequest_ = 1;
  std::map<uint64_t, Request> requests_;
  // The set topics of requests waiting for their first answer.
  std::set<std::string> inFlight_;
  Counters counters_;
  RateLimitedLog log_{"broker source"};
};

#endif  // QOR_MQTT_BROKER_SOURCE_H_
