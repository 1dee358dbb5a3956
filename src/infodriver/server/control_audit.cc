#include "infodriver/server/control_audit.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>

#include "infodriver/infodriver_protocol.h"
#include "mdu/unit_layout.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "unitview/control_point.h"

namespace {

using ordered_json = nlohmann::ordered_json;

// Texts from clients are cut: a record is a line someone reads.
constexpr size_t kMaxFieldBytes = 128;

std::string Cut(std::string text) {
  if (text.size() > kMaxFieldBytes) text.resize(kMaxFieldBytes);
  return text;
}

std::optional<std::string> StringField(const nlohmann::json& object,
                                       const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_string()) return Cut(it->get<std::string>());
  if (it->is_number_integer()) return std::to_string(it->get<long long>());
  return std::nullopt;
}

std::string UserName(long uid) {
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buffer[1024];
  if (uid >= 0 &&
      getpwuid_r(static_cast<uid_t>(uid), &pw, buffer, sizeof buffer, &found) ==
          0 &&
      found)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

// The unit and its point that |slot| is; "slot N" for a slot that is no
// unit's control point.
void PointOf(int slot, int* unit, std::string* point) {
  *unit = 0;
  *point = "slot " + std::to_string(slot);
  if (slot < 1 || slot > mdu::kUnitCount * mdu::kSlotsPerUnit) return;
  const int n = (slot - 1) / mdu::kSlotsPerUnit + 1;
  const int relative = slot - mdu::UnitSlotOffset(n);
  *unit = n;
  if (std::optional<ControlPoint> p = ControlPointOfSlot(relative))
    *point = p->name();
}

}  // namespace

ControlAudit::ControlAudit(int device, std::unique_ptr<AuditTrail> trail,
                           std::string namesFile)
    : device_(device), trail_(std::move(trail)), names_(std::move(namesFile)) {
  // Ids that no earlier run of this infodriver gave: milliseconds since the
  // epoch at the start, times a thousand, counted up.
  const timespec wall = TheSystemClock().WallNow();
  nextRequest_ = (static_cast<uint64_t>(wall.tv_sec) * 1000 +
                  static_cast<uint64_t>(wall.tv_nsec / 1000000)) *
                 1000;
}

std::optional<ControlAttribution> ControlAudit::ParseAttribution(
    const std::string& text) {
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  ControlAttribution a;
  a.via = StringField(j, "via").value_or("");
  if (a.via != "web" && a.via != "mqtt") return std::nullopt;
  a.who = StringField(j, "who").value_or("");
  a.from = StringField(j, "from").value_or("");
  a.clientRequest = StringField(j, "request").value_or("");
  return a;
}

ordered_json ControlAudit::Base(const ControlPeer& peer,
                                const std::optional<ControlAttribution>& a) {
  ordered_json r;
  r["request"] = nextRequest_++;
  const std::string user = UserName(peer.uid);
  if (a) {
    r["via"] = a->via;
    r["who"] = a->who;
    r["from"] = a->from;
    if (!a->clientRequest.empty()) r["client_request"] = a->clientRequest;
  } else {
    r["via"] = "infoctl";
    r["who"] = user + " (uid " + std::to_string(peer.uid) + ")";
    r["from"] = "pid " + std::to_string(peer.pid);
  }
  r["device"] = device_;
  // What the kernel says of the client, whatever it claims.
  r["peer"] = user + " (uid " + std::to_string(peer.uid) + ", pid " +
              std::to_string(peer.pid) + ")";
  return r;
}

uint64_t ControlAudit::Requested(
    const ControlPeer& peer,
    const std::optional<ControlAttribution>& attribution, int slot,
    const std::string& value, const std::string& previous) {
  ordered_json r = Base(peer, attribution);
  int unit = 0;
  std::string point;
  PointOf(slot, &unit, &point);
  r["unit"] = unit;
  r["point"] = point;
  if (unit > 0)
    if (std::optional<std::string> name = NameOf(unit, point))
      r["name"] = *name;
  r["value"] = value;
  r["previous"] = previous;
  const uint64_t id = r["request"].get<uint64_t>();
  Pending p;
  p.slot = slot;
  p.expected = value;
  if (unit > 0)
    if (std::optional<ControlPoint> cp =
            ControlPointOfSlot(slot - mdu::UnitSlotOffset(unit))) {
      ControlValue checked = CheckControlValue(*cp, value);
      if (checked.ok) p.expected = checked.expectedSlotText;
    }
  p.record = std::move(r);
  pending_[id] = std::move(p);
  return id;
}

void ControlAudit::Write(ordered_json record, const char* outcome,
                         const std::string& reason) {
  record["outcome"] = outcome;
  record["reason"] = reason;
  // The fields in the order a reader looks for them; what the socket says
  // of the client, and the client's own id, last.
  static constexpr const char* kOrder[] = {
      "request", "via",    "who",  "from",          "device",
      "unit",    "point",  "name", "value",         "previous",
      "outcome", "reason", "peer", "client_request"};
  ordered_json line;
  for (const char* key : kOrder)
    if (record.contains(key)) line[key] = record[key];
  trail_->Record(line);
}

void ControlAudit::Refused(uint64_t request, const std::string& reason) {
  auto it = pending_.find(request);
  if (it == pending_.end()) return;
  Write(std::move(it->second.record), "refused", reason);
  pending_.erase(it);
}

void ControlAudit::Expired(uint64_t request, const std::string& reason) {
  auto it = pending_.find(request);
  if (it == pending_.end()) return;
  Write(std::move(it->second.record), "expired", reason);
  pending_.erase(it);
}

void ControlAudit::Sent(uint64_t request, const std::string& current,
                        int64_t nowMs) {
  auto it = pending_.find(request);
  if (it == pending_.end()) return;
  Pending p = std::move(it->second);
  pending_.erase(it);
  Write(p.record, "sent", "the driver took it");
  // The driver writes a slot only when its text changes: a value the slot
  // already shows is all the confirmation that will come.
  if (current == p.expected) {
    Write(std::move(p.record), "confirmed", "the unit already showed it");
    return;
  }
  p.untilMs = nowMs + kControlDeadlineMs;
  watches_[request] = std::move(p);
}

void ControlAudit::SlotWritten(int slot, const std::string& text) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (it->second.slot == slot && it->second.expected == text) {
      Write(std::move(it->second.record), "confirmed", "the unit showed it");
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

void ControlAudit::Tick(int64_t nowMs) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (nowMs >= it->second.untilMs) {
      Write(std::move(it->second.record), "not confirmed",
            "the unit did not show the value within " +
                std::to_string(kControlDeadlineMs / 1000) + " s");
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

bool ControlAudit::ClientRefusal(
    const ControlPeer& peer, const std::string& text,
    const std::function<std::string(int slot)>& slotText) {
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  std::optional<ControlAttribution> a = ParseAttribution(text);
  if (!a) return false;
  ordered_json r = Base(peer, a);
  auto unit = j.find("unit");
  r["unit"] = unit != j.end() && unit->is_number_integer() &&
                      unit->get<int>() >= 0 &&
                      unit->get<int>() <= mdu::kUnitCount
                  ? unit->get<int>()
                  : 0;
  const std::string point = StringField(j, "point").value_or("");
  r["point"] = point;
  if (r["unit"].get<int>() > 0)
    if (std::optional<std::string> name = NameOf(r["unit"].get<int>(), point))
      r["name"] = *name;
  r["value"] = StringField(j, "value").value_or("");
  std::optional<ControlPoint> cp = ParseControlPoint(point);
  if (slotText && cp && r["unit"].get<int>() > 0)
    r["previous"] = slotText(mdu::UnitSlotOffset(r["unit"].get<int>()) +
                             cp->relativeSlot());
  // A request that waited in the client until its deadline never reached
  // anyone either; it ends as expired, every other one as refused.
  const bool expired = StringField(j, "outcome").value_or("") == "expired";
  Write(std::move(r), expired ? "expired" : "refused",
        StringField(j, "reason").value_or(""));
  return true;
}

std::optional<std::string> ControlAudit::NameOf(int unit,
                                                const std::string& point) {
  return names_.Unit(unit).NameOf(point);
}
