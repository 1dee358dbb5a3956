#ifndef QOR_TOOLS_QOR_MQTT_MQTT_BRIDGE_H_
#define QOR_TOOLS_QOR_MQTT_MQTT_BRIDGE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_topics.h"
#include "mqtt/rate_limited_log.h"
#include "ha_discovery.h"
#include "unitview/control_queue.h"
#include "unitview/point_names.h"
#include "unitview/unit_source.h"

struct BridgeOptions {
  std::string site;  // must be a ValidSiteName
  // Off: every request is refused with its reason published, and nothing
  // is asked of the driver.
  bool allowControl = false;
  // Not empty: Home Assistant discovery configs are published under this
  // prefix (ha_discovery.h).
  std::string haDiscoveryPrefix;
  // Requests waiting behind the one in progress, per device; more are
  // refused as busy.
  size_t maxWaitingRequests = 8;
  // Requests one `set` topic may make a second; more are refused as busy.
  int requestsPerSecond = 10;
  // The client id this bridge connects with, named in its owner record.
  std::string clientId;
  // HOST:PORT of the broker, for the audit trail's "from".
  std::string broker;
  // Each device's names file: its protected outputs are not switched off
  // through the broker, where no one's role can be known...
  std::map<int, std::string> namesFiles;
  // ...unless this is set (--allow-protected) and the `set` payload names
  // the output: {"value":"0","confirm":"<the output's name>"}.
  bool allowProtected = false;
  // Called once, on the client's thread, when another live bridge holds
  // the site: this one published nothing and should end (kAnotherBridgeExit).
  std::function<void(const std::string& why)> anotherBridge;
  // Every connection, loss and refusal (MqttClient::Handlers::link).
  std::function<void(bool connected, const std::string& line)> link;
};

// The exit status of a bridge that ended because another one holds its site:
// not restarted by the service manager (RestartPreventExitStatus), since a
// restart would end the same way.
constexpr int kAnotherBridgeExit = 3;

// Carries one host's units to a broker and the broker's requests back:
// publishes the retained state of every unit and device of |source| under
// qor/<site>/, each topic only when its payload changes and all of them
// again after every (re)connection, and turns the `set` messages for this
// site into control requests, publishing every stage of each.
//
// The state is the latest only: while the broker is away nothing is
// published or queued; the reconnection republishes what is current. So
// state goes with QoS 0: a QoS 1 message kept by the library across a
// reconnection would arrive after the republish and put an old value
// back.
//
// Control. A `set` with the retain flag on is never acted on: it is a copy
// the broker kept, maybe from long ago, not a request made now. The set
// topics are subscribed with QoS 0, so that no broker keeps a request for a
// bridge that is away, and no library sends one twice. Each request:
//   - gets an id of the bridge's own (1, 2, ...) that every answer carries;
//   - has one deadline: kControlDeadlineMs after the `set` arrived, or the
//     time in its "deadline" user property (RFC 3339 UTC, made by the
//     requester) taken over to this host's monotonic clock. One already
//     past ends the request expired; one further ahead than
//     kControlDeadlineMs + kClockSkewToleranceMs is refused as clock skew;
//   - is taken once: a second `set` with the same response topic and
//     correlation data before the first's deadline is ignored (logged);
//   - goes through a ControlQueue (requester: the set topic): one worker
//     per device, one request in flight per control point, at most
//     requestsPerSecond a second per set topic; the excess is refused with
//     "busy": true;
//   - is answered on its MQTT 5 response topic only if that lies under
//     kResponsePrefix, otherwise (and when it names none) on the point's
//     result topic, with a log line for the refused response topic.
// Answers the bridge gives itself go with QoS 0, the stages of requests
// that reached the source with QoS 1.
//
// |source| and |client| are not owned and must outlive the bridge. Attach
// before starting either; the queue's workers pass requests to the source
// (whose RequestControl blocks) so that neither the client's nor the
// source's thread ever waits for a driver.
class MqttBridge {
 public:
  struct Counters {
    uint64_t published = 0;        // messages handed to the client
    uint64_t republished = 0;      // full republishes (one per connection)
    uint64_t requests = 0;         // set messages taken as requests
    uint64_t refused = 0;          // refused (or expired) by anyone
    uint64_t retainedIgnored = 0;  // set messages with the retain flag
    uint64_t duplicates = 0;       // requests already taken, ignored
    uint64_t badMessages = 0;      // unknown topics, bad payloads
  };

  MqttBridge(UnitSource* source, MqttClient* client, BridgeOptions options);
  ~MqttBridge();  // Detach
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  void Attach();
  // Stops taking requests (waiting ones are refused) and leaves the
  // source; the client's handlers must no longer run (stop it first).
  void Detach();

  // The Last Will the client must be given, and what the bridge publishes
  // on the same topic once connected.
  static std::string WillTopic(const std::string& site);
  static constexpr const char* kOffline = "offline";
  static constexpr const char* kOnline = "online";
  // On SiteControlTopic (retained): whether the site takes requests.
  static constexpr const char* kControlEnabled = "enabled";
  static constexpr const char* kControlDisabled = "disabled";
  // qor/SITE/owner (retained): which bridge holds the site, as
  // {"client":ID,"host":HOST,"pid":PID,"since":RFC3339}. Published before the
  // site's state; read before this bridge announces itself.
  static std::string OwnerTopic(const std::string& site);
  // This process's owner record.
  static std::string OwnerPayload(const std::string& clientId);

  Counters counters() const;

  // Publishes again each unit whose names changed in its device's names
  // file since the unit was last published: a renamed output reads right
  // on the broker without waiting for the unit to change. Attach runs it
  // every two seconds.
  void RefreshNames();

 private:
  // Where a request's answers go, and as what.
  struct Route {
    uint64_t id = 0;  // the bridge's number for the request
    std::string topic;
    std::string correlationData;
    std::string point;  // as the set topic named it
    ControlStage lastStage = ControlStage::kRefused;
    int64_t forgetAtMs = 0;  // given up for lost if no final stage by then
  };

  void OnConnected();
  // The site's status and owner record as the broker had them when this
  // connection subscribed: announces this bridge, or ends it when another
  // live bridge holds the site.
  void OnOwnerKnown();
  // A message on the site's status or owner topic: kept until the owner is
  // known, then watched for a stale "offline". False for any other topic.
  bool OnOwnerMessage(const MqttMessage& message);
  // With mutex_ held: the owner record, then the whole state, then online.
  void AnnounceLocked();
  // From the owner record |payload| with the site online: whether another
  // bridge that still runs holds it (|why| then says which).
  bool HeldByAnotherLocked(const std::string& payload, std::string* why) const;
  void OnMessage(const MqttMessage& message);
  bool NotARequest(const MqttMessage& message, const ParsedTopic& topic);
  std::optional<std::string> DeadlineOf(const MqttMessage& message,
                                        int64_t arrivedMs, int64_t* deadlineMs,
                                        ControlStage* stage);
  static std::optional<std::string> ParseSetBody(const std::string& payload,
                                                 std::string* value,
                                                 std::string* confirm);
  std::optional<std::string> UnitRefusal(const ParsedTopic& topic,
                                         const ControlPoint& point,
                                         const std::string& payload,
                                         const std::string& confirm,
                                         ControlValue* checked);
  bool TakeOnce(const MqttMessage& message, const Route& route,
                ControlUpdate& update, int64_t deadlineMs);
  void OnUnitChanged(const UnitState& state);
  void OnDeviceChanged(const DeviceStatus& status);
  void OnControlChanged(const ControlUpdate& update);
  // The queue's answer: the request's first stage.
  void OnFirstStage(Route route, const ControlUpdate& first);

  // With mutex_ held: publishes |payload| on |topic| (retained) unless the
  // last payload sent there on this connection was the same.
  void PublishRetainedLocked(const std::string& topic,
                             const std::string& payload, int qos);
  void PublishUnitLocked(const UnitState& state);
  // The unit's discovery configs, when they are on and what they are made
  // from has changed since they were last sent.
  void PublishDiscoveryLocked(const UnitState& state);
  // Empties a retained topic once a connection, whether or not this
  // connection sent it: an earlier run may have.
  void ClearOnceLocked(const std::string& topic);
  // Notes the time of each point whose payload changed.
  void NoteChangesLocked(const UnitState& state);
  // Takes over the change times of a configured unit's points from the
  // state the bridge before this one left, for the values that are the
  // same still.
  void InheritLocked(int device, int unit, const std::string& payload);
  // Empties every retained topic of a unit and forgets it.
  void ClearUnitLocked(int device, int unit);
  // A unit's state as the broker keeps it: cleared when the unit is of a
  // device served here but no longer configured.
  void OnOwnState(const ParsedTopic& topic, const MqttMessage& message);
  void PublishResult(const Route& route, const ControlUpdate& update, int qos);
  // Ends the request without asking anyone: |stage| kRefused or kExpired.
  // With |record|, who asked, the refusal goes into the device's trail.
  void Refuse(const Route& route, const ControlUpdate& update,
              const std::string& reason,
              ControlStage stage = ControlStage::kRefused,
              const ControlRequester* record = nullptr);
  // Remembers the request |key| until |deadlineMs| (kNow), or says it was
  // taken before, or that too many are remembered to take it (kFull).
  enum class Taken { kNow, kBefore, kFull };
  Taken Take(const std::string& key, int64_t deadlineMs);

  UnitSource* source_;
  MqttClient* client_;
  BridgeOptions options_;
  std::map<int, std::unique_ptr<NamesFile>> names_;  // by device
  DiscoveryOptions discovery_;  // used when haDiscoveryPrefix is set
  RateLimitedLog log_;
  int listenerId_ = -1;
  bool attached_ = false;

  // The state side: what was last sent on each retained topic.
  mutable std::mutex mutex_;
  std::map<std::string, std::string> sent_;
  // The latest of each unit and device, as the listener calls brought them.
  std::map<std::pair<int, int>, UnitState> units_;
  std::map<int, DeviceStatus> devices_;
  // Per unit: each point's last payload, and when it changed (wall ms).
  std::map<std::pair<int, int>, std::map<std::string, std::string>> lastPoints_;
  std::map<std::pair<int, int>, std::map<std::string, int64_t>> changed_;
  // What each unit's discovery configs were last made from on this
  // connection: its location, the points it reports, its names.
  struct DiscoveryBasis {
    std::string location;
    std::string reported;
    UnitNames names;
    bool operator==(const DiscoveryBasis&) const = default;
  };
  std::map<std::pair<int, int>, DiscoveryBasis> discoveryBasis_;
  // The names each unit's state was last published with.
  std::map<std::pair<int, int>, UnitNames> namesSent_;
  // Runs RefreshNames while attached.
  std::thread namesWatch_;
  std::mutex namesWatchMutex_;
  std::condition_variable namesWatchWake_;
  bool namesWatchStop_ = false;
  // Points of the previous bridge's state not yet seen from the source.
  struct Inherited {
    std::string payload;
    int64_t ms = 0;
  };
  std::map<std::pair<int, int>, std::map<std::string, Inherited>> inherited_;
  Counters counters_;
  // This connection announced the bridge (and may publish state); what the
  // site's status and owner record were before it.
  bool announced_ = false;
  bool endedByOwner_ = false;
  std::string siteStatusSeen_;
  std::string ownerSeen_;

  // The control side.
  std::unique_ptr<ControlQueue> queue_;
  std::mutex controlMutex_;
  uint64_t nextId_ = 0;
  std::map<uint64_t, Route> routes_;  // by the source's request id
  // Stages that reached the listener before the queue's answer.
  std::map<uint64_t, ControlUpdate> early_;
  // Requests taken (response topic and correlation data) until their
  // deadline, oldest first.
  std::set<std::string> taken_;
  std::deque<std::pair<int64_t, std::string>> takenOrder_;
};

#endif  // QOR_TOOLS_QOR_MQTT_MQTT_BRIDGE_H_
