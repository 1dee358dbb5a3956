#ifndef QOR_SNMP_TESTING_RECORDING_SESSION_H_
#define QOR_SNMP_TESTING_RECORDING_SESSION_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "snmp/csnmp_zarn.h"

// What reached one of a session's three operations, with the texts the
// driver reads from it.
struct SessionEvent {
  std::string what;  // "reply", "trap" or "error"
  int32_t type = 0;
  int32_t requestId = 0;
  int32_t errorStatus = 0;
  int32_t errorIndex = 0;
  uint32_t code = 0;  // an error's code
  std::vector<std::pair<std::string, std::string>> bindings;
};

// A session that records every reply, trap and error it is handed, read
// through its own layer. With |keep| set a reply or trap takes the PDU's
// list and hands it back to be freed, as the engine does; with |useDefaults|
// set the session's own operations run instead and nothing is recorded.
class RecordingSession : public CsnmpZarn {
 public:
  using CsnmpZarn::context;
  using CsnmpZarn::localEntity;
  using CsnmpZarn::remoteEntity;
  using CsnmpZarn::session;

  bool keep = true;
  bool useDefaults = false;
  std::vector<SessionEvent> events;

 protected:
  HSNMP_VBL SNMPTrap(HSNMP_PDU pdu) override;
  HSNMP_VBL SNMPReply(HSNMP_PDU pdu) override;
  void SNMPError(uint32_t code, uint32_t requestId) override;

  // Runs after each event is recorded (the last of |events|).
  virtual void Recorded(const SessionEvent& event) {}

 private:
  HSNMP_VBL Record(const char* what, HSNMP_PDU pdu);
  void Push(SessionEvent event);
};

#endif  // QOR_SNMP_TESTING_RECORDING_SESSION_H_
