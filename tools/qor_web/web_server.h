#ifndef QOR_TOOLS_QOR_WEB_WEB_SERVER_H_
#define QOR_TOOLS_QOR_WEB_WEB_SERVER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unitview/unit_source.h"

// An IPv4 address, or a range of them as ADDR/BITS (BITS 0 to 32).
struct AddressRange {
  uint32_t network = 0;  // host order, the bits below the prefix zero
  int bits = 32;
};
std::optional<AddressRange> ParseAddressRange(std::string_view text);
// Whether the numeric IPv4 |address| lies in any of |ranges|.
bool InAddressRanges(const std::vector<AddressRange>& ranges,
                     const std::string& address);
// The client a proxy says it forwards for: the last address of
// |xForwardedFor| (the one the nearest proxy added), else the "for=" of
// the last element of |forwarded| (RFC 7239) without quotes, brackets or
// port; nothing when neither header is given or the text is no IP address
// (an obfuscated name, "unknown", anything longer than an address).
std::optional<std::string> ForwardedClient(const char* xForwardedFor,
                                           const char* forwarded);

struct WebOptions {
  std::string address = "127.0.0.1";  // IPv4 address to listen on
  uint16_t port = 8080;               // 0 picks a free one (tests)
  // Control is enabled only with a token; without one every control
  // request is refused with 403.
  std::optional<std::string> controlToken;
  // Named tokens with roles, one line each (NAME ROLE SHA256); read at
  // Start and again whenever the file changes. Empty: none.
  std::string tokensFile;
  // Where the served devices' audit trails are (this host's log folder);
  // empty when they are elsewhere (broker mode).
  std::string auditDirectory;
  // Each served device's names file (names_NNN.ini): the outputs it
  // protects need an admin and a confirmation to be switched off.
  std::map<int, std::string> namesFiles;
  // Host names a request may name in its Host header besides the listen
  // address and "localhost" (a reverse proxy's name, the host's DNS
  // name). Any other name is answered 421, so that a page of another
  // site whose name was made to point here (DNS rebinding) reads nothing.
  std::vector<std::string> allowedHosts;
  // Reverse proxies whose forwarded client address the audit trail
  // records, beside the proxy's own: X-Forwarded-For or Forwarded from any
  // other peer is ignored, since anyone can send them.
  std::vector<AddressRange> trustedProxies;

  // Limits against peers that misbehave.
  unsigned connectionLimit = 256;
  unsigned connectionsPerAddress = 32;
  unsigned idleTimeoutSeconds = 30;
  // A request (headers and body) must have come in whole within this long
  // of the connection opening or of the previous answer on it; a peer that
  // sends a byte now and then cannot hold a connection.
  unsigned requestSeconds = 10;
  size_t connectionMemoryBytes = 32 * 1024;  // request line, headers, body
  size_t maxBodyBytes = 4096;
  unsigned maxEventStreams = 64;
  // A control room behind one NAT address shares this.
  unsigned maxStreamsPerAddress = 16;
  // Control requests waiting behind the one in progress, per device.
  unsigned maxPendingControls = 8;
  // Control requests a second from one address; more are answered 429.
  int controlsPerSecond = 10;
  // A control request must reach its unit within this long of its POST.
  int controlWaitLimitMs = kControlDeadlineMs;
  // A comment line on every event stream this often, so that proxies and
  // the idle timeout keep it open.
  unsigned keepaliveSeconds = 10;
  // An event stream whose unsent events exceed this is ended; the page
  // reconnects and starts again from a fresh snapshot.
  size_t maxStreamBacklogBytes = 1024 * 1024;
};

// Lower-case host name of a Host header or URL authority, without its port
// and the brackets of an IPv6 literal; nullopt when |authority| is not of
// the form NAME, NAME:PORT or [IPV6]:PORT.
std::optional<std::string> HostNameOf(std::string_view authority);

// The HTTP side of qor_web: the page, the JSON API under /api/v1, the event
// stream of the page, and /metrics, all read from a UnitSource and never
// from anywhere else. One libmicrohttpd thread serves every connection;
// control requests, which wait for a driver, go through a ControlQueue (a
// worker per device, one request in flight per control point, a rate per
// address) so that they never hold up the others. A watch thread ends event
// streams whose page has gone, sends their keep-alives and closes connections
// that are too slow to send their request.
//
// |source| (not owned) must outlive the server and be started by the
// caller. Start and Stop from one thread.
class WebServer {
 public:
  WebServer(UnitSource* source, WebOptions options);
  ~WebServer();  // stops
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Listens; false with |error| set when it cannot.
  bool Start(std::string* error);
  void Stop();
  uint16_t port() const;  // the port listened on, once started

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // QOR_TOOLS_QOR_WEB_WEB_SERVER_H_
