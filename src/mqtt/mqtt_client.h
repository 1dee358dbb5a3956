#ifndef QOR_MQTT_MQTT_CLIENT_H_
#define QOR_MQTT_MQTT_CLIENT_H_

#include <functional>
#include <memory>
#include <string>

// Every client announces this MQTT 5 maximum packet size when it connects,
// and the broker drops what it would send beyond it: a slot text is at most
// 255 bytes and a unit's whole state a few kilobytes, so nothing larger is
// ever wanted, and a 100 MB message must not reach the process at all.
constexpr int kMqttMaxPacketBytes = 64 * 1024;

// One MQTT message as the bridge and the broker source see it: the MQTT 5
// response topic and correlation data travel with it when the sender gave
// them (empty otherwise).
struct MqttMessage {
  MqttMessage() = default;
  MqttMessage(std::string topic, std::string payload, int qos = 0,
              bool retain = false, std::string responseTopic = "",
              std::string correlationData = "")
      : topic(std::move(topic)),
        payload(std::move(payload)),
        qos(qos),
        retain(retain),
        responseTopic(std::move(responseTopic)),
        correlationData(std::move(correlationData)) {}

  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
  std::string responseTopic;
  std::string correlationData;
  // > 0: the broker drops the message if it cannot deliver it this soon.
  int expirySeconds = 0;
  // A request's deadline across hosts, RFC 3339 UTC (the MQTT 5 user
  // property "deadline"); empty when not given.
  std::string deadline;
  // Who a requester says it is (the MQTT 5 user property "user"); nothing
  // checks it. Empty when not given.
  std::string user;
};

// The line to one broker, narrow enough for a fake in the tests. Handlers
// are called on the client's own thread, one at a time; Publish and
// Subscribe may be called from any thread, the handlers included.
class MqttClient {
 public:
  struct Handlers {
    // The session is up (first connection or a reconnection): subscribe
    // and publish the whole retained state here.
    std::function<void()> connected;
    std::function<void()> disconnected;
    std::function<void(const MqttMessage&)> message;
    // Every connection, loss and refusal, with the line the client logged
    // for it; |connected|: whether a session is up now.
    std::function<void(bool connected, const std::string& line)> link;
  };

  virtual ~MqttClient() = default;
  // Before Start.
  virtual void SetHandlers(Handlers handlers) = 0;
  // Starts connecting in the background and keeps reconnecting until Stop.
  // False (with |error| set) when the options cannot work at all.
  virtual bool Start(std::string* error) = 0;
  // Disconnects cleanly (no Last Will) and ends the client's thread.
  virtual void Stop() = 0;
  // False when the message could not be handed to the connection (not
  // connected, or refused by the library); nothing is queued for later.
  virtual bool Publish(const MqttMessage& message) = 0;
  // |options|: the MQTT 5 subscription options below, or-ed.
  virtual bool Subscribe(const std::string& pattern, int qos,
                         int options = 0) = 0;
  // Subscribe, then |done| on the client's thread once the broker has
  // acknowledged it: by then every retained message of the subscriptions
  // made before this one on the connection has arrived. (This default, for
  // fakes, calls |done| at once.)
  virtual bool SubscribeThen(const std::string& pattern, int qos, int options,
                             std::function<void()> done) {
    bool ok = Subscribe(pattern, qos, options);
    if (ok && done) done();
    return ok;
  }
  // Messages keep the retain flag they were published with (otherwise a
  // broker clears it on every message it passes on at once).
  static constexpr int kRetainAsPublished = 0x08;
  // Nothing this client published itself comes back on the subscription.
  static constexpr int kNoLocal = 0x04;
  // No retained messages are sent when subscribing.
  static constexpr int kNoRetainedOnSubscribe = 0x20;
  virtual bool connected() const = 0;
};

struct MqttOptions {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;  // empty: the library makes one up
  // The broker and this client each give the connection up after 1.5
  // times this without a packet (libmosquitto takes 5 at least).
  int keepaliveSeconds = 30;
  // Reconnecting backs off exponentially from the first to the second.
  int reconnectMinSeconds = 1;
  int reconnectMaxSeconds = 30;
  // QoS 1 and 2 messages in flight at once; the rest wait in the library.
  int maxInflight = 20;
  // Announced to the broker at every connection (MQTT 5 Maximum Packet
  // Size): it sends nothing larger.
  int maxPacketBytes = kMqttMaxPacketBytes;
  // Sent by the broker when the connection is lost without a disconnect.
  std::string willTopic;
  std::string willPayload;
  bool willRetain = true;
  // Credentials and TLS; empty strings leave them out.
  std::string username;
  std::string password;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  // Starts the lines the client logs about its connection (a string
  // literal: the program's name).
  const char* logName = "qor_mqtt";
};

// MqttClient over libmosquitto, MQTT 5, clean start (nothing the broker
// kept for an earlier session is delivered: a command sent while the
// client was away must not arrive late), announcing maxPacketBytes. Runs a
// network thread of its own that connects, keeps the connection alive and
// reconnects with back-off, after every loss and every refusal, until Stop.
// Every connection, loss and refusal is one line on standard error
// (rate-limited): "connected to the broker at HOST:PORT", "lost the broker
// at HOST:PORT: REASON; trying again in N s", "the broker at HOST:PORT
// refused the connection: REASON; trying again in N s", and, once while it
// lasts, "cannot reach the broker at HOST:PORT: REASON; trying again in N s".
std::unique_ptr<MqttClient> MakeMosquittoClient(const MqttOptions& options);

#endif  // QOR_MQTT_MQTT_CLIENT_H_
