#ifndef QOR_TOOLS_QOR_MQTT_COMMAND_LINE_H_
#define QOR_TOOLS_QOR_MQTT_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "mqtt/bridge_settings.h"
#include "mqtt/mqtt_client.h"

// qor_mqtt's command line:
//
//   qor_mqtt --broker HOST:PORT [--site NAME] [--allow-control]
//            [--settings FILE] DEVICE...

enum class CommandLine { kRun, kHelp, kError };

// Fills |settings| from the arguments (argv[0] is skipped). On kError,
// |error| says what is wrong in one sentence.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             BridgeSettings* settings, std::string* error);

// The client options of the bridge for |settings|: its client id and the
// retained will that marks the site offline.
MqttOptions MqttOptionsFor(const BridgeSettings& settings);

extern const char kBridgeUsage[];
extern const char kBridgeHelp[];

#endif  // QOR_TOOLS_QOR_MQTT_COMMAND_LINE_H_
