#ifndef QOR_INFODRIVER_SERVER_CONTROL_AUDIT_H_
#define QOR_INFODRIVER_SERVER_CONTROL_AUDIT_H_

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "infodriver/server/audit_trail.h"
#include "unitview/point_names.h"

// Who a client says a request comes from, sent with INFO_ATTRIBUTE just
// before its slot change: the web server names the token's holder and the
// remote address, the bridge its site and broker. What the kernel says of
// the client (its user and pid) is recorded beside it, so that a claim can
// always be told from a fact.
struct ControlAttribution {
  std::string via;  // "web" or "mqtt"
  std::string who;
  std::string from;
  std::string clientRequest;  // the id the client gave its requester
};

// The client as the socket's credentials show it.
struct ControlPeer {
  long uid = -1;
  long pid = 0;
};

// Turns the infodriver's view of control requests into the device's audit
// trail: every slot change a client sends, what became of it (refused,
// expired, sent), and whether the unit then showed the value (confirmed,
// not confirmed), one line each with the same request id; and the
// refusals clients made before anything reached this infodriver. Runs on
// the infodriver's loop thread.
class ControlAudit {
 public:
  // |namesFile| is read again whenever it changes; may not exist.
  ControlAudit(int device, std::unique_ptr<AuditTrail> trail,
               std::string namesFile);

  // An INFO_ATTRIBUTE text; nothing when it is not one.
  static std::optional<ControlAttribution> ParseAttribution(
      const std::string& text);

  // A slot change as it arrives; the request's id in the trail. Nothing is
  // written until its outcome is known.
  uint64_t Requested(const ControlPeer& peer,
                     const std::optional<ControlAttribution>& attribution,
                     int slot, const std::string& value,
                     const std::string& previous);
  void Refused(uint64_t request, const std::string& reason);
  void Expired(uint64_t request, const std::string& reason);
  // The driver took it; |current| is the slot's text now. From here the
  // slot is watched until |nowMs| + kControlDeadlineMs.
  void Sent(uint64_t request, const std::string& current, int64_t nowMs);
  // Every slot write, for the confirmations.
  void SlotWritten(int slot, const std::string& text);
  // Ends the watches that have run out as "not confirmed".
  void Tick(int64_t nowMs);
  bool watching() const { return !watches_.empty(); }

  // An INFO_AUDIT record: a refusal (or expiry) a client made itself;
  // false when the text is not one.
  // |slotText| gives a slot's text now, for "previous"; may be empty.
  bool ClientRefusal(
      const ControlPeer& peer, const std::string& text,
      const std::function<std::string(int slot)>& slotText = nullptr);

  AuditTrail& trail() { return *trail_; }

 private:
  struct Pending {
    nlohmann::ordered_json record;
    int slot = 0;
    std::string expected;
    int64_t untilMs = 0;
  };
  void Write(nlohmann::ordered_json record, const char* outcome,
             const std::string& reason);
  nlohmann::ordered_json Base(const ControlPeer& peer,
                              const std::optional<ControlAttribution>& a);
  std::optional<std::string> NameOf(int unit, const std::string& point);

  const int device_;
  std::unique_ptr<AuditTrail> trail_;
  NamesFile names_;
  uint64_t nextRequest_;
  std::map<uint64_t, Pending> pending_;  // asked, no outcome yet
  std::map<uint64_t, Pending> watches_;  // sent, not yet confirmed
};

#endif  // QOR_INFODRIVER_SERVER_CONTROL_AUDIT_H_
