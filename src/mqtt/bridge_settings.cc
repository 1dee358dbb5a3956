#include "mqtt/bridge_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <optional>

#include "config/profile_file.h"
#include "mqtt/mqtt_topics.h"
#include "platform/secret_file.h"

namespace {

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  // The short name: a dot is allowed in a topic, but sites are named the
  // way people call their hosts.
  std::string name(host);
  return name.substr(0, name.find('.'));
}

}  // namespace

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
    struct Number {
      const char* key;
      int min, max;
      int* out;
    };
    for (const Number& n :
         {Number{"KeepaliveSeconds", 5, 3600, &s->keepaliveSeconds},
          Number{"ReconnectMaxSeconds", 1, 3600, &s->reconnectMaxSeconds}}) {
      std::string v;
      if (!ReadProfileValue(s->settingsFile, "MQTT", n.key, &v)) continue;
      if (!ParseNumber(v, n.min, n.max, n.out)) {
        *error = std::string(n.key) + "=" + Printable(v) + " is not a number " +
                 std::to_string(n.min) + " to " + std::to_string(n.max);
        return false;
      }
    }
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
