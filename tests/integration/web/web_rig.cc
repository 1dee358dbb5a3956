#include "integration/web/web_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "testing/http_client.h"

namespace fs = std::filesystem;

namespace {
const char* kCommunity = "webrig";
}

WebRig::WebRig(int device, int units)
    : device_(device),
      units_(units),
      root_("/tmp/qor_web_rig_" + std::to_string(getpid()) + "_" +
            std::to_string(device)) {}

WebRig::~WebRig() {
  web_.reset();
  driver_.reset();
  infodriver_.reset();
  agents_.clear();
  fs::remove_all(root_);
}

std::string WebRig::UnitPath(int unit) const {
  return "/api/v1/units/" + site_ + "/" + std::to_string(device_) + "/" +
         std::to_string(unit);
}

std::unique_ptr<Process> WebRig::StartWeb(
    const std::vector<std::string>& args) {
  std::vector<std::string> all = args;
  all.push_back(std::to_string(device_));
  return std::make_unique<Process>(BinPath("qor_web"), all, env_);
}

bool WebRig::Start(std::string* error) {
  fs::remove_all(root_);
  fs::create_directories(root_ / "sys" / "config" / "system");
  fs::create_directories(root_ / "run");
  fs::permissions(root_ / "run", fs::perms::owner_all);
  trapPort_ = qor_test::FreeUdpPort();
  env_ = {"QX_ROOT=" + root_.string(), "QX_SYSTEM=sys",
          "ZARN_RUNTIME_DIR=" + (root_ / "run").string(),
          "ZARN_SNMP_TRAP_PORT=" + std::to_string(trapPort_)};
  char name[16];
  std::snprintf(name, sizeof name, "dev_%03d.ini", device_);
  {
    std::ofstream ini(root_ / "sys" / "config" / "system" / name);
    ini << "[qor_mdu]\nPollDelay=500\n";
    for (int n = 1; n <= units_; ++n)
      ini << "[QOR_MDU_" << n << "]\nSNMPAddress=" << UnitAddress(n)
          << "\nSNMPCommunity=" << kCommunity << "\n"
          << unitSetups_[n].settings;
  }
  {
    std::ofstream(root_ / "token") << token_ << "\n";
    chmod((root_ / "token").c_str(), 0600);
  }
  for (const File& f : files_) {
    std::ofstream(root_ / f.path) << f.text;
    fs::permissions(root_ / f.path, f.mode);
  }
  for (int n = 1; n <= units_; ++n) {
    agents_.push_back(std::make_unique<MduAgent>(
        n, (root_ / ("agent" + std::to_string(n))).string(), kCommunity,
        unitSetups_[n].agentOptions));
    agents_.back()->Start();
  }
  for (int n = 1; n <= units_; ++n) {
    if (!agents_[n - 1]->WaitUntilAnswering()) {
      *error = "agent " + std::to_string(n) + " does not answer";
      return false;
    }
  }
  infodriver_ = StartInfodriver(device_, env_);
  if (!infodriver_) {
    *error = "the infodriver did not start";
    return false;
  }
  driver_ = std::make_unique<Process>(
      BinPath("qor_mdu"), std::vector<std::string>{std::to_string(device_)},
      env_);
  port_ = FreeTcpPort();
  std::vector<std::string> options = {"--listen",
                                      "127.0.0.1:" + std::to_string(port_),
                                      "--control-token-file",
                                      (root_ / "token").string(),
                                      "--site",
                                      site_};
  options.insert(options.end(), webOptions_.begin(), webOptions_.end());
  webArgs_ = options;
  webArgs_.push_back(std::to_string(device_));
  web_ = StartWeb(options);
  bool ready = WaitFor(
      [&] {
        HttpAnswer a = HttpGet(port_, "/api/v1/units");
        if (a.status != 200) return false;
        nlohmann::json units = nlohmann::json::parse(a.body, nullptr, false);
        if (!units.is_array() || units.size() != static_cast<size_t>(units_))
          return false;
        for (const auto& u : units) {
          const bool refuses = unitSetups_[u.value("unit", 0)].refuses;
          if (refuses ? u["comms"] != "failed" : u["answering"] != true)
            return false;
        }
        return true;
      },
      std::chrono::seconds(60));
  if (!ready) {
    *error = "qor_web does not show every unit answering: " +
             HttpGet(port_, "/api/v1/units").body +
             "\nqor_web: " + web_->Stderr() +
             "\ndriver: " + driver_->Stdout().substr(0, 2000) +
             driver_->Stderr().substr(0, 2000) +
             (driver_->running() ? " (running)" : " (ended)");
    return false;
  }
  return true;
}

std::string WebRig::webCommand() const {
  auto quoted = [](const std::string& word) {
    std::string q = "'";
    for (char c : word)
      q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  std::string line = "exec env";
  for (const std::string& e : env_) line += " " + quoted(e);
  line += " " + quoted(BinPath("qor_web"));
  for (const std::string& a : webArgs_) line += " " + quoted(a);
  return line;
}

std::string WebRig::trapCommand(int unit) const {
  return "/bin/bash " + SimPath("send_trap.sh") + " --from " + AgentHost(unit) +
         " --to 127.0.0.1:" + std::to_string(trapPort_) + " --community " +
         kCommunity;
}

int WebRig::SendTrap(int unit, const std::vector<std::string>& kind) {
  std::vector<std::string> command =
      SendTrapCommand(unit, trapPort_, kCommunity, kind);
  Process p(command[0], {command.begin() + 1, command.end()}, env_);
  return p.Wait();
}
