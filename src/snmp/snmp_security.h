#ifndef QOR_SNMP_SNMP_SECURITY_H_
#define QOR_SNMP_SNMP_SECURITY_H_

#include <cstdint>
#include <string>
#include <vector>

// How one unit is spoken to: SNMP version 1 (the default, with the
// community of the session's context), 2c, or 3 with a user-based security
// model user. The pass phrases are held only here, read from their files at
// start, and are never written, logged or shown anywhere.
struct SnmpSecurity {
  enum class Version { kV1, kV2c, kV3 };
  enum class Level { kNoAuthNoPriv, kAuthNoPriv, kAuthPriv };

  Version version = Version::kV1;
  std::string user;
  Level level = Level::kAuthPriv;
  std::string authProtocol = "SHA";
  std::string authPass;
  std::string privProtocol = "AES";
  std::string privPass;
  std::string context;
  // Bindings asked for by each request of the walk; 0 walks with GetNext.
  uint32_t maxRepetitions = 25;
  // The unit's authoritative engine ID for its v3 traps, when it is not
  // learned while polling; empty otherwise.
  std::vector<uint8_t> trapEngineId;

  bool bulk() const { return version != Version::kV1 && maxRepetitions > 0; }
};

// The settings of a unit's section, with the default each one is written
// back with.
struct SnmpSecuritySetting {
  const char* key;
  const char* defaultValue;
};
inline constexpr SnmpSecuritySetting kSnmpSecuritySettings[] = {
    {"SNMPVersion", "1"},
    {"SNMPUser", ""},
    {"SNMPSecurityLevel", "authPriv"},
    {"SNMPAuthProtocol", "SHA"},
    {"SNMPAuthPassFile", ""},
    {"SNMPPrivProtocol", "AES"},
    {"SNMPPrivPassFile", ""},
    {"SNMPContext", ""},
    {"SNMPMaxRepetitions", "25"},
    {"SNMPTrapEngineID", ""},
};

// Takes one setting into |security|; false with |*why| (which never holds a
// pass phrase) when the value is refused. The pass-phrase files are read
// here, with the secret-file rules.
bool ApplySnmpSecuritySetting(const std::string& key, const std::string& value,
                              SnmpSecurity* security, std::string* why);
// What must hold once every setting is in: a version 3 unit has a user and
// the pass phrases its security level needs. Empty when it holds; else the
// key at fault and why.
bool CheckSnmpSecurity(const SnmpSecurity& security, std::string* key,
                       std::string* why);

// "1", "2c" or "3"; "noAuthNoPriv", "authNoPriv" or "authPriv".
const char* SnmpVersionName(SnmpSecurity::Version version);
const char* SnmpLevelName(SnmpSecurity::Level level);
// The unit's security in a few words for the status window and the web
// page: "v1", "v2c", "v3 authPriv".
std::string SnmpSecuritySummary(const SnmpSecurity& security);

#endif  // QOR_SNMP_SNMP_SECURITY_H_
