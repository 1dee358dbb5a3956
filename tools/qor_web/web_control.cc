// A control request: who may send it (the token, and never a page of
// another site), what its path and body name, and its hand-over to the
// control queue. Each check refuses with its own status and text and counts
// the refusal; only a request that passes all of them is queued. Checks run
// on libmicrohttpd's thread; ControlAnswered runs on a queue worker.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <set>
#include <string>
#include <vector>

#include "control_token.h"
#include "platform/device_number.h"
#include "unitview/control_point.h"
#include "unitview/control_queue.h"
#include "unitview/unit_state.h"
#include "web_server_impl.h"

namespace {

using nlohmann::json;

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

}  // namespace

using web_internal::Header;
using web_internal::Lower;
using web_internal::PathNumber;

MHD_Result WebServer::Impl::Control(MHD_Connection* connection,
                                    Request* request, const Parts& parts) {
  Caller caller;
  std::optional<Refusal> refusal = CheckControlAllowed(connection, &caller);
  if (!refusal) refusal = CheckControlBody(connection, *request);
  ControlTarget target;
  if (!refusal) refusal = ControlTargetOf(parts, &target);
  std::string value, confirm;
  if (!refusal)
    refusal = ControlValueOf(request->body, *target.point, &value, &confirm);
  if (!refusal) refusal = CheckProtected(caller, target, value, confirm);
  if (refusal) {
    RecordRefusal(connection, *request, parts, caller, target, value, *refusal);
    return Refuse(connection, *refusal);
  }
  return QueueControl(connection, request, target, value, confirm, caller);
}

// A request refused here is in the device's trail all the same, once its
// path names a configured unit and a control point: who sent it (by the
// token's name, never the token), from where, what it asked and why it
// was refused.
void WebServer::Impl::RecordRefusal(MHD_Connection* connection,
                                    const Request& request, const Parts& parts,
                                    const Caller& caller, ControlTarget target,
                                    std::string value, const Refusal& refusal) {
  if (!target.point && ControlTargetOf(parts, &target)) return;
  if (value.empty() && !request.bodyTooLarge) {
    json body = json::parse(request.body, nullptr, false);
    auto found = body.is_object() ? body.find("value") : body.end();
    if (body.is_object() && found != body.end()) {
      if (found->is_string()) value = found->get<std::string>();
      if (found->is_number_integer())
        value = std::to_string(found->get<long long>());
    }
  }
  std::string who = caller.name;
  if (who.empty()) {
    const char* authorization =
        Header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    std::optional<Caller> known;
    if (authorization) known = tokens_.Find(BearerToken(authorization));
    who = known ? known->name : authorization ? "unknown token" : "no token";
  }
  ControlUpdate update = NewControlUpdate(target.site, target.device,
                                          target.unit, *target.point, value);
  update.reason = refusal.message;
  source_->RecordRefusal(
      ControlRequester{"web", who, RequesterAddress(connection), "", ""},
      update);
}

MHD_Result WebServer::Impl::Refuse(MHD_Connection* connection,
                                   const Refusal& refusal) {
  controlRejected_++;
  return SendError(connection, refusal.status, refusal.message);
}

// Whether this server takes control requests at all, and this one comes
// with the token and not from a page of another site.
std::optional<WebServer::Impl::Refusal> WebServer::Impl::CheckControlAllowed(
    MHD_Connection* connection, Caller* caller) {
  if (!tokens_.enabled())
    return Refusal{MHD_HTTP_FORBIDDEN,
                   "control is not enabled: this qor_web runs without "
                   "--tokens-file or --control-token-file and is read-only"};
  // A page of another site may make the browser send a POST here; the
  // browser says so in these headers, and such a request never switches
  // anything.
  const char* fetchSite = Header(connection, "Sec-Fetch-Site");
  if (fetchSite) {
    std::string site = Lower(fetchSite);
    if (site != "same-origin" && site != "none")
      return Refusal{MHD_HTTP_FORBIDDEN,
                     "cross-site requests may not control units"};
  }
  const char* origin = Header(connection, "Origin");
  if (origin && !OriginAccepted(connection, origin))
    return Refusal{MHD_HTTP_FORBIDDEN,
                   "cross-site requests may not control units (Origin " +
                       std::string(origin) + " is not this server)"};
  if (std::optional<Refusal> refusal = Authenticate(connection, caller))
    return refusal;
  if (caller->role == Role::kViewer)
    return Refusal{MHD_HTTP_FORBIDDEN,
                   caller->name +
                       " signs in as a viewer: a viewer may watch the units "
                       "but not switch them"};
  return std::nullopt;
}

std::optional<WebServer::Impl::Refusal> WebServer::Impl::Authenticate(
    MHD_Connection* connection, Caller* caller) {
  const char* authorization = Header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
  std::optional<Caller> found;
  if (authorization) found = tokens_.Find(BearerToken(authorization));
  if (!found)
    return Refusal{MHD_HTTP_UNAUTHORIZED,
                   authorization ? "this token is not known here: ask the "
                                   "server's administrator for yours"
                                 : "this needs a token: send Authorization: "
                                   "Bearer TOKEN"};
  *caller = *found;
  return std::nullopt;
}

// Whether the body is JSON by its type and came in whole.
std::optional<WebServer::Impl::Refusal> WebServer::Impl::CheckControlBody(
    MHD_Connection* connection, const Request& request) {
  const char* contentType = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  std::string type = contentType ? Lower(contentType) : "";
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  if (type != "application/json")
    return Refusal{MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                   "the body must be JSON, sent with Content-Type: "
                   "application/json"};
  if (request.bodyTooLarge)
    return Refusal{MHD_HTTP_CONTENT_TOO_LARGE,
                   "the request body is larger than " +
                       std::to_string(options_.maxBodyBytes) + " bytes"};
  return std::nullopt;
}

// The configured unit and the control point that
// /api/v1/units/SITE/DEVICE/UNIT/control/NAME names.
std::optional<WebServer::Impl::Refusal> WebServer::Impl::ControlTargetOf(
    const Parts& parts, ControlTarget* target) {
  std::optional<int> device = PathNumber(parts[2], kMaxDeviceNumber);
  std::optional<int> unit = PathNumber(parts[3], kUnitsPerDevice);
  if (!device || !unit || *unit < 1)
    return Refusal{MHD_HTTP_BAD_REQUEST,
                   "a unit is /api/v1/units/SITE/DEVICE/UNIT with DEVICE a "
                   "number and UNIT 1 to 40"};
  std::string site(parts[1]);
  if (!source_->Unit(site, *device, *unit))
    return Refusal{MHD_HTTP_NOT_FOUND,
                   "no configured unit " + std::to_string(*unit) +
                       " of device " + std::to_string(*device) + " at site " +
                       site};
  std::string name;
  for (size_t i = 5; i < parts.size(); ++i) {
    if (i > 5) name += '/';
    name += parts[i];
  }
  std::optional<ControlPoint> point = ParseControlPoint(name);
  if (!point)
    return Refusal{MHD_HTTP_NOT_FOUND, "no control point named \"" + name +
                                           "\"; see the unit's \"controls\""};
  target->site = site;
  target->device = *device;
  target->unit = *unit;
  target->point = point;
  return std::nullopt;
}

// The value of a body {"value": TEXT or NUMBER}, checked against |point|.
std::optional<WebServer::Impl::Refusal> WebServer::Impl::ControlValueOf(
    const std::string& text, const ControlPoint& point, std::string* value,
    std::string* confirm) {
  std::string duplicate;
  json body = ParseControlBody(text, &duplicate);
  if (body.is_discarded() || !body.is_object())
    return Refusal{MHD_HTTP_BAD_REQUEST,
                   "the body must be a JSON object such as {\"value\":\"1\"}"};
  if (!duplicate.empty())
    return Refusal{MHD_HTTP_BAD_REQUEST,
                   "the body names \"" + duplicate +
                       "\" more than once; send each key once"};
  auto found = body.find("value");
  if (found == body.end()) {
    return Refusal{MHD_HTTP_BAD_REQUEST,
                   "the body has no \"value\": send {\"value\":\"1\"}"};
  } else if (found->is_string()) {
    *value = found->get<std::string>();
  } else if (found->is_number_integer()) {
    *value = std::to_string(found->get<long long>());
  } else {
    return Refusal{MHD_HTTP_BAD_REQUEST,
                   "\"value\" must be a text or a whole number"};
  }
  ControlValue checked = CheckControlValue(point, *value);
  if (!checked.ok) return Refusal{MHD_HTTP_BAD_REQUEST, checked.error};
  auto confirmed = body.find("confirm");
  if (confirmed != body.end()) {
    if (!confirmed->is_string())
      return Refusal{MHD_HTTP_BAD_REQUEST,
                     "\"confirm\" must be the output's name as a text"};
    *confirm = confirmed->get<std::string>();
  }
  return std::nullopt;
}

std::optional<WebServer::Impl::Refusal> WebServer::Impl::CheckProtected(
    const Caller& caller, const ControlTarget& target, const std::string& value,
    const std::string& confirm) {
  const ControlPoint& point = *target.point;
  if (point.kind != ControlKind::kOutputState || value != "0") return {};
  std::optional<UnitState> state =
      source_->Unit(target.site, target.device, target.unit);
  if (!state) return {};
  const UnitNames names = Named(std::move(*state)).names.value_or(UnitNames());
  if (names.protectedOutputs.count(point.number) == 0) return {};
  // Without a name of its own the output is confirmed by its point name.
  const std::string name = names.NameOf(point.name()).value_or(point.name());
  const std::string what = "output " + std::to_string(point.number) + " (" +
                           name + ") is protected: ";
  if (caller.role != Role::kAdmin)
    return Refusal{MHD_HTTP_FORBIDDEN,
                   what + "only an admin may switch it off, and " +
                       caller.name + " signs in as " + RoleName(caller.role)};
  if (confirm != name)
    return Refusal{MHD_HTTP_FORBIDDEN,
                   what +
                       "to switch it off, confirm with its name: send "
                       "{\"value\":\"0\",\"confirm\":\"" +
                       name + "\"}"};
  return {};
}

MHD_Result WebServer::Impl::QueueControl(MHD_Connection* connection,
                                         Request* request,
                                         const ControlTarget& target,
                                         const std::string& value,
                                         const std::string& confirm,
                                         const Caller& caller) {
  // Suspended before the request is handed on, so that its resume always
  // finds the connection suspended, even when the queue answers at once.
  request->answered = false;
  MHD_suspend_connection(connection);
  const std::string address = PeerOf(connection).address;
  controlQueue_->Submit(
      address, target.site, target.device, target.unit, *target.point, value,
      request->arrivedMs + options_.controlWaitLimitMs,
      [this, connection, request](const ControlUpdate& update) {
        ControlAnswered(connection, request, update);
      },
      ControlRequester{"web", caller.name, RequesterAddress(connection), "",
                       confirm});
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

std::string WebServer::Impl::RequesterAddress(MHD_Connection* connection) {
  const std::string peer = PeerOf(connection).address;
  if (!InAddressRanges(options_.trustedProxies, peer)) return peer;
  std::optional<std::string> client = ForwardedClient(
      Header(connection, "X-Forwarded-For"), Header(connection, "Forwarded"));
  return client ? *client + " via " + peer : peer;
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
  const size_t slash = text.find('/');
  AddressRange range;
  if (slash != std::string_view::npos) {
    std::optional<int> bits = PathNumber(text.substr(slash + 1), 32);
    if (!bits) return std::nullopt;
    range.bits = *bits;
  }
  const std::string address(text.substr(0, slash));
  struct in_addr a {};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return std::nullopt;
  const uint32_t mask = range.bits == 0 ? 0 : ~uint32_t{0} << (32 - range.bits);
  range.network = ntohl(a.s_addr) & mask;
  return range;
}

bool InAddressRanges(const std::vector<AddressRange>& ranges,
                     const std::string& address) {
  struct in_addr a {};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  for (const AddressRange& r : ranges) {
    const uint32_t mask = r.bits == 0 ? 0 : ~uint32_t{0} << (32 - r.bits);
    if ((ntohl(a.s_addr) & mask) == r.network) return true;
  }
  return false;
}

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

// |text| when it is an IPv4 or IPv6 address, as inet_ntop writes it.
std::optional<std::string> IpAddress(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  const std::string s(text);
  char out[INET6_ADDRSTRLEN];
  struct in_addr v4 {};
  struct in6_addr v6 {};
  if (inet_pton(AF_INET, s.c_str(), &v4) == 1)
    return inet_ntop(AF_INET, &v4, out, sizeof out);
  if (inet_pton(AF_INET6, s.c_str(), &v6) == 1)
    return inet_ntop(AF_INET6, &v6, out, sizeof out);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ForwardedClient(const char* xForwardedFor,
                                           const char* forwarded) {
  if (xForwardedFor != nullptr) {
    std::string_view list = xForwardedFor;
    return IpAddress(TrimBlanks(list.substr(list.rfind(',') + 1)));
  }
  if (forwarded == nullptr) return std::nullopt;
  std::string_view list = forwarded;
  std::string_view element = list.substr(list.rfind(',') + 1);
  while (!element.empty()) {
    const size_t semicolon = element.find(';');
    std::string_view pair = TrimBlanks(element.substr(0, semicolon));
    element = semicolon == std::string_view::npos
                  ? std::string_view()
                  : element.substr(semicolon + 1);
    if (pair.size() < 4 || Lower(pair.substr(0, 4)) != "for=") continue;
    std::string_view node = pair.substr(4);
    if (node.size() >= 2 && node.front() == '"' && node.back() == '"')
      node = node.substr(1, node.size() - 2);
    if (!node.empty() && node.front() == '[') {
      // "[2001:db8::1]:4711"
      const size_t close = node.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      return IpAddress(node.substr(1, close - 1));
    }
    // "192.0.2.43:4711"
    return IpAddress(node.substr(0, node.find(':')));
  }
  return std::nullopt;
}
