#include "unitview/unit_source.h"

ControlUpdate NewControlUpdate(const std::string& site, int device, int unit,
                               const ControlPoint& point,
                               std::string_view value) {
  ControlUpdate u;
  u.site = site;
  u.device = device;
  u.unit = unit;
  u.point = point;
  u.value = std::string(value);
  u.stage = ControlStage::kRefused;
  return u;
}

const char* ControlStageName(ControlStage stage) {
  switch (stage) {
    case ControlStage::kRefused:
      return "refused";
    case ControlStage::kAccepted:
      return "accepted";
    case ControlStage::kConfirmed:
      return "confirmed";
    case ControlStage::kNotConfirmed:
      return "not confirmed";
    case ControlStage::kPending:
      return "pending";
    case ControlStage::kExpired:
      return "expired";
  }
  return "refused";
}

bool IsFinalStage(ControlStage stage) {
  return stage != ControlStage::kPending && stage != ControlStage::kAccepted;
}

nlohmann::json ControlUpdateToJson(const ControlUpdate& u) {
  nlohmann::json j = {{"id", u.id},
                      {"site", u.site},
                      {"device", u.device},
                      {"unit", u.unit},
                      {"point", u.point.name()},
                      {"slot", u.point.relativeSlot()},
                      {"value", u.value},
                      {"stage", ControlStageName(u.stage)}};
  if (!u.reason.empty()) j["reason"] = u.reason;
  if (u.busy) j["busy"] = true;
  if (u.stage == ControlStage::kConfirmed ||
      u.stage == ControlStage::kNotConfirmed)
    j["slot_text"] = u.slotText;
  return j;
}

nlohmann::json DeviceStatusToJson(const DeviceStatus& d) {
  nlohmann::json j = {{"site", d.site},
                      {"device", d.device},
                      {"infodriver_connected", d.infodriverConnected},
                      {"driver_connected", d.driverConnected},
                      {"problem", d.problem},
                      {"units", d.units}};
  if (d.siteControl) j["site_control"] = *d.siteControl;
  return j;
}
