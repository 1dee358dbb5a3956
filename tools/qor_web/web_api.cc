// The JSON reads of the API: the server, the devices, a control request and
// the units. All run on libmicrohttpd's thread and read only the source.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

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
  for (const UnitState& u : source_->Units()) units.push_back(UnitToJson(u));
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
