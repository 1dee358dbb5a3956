// The libmosquitto client against a real mosquitto of the test's own: a
// broker that comes late, and user and password from the settings.
#include "mqtt/mqtt_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

#include "command_line.h"
#include "integration/mqtt/mosquitto_broker.h"
#include "support/process.h"

namespace fs = std::filesystem;
using qor_test::WaitFor;

namespace {

// The lines the client logged about its link to the broker.
class LinkLines {
 public:
  std::function<void(bool, const std::string&)> Handler() {
    return [this](bool, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      all_ += line + "\n";
    };
  }
  bool Has(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_.find(text) != std::string::npos;
  }
  std::string all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_;
  }

 private:
  mutable std::mutex mutex_;
  std::string all_;
};

class MqttClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path("/tmp") / ("qor_mqtt_client_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(MqttClientTest, ConnectsOnceTheBrokerComesAndAgainAfterItRestarts) {
  int port = FreeTcpPort();
  MqttOptions o;
  o.port = port;
  o.reconnectMaxSeconds = 2;
  auto client = MakeMosquittoClient(o);
  std::atomic<int> connections{0};
  LinkLines lines;
  client->SetHandlers(
      {[&] { ++connections; }, nullptr, nullptr, lines.Handler()});
  std::string error;
  ASSERT_TRUE(client->Start(&error)) << error;  // no broker yet: no error
  EXPECT_FALSE(client->connected());
  MosquittoBroker broker(dir_ / "broker", port);
  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(WaitFor([&] { return client->connected(); }));
  broker.Stop();
  EXPECT_TRUE(WaitFor([&] { return !client->connected(); }));
  EXPECT_FALSE(client->Publish({"qor/x", "nothing queues", 0, true}));
  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(WaitFor([&] { return connections == 2 && client->connected(); }));
  const std::string at = "the broker at " + broker.address();
  EXPECT_TRUE(lines.Has("lost " + at + ": ")) << lines.all();
  EXPECT_TRUE(lines.Has("connected to " + at)) << lines.all();
  client->Stop();
}

// The maximum packet size is announced at every connection: the broker
// keeps a message over it from the client, before and after a reconnection
// (the bridge and broker-mode qor_web use this same client).
TEST_F(MqttClientTest, AMessageOverTheMaximumPacketSizeNeverArrives) {
  int port = FreeTcpPort();
  MosquittoBroker broker(dir_ / "broker", port);
  ASSERT_TRUE(broker.Start());
  MqttOptions o;
  o.port = port;
  o.reconnectMaxSeconds = 2;
  auto client = MakeMosquittoClient(o);
  std::mutex mu;
  std::vector<std::string> seen;  // topic and payload size
  MqttClient* raw = client.get();
  client->SetHandlers({[raw] { raw->Subscribe("big/#", 0); }, nullptr,
                       [&](const MqttMessage& m) {
                         std::lock_guard<std::mutex> lock(mu);
                         seen.push_back(m.topic + " " +
                                        std::to_string(m.payload.size()));
                       },
                       nullptr});
  std::string error;
  ASSERT_TRUE(client->Start(&error)) << error;
  const std::string huge = (dir_ / "huge").string();
  std::ofstream(huge) << std::string(1 << 20, 'x');
  auto seenText = [&] {
    std::lock_guard<std::mutex> lock(mu);
    std::string all;
    for (const std::string& s : seen) all += s + "\n";
    return all;
  };
  for (const char* round : {"1", "2"}) {
    ASSERT_TRUE(WaitFor([&] {
      Publish(port, {"-t", std::string("big/probe") + round, "-m", "p"});
      return seenText().find(std::string("big/probe") + round) !=
             std::string::npos;
    }));
    ASSERT_EQ(Publish(port, {"-t", "big/huge", "-f", huge}), 0);
    ASSERT_EQ(Publish(port, {"-t", std::string("big/after") + round, "-m",
                             std::string(60000, 'y')}),
              0);
    // Messages arrive in order: once the one after it is in, the huge one
    // would have been.
    ASSERT_TRUE(WaitFor([&] {
      return seenText().find(std::string("big/after") + round + " 60000") !=
             std::string::npos;
    }));
    EXPECT_EQ(seenText().find("big/huge"), std::string::npos) << round;
    broker.Stop();
    ASSERT_TRUE(WaitFor([&] { return !client->connected(); }));
    ASSERT_TRUE(broker.Start());
  }
  client->Stop();
}

TEST_F(MqttClientTest, UserAndPasswordFromTheSettingsFile) {
  std::string passwd = (dir_ / "passwd").string();
  ASSERT_EQ(qor_test::RunTool({"/usr/bin/mosquitto_passwd", "-b", "-c", passwd,
                               "bridge", "s3cret"})
                .exitCode,
            0);
  int port = FreeTcpPort();
  MosquittoBroker broker(dir_ / "broker", port);
  broker.AddConfig("allow_anonymous false\npassword_file " + passwd + "\n");
  ASSERT_TRUE(broker.Start());

  auto clientFor = [&](const std::string& password) {
    std::string pw = (dir_ / ("pw-" + password)).string();
    std::ofstream(pw) << password << "\n";
    fs::permissions(pw, fs::perms::owner_read | fs::perms::owner_write);
    BridgeSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    s.settingsFile = (dir_ / ("b-" + password + ".ini")).string();
    std::ofstream(s.settingsFile)
        << "[MQTT]\nSite=test-" << password
        << "\nUsername=bridge\nPasswordFile=" << pw << "\n";
    std::string error;
    EXPECT_TRUE(CompleteSettings(&s, &error)) << error;
    return MakeMosquittoClient(MqttOptionsFor(s));
  };
  auto wrong = clientFor("wrong");
  auto right = clientFor("s3cret");
  std::string error;
  ASSERT_TRUE(wrong->Start(&error));
  ASSERT_TRUE(right->Start(&error));
  EXPECT_TRUE(WaitFor([&] { return right->connected(); }));
  EXPECT_FALSE(wrong->connected());
  right->Stop();
  wrong->Stop();
}

// libmosquitto gives up on a refused CONNECT; the client must not: once
// the user is added and the broker reloaded, it connects, and says so.
TEST_F(MqttClientTest, ARefusedLoginIsTriedAgainUntilTheBrokerTakesIt) {
  std::string passwd = (dir_ / "passwd").string();
  auto addUser = [&](const char* user) {
    return qor_test::RunTool(
               {"/usr/bin/mosquitto_passwd", "-b", passwd, user, "s3cret"})
        .exitCode;
  };
  std::ofstream(passwd).close();
  ASSERT_EQ(addUser("someone"), 0);
  int port = FreeTcpPort();
  MosquittoBroker broker(dir_ / "broker", port);
  broker.AddConfig("allow_anonymous false\npassword_file " + passwd + "\n");
  ASSERT_TRUE(broker.Start());
  MqttOptions o;
  o.port = port;
  o.username = "bridge";
  o.password = "s3cret";
  o.reconnectMaxSeconds = 1;
  auto client = MakeMosquittoClient(o);
  LinkLines lines;
  client->SetHandlers({nullptr, nullptr, nullptr, lines.Handler()});
  std::string error;
  ASSERT_TRUE(client->Start(&error)) << error;
  const std::string at = "the broker at 127.0.0.1:" + std::to_string(port);
  EXPECT_TRUE(WaitFor([&] {
    return lines.Has(at + " refused the connection: Not authorized");
  })) << lines.all();
  ASSERT_EQ(addUser("bridge"), 0);
  broker.Reload();
  EXPECT_TRUE(WaitFor([&] { return client->connected(); })) << lines.all();
  EXPECT_TRUE(lines.Has("connected to " + at)) << lines.all();
  client->Stop();
}

// A network that stops carrying anything without closing: the keepalive
// finds out, and the client connects again once packets flow.
TEST_F(MqttClientTest, AStalledLinkIsGivenUpAndMadeAgain) {
  MosquittoBroker broker(dir_ / "broker", FreeTcpPort());
  ASSERT_TRUE(broker.Start());
  TcpProxy proxy(broker.port());
  MqttOptions o;
  o.port = proxy.port();
  o.keepaliveSeconds = 5;
  o.reconnectMaxSeconds = 1;
  auto client = MakeMosquittoClient(o);
  LinkLines lines;
  std::atomic<int> connections{0};
  client->SetHandlers(
      {[&] { ++connections; }, nullptr, nullptr, lines.Handler()});
  std::string error;
  ASSERT_TRUE(client->Start(&error)) << error;
  ASSERT_TRUE(WaitFor([&] { return client->connected(); }));
  proxy.Stall(true);
  EXPECT_TRUE(WaitFor([&] { return !client->connected(); })) << lines.all();
  // The client is marked lost before its line is written: wait for the line.
  EXPECT_TRUE(WaitFor([&] {
    return lines.Has("lost the broker at 127.0.0.1:" +
                     std::to_string(proxy.port()) + ": ");
  })) << lines.all();
  proxy.Stall(false);
  EXPECT_TRUE(WaitFor([&] { return connections == 2 && client->connected(); }))
      << lines.all();
  client->Stop();
}

}  // namespace
