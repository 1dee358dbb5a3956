#ifndef QOR_UNITVIEW_UNIT_SOURCE_H_
#define QOR_UNITVIEW_UNIT_SOURCE_H_

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "infodriver/infodriver_protocol.h"
#include "platform/clock.h"
#include "unitview/control_point.h"
#include "unitview/control_requester.h"
#include "unitview/unit_state.h"

// What a device looks like from outside its driver.
struct DeviceStatus {
  std::string site;
  int device = 0;
  bool infodriverConnected = false;  // its socket answers
  bool driverConnected = false;      // a driver is registered with it
  std::string problem;     // why the infodriver is not connected, for people
  std::vector<int> units;  // configured units (settings with an address)
  // Whether the site takes control requests, when a bridge has said so
  // (qor/SITE/control); unknown from an infodriver.
  std::optional<bool> siteControl;
  // Attempts to write a record of the device's audit trail that failed,
  // as its infodriver counts them since it started; unknown from a broker,
  // or before the infodriver has said.
  std::optional<uint64_t> auditWriteFailures;
};

// The life of one control request. Every request ends in exactly one of
// kRefused, kExpired, kConfirmed or kNotConfirmed. kRefused and kExpired
// are said only when the request will certainly never reach the unit;
// while that is not known the request is kPending, and kAccepted once the
// driver has taken it. A request may go pending -> accepted -> confirmed,
// and skip either of the first two.
enum class ControlStage {
  kRefused,       // never sent: checks failed, or the driver answered 0
  kAccepted,      // the driver took the request and sent or queued the Set
  kConfirmed,     // the unit reported the value asked for in its slot
  kNotConfirmed,  // may have been sent, but the slot did not show it in time
  kPending,       // not known yet: the driver has not answered
  kExpired,       // never sent: its deadline passed before it could be
};

const char* ControlStageName(ControlStage stage);  // "refused", "accepted"...
// kRefused, kExpired, kConfirmed and kNotConfirmed: nothing follows them.
bool IsFinalStage(ControlStage stage);

struct ControlUpdate {
  uint64_t id = 0;  // 1, 2, ... for this source
  std::string site;
  int device = 0;
  int unit = 0;
  ControlPoint point;
  std::string value;  // the slot text requested
  ControlStage stage = ControlStage::kRefused;
  std::string reason;    // kRefused and kNotConfirmed: a sentence why
  std::string slotText;  // the slot's text when this stage was reached
  // kRefused for load (too many requests, or one for the point is in
  // flight): the same request may succeed a moment later.
  bool busy = false;
};

// A control request must leave for its unit within kControlDeadlineMs of
// being made, or never: an output must not switch long after it was asked
// to. The deadline is a time of the monotonic clock (TheSystemClock), made
// where the request came in and checked by every hop before it acts.
inline int64_t ControlDeadlineFrom(int64_t madeMs) {
  return madeMs + kControlDeadlineMs;
}

// A request's update before any stage: kRefused, id 0, no reason.
ControlUpdate NewControlUpdate(const std::string& site, int device, int unit,
                               const ControlPoint& point,
                               std::string_view value);

nlohmann::json ControlUpdateToJson(const ControlUpdate& update);
nlohmann::json DeviceStatusToJson(const DeviceStatus& status);

// Where a page, an API or a bridge gets its units from: the host's
// infodrivers (DeviceHub) or an MQTT broker that bridges carry several
// sites to. Units are named by site, device and unit number.
//
// Between Start() and Stop() the source runs its own thread. The snapshot
// functions and RequestControl may be called from any thread. Listeners
// are called on the source's thread, one call at a time, and must not
// block or call Stop(); unit changes are coalesced: one call per unit for
// all the changes that arrived together. Once RemoveListener returns, the
// listener is not called again (a call in progress is waited for), so its
// owner may go.
class UnitSource {
 public:
  struct Listener {
    std::function<void(const UnitState&)> unitChanged;
    std::function<void(const DeviceStatus&)> deviceChanged;
    std::function<void(const ControlUpdate&)> controlChanged;
  };
  struct Counters {
    uint64_t slotWrites = 0;  // slot writes (or state messages) received
    uint64_t reconnects = 0;  // connections made to infodrivers or broker
    uint64_t controlRequests = 0;
    uint64_t controlRefused = 0;
    uint64_t controlConfirmed = 0;
    uint64_t controlNotConfirmed = 0;
  };

  virtual ~UnitSource() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;

  virtual std::vector<DeviceStatus> Devices() const = 0;
  // Every configured unit, in site, device then unit order.
  virtual std::vector<UnitState> Units() const = 0;
  virtual std::optional<UnitState> Unit(const std::string& site, int device,
                                        int unit) const = 0;

  virtual int AddListener(Listener listener) = 0;
  virtual void RemoveListener(int id) = 0;

  // Requests |value| for |point| of a unit, to be sent by |deadlineMs|
  // (monotonic, see ControlDeadlineFrom) or never. Checks first (device
  // served, unit configured, value valid, the device's driver reachable,
  // the deadline not passed); a request that fails them is refused (or
  // expired) at once and nothing is sent. The returned update is the
  // request's first stage: kRefused or kExpired, kAccepted once the driver
  // has answered, or kPending when no answer came by the deadline (the
  // Set may still have gone out just before it); later stages reach the
  // listeners. Blocks the caller until the driver answers, at most until
  // shortly after the deadline.
  virtual ControlUpdate RequestControl(const std::string& site, int device,
                                       int unit, const ControlPoint& point,
                                       std::string_view value,
                                       int64_t deadlineMs) = 0;
  // Writes a request that never reached the source into the device's
  // audit trail, where the source has one (the host's infodrivers; a
  // broker has none): one the program that took it refused itself (a
  // wrong token, a role that may not, a bad value), or one that was
  // refused or expired while waiting in a ControlQueue. |refusal| is its
  // update (kRefused or kExpired, with the reason); |by| says who asked.
  // Never blocks on the device.
  virtual void RecordRefusal(const ControlRequester& by,
                             const ControlUpdate& refusal) {}
  // The last stage of a request made in the last ten minutes, if known.
  virtual std::optional<ControlUpdate> Control(uint64_t id) const = 0;

  virtual Counters GetCounters() const = 0;
};

#endif  // QOR_UNITVIEW_UNIT_SOURCE_H_
