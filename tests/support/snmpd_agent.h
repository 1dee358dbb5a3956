#ifndef QOR_TESTS_SUPPORT_SNMPD_AGENT_H_
#define QOR_TESTS_SUPPORT_SNMPD_AGENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

namespace qor_test {

// One object the agent serves. |type| is an snmpd "override" type:
// "integer", "uinteger" (Gauge32), "counter", "timeticks", "octet_str",
// "object_id". The value is written as snmpd reads it (numbers in decimal,
// OIDs dotted, any text for octet_str). Only |writable| objects accept Sets;
// a Set of any other object is refused by the agent.
struct SnmpdObject {
  std::string oid;
  std::string type;
  std::string value;
  bool writable = false;
};

// A real net-snmp agent for integration tests (RAII).
//
//   qor_test::SnmpdAgent agent("127.0.1.101", "public", {
//       {"1.3.6.1.4.1.6853.1.1.0", "integer", "5", /*writable=*/true},
//       {"1.3.6.1.4.1.6853.1.2.0", "octet_str", "Rack 3"}});
//   ASSERT_TRUE(agent.Start()) << agent.log();   // answers when this returns
//   ... point the code under test at agent.address() ...
//   agent.Stop();            // the unit goes silent
//   ASSERT_TRUE(agent.Start());  // and comes back on the same address
//   EXPECT_EQ(agent.Get("1.3.6.1.4.1.6853.1.1.0"), "9");  // after a Set
//
// The agent is /usr/sbin/snmpd in the foreground (-f, so the pid is the one
// started), with no system configuration (-C), a configuration of its own
// written from the objects (an rwcommunity line and one "override" line per
// object) and its state and log in a temporary directory that is removed
// with the object. It listens on udp:ADDRESS:PORT only. The destructor stops
// it by pid (SIGTERM, then SIGKILL), whatever the outcome of the test.
//
// Address ranges per test group are in the project's test rules; every
// 127.0.0.0/8 address is local, so agents of different tests never meet.
class SnmpdAgent {
 public:
  SnmpdAgent(std::string address, std::string community,
             std::vector<SnmpdObject> objects, uint16_t port = 161);
  ~SnmpdAgent();
  SnmpdAgent(const SnmpdAgent&) = delete;
  SnmpdAgent& operator=(const SnmpdAgent&) = delete;

  // Starts the agent and waits (up to |timeoutMs|) until it answers a Get
  // with the community. False when it did not (see log()).
  bool Start(int timeoutMs = 15000);
  void Stop();
  bool running();

  // The value of |oid| as the agent has it now (snmpget -Oqvt: numbers in
  // decimal, timeticks as the plain count, strings unquoted), or "" with
  // *ok false when the agent does not answer or has no such object.
  std::string Get(const std::string& oid, bool* ok = nullptr);

  const std::string& address() const { return address_; }
  uint16_t port() const { return port_; }
  // "ADDRESS:PORT", as the driver's address text takes it.
  std::string endpoint() const;
  const std::string& community() const { return community_; }
  pid_t pid() const { return process_.pid(); }
  const std::string& directory() const { return dir_; }
  // The agent's log file (parse errors of the configuration show here).
  std::string log() const;
  // Adds a line to the configuration the next Start writes: SNMPv3 users
  // ("createUser ...", "rwuser ..."), "exactEngineID ...".
  void AddConfig(const std::string& line) { extraConfig_.push_back(line); }

 private:
  void WriteConfig();

  std::string address_;
  std::string community_;
  std::vector<SnmpdObject> objects_;
  std::vector<std::string> extraConfig_;
  uint16_t port_;
  std::string dir_;
  ChildProcess process_;
};

// A UDP port that is free on 127.0.0.1 right now (bind port 0, read it,
// close), for trap receivers and agents of a test.
uint16_t FreeUdpPort();

// The same for a TCP port (a web server's, a broker's).
uint16_t FreeTcpPort();

// A UDP socket bound to |address| (dotted; "0.0.0.0" for every address) and
// |port| (0 for any free one), or -1. |*boundPort|, when given, gets the
// port it holds. The caller closes it.
int BindUdpSocket(const char* address, uint16_t port,
                  uint16_t* boundPort = nullptr);

// Sends one trap with net-snmp's snmptrap from |clientAddress| (its UDP
// source) to |receiver|:|port|. Each binding is (OID, snmptrap type letter,
// value), for instance {"1.3.6.1.4.1.6853.1.1.0", "i", "5"}; letters as
// snmptrap takes them: i u t a o s x d n c (counter) U.
struct TrapBinding {
  std::string oid;
  std::string type;
  std::string value;
};
struct TrapMessage {
  int version = 2;  // 1, 2 (2c) or 3
  bool inform = false;  // an inform (2c): sent true only when acknowledged
  std::string community = "public";
  // Version 3: the user, its level ("authPriv"...), protocols, pass phrases
  // and the sender's engine ID (hex, "0x..."), as snmptrap takes them.
  std::string user;
  std::string level = "authPriv";
  std::string authProtocol = "SHA";
  std::string authPass;
  std::string privProtocol = "AES";
  std::string privPass;
  std::string engineId;
  std::string clientAddress = "127.0.0.1";
  std::string receiver = "127.0.0.1";
  uint16_t port = 162;
  // Version 1: enterprise, agent address, generic and specific trap number.
  std::string enterprise = "1.3.6.1.4.1.6853";
  std::string agentAddress;  // empty: the client address
  int generic = 6;
  int specific = 1;
  // Version 2c: the trap OID.
  std::string trapOid = "1.3.6.1.4.1.6853.0.1";
  uint32_t uptime = 12345;
  std::vector<TrapBinding> bindings;
};
// True when snmptrap ran and reported success; |output| gets what it wrote.
bool SendTrap(const TrapMessage& trap, std::string* output = nullptr);

}  // namespace qor_test

#endif  // QOR_TESTS_SUPPORT_SNMPD_AGENT_H_
