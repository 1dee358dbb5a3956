#ifndef QOR_TOOLS_QOR_WEB_WEB_SERVER_H_
#define QOR_TOOLS_QOR_WEB_WEB_SERVER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "unitview/device_hub.h"

struct WebOptions {
  std::string address = "127.0.0.1";  // IPv4 address to listen on
  uint16_t port = 8080;               // 0 picks a free one (tests)
  // Control is enabled only with a token; without one every control
  // request is refused with 403.
  std::optional<std::string> controlToken;

  // Limits against peers that misbehave.
  unsigned connectionLimit = 64;
  unsigned connectionsPerAddress = 16;
  unsigned idleTimeoutSeconds = 30;
  size_t connectionMemoryBytes = 32 * 1024;  // request line, headers, body
  size_t maxBodyBytes = 4096;
  unsigned maxEventStreams = 32;
  unsigned maxPendingControls = 8;
  // A control request must reach its unit within this long of its POST.
  int controlWaitLimitMs = kControlDeadlineMs;
  // A comment line on every event stream this often, so that proxies and
  // the idle timeout keep it open and a vanished page is noticed.
  unsigned keepaliveSeconds = 10;
  // An event stream whose unsent events exceed this is ended; the page
  // reconnects and starts again from a fresh snapshot.
  size_t maxStreamBacklogBytes = 1024 * 1024;
};

// The HTTP side of qor_web: the page, the JSON API under /api/v1, the event
// stream of the page, and /metrics, all read from a UnitSource and never
// from anywhere else. One libmicrohttpd thread serves every connection;
// control requests, which wait for a driver, run on a thread of their own
// so that they never hold up the others.
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
