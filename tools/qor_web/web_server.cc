#include "web_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "control_token.h"
#include "embedded_assets.h"
#include "metrics.h"
#include "platform/clock.h"
#include "platform/device_number.h"
#include "unitview/control_point.h"
#include "unitview/control_queue.h"
#include "unitview/unit_state.h"

namespace {

using nlohmann::json;

// No script, style or connection leaves the server's own origin, and no
// inline script runs: a value a unit reports can never become code.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";

using UnitKey = std::tuple<std::string, int, int>;

std::vector<std::string_view> Split(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t slash = path.find('/');
    parts.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// A path number: decimal digits only, no sign, no leading blanks.
std::optional<int> PathNumber(std::string_view text, int max) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

const char* Header(MHD_Connection* connection, const char* name) {
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

// libmicrohttpd's own unescaping, except that a %00 cannot cut a path
// short (a truncated path could name another resource): it becomes a byte
// no route holds.
size_t UnescapePath(void*, MHD_Connection*, char* text) {
  size_t length = MHD_http_unescape(text);
  for (size_t i = 0; i < length; ++i)
    if (text[i] == '\0') text[i] = '\x7f';
  return length;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// The numeric text of an IPv4 or IPv6 socket address; empty for others.
std::string AddressText(const struct sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (!address) return "";
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET,
              &reinterpret_cast<const struct sockaddr_in*>(address)->sin_addr,
              text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6,
              &reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_addr,
              text, sizeof text);
  }
  return text;
}

// A control body as JSON; a key twice in one object makes it invalid
// (|duplicate| names it), since the two could mean opposite values and
// taking either one would be a guess.
json ParseControlBody(const std::string& text, std::string* duplicate) {
  std::vector<std::set<std::string>> keys;
  json::parser_callback_t check = [&](int, json::parse_event_t event,
                                      json& parsed) {
    if (event == json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == json::parse_event_t::key && !keys.empty() &&
               !keys.back().insert(parsed.get<std::string>()).second &&
               duplicate->empty()) {
      *duplicate = parsed.get<std::string>();
    }
    return true;
  };
  return json::parse(text, check, false);
}

// One HTTP request, from its headers to its answer.
struct Request {
  std::string method;
  std::string url;
  std::string body;
  bool bodyTooLarge = false;
  bool answered = false;
  int64_t arrivedMs = 0;  // its headers were in: a control's deadline counts
                          // from here
  // A control request handed to the control queue; the connection is
  // suspended until |done|.
  std::mutex mutex;
  bool done = false;
  unsigned status = 0;
  json answer;
  std::string location;
};

}  // namespace

std::optional<std::string> HostNameOf(std::string_view authority) {
  std::string_view name, port;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = authority.substr(1, close - 1);
    port = authority.substr(close + 1);
    struct in6_addr address;
    if (inet_pton(AF_INET6, std::string(name).c_str(), &address) != 1)
      return std::nullopt;
  } else {
    size_t colon = authority.find(':');
    name = authority.substr(0, colon);
    if (colon != std::string_view::npos) port = authority.substr(colon);
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._") !=
        std::string_view::npos)
      return std::nullopt;
  }
  if (!port.empty() &&
      (port.front() != ':' || port.size() > 6 ||
       port.find_first_not_of("0123456789", 1) != std::string_view::npos))
    return std::nullopt;
  std::string lower = Lower(name);
  // "localhost." is "localhost": a fully qualified name may end in a dot.
  if (!lower.empty() && lower.back() == '.') lower.pop_back();
  if (lower.empty()) return std::nullopt;
  return lower;
}

class WebServer::Impl {
 public:
  Impl(UnitSource* source, WebOptions options)
      : source_(source), options_(std::move(options)) {}

  bool Start(std::string* error);
  void Stop();
  uint16_t port() const { return port_; }

 private:
  // A page's event stream. The MHD thread writes it while there is
  // something to send and suspends it when there is nothing; the source's
  // listener marks what changed and resumes it.
  struct Stream {
    Impl* server = nullptr;
    MHD_Connection* connection = nullptr;
    int fd = -1;          // the connection's socket, watched while suspended
    std::string address;  // the peer's
    std::mutex mutex;
    bool suspended = false;
    bool closed = false;  // end the stream at the next write
    bool gone = false;    // its response is freed: never resume it
    std::set<UnitKey> dirtyUnits;
    bool devicesDirty = false;
    std::string backlog;  // events already written out as text
    std::string out;      // being sent
    size_t outPos = 0;
  };

  static MHD_Result Dispatch(void* cls, MHD_Connection* connection,
                             const char* url, const char* method,
                             const char* version, const char* upload,
                             size_t* uploadSize, void** context);
  static void Completed(void* cls, MHD_Connection* connection, void** context,
                        MHD_RequestTerminationCode code);
  static void NotifyConnection(void* cls, MHD_Connection* connection,
                               void** socketContext,
                               MHD_ConnectionNotificationCode code);
  static ssize_t ReadStream(void* cls, uint64_t pos, char* buffer, size_t max);
  static void FreeStream(void* cls);

  MHD_Result Route(MHD_Connection* connection, Request* request);
  MHD_Result RouteApi(MHD_Connection* connection, Request* request,
                      const std::vector<std::string_view>& parts);
  MHD_Result Control(MHD_Connection* connection, Request* request,
                     const std::vector<std::string_view>& parts);
  MHD_Result OpenStream(MHD_Connection* connection);
  MHD_Result SendJson(MHD_Connection* connection, unsigned status,
                      const json& body, const std::string& allow = "",
                      const std::string& location = "");
  MHD_Result SendError(MHD_Connection* connection, unsigned status,
                       const std::string& message,
                       const std::string& allow = "") {
    return SendJson(connection, status, json{{"error", message}}, allow);
  }
  MHD_Result Send(MHD_Connection* connection, unsigned status,
                  MHD_Response* response);

  // A connection as the watch thread sees it.
  struct Peer {
    int fd = -1;
    std::string address;  // the peer's, numeric
    std::string local;    // the address of this host it connected to
    // Between the connection's start or its last answer and the moment its
    // next request is in: what must not take longer than requestSeconds.
    bool receiving = true;
    std::chrono::steady_clock::time_point since;
    bool cutOff = false;  // shut down for being too slow
  };
  Peer PeerOf(MHD_Connection* connection);
  // Whether the request of |connection| came in whole in time; from then on
  // it is being answered and not timed.
  bool EndReceiving(MHD_Connection* connection);
  bool HostAccepted(MHD_Connection* connection, const std::string& name);
  bool OriginAccepted(MHD_Connection* connection, const std::string& origin);
  std::string AcceptedHostsText() const;

  void OnUnitChanged(const UnitState& state);
  void OnDevicesChanged();
  void OnControlChanged(const ControlUpdate& update);
  void Wake(Stream* stream);  // stream->mutex held
  std::string NextEvents(Stream* stream, bool* dirty);
  void ControlAnswered(MHD_Connection* connection, Request* request,
                       const ControlUpdate& update);
  void WatchLoop();
  void WakeWatch();
  void EndStreamsOfGonePages(
      const std::vector<struct pollfd>& fds,
      const std::vector<std::shared_ptr<Stream>>& watched);
  void SendKeepalives();
  void CutOffSlowRequests();
  json ServerJson() const;

  UnitSource* source_;
  WebOptions options_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  int listenerId_ = -1;

  std::mutex streamsMutex_;
  std::vector<std::shared_ptr<Stream>> streams_;
  bool stopping_ = false;  // streamsMutex_

  std::unique_ptr<ControlQueue> controlQueue_;

  // The names a Host header may give: the listen address (unless it is
  // every address), "localhost" and the allowed ones. |explicitHosts_| are
  // the allowed ones only.
  std::vector<std::string> hostNames_;
  std::vector<std::string> explicitHosts_;
  bool anyAddress_ = false;  // listening on 0.0.0.0

  std::mutex peersMutex_;
  std::unordered_map<MHD_Connection*, Peer> peers_;

  int wakeFd_ = -1;  // eventfd: the watch thread's set of streams changed
  std::thread watchThread_;

  std::atomic<uint64_t> httpRequests_{0};
  std::atomic<uint64_t> httpClientErrors_{0};
  std::atomic<uint64_t> httpServerErrors_{0};
  std::atomic<uint64_t> controlRejected_{0};
  std::atomic<uint64_t> eventsSent_{0};
  std::atomic<uint64_t> streamsDropped_{0};
  std::atomic<uint64_t> streamsOpen_{0};
  std::atomic<uint64_t> requestsCutOff_{0};
};

bool WebServer::Impl::Start(std::string* error) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
    *error = "not an IPv4 address: " + options_.address;
    return false;
  }
  anyAddress_ = address.sin_addr.s_addr == htonl(INADDR_ANY);
  hostNames_.clear();
  explicitHosts_.clear();
  if (!anyAddress_) hostNames_.push_back(options_.address);
  hostNames_.push_back("localhost");
  for (const std::string& host : options_.allowedHosts) {
    std::optional<std::string> name = HostNameOf(host);
    if (!name || host.find(':') != std::string::npos) {
      if (!(name && host.front() == '[' && host.back() == ']')) {
        *error = "not a host name or address without a port: " + host;
        return false;
      }
    }
    hostNames_.push_back(*name);
    explicitHosts_.push_back(*name);
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    *error = std::string("cannot make an eventfd: ") + std::strerror(errno);
    return false;
  }
  UnitSource::Listener listener;
  listener.unitChanged = [this](const UnitState& s) { OnUnitChanged(s); };
  listener.deviceChanged = [this](const DeviceStatus&) { OnDevicesChanged(); };
  listener.controlChanged = [this](const ControlUpdate& u) {
    OnControlChanged(u);
  };
  listenerId_ = source_->AddListener(std::move(listener));

  ControlQueue::Options queue;
  queue.waitingPerDevice = options_.maxPendingControls;
  queue.requestsPerSecond = options_.controlsPerSecond;
  controlQueue_ = std::make_unique<ControlQueue>(source_, queue);
  watchThread_ = std::thread([this] { WatchLoop(); });

  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                   MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ITC | MHD_USE_ERROR_LOG;
  daemon_ = MHD_start_daemon(
      flags, options_.port, nullptr, nullptr, &Impl::Dispatch, this,
      MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT,
      options_.connectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      options_.connectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
      options_.idleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      options_.connectionMemoryBytes, MHD_OPTION_NOTIFY_COMPLETED,
      &Impl::Completed, this, MHD_OPTION_NOTIFY_CONNECTION,
      &Impl::NotifyConnection, this, MHD_OPTION_UNESCAPE_CALLBACK,
      &UnescapePath, nullptr, MHD_OPTION_END);
  if (!daemon_) {
    *error = "cannot listen on " + options_.address + ":" +
             std::to_string(options_.port) +
             " (address in use, or not an address of this host)";
    Stop();
    return false;
  }
  const MHD_DaemonInfo* info =
      MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : options_.port;
  return true;
}

void WebServer::Impl::Stop() {
  if (listenerId_ >= 0) {
    source_->RemoveListener(listenerId_);
    listenerId_ = -1;
  }
  // Every suspended connection must be resumed before the daemon stops.
  {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    stopping_ = true;
    for (auto& stream : streams_) {
      std::lock_guard<std::mutex> streamLock(stream->mutex);
      stream->closed = true;
      Wake(stream.get());
    }
  }
  // Answers every control request still waiting, which resumes its
  // connection; one that comes in from now on is refused at once. The
  // queue itself goes once the daemon can call it no more.
  if (controlQueue_) controlQueue_->Stop();
  WakeWatch();
  if (watchThread_.joinable()) watchThread_.join();
  if (daemon_) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  controlQueue_.reset();
  if (wakeFd_ >= 0) {
    close(wakeFd_);
    wakeFd_ = -1;
  }
  std::lock_guard<std::mutex> lock(streamsMutex_);
  streams_.clear();
}

void WebServer::Impl::NotifyConnection(void* cls, MHD_Connection* connection,
                                       void**,
                                       MHD_ConnectionNotificationCode code) {
  Impl* self = static_cast<Impl*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    // Called before the socket is closed: while the entry is there, its
    // descriptor is this connection's.
    std::lock_guard<std::mutex> lock(self->peersMutex_);
    self->peers_.erase(connection);
    return;
  }
  Peer peer;
  peer.since = std::chrono::steady_clock::now();
  if (const MHD_ConnectionInfo* info = MHD_get_connection_info(
          connection, MHD_CONNECTION_INFO_CONNECTION_FD))
    peer.fd = info->connect_fd;
  if (const MHD_ConnectionInfo* info = MHD_get_connection_info(
          connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
    peer.address = AddressText(info->client_addr);
  struct sockaddr_storage local = {};
  socklen_t length = sizeof local;
  if (peer.fd >= 0 &&
      getsockname(peer.fd, reinterpret_cast<struct sockaddr*>(&local),
                  &length) == 0)
    peer.local = AddressText(reinterpret_cast<struct sockaddr*>(&local));
  std::lock_guard<std::mutex> lock(self->peersMutex_);
  self->peers_[connection] = peer;
}

WebServer::Impl::Peer WebServer::Impl::PeerOf(MHD_Connection* connection) {
  std::lock_guard<std::mutex> lock(peersMutex_);
  auto found = peers_.find(connection);
  return found == peers_.end() ? Peer() : found->second;
}

bool WebServer::Impl::EndReceiving(MHD_Connection* connection) {
  std::lock_guard<std::mutex> lock(peersMutex_);
  auto found = peers_.find(connection);
  if (found == peers_.end()) return true;
  if (found->second.cutOff) return false;
  found->second.receiving = false;
  return true;
}

bool WebServer::Impl::HostAccepted(MHD_Connection* connection,
                                   const std::string& name) {
  for (const std::string& accepted : hostNames_)
    if (name == accepted) return true;
  // Listening on every address: the one this client reached is ours too.
  return anyAddress_ && name == PeerOf(connection).local;
}

std::string WebServer::Impl::AcceptedHostsText() const {
  std::string text;
  for (const std::string& name : hostNames_)
    text += (text.empty() ? "" : ", ") + name;
  if (anyAddress_) text += ", the address connected to";
  return text;
}

// A page's origin is acceptable when it names this server as the Host
// header does (a browser sends both from the address bar), or names a host
// given with --allow-host, such as a reverse proxy's, on any port.
bool WebServer::Impl::OriginAccepted(MHD_Connection* connection,
                                     const std::string& origin) {
  std::string o = Lower(origin);
  std::string_view authority(o);
  if (authority.rfind("http://", 0) == 0) {
    authority.remove_prefix(7);
  } else if (authority.rfind("https://", 0) == 0) {
    authority.remove_prefix(8);
  } else {
    return false;
  }
  std::optional<std::string> name = HostNameOf(authority);
  if (!name || !HostAccepted(connection, *name)) return false;
  const char* host = Header(connection, MHD_HTTP_HEADER_HOST);
  if (host && Lower(host) == authority) return true;
  for (const std::string& allowed : explicitHosts_)
    if (*name == allowed) return true;
  return false;
}

MHD_Result WebServer::Impl::Dispatch(void* cls, MHD_Connection* connection,
                                     const char* url, const char* method,
                                     const char* version, const char* upload,
                                     size_t* uploadSize, void** context) {
  Impl* self = static_cast<Impl*>(cls);
  Request* request = static_cast<Request*>(*context);
  if (!request) {
    request = new Request;
    request->method = method;
    request->url = url;
    request->arrivedMs = TheSystemClock().NowMs();
    *context = request;
    // A name this server does not go by is a page of another site whose
    // name was pointed here: it gets nothing, not even the page.
    const char* host = Header(connection, MHD_HTTP_HEADER_HOST);
    std::optional<std::string> name =
        host ? HostNameOf(host) : std::optional<std::string>();
    if (!name || !self->HostAccepted(connection, *name)) {
      request->answered = true;
      return self->SendError(
          connection, MHD_HTTP_MISDIRECTED_REQUEST,
          std::string(host ? "this server does not go by that name"
                           : "the request has no Host header") +
              "; it answers to " + self->AcceptedHostsText() +
              " (more with --allow-host NAME)");
    }
    // A body announced too large is refused before any of it is read.
    const char* length = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length) {
      char* end = nullptr;
      errno = 0;
      unsigned long long n = std::strtoull(length, &end, 10);
      if (errno != 0 || *end != '\0' || n > self->options_.maxBodyBytes) {
        request->answered = true;
        if (request->method == "POST") self->controlRejected_++;
        return self->SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                               "the request body is larger than " +
                                   std::to_string(self->options_.maxBodyBytes) +
                                   " bytes");
      }
    }
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    if (!request->bodyTooLarge) {
      if (request->body.size() + *uploadSize > self->options_.maxBodyBytes) {
        request->bodyTooLarge = true;
        request->body.clear();
      } else {
        request->body.append(upload, *uploadSize);
      }
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  {
    std::lock_guard<std::mutex> lock(request->mutex);
    if (request->done) {
      json answer = std::move(request->answer);
      request->done = false;
      request->answered = true;
      return self->SendJson(connection, request->status, answer, "",
                            request->location);
    }
  }
  if (request->answered) return MHD_YES;
  request->answered = true;
  // Cut off for being too slow: it is not acted on, however whole it is.
  if (!self->EndReceiving(connection)) return MHD_NO;
  return self->Route(connection, request);
}

void WebServer::Impl::Completed(void* cls, MHD_Connection* connection,
                                void** context, MHD_RequestTerminationCode) {
  delete static_cast<Request*>(*context);
  *context = nullptr;
  // The next request on the connection has as long as the first had.
  Impl* self = static_cast<Impl*>(cls);
  std::lock_guard<std::mutex> lock(self->peersMutex_);
  auto found = self->peers_.find(connection);
  if (found != self->peers_.end()) {
    found->second.receiving = true;
    found->second.since = std::chrono::steady_clock::now();
  }
}

MHD_Result WebServer::Impl::Send(MHD_Connection* connection, unsigned status,
                                 MHD_Response* response) {
  if (!response) return MHD_NO;
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy",
                          kContentSecurityPolicy);
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  httpRequests_++;
  if (status >= 500) {
    httpServerErrors_++;
  } else if (status >= 400) {
    httpClientErrors_++;
  }
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result WebServer::Impl::SendJson(MHD_Connection* connection,
                                     unsigned status, const json& body,
                                     const std::string& allow,
                                     const std::string& location) {
  // Invalid UTF-8 in a slot text is shown replaced rather than failing the
  // whole answer.
  std::string text =
      body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  MHD_Response* response = MHD_create_response_from_buffer(
      text.size(), text.data(), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "application/json");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (!allow.empty())
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow.c_str());
  if (!location.empty())
    MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION,
                            location.c_str());
  if (status == MHD_HTTP_UNAUTHORIZED)
    MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                            "Bearer");
  return Send(connection, status, response);
}

MHD_Result WebServer::Impl::Route(MHD_Connection* connection,
                                  Request* request) {
  const std::string& method = request->method;
  std::string_view path = request->url;
  bool get = method == "GET" || method == "HEAD";
  if (path.rfind("/api/v1/", 0) == 0) {
    return RouteApi(connection, request,
                    Split(path.substr(std::strlen("/api/v1/"))));
  }
  if (path == "/api/v1") return RouteApi(connection, request, {});
  if (path == "/metrics") {
    if (!get) return SendError(connection, 405, "use GET", "GET, HEAD");
    WebCounters web;
    web.httpRequests = httpRequests_;
    web.httpClientErrors = httpClientErrors_;
    web.httpServerErrors = httpServerErrors_;
    web.controlRejected = controlRejected_;
    web.eventsSent = eventsSent_;
    web.eventStreamsDropped = streamsDropped_;
    web.eventStreams = streamsOpen_;
    web.requestsCutOff = requestsCutOff_;
    std::string text = RenderMetrics(source_->Units(), source_->Devices(),
                                     source_->GetCounters(), web);
    MHD_Response* response = MHD_create_response_from_buffer(
        text.size(), text.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            "text/plain; version=0.0.4; charset=utf-8");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                            "no-store");
    return Send(connection, MHD_HTTP_OK, response);
  }
  std::string_view asset = path == "/"              ? "/index.html"
                           : path == "/favicon.ico" ? "/favicon.svg"
                                                    : path;
  for (const EmbeddedAsset& a : EmbeddedAssets()) {
    if (asset != a.path) continue;
    if (!get) return SendError(connection, 405, "use GET", "GET, HEAD");
    MHD_Response* response = MHD_create_response_from_buffer(
        a.size, const_cast<char*>(a.data), MHD_RESPMEM_PERSISTENT);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            a.contentType);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                            "no-cache");
    return Send(connection, MHD_HTTP_OK, response);
  }
  return SendError(connection, MHD_HTTP_NOT_FOUND,
                   "nothing here: the page is at /, the API under /api/v1/ "
                   "and the metrics at /metrics");
}

json WebServer::Impl::ServerJson() const {
  return json{{"control", options_.controlToken.has_value()}, {"api", "v1"}};
}

MHD_Result WebServer::Impl::RouteApi(
    MHD_Connection* connection, Request* request,
    const std::vector<std::string_view>& parts) {
  bool get = request->method == "GET" || request->method == "HEAD";
  bool post = request->method == "POST";
  auto getOnly = [&]() {
    return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                     "only GET is answered here", "GET, HEAD");
  };
  if (parts.empty() || (parts.size() == 1 && parts[0] == "server")) {
    if (!get) return getOnly();
    return SendJson(connection, MHD_HTTP_OK, ServerJson());
  }
  if (parts[0] == "devices" && parts.size() == 1) {
    if (!get) return getOnly();
    json devices = json::array();
    for (const DeviceStatus& d : source_->Devices())
      devices.push_back(DeviceStatusToJson(d));
    return SendJson(connection, MHD_HTTP_OK, devices);
  }
  if (parts[0] == "events" && parts.size() == 1) {
    if (!get) return getOnly();
    return OpenStream(connection);
  }
  if (parts[0] == "requests" && parts.size() == 2) {
    if (!get) return getOnly();
    std::optional<int> id = PathNumber(parts[1], 999999999);
    if (!id)
      return SendError(connection, MHD_HTTP_BAD_REQUEST,
                       "a request id is a positive whole number");
    std::optional<ControlUpdate> update = source_->Control(*id);
    if (!update)
      return SendError(
          connection, MHD_HTTP_NOT_FOUND,
          "no request " + std::to_string(*id) + " in the last ten minutes");
    return SendJson(connection, MHD_HTTP_OK, ControlUpdateToJson(*update));
  }
  if (parts[0] == "units") {
    if (parts.size() == 1) {
      if (!get) return getOnly();
      json units = json::array();
      for (const UnitState& u : source_->Units())
        units.push_back(UnitToJson(u));
      return SendJson(connection, MHD_HTTP_OK, units);
    }
    if (parts.size() >= 6 && parts[4] == "control") {
      if (!post)
        return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                         "control requests are POSTs", "POST");
      return Control(connection, request, parts);
    }
    if (parts.size() == 4) {
      if (!get) return getOnly();
      std::optional<int> device = PathNumber(parts[2], kMaxDeviceNumber);
      std::optional<int> unit = PathNumber(parts[3], kUnitsPerDevice);
      if (!device || !unit || *unit < 1)
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "a unit is /api/v1/units/SITE/DEVICE/UNIT with "
                         "DEVICE a number and UNIT 1 to 40");
      std::optional<UnitState> state =
          source_->Unit(std::string(parts[1]), *device, *unit);
      if (!state)
        return SendError(connection, MHD_HTTP_NOT_FOUND,
                         "no configured unit " + std::to_string(*unit) +
                             " of device " + std::to_string(*device) +
                             " at site " + std::string(parts[1]));
      json body = UnitToJson(*state, true);
      json meanings = json::object();
      for (int slot = 1; slot < kSlotsPerUnit; ++slot) {
        std::string meaning = SlotMeaning(slot);
        if (!meaning.empty()) meanings[std::to_string(slot)] = meaning;
      }
      body["slot_meanings"] = meanings;
      json controls = json::array();
      for (const ControlPoint& point : AllControlPoints())
        controls.push_back(
            json{{"name", point.name()}, {"slot", point.relativeSlot()}});
      body["controls"] = controls;
      return SendJson(connection, MHD_HTTP_OK, body);
    }
  }
  return SendError(connection, MHD_HTTP_NOT_FOUND,
                   "no such API path: " + request->url);
}

MHD_Result WebServer::Impl::Control(
    MHD_Connection* connection, Request* request,
    const std::vector<std::string_view>& parts) {
  auto reject = [&](unsigned status, const std::string& message) {
    controlRejected_++;
    return SendError(connection, status, message);
  };
  if (!options_.controlToken)
    return reject(MHD_HTTP_FORBIDDEN,
                  "control is not enabled: this qor_web runs without "
                  "--control-token-file and is read-only");
  // A page of another site may make the browser send a POST here; the
  // browser says so in these headers, and such a request never switches
  // anything.
  const char* fetchSite = Header(connection, "Sec-Fetch-Site");
  if (fetchSite) {
    std::string site = Lower(fetchSite);
    if (site != "same-origin" && site != "none")
      return reject(MHD_HTTP_FORBIDDEN,
                    "cross-site requests may not control units");
  }
  const char* origin = Header(connection, "Origin");
  if (origin && !OriginAccepted(connection, origin))
    return reject(MHD_HTTP_FORBIDDEN,
                  "cross-site requests may not control units (Origin " +
                      std::string(origin) + " is not this server)");
  const char* authorization = Header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
  if (!authorization ||
      !ControlTokenMatches(*options_.controlToken, BearerToken(authorization)))
    return reject(MHD_HTTP_UNAUTHORIZED,
                  "control needs the token: send Authorization: Bearer "
                  "TOKEN with the token of the server's "
                  "--control-token-file");
  const char* contentType = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  std::string type = contentType ? Lower(contentType) : "";
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  if (type != "application/json")
    return reject(MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                  "the body must be JSON, sent with Content-Type: "
                  "application/json");
  if (request->bodyTooLarge)
    return reject(MHD_HTTP_CONTENT_TOO_LARGE,
                  "the request body is larger than " +
                      std::to_string(options_.maxBodyBytes) + " bytes");

  std::optional<int> device = PathNumber(parts[2], kMaxDeviceNumber);
  std::optional<int> unit = PathNumber(parts[3], kUnitsPerDevice);
  if (!device || !unit || *unit < 1)
    return reject(MHD_HTTP_BAD_REQUEST,
                  "a unit is /api/v1/units/SITE/DEVICE/UNIT with DEVICE a "
                  "number and UNIT 1 to 40");
  std::string site(parts[1]);
  if (!source_->Unit(site, *device, *unit))
    return reject(MHD_HTTP_NOT_FOUND,
                  "no configured unit " + std::to_string(*unit) +
                      " of device " + std::to_string(*device) + " at site " +
                      site);
  std::string name;
  for (size_t i = 5; i < parts.size(); ++i) {
    if (i > 5) name += '/';
    name += parts[i];
  }
  std::optional<ControlPoint> point = ParseControlPoint(name);
  if (!point)
    return reject(MHD_HTTP_NOT_FOUND, "no control point named \"" + name +
                                          "\"; see the unit's \"controls\"");

  std::string duplicate;
  json body = ParseControlBody(request->body, &duplicate);
  if (body.is_discarded() || !body.is_object())
    return reject(MHD_HTTP_BAD_REQUEST,
                  "the body must be a JSON object such as {\"value\":\"1\"}");
  if (!duplicate.empty())
    return reject(MHD_HTTP_BAD_REQUEST,
                  "the body names \"" + duplicate +
                      "\" more than once; send each key once");
  auto found = body.find("value");
  std::string value;
  if (found == body.end()) {
    return reject(MHD_HTTP_BAD_REQUEST,
                  "the body has no \"value\": send {\"value\":\"1\"}");
  } else if (found->is_string()) {
    value = found->get<std::string>();
  } else if (found->is_number_integer()) {
    value = std::to_string(found->get<long long>());
  } else {
    return reject(MHD_HTTP_BAD_REQUEST,
                  "\"value\" must be a text or a whole number");
  }
  ControlValue checked = CheckControlValue(*point, value);
  if (!checked.ok) return reject(MHD_HTTP_BAD_REQUEST, checked.error);

  // Suspended before the request is handed on, so that its resume always
  // finds the connection suspended, even when the queue answers at once.
  request->answered = false;
  MHD_suspend_connection(connection);
  controlQueue_->Submit(
      PeerOf(connection).address, site, *device, *unit, *point, value,
      request->arrivedMs + options_.controlWaitLimitMs,
      [this, connection, request](const ControlUpdate& update) {
        ControlAnswered(connection, request, update);
      });
  return MHD_YES;
}

// The first stage of a request decides its answer: 202 while it may still
// be carried out, 409 once it certainly never will be, 429 when it was
// refused for load and may be asked again in a moment.
void WebServer::Impl::ControlAnswered(MHD_Connection* connection,
                                      Request* request,
                                      const ControlUpdate& update) {
  unsigned status = MHD_HTTP_ACCEPTED;
  json answer = ControlUpdateToJson(update);
  std::string location;
  if (update.stage == ControlStage::kRefused ||
      update.stage == ControlStage::kExpired) {
    status = update.busy ? MHD_HTTP_TOO_MANY_REQUESTS : MHD_HTTP_CONFLICT;
    answer = json{
        {"error", update.reason.empty() ? std::string("the driver refused it")
                                        : update.reason},
        {"request", answer}};
    if (update.busy) controlRejected_++;
  } else {
    location = "/api/v1/requests/" + std::to_string(update.id);
  }
  {
    std::lock_guard<std::mutex> lock(request->mutex);
    request->done = true;
    request->status = status;
    request->answer = std::move(answer);
    request->location = location;
  }
  MHD_resume_connection(connection);
}

MHD_Result WebServer::Impl::OpenStream(MHD_Connection* connection) {
  auto stream = std::make_shared<Stream>();
  stream->server = this;
  stream->connection = connection;
  Peer peer = PeerOf(connection);
  stream->fd = peer.fd;
  stream->address = peer.address;
  stream->backlog =
      "retry: 2000\nevent: hello\ndata: " + ServerJson().dump() + "\n\n";
  stream->devicesDirty = true;
  for (const UnitState& u : source_->Units())
    stream->dirtyUnits.insert(UnitKey(u.site, u.device, u.unit));
  {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    if (stopping_)
      return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                       "the server is stopping");
    size_t open = 0, fromPeer = 0;
    for (auto& s : streams_) {
      std::lock_guard<std::mutex> streamLock(s->mutex);
      if (s->gone) continue;
      ++open;
      if (s->address == stream->address) ++fromPeer;
    }
    if (open >= options_.maxEventStreams)
      return SendError(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                       "too many event streams are open; close a page");
    if (fromPeer >= options_.maxStreamsPerAddress)
      return SendError(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                       "too many event streams are open from " +
                           stream->address + " (at most " +
                           std::to_string(options_.maxStreamsPerAddress) +
                           "); close a page");
    streams_.push_back(stream);
  }
  auto* holder = new std::shared_ptr<Stream>(stream);
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 16 * 1024, &Impl::ReadStream, holder,
      &Impl::FreeStream);
  if (!response) {
    FreeStream(holder);
    return MHD_NO;
  }
  streamsOpen_++;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "text/event-stream; charset=utf-8");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Accel-Buffering", "no");
  return Send(connection, MHD_HTTP_OK, response);
}

void WebServer::Impl::FreeStream(void* cls) {
  auto* holder = static_cast<std::shared_ptr<Stream>*>(cls);
  Stream* stream = holder->get();
  {
    std::lock_guard<std::mutex> lock(stream->mutex);
    stream->gone = true;
  }
  stream->server->streamsOpen_--;
  delete holder;  // the list drops its copy at the next keep-alive
}

std::string WebServer::Impl::NextEvents(Stream* stream, bool* closed) {
  std::string text;
  std::set<UnitKey> units;
  bool devices = false;
  {
    std::lock_guard<std::mutex> lock(stream->mutex);
    *closed = stream->closed;
    if (stream->closed) return text;
    text.swap(stream->backlog);
    units.swap(stream->dirtyUnits);
    devices = stream->devicesDirty;
    stream->devicesDirty = false;
  }
  // The state is read now, not when the change was announced, so a page
  // never sees an older state after a newer one.
  uint64_t events = 0;
  if (devices) {
    json list = json::array();
    for (const DeviceStatus& d : source_->Devices())
      list.push_back(DeviceStatusToJson(d));
    text += "event: devices\ndata: " +
            list.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
    ++events;
  }
  for (const UnitKey& key : units) {
    std::optional<UnitState> state =
        source_->Unit(std::get<0>(key), std::get<1>(key), std::get<2>(key));
    if (!state) continue;
    text += "event: unit\ndata: " +
            UnitToJson(*state).dump(-1, ' ', false,
                                    json::error_handler_t::replace) +
            "\n\n";
    ++events;
  }
  eventsSent_ += events;
  return text;
}

ssize_t WebServer::Impl::ReadStream(void* cls, uint64_t, char* buffer,
                                    size_t max) {
  Stream* stream = static_cast<std::shared_ptr<Stream>*>(cls)->get();
  Impl* self = stream->server;
  while (stream->outPos == stream->out.size()) {
    bool closed = false;
    stream->out = self->NextEvents(stream, &closed);
    stream->outPos = 0;
    if (closed) return MHD_CONTENT_READER_END_OF_STREAM;
    if (!stream->out.empty()) break;
    std::lock_guard<std::mutex> lock(stream->mutex);
    if (stream->closed || !stream->backlog.empty() ||
        !stream->dirtyUnits.empty() || stream->devicesDirty)
      continue;
    // Nothing to send: off the poll set until the listener has news; the
    // watch thread looks after the socket meanwhile.
    stream->suspended = true;
    MHD_suspend_connection(stream->connection);
    self->WakeWatch();
    return 0;
  }
  size_t n = std::min(max, stream->out.size() - stream->outPos);
  std::memcpy(buffer, stream->out.data() + stream->outPos, n);
  stream->outPos += n;
  return static_cast<ssize_t>(n);
}

void WebServer::Impl::Wake(Stream* stream) {
  if (stream->suspended && !stream->gone) {
    stream->suspended = false;
    MHD_resume_connection(stream->connection);
  }
}

void WebServer::Impl::OnUnitChanged(const UnitState& state) {
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone) continue;
    stream->dirtyUnits.insert(UnitKey(state.site, state.device, state.unit));
    Wake(stream.get());
  }
}

void WebServer::Impl::OnDevicesChanged() {
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone) continue;
    stream->devicesDirty = true;
    Wake(stream.get());
  }
}

void WebServer::Impl::OnControlChanged(const ControlUpdate& update) {
  std::string text = "event: control\ndata: " +
                     ControlUpdateToJson(update).dump(
                         -1, ' ', false, json::error_handler_t::replace) +
                     "\n\n";
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone || stream->closed) continue;
    if (stream->backlog.size() + text.size() > options_.maxStreamBacklogBytes) {
      // A page that reads nothing may not hold memory without bound.
      stream->closed = true;
      streamsDropped_++;
    } else {
      stream->backlog += text;
      eventsSent_++;
    }
    Wake(stream.get());
  }
}

void WebServer::Impl::WakeWatch() {
  uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

// A suspended stream is off libmicrohttpd's poll set, so a page that goes
// away is not noticed there; this thread polls those sockets itself, and
// also times the requests that are still coming in.
void WebServer::Impl::WatchLoop() {
  using Clock = std::chrono::steady_clock;
  const auto keepalive = std::chrono::seconds(options_.keepaliveSeconds);
  Clock::time_point nextKeepalive = Clock::now() + keepalive;
  for (;;) {
    std::vector<struct pollfd> fds = {{wakeFd_, POLLIN, 0}};
    std::vector<std::shared_ptr<Stream>> watched;
    {
      std::lock_guard<std::mutex> lock(streamsMutex_);
      if (stopping_) return;
      for (auto& stream : streams_) {
        std::lock_guard<std::mutex> streamLock(stream->mutex);
        if (!stream->suspended || stream->gone || stream->closed ||
            stream->fd < 0)
          continue;
        fds.push_back({stream->fd, POLLIN | POLLRDHUP, 0});
        watched.push_back(stream);
      }
    }
    auto untilKeepalive = std::chrono::duration_cast<std::chrono::milliseconds>(
        nextKeepalive - Clock::now());
    int timeout =
        static_cast<int>(std::clamp<int64_t>(untilKeepalive.count(), 0, 1000));
    if (poll(fds.data(), fds.size(), timeout) > 0) {
      uint64_t count;
      if (fds[0].revents) (void)!read(wakeFd_, &count, sizeof count);
      EndStreamsOfGonePages(fds, watched);
    }
    CutOffSlowRequests();
    if (Clock::now() >= nextKeepalive) {
      SendKeepalives();
      nextKeepalive = Clock::now() + keepalive;
    }
  }
}

void WebServer::Impl::EndStreamsOfGonePages(
    const std::vector<struct pollfd>& fds,
    const std::vector<std::shared_ptr<Stream>>& watched) {
  for (size_t i = 0; i < watched.size(); ++i) {
    if (!fds[i + 1].revents) continue;
    Stream* stream = watched[i].get();
    std::lock_guard<std::mutex> lock(stream->mutex);
    // Still suspended, so its socket was not closed and reused since the
    // poll: the event was this page's. A page sends nothing after its
    // request; anything readable is its leaving (or a misuse), and its
    // place is freed now rather than at the next keep-alive.
    if (!stream->suspended || stream->gone) continue;
    stream->closed = true;
    Wake(stream);
  }
}

void WebServer::Impl::CutOffSlowRequests() {
  const auto limit = std::chrono::seconds(options_.requestSeconds);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(peersMutex_);
  for (auto& [connection, peer] : peers_) {
    if (!peer.receiving || peer.cutOff || peer.fd < 0 ||
        now - peer.since < limit)
      continue;
    // libmicrohttpd's timeout restarts with every byte; this one does not.
    // The shutdown makes its poll see the end of the connection and close
    // it there; the descriptor stays valid until the CLOSED notice, which
    // takes peersMutex_.
    shutdown(peer.fd, SHUT_RDWR);
    peer.cutOff = true;
    requestsCutOff_++;
  }
}

void WebServer::Impl::SendKeepalives() {
  std::lock_guard<std::mutex> streamsLock(streamsMutex_);
  std::vector<std::shared_ptr<Stream>> kept;
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone) continue;
    kept.push_back(stream);
    if (stream->backlog.size() < options_.maxStreamBacklogBytes)
      stream->backlog += ": keepalive\n\n";
    Wake(stream.get());
  }
  streams_.swap(kept);
}

WebServer::WebServer(UnitSource* source, WebOptions options)
    : impl_(std::make_unique<Impl>(source, std::move(options))) {}
WebServer::~WebServer() { impl_->Stop(); }
bool WebServer::Start(std::string* error) { return impl_->Start(error); }
void WebServer::Stop() { impl_->Stop(); }
uint16_t WebServer::port() const { return impl_->port(); }
