// The JSON reads of the API: the server, who a token is, the audit trail,
// the devices, a control request and the units. All run on libmicrohttpd's
// thread and read only the source.

#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "infodriver/server/audit_trail.h"
#include "platform/device_number.h"
#include "unitview/control_point.h"
#include "unitview/unit_state.h"
#include "web_server_impl.h"

using nlohmann::json;
using web_internal::PathNumber;

json WebServer::Impl::ServerJson() const {
  return json{{"control", tokens_.enabled()}, {"api", "v1"}};
}

MHD_Result WebServer::Impl::ServeServer(MHD_Connection* connection, Request*,
                                        const Parts&) {
  return SendJson(connection, MHD_HTTP_OK, ServerJson());
}

// Who the request's token names, so that a page can say who is signed in
// and grey what the role may not do.
MHD_Result WebServer::Impl::ServeWhoami(MHD_Connection* connection, Request*,
                                        const Parts&) {
  if (!tokens_.enabled())
    return SendError(connection, MHD_HTTP_UNAUTHORIZED,
                     "this server takes no tokens: it is read-only");
  Caller caller;
  if (std::optional<Refusal> refusal = Authenticate(connection, &caller))
    return SendError(connection, refusal->status, refusal->message);
  return SendJson(connection, MHD_HTTP_OK,
                  json{{"name", caller.name}, {"role", RoleName(caller.role)}});
}

// /api/v1/audit?device=N[&since=TIME]: the device's audit trail, for
// anyone with a token. The newest kMaxAuditRecords when there are more.
MHD_Result WebServer::Impl::ServeAudit(MHD_Connection* connection, Request*,
                                       const Parts&) {
  constexpr size_t kMaxAuditRecords = 5000;
  Caller caller;
  if (!tokens_.enabled())
    return SendError(connection, MHD_HTTP_UNAUTHORIZED,
                     "the audit trail needs a token, and this server takes "
                     "none");
  if (std::optional<Refusal> refusal = Authenticate(connection, &caller))
    return SendError(connection, refusal->status, refusal->message);
  if (options_.auditDirectory.empty())
    return SendError(connection, MHD_HTTP_NOT_FOUND,
                     "the audit trails are kept on the devices' own hosts");
  const char* deviceText =
      MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "device");
  const int device =
      deviceText ? PathNumber(deviceText, kMaxDeviceNumber).value_or(0) : 0;
  bool served = false;
  for (const DeviceStatus& d : source_->Devices())
    served = served || (device > 0 && d.device == device);
  if (!served)
    return SendError(connection, MHD_HTTP_BAD_REQUEST,
                     "name a device this server serves: ?device=N");
  const char* sinceText =
      MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "since");
  std::optional<std::string> since =
      sinceText ? ParseAuditSince(sinceText) : std::string("0000");
  if (!since)
    return SendError(connection, MHD_HTTP_BAD_REQUEST,
                     "since wants a UTC time such as 2026-12-09T14:05 or "
                     "2026-12-09");
  std::deque<std::string> lines;
  std::map<std::string, uint64_t> offsets;
  std::string error;
  bool truncated = false;
  if (!ReadAuditTrail(
          options_.auditDirectory, device, *since, &offsets,
          [&](const std::string& line) {
            lines.push_back(line);
            if (lines.size() > kMaxAuditRecords) {
              lines.pop_front();
              truncated = true;
            }
          },
          &error))
    return SendError(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, error);
  json records = json::array();
  for (const std::string& line : lines) {
    json record = json::parse(line, nullptr, false);
    if (!record.is_discarded()) records.push_back(std::move(record));
  }
  return SendJson(connection, MHD_HTTP_OK,
                  json{{"records", records}, {"truncated", truncated}});
}

MHD_Result WebServer::Impl::ServeDevices(MHD_Connection* connection, Request*,
                                         const Parts&) {
  json devices = json::array();
  for (const DeviceStatus& d : source_->Devices())
    devices.push_back(DeviceStatusToJson(d));
  return SendJson(connection, MHD_HTTP_OK, devices);
}

// /api/v1/requests/ID: a control request of the last ten minutes.
MHD_Result WebServer::Impl::ServeRequest(MHD_Connection* connection, Request*,
                                         const Parts& parts) {
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

MHD_Result WebServer::Impl::ServeUnits(MHD_Connection* connection, Request*,
                                       const Parts&) {
  json units = json::array();
  for (const UnitState& u : source_->Units())
    units.push_back(UnitJson(u, false));
  return SendJson(connection, MHD_HTTP_OK, units);
}

// /api/v1/units/SITE/DEVICE/UNIT: one unit with every slot, what its slots
// mean and the control points it has.
MHD_Result WebServer::Impl::ServeUnit(MHD_Connection* connection, Request*,
                                      const Parts& parts) {
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
                         " of device " + std::to_string(*device) + " at site " +
                         std::string(parts[1]));
  json body = UnitJson(*state, true);
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

UnitState WebServer::Impl::Named(UnitState state) {
  auto file = names_.find(state.device);
  if (file != names_.end()) state.names = file->second->Unit(state.unit);
  return state;
}

nlohmann::json WebServer::Impl::UnitJson(const UnitState& state,
                                         bool withSlots) {
  const UnitState named = Named(state);
  return UnitToJson(named, withSlots, named.names ? &*named.names : nullptr);
}
