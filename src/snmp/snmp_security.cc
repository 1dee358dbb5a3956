#include "snmp/snmp_security.h"

#include <cctype>
#include <charconv>

#include "platform/secret_file.h"

namespace {

constexpr const char* kAuthProtocols[] = {"SHA",     "SHA-224", "SHA-256",
                                          "SHA-384", "SHA-512", "MD5"};
constexpr const char* kPrivProtocols[] = {"AES", "AES-192", "AES-256", "DES"};
// The USM's own limit for an engine ID (RFC 3411: 5 to 32 octets).
constexpr size_t kMinEngineIdBytes = 5;
constexpr size_t kMaxEngineIdBytes = 32;
// A pass phrase is text of one line; the USM needs at least eight
// characters and no unit takes more than a few dozen.
constexpr size_t kMinPassPhrase = 8;
constexpr size_t kMaxPassPhrase = 256;

template <size_t N>
bool OneOf(const std::string& value, const char* const (&names)[N]) {
  for (const char* name : names)
    if (value == name) return true;
  return false;
}

bool ParseEngineId(std::string text, std::vector<uint8_t>* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text = text.substr(2);
  if (text.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    auto [end, ec] =
        std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    bytes.push_back(byte);
  }
  if (bytes.size() < kMinEngineIdBytes || bytes.size() > kMaxEngineIdBytes)
    return false;
  *out = std::move(bytes);
  return true;
}

// The pass phrase of a file: its one line, without the line end.
bool ReadPassPhrase(const std::string& path, std::string* out,
                    std::string* why) {
  SecretFile file = ReadSecretFile(path, kMaxPassPhrase + 2);
  if (!file.ok) {
    *why = file.error;
    return false;
  }
  std::string text = std::move(file.text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0') {
      *why = path + " must hold one line";
      return false;
    }
  }
  if (text.size() < kMinPassPhrase || text.size() > kMaxPassPhrase) {
    *why = path + " must hold a pass phrase of 8 to 256 characters";
    return false;
  }
  *out = std::move(text);
  return true;
}

}  // namespace

bool ApplySnmpSecuritySetting(const std::string& key, const std::string& value,
                              SnmpSecurity* s, std::string* why) {
  if (key == "SNMPVersion") {
    if (value == "1") {
      s->version = SnmpSecurity::Version::kV1;
    } else if (value == "2c") {
      s->version = SnmpSecurity::Version::kV2c;
    } else if (value == "3") {
      s->version = SnmpSecurity::Version::kV3;
    } else {
      *why = "must be 1, 2c or 3";
      return false;
    }
  } else if (key == "SNMPUser") {
    if (value.size() > 32) {
      *why = "must be at most 32 characters";
      return false;
    }
    s->user = value;
  } else if (key == "SNMPSecurityLevel") {
    if (value == "noAuthNoPriv") {
      s->level = SnmpSecurity::Level::kNoAuthNoPriv;
    } else if (value == "authNoPriv") {
      s->level = SnmpSecurity::Level::kAuthNoPriv;
    } else if (value == "authPriv") {
      s->level = SnmpSecurity::Level::kAuthPriv;
    } else {
      *why = "must be noAuthNoPriv, authNoPriv or authPriv";
      return false;
    }
  } else if (key == "SNMPAuthProtocol") {
    if (!OneOf(value, kAuthProtocols)) {
      *why = "must be SHA, SHA-224, SHA-256, SHA-384, SHA-512 or MD5";
      return false;
    }
    s->authProtocol = value;
  } else if (key == "SNMPPrivProtocol") {
    if (!OneOf(value, kPrivProtocols)) {
      *why = "must be AES, AES-192, AES-256 or DES";
      return false;
    }
    s->privProtocol = value;
  } else if (key == "SNMPAuthPassFile" || key == "SNMPPrivPassFile") {
    std::string& pass =
        key == "SNMPAuthPassFile" ? s->authPass : s->privPass;
    pass.clear();
    if (value.empty()) return true;
    return ReadPassPhrase(value, &pass, why);
  } else if (key == "SNMPContext") {
    if (value.size() > 32) {
      *why = "must be at most 32 characters";
      return false;
    }
    s->context = value;
  } else if (key == "SNMPMaxRepetitions") {
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() ||
        n > 100) {
      *why = "must be a number from 0 to 100";
      return false;
    }
    s->maxRepetitions = n;
  } else if (key == "SNMPTrapEngineID") {
    s->trapEngineId.clear();
    if (value.empty()) return true;
    if (!ParseEngineId(value, &s->trapEngineId)) {
      *why = "must be 5 to 32 bytes in hexadecimal";
      return false;
    }
  } else {
    *why = "is not a setting";
    return false;
  }
  return true;
}

bool CheckSnmpSecurity(const SnmpSecurity& s, std::string* key,
                       std::string* why) {
  if (s.version != SnmpSecurity::Version::kV3) return true;
  if (s.user.empty()) {
    *key = "SNMPUser";
    *why = "is needed for SNMPVersion 3";
    return false;
  }
  if (s.level != SnmpSecurity::Level::kNoAuthNoPriv && s.authPass.empty()) {
    *key = "SNMPAuthPassFile";
    *why = std::string("is needed for SNMPSecurityLevel ") + SnmpLevelName(s.level);
    return false;
  }
  if (s.level == SnmpSecurity::Level::kAuthPriv && s.privPass.empty()) {
    *key = "SNMPPrivPassFile";
    *why = "is needed for SNMPSecurityLevel authPriv";
    return false;
  }
  return true;
}

const char* SnmpVersionName(SnmpSecurity::Version version) {
  switch (version) {
    case SnmpSecurity::Version::kV2c:
      return "2c";
    case SnmpSecurity::Version::kV3:
      return "3";
    default:
      return "1";
  }
}

const char* SnmpLevelName(SnmpSecurity::Level level) {
  switch (level) {
    case SnmpSecurity::Level::kNoAuthNoPriv:
      return "noAuthNoPriv";
    case SnmpSecurity::Level::kAuthNoPriv:
      return "authNoPriv";
    default:
      return "authPriv";
  }
}

std::string SnmpSecuritySummary(const SnmpSecurity& s) {
  std::string text = std::string("v") + SnmpVersionName(s.version);
  if (s.version == SnmpSecurity::Version::kV3)
    text += std::string(" ") + SnmpLevelName(s.level);
  return text;
}
