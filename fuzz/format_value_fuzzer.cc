// formatValue on arbitrary values: any syntax code, any number, octet strings
// and OIDs of any length and content, and any output capacity. The output
// buffer is exactly as large as the capacity claims, so a write past it is
// caught, and the text must be exactly the one an independent reading of the
// value rules gives.

#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "snmp/snmp_api.h"
#include "snmp/snmp_values.h"

namespace {

constexpr uint32_t kSyntaxes[] = {
    SNMP_SYNTAX_INT,
    SNMP_SYNTAX_BITS,
    SNMP_SYNTAX_OCTETS,
    SNMP_SYNTAX_NULL,
    SNMP_SYNTAX_OID,
    SNMP_SYNTAX_IPADDR,
    SNMP_SYNTAX_CNTR32,
    SNMP_SYNTAX_GAUGE32,
    SNMP_SYNTAX_TIMETICKS,
    SNMP_SYNTAX_OPAQUE,
    SNMP_SYNTAX_NSAPADDR,
    SNMP_SYNTAX_CNTR64,
    SNMP_SYNTAX_UINT32,
    SNMP_SYNTAX_NOSUCHOBJECT,
    SNMP_SYNTAX_NOSUCHINSTANCE,
    SNMP_SYNTAX_ENDOFMIBVIEW,
};

// What a printf into |size| bytes leaves: at most size - 1 characters.
std::string Cut(const std::string& text, uint32_t size) {
  return text.size() < size ? text : text.substr(0, size - 1);
}

bool IsTextByte(uint8_t b) {
  return (b >= 0x20 && b <= 0x7E) || b == '\n' || b == '\r' || b == 0;
}

std::string ExpectedOctets(const uint8_t* p, uint32_t len, uint32_t size) {
  if (p == nullptr) return "";
  std::string text;
  for (uint32_t i = 0; i < len && text.size() < size - 1; ++i) {
    if (!IsTextByte(p[i])) {
      // Binary: whole three-character pairs that fit, without the last "-".
      std::string hex;
      const uint32_t fit = (size - 1) / 3;
      for (uint32_t k = 0; k < len && k < fit; ++k) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X-", p[k]);
        hex += pair;
      }
      if (!hex.empty()) hex.pop_back();
      return hex;
    }
    if (p[i] == 0) break;
    text += static_cast<char>(p[i]);
  }
  return text;
}

std::string ExpectedAddress(const uint8_t* p, uint32_t len, uint32_t size) {
  if (p == nullptr) return "";
  std::string text;
  for (uint32_t i = 0; i < len && text.size() < size - 1; ++i)
    text = Cut(text + std::to_string(p[i]) + ".", size);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string ExpectedOid(const uint32_t* p, uint32_t len, uint32_t size) {
  if (p == nullptr || len == 0) return "";
  std::string text;
  for (uint32_t i = 0; i < len; ++i) {
    if (i > 0) text += ".";
    text += std::to_string(p[i]);
  }
  // A cut OID could name another object: it is all or nothing.
  return text.size() < size ? text : "";
}

std::string Expected(const smiVALUE& v, uint32_t size) {
  switch (v.syntax) {
    case SNMP_SYNTAX_INT:
      return Cut(std::to_string(v.value.sNumber), size);
    case SNMP_SYNTAX_CNTR32:
    case SNMP_SYNTAX_GAUGE32:
      return Cut(std::to_string(v.value.uNumber), size);
    case SNMP_SYNTAX_TIMETICKS: {
      const uint64_t t = v.value.uNumber;
      const uint64_t seconds = t / 100;
      std::string text = std::to_string(t / 8640000) + "," +
                         std::to_string(seconds % 86400 / 3600) + ":" +
                         std::to_string(seconds % 3600 / 60) + ":" +
                         std::to_string(seconds % 60) + "." +
                         std::to_string(t % 100);
      return Cut(text, size);
    }
    case SNMP_SYNTAX_CNTR64:
      return Cut(
          std::to_string((static_cast<uint64_t>(v.value.hNumber.hipart) << 32) |
                         v.value.hNumber.lopart),
          size);
    case SNMP_SYNTAX_OID:
      return ExpectedOid(v.value.oid.ptr, v.value.oid.len, size);
    case SNMP_SYNTAX_BITS:
    case SNMP_SYNTAX_OCTETS:
    case SNMP_SYNTAX_OPAQUE:
      return ExpectedOctets(v.value.string.ptr, v.value.string.len, size);
    case SNMP_SYNTAX_IPADDR:
    case SNMP_SYNTAX_NSAPADDR:
      return ExpectedAddress(v.value.string.ptr, v.value.string.len, size);
    default:
      return "";
  }
}

[[noreturn]] void Fail(const char* what, const smiVALUE& v, uint32_t size,
                       const std::string& got, const std::string& want) {
  std::fprintf(stderr,
               "formatValue: %s (syntax 0x%x, size %u)\n  got  '%s'\n  want "
               "'%s'\n",
               what, v.syntax, size, got.c_str(), want.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  smiVALUE value;
  // Mostly the syntaxes the layer knows, sometimes any code at all.
  value.syntax = in.ConsumeBool() ? in.PickValueInArray(kSyntaxes)
                                  : in.ConsumeIntegral<uint32_t>();
  const uint32_t capacity = in.ConsumeIntegralInRange<uint32_t>(0, 1100);
  const bool noData = in.ConsumeProbability<float>() < 0.05f;
  const uint64_t number = in.ConsumeIntegral<uint64_t>();
  std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

  // Each descriptor owns exactly the memory its length claims.
  std::unique_ptr<uint8_t[]> octets;
  std::unique_ptr<uint32_t[]> ids;
  switch (value.syntax) {
    case SNMP_SYNTAX_INT:
      value.value.sNumber = static_cast<int32_t>(number);
      break;
    case SNMP_SYNTAX_CNTR64:
      value.value.hNumber.hipart = static_cast<uint32_t>(number >> 32);
      value.value.hNumber.lopart = static_cast<uint32_t>(number);
      break;
    case SNMP_SYNTAX_OID: {
      const uint32_t len = static_cast<uint32_t>(bytes.size() / 4);
      ids.reset(new uint32_t[len]);
      if (len > 0) std::memcpy(ids.get(), bytes.data(), len * 4);
      value.value.oid.len = len;
      value.value.oid.ptr = noData ? nullptr : ids.get();
      break;
    }
    case SNMP_SYNTAX_BITS:
    case SNMP_SYNTAX_OCTETS:
    case SNMP_SYNTAX_OPAQUE:
    case SNMP_SYNTAX_IPADDR:
    case SNMP_SYNTAX_NSAPADDR: {
      const uint32_t len = static_cast<uint32_t>(bytes.size());
      octets.reset(new uint8_t[len]);
      if (len > 0) std::memcpy(octets.get(), bytes.data(), len);
      value.value.string.len = len;
      value.value.string.ptr = noData ? nullptr : octets.get();
      break;
    }
    default:
      value.value.uNumber = static_cast<uint32_t>(number);
      break;
  }

  std::unique_ptr<char[]> out(new char[capacity > 0 ? capacity : 1]);
  std::memset(out.get(), 'x', capacity > 0 ? capacity : 1);
  const int n = formatValue(&value, capacity, out.get());

  if (capacity == 0) {
    if (n != 0 || out[0] != 'x')
      Fail("size 0 must write nothing", value, capacity, "", "");
    return 0;
  }
  const void* end = std::memchr(out.get(), '\0', capacity);
  if (end == nullptr)
    Fail("no terminator within the capacity", value, capacity, "", "");
  const std::string text(out.get());
  const std::string want = Expected(value, capacity);
  if (n != static_cast<int>(text.size()))
    Fail("result is not the text length", value, capacity, text, want);
  if (text != want) Fail("wrong text", value, capacity, text, want);
  return 0;
}
