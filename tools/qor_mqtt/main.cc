// qor_mqtt: the host's units on an MQTT broker, and control from it.
//
// A client of the infodrivers of DEVICE... (through DeviceHub, like
// qor_web: it never talks to a unit) and of one broker. See bridge_settings.h
// for the options and settings, mqtt_topics.h for the topic tree and
// mqtt_bridge.h for the rules of publishing and control.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "config/config_file.h"
#include "mqtt/bridge_settings.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_topics.h"
#include "mqtt_bridge.h"
#include "platform/exit_signals.h"
#include "platform/program_info.h"
#include "platform/service_notifier.h"
#include "unitview/device_hub.h"
#include "unitview/point_names.h"

namespace {

// The command line and the settings file: empty when the bridge is to run
// with |settings|, else the exit code.
std::optional<int> ReadSettings(int argc, char** argv,
                                BridgeSettings* settings) {
  std::vector<std::string> args(argv, argv + argc);
  std::string error;
  switch (ParseCommandLine(args, settings, &error)) {
    case CommandLine::kHelp:
      std::fputs(kBridgeUsage, stdout);
      std::fputs(kBridgeHelp, stdout);
      return 0;
    case CommandLine::kError:
      std::fprintf(stderr, "qor_mqtt: %s\n", error.c_str());
      std::fputs(kBridgeUsage, stderr);
      return 2;
    case CommandLine::kRun:
      break;
  }
  if (!CompleteSettings(settings, &error)) {
    std::fprintf(stderr, "qor_mqtt: %s\n", error.c_str());
    return 2;
  }
  return std::nullopt;
}

// The service's status line: what the bridge does, and whether it has its
// broker and since when (with the reason when it has not).
class LinkStatus {
 public:
  LinkStatus(ServiceNotifier* notifier, std::string site)
      : notifier_(notifier), site_(std::move(site)) {}
  void Changed(bool up, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (up != up_ || sinceMs_ == 0) sinceMs_ = WallNowMs();
    up_ = up;
    line_ = line;
    Notify();
  }
  void Notify() {
    notifier_->Notify("STATUS=bridging site " + site_ + "; broker " +
                      (sinceMs_ == 0 ? std::string("not connected yet")
                       : up_ ? "connected since " + DeadlineText(sinceMs_)
                             : "not connected since " + DeadlineText(sinceMs_) +
                                   ": " + line_));
  }

 private:
  static int64_t WallNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  ServiceNotifier* notifier_;
  const std::string site_;
  std::mutex mutex_;
  bool up_ = false;
  int64_t sinceMs_ = 0;
  std::string line_;
};

// Bridges until an exit signal comes, or until it finds another bridge
// holding the site; the exit code.
int RunBridge(const BridgeSettings& settings) {
  HubOptions hubOptions;
  hubOptions.devices = settings.devices;
  hubOptions.site = settings.site;
  DeviceHub hub(hubOptions);
  // Before the client, which calls into them until it stops.
  SystemdNotifier notifier;
  LinkStatus status(&notifier, settings.site);
  std::atomic<bool> heldElsewhere{false};
  const MqttOptions mqttOptions = MqttOptionsFor(settings);
  std::unique_ptr<MqttClient> client = MakeMosquittoClient(mqttOptions);
  BridgeOptions bridgeOptions;
  bridgeOptions.site = settings.site;
  bridgeOptions.allowControl = settings.allowControl;
  bridgeOptions.allowProtected = settings.allowProtected;
  bridgeOptions.clientId = mqttOptions.clientId;
  bridgeOptions.broker =
      mqttOptions.host + ":" + std::to_string(mqttOptions.port);
  for (int device : settings.devices)
    bridgeOptions.namesFiles[device] = NamesFilePath(
        ConfigFile(device, "QOR_MDU_1", hubOptions.locations).path(), device);
  bridgeOptions.link = [&status](bool up, const std::string& line) {
    status.Changed(up, line);
  };
  bridgeOptions.anotherBridge = [&heldElsewhere](const std::string& why) {
    std::fprintf(stderr, "qor_mqtt: %s; this bridge ends (exit status %d)\n",
                 why.c_str(), kAnotherBridgeExit);
    heldElsewhere = true;
    kill(getpid(), SIGTERM);  // taken by WaitForExitSignal below
  };
  MqttBridge bridge(&hub, client.get(), bridgeOptions);
  bridge.Attach();
  hub.Start();
  std::string error;
  if (!client->Start(&error)) {
    // A name that does not resolve yet may resolve later: not a usage
    // error, so the service manager starts the bridge again.
    std::fprintf(stderr, "qor_mqtt: %s\n", error.c_str());
    bridge.Detach();
    hub.Stop();
    return 1;
  }
  std::fprintf(stderr, "qor_mqtt: site %s, broker %s:%d, control %s\n",
               settings.site.c_str(), settings.host.c_str(), settings.port,
               settings.allowControl ? "enabled" : "disabled");
  notifier.Notify("READY=1");
  status.Notify();

  WaitForExitSignal();
  notifier.Notify("STOPPING=1");
  if (heldElsewhere) {
    // Nothing of ours to take back: the site's status is the other's.
    client->Stop();
    bridge.Detach();
    hub.Stop();
    return kAnotherBridgeExit;
  }
  // A clean disconnect sends no Last Will: say "offline" ourselves.
  client->Publish(MqttMessage{MqttBridge::WillTopic(settings.site),
                              MqttBridge::kOffline, 1, true});
  client->Stop();
  bridge.Detach();
  hub.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerVersion(argc, argv, "qor_mqtt")) return 0;
  BridgeSettings settings;
  if (std::optional<int> exitCode = ReadSettings(argc, argv, &settings))
    return *exitCode;
  // Before any thread starts, so that every thread inherits the mask and
  // the signals are taken by WaitForExitSignal only.
  BlockExitSignals();
  signal(SIGPIPE, SIG_IGN);
  return RunBridge(settings);
}
