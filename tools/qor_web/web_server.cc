// What every request goes through: the Host and size checks, the body, the
// route to the part that serves it, the security headers of every answer;
// and the watch thread. The parts themselves are in web_api.cc,
// web_control.cc, web_events.cc and web_page.cc.

#include "web_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "web_server_impl.h"

namespace {

using nlohmann::json;
using web_internal::Header;
using web_internal::Lower;
using web_internal::Request;

// No script, style or connection leaves the server's own origin, and no
// inline script runs: a value a unit reports can never become code.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";

// libmicrohttpd's own unescaping, except that a %00 cannot cut a path
// short (a truncated path could name another resource): it becomes a byte
// no route holds.
size_t UnescapePath(void*, MHD_Connection*, char* text) {
  size_t length = MHD_http_unescape(text);
  for (size_t i = 0; i < length; ++i)
    if (text[i] == '\0') text[i] = '\x7f';
  return length;
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

}  // namespace

namespace web_internal {

// libmicrohttpd's own messages, one line each on standard error, without
// those that only say a browser went away (a closed tab, a dropped phone):
// they are no problem of this server and would drown the ones that are.
void LogServerProblem(void*, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::string_view message(text);
  for (std::string_view gone :
       {"remote", "disconnected", "socket is closed", "Failed to send"})
    if (message.find(gone) != std::string_view::npos) return;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
    message.remove_suffix(1);
  std::fprintf(stderr, "qor_web: %.*s\n", static_cast<int>(message.size()),
               message.data());
}

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

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

}  // namespace web_internal

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

bool WebServer::Impl::Start(std::string* error) {
  if (!tokens_.Load(error)) return false;
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
      MHD_OPTION_EXTERNAL_LOGGER, &web_internal::LogServerProblem, nullptr,
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

MHD_Response* WebServer::Impl::FreshTextResponse(const std::string& text,
                                                 const char* contentType) {
  MHD_Response* response = MHD_create_response_from_buffer(
      text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return nullptr;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  return response;
}

MHD_Result WebServer::Impl::SendJson(MHD_Connection* connection,
                                     unsigned status, const json& body,
                                     const std::string& allow,
                                     const std::string& location) {
  // Invalid UTF-8 in a slot text is shown replaced rather than failing the
  // whole answer.
  std::string text =
      body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  MHD_Response* response = FreshTextResponse(text, "application/json");
  if (!response) return MHD_NO;
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
  std::string_view path = request->url;
  if (path.rfind("/api/v1/", 0) == 0) {
    return RouteApi(connection, request,
                    web_internal::Split(path.substr(std::strlen("/api/v1/"))));
  }
  if (path == "/api/v1") return RouteApi(connection, request, {});
  if (path == "/metrics") return ServeMetrics(connection, request);
  return ServePage(connection, request);
}

// The API, one line a path. A path no route matches is a 404; a route that
// matches with another method is a 405 that says which method it takes.
const std::vector<WebServer::Impl::ApiRoute>& WebServer::Impl::ApiRoutes() {
  static constexpr const char* kGetOnly = "only GET is answered here";
  static const std::vector<ApiRoute> routes = {
      {"GET", "", &Impl::ServeServer, "GET, HEAD", kGetOnly},
      {"GET", "server", &Impl::ServeServer, "GET, HEAD", kGetOnly},
      {"GET", "audit", &Impl::ServeAudit, "GET, HEAD", kGetOnly},
      {"GET", "devices", &Impl::ServeDevices, "GET, HEAD", kGetOnly},
      {"GET", "events", &Impl::ServeEvents, "GET, HEAD", kGetOnly},
      {"GET", "requests/*", &Impl::ServeRequest, "GET, HEAD", kGetOnly},
      {"GET", "units", &Impl::ServeUnits, "GET, HEAD", kGetOnly},
      {"GET", "whoami", &Impl::ServeWhoami, "GET, HEAD", kGetOnly},
      {"POST", "units/*/*/*/control/**", &Impl::Control, "POST",
       "control requests are POSTs"},
      {"GET", "units/*/*/*", &Impl::ServeUnit, "GET, HEAD", kGetOnly},
  };
  return routes;
}

bool WebServer::Impl::Matches(std::string_view pattern, const Parts& parts) {
  std::vector<std::string_view> wanted = web_internal::Split(pattern);
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i] == "**") return parts.size() > i;
    if (i >= parts.size()) return false;
    if (wanted[i] != "*" && wanted[i] != parts[i]) return false;
  }
  return parts.size() == wanted.size();
}

MHD_Result WebServer::Impl::RouteApi(MHD_Connection* connection,
                                     Request* request, const Parts& parts) {
  const std::string& method = request->method;
  for (const ApiRoute& route : ApiRoutes()) {
    if (!Matches(route.pattern, parts)) continue;
    bool allowed =
        method == route.method ||
        (method == "HEAD" && std::string_view(route.method) == "GET");
    if (!allowed)
      return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                       route.wrongMethod, route.allow);
    return (this->*route.handler)(connection, request, parts);
  }
  return SendError(connection, MHD_HTTP_NOT_FOUND,
                   "no such API path: " + request->url);
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

WebServer::WebServer(UnitSource* source, WebOptions options)
    : impl_(std::make_unique<Impl>(source, std::move(options))) {}
WebServer::~WebServer() { impl_->Stop(); }
bool WebServer::Start(std::string* error) { return impl_->Start(error); }
void WebServer::Stop() { impl_->Stop(); }
uint16_t WebServer::port() const { return impl_->port(); }
