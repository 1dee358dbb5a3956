#include "integration/e2e_support.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "mdu/slot_text.h"
#include "support/sim_data.h"
#include "support/snmpd_agent.h"

std::string BinPath(const std::string& program) {
  return std::string(QOR_BIN_DIR) + "/" + program;
}

std::string SimPath(const std::string& file) {
  return std::string(QOR_SOURCE_DIR) + "/sim/" + file;
}

std::filesystem::path TestRoot(const std::string& prefix) {
  return std::filesystem::path("/tmp") /
         (prefix + "_" + std::to_string(getpid()) + "_" +
          testing::UnitTest::GetInstance()->current_test_info()->name());
}

std::vector<std::string> MakeRootTree(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  fs::remove_all(root);
  fs::create_directories(root / "sys" / "config" / "system");
  fs::create_directories(root / "run");
  fs::permissions(root / "run", fs::perms::owner_all);
  return {"QX_ROOT=" + root.string(), "QX_SYSTEM=sys",
          "ZARN_RUNTIME_DIR=" + (root / "run").string()};
}

std::string LogTextUnder(const std::filesystem::path& root, int device) {
  namespace fs = std::filesystem;
  std::string all;
  if (!fs::exists(root / "sys" / "logs")) return all;
  const std::string suffix = "_Qor_Mdu_" + std::to_string(device) + ".log";
  for (const auto& e : fs::directory_iterator(root / "sys" / "logs"))
    if (device == 0 ||
        e.path().filename().string().find(suffix) != std::string::npos)
      all += ReadFileText(e.path().string());
  return all;
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos;
       p = text.find(what, p + 1))
    ++n;
  return n;
}

std::unique_ptr<Process> StartInfodriver(int device,
                                         const std::vector<std::string>& env) {
  auto p = std::make_unique<Process>(
      BinPath("infodriver"), std::vector<std::string>{std::to_string(device)},
      env);
  EXPECT_TRUE(WaitFor([&] {
    Process ping(BinPath("infoctl"), {"ping", std::to_string(device)}, env);
    const int served = ping.Wait();
    return served == 0 || served == 4;  // with or without a driver
  }));
  return p;
}

OneUnitRig StartOneUnitRig(const std::filesystem::path& root, int device,
                           const std::string& driverSettings) {
  OneUnitRig rig;
  rig.env = MakeRootTree(root);
  rig.env.push_back("ZARN_SNMP_TRAP_PORT=" +
                    std::to_string(qor_test::FreeUdpPort()));
  char ini[16];
  std::snprintf(ini, sizeof ini, "dev_%03d.ini", device);
  std::ofstream(root / "sys" / "config" / "system" / ini)
      << "[qor_mdu]\n"
      << driverSettings << "[QOR_MDU_1]\nSNMPAddress=" << UnitAddress(1)
      << "\nSNMPCommunity=ziriru\n";
  rig.agent =
      std::make_unique<MduAgent>(1, (root / "agent").string(), "ziriru");
  rig.agent->Start();
  if (!rig.agent->WaitUntilAnswering()) {
    ADD_FAILURE() << "the simulated unit does not answer";
    return rig;
  }
  rig.infodriver = StartInfodriver(device, rig.env);
  return rig;
}

bool PrivilegedPorts() { return geteuid() == 0; }

int AgentPort(int unit) { return PrivilegedPorts() ? 161 : 16100 + unit; }

std::string AgentHost(int unit) { return "127.0.1." + std::to_string(unit); }

std::string UnitAddress(int unit) {
  if (PrivilegedPorts()) return AgentHost(unit);
  return AgentHost(unit) + ":" + std::to_string(AgentPort(unit));
}

MduAgent::MduAgent(int unit, const std::string& dir,
                   const std::string& community,
                   std::vector<std::string> options)
    : unit_(unit),
      dir_(dir),
      community_(community),
      options_(std::move(options)) {}

void MduAgent::Start() {
  auto args = std::vector<std::string>{SimPath("mdu_agent.sh"),
                                       "--address",
                                       AgentHost(unit_),
                                       "--port",
                                       std::to_string(AgentPort(unit_)),
                                       "--community",
                                       community_,
                                       "--unit",
                                       std::to_string(unit_),
                                       "--dir",
                                       dir_};
  args.insert(args.end(), options_.begin(), options_.end());
  process_ = std::make_unique<Process>("/bin/bash", args);
}

void MduAgent::Stop() { process_.reset(); }

std::string MduAgent::Get(const std::string& oid) {
  Process get("/usr/bin/snmpget",
              {"-v1", "-c", community_, "-t", "0.3", "-r", "0", "-Oqv",
               AgentHost(unit_) + ":" + std::to_string(AgentPort(unit_)), oid});
  if (get.Wait() != 0) return "";
  std::string out = get.Stdout();
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
    out.pop_back();
  if (out.size() >= 2 && out.front() == '"' && out.back() == '"')
    out = out.substr(1, out.size() - 2);
  return out;
}

bool MduAgent::Answers() { return !Get("1.3.6.1.4.1.6853.2.5.0").empty(); }

bool MduAgent::WaitUntilAnswering() {
  return WaitFor([this] { return Answers(); });
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
  }
  return out;
}

std::map<int, std::string> DumpSlots(int device,
                                     const std::vector<std::string>& env) {
  Process dump(BinPath("infoctl"), {"dump", std::to_string(device)}, env);
  dump.Wait();
  std::map<int, std::string> slots;
  std::istringstream in(dump.Stdout());
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    slots[std::stoi(line.substr(0, tab))] = Unescape(line.substr(tab + 1));
  }
  return slots;
}

namespace {

std::map<std::string, std::string> DataFor(int unit) {
  return qor_test::SimValues(SimPath("mdu.data"), unit);
}

}  // namespace

std::string DataValue(int unit, const std::string& oid) {
  return DataFor(unit)[oid];
}

std::map<int, std::string> ExpectedBlock(int unit) {
  std::map<std::string, std::string> d = DataFor(unit);
  const std::string e = "1.3.6.1.4.1.6853.";
  std::map<int, std::string> block;
  // Every GPI, output and fuse the unit does not report is blanked: empty
  // slots are what infoctl leaves out, so they are simply absent here.
  for (int row = 1; row < 100; ++row) {
    std::string r = "." + std::to_string(row);
    if (!d.count(e + "2.2.1.2" + r)) continue;
    int type = std::stoi(d[e + "2.2.1.2" + r]);
    int index = std::stoi(d[e + "2.2.1.3" + r]);
    if (type == 2 && index >= 1 && index <= 16) {
      block[index] = d[e + "2.2.1.5" + r];
      block[20 + index] = d[e + "2.2.1.6" + r];
    }
    if (type == 3 && index >= 1 && index <= 12)
      block[60 + index] = d[e + "2.2.1.5" + r];
  }
  for (int row = 1; row < 100; ++row) {
    std::string r = "." + std::to_string(row);
    if (!d.count(e + "3.4.1.1" + r)) continue;
    int output = std::stoi(d[e + "3.4.1.1" + r]);
    if (output < 1 || output > 12) continue;
    block[40 + output] = d[e + "3.4.1.2" + r];
    block[80 + output] = std::to_string(std::stoi(d[e + "3.4.1.3" + r]) * 10);
  }
  block[78] = d[e + "3.2.0"];
  block[79] = std::to_string(std::stoi(d[e + "3.3.0"]) * 10);
  const int temperature = std::stoi(d[e + "2.5.0"]);
  const int alarmPoint = std::stoi(d[e + "2.6.0"]);
  block[94] = temperature >= alarmPoint ? "2" : "1";
  block[95] = d[e + "2.5.0"];
  block[96] = d[e + "2.6.0"];
  block[97] = CleanSlotText(d[e + "3.5.0"]);
  block[98] = CleanSlotText(d[e + "2.4.0"]);
  block[99] = "0";
  for (auto it = block.begin(); it != block.end();)
    it = it->second.empty() ? block.erase(it) : std::next(it);
  return block;
}

std::vector<std::string> SendTrapCommand(int unit, int trapPort,
                                         const std::string& community,
                                         const std::vector<std::string>& kind) {
  std::vector<std::string> args = {
      "/bin/bash",   SimPath("send_trap.sh"),
      "--from",      AgentHost(unit),
      "--to",        "127.0.0.1:" + std::to_string(trapPort),
      "--community", community};
  args.insert(args.end(), kind.begin(), kind.end());
  return args;
}
