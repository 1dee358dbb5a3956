#ifndef QOR_TESTS_INTEGRATION_E2E_SUPPORT_H_
#define QOR_TESTS_INTEGRATION_E2E_SUPPORT_H_

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/snmpd_agent.h"

using qor_test::Process;
using qor_test::ReadFileText;
using qor_test::WaitFor;

// Paths of the installed programs and of the simulation scripts.
std::string BinPath(const std::string& program);
std::string SimPath(const std::string& file);

// The command line (bash first) of sim/send_trap.sh sending from unit
// |unit|'s address to 127.0.0.1:|trapPort| with |community|, followed by
// |kind| (the trap and its options).
std::vector<std::string> SendTrapCommand(int unit, int trapPort,
                                         const std::string& community,
                                         const std::vector<std::string>& kind);

// /tmp/PREFIX_PID_TEST: a path of the running test's own.
std::filesystem::path TestRoot(const std::string& prefix);

// A fresh root tree at |root| for one run of the programs: the system's
// configuration folder and a private runtime directory (mode 0700). Returns
// the environment that points the programs at it.
std::vector<std::string> MakeRootTree(const std::filesystem::path& root);

// The driver's log lines under |root|: of device |device|'s log files, or of
// all of them when |device| is 0.
std::string LogTextUnder(const std::filesystem::path& root, int device = 0);

// How often |what| stands in |text|.
int CountOf(const std::string& text, const std::string& what);

// The installed infodriver for |device| with |env|, ready when infoctl's
// ping answers (with or without a driver).
std::unique_ptr<Process> StartInfodriver(int device,
                                         const std::vector<std::string>& env);

// True when agents may use port 161 (root); otherwise every unit gets a high
// port and is addressed as ADDR:PORT.
bool PrivilegedPorts();
int AgentPort(int unit);
std::string AgentHost(int unit);    // "127.0.1.N"
std::string UnitAddress(int unit);  // what SNMPAddress holds

// One simulated MDU (sim/mdu_agent.sh, which becomes snmpd), stopped by pid
// when the object goes.
class MduAgent {
 public:
  // |options|: more options of sim/mdu_agent.sh (--config for v3 users).
  MduAgent(int unit, const std::string& dir, const std::string& community,
           std::vector<std::string> options = {});
  void Start();
  void Stop();
  bool Answers();  // one snmpget of the location
  bool WaitUntilAnswering();
  std::string Get(const std::string& oid);  // snmpget -Oqv value, "" on error

 private:
  int unit_;
  std::string dir_, community_;
  std::vector<std::string> options_;
  std::unique_ptr<Process> process_;
};

// What a test of one driver process needs under |root|: a fresh root tree
// with a trap port of the test's own, settings of device |device| whose
// [qor_mdu] section holds |driverSettings| and whose unit 1 is the
// simulated unit, that unit answering, and the infodriver serving. A step
// that fails is a failure of the running test.
struct OneUnitRig {
  std::vector<std::string> env;
  std::unique_ptr<MduAgent> agent;
  std::unique_ptr<Process> infodriver;
};
OneUnitRig StartOneUnitRig(const std::filesystem::path& root, int device,
                           const std::string& driverSettings);

// The slots of an infodriver as `infoctl dump` prints them (unescaped).
std::map<int, std::string> DumpSlots(int device,
                                     const std::vector<std::string>& env);
std::string Unescape(const std::string& text);

// The block a unit serving sim/mdu.data must show in its relative slots 1
// to 99 (slots never written are absent), derived from the data file.
std::map<int, std::string> ExpectedBlock(int unit);

// The value of one object in sim/mdu.data for |unit|, as the agent serves it.
std::string DataValue(int unit, const std::string& oid);

#endif  // QOR_TESTS_INTEGRATION_E2E_SUPPORT_H_
