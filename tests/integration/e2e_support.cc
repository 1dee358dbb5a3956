#include "e2e_support.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/snmpd_agent.h"

std::string BinPath(const std::string& program) {
  return std::string(QOR_BIN_DIR) + "/" + program;
}

std::string SimPath(const std::string& file) {
  return std::string(QOR_SOURCE_DIR) + "/sim/" + file;
}

bool PrivilegedPorts() { return geteuid() == 0; }

int AgentPort(int unit) { return PrivilegedPorts() ? 161 : 16100 + unit; }

std::string AgentHost(int unit) { return "127.0.1." + std::to_string(unit); }

std::string UnitAddress(int unit) {
  if (PrivilegedPorts()) return AgentHost(unit);
  return AgentHost(unit) + ":" + std::to_string(AgentPort(unit));
}

int FreeUdpPort() { return qor_test::FreeUdpPort(); }

MduAgent::MduAgent(int unit, const std::string& dir,
                   const std::string& community)
    : unit_(unit), dir_(dir), community_(community) {}

void MduAgent::Start() {
  process_ = std::make_unique<Process>(
      "/bin/bash",
      std::vector<std::string>{
          SimPath("mdu_agent.sh"), "--address", AgentHost(unit_), "--port",
          std::to_string(AgentPort(unit_)), "--community", community_, "--unit",
          std::to_string(unit_), "--dir", dir_});
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
  std::map<std::string, std::string> values;
  std::ifstream in(SimPath("mdu.data"));
  std::string line;
  const std::string temp = std::to_string(40 + (unit - 1) % 10);
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string oid, access, type;
    fields >> oid >> access >> type;
    std::string value;
    std::getline(fields, value);
    value.erase(0, value.find_first_not_of(' '));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    for (size_t p; (p = value.find("@UNIT@")) != std::string::npos;)
      value.replace(p, 6, std::to_string(unit));
    for (size_t p; (p = value.find("@TEMP@")) != std::string::npos;)
      value.replace(p, 6, temp);
    values[oid] = value;
  }
  return values;
}

std::string SlotText(std::string v) {
  for (char& c : v) {
    if (c == '\'') c = '"';
    if (c == ':') c = ';';
  }
  return v;
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
  block[97] = SlotText(d[e + "3.5.0"]);
  block[98] = SlotText(d[e + "2.4.0"]);
  block[99] = "0";
  for (auto it = block.begin(); it != block.end();)
    it = it->second.empty() ? block.erase(it) : std::next(it);
  return block;
}
