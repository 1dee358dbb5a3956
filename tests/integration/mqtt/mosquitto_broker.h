#ifndef QOR_TESTS_INTEGRATION_MQTT_MOSQUITTO_BROKER_H_
#define QOR_TESTS_INTEGRATION_MQTT_MOSQUITTO_BROKER_H_

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/snmpd_agent.h"

using qor_test::FreeTcpPort;

// Debian's mosquitto on 127.0.0.1:|port| with a configuration file of the
// test's own in |dir|: anonymous clients, no persistence (a restart forgets
// every retained message, the hardest case for the bridges). Stopped by
// pid, never the machine's own broker.
class MosquittoBroker {
 public:
  MosquittoBroker(const std::filesystem::path& dir, int port);
  ~MosquittoBroker();
  // Lines added to the configuration file (before Start).
  void AddConfig(const std::string& lines) { extra_ += lines; }
  // Starts it and waits until the port accepts connections.
  bool Start();
  void Stop();
  // SIGHUP: it reads its password file and ACLs again.
  void Reload();
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  std::filesystem::path dir_;
  int port_;
  std::string extra_;
  std::unique_ptr<qor_test::ChildProcess> process_;
};

// One message as the outside client printed it.
struct SeenMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::string correlationData;
};

// Every retained message under |pattern| as mosquitto_sub sees it (it
// listens for one second after subscribing).
std::map<std::string, std::string> Retained(int port,
                                            const std::string& pattern);

// mosquitto_pub with |extra| arguments (-t, -m, -r, -D ...); its exit code.
int Publish(int port, const std::vector<std::string>& extra);

// A mosquitto_sub (MQTT 5) running in the background on |patterns|, its
// messages in a file; Ready() waits until it is subscribed.
class Subscriber {
 public:
  Subscriber(int port, const std::filesystem::path& file,
             const std::vector<std::string>& patterns);
  bool Ready();
  std::vector<SeenMessage> Messages() const;
  // True once a message on |topic| whose payload contains |text| came.
  bool Saw(const std::string& topic, const std::string& text) const;

 private:
  int port_;
  std::filesystem::path file_;
  std::string probe_;
  qor_test::ChildProcess process_;
};

// A TCP proxy on 127.0.0.1:port() to 127.0.0.1:|target|, for a network
// that loses one direction: while DropFromServer(true) holds, whatever the
// server sends is read and thrown away, and the client hears nothing more
// until it gives the connection up and makes a new one.
class TcpProxy {
 public:
  explicit TcpProxy(int target);
  ~TcpProxy();
  int port() const { return port_; }
  void DropFromServer(bool drop) { drop_ = drop; }
  // While true, nothing is read or forwarded either way, and nothing is
  // closed: a network that stalls.
  void Stall(bool stall) { stall_ = stall; }

 private:
  void Run();
  int target_;
  int port_ = 0;
  int listener_ = -1;
  std::atomic<bool> drop_{false};
  std::atomic<bool> stall_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

#endif  // QOR_TESTS_INTEGRATION_MQTT_MOSQUITTO_BROKER_H_
