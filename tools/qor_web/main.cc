// qor_web: every unit of the host's devices on one live page, with their
// control where enabled, a JSON API under /api/v1 and Prometheus metrics at
// /metrics. A client of the devices' infodrivers, like `infoctl watch`: it
// never talks to a unit and never bypasses its driver. With --broker it
// shows instead every site that qor_mqtt bridges carry to one MQTT broker,
// and control goes through the bridges' set topics, to the same drivers.
//
// Exit codes: 0 after SIGTERM, SIGINT or SIGHUP; 2 for a bad command line;
// 1 when it cannot start (token file unsafe, address not available).
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

#include "access_tokens.h"
#include "config/config_file.h"
#include "control_token.h"
#include "infodriver/server/audit_trail.h"
#include "mqtt/broker_source.h"
#include "platform/exit_signals.h"
#include "platform/program_info.h"
#include "platform/service_notifier.h"
#include "unitview/device_hub.h"
#include "unitview/point_names.h"
#include "web_command_line.h"
#include "web_server.h"

namespace {

int Usage(const std::string& problem) {
  std::fprintf(stderr, "qor_web: %s\nTry 'qor_web --help'.\n", problem.c_str());
  return 2;
}

// The units' source: this host's devices, or with --broker every site the
// broker carries. Null (after saying why) when the broker's files cannot be
// used.
std::unique_ptr<UnitSource> MakeSource(WebCommandLine* line) {
  if (!line->brokerMode()) return std::make_unique<DeviceHub>(line->hub);
  // The site of the bridges' settings is theirs; this one only reads the
  // credentials and TLS files, refusing any that others can read.
  BridgeSettings& broker = line->broker;
  broker.site = "qor-web";
  broker.siteFromCommandLine = true;
  std::string error;
  if (!CompleteSettings(&broker, &error)) {
    std::fprintf(stderr, "qor_web: %s\n", error.c_str());
    return nullptr;
  }
  BrokerSourceOptions options;
  options.mqtt.host = broker.host;
  options.mqtt.port = broker.port;
  options.mqtt.username = broker.username;
  options.mqtt.password = broker.password;
  options.mqtt.caFile = broker.caFile;
  options.mqtt.certFile = broker.certFile;
  options.mqtt.keyFile = broker.keyFile;
  options.mqtt.keepaliveSeconds = broker.keepaliveSeconds;
  options.mqtt.reconnectMaxSeconds = broker.reconnectMaxSeconds;
  return std::make_unique<BrokerSource>(options);
}

// Reads the control token when one is asked for; false after saying why.
bool ReadControlToken(const std::string& tokenFile, WebOptions* web) {
  if (tokenFile.empty()) return true;
  ControlTokenFile token = ReadControlTokenFile(tokenFile);
  if (!token.ok) {
    std::fprintf(stderr, "qor_web: %s\n", token.error.c_str());
    return false;
  }
  web->controlToken = token.token;
  return true;
}

// --hash-token: the hash of the token on standard input (its first line,
// without the line's end), as a --tokens-file line wants it.
int PrintTokenHash() {
  std::string token;
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (token.size() >= 4096) {
      std::fputs("qor_web: the token is longer than 4096 bytes\n", stderr);
      return 2;
    }
    token += static_cast<char>(c);
  }
  if (!token.empty() && token.back() == '\r') token.pop_back();
  if (token.size() < kMinControlTokenLength) {
    std::fprintf(stderr,
                 "qor_web: a token must have at least %zu characters; make "
                 "one with: head -c 24 /dev/urandom | base64\n",
                 kMinControlTokenLength);
    return 2;
  }
  std::printf("%s\n", HexOf(HashToken(token)).c_str());
  return 0;
}

void SayServing(const WebCommandLine& line, const WebOptions& web,
                uint16_t port) {
  bool loopback = web.address.rfind("127.", 0) == 0;
  const std::string what =
      line.brokerMode()
          ? "the sites on broker " + line.broker.host + ":" +
                std::to_string(line.broker.port)
          : std::to_string(line.hub.devices.size()) + " device(s)";
  std::fprintf(stderr, "qor_web: serving %s at http://%s:%u/ (%s)%s\n",
               what.c_str(), web.address.c_str(), port,
               web.controlToken || !web.tokensFile.empty()
                   ? "control enabled with tokens"
                   : "read-only",
               loopback ? ""
                        : "; listening beyond this host: every host that "
                          "reaches this address can read the units");
}

// Serves |source| until an exit signal comes; the exit code.
int Serve(UnitSource* source, const WebCommandLine& line,
          const WebOptions& web) {
  source->Start();
  WebServer server(source, web);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "qor_web: %s\n", error.c_str());
    source->Stop();
    return 1;
  }
  SayServing(line, web, server.port());
  SystemdNotifier notifier;
  notifier.Notify("READY=1\nSTATUS=serving http://" + web.address + ":" +
                  std::to_string(server.port()) + "/");
  WaitForExitSignal();
  notifier.Notify("STOPPING=1");
  server.Stop();
  source->Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerVersion(argc, argv, "qor_web")) return 0;
  WebCommandLine line = ParseWebCommandLine(argc, argv);
  switch (line.outcome) {
    case WebCommandLine::Outcome::kHelp:
      std::fputs(kWebUsage, stdout);
      return 0;
    case WebCommandLine::Outcome::kHashToken:
      return PrintTokenHash();
    case WebCommandLine::Outcome::kError:
      return Usage(line.error);
    case WebCommandLine::Outcome::kRun:
      break;
  }
  std::unique_ptr<UnitSource> source = MakeSource(&line);
  if (!source) return 1;
  WebOptions web = line.web;
  // A device's trail is where its infodriver runs: on this host, unless
  // the units come from a broker.
  if (!line.brokerMode()) {
    web.auditDirectory = AuditTrail::DefaultDirectory();
    for (int device : line.hub.devices)
      web.namesFiles[device] = NamesFilePath(
          ConfigFile(device, "QOR_MDU_1", line.hub.locations).path(), device);
  }
  if (!ReadControlToken(line.tokenFile, &web)) return 1;
  // Before any thread starts, so that every thread inherits the mask and
  // the signals are taken by WaitForExitSignal only.
  BlockExitSignals();
  signal(SIGPIPE, SIG_IGN);
  return Serve(source.get(), line, web);
}
