// qor_web: every unit of the host's devices on one live page, with their
// control where enabled, a JSON API under /api/v1 and Prometheus metrics at
// /metrics. A client of the devices' infodrivers, like `infoctl watch`: it
// never talks to a unit and never bypasses its driver. With --broker it
// shows instead every site that qor_mqtt bridges carry to one MQTT broker,
// and control goes through the bridges' set topics, to the same drivers.
//
// Exit codes: 0 after SIGTERM, SIGINT or SIGHUP; 2 for a bad command line;
// 1 when it cannot start (token file unsafe, address not available).
#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control_token.h"
#include "mqtt/bridge_settings.h"
#include "mqtt/broker_source.h"
#include "platform/service_notifier.h"
#include "unitview/device_hub.h"
#include "web_server.h"

namespace {

constexpr const char* kUsage =
    "Usage: qor_web [OPTION]... DEVICE...\n"
    "   or: qor_web [OPTION]... --broker HOST:PORT\n"
    "Serves the units of the driver DEVICE numbers (1-999) of this host, or\n"
    "with --broker those of every site on an MQTT broker: a live page at /,\n"
    "a JSON API under /api/v1/ and Prometheus metrics at /metrics.\n"
    "\n"
    "  --listen ADDR:PORT          listen there (default 127.0.0.1:8080).\n"
    "                              An address other than loopback lets every\n"
    "                              host that reaches it read the units; see\n"
    "                              qor_web(8) before doing so.\n"
    "  --allow-host NAME           answer requests for host NAME too (a\n"
    "                              reverse proxy's name, this host's DNS\n"
    "                              name); by default only the --listen\n"
    "                              address and localhost are answered,\n"
    "                              others get 421. Repeatable.\n"
    "  --control-token-file FILE   enable control: requests must carry\n"
    "                              'Authorization: Bearer TOKEN' with the\n"
    "                              first line of FILE (at least 16\n"
    "                              characters; the file must be readable by\n"
    "                              its owner only). Without it the server\n"
    "                              is read-only.\n"
    "  --site NAME                 the name the units go by (default: the\n"
    "                              host name)\n"
    "  --broker HOST:PORT          take the units of every site from this\n"
    "                              MQTT broker (qor_mqtt bridges publish\n"
    "                              them) instead of this host's devices\n"
    "  --broker-settings FILE      the broker's credentials and TLS files,\n"
    "                              section [MQTT] as for qor_mqtt(8):\n"
    "                              Username, PasswordFile, CAFile, CertFile,\n"
    "                              KeyFile\n"
    "  --max-connections N         connections at once (default 256, 32\n"
    "                              from one address)\n"
    "  --max-streams-per-address N event streams (open pages) from one\n"
    "                              address (default 16)\n"
    "  --idle-timeout SECONDS      close a connection idle this long\n"
    "                              (default 30)\n"
    "  --help                      show this and exit\n";

bool ParseListen(const std::string& text, WebOptions* options) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  int number = std::atoi(port.c_str());
  if (number < 1 || number > 65535) return false;
  options->address = text.substr(0, colon);
  options->port = static_cast<uint16_t>(number);
  return true;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "qor_web: %s\nTry 'qor_web --help'.\n", problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  WebOptions web;
  HubOptions hub;
  std::string tokenFile;
  BridgeSettings broker;  // host set: broker mode
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--listen") {
      if (!value(&text) || !ParseListen(text, &web))
        return Usage("--listen wants ADDR:PORT, for example 127.0.0.1:8080");
    } else if (arg == "--allow-host") {
      if (!value(&text) || text.empty())
        return Usage("--allow-host wants a NAME");
      const std::string given = text;
      // A bare IPv6 address is taken as its bracketed form.
      struct in6_addr ipv6;
      if (inet_pton(AF_INET6, text.c_str(), &ipv6) == 1)
        text = "[" + text + "]";
      bool bracketed = text.front() == '[' && text.back() == ']';
      if (!HostNameOf(text) ||
          (!bracketed && text.find(':') != std::string::npos))
        return Usage(
            "--allow-host wants a host name or address without a "
            "port, not '" +
            given + "'");
      web.allowedHosts.push_back(text);
    } else if (arg == "--max-streams-per-address") {
      if (!value(&text) || text.empty() ||
          text.find_first_not_of("0123456789") != std::string::npos ||
          text.size() > 4 || std::atoi(text.c_str()) < 1)
        return Usage("--max-streams-per-address wants a number, at least 1");
      web.maxStreamsPerAddress = static_cast<unsigned>(std::atoi(text.c_str()));
    } else if (arg == "--control-token-file") {
      if (!value(&tokenFile)) return Usage("--control-token-file wants a FILE");
    } else if (arg == "--site") {
      if (!value(&hub.site) || hub.site.empty() ||
          hub.site.find('/') != std::string::npos)
        return Usage("--site wants a NAME without '/'");
    } else if (arg == "--broker") {
      std::string why;
      if (!value(&text)) return Usage("--broker wants HOST:PORT");
      if (!ParseBrokerAddress(text, &broker.host, &broker.port, &why))
        return Usage(why);
    } else if (arg == "--broker-settings") {
      if (!value(&broker.settingsFile) || broker.settingsFile.empty())
        return Usage("--broker-settings wants a FILE");
    } else if (arg == "--max-connections") {
      if (!value(&text) || text.empty() ||
          text.find_first_not_of("0123456789") != std::string::npos ||
          text.size() > 5 || std::atoi(text.c_str()) < 4)
        return Usage("--max-connections wants a number of at least 4");
      web.connectionLimit = static_cast<unsigned>(std::atoi(text.c_str()));
    } else if (arg == "--idle-timeout") {
      if (!value(&text) || text.empty() ||
          text.find_first_not_of("0123456789") != std::string::npos ||
          text.size() > 4 || std::atoi(text.c_str()) < 1)
        return Usage("--idle-timeout wants a number of seconds, at least 1");
      web.idleTimeoutSeconds = static_cast<unsigned>(std::atoi(text.c_str()));
      // The event streams' keep-alives must come before the timeout.
      web.keepaliveSeconds = std::max(
          1u, std::min(web.keepaliveSeconds, web.idleTimeoutSeconds / 2));
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      if (arg.size() > 3 ||
          arg.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(arg.c_str()) < 1)
        return Usage("a DEVICE is a number from 1 to 999, not '" + arg + "'");
      hub.devices.push_back(std::atoi(arg.c_str()));
    }
  }
  const bool brokerMode = !broker.host.empty();
  if (brokerMode && !hub.devices.empty())
    return Usage(
        "with --broker the devices are those the broker carries: name no "
        "DEVICE");
  if (!brokerMode && !broker.settingsFile.empty())
    return Usage("--broker-settings needs --broker");
  if (!brokerMode && hub.devices.empty())
    return Usage("name at least one DEVICE number");

  std::unique_ptr<UnitSource> source;
  if (brokerMode) {
    // The site of the bridges' settings is theirs; this one only reads the
    // credentials and TLS files, refusing any that others can read.
    broker.site = "qor-web";
    broker.siteFromCommandLine = true;
    std::string error;
    if (!CompleteSettings(&broker, &error)) {
      std::fprintf(stderr, "qor_web: %s\n", error.c_str());
      return 1;
    }
    BrokerSourceOptions options;
    options.mqtt.host = broker.host;
    options.mqtt.port = broker.port;
    options.mqtt.username = broker.username;
    options.mqtt.password = broker.password;
    options.mqtt.caFile = broker.caFile;
    options.mqtt.certFile = broker.certFile;
    options.mqtt.keyFile = broker.keyFile;
    source = std::make_unique<BrokerSource>(options);
  } else {
    source = std::make_unique<DeviceHub>(hub);
  }

  if (!tokenFile.empty()) {
    ControlTokenFile token = ReadControlTokenFile(tokenFile);
    if (!token.ok) {
      std::fprintf(stderr, "qor_web: %s\n", token.error.c_str());
      return 1;
    }
    web.controlToken = token.token;
  }

  // The signals are taken by sigwait below; blocked before any thread
  // starts so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  source->Start();
  WebServer server(source.get(), web);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "qor_web: %s\n", error.c_str());
    source->Stop();
    return 1;
  }
  bool loopback = web.address.rfind("127.", 0) == 0;
  const std::string what =
      brokerMode ? "the sites on broker " + broker.host + ":" +
                       std::to_string(broker.port)
                 : std::to_string(hub.devices.size()) + " device(s)";
  std::fprintf(stderr, "qor_web: serving %s at http://%s:%u/ (%s)%s\n",
               what.c_str(), web.address.c_str(), server.port(),
               web.controlToken ? "control enabled with a token" : "read-only",
               loopback ? ""
                        : "; listening beyond this host: every host that "
                          "reaches this address can read the units");
  SystemdNotifier notifier;
  notifier.Notify("READY=1\nSTATUS=serving http://" + web.address + ":" +
                  std::to_string(server.port()) + "/");

  int received = 0;
  sigwait(&signals, &received);
  notifier.Notify("STOPPING=1");
  server.Stop();
  source->Stop();
  return 0;
}
