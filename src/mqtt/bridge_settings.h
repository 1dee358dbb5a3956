#ifndef QOR_MQTT_BRIDGE_SETTINGS_H_
#define QOR_MQTT_BRIDGE_SETTINGS_H_

#include <string>
#include <string_view>
#include <vector>

#include "mqtt/mqtt_client.h"

// What qor_mqtt runs with: its command line (see qor_mqtt's command_line.h),
// then its settings file, which qor_web's broker mode reads too.
//
// The settings file (ini, section [MQTT]) holds what must not stand on a
// command line that every user of the host can read:
//   Site=NAME            when --site is not given (default: the host name)
//   CAFile=PATH          TLS: the CA certificates the broker is checked with
//   CertFile=PATH        TLS: this client's certificate ...
//   KeyFile=PATH         ... and its key (private to the service user)
//   Username=NAME        the broker's user name
//   PasswordFile=PATH    its password, on the file's first line; the file
//                        must not be readable by group or others
//   KeepaliveSeconds=N   5 to 3600 (30): the broker and the client give a
//                        silent connection up after 1.5 times this
//   ReconnectMaxSeconds=N  1 to 3600 (30): the longest wait between two
//                        attempts to reach the broker (the wait starts at
//                        1 s and doubles)
struct BridgeSettings {
  std::string host;
  int port = 1883;
  std::string site;
  bool siteFromCommandLine = false;
  bool allowControl = false;
  bool allowProtected = false;  // --allow-protected
  std::string settingsFile;
  std::vector<int> devices;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  std::string username;
  std::string passwordFile;
  std::string password;  // read from passwordFile
  int keepaliveSeconds = 30;
  int reconnectMaxSeconds = 30;
};

// HOST:PORT (HOST may be [IPv6]) of --broker; false with |error| saying
// what is wrong.
bool ParseBrokerAddress(const std::string& text, std::string* host, int* port,
                        std::string* error);

// |text| as a whole decimal number in [min, max]; false otherwise.
bool ParseNumber(std::string_view text, int min, int max, int* out);

// Reads the settings file (when one is given), the password file, and
// settles the site (command line, file, host name). False with |error| on
// anything that would make the bridge run other than asked: a file that
// cannot be read, a password file others can read, a bad site name.
bool CompleteSettings(BridgeSettings* settings, std::string* error);

// The first line of |path|; false with |error| when it is no secret file
// of this user's (see ReadSecretFile).
bool ReadPrivateFile(const std::string& path, std::string* firstLine,
                     std::string* error);

#endif  // QOR_MQTT_BRIDGE_SETTINGS_H_
