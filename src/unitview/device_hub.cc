#include "unitview/device_hub.h"

class DeviceHub::Impl {};
const char* ControlStageName(ControlStage) { return ""; }
nlohmann::json ControlUpdateToJson(const ControlUpdate&) { return {}; }
DeviceHub::DeviceHub(HubOptions, const Clock*) : impl_(new Impl) {}
DeviceHub::~DeviceHub() = default;
void DeviceHub::Start() {}
void DeviceHub::Stop() {}
std::vector<DeviceStatus> DeviceHub::Devices() const { return {}; }
std::vector<UnitState> DeviceHub::Units() const { return {}; }
std::optional<UnitState> DeviceHub::Unit(int, int) const { return std::nullopt; }
bool DeviceHub::ServesDevice(int) const { return false; }
int DeviceHub::AddListener(Listener) { return 0; }
void DeviceHub::RemoveListener(int) {}
ControlUpdate DeviceHub::RequestControl(int, int, const ControlPoint&, std::string_view) { return {}; }
std::optional<ControlUpdate> DeviceHub::Control(uint64_t) const { return std::nullopt; }
DeviceHub::Counters DeviceHub::GetCounters() const { return {}; }
