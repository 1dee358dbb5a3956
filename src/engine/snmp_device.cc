#include "engine/snmp_device.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "logging/handler_guard.h"
#include "logging/log.h"
#include "platform/control_deadline.h"
#include "platform/structured_exception.h"
#include "snmp/snmp_values.h"

namespace {

// The clock of every unit that a test has not given another one.
const Clock& processClock() {
  static const SystemClock clock;
  return clock;
}

// Copies |text| into a fixed buffer, always terminated, cut to fit.
void copyText(char* out, size_t size, const char* text) {
  std::snprintf(out, size, "%s", text ? text : "");
}

}  // namespace

// ---------------------------------------------------------------------------
// SnmpRequest

SnmpRequest::SnmpRequest(int32_t pduType, const char* oid, const char* value,
                         uint32_t syntax, uint32_t requestId)
    : requestId(requestId),
      syntax(syntax),
      value(value ? value : ""),
      oid(oid ? oid : ""),
      pduType(pduType) {}

SnmpRequest::~SnmpRequest() = default;

// ---------------------------------------------------------------------------
// Request serial

std::atomic<uint32_t> SnmpDevice::nextRequestNumber{0};

uint32_t SnmpDevice::takeRequestSerial() {
  uint32_t last = nextRequestNumber.load();
  uint32_t serial;
  uint32_t stored;
  do {
    // The modulo keeps a serial inside 16 bits even if the number was set
    // out of range; for 0 to 65534 it is the plain increment.
    serial = last % 65535 + 1;
    stored = serial >= 65535 ? 0 : serial;
  } while (!nextRequestNumber.compare_exchange_weak(last, stored));
  return serial;
}

// ---------------------------------------------------------------------------
// Construction and destruction

SnmpDevice::SnmpDevice(const char* deviceOid, int32_t slotOffset,
                       int32_t instance)
    : slotOffset(slotOffset), instance(instance), clock(&processClock()) {
  InstallFaultTranslator();
  queueLock = std::make_unique<BinarySemaphore>();
  this->deviceOid = deviceOid ? deviceOid : "";
  scanStartOid = this->deviceOid;
  copyText(currentOid, sizeof currentOid, scanStartOid.c_str());
  logList("SnmpDevice::Scans will start at %s. Device starts at %s",
          scanStartOid.c_str(), this->deviceOid.c_str());
}

SnmpDevice::~SnmpDevice() {
  logTrace("SnmpDevice::Destructor.");
  closeSnmp();
  queueLock.reset();
  requestQueue.clear();  // queued requests are discarded unsent
}

bool SnmpDevice::setAddress(const char* text) {
  if (text == nullptr || std::strlen(text) >= sizeof address) return false;
  std::strcpy(address, text);
  return true;
}

bool SnmpDevice::setCommunity(const char* text) {
  if (text == nullptr || std::strlen(text) >= sizeof community) return false;
  std::strcpy(community, text);
  return true;
}

// ---------------------------------------------------------------------------
// Log lines

void SnmpDevice::logList(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  writeLine(false, format, ap);
  va_end(ap);
}

void SnmpDevice::logTrace(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  writeLine(true, format, ap);
  va_end(ap);
}

void SnmpDevice::writeLine(bool trace, const char* format, va_list ap) {
  if (!debugMode) return;
  // The list names the unit by its instance, the trace by its address.
  char prefix[kTextSize + 4];
  if (trace)
    std::snprintf(prefix, sizeof prefix, "%s - ", address);
  else
    std::snprintf(prefix, sizeof prefix, "%d:", instance);
  // A prefix that fills the line leaves room for the text alone.
  char line[kLogLineSize];
  int n = std::snprintf(line, sizeof line, "%s", prefix);
  if (n < 0 || n >= static_cast<int>(sizeof line)) n = 0;
  std::vsnprintf(line + n, sizeof line - n, format, ap);
  if (trace)
    DebugOutput("%s", line);
  else
    DebugList("%s", line);
}

void SnmpDevice::endFastPoll() {
  if (!fastPoll) return;
  fastPollDone();
  fastPoll = false;
}

void SnmpDevice::traceWalkEnd(const char* oid, const std::string& why) {
  if (fastPoll) {
    logTrace(
        "SNMPReply '%s'. %s - fast poll is on - turning it off. Restart poll.",
        oid, why.c_str());
    endFastPoll();
  } else {
    logTrace("SNMPReply '%s'. %s - not fast poll. Restart poll.", oid,
             why.c_str());
  }
}

// ---------------------------------------------------------------------------
// Poll tick and supervision

void SnmpDevice::PollNext() {
  RunGuarded("SnmpDevice::PollNext - failed", [&] {
    // A request that has waited too long leaves the queue now, so that it
    // is logged while the operator may still be watching, not at the next
    // reply.
    dropQueuedRequests(false, "not sent in time");
    // A walk request that is still unanswered counts as a missed poll even
    // when the SNMP layer has already reported it as timed out: a timeout
    // lowers `outstanding`, but the unit has still not answered.
    if ((outstanding >= 1 || scanUnanswered) && commsOk) {
      missedPolls += 1;
      checkComms(false);
      if (missedPolls <= 2) return;  // the request may still be answered
      logTrace("more than two errors (%d). id = %d", missedPolls, 1);
      outstanding = 0;
      sendWalkRequest();
    } else {
      if (!commsOk) hintIfNeverAnswered();
      // Every tick of the background walk, and every tick while
      // communication is not good, sends the walk's request whatever is
      // outstanding. In a fast walk the replies send the requests, so a tick
      // gets here only when nothing at all is in flight: the chain of
      // replies was broken (the last scan reply arrived while a Set was
      // outstanding, or a handler failed), and the tick picks the walk up
      // again instead of letting it stall.
      sendWalkRequest();
    }
  });
}

// A unit that never answered never gets a "Comms Failed" line (it was
// never good), so nothing would say why: a wrong address or community, or
// no agent, look the same from here.
void SnmpDevice::hintIfNeverAnswered() {
  if (ticksWithoutAnswer < 0 || ++ticksWithoutAnswer < kTicksBeforeNoAnswerHint)
    return;
  ticksWithoutAnswer = -1;
  char line[kLogLineSize];
  std::snprintf(line, sizeof line,
                "%d:%s - no answer since the start - check its SNMPAddress, "
                "its SNMPCommunity and that its SNMP agent runs",
                instance, address);
  FileLog("%s", line);
  if (debugMode) DebugList("%s", line);
}

int32_t SnmpDevice::walkPduType() const {
  if (!security.bulk() || bulkFallback) return SNMP_PDU_GETNEXT;
  // While no GetBulk was ever answered, every other request after the
  // second lost one is a GetNext, to learn whether the unit answers that.
  if (!bulkAnswered && !getNextAnswered && bulkTimeouts >= 2 &&
      bulkTimeouts % 2 == 0)
    return SNMP_PDU_GETNEXT;
  return SNMP_PDU_GETBULK;
}

int SnmpDevice::sendWalkRequest() {
  return SendSnmpMessage(walkPduType(), currentOid, nullptr, 0, true);
}

void SnmpDevice::fallBackToGetNext(const char* why) {
  if (bulkFallback) return;
  bulkFallback = true;
  lastBulkId = 0;
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "%d:%s - %s - walking with GetNext",
                instance, address, why);
  FileLog("%s", line);
  if (debugMode) DebugList("%s", line);
}

void SnmpDevice::noteRefusal(uint32_t code) {
  const std::string cause = errorText(code);
  if (cause == refusal) return;
  refusal = cause;
  causeChanged(refusal);
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "%d:%s - %s", instance, address,
                cause.c_str());
  FileLog("%s", line);
  if (debugMode) DebugList("%s", line);
}

bool SnmpDevice::checkComms(bool ok) {
  RunGuarded(
      [&] {
        if (ok) {
          missedPolls = 0;
          if (!refusal.empty()) {
            refusal.clear();
            causeChanged(refusal);
          }
          ticksWithoutAnswer = -1;
          if (!commsOk) {
            commsChanged(false);
            logTrace("Comms OK");
            logList("%s - Comms OK", address);
            outstanding = 0;
          }
          commsOk = true;
        } else if (missedPolls > 5) {
          missedPolls = kNoCount;
          if (commsOk) {
            // Whatever waits for this unit was asked for before it went quiet;
            // sent after it recovers, it would switch outputs late.
            dropQueuedRequests(true, "unit declared failed");
            commsChanged(true);
            copyText(currentOid, sizeof currentOid, scanStartOid.c_str());
            logList("Start scan at %s", currentOid);
            startScan();
            logTrace("Comms Failed");
            logList("%s - Comms Failed", address);
          }
          commsOk = false;
        }
      },
      [](bool fault) {
        FileLog(fault ? "SnmpDevice::checkComms - failed"
                      : "SnmpDevice::checkComms failed");
      });
  return commsOk;
}

void SnmpDevice::startScan() {
  copyText(currentOid, sizeof currentOid, scanStartOid.c_str());
  logList("Start scan from '%s'", currentOid);
  commsOk = false;
  fastPoll = true;
  outstanding = 0;
}

// ---------------------------------------------------------------------------
// Replies

SnmpDevice::PduFields SnmpDevice::readPdu(HSNMP_PDU pdu, HSNMP_VBL* vbl) {
  PduFields f;
  snmpApi().GetPduData(pdu, &f.type, &f.requestId, &f.errorStatus,
                       &f.errorIndex, vbl);
  return f;
}

HSNMP_VBL SnmpDevice::SNMPReply(HSNMP_PDU pdu) {
  HSNMP_VBL vbl = nullptr;
  RunGuarded("SnmpDevice::SNMPReply failed", [&] {
    outstanding -= 1;
    const auto [pduType, requestId, errorStatus, errorIndex] =
        readPdu(pdu, &vbl);
    const bool scanReply =
        requestTag(static_cast<uint32_t>(requestId)) == kScanRequestTag;
    if (scanReply) scanUnanswered = false;

    const bool bulkReply =
        scanReply && lastBulkId != 0 &&
        static_cast<uint32_t>(requestId) == lastBulkId;
    if (scanReply && !bulkReply && security.bulk() && !bulkFallback &&
        !bulkAnswered) {
      getNextAnswered = true;
    }
    if (bulkReply) {
      bulkAnswered = true;
      bulkTimeouts = 0;
      if (errorStatus != SNMP_ERROR_NOERROR) {
        // The same position is asked again with GetNext.
        fallBackToGetNext("answers GetBulk with an error");
        if (fastPoll && outstanding <= 0) sendWalkRequest();
        sendNextMessage();
        return;
      }
    }

    const char* name = errorStatusName(errorStatus);
    const uint32_t count = vbl ? snmpApi().CountVbl(vbl) : 0;
    if (count == 0) {
      logTrace("SNMPReply. SNMP Failure in SnmpCountVbl");
    } else if (count > 1 && !bulkReply) {
      logTrace("SNMPReply. SnmpCountVbl more than one = %d",
               static_cast<int>(count));
    }

    char value[kOidSize] = "";
    char oid[kOidSize] = "";
    // A GetBulk's bindings go to the model in order until the first one
    // that is past the unit's subtree or the end of the agent's view,
    // which ends the walk as a GetNext's answer outside it does.
    bool walkEnded = false;
    for (uint32_t i = 1; i <= count; ++i) {
      value[0] = '\0';
      oid[0] = '\0';
      GetValue(vbl, i, sizeof value, value);
      getOid(vbl, i, sizeof oid, oid);
      // For 2c and 3 a GetNext's answer too may be the end of the view.
      if (bulkReply ||
          (scanReply && security.version != SnmpSecurity::Version::kV1 &&
           errorStatus == SNMP_ERROR_NOERROR)) {
        const uint32_t syntax = getSyntax(vbl, i);
        if (syntax == SNMP_SYNTAX_ENDOFMIBVIEW ||
            syntax == SNMP_SYNTAX_NOSUCHOBJECT ||
            syntax == SNMP_SYNTAX_NOSUCHINSTANCE ||
            std::strncmp(oid, deviceOid.c_str(), deviceOid.size()) != 0) {
          walkEnded = true;
          break;
        }
      }
      if (errorStatus == SNMP_ERROR_NOERROR) {
        handleValue(oid, value);
      } else {
        logTrace(
            "SNMPReply Error=%d (%s) at index %d, Slot Offset=%d, Entry %d, "
            "'%s' = '%s'",
            errorStatus, name, errorIndex, slotOffset, static_cast<int>(i), oid,
            value);
      }
    }

    // The reply to a Set neither steps the walk nor lets a queued request go.
    if (!scanReply) return;

    bool refused = false;
    if ((bulkReply || walkEnded) && count > 0) {
      errorRepliesInRow = 0;
      if (failingOid == currentOid) failingOid.clear();
      if (walkEnded) {
        traceWalkEnd(oid, "end of subtree (" + deviceOid + ")");
        firstScan = false;
        copyText(currentOid, sizeof currentOid, scanStartOid.c_str());
        logList("Start scan from '%s'", currentOid);
      } else {
        copyText(currentOid, sizeof currentOid, oid);  // the walk steps on
      }
    } else {
      refused = stepScan(count, oid, errorStatus);
    }
    if (fastPoll && outstanding <= 0 && !refused) {
      sendWalkRequest();
    }
    sendNextMessage();
  });
  return vbl;
}

// Steps the walk on from the reply to a scan request whose last binding
// names |oid|; true when the reply did not move the walk (it is asked again
// at the poll tick).
bool SnmpDevice::stepScan(uint32_t count, const char* oid,
                          int32_t errorStatus) {
  const char* name = errorStatusName(errorStatus);
  // A reply without any binding names no OID: the walk stays
  // where it is and asks again.
  const bool ours =
      count > 0 && std::strncmp(oid, deviceOid.c_str(), deviceOid.size()) == 0;
  // An answer that does not move the walk: an error other than noSuchName
  // (the agent hands back the requested OID) or no binding at all. Asking
  // again at once would flood an agent that always answers so; the poll
  // tick asks again instead.
  const bool refused =
      count == 0 || (ours && errorStatus != SNMP_ERROR_NOERROR &&
                     errorStatus != SNMP_ERROR_NOSUCHNAME);
  bool restart = false;
  if (refused) {
    const std::string at = count > 0 ? oid : currentOid;
    if (at != failingOid) {
      failingOid = at;
      logList("Error %d (%s) at '%s' - asking again at the poll tick",
              errorStatus, name, at.c_str());
    }
    copyText(currentOid, sizeof currentOid, at.c_str());
    errorRepliesInRow += 1;
    if (errorRepliesInRow >= kErrorRepliesBeforeRestart) {
      // The walk ends here, so that the objects before this one are
      // refreshed; the first walk's end blanks what was not seen.
      logTrace("SNMPReply '%s'. %d error answers in a row - Restart poll.",
               at.c_str(), errorRepliesInRow);
      endFastPoll();
      restart = true;
    }
  } else {
    errorRepliesInRow = 0;
    if (errorStatus == SNMP_ERROR_NOERROR && failingOid == currentOid) {
      failingOid.clear();  // the object answers again
    }
    if (!ours) {
      traceWalkEnd(oid, "not ours (" + deviceOid + ")");
      restart = true;
    } else if (errorStatus == SNMP_ERROR_NOSUCHNAME) {
      traceWalkEnd(oid,
                   "Background poll - ours (" + deviceOid + ") - No such name");
      restart = true;
    } else {
      copyText(currentOid, sizeof currentOid, oid);  // the walk steps on
    }
  }
  if (restart) {
    errorRepliesInRow = 0;
    firstScan = false;
    copyText(currentOid, sizeof currentOid, scanStartOid.c_str());
    logList("Start scan from '%s'", currentOid);
  }
  return refused;
}

// ---------------------------------------------------------------------------
// Request queue

int SnmpDevice::SendSnmpMessage(int32_t pduType, const char* oid,
                                const char* value, uint32_t syntax, bool scan,
                                int relativeSlot, const char* requested) {
  int result = 0;
  RunGuarded("SnmpDevice::SendSnmpMessage - failed", [&] {
    const uint32_t requestId =
        takeRequestSerial() + (scan ? 0x10000u : 0x20000u);
    std::unique_ptr<SnmpRequest> record;
    if (!scan) {
      record =
          std::make_unique<SnmpRequest>(pduType, oid, value, syntax, requestId);
      record->relativeSlot = relativeSlot;
      record->requested = requested ? requested : "";
      record->queuedAtMs = clock->NowMs();
      record->deadlineMs = CurrentControlDeadlineMs();
      const std::string late = expiry(*record, record->queuedAtMs, "");
      if (!late.empty()) {
        logDropped(*record, late.c_str());
        return;
      }
    }
    // While the unit is not known to answer nothing is queued: the queue
    // drains only on its answers, so a request waiting there would go out
    // whenever the unit comes back, however late that is.
    if (outstanding >= 1 && !scan && commsOk) {
      SemaphoreHolder lock(queueLock.get());
      if (!lock.held()) {
        logDropped(*record, "request queue not available");
        return;
      }
      requestQueue.push_back(std::move(record));
      if (!lock.release()) {
        logTrace("SnmpDevice::SendSnmpMessage() - failed to release semaphore");
      }
      return;
    }
    sentCount += 1;
    outstanding += 1;
    if (scan) scanUnanswered = true;
    if (scan && pduType == SNMP_PDU_GETBULK) lastBulkId = requestId;
    result = sendRequest(pduType, oid ? oid : "", value ? value : "", syntax,
                         static_cast<int32_t>(requestId));
    // A request the SNMP layer could not make for an SNMPv3 unit's
    // security (a user the library refuses) is named all the same.
    if (result != 0) {
      const uint32_t error = snmpApi().GetLastError(session);
      if (IsSnmpV3Refusal(error)) noteRefusal(error);
    }
    // A request that never left will be neither answered nor reported as
    // timed out; counted, it would hold every later control request in the
    // queue. (An unanswered scan request is still noticed by the poll tick
    // through `scanUnanswered`.)
    if (result != 0) outstanding -= 1;
  });
  return result;
}

bool SnmpDevice::sendNextMessage() {
  const char* step = "Entering";
  std::unique_ptr<SnmpRequest> record;
  std::vector<std::pair<std::unique_ptr<SnmpRequest>, std::string>> expired;
  bool emptied = false;
  RunGuarded(
      [&] {
        step = "GetSemaphore";
        SemaphoreHolder lock(queueLock.get());
        if (!lock.held()) return;
        step = "GotSemaphore";
        // Requests that waited too long or are past their deadline are
        // dropped on the way, never sent.
        const int64_t now = clock->NowMs();
        while (!requestQueue.empty()) {
          std::string why =
              expiry(*requestQueue.front(), now, "not sent in time");
          if (why.empty()) break;
          expired.emplace_back(std::move(requestQueue.front()), std::move(why));
          requestQueue.pop_front();
        }
        if (requestQueue.empty()) {
          step = "Buffer empty";
          emptied = true;
          return;
        }
        step = "Buffer has data";
        record = std::move(requestQueue.front());
        step = "done Buffer.front()";
        requestQueue.pop_front();
        step = "done Buffer.pop()";
        if (!lock.release()) {
          logTrace(
              "SnmpDevice::sendNextMessage() - failed to release semaphore");
        }
      },
      [&step](bool) {
        FileLog("SnmpDevice::sendNextMessage() - get data failed - %s", step);
      });
  for (const auto& [r, why] : expired) logDropped(*r, why.c_str());
  if (emptied) return !expired.empty();
  if (!record) return true;

  RunGuarded("SnmpDevice::sendNextMessage() - send data failed", [&] {
    outstanding += 1;
    logTrace("SnmpDevice::sendNextMessage %x %s '%s' %d %u",
             static_cast<unsigned>(record->pduType), record->oid.c_str(),
             record->value.c_str(), static_cast<int>(record->syntax),
             record->requestId);
    if (requestTag(record->requestId) == kScanRequestTag) {
      scanUnanswered = true;
    }
    const int result =
        sendRequest(record->pduType, record->oid.c_str(), record->value.c_str(),
                    record->syntax, static_cast<int32_t>(record->requestId));
    if (result != 0) outstanding -= 1;  // it never left: nothing to wait for
    sentCount += 1;
  });
  return true;
}

void SnmpDevice::dropQueuedRequests(bool all, const char* reason) {
  std::vector<std::pair<std::unique_ptr<SnmpRequest>, std::string>> dropped;
  SemaphoreHolder lock(queueLock.get());
  if (!lock.held()) return;
  const int64_t now = clock->NowMs();
  for (auto it = requestQueue.begin(); it != requestQueue.end();) {
    std::string why = all ? reason : expiry(**it, now, reason);
    if (!why.empty()) {
      dropped.emplace_back(std::move(*it), std::move(why));
      it = requestQueue.erase(it);
    } else {
      ++it;
    }
  }
  if (!lock.release()) {
    logTrace("SnmpDevice::dropQueuedRequests() - failed to release semaphore");
  }
  // Logged outside the lock, which is never held across a log line.
  for (const auto& [r, why] : dropped) logDropped(*r, why.c_str());
}

std::string SnmpDevice::expiry(const SnmpRequest& request, int64_t now,
                               const char* tooOld) {
  if (request.deadlineMs != 0 && now > request.deadlineMs)
    return "deadline passed " + std::to_string(now - request.deadlineMs) +
           " ms ago";
  if (now - request.queuedAtMs > kQueueLimitMs) return tooOld;
  return std::string();
}

void SnmpDevice::logDropped(const SnmpRequest& request, const char* reason) {
  FileLog(
      "SnmpDevice - unit %d (%s) - slot %d change to '%s' dropped - %s (%s = "
      "'%s', id %u)",
      instance, address, request.relativeSlot, request.requested.c_str(),
      reason, request.oid.c_str(), request.value.c_str(), request.requestId);
  logTrace("SnmpDevice - slot %d change to '%s' dropped - %s",
           request.relativeSlot, request.requested.c_str(), reason);
}

int SnmpDevice::bufferCount() {
  int length = 0;
  RunGuarded("SnmpDevice::bufferCount() - failed", [&] {
    SemaphoreHolder lock(queueLock.get());
    if (!lock.held()) return;
    length = static_cast<int>(requestQueue.size());
    if (!lock.release()) {
      logTrace("SnmpDevice::bufferCount() - failed to release semaphore");
    }
  });
  return length;
}

// ---------------------------------------------------------------------------
// Traps and errors

namespace {

// Bindings are written the same way before and after an unknown-trap line.
void logTrapEntries(SnmpDevice* device, HSNMP_VBL vbl, uint32_t count) {
  char oid[SnmpDevice::kOidSize];
  char value[SnmpDevice::kOidSize];
  for (uint32_t i = 1; i <= count; ++i) {
    oid[0] = '\0';
    value[0] = '\0';
    device->getOid(vbl, i, sizeof oid, oid);
    device->GetValue(vbl, i, sizeof value, value);
    device->logTrace("SNMPTrap Entry %d, '%s' = '%s'", static_cast<int>(i), oid,
                     value);
  }
}

}  // namespace

HSNMP_VBL SnmpDevice::SNMPTrap(HSNMP_PDU pdu) {
  HSNMP_VBL vbl = nullptr;
  RunGuarded("SnmpDevice::SNMPTrap - failed", [&] {
    trapCount += 1;
    const auto [pduType, requestId, errorStatus, errorIndex] =
        readPdu(pdu, &vbl);
    const uint32_t count = vbl ? snmpApi().CountVbl(vbl) : 0;
    logTrace(
        "SNMPTrap. Type=%x, ReqId=%d, ErrorStatus=%d (%s), ErrorIndex=%d, "
        "MaxVbl=%d",
        static_cast<unsigned>(pduType), requestId, errorStatus,
        errorStatusName(errorStatus), errorIndex, static_cast<int>(count));
    logTrapEntries(this, vbl, count);
    if (count < 2) return;

    // In the v2 form the second binding is snmpTrapOID.0, whose value is the
    // trap's identity.
    char trapOid[kOidSize] = "";
    GetValue(vbl, 2, sizeof trapOid, trapOid);
    if (!handleTrap(trapOid, vbl)) {
      logTrace("***  Unknown Trap '%s' ***", trapOid);
      logTrapEntries(this, vbl, count);
    }
  });
  return vbl;
}

void SnmpDevice::SNMPError(uint32_t code, uint32_t requestId) {
  RunGuarded(
      [&] {
        logTrace("SNMPError Code=%d\tIndex=%d", static_cast<int>(code),
                 static_cast<int>(requestId));
        // A trap that failed its checks is dropped and counted, one line
        // per cause; it was no request.
        if (IsSnmpV3Refusal(code) && requestId == kSnmpTrapRefused) {
          trapsRefused += 1;
          const std::string cause = errorText(code);
          if (cause != trapRefusal) {
            trapRefusal = cause;
            char line[kLogLineSize];
            std::snprintf(line, sizeof line, "%d:%s - trap dropped - %s",
                          instance, address, cause.c_str());
            FileLog("%s", line);
            if (debugMode) DebugList("%s", line);
          }
          return;
        }
        if (IsSnmpV3Refusal(code)) noteRefusal(code);
        if (code == SNMPAPI_TL_TIMEOUT && lastBulkId != 0 &&
            requestId == lastBulkId && !bulkAnswered && !bulkFallback) {
          // A unit that answers GetNext but lets every GetBulk go
          // unanswered walks with GetNext.
          if (getNextAnswered) {
            fallBackToGetNext("answers GetNext but never GetBulk");
          } else {
            bulkTimeouts += 1;
          }
        }
        outstanding -= 1;
        sendNextMessage();
      },
      [&](bool) {
        FileLog(
            "SnmpDevice::SNMPError - failed - %s SNMPError Code=%d\tIndex=%d",
            address, static_cast<int>(code), static_cast<int>(requestId));
      });
}
