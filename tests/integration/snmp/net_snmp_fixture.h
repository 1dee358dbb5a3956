#ifndef QOR_TESTS_INTEGRATION_SNMP_NET_SNMP_FIXTURE_H_
#define QOR_TESTS_INTEGRATION_SNMP_NET_SNMP_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/event_loop.h"
#include "snmp/net_snmp_api.h"
#include "support/snmpd_agent.h"

// The real layer on a loop of the test's own. Traps come in on a free port
// of the test's own (ZARN_SNMP_TRAP_PORT), so that tests never share the
// machine's trap port.
class NetSnmpFixture : public ::testing::Test {
 protected:
  explicit NetSnmpFixture(int timeoutMs = NetSnmpApi::kDefaultTimeoutMs)
      : api_(loop_, timeoutMs) {}

  void SetUp() override {
    trapPort_ = qor_test::FreeUdpPort();
    ASSERT_NE(trapPort_, 0);
    setenv("ZARN_SNMP_TRAP_PORT", std::to_string(trapPort_).c_str(), 1);
  }
  void TearDown() override { unsetenv("ZARN_SNMP_TRAP_PORT"); }

  // Runs the loop until |done| or a generous deadline; true when done.
  bool RunUntil(const std::function<bool()>& done, int deadlineMs = 15000) {
    int64_t end = loop_.clock().NowMs() + deadlineMs;
    while (!done()) {
      if (loop_.clock().NowMs() > end) return false;
      loop_.RunOnce(50);
    }
    return true;
  }
  // Runs the loop for |ms|, for what must not happen in that time.
  void RunFor(int ms) {
    int64_t end = loop_.clock().NowMs() + ms;
    while (loop_.clock().NowMs() < end) loop_.RunOnce(10);
  }

  EventLoop loop_;
  NetSnmpApi api_;
  ScopedSnmpApi use_{&api_};
  uint16_t trapPort_ = 0;
};

#endif  // QOR_TESTS_INTEGRATION_SNMP_NET_SNMP_FIXTURE_H_
