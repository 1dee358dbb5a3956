#include "unitview/device_hub.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "infodriver/info_socket.h"
#include "infodriver/infodriver_protocol.h"
#include "infodriver/socket_transport.h"
#include "platform/event_loop.h"
#include "unitview/control_requester.h"

namespace {

constexpr int kStatusTimer = 1;
// Sends to the infodriver are small and it reads at once; a peer that does
// not take one in this time is treated as gone.
constexpr int kSendTimeoutMs = 2000;
// The infodriver answers a slot-change request when the driver has; the
// driver answers at once (it queues or sends the Set), or, if it was
// stalled, with a refusal once it wakes past the deadline. An answer later
// than this after the deadline is followed, not waited for.
constexpr int kLateAnswerMs = 1000;
// What a waiter is given instead of an answer: the request never left
// (kNotSent), or it did and nothing came back (kNoAnswer).
constexpr int64_t kNotSent = INT64_MIN;
constexpr int64_t kNoAnswer = INT64_MIN + 1;
// How long and how many finished requests are remembered for Control().
constexpr int64_t kControlMemoryMs = 10 * 60 * 1000;
constexpr size_t kControlMemoryMax = 1000;

// The longest text of a requester's field sent for the audit trail.
constexpr size_t kAuditFieldMax = 128;

nlohmann::json RequesterJson(const ControlRequester& by) {
  nlohmann::json j = {{"via", by.via},
                      {"who", by.who.substr(0, kAuditFieldMax)},
                      {"from", by.from.substr(0, kAuditFieldMax)}};
  if (!by.clientRequest.empty()) j["request"] = by.clientRequest;
  return j;
}

std::string ExpiredReason() {
  return "not sent: it could not reach the unit within " +
         std::to_string(kControlDeadlineMs / 1000) + " s of being made";
}

// Why a request that the driver did not take ends as it does.
std::string AnswerReason(int64_t answer, int device) {
  if (answer == INFO_EXPIRED) return ExpiredReason();
  if (answer == INFO_NO_DRIVER)
    return "no driver is connected to infodriver " + std::to_string(device);
  if (answer == 0) return "the driver refused the request";
  return "infodriver " + std::to_string(device) + " is not reachable";
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
    return "localhost";
  return name;
}

}  // namespace

class DeviceHub::Impl {
 public:
  Impl(HubOptions options, const Clock* clock)
      : options_(std::move(options)),
        site_(options_.site.empty() ? HostName() : options_.site),
        clock_(clock != nullptr ? clock : &systemClock_),
        loop_(clock_) {
    std::sort(options_.devices.begin(), options_.devices.end());
    options_.devices.erase(
        std::unique(options_.devices.begin(), options_.devices.end()),
        options_.devices.end());
    for (int number : options_.devices) {
      auto d = std::make_unique<Device>();
      d->number = number;
      d->backoffMs = options_.reconnectMinMs;
      devices_.push_back(std::move(d));
    }
  }

  ~Impl() { Stop(); }

  void Start() {
    if (thread_.joinable()) return;
    for (auto& d : devices_) ReadSettings(*d, true);
    thread_ = std::thread([this] {
      loop_.SetTimer(kStatusTimer, options_.statusPeriodMs,
                     [this] { OnStatusTimer(); });
      for (auto& d : devices_) {
        Connect(*d);
        Flush(*d);
      }
      loop_.Run();
      for (auto& d : devices_) Disconnect(*d, "", false);
    });
  }

  void Stop() {
    if (!thread_.joinable()) return;
    loop_.Quit(0);
    thread_.join();
    // Whoever still waits for a driver's answer gets none.
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& d : devices_) {
      for (auto& [seq, w] : d->waiting) w->answer.set_value(kNoAnswer);
      d->waiting.clear();
    }
  }

  const std::string& site() const { return site_; }

  std::vector<DeviceStatus> Devices() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<DeviceStatus> out;
    for (const auto& d : devices_) out.push_back(StatusOf(*d));
    return out;
  }

  std::vector<UnitState> Units() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<UnitState> out;
    for (const auto& d : devices_)
      for (const auto& [unit, state] : d->states) out.push_back(state);
    return out;
  }

  std::optional<UnitState> Unit(const std::string& site, int device,
                                int unit) const {
    if (site != site_) return std::nullopt;
    std::lock_guard<std::mutex> lock(mu_);
    const Device* d = Find(device);
    if (d == nullptr) return std::nullopt;
    auto it = d->states.find(unit);
    if (it == d->states.end()) return std::nullopt;
    return it->second;
  }

  int AddListener(Listener listener) {
    std::lock_guard<std::recursive_mutex> lock(listenersMu_);
    const int id = nextListener_++;
    listeners_[id] = std::move(listener);
    return id;
  }

  // Waits for a call in progress on the hub's thread, so that once this
  // returns the listener is never called again.
  void RemoveListener(int id) {
    std::lock_guard<std::recursive_mutex> lock(listenersMu_);
    listeners_.erase(id);
  }

  // Why a request for |point| of the unit cannot be honoured now, or
  // nothing; the request is then refused and nothing is sent.
  std::string RefusalLocked(const std::string& site, int device, int unit,
                            const ControlPoint& point,
                            const ControlValue& checked) {
    Device* d = Find(device);
    if (site != site_ || d == nullptr)
      return "device " + std::to_string(device) + " of site " + site +
             " is not served here";
    if (d->units.count(unit) == 0)
      return "unit " + std::to_string(unit) + " of device " +
             std::to_string(device) + " is not configured";
    if (!checked.ok) return checked.error;
    if (!d->infodriverConnected)
      return "infodriver " + std::to_string(device) + " is not reachable";
    if (!d->driverConnected)
      return "no driver is connected to infodriver " + std::to_string(device);
    if (point.needsReportedRow() &&
        d->slots[UnitSlotOffset(unit) + point.relativeSlot()].empty())
      return "unit " + std::to_string(unit) + " has not reported " +
             point.name() + " yet";
    return "";
  }

  ControlUpdate RequestControl(const std::string& site, int device, int unit,
                               const ControlPoint& point,
                               std::string_view value, int64_t deadlineMs) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++counters_.controlRequests;
    }
    std::string why;
    ControlStage refusal = ControlStage::kRefused;
    ControlValue checked = CheckControlValue(point, value);
    uint64_t id = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      why = RefusalLocked(site, device, unit, point, checked);
      if (why.empty() && TheSystemClock().NowMs() >= deadlineMs) {
        refusal = ControlStage::kExpired;
        why = ExpiredReason();
      }
      if (!why.empty()) {
        ++counters_.controlRefused;
        ControlUpdate u = NewControlUpdate(site, device, unit, point, value);
        u.stage = refusal;
        u.reason = why;
        u.id = ++lastControlId_;
        Remember(u);
        RecordRefusal(u);
        return u;
      }
      id = ++lastControlId_;
    }
    auto waiter = std::make_shared<Waiter>();
    waiter->update = NewControlUpdate(site, device, unit, point, value);
    waiter->update.id = id;
    waiter->slot = UnitSlotOffset(unit) + point.relativeSlot();
    waiter->text = checked.slotText;
    waiter->expected = checked.expectedSlotText;
    waiter->deadlineMs = deadlineMs;
    waiter->by = CurrentControlRequester();
    waiter->by.clientRequest = std::to_string(id);
    std::future<int64_t> result = waiter->answer.get_future();
    loop_.Post([this, waiter] { SendChange(waiter); });
    // The driver answers at once, or when it wakes up: past the deadline
    // it can only refuse, so waiting longer than a moment beyond it tells
    // nothing more.
    const int64_t waitMs =
        std::max<int64_t>(0, deadlineMs - TheSystemClock().NowMs()) +
        kLateAnswerMs;
    int64_t r = kNoAnswer;
    if (result.wait_for(std::chrono::milliseconds(waitMs)) ==
        std::future_status::ready)
      r = result.get();
    if (r == kNoAnswer) {
      // Still unknown. The answer may come yet and is then told to the
      // listeners, as is the value if the unit shows it.
      std::unique_lock<std::mutex> lock(mu_);
      if (!waiter->answered) {
        waiter->abandoned = true;
        ControlUpdate u = waiter->update;
        u.stage = ControlStage::kPending;
        u.reason = "the driver of infodriver " + std::to_string(device) +
                   " has not answered; it sends nothing after the deadline";
        Remember(u);
        lock.unlock();
        loop_.Post([this, waiter] { FollowPending(waiter); });
        return u;
      }
      lock.unlock();
      r = result.get();
    }
    ControlUpdate u = waiter->update;
    if (r == 1) {
      u.stage = ControlStage::kAccepted;
      return u;
    }
    u.stage =
        r == INFO_EXPIRED ? ControlStage::kExpired : ControlStage::kRefused;
    u.reason = AnswerReason(r, device);
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.controlRefused;
    Remember(u);
    return u;
  }

  std::optional<ControlUpdate> Control(uint64_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& r : remembered_)
      if (r.update.id == id) return r.update;
    return std::nullopt;
  }

  Counters GetCounters() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counters_;
  }

  // A request refused before it reached the infodriver is in the device's
  // trail all the same, when the infodriver is there to write it.
  void RecordRefusal(const ControlRequester& by, const ControlUpdate& u) {
    // Only a served device has a trail (devices_ is fixed at construction).
    if (by.via.empty() || Find(u.device) == nullptr) return;
    // Anyone who reaches the web server or the broker can be refused, and
    // must not fill the disk.
    std::string reason = u.reason.substr(0, 2 * kAuditFieldMax);
    {
      std::lock_guard<std::mutex> lock(refusalMu_);
      if (!refusalRates_[u.device].Take(clock_->NowMs(), &reason)) return;
    }
    nlohmann::json record = RequesterJson(by);
    record["unit"] = u.unit;
    record["point"] = u.point.name();
    // Cut so that the record fits one message whatever a client sent; the
    // infodriver cuts every field further.
    record["value"] = u.value.substr(0, kAuditFieldMax);
    record["reason"] = reason;
    if (u.stage == ControlStage::kExpired) record["outcome"] = "expired";
    loop_.Post([this, device = u.device, text = JsonText(record)] {
      Device* d = Find(device);
      if (d != nullptr && d->fd >= 0)
        Send(*d, {INFO_AUDIT, 0, 0, 0, text.substr(0, kMessageTextMax)});
    });
  }

 private:
  using Slots = std::array<std::string, kInfodriverSlotCount>;

  // A request on its way to the driver. The answer is handled on the hub's
  // thread as it arrives, before any slot write that follows it, so no
  // confirming write can slip past. |answered| and |abandoned| (the caller
  // stopped waiting and was told kPending) are under mu_; |resolved| (a
  // late answer was told) is the hub's thread's.
  struct Waiter {
    std::promise<int64_t> answer;
    ControlUpdate update;
    int slot = 0;
    std::string text;
    std::string expected;
    int64_t deadlineMs = 0;
    ControlRequester by;
    bool answered = false;
    bool abandoned = false;
    bool resolved = false;
  };

  // What the hub shows of a unit's settings section.
  struct UnitSettings {
    std::string address;
    std::string snmpVersion;
    std::string snmpSecurityLevel;
    bool operator==(const UnitSettings&) const = default;
  };

  struct Device {
    int number = 0;
    int fd = -1;
    bool infodriverConnected = false;
    bool driverConnected = false;
    std::string problem;
    int backoffMs = 0;
    bool reconnectPending = false;
    uint32_t nextSequence = 1;
    uint32_t dumpSequence = 0;
    uint32_t statusSequence = 0;
    uint32_t auditSequence = 0;  // the last INFO_AUDITSTATUS asked
    std::optional<uint64_t> auditWriteFailures;
    Slots slots;
    std::unique_ptr<Slots> dump;        // filled while a dump comes in
    std::map<int, UnitSettings> units;  // configured unit -> its settings
    std::map<int, UnitState> states;    // decoded, for the snapshots
    std::set<int> dirty;                // units to decode and announce
    bool statusDirty = false;
    struct timespec settingsTime = {};
    std::map<uint32_t, std::shared_ptr<Waiter>> waiting;
  };

  struct Tracked {
    ControlUpdate update;
    int slot = 0;
    std::string expected;
    int64_t timer = 0;
  };

  struct Remembered {
    ControlUpdate update;
    int64_t at = 0;
  };

  Device* Find(int number) const {
    for (const auto& d : devices_)
      if (d->number == number) return d.get();
    return nullptr;
  }

  DeviceStatus StatusOf(const Device& d) const {
    DeviceStatus s;
    s.site = site_;
    s.device = d.number;
    s.infodriverConnected = d.infodriverConnected;
    s.driverConnected = d.driverConnected;
    s.problem = d.problem;
    s.auditWriteFailures = d.auditWriteFailures;
    for (const auto& [unit, settings] : d.units) s.units.push_back(unit);
    return s;
  }

  // Under mu_.
  void Remember(const ControlUpdate& u) {
    const int64_t now = clock_->NowMs();
    for (auto& r : remembered_) {
      if (r.update.id == u.id) {
        r.update = u;
        r.at = now;
        return;
      }
    }
    remembered_.push_back({u, now});
    while (remembered_.size() > kControlMemoryMax ||
           (!remembered_.empty() &&
            now - remembered_.front().at > kControlMemoryMs))
      remembered_.pop_front();
  }

  // The units of a device are the settings sections with an address. The
  // file is read again only when it changes; the hub never writes it. A
  // change of any setting it shows announces the units again.
  void ReadSettings(Device& d, bool force) {
    const std::string path =
        ConfigFile(d.number, "qor_mdu", options_.locations).path();
    struct stat st;
    struct timespec mtime = {};
    if (stat(path.c_str(), &st) == 0) mtime = st.st_mtim;
    if (!force && mtime.tv_sec == d.settingsTime.tv_sec &&
        mtime.tv_nsec == d.settingsTime.tv_nsec)
      return;
    std::map<int, UnitSettings> units;
    for (int unit = 1; unit <= kUnitsPerDevice; ++unit) {
      ConfigFile section(d.number, ("QOR_MDU_" + std::to_string(unit)).c_str(),
                         options_.locations);
      std::string address = section.get("SNMPAddress", "", false);
      if (address.empty()) continue;
      const std::string version =
          SnmpVersionOf(section.get("SNMPVersion", "1", false));
      // A v3 unit without a level is spoken to at authPriv by the driver.
      const std::string level = SnmpLevelOf(
          version, section.get("SNMPSecurityLevel", "authPriv", false));
      units[unit] = {address, version, level};
    }
    std::lock_guard<std::mutex> lock(mu_);
    d.settingsTime = mtime;
    if (units == d.units && !force) return;
    d.units = std::move(units);
    for (auto it = d.states.begin(); it != d.states.end();)
      it = d.units.count(it->first) ? std::next(it) : d.states.erase(it);
    for (const auto& [unit, settings] : d.units) d.dirty.insert(unit);
    d.statusDirty = true;
  }

  void Connect(Device& d) {
    d.reconnectPending = false;
    std::string why;
    const int fd = ConnectToInfodriver(d.number, false, &why);
    if (fd < 0) {
      SetProblem(d, "no infodriver serves " + std::to_string(d.number) + " (" +
                        why + ")");
      ScheduleReconnect(d);
      return;
    }
    d.fd = fd;
    d.dumpSequence = d.nextSequence++;
    const uint32_t watchSequence = d.nextSequence++;
    // Watch first: the writes that come before the dump is made are older
    // than it, and the dump replaces them.
    if (!Send(d, {INFO_WATCH, watchSequence, 0, 0, ""}) ||
        !Send(d, {INFO_DUMP, d.dumpSequence, 0, 0, ""})) {
      Disconnect(d, "infodriver " + std::to_string(d.number) + " went away",
                 true);
      return;
    }
    d.dump = std::make_unique<Slots>();
    loop_.WatchFd(fd, POLLIN, [this, &d](short) { OnReadable(d); });
    {
      std::lock_guard<std::mutex> lock(mu_);
      d.infodriverConnected = true;
      d.problem.clear();
      d.statusDirty = true;
      ++counters_.reconnects;
    }
    AskStatus(d);
  }

  void ScheduleReconnect(Device& d) {
    if (d.reconnectPending) return;
    d.reconnectPending = true;
    const int delay = d.backoffMs;
    d.backoffMs = std::min(d.backoffMs * 2, options_.reconnectMaxMs);
    loop_.AddOneShot(delay, [this, &d] { Connect(d); });
  }

  void SetProblem(Device& d, const std::string& problem) {
    std::lock_guard<std::mutex> lock(mu_);
    if (d.problem != problem) d.statusDirty = true;
    d.problem = problem;
  }

  void Disconnect(Device& d, const std::string& problem, bool reconnect) {
    if (d.fd >= 0) {
      loop_.UnwatchFd(d.fd);
      close(d.fd);
      d.fd = -1;
    }
    d.dump.reset();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (d.infodriverConnected || d.driverConnected) {
        for (const auto& [unit, settings] : d.units) d.dirty.insert(unit);
        d.statusDirty = true;
      }
      d.infodriverConnected = false;
      d.driverConnected = false;
      d.problem = problem;
      for (auto& [seq, w] : d.waiting) w->answer.set_value(kNoAnswer);
      d.waiting.clear();
    }
    Flush(d);
    if (reconnect) ScheduleReconnect(d);
  }

  bool Send(Device& d, const InfoMessage& m) {
    return d.fd >= 0 && SendInfoMessage(d.fd, m, kSendTimeoutMs);
  }

  void AskStatus(Device& d) {
    if (d.fd < 0 || d.statusSequence != 0) return;
    d.statusSequence = d.nextSequence++;
    d.auditSequence = d.nextSequence++;
    if (!Send(d, {INFO_STATUS, d.statusSequence, 0, 0, ""}) ||
        !Send(d, {INFO_AUDITSTATUS, d.auditSequence, 0, 0, ""}))
      Disconnect(d, "infodriver " + std::to_string(d.number) + " went away",
                 true);
  }

  void OnStatusTimer() {
    for (auto& d : devices_) {
      ReadSettings(*d, false);
      AskStatus(*d);
      Flush(*d);
    }
  }

  // One of the hub's own refusals, in the name of the requester set around
  // RequestControl.
  void RecordRefusal(const ControlUpdate& u) {
    ControlRequester by = CurrentControlRequester();
    by.clientRequest = std::to_string(u.id);
    RecordRefusal(by, u);
  }

  void SendChange(const std::shared_ptr<Waiter>& waiter) {
    Device* d = Find(waiter->update.device);
    if (d == nullptr || d->fd < 0) {
      waiter->answer.set_value(kNotSent);
      return;
    }
    if (TheSystemClock().NowMs() >= waiter->deadlineMs) {
      waiter->answer.set_value(INFO_EXPIRED);
      return;
    }
    const uint32_t sequence = d->nextSequence++;
    {
      std::lock_guard<std::mutex> lock(mu_);
      d->waiting[sequence] = waiter;
    }
    // Who asks goes just before the request it names, for the device's
    // audit trail; the infodriver adds what the socket shows of us.
    if (!waiter->by.via.empty() &&
        !Send(*d,
              {INFO_ATTRIBUTE, 0, 0, 0, JsonText(RequesterJson(waiter->by))})) {
      Disconnect(*d, "infodriver " + std::to_string(d->number) + " went away",
                 true);
      return;
    }
    // The deadline travels with the request: the infodriver and the driver
    // refuse it once it has passed, however long they were held up.
    if (!Send(*d, {WVN_SLOTCHANGE, sequence, waiter->slot, waiter->deadlineMs,
                   waiter->text}))
      Disconnect(*d, "infodriver " + std::to_string(d->number) + " went away",
                 true);
  }

  void OnReadable(Device& d) {
    for (;;) {
      InfoMessage m;
      InfoReceive r = ReceiveInfoMessage(d.fd, &m, 0);
      if (r == InfoReceive::kNothing) break;
      if (r == InfoReceive::kMalformed) continue;
      if (r == InfoReceive::kClosed) {
        Disconnect(d, "infodriver " + std::to_string(d.number) + " went away",
                   true);
        return;
      }
      Handle(d, m);
      if (d.fd < 0) return;
    }
    Flush(d);
  }

  void Handle(Device& d, const InfoMessage& m) {
    switch (m.message) {
      case INFO_SLOTWRITTEN:
        if (!IsSlotInRange(m.wParam)) return;
        {
          std::lock_guard<std::mutex> lock(mu_);
          ++counters_.slotWrites;
        }
        Written(d, static_cast<int>(m.wParam), SlotText(m.text.c_str()));
        return;
      case INFO_SLOTDATA:
        if (d.dump && IsSlotInRange(m.wParam))
          (*d.dump)[m.wParam] = SlotText(m.text.c_str());
        return;
      case INFO_DROPPED:
        // The infodriver gave up on us for reading too slowly; a fresh
        // connection starts again from a dump.
        Disconnect(d,
                   "infodriver " + std::to_string(d.number) +
                       " dropped this client for reading too slowly",
                   true);
        return;
      case INFO_RESULT:
        break;
      default:
        return;
    }
    if (m.sequence == d.dumpSequence && d.dump) {
      d.backoffMs = options_.reconnectMinMs;
      std::lock_guard<std::mutex> lock(mu_);
      d.slots = std::move(*d.dump);
      d.dump.reset();
      for (const auto& [unit, settings] : d.units) d.dirty.insert(unit);
      return;
    }
    if (m.sequence == d.auditSequence) {
      d.auditSequence = 0;
      std::lock_guard<std::mutex> lock(mu_);
      if (m.wParam >= 0) d.auditWriteFailures = static_cast<uint64_t>(m.wParam);
      return;
    }
    if (m.sequence == d.statusSequence) {
      d.statusSequence = 0;
      const bool driver = m.wParam == 1;
      std::lock_guard<std::mutex> lock(mu_);
      if (driver != d.driverConnected) {
        d.driverConnected = driver;
        d.statusDirty = true;
        for (const auto& [unit, settings] : d.units) d.dirty.insert(unit);
      }
      return;
    }
    std::shared_ptr<Waiter> waiter;
    bool abandoned = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = d.waiting.find(m.sequence);
      if (it == d.waiting.end()) return;
      waiter = it->second;
      d.waiting.erase(it);
      waiter->answered = true;
      abandoned = waiter->abandoned;
      if (m.wParam == INFO_NO_DRIVER && d.driverConnected) {
        d.driverConnected = false;
        d.statusDirty = true;
        for (const auto& [unit, settings] : d.units) d.dirty.insert(unit);
      }
    }
    if (abandoned) {
      LateAnswer(d, *waiter, m.wParam);
      return;
    }
    if (m.wParam == 1) Track(d, *waiter, ControlStage::kAccepted);
    waiter->answer.set_value(m.wParam);
  }

  // The driver answered a request whose caller was told kPending.
  void LateAnswer(Device& d, Waiter& waiter, int64_t answer) {
    waiter.resolved = true;
    auto it = tracked_.find(waiter.update.id);
    if (answer == 1) {
      if (it == tracked_.end()) {
        Track(d, waiter, ControlStage::kAccepted);
        return;
      }
      it->second.update.stage = ControlStage::kAccepted;
      ControlUpdate accepted = it->second.update;
      {
        std::lock_guard<std::mutex> lock(mu_);
        Remember(accepted);
      }
      Notify([&](const Listener& l) {
        if (l.controlChanged) l.controlChanged(accepted);
      });
      return;
    }
    Tracked t{waiter.update, waiter.slot, waiter.expected, 0};
    if (it != tracked_.end()) {
      loop_.CancelOneShot(it->second.timer);
      t = it->second;
      tracked_.erase(it);
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++counters_.controlRefused;
    }
    Finish(t,
           answer == INFO_EXPIRED ? ControlStage::kExpired
                                  : ControlStage::kRefused,
           AnswerReason(answer, d.number), "");
  }

  // Follows a request whose caller was told kPending until it ends: the
  // driver's answer may still come, and the unit may show the value.
  void FollowPending(const std::shared_ptr<Waiter>& waiter) {
    if (waiter->resolved) return;
    Device* d = Find(waiter->update.device);
    if (d == nullptr) return;
    Track(*d, *waiter, ControlStage::kPending);
  }

  void Written(Device& d, int slot, std::string text) {
    const int unit = slot / kSlotsPerUnit + 1;
    {
      std::lock_guard<std::mutex> lock(mu_);
      d.slots[slot] = text;
      if (d.units.count(unit)) d.dirty.insert(unit);
    }
    for (auto it = tracked_.begin(); it != tracked_.end();) {
      Tracked& t = it->second;
      if (t.update.device == d.number && t.slot == slot && text == t.expected) {
        loop_.CancelOneShot(t.timer);
        Finish(t, ControlStage::kConfirmed, "", text);
        it = tracked_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Waits for the unit to show what |waiter| asked for. A kPending request
  // was told already; a kAccepted one is told now.
  void Track(Device& d, const Waiter& waiter, ControlStage stage) {
    ControlUpdate accepted = waiter.update;
    accepted.stage = stage;
    std::string now;
    bool answering = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Remember(accepted);
      now = d.slots[waiter.slot];
      auto it = d.states.find(accepted.unit);
      answering = it != d.states.end() && it->second.answering();
    }
    Notify([&](const Listener& l) {
      if (l.controlChanged) l.controlChanged(accepted);
    });
    Tracked t{accepted, waiter.slot, waiter.expected, 0};
    // The driver writes a slot only when its text changes, so a value that
    // the answering unit already shows is confirmed by that.
    if (answering && now == waiter.expected) {
      Finish(t, ControlStage::kConfirmed, "", now);
      return;
    }
    const uint64_t id = accepted.id;
    t.timer = loop_.AddOneShot(options_.confirmTimeoutMs, [this, id] {
      auto it = tracked_.find(id);
      if (it == tracked_.end()) return;
      Device* dev = Find(it->second.update.device);
      std::string text;
      {
        std::lock_guard<std::mutex> lock(mu_);
        text = dev->slots[it->second.slot];
      }
      const bool neverAnswered =
          it->second.update.stage == ControlStage::kPending;
      Finish(
          it->second, ControlStage::kNotConfirmed,
          std::string(neverAnswered ? "the driver never answered, and " : "") +
              "the unit did not report the value within " +
              std::to_string(options_.confirmTimeoutMs / 1000) + " s",
          text);
      tracked_.erase(it);
    });
    tracked_.emplace(id, std::move(t));
  }

  void Finish(const Tracked& t, ControlStage stage, const std::string& reason,
              const std::string& slotText) {
    ControlUpdate u = t.update;
    u.stage = stage;
    u.reason = reason;
    u.slotText = slotText;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stage == ControlStage::kConfirmed) ++counters_.controlConfirmed;
      if (stage == ControlStage::kNotConfirmed) ++counters_.controlNotConfirmed;
      Remember(u);
    }
    // The unit's new state goes out before the confirmation, so that a
    // listener that shows both never shows a confirmed value it lacks.
    Device* d = Find(u.device);
    if (d != nullptr) Flush(*d);
    Notify([&](const Listener& l) {
      if (l.controlChanged) l.controlChanged(u);
    });
  }

  // Decodes the units that changed and tells the listeners.
  void Flush(Device& d) {
    std::vector<UnitState> changed;
    std::optional<DeviceStatus> status;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const bool live = d.infodriverConnected && d.driverConnected;
      for (int unit : d.dirty) {
        auto settings = d.units.find(unit);
        if (settings == d.units.end()) continue;
        UnitSlots block;
        for (int i = 1; i < kSlotsPerUnit; ++i)
          block[i] = d.slots[UnitSlotOffset(unit) + i];
        UnitState s =
            DecodeUnit(site_, d.number, unit, settings->second.address, block);
        s.snmpVersion = settings->second.snmpVersion;
        s.snmpSecurityLevel = settings->second.snmpSecurityLevel;
        s.live = live;
        d.states[unit] = s;
        changed.push_back(std::move(s));
      }
      d.dirty.clear();
      if (d.statusDirty) status = StatusOf(d);
      d.statusDirty = false;
    }
    if (status)
      Notify([&](const Listener& l) {
        if (l.deviceChanged) l.deviceChanged(*status);
      });
    for (const UnitState& s : changed)
      Notify([&](const Listener& l) {
        if (l.unitChanged) l.unitChanged(s);
      });
  }

  template <typename Call>
  void Notify(Call call) {
    std::lock_guard<std::recursive_mutex> lock(listenersMu_);
    for (const auto& [id, listener] : listeners_) call(listener);
  }

  HubOptions options_;
  const std::string site_;
  SystemClock systemClock_;
  const Clock* clock_;
  EventLoop loop_;
  std::mutex refusalMu_;
  std::map<int, RefusalRecordRate> refusalRates_;  // by device; refusalMu_
  std::thread thread_;
  std::vector<std::unique_ptr<Device>> devices_;

  // Guards what the snapshot functions and RequestControl read: the
  // devices' states, statuses, slots and waiters, the counters and the
  // remembered requests.
  mutable std::mutex mu_;
  Counters counters_;
  uint64_t lastControlId_ = 0;
  std::deque<Remembered> remembered_;

  std::recursive_mutex listenersMu_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;

  // Accepted requests waiting for their slot; the hub's thread only.
  std::map<uint64_t, Tracked> tracked_;
};

DeviceHub::DeviceHub(HubOptions options, const Clock* clock)
    : impl_(std::make_unique<Impl>(std::move(options), clock)) {}
DeviceHub::~DeviceHub() = default;
void DeviceHub::Start() { impl_->Start(); }
void DeviceHub::Stop() { impl_->Stop(); }
const std::string& DeviceHub::site() const { return impl_->site(); }
std::vector<DeviceStatus> DeviceHub::Devices() const {
  return impl_->Devices();
}
std::vector<UnitState> DeviceHub::Units() const { return impl_->Units(); }
std::optional<UnitState> DeviceHub::Unit(const std::string& site, int device,
                                         int unit) const {
  return impl_->Unit(site, device, unit);
}
int DeviceHub::AddListener(Listener listener) {
  return impl_->AddListener(std::move(listener));
}
void DeviceHub::RemoveListener(int id) { impl_->RemoveListener(id); }
ControlUpdate DeviceHub::RequestControl(const std::string& site, int device,
                                        int unit, const ControlPoint& point,
                                        std::string_view value,
                                        int64_t deadlineMs) {
  return impl_->RequestControl(site, device, unit, point, value, deadlineMs);
}
void DeviceHub::RecordRefusal(const ControlRequester& by,
                              const ControlUpdate& refusal) {
  impl_->RecordRefusal(by, refusal);
}
std::optional<ControlUpdate> DeviceHub::Control(uint64_t id) const {
  return impl_->Control(id);
}
DeviceHub::Counters DeviceHub::GetCounters() const {
  return impl_->GetCounters();
}
