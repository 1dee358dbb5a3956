#ifndef QOR_TOOLS_QOR_WEB_WEB_COMMAND_LINE_H_
#define QOR_TOOLS_QOR_WEB_WEB_COMMAND_LINE_H_

#include <string>

#include "mqtt/bridge_settings.h"
#include "unitview/device_hub.h"
#include "web_server.h"

// What qor_web's command line asks for. Nothing is read or opened while it
// is parsed: the token and broker files are read when the server starts.
struct WebCommandLine {
  enum class Outcome { kRun, kHelp, kHashToken, kError };
  Outcome outcome = Outcome::kRun;
  std::string error;  // kError: one sentence saying what is wrong

  WebOptions web;
  HubOptions hub;         // the devices (host mode) and the site
  std::string tokenFile;  // empty: read-only
  BridgeSettings broker;  // host set: broker mode

  bool brokerMode() const { return !broker.host.empty(); }
};

// The text of --help.
extern const char kWebUsage[];

// Parses argv[1] to argv[argc - 1].
WebCommandLine ParseWebCommandLine(int argc, const char* const* argv);

#endif  // QOR_TOOLS_QOR_WEB_WEB_COMMAND_LINE_H_
