#include "web_command_line.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "platform/device_number.h"

const char kWebUsage[] =
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
    "  --trusted-proxy ADDR[/BITS] a reverse proxy (an IPv4 address or\n"
    "                              range) whose X-Forwarded-For or\n"
    "                              Forwarded client address the audit\n"
    "                              trail records, as 'CLIENT via PROXY';\n"
    "                              from any other peer those headers are\n"
    "                              ignored. Repeatable.\n"
    "  --control-token-file FILE   enable control: requests must carry\n"
    "                              'Authorization: Bearer TOKEN' with the\n"
    "                              first line of FILE (at least 16\n"
    "                              characters; the file must be readable by\n"
    "                              its owner only). Without it the server\n"
    "                              is read-only.\n"
    "  --tokens-file FILE          enable control with named tokens: one\n"
    "                              line a token, NAME ROLE SHA256, ROLE\n"
    "                              viewer, operator or admin, SHA256 the\n"
    "                              token's hash (qor_web --hash-token); the\n"
    "                              file must be readable by its owner only\n"
    "                              and is read again when it changes\n"
    "  --hash-token                read a token on standard input, print\n"
    "                              the hash a --tokens-file line wants, exit\n"
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
    "  --help                      show this and exit\n"
    "  --version                   show the version and exit\n";

namespace {

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

// A whole number of at most |digits| digits and at least |min|.
std::optional<unsigned> Count(const std::string& text, size_t digits, int min) {
  if (text.empty() ||
      text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > digits || std::atoi(text.c_str()) < min)
    return std::nullopt;
  return static_cast<unsigned>(std::atoi(text.c_str()));
}

// The name of --allow-host as the Host check compares it; empty when it is
// no host name or address without a port.
std::string AllowedHost(std::string text) {
  // A bare IPv6 address is taken as its bracketed form.
  struct in6_addr ipv6;
  if (inet_pton(AF_INET6, text.c_str(), &ipv6) == 1) text = "[" + text + "]";
  bool bracketed = text.front() == '[' && text.back() == ']';
  if (!HostNameOf(text) || (!bracketed && text.find(':') != std::string::npos))
    return "";
  return text;
}

// One option and its value; false with |line->error| set.
bool ParseOption(const std::string& arg, const std::string* value,
                 WebCommandLine* line) {
  auto fail = [line](std::string why) {
    line->error = std::move(why);
    return false;
  };
  WebOptions& web = line->web;
  const std::string text = value ? *value : "";
  if (arg == "--listen") {
    if (!value || !ParseListen(text, &web))
      return fail("--listen wants ADDR:PORT, for example 127.0.0.1:8080");
  } else if (arg == "--allow-host") {
    if (!value || text.empty()) return fail("--allow-host wants a NAME");
    const std::string host = AllowedHost(text);
    if (host.empty())
      return fail(
          "--allow-host wants a host name or address without a port, not '" +
          text + "'");
    web.allowedHosts.push_back(host);
  } else if (arg == "--trusted-proxy") {
    std::optional<AddressRange> range =
        value ? ParseAddressRange(text) : std::nullopt;
    if (!range)
      return fail("--trusted-proxy wants an IPv4 ADDR or ADDR/BITS, not '" +
                  text + "'");
    web.trustedProxies.push_back(*range);
  } else if (arg == "--max-streams-per-address") {
    std::optional<unsigned> n = value ? Count(text, 4, 1) : std::nullopt;
    if (!n) return fail("--max-streams-per-address wants a number, at least 1");
    web.maxStreamsPerAddress = *n;
  } else if (arg == "--control-token-file") {
    if (!value) return fail("--control-token-file wants a FILE");
    line->tokenFile = text;
  } else if (arg == "--tokens-file") {
    if (!value || text.empty()) return fail("--tokens-file wants a FILE");
    web.tokensFile = text;
  } else if (arg == "--site") {
    if (!value || text.empty() || text.find('/') != std::string::npos)
      return fail("--site wants a NAME without '/'");
    line->hub.site = text;
  } else if (arg == "--broker") {
    std::string why;
    if (!value) return fail("--broker wants HOST:PORT");
    if (!ParseBrokerAddress(text, &line->broker.host, &line->broker.port, &why))
      return fail(why);
  } else if (arg == "--broker-settings") {
    if (!value || text.empty()) return fail("--broker-settings wants a FILE");
    line->broker.settingsFile = text;
  } else if (arg == "--max-connections") {
    std::optional<unsigned> n = value ? Count(text, 5, 4) : std::nullopt;
    if (!n) return fail("--max-connections wants a number of at least 4");
    web.connectionLimit = *n;
  } else if (arg == "--idle-timeout") {
    std::optional<unsigned> n = value ? Count(text, 4, 1) : std::nullopt;
    if (!n) return fail("--idle-timeout wants a number of seconds, at least 1");
    web.idleTimeoutSeconds = *n;
    // The event streams' keep-alives must come before the timeout.
    web.keepaliveSeconds = std::max(
        1u, std::min(web.keepaliveSeconds, web.idleTimeoutSeconds / 2));
  } else {
    return fail("unknown option " + arg);
  }
  return true;
}

// What is wrong with a line whose every argument was good on its own.
std::string Conflict(const WebCommandLine& line) {
  if (line.brokerMode() && !line.hub.devices.empty())
    return "with --broker the devices are those the broker carries: name no "
           "DEVICE";
  if (!line.brokerMode() && !line.broker.settingsFile.empty())
    return "--broker-settings needs --broker";
  if (!line.brokerMode() && line.hub.devices.empty())
    return "name at least one DEVICE number";
  return "";
}

}  // namespace

WebCommandLine ParseWebCommandLine(int argc, const char* const* argv) {
  WebCommandLine line;
  auto fail = [&line](std::string why) {
    line.outcome = WebCommandLine::Outcome::kError;
    if (!why.empty()) line.error = std::move(why);
    return line;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.outcome = WebCommandLine::Outcome::kHelp;
      return line;
    }
    if (arg == "--hash-token") {
      line.outcome = WebCommandLine::Outcome::kHashToken;
      return line;
    }
    if (!arg.empty() && arg[0] == '-') {
      // Every option but --help and --hash-token takes a value: one that is
      // good took it.
      std::string value;
      if (i + 1 < argc) value = argv[i + 1];
      if (!ParseOption(arg, i + 1 < argc ? &value : nullptr, &line))
        return fail("");
      ++i;
      continue;
    }
    std::optional<int> device = ParseDeviceNumberArgument(arg);
    if (!device) return fail(DeviceNumberError(arg));
    line.hub.devices.push_back(*device);
  }
  if (std::string why = Conflict(line); !why.empty()) return fail(why);
  return line;
}
