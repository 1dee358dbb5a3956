#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

// libmosquitto's global set-up, once per process and before any client.
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

class MosquittoClient : public MqttClient {
 public:
  explicit MosquittoClient(MqttOptions options) : options_(std::move(options)) {
    InitLibrary();
  }
  ~MosquittoClient() override {
    Stop();
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
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, options_.maxInflight);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(mosq_, options_.reconnectMinSeconds,
                                  options_.reconnectMaxSeconds, true);
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
    mosquitto_connect_v5_callback_set(mosq_, &MosquittoClient::OnConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &MosquittoClient::OnDisconnect);
    mosquitto_message_v5_callback_set(mosq_, &MosquittoClient::OnMessage);
    // The network thread first: a broker that is not there yet is no
    // error, the thread keeps trying with the back-off above.
    if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS)
      return Fail(error, "cannot start the MQTT network thread");
    int rc = mosquitto_connect_async(mosq_, options_.host.c_str(),
                                     options_.port, options_.keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO) {
      mosquitto_loop_stop(mosq_, true);
      return Fail(error, std::string("cannot connect to ") + options_.host +
                             ": " + mosquitto_strerror(rc));
    }
    started_ = true;
    return true;
  }

  void Stop() override {
    if (!started_) return;
    started_ = false;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
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
    int rc = mosquitto_publish_v5(mosq_, nullptr, m.topic.c_str(),
                                  static_cast<int>(m.payload.size()),
                                  m.payload.data(), m.qos, m.retain, props);
    mosquitto_property_free_all(&props);
    return rc == MOSQ_ERR_SUCCESS;
  }

  bool Subscribe(const std::string& pattern, int qos, int options) override {
    if (mosq_ == nullptr) return false;
    return mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), qos, options,
                                  nullptr) == MOSQ_ERR_SUCCESS;
  }

  bool connected() const override { return connected_; }

 private:
  static bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  }

  static void OnConnect(mosquitto*, void* self, int rc, int,
                        const mosquitto_property*) {
    auto* c = static_cast<MosquittoClient*>(self);
    if (rc != 0) {
      // Refused by the broker (credentials, ACL, protocol): the network
      // thread retries with back-off; say why once per refusal.
      std::fprintf(stderr,
                   "MQTT: the broker %s:%d refused the connection: %s\n",
                   c->options_.host.c_str(), c->options_.port,
                   mosquitto_reason_string(rc));
      return;
    }
    c->connected_ = true;
    if (c->handlers_.connected) c->handlers_.connected();
  }

  static void OnDisconnect(mosquitto*, void* self, int,
                           const mosquitto_property*) {
    auto* c = static_cast<MosquittoClient*>(self);
    bool was = c->connected_.exchange(false);
    if (was && c->handlers_.disconnected) c->handlers_.disconnected();
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
    c->handlers_.message(m);
  }

  MqttOptions options_;
  Handlers handlers_;
  mosquitto* mosq_ = nullptr;
  bool started_ = false;
  std::atomic<bool> connected_{false};
};

}  // namespace

std::unique_ptr<MqttClient> MakeMosquittoClient(const MqttOptions& options) {
  return std::make_unique<MosquittoClient>(options);
}
