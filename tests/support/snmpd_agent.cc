#include "support/snmpd_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qor_test {
namespace {

// snmpd reads a quoted word with backslash escapes.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Dotted(const std::string& oid) {
  return oid.empty() || oid[0] == '.' ? oid : "." + oid;
}

// The net-snmp tools read no MIBs and no user configuration in tests.
std::map<std::string, std::string> ToolEnv() {
  return {{"MIBS", ""}, {"SNMPCONFPATH", "/nonexistent"}};
}

}  // namespace

SnmpdAgent::SnmpdAgent(std::string address, std::string community,
                       std::vector<SnmpdObject> objects, uint16_t port)
    : address_(std::move(address)),
      community_(std::move(community)),
      objects_(std::move(objects)),
      port_(port) {
  std::string pattern = "/tmp/qor-snmpd-XXXXXX";
  if (mkdtemp(pattern.data())) dir_ = pattern;
}

SnmpdAgent::~SnmpdAgent() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string SnmpdAgent::endpoint() const {
  return address_ + ":" + std::to_string(port_);
}

void SnmpdAgent::WriteConfig() {
  std::ofstream conf(dir_ + "/snmpd.conf", std::ios::trunc);
  // A read-write community alone: a read-only line for the same name would
  // take precedence and refuse every Set.
  conf << "rwcommunity " << community_ << " default\n";
  for (const std::string& line : extraConfig_) conf << line << "\n";
  for (const SnmpdObject& o : objects_) {
    conf << "override " << (o.writable ? "-rw " : "") << Dotted(o.oid) << " "
         << o.type << " " << (o.type == "octet_str" ? Quoted(o.value) : o.value)
         << "\n";
  }
}

bool SnmpdAgent::Start(int timeoutMs) {
  Stop();
  if (dir_.empty()) return false;
  WriteConfig();
  std::vector<std::string> argv = {"/usr/sbin/snmpd",
                                   "-f",
                                   "-C",
                                   "-c",
                                   dir_ + "/snmpd.conf",
                                   "-Lf",
                                   dir_ + "/snmpd.log",
                                   "udp:" + endpoint()};
  // snmpd saves its state as PERSISTENT_DIR/snmpd.conf: it must not be the
  // configuration's directory.
  std::string persist = dir_ + "/persist";
  mkdir(persist.c_str(), 0700);
  std::map<std::string, std::string> env = {{"SNMP_PERSISTENT_DIR", persist},
                                            {"MIBS", ""},
                                            {"SNMPCONFPATH", persist}};
  if (!process_.Start(argv, env, dir_ + "/snmpd.out")) return false;
  int64_t deadline = MonotonicMs() + timeoutMs;
  while (MonotonicMs() < deadline) {
    if (!process_.Running()) return false;  // it gave up (address in use?)
    ToolResult r = RunTool({"/usr/bin/snmpget", "-v1", "-c", community_, "-r0",
                            "-t0.3", "udp:" + endpoint(), "1.3.6.1.2.1.1.3.0"},
                           5000, ToolEnv());
    if (r.exitCode == 0) return true;
    usleep(50000);
  }
  return false;
}

void SnmpdAgent::Stop() { process_.Stop(); }

bool SnmpdAgent::running() { return process_.Running(); }

std::string SnmpdAgent::Get(const std::string& oid, bool* ok) {
  ToolResult r = RunTool({"/usr/bin/snmpget", "-v1", "-c", community_, "-r1",
                          "-t1", "-Oqvt", "udp:" + endpoint(), oid},
                         10000, ToolEnv());
  bool good = r.exitCode == 0;
  if (ok) *ok = good;
  if (!good) return "";
  std::string value = r.output;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
    value.pop_back();
  // Strings come quoted.
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return value;
}

std::string SnmpdAgent::log() const {
  std::ifstream in(dir_ + "/snmpd.log");
  std::stringstream text;
  text << in.rdbuf();
  std::ifstream out(dir_ + "/snmpd.out");
  text << out.rdbuf();
  return text.str();
}

uint16_t FreeUdpPort() {
  uint16_t port = 0;
  int fd = BindUdpSocket("127.0.0.1", 0, &port);
  if (fd < 0) return 0;
  close(fd);
  return port;
}

uint16_t FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

int BindUdpSocket(const char* address, uint16_t port, uint16_t* boundPort) {
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address, &addr.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  if (boundPort) *boundPort = ntohs(addr.sin_port);
  return fd;
}

bool SendTrap(const TrapMessage& trap, std::string* output) {
  std::vector<std::string> argv = {"/usr/bin/snmptrap"};
  if (trap.inform) argv.insert(argv.end(), {"-Ci", "-r0", "-t2"});
  if (trap.version == 3) {
    argv.insert(argv.end(), {"-v3", "-u", trap.user, "-l", trap.level});
    if (trap.level != "noAuthNoPriv")
      argv.insert(argv.end(), {"-a", trap.authProtocol, "-A", trap.authPass});
    if (trap.level == "authPriv")
      argv.insert(argv.end(), {"-x", trap.privProtocol, "-X", trap.privPass});
    if (!trap.engineId.empty())
      argv.insert(argv.end(), {"-e", trap.engineId});
  } else {
    argv.insert(argv.end(),
                {trap.version == 1 ? "-v1" : "-v2c", "-c", trap.community});
  }
  argv.push_back("--clientaddr=" + trap.clientAddress);
  argv.push_back("udp:" + trap.receiver + ":" + std::to_string(trap.port));
  if (trap.version == 1) {
    argv.push_back(trap.enterprise);
    argv.push_back(trap.agentAddress.empty() ? trap.clientAddress
                                             : trap.agentAddress);
    argv.push_back(std::to_string(trap.generic));
    argv.push_back(std::to_string(trap.specific));
    argv.push_back(std::to_string(trap.uptime));
  } else {
    argv.push_back(std::to_string(trap.uptime));
    argv.push_back(trap.trapOid);
  }
  for (const TrapBinding& b : trap.bindings) {
    argv.push_back(b.oid);
    argv.push_back(b.type);
    argv.push_back(b.value);
  }
  ToolResult r = RunTool(argv, 10000, ToolEnv());
  if (output) *output = r.output;
  return r.exitCode == 0;
}

}  // namespace qor_test
