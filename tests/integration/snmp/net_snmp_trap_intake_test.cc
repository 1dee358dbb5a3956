// Traps from the host's trap intake: what reaches the sessions is decided
// by the forwarded source, and the trap port goes to the intake while one
// runs and comes back when none does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "logging/log_file.h"
#include "platform/debug_output.h"
#include "snmp/csnmp_zarn.h"
#include "snmp/net_snmp_api.h"
#include "snmp/trap_forward.h"
#include "support/snmpd_agent.h"

namespace fs = std::filesystem;

namespace {

// A unit's session that only counts its traps and keeps the last one's
// trap OID.
class TrapCounter : public CsnmpZarn {
 public:
  int traps = 0;
  std::string lastTrapOid;

 protected:
  HSNMP_VBL SNMPTrap(HSNMP_PDU pdu) override {
    int32_t type, id, status, index;
    HSNMP_VBL vbl = nullptr;
    TheSnmpApi().GetPduData(pdu, &type, &id, &status, &index, &vbl);
    char value[256] = "";
    if (TheSnmpApi().CountVbl(vbl) >= 2) GetValue(vbl, 2, sizeof value, value);
    lastTrapOid = value;
    ++traps;
    return vbl;
  }
};

class TrapIntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "/trap_intake_" + std::to_string(getpid());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    trapPort_ = qor_test::FreeUdpPort();
    setenv("ZARN_SNMP_TRAP_PORT", std::to_string(trapPort_).c_str(), 1);
    SetDebugOutputSink([](const char*) {});
    // The intake's coming and going is logged: into this test's folder,
    // never into the machine's.
    LogFile::resetDirectoryCreatedForTest();
    TheLogFile().initWithDirectory(3, "Qor_Mdu", true, true, dir_);
    api_.setTrapIntake(TrapIntakeSocketPath(dir_, 3), TrapIntakeLockPath(dir_));
  }
  void TearDown() override {
    if (lock_ >= 0) close(lock_);
    SetDebugOutputSink(nullptr);
    unsetenv("ZARN_SNMP_TRAP_PORT");
    fs::remove_all(dir_);
  }
  bool RunUntil(const std::function<bool()>& done) {
    const int64_t end = loop_.clock().NowMs() + 20000;
    while (!done()) {
      if (loop_.clock().NowMs() > end) return false;
      loop_.RunOnce(50);
    }
    return true;
  }
  void HoldIntakeLock() {
    lock_ = open(TrapIntakeLockPath(dir_).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(flock(lock_, LOCK_EX | LOCK_NB), 0);
  }
  void ReleaseIntakeLock() {
    close(lock_);
    lock_ = -1;
  }
  // The bytes of a trap as snmptrap sends it, caught on a port of ours.
  std::vector<uint8_t> TrapBytes(int version, const std::string& trapOid) {
    uint16_t port = 0;
    int fd = qor_test::BindUdpSocket("127.0.0.1", 0, &port);
    EXPECT_GE(fd, 0);
    qor_test::TrapMessage t;
    t.version = version;
    t.port = port;
    t.trapOid = trapOid;
    t.generic = 6;
    t.specific = 5;
    std::string out;
    EXPECT_TRUE(qor_test::SendTrap(t, &out)) << out;
    std::vector<uint8_t> bytes(65536);
    ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
  void Forward(const std::string& from, const std::vector<uint8_t>& trap) {
    struct sockaddr_in source = {};
    source.sin_family = AF_INET;
    source.sin_port = htons(40000);
    inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    const std::vector<uint8_t> d =
        ForwardedTrap(source, 162, trap.data(), trap.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    const std::string path = TrapIntakeSocketPath(dir_, 3);
    std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(sendto(fd, d.data(), d.size(), 0,
                     reinterpret_cast<struct sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(d.size()));
    close(fd);
  }

  std::string dir_;
  uint16_t trapPort_ = 0;
  int lock_ = -1;
  EventLoop loop_;
  NetSnmpApi api_{loop_};
  ScopedSnmpApi use_{&api_};
};

TEST_F(TrapIntakeTest, ForwardedTrapsGoByTheirOriginalSource) {
  HoldIntakeLock();
  TrapCounter unit, other;
  ASSERT_EQ(unit.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 0);
  ASSERT_EQ(other.init_snmp("127.0.1.105", "public", 161, "127.0.0.1", 0), 0);
  // The intake owns the port: this process leaves it alone.
  EXPECT_EQ(api_.trapPort(), 0);
  ASSERT_TRUE(api_.trapIntakeOpen());

  Forward("127.0.1.104", TrapBytes(1, ""));
  ASSERT_TRUE(RunUntil([&] { return unit.traps == 1; }));
  EXPECT_EQ(unit.lastTrapOid, "1.3.6.1.4.1.6853.0.5");  // the v2 form
  Forward("127.0.1.104", TrapBytes(2, "1.3.6.1.4.1.6853.0.7"));
  ASSERT_TRUE(RunUntil([&] { return unit.traps == 2; }));
  EXPECT_EQ(unit.lastTrapOid, "1.3.6.1.4.1.6853.0.7");
  // From a source nobody registered, and a datagram that is no forwarded
  // trap: nothing. The trap after them shows they were read.
  Forward("127.0.1.106", TrapBytes(2, "1.3.6.1.4.1.6853.0.8"));
  Forward("127.0.1.105", {});
  Forward("127.0.1.105", TrapBytes(2, "1.3.6.1.4.1.6853.0.9"));
  ASSERT_TRUE(RunUntil([&] { return other.traps == 1; }));
  EXPECT_EQ(other.lastTrapOid, "1.3.6.1.4.1.6853.0.9");
  EXPECT_EQ(unit.traps, 2);

  unit.closeSnmp();
  other.closeSnmp();
  // The socket goes with the last registration.
  EXPECT_FALSE(api_.trapIntakeOpen());
  EXPECT_FALSE(fs::exists(TrapIntakeSocketPath(dir_, 3)));
}

TEST_F(TrapIntakeTest, ThePortGoesToAnIntakeAndComesBackWithoutOne) {
  TrapCounter unit;
  ASSERT_EQ(unit.init_snmp("127.0.1.104", "public", 161, "127.0.0.1", 0), 0);
  EXPECT_EQ(api_.trapPort(), trapPort_);  // no intake: as a lone driver
  HoldIntakeLock();
  ASSERT_TRUE(RunUntil([&] { return api_.trapPort() == 0; }));
  ReleaseIntakeLock();
  ASSERT_TRUE(RunUntil([&] { return api_.trapPort() == trapPort_; }));
  unit.closeSnmp();
  std::string logged;
  for (const auto& f : fs::directory_iterator(dir_))
    if (f.path().extension() == ".log")
      logged += qor_test::ReadFileText(f.path().string());
  EXPECT_NE(logged.find("No trap intake runs"), std::string::npos) << logged;
}

}  // namespace
