#include "bridge_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <optional>

#include "config/profile_file.h"
#include "mqtt_bridge.h"
#include "mqtt_topics.h"
#include "platform/device_number.h"
#include "platform/secret_file.h"

const char kBridgeUsage[] =
    "usage: qor_mqtt --broker HOST:PORT [--site NAME] [--allow-control]\n"
    "                [--settings FILE] DEVICE...\n"
    "       qor_mqtt --help\n";

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

namespace {

bool ParseNumber(std::string_view text, int min, int max, int* out) {
  int value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      value < min || value > max)
    return false;
  *out = value;
  return true;
}

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  // The short name: a dot is allowed in a topic, but sites are named the
  // way people call their hosts.
  std::string name(host);
  return name.substr(0, name.find('.'));
}

}  // namespace

bool ParseBrokerAddress(const std::string& b, std::string* host, int* port,
                        std::string* error) {
  size_t colon = b.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "--broker \"" + Printable(b) + "\" is not HOST:PORT";
    return false;
  }
  *host = b.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  if (!ParseNumber(std::string_view(b).substr(colon + 1), 1, 65535, port)) {
    *error = "--broker \"" + Printable(b) + "\": the port is not 1 to 65535";
    return false;
  }
  return true;
}

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

bool ReadPrivateFile(const std::string& path, std::string* firstLine,
                     std::string* error) {
  SecretFile secret = ReadSecretFile(path);
  if (!secret.ok) {
    *error = secret.error;
    return false;
  }
  *firstLine = secret.text.substr(0, secret.text.find('\n'));
  if (!firstLine->empty() && firstLine->back() == '\r') firstLine->pop_back();
  return true;
}

bool CompleteSettings(BridgeSettings* s, std::string* error) {
  if (!s->settingsFile.empty()) {
    if (access(s->settingsFile.c_str(), R_OK) != 0) {
      *error = "the settings file " + s->settingsFile +
               " cannot be read: " + strerror(errno);
      return false;
    }
    auto read = [&](const char* key, std::string* out) {
      std::string v;
      if (ReadProfileValue(s->settingsFile, "MQTT", key, &v)) *out = v;
    };
    if (!s->siteFromCommandLine) read("Site", &s->site);
    read("CAFile", &s->caFile);
    read("CertFile", &s->certFile);
    read("KeyFile", &s->keyFile);
    read("Username", &s->username);
    read("PasswordFile", &s->passwordFile);
  }
  if (s->site.empty()) s->site = HostName();
  if (!ValidSiteName(s->site)) {
    *error = "the site name \"" + Printable(s->site) +
             "\" cannot be a topic level (1 to 64 characters, no / + # or "
             "control characters)";
    return false;
  }
  if (!s->passwordFile.empty()) {
    if (s->username.empty()) {
      *error = "PasswordFile is set without Username";
      return false;
    }
    if (!ReadPrivateFile(s->passwordFile, &s->password, error)) {
      *error = "PasswordFile: " + *error;
      return false;
    }
  }
  if (!s->keyFile.empty()) {
    std::string ignored;
    if (!ReadPrivateFile(s->keyFile, &ignored, error)) {
      *error = "KeyFile: " + *error;
      return false;
    }
  }
  if (s->certFile.empty() != s->keyFile.empty()) {
    *error = "CertFile and KeyFile go together";
    return false;
  }
  for (const std::string* f : {&s->caFile, &s->certFile})
    if (!f->empty() && access(f->c_str(), R_OK) != 0) {
      *error = "the TLS file " + *f + " cannot be read: " + strerror(errno);
      return false;
    }
  return true;
}

MqttOptions MqttOptionsFor(const BridgeSettings& s) {
  MqttOptions o;
  o.host = s.host;
  o.port = s.port;
  o.clientId = "qor-mqtt-" + s.site;
  o.willTopic = MqttBridge::WillTopic(s.site);
  o.willPayload = MqttBridge::kOffline;
  o.willRetain = true;
  o.username = s.username;
  o.password = s.password;
  o.caFile = s.caFile;
  o.certFile = s.certFile;
  o.keyFile = s.keyFile;
  return o;
}
