#include "mqtt/mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "mqtt/rate_limited_log.h"

namespace {

// libmosquitto's global set-up, once per process and before any client.
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

class MosquittoClient : public MqttClient {
 public:
  explicit MosquittoClient(MqttOptions options)
      : options_(std::move(options)),
        log_(options_.logName),
        at_("the broker at " + options_.host + ":" +
            std::to_string(options_.port)) {
    InitLibrary();
  }
  ~MosquittoClient() override {
    Stop();
    mosquitto_property_free_all(&connectProperties_);
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  }

  void SetHandlers(Handlers handlers) override {
    handlers_ = std::move(handlers);
  }

  bool Start(std::string* error) override {
    mosq_ = mosquitto_new(
        options_.clientId.empty() ? nullptr : options_.clientId.c_str(),
        /*clean_start=*/true, this);
    if (mosq_ == nullptr) return Fail(error, "cannot make an MQTT client");
    // The network thread is ours (below), not mosquitto_loop_start's.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, options_.maxInflight);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    // Kept by the library and sent again with every reconnection.
    if (options_.maxPacketBytes > 0 &&
        mosquitto_property_add_int32(
            &connectProperties_, MQTT_PROP_MAXIMUM_PACKET_SIZE,
            static_cast<uint32_t>(options_.maxPacketBytes)) != MOSQ_ERR_SUCCESS)
      return Fail(error, "cannot set the maximum packet size");
    if (!options_.willTopic.empty() &&
        mosquitto_will_set_v5(mosq_, options_.willTopic.c_str(),
                              static_cast<int>(options_.willPayload.size()),
                              options_.willPayload.data(), 1,
                              options_.willRetain, nullptr) != MOSQ_ERR_SUCCESS)
      return Fail(error, "the Last Will topic is not a valid topic");
    if (!options_.username.empty() &&
        mosquitto_username_pw_set(
            mosq_, options_.username.c_str(),
            options_.password.empty() ? nullptr : options_.password.c_str()) !=
            MOSQ_ERR_SUCCESS)
      return Fail(error, "the user name or password cannot be used");
    if (!options_.caFile.empty() || !options_.certFile.empty()) {
      int rc = mosquitto_tls_set(
          mosq_, options_.caFile.empty() ? nullptr : options_.caFile.c_str(),
          nullptr,
          options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
          options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(),
          nullptr);
      if (rc != MOSQ_ERR_SUCCESS)
        return Fail(error, std::string("TLS cannot be set up: ") +
                               mosquitto_strerror(rc) +
                               " (check the CA, certificate and key files)");
    }
    // A name that does not resolve is an error now; a broker that is not
    // there yet is none: the thread keeps trying with back-off.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int gai = getaddrinfo(options_.host.c_str(), nullptr, &hints, &found);
    if (gai != 0)
      return Fail(error, "cannot connect to " + options_.host + ": " +
                             gai_strerror(gai));
    freeaddrinfo(found);
    mosquitto_connect_v5_callback_set(mosq_, &MosquittoClient::OnConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &MosquittoClient::OnDisconnect);
    mosquitto_message_v5_callback_set(mosq_, &MosquittoClient::OnMessage);
    mosquitto_subscribe_v5_callback_set(mosq_, &MosquittoClient::OnSubscribed);
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
    started_ = true;
    return true;
  }

  void Stop() override {
    if (!started_) return;
    started_ = false;
    {
      std::lock_guard<std::mutex> lock(runMutex_);
      stopping_ = true;
    }
    runWake_.notify_all();
    // Queued after whatever was published before (a bridge's "offline").
    mosquitto_disconnect(mosq_);
    thread_.join();
    connected_ = false;
  }

  bool Publish(const MqttMessage& m) override {
    if (mosq_ == nullptr || !connected_) return false;
    mosquitto_property* props = nullptr;
    if (!m.responseTopic.empty())
      mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC,
                                    m.responseTopic.c_str());
    if (!m.correlationData.empty())
      mosquitto_property_add_binary(
          &props, MQTT_PROP_CORRELATION_DATA, m.correlationData.data(),
          static_cast<uint16_t>(m.correlationData.size()));
    if (m.expirySeconds > 0)
      mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                   static_cast<uint32_t>(m.expirySeconds));
    if (!m.deadline.empty())
      mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY,
                                         kDeadlineName, m.deadline.c_str());
    if (!m.user.empty())
      mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY,
                                         kUserName, m.user.c_str());
    int rc = mosquitto_publish_v5(mosq_, nullptr, m.topic.c_str(),
                                  static_cast<int>(m.payload.size()),
                                  m.payload.data(), m.qos, m.retain, props);
    mosquitto_property_free_all(&props);
    return rc == MOSQ_ERR_SUCCESS;
  }

  bool Subscribe(const std::string& pattern, int qos, int options) override {
    return SubscribeThen(pattern, qos, options, nullptr);
  }

  bool SubscribeThen(const std::string& pattern, int qos, int options,
                     std::function<void()> done) override {
    if (mosq_ == nullptr) return false;
    // Held across the call: the acknowledgement may come on the network
    // thread before mosquitto_subscribe_v5 returns.
    std::lock_guard<std::mutex> lock(subscribeMutex_);
    int mid = 0;
    if (mosquitto_subscribe_v5(mosq_, &mid, pattern.c_str(), qos, options,
                               nullptr) != MOSQ_ERR_SUCCESS)
      return false;
    if (done) whenSubscribed_[mid] = std::move(done);
    return true;
  }

  bool connected() const override { return connected_; }

 private:
  static constexpr const char* kDeadlineName = "deadline";
  static constexpr const char* kUserName = "user";

  static bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  }

  // The network thread: connects (sending the CONNECT properties), runs
  // the connection until it is lost, waits and connects again, doubling
  // the wait from reconnectMinSeconds to reconnectMaxSeconds. It ends only
  // with Stop: libmosquitto's own loop (mosquitto_loop_forever, and so
  // mosquitto_loop_start) returns for good on the error a refused CONNECT
  // leaves (MOSQ_ERR_PROTOCOL under MQTT 5) and on others, which here are
  // one more reason to wait and try again: a password added or an ACL
  // mended on the broker must bring the bridge back without a restart.
  void Run() {
    int delay = std::max(1, options_.reconnectMinSeconds);
    bool first = true;
    std::string lastUnreachable;
    while (!stopping_) {
      outcome_.clear();
      int rc = first
                   ? mosquitto_connect_bind_v5(
                         mosq_, options_.host.c_str(), options_.port,
                         options_.keepaliveSeconds, nullptr, connectProperties_)
                   : mosquitto_reconnect(mosq_);
      first = false;
      while (rc == MOSQ_ERR_SUCCESS && !stopping_)
        rc = mosquitto_loop(mosq_, 1000, 1);
      if (stopping_) break;
      if (hadSession_.exchange(false)) delay = options_.reconnectMinSeconds;
      delay = std::max(1, delay);
      const std::string again =
          "; trying again in " + std::to_string(delay) + " s";
      if (!outcome_.empty()) {
        Link(false, outcome_ + again);
        lastUnreachable.clear();
      } else {
        // A broker that stays away is said once, not at every attempt.
        std::string why = "cannot reach " + at_ + ": " + ErrorText(rc);
        if (why != lastUnreachable) Link(false, why + again);
        lastUnreachable = why;
      }
      std::unique_lock<std::mutex> lock(runMutex_);
      runWake_.wait_for(lock, std::chrono::seconds(delay),
                        [this] { return stopping_.load(); });
      delay = std::min(delay * 2, std::max(1, options_.reconnectMaxSeconds));
    }
    // Send what Stop queued (the DISCONNECT last); the connection ends
    // with it.
    for (int i = 0; i < 20 && mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS;
         ++i) {
    }
  }

  // A libmosquitto error or an MQTT 5 reason code (DISCONNECT from the
  // broker) as words.
  static std::string ErrorText(int rc) {
    std::string text;
    if (rc >= 0x80)
      text = mosquitto_reason_string(rc);
    else if (rc == MOSQ_ERR_KEEPALIVE)
      text = "no answer within the keepalive (a stalled network or broker)";
    else if (rc == MOSQ_ERR_ERRNO)
      text = std::strerror(errno);
    else
      text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
  }

  // One line a connection, loss or refusal: to the journal, and to the
  // program (for its service status).
  void Link(bool up, const std::string& line) {
    log_.Line("%s", line.c_str());
    if (handlers_.link) handlers_.link(up, line);
  }

  static void OnConnect(mosquitto*, void* self, int rc, int,
                        const mosquitto_property*) {
    auto* c = static_cast<MosquittoClient*>(self);
    if (rc != 0) {
      // Refused by the broker (credentials, ACL, protocol): the network
      // thread says so and tries again with back-off.
      c->outcome_ = c->at_ + " refused the connection: " + ErrorText(rc);
      return;
    }
    {
      // Acknowledgements the last connection never got will not come.
      std::lock_guard<std::mutex> lock(c->subscribeMutex_);
      c->whenSubscribed_.clear();
    }
    c->connected_ = true;
    c->hadSession_ = true;
    c->Link(true, "connected to " + c->at_);
    if (c->handlers_.connected) c->handlers_.connected();
  }

  static void OnDisconnect(mosquitto*, void* self, int rc,
                           const mosquitto_property*) {
    auto* c = static_cast<MosquittoClient*>(self);
    bool was = c->connected_.exchange(false);
    // rc: a network error (lost, keepalive) or the reason of the broker's
    // DISCONNECT (session taken over, server shutting down ...).
    if (was && !c->stopping_)
      c->outcome_ = "lost " + c->at_ + ": " + ErrorText(rc);
    if (was && c->handlers_.disconnected) c->handlers_.disconnected();
  }

  static void OnSubscribed(mosquitto*, void* self, int mid, int, const int*,
                           const mosquitto_property*) {
    auto* c = static_cast<MosquittoClient*>(self);
    std::function<void()> done;
    {
      std::lock_guard<std::mutex> lock(c->subscribeMutex_);
      auto it = c->whenSubscribed_.find(mid);
      if (it == c->whenSubscribed_.end()) return;
      done = std::move(it->second);
      c->whenSubscribed_.erase(it);
    }
    done();
  }

  static void OnMessage(mosquitto*, void* self, const mosquitto_message* msg,
                        const mosquitto_property* props) {
    auto* c = static_cast<MosquittoClient*>(self);
    if (!c->handlers_.message || msg == nullptr || msg->topic == nullptr)
      return;
    MqttMessage m;
    m.topic = msg->topic;
    if (msg->payload != nullptr && msg->payloadlen > 0)
      m.payload.assign(static_cast<const char*>(msg->payload),
                       static_cast<size_t>(msg->payloadlen));
    m.qos = msg->qos;
    m.retain = msg->retain;
    char* response = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC,
                                       &response, false) != nullptr &&
        response != nullptr) {
      m.responseTopic = response;
      free(response);
    }
    void* data = nullptr;
    uint16_t len = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data,
                                       &len, false) != nullptr &&
        data != nullptr) {
      m.correlationData.assign(static_cast<const char*>(data), len);
      free(data);
    }
    const mosquitto_property* p = props;
    for (bool skip = false;; skip = true) {
      char* name = nullptr;
      char* value = nullptr;
      p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name,
                                              &value, skip);
      if (p == nullptr) break;
      if (name != nullptr && value != nullptr &&
          std::strcmp(name, kDeadlineName) == 0)
        m.deadline = value;
      if (name != nullptr && value != nullptr &&
          std::strcmp(name, kUserName) == 0)
        m.user = value;
      free(name);
      free(value);
    }
    c->handlers_.message(m);
  }

  MqttOptions options_;
  RateLimitedLog log_;
  const std::string at_;  // "the broker at HOST:PORT"
  Handlers handlers_;
  mosquitto* mosq_ = nullptr;
  mosquitto_property* connectProperties_ = nullptr;
  bool started_ = false;
  std::atomic<bool> connected_{false};
  // A session was up since the last (re)connection: back-off starts over.
  std::atomic<bool> hadSession_{false};
  std::thread thread_;
  std::mutex runMutex_;
  std::condition_variable runWake_;
  // Set under runMutex_ (for runWake_), read by Run between packets.
  std::atomic<bool> stopping_{false};
  // How the last attempt ended, when it got as far as the broker's answer
  // (network thread only).
  std::string outcome_;
  std::mutex subscribeMutex_;
  std::map<int, std::function<void()>> whenSubscribed_;  // by message id
};

}  // namespace

std::unique_ptr<MqttClient> MakeMosquittoClient(const MqttOptions& options) {
  return std::make_unique<MosquittoClient>(options);
}
