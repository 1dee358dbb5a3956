#ifndef QOR_TOOLS_QOR_MQTT_MQTT_BRIDGE_H_
#define QOR_TOOLS_QOR_MQTT_MQTT_BRIDGE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "mqtt_client.h"
#include "rate_limited_log.h"
#include "unitview/device_hub.h"

struct BridgeOptions {
  std::string site;  // must be a ValidSiteName
  // Off: every request is refused with its reason published, and nothing
  // is asked of the driver.
  bool allowControl = false;
  // Requests waiting for the source; more are refused at once.
  size_t maxWaitingRequests = 16;
  // A request still waiting this long for its turn is refused.
  int waitLimitMs = kControlDeadlineMs;
};

// Carries one host's units to a broker and the broker's requests back:
// publishes the retained state of every unit and device of |source| under
// qor/<site>/, each topic only when its payload changes and all of them
// again after every (re)connection, and turns the `set` messages for this
// site into RequestControl calls, publishing every stage of each.
//
// The state is the latest only: while the broker is away nothing is
// published or queued; the reconnection republishes what is current. So
// state goes with QoS 0: a QoS 1 message kept by the library across a
// reconnection would arrive after the republish and put an old value
// back. Only the answers to requests, events rather than state, use QoS 1. A
// `set` with the retain flag on is never acted on: it is a copy the broker
// kept, maybe from long ago, not a request made now.
//
// |source| and |client| are not owned and must outlive the bridge. Attach
// before starting either; the bridge's own thread passes requests to the
// source (whose RequestControl blocks) so that neither the client's nor
// the source's thread ever waits for a driver.
class MqttBridge {
 public:
  struct Counters {
    uint64_t published = 0;        // messages handed to the client
    uint64_t republished = 0;      // full republishes (one per connection)
    uint64_t requests = 0;         // set messages taken as requests
    uint64_t refused = 0;          // refused by the bridge or the source
    uint64_t retainedIgnored = 0;  // set messages with the retain flag
    uint64_t badMessages = 0;      // unknown topics, bad payloads
  };

  MqttBridge(UnitSource* source, MqttClient* client, BridgeOptions options);
  ~MqttBridge();  // Detach
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  void Attach();
  // Stops taking requests (waiting ones are dropped unanswered) and leaves
  // the source; the client's handlers must no longer run (stop it first).
  void Detach();

  // The Last Will the client must be given, and what the bridge publishes
  // on the same topic once connected.
  static std::string WillTopic(const std::string& site);
  static constexpr const char* kOffline = "offline";
  static constexpr const char* kOnline = "online";

  Counters counters() const;

 private:
  struct Route {
    std::string topic;
    std::string correlationData;
    ControlStage lastStage = ControlStage::kRefused;
    bool published = false;
  };
  struct Pending {
    std::string site;
    int device = 0;
    int unit = 0;
    ControlPoint point;
    std::string value;
    Route route;
    std::chrono::steady_clock::time_point made;
    int64_t deadlineMs = 0;  // when the set arrived, plus the limit
  };

  void OnConnected();
  void OnMessage(const MqttMessage& message);
  void OnUnitChanged(const UnitState& state);
  void OnDeviceChanged(const DeviceStatus& status);
  void OnControlChanged(const ControlUpdate& update);

  // With mutex_ held: publishes |payload| on |topic| (retained) unless the
  // last payload sent there on this connection was the same.
  void PublishRetainedLocked(const std::string& topic,
                             const std::string& payload, int qos);
  void PublishUnitLocked(const UnitState& state);
  void PublishResult(const Route& route, const ControlUpdate& update);
  void Refuse(const Route& route, const ControlUpdate& update,
              const std::string& reason);
  void Worker();

  UnitSource* source_;
  MqttClient* client_;
  BridgeOptions options_;
  RateLimitedLog log_;
  int listenerId_ = -1;
  bool attached_ = false;

  // The state side: what was last sent on each retained topic.
  mutable std::mutex mutex_;
  std::map<std::string, std::string> sent_;
  // The latest of each unit and device, as the listener calls brought them.
  std::map<std::pair<int, int>, UnitState> units_;
  std::map<int, DeviceStatus> devices_;
  Counters counters_;

  // The control side.
  std::mutex controlMutex_;
  std::condition_variable controlWake_;
  std::deque<Pending> waiting_;
  std::map<uint64_t, Route> routes_;  // by the source's request id
  // Stages that reached the listener before RequestControl returned.
  std::map<uint64_t, ControlUpdate> early_;
  bool stopping_ = false;
  std::thread worker_;
};

#endif  // QOR_TOOLS_QOR_MQTT_MQTT_BRIDGE_H_
