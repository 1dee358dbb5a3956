#include "command_line.h"

#include <unistd.h>

#include "config/profile_file.h"
#include "mqtt/mqtt_topics.h"
#include "mqtt_bridge.h"
#include "platform/device_number.h"

const char kBridgeUsage[] =
    "usage: qor_mqtt --broker HOST:PORT [--site NAME] [--allow-control]\n"
    "                [--allow-protected] [--settings FILE] DEVICE...\n"
    "       qor_mqtt --help | --version\n";

const char kBridgeHelp[] =
    "\n"
    "Publishes the units of the host's devices DEVICE... (their infodrivers)\n"
    "to an MQTT broker under qor/<site>/, and takes control requests from it.\n"
    "\n"
    "  --broker HOST:PORT  the broker (port 1883, or 8883 with TLS, by habit)\n"
    "  --site NAME         the name of this host's tree (default: the Site "
    "key\n"
    "                      of the settings file, else the host name)\n"
    "  --allow-control     act on `set` messages; without it every request is\n"
    "                      refused and the refusal published\n"
    "  --allow-protected   switch a protected output off when the `set`\n"
    "                      payload names it: "
    "{\"value\":\"0\",\"confirm\":NAME}\n"
    "  --settings FILE     ini file, section [MQTT]: Site, CAFile, CertFile,\n"
    "                      KeyFile (TLS), Username, PasswordFile (the "
    "password\n"
    "                      on its first line; the file must be readable by "
    "the\n"
    "                      service user only)\n"
    "  --help              this text\n"
    "\n"
    "Exit codes: 0 after SIGTERM, SIGINT or SIGHUP; 1 the broker connection\n"
    "cannot be set up (a name that does not resolve, TLS files); 2 usage or\n"
    "settings.\n";

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             BridgeSettings* s, std::string* error) {
  auto fail = [&](std::string why) {
    *error = std::move(why);
    return CommandLine::kError;
  };
  bool haveBroker = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") return CommandLine::kHelp;
    if (a == "--allow-control") {
      s->allowControl = true;
    } else if (a == "--allow-protected") {
      s->allowProtected = true;
    } else if (a == "--broker") {
      std::string b, why;
      if (!value(&b)) return fail("--broker needs HOST:PORT");
      if (!ParseBrokerAddress(b, &s->host, &s->port, &why)) return fail(why);
      haveBroker = true;
    } else if (a == "--site") {
      if (!value(&s->site)) return fail("--site needs a name");
      s->siteFromCommandLine = true;
    } else if (a == "--settings") {
      if (!value(&s->settingsFile)) return fail("--settings needs a file");
    } else if (!a.empty() && a[0] == '-') {
      return fail("unknown option " + Printable(a));
    } else {
      const std::optional<int> device = ParseDeviceNumberArgument(a);
      if (!device) return fail(DeviceNumberError(a));
      for (int d : s->devices)
        if (d == *device) return fail("device " + a + " is named twice");
      s->devices.push_back(*device);
    }
  }
  if (!haveBroker) return fail("--broker HOST:PORT is missing");
  if (s->devices.empty()) return fail("no DEVICE given");
  return CommandLine::kRun;
}

MqttOptions MqttOptionsFor(const BridgeSettings& s) {
  MqttOptions o;
  o.host = s.host;
  o.port = s.port;
  // One of its own per process: a second bridge of the site must not take
  // the first one's session over before it has seen that the site is held.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  o.clientId = "qor-mqtt-" + s.site + "-" + host + "-" +
               std::to_string(static_cast<long>(getpid()));
  for (char& c : o.clientId)
    if (c == '/' || c == '+' || c == '#') c = '_';
  o.willTopic = MqttBridge::WillTopic(s.site);
  o.willPayload = MqttBridge::kOffline;
  o.willRetain = true;
  o.username = s.username;
  o.password = s.password;
  o.caFile = s.caFile;
  o.certFile = s.certFile;
  o.keyFile = s.keyFile;
  o.keepaliveSeconds = s.keepaliveSeconds;
  o.reconnectMaxSeconds = s.reconnectMaxSeconds;
  return o;
}
