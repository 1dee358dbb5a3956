#ifndef QOR_ENGINE_TESTING_ENGINE_TEST_UTIL_H_
#define QOR_ENGINE_TESTING_ENGINE_TEST_UTIL_H_

// Shared pieces of the engine's tests: a minimal unit model, a scripted
// SNMPv1 agent that answers the fake layer's requests, and capture of the
// engine's log lines.

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/snmp_device.h"
#include "snmp/testing/fake_snmp_api.h"

namespace engine_test {

constexpr const char* kDeviceOid = "1.3.6.1.4.1.6853";

// The smallest model: it accepts every value of its own subtree (counting it
// and confirming communication, as the real model does) and records what the
// engine hands it. Failures can be injected into each operation.
class TestUnit : public SnmpDevice {
 public:
  explicit TestUnit(int32_t instance = 1)
      : SnmpDevice(kDeviceOid, (instance - 1) * 100, instance) {}
  ~TestUnit() override = default;

  int handleValue(const char* oid, const char* value) override {
    values.push_back({oid, value});
    if (throwInHandleValue) throwInHandleValue();
    if (std::strncmp(oid, deviceOid.c_str(), deviceOid.size()) == 0) {
      replyCount += 1;
      checkComms(true);
    }
    return 0;
  }
  void fastPollDone() override {
    fastPollDoneCalls += 1;
    if (throwInFastPollDone) throwInFastPollDone();
  }
  bool commsChanged(bool failed) override {
    commsChanges.push_back(failed);
    if (onCommsChanged) onCommsChanged(failed);
    if (throwInCommsChanged) throwInCommsChanged();
    return true;
  }
  void causeChanged(const std::string& cause) override {
    causeChanges.push_back(cause);
  }
  bool handleTrap(const char* trapOid, HSNMP_VBL vbl) override {
    trapOids.push_back(trapOid);
    if (throwInHandleTrap) throwInHandleTrap();
    return trapHandled;
  }

  HSNMP_SESSION sessionHandle() const { return session; }

  std::vector<std::pair<std::string, std::string>> values;
  int fastPollDoneCalls = 0;
  std::vector<bool> commsChanges;
  std::vector<std::string> causeChanges;
  std::vector<std::string> trapOids;
  bool trapHandled = true;
  std::function<void(bool)> onCommsChanged;
  std::function<void()> throwInHandleValue;
  std::function<void()> throwInFastPollDone;
  std::function<void()> throwInCommsChanged;
  std::function<void()> throwInHandleTrap;
};

std::vector<uint32_t> ParseOid(const std::string& text);

// An SNMP agent over the fake layer: GetNext returns the next object in
// OID order (noSuchName with the requested OID past the last one), Set
// stores the value and returns it.
class SimAgent {
 public:
  void Add(const std::string& oid, uint32_t syntax, const std::string& value);
  // An MDU-like subtree of |count| integer objects below the device OID.
  void AddMduObjects(int count);
  size_t size() const { return objects_.size(); }

  // Delivers the agent's answer to |request| (synchronously). A GetBulk
  // gets as many of the next objects as it asks for, then endOfMibView.
  void Answer(FakeSnmpApi& fake, const FakeSnmpApi::SentPdu& request);

  // How the agent takes a GetBulk: answered, refused with genErr, or lost.
  enum class Bulk { kAnswered, kRefused, kLost };
  Bulk bulk = Bulk::kAnswered;

 private:
  std::map<std::vector<uint32_t>, FakeSnmpApi::Binding> objects_;
};

// Captures the engine's trace lines (debug output, the unit's prefix
// stripped), the debug list lines and the log file lines.
class LogCapture {
 public:
  // |tracePrefix|: the "ADDRESS - " every trace line of the unit starts with.
  explicit LogCapture(std::string tracePrefix);
  ~LogCapture();

  std::vector<std::string> traces() const;  // prefix removed
  std::vector<std::string> list() const;
  std::vector<std::string> fileLines() const;  // time stamp removed
  void Clear();
  // How many captured trace lines equal |line|.
  int CountTrace(const std::string& line) const;

 private:
  std::string prefix_;
  std::string logDir_;
  std::vector<std::string> traces_;
  std::vector<std::string> list_;
};

}  // namespace engine_test

#endif  // QOR_ENGINE_TESTING_ENGINE_TEST_UTIL_H_
