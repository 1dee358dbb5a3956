#ifndef QOR_MQTT_TESTING_FAKE_MQTT_CLIENT_H_
#define QOR_MQTT_TESTING_FAKE_MQTT_CLIENT_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "mqtt/mqtt_client.h"

// An MqttClient for tests: the test connects, disconnects and delivers
// messages by hand (on its own thread); publishes and subscriptions are
// recorded. Publishing while disconnected fails, as the real client does.
class FakeMqttClient : public MqttClient {
 public:
  void SetHandlers(Handlers handlers) override {
    handlers_ = std::move(handlers);
  }
  bool Start(std::string*) override { return true; }
  void Stop() override { connected_ = false; }
  bool Publish(const MqttMessage& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return false;
    published_.push_back(m);
    if (onPublish) onPublish(m);
    return true;
  }
  bool Subscribe(const std::string& pattern, int, int options) override {
    lastOptions = options;
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.push_back(pattern);
    return true;
  }
  bool connected() const override { return connected_; }

  void Connect() {
    connected_ = true;
    if (handlers_.connected) handlers_.connected();
  }
  void Disconnect() {
    connected_ = false;
    if (handlers_.disconnected) handlers_.disconnected();
  }
  void Deliver(const MqttMessage& m) {
    if (handlers_.message) handlers_.message(m);
  }
  std::vector<MqttMessage> published() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
  }
  std::vector<MqttMessage> TakePublished() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MqttMessage> all;
    all.swap(published_);
    return all;
  }
  std::vector<std::string> subscriptions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscriptions_;
  }
  int lastOptions = 0;
  // Called (with the client's lock held) for every message published.
  std::function<void(const MqttMessage&)> onPublish;

 private:
  Handlers handlers_;
  mutable std::mutex mutex_;
  std::atomic<bool> connected_{false};
  std::vector<MqttMessage> published_;
  std::vector<std::string> subscriptions_;
};

#endif  // QOR_MQTT_TESTING_FAKE_MQTT_CLIENT_H_
