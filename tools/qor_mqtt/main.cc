// qor_mqtt: the host's units on an MQTT broker, and control from it.
//
// A client of the infodrivers of DEVICE... (through DeviceHub, like
// qor_web: it never talks to a unit) and of one broker. See bridge_settings.h
// for the options and settings, mqtt_topics.h for the topic tree and
// mqtt_bridge.h for the rules of publishing and control.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "mqtt/bridge_settings.h"
#include "mqtt/mqtt_client.h"
#include "mqtt_bridge.h"
#include "platform/exit_signals.h"
#include "platform/program_info.h"
#include "platform/service_notifier.h"
#include "unitview/device_hub.h"

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

// Bridges until an exit signal comes; the exit code.
int RunBridge(const BridgeSettings& settings) {
  HubOptions hubOptions;
  hubOptions.devices = settings.devices;
  hubOptions.site = settings.site;
  DeviceHub hub(hubOptions);
  std::unique_ptr<MqttClient> client =
      MakeMosquittoClient(MqttOptionsFor(settings));
  BridgeOptions bridgeOptions;
  bridgeOptions.site = settings.site;
  bridgeOptions.allowControl = settings.allowControl;
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
  SystemdNotifier notifier;
  notifier.Notify("READY=1\nSTATUS=bridging site " + settings.site);

  WaitForExitSignal();
  notifier.Notify("STOPPING=1");
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
