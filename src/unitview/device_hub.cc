#include "unitview/device_hub.h"

class DeviceHub::Impl {
 public:
  std::string site;
};
const char* ControlStageName(ControlStage) { return ""; }
nlohmann::json ControlUpdateToJson(const ControlUpdate&) { return {}; }
nlohmann::json DeviceStatusToJson(const DeviceStatus&) { return {}; }
DeviceHub::DeviceHub(HubOptions, const Clock*) : impl_(new Impl) {}
DeviceHub::~DeviceHub() = default;
void DeviceHub::Start() {}
void DeviceHub::Stop() {}
const std::string& DeviceHub::site() const { return impl_->site; }
std::vector<DeviceStatus> DeviceHub::Devices() const { return {}; }
std::vector<UnitState> DeviceHub::Units() const { return {}; }
std::optional<UnitState> DeviceHub::Unit(const std::string&, int, int) const {
  return std::nullopt;
}
int DeviceHub::AddListener(Listener) { return 0; }
void DeviceHub::RemoveListener(int) {}
ControlUpdate DeviceHub::RequestControl(const std::string&, int, int,
                                        const ControlPoint&, std::string_view) {
  return {};
}
std::optional<ControlUpdate> DeviceHub::Control(uint64_t) const {
  return std::nullopt;
}
DeviceHub::Counters DeviceHub::GetCounters() const { return {}; }
