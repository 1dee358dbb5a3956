#ifndef QOR_UNITVIEW_DEVICE_HUB_H_
#define QOR_UNITVIEW_DEVICE_HUB_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "platform/clock.h"
#include "unitview/unit_source.h"

struct HubOptions {
  std::vector<int> devices;
  // The name its units go by; empty gives the host name.
  std::string site;
  // Where the devices' settings files are; read, never written.
  ConfigLocations locations;
  // How often the presence of each infodriver and driver is checked, and
  // the settings re-read.
  int statusPeriodMs = 2000;
  // Reconnecting to an infodriver backs off from the first to the second.
  int reconnectMinMs = 500;
  int reconnectMaxMs = 10000;
  // How long an accepted request waits for the unit to show the value.
  int confirmTimeoutMs = 10000;
};

// A client of the infodrivers of a set of devices, like `infoctl watch`:
// keeps a copy of each device's slots, decodes the configured units, tells
// listeners what changed, and passes control requests on as slot-change
// requests to the drivers (never anything else: it never talks to a unit).
// Reconnects to an infodriver that goes away, with back-off; while a
// device's infodriver or driver is away its units show as not live.
class DeviceHub : public UnitSource {
 public:
  // |clock| (not owned) is for tests; null uses the monotonic clock.
  explicit DeviceHub(HubOptions options, const Clock* clock = nullptr);
  ~DeviceHub() override;  // stops
  DeviceHub(const DeviceHub&) = delete;
  DeviceHub& operator=(const DeviceHub&) = delete;

  void Start() override;
  void Stop() override;
  const std::string& site() const;

  std::vector<DeviceStatus> Devices() const override;
  std::vector<UnitState> Units() const override;
  std::optional<UnitState> Unit(const std::string& site, int device,
                                int unit) const override;
  int AddListener(Listener listener) override;
  void RemoveListener(int id) override;
  ControlUpdate RequestControl(const std::string& site, int device, int unit,
                               const ControlPoint& point,
                               std::string_view value,
                               int64_t deadlineMs) override;
  void RecordRefusal(const ControlRequester& by,
                     const ControlUpdate& refusal) override;
  std::optional<ControlUpdate> Control(uint64_t id) const override;
  Counters GetCounters() const override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // QOR_UNITVIEW_DEVICE_HUB_H_
