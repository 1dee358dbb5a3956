#ifndef QOR_TOOLS_QOR_WEB_WEB_SERVER_IMPL_H_
#define QOR_TOOLS_QOR_WEB_WEB_SERVER_IMPL_H_

// The inside of WebServer, shared by the files that serve its parts:
// web_server.cc (start, stop, dispatch, the watch thread), web_api.cc (the
// JSON reads), web_control.cc (control requests), web_events.cc (the page's
// event stream) and web_page.cc (the page's files and /metrics). Only they
// include it.

#include <microhttpd.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "access_tokens.h"
#include "embedded_assets.h"
#include "unitview/control_point.h"
#include "unitview/control_queue.h"
#include "unitview/point_names.h"
#include "web_server.h"

namespace web_internal {

using UnitKey = std::tuple<std::string, int, int>;

// The segments of |path| between its slashes; "" has none.
std::vector<std::string_view> Split(std::string_view path);
// A path number: decimal digits only, no sign, no leading blanks, at most
// |max|.
std::optional<int> PathNumber(std::string_view text, int max);
const char* Header(MHD_Connection* connection, const char* name);
std::string Lower(std::string_view text);
// libmicrohttpd's logger: its message on standard error, unless it only
// says that a browser went away.
void LogServerProblem(void* unused, const char* format, va_list args);

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
  nlohmann::json answer;
  std::string location;
};

}  // namespace web_internal

// Owns all the server holds: the daemon, the event streams, the control
// queue, the peers and the watch thread. Start and Stop run on the owner's
// thread, On*Changed on the source's listener threads, ControlAnswered on a
// control queue worker, WatchLoop and what it calls on the watch thread,
// the request handlers on libmicrohttpd's thread.
class WebServer::Impl {
 public:
  using json = nlohmann::json;
  using Request = web_internal::Request;
  using UnitKey = web_internal::UnitKey;

  Impl(UnitSource* source, WebOptions options)
      : source_(source),
        options_(std::move(options)),
        tokens_(options_.tokensFile, options_.controlToken) {
    for (const auto& [device, path] : options_.namesFiles)
      names_[device] = std::make_unique<NamesFile>(path);
  }

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

  // Every handler of an API path: |parts| are the path's segments after
  // /api/v1/, already matched against the route's pattern.
  using Parts = std::vector<std::string_view>;
  using Handler = MHD_Result (Impl::*)(MHD_Connection* connection,
                                       Request* request, const Parts& parts);
  // One API path: the method it answers (GET also answers HEAD) and its
  // segments, where "*" is any one segment and "**" one or more.
  struct ApiRoute {
    const char* method;
    const char* pattern;
    Handler handler;
    const char* allow;        // the Allow header of a 405
    const char* wrongMethod;  // the error text of a 405
  };
  static const std::vector<ApiRoute>& ApiRoutes();
  static bool Matches(std::string_view pattern, const Parts& parts);

  // web_server.cc: the page, /metrics or an API path.
  MHD_Result Route(MHD_Connection* connection, Request* request);
  MHD_Result RouteApi(MHD_Connection* connection, Request* request,
                      const Parts& parts);

  // web_api.cc: the JSON reads.
  MHD_Result ServeServer(MHD_Connection* connection, Request* request,
                         const Parts& parts);
  MHD_Result ServeWhoami(MHD_Connection* connection, Request* request,
                         const Parts& parts);
  MHD_Result ServeAudit(MHD_Connection* connection, Request* request,
                        const Parts& parts);
  MHD_Result ServeDevices(MHD_Connection* connection, Request* request,
                          const Parts& parts);
  MHD_Result ServeRequest(MHD_Connection* connection, Request* request,
                          const Parts& parts);
  MHD_Result ServeUnits(MHD_Connection* connection, Request* request,
                        const Parts& parts);
  MHD_Result ServeUnit(MHD_Connection* connection, Request* request,
                       const Parts& parts);

  // web_control.cc: a control request, checked step by step and queued.
  // A refusal: what a control request is answered when it is not queued.
  struct Refusal {
    unsigned status;
    std::string message;
  };
  // The unit and control point a control path names.
  struct ControlTarget {
    std::string site;
    int device = 0;
    int unit = 0;
    std::optional<ControlPoint> point;
  };
  MHD_Result Control(MHD_Connection* connection, Request* request,
                     const Parts& parts);
  MHD_Result Refuse(MHD_Connection* connection, const Refusal& refusal);
  std::optional<Refusal> CheckControlAllowed(MHD_Connection* connection,
                                             Caller* caller);
  // The caller the request's bearer token names; a 401 when there is none
  // or it is unknown.
  std::optional<Refusal> Authenticate(MHD_Connection* connection,
                                      Caller* caller);
  std::optional<Refusal> CheckControlBody(MHD_Connection* connection,
                                          const Request& request);
  std::optional<Refusal> ControlTargetOf(const Parts& parts,
                                         ControlTarget* target);
  std::optional<Refusal> ControlValueOf(const std::string& body,
                                        const ControlPoint& point,
                                        std::string* value,
                                        std::string* confirm);
  // A protected output is switched off only by an admin who names it.
  std::optional<Refusal> CheckProtected(const Caller& caller,
                                        const ControlTarget& target,
                                        const std::string& value,
                                        const std::string& confirm);
  void RecordRefusal(MHD_Connection* connection, const Request& request,
                     const Parts& parts, const Caller& caller,
                     ControlTarget target, std::string value,
                     const Refusal& refusal);
  // Where a control request comes from, for the audit trail: the peer's
  // address.
  std::string RequesterAddress(MHD_Connection* connection);
  MHD_Result QueueControl(MHD_Connection* connection, Request* request,
                          const ControlTarget& target, const std::string& value,
                          const std::string& confirm, const Caller& caller);

  // web_events.cc: the page's event stream.
  MHD_Result ServeEvents(MHD_Connection* connection, Request* request,
                         const Parts& parts);
  MHD_Result OpenStream(MHD_Connection* connection);

  // web_page.cc: the page's files and /metrics.
  MHD_Result ServeMetrics(MHD_Connection* connection, Request* request);
  MHD_Result ServeAsset(MHD_Connection* connection, Request* request,
                        const EmbeddedAsset& asset);
  MHD_Result ServePage(MHD_Connection* connection, Request* request);
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
  // A copy of |text| as |contentType| that no cache keeps: every answer
  // but the page's own files is about now.
  static MHD_Response* FreshTextResponse(const std::string& text,
                                         const char* contentType);

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

  // |state| with the names people gave its points: from the device's
  // names file when this server reads one, else as the source received
  // them (a broker's bridge), else none.
  UnitState Named(UnitState state);
  json UnitJson(const UnitState& state, bool withSlots);

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
  AccessTokens tokens_;
  std::map<int, std::unique_ptr<NamesFile>> names_;  // by device
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

#endif  // QOR_TOOLS_QOR_WEB_WEB_SERVER_IMPL_H_
