#ifndef QOR_TESTS_INTEGRATION_WEB_WEB_RIG_H_
#define QOR_TESTS_INTEGRATION_WEB_WEB_RIG_H_

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/e2e_support.h"

// The whole chain the web page stands on, on the installed programs: a
// root tree of its own, simulated units 1..N (snmpd agents), the device's
// infodriver and driver, and qor_web on a free port of 127.0.0.1 with a
// control token. Everything is stopped by pid and the tree removed when
// the rig goes.
class WebRig {
 public:
  WebRig(int device, int units);
  ~WebRig();

  // Starts everything and waits until qor_web lists every unit answering;
  // false with |error| when a piece does not come up.
  bool Start(std::string* error);
  // A file of the rig's tree (|path| relative to its root), written by
  // Start before any program starts.
  void AddFile(
      const std::string& path, const std::string& text,
      std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                    std::filesystem::perms::owner_write) {
    files_.push_back({path, text, mode});
  }
  // Unit |unit| as its driver is set to speak to it, before Start:
  // |settings| are more lines of its settings section, |agentOptions| more
  // options of its sim/mdu_agent.sh. Start waits for a unit that refuses
  // its driver to be failed rather than answering.
  void SetUnit(int unit, const std::string& settings,
               const std::vector<std::string>& agentOptions, bool refuses) {
    unitSetups_[unit] = {settings, agentOptions, refuses};
  }
  // Options for the rig's qor_web, before Start.
  void AddWebOptions(const std::vector<std::string>& options) {
    webOptions_.insert(webOptions_.end(), options.begin(), options.end());
  }

  int device() const { return device_; }
  int units() const { return units_; }
  uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }
  const std::string& site() const { return site_; }
  const std::filesystem::path& root() const { return root_; }
  MduAgent& agent(int unit) { return *agents_[unit - 1]; }
  Process& web() { return *web_; }
  // Starts another qor_web on the rig's device with |args| before the
  // device number; the caller owns it.
  std::unique_ptr<Process> StartWeb(const std::vector<std::string>& args);
  // sim/send_trap.sh from unit |unit|'s address to the driver.
  int SendTrap(int unit, const std::vector<std::string>& kind);
  std::string trapCommand(int unit) const;  // the same, as a shell line
  // The rig's qor_web as a shell line, environment included: a test that
  // ends it can start it again as it was.
  std::string webCommand() const;
  std::string UnitPath(int unit) const;  // "/api/v1/units/SITE/D/U"

 private:
  int device_, units_;
  std::filesystem::path root_;
  std::vector<std::string> env_;
  int trapPort_ = 0;
  uint16_t port_ = 0;
  std::string token_ = "rig-token-4f0c2a9e81d7";
  std::string site_ = "rig";
  std::vector<std::string> webOptions_, webArgs_;
  struct File {
    std::string path, text;
    std::filesystem::perms mode;
  };
  std::vector<File> files_;
  struct UnitSetup {
    std::string settings;
    std::vector<std::string> agentOptions;
    bool refuses = false;
  };
  std::map<int, UnitSetup> unitSetups_;
  std::vector<std::unique_ptr<MduAgent>> agents_;
  std::unique_ptr<Process> infodriver_, driver_, web_;
};

using qor_test::FreeTcpPort;

#endif  // QOR_TESTS_INTEGRATION_WEB_WEB_RIG_H_
