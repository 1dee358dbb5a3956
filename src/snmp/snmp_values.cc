#include "snmp/snmp_values.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

bool IsTextByte(uint8_t b) {
  return (b >= 0x20 && b <= 0x7E) || b == 0x0A || b == 0x0D || b == 0;
}

// Octet strings are shown as text when every byte looked at is a text byte,
// else the whole value as hex pairs "01-FF".
int FormatOctets(const smiOCTETS& s, uint32_t size, char* out) {
  if (!s.ptr) return 0;
  uint32_t len = 0;
  bool binary = false;
  for (uint32_t i = 0; i < s.len && len < size - 1; ++i) {
    uint8_t b = s.ptr[i];
    if (!IsTextByte(b)) {
      binary = true;
      break;
    }
    if (b == 0) break;
    out[len++] = static_cast<char>(b);
  }
  out[len] = '\0';
  if (!binary) return static_cast<int>(len);

  uint32_t fit = (size - 1) / 3;
  uint32_t count = s.len < fit ? s.len : fit;
  len = 0;
  for (uint32_t i = 0; i < count; ++i) {
    std::snprintf(out + len, size - len, "%02X-", s.ptr[i]);
    len += 3;
  }
  if (len > 0) --len;  // the final "-"
  out[len] = '\0';
  return static_cast<int>(len);
}

int FormatAddress(const smiOCTETS& s, uint32_t size, char* out) {
  if (!s.ptr) return 0;
  size_t len = 0;
  for (uint32_t i = 0; i < s.len && len < size - 1; ++i) {
    std::snprintf(out + len, size - len, "%u.", s.ptr[i]);
    len = std::strlen(out);
  }
  if (len > 0 && out[len - 1] == '.') out[--len] = '\0';
  return static_cast<int>(len);
}

}  // namespace

int formatOid(const smiOID* oid, uint32_t size, char* out) {
  if (size == 0 || !out) return 0;
  out[0] = '\0';
  if (!oid || oid->len == 0 || !oid->ptr) return 0;
  // Every reply of a walk passes through here at least twice, so the arcs
  // are converted without printf's format parsing.
  size_t len = 0;
  for (uint32_t i = 0; i < oid->len; ++i) {
    char piece[16];
    char* end = piece;
    if (i != 0) *end++ = '.';
    end = std::to_chars(end, piece + sizeof piece, oid->ptr[i]).ptr;
    const size_t n = static_cast<size_t>(end - piece);
    if (len + n > size - 1) {
      out[0] = '\0';
      return 0;
    }
    std::memcpy(out + len, piece, n);
    len += n;
  }
  out[len] = '\0';
  return static_cast<int>(len);
}

int formatValue(const smiVALUE* value, uint32_t size, char* out) {
  if (size == 0 || !out) return 0;
  out[0] = '\0';
  if (!value) return 0;
  switch (value->syntax) {
    case SNMP_SYNTAX_INT:
      std::snprintf(out, size, "%d", value->value.sNumber);
      break;
    case SNMP_SYNTAX_CNTR32:
    case SNMP_SYNTAX_GAUGE32:
      std::snprintf(out, size, "%u", value->value.uNumber);
      break;
    case SNMP_SYNTAX_TIMETICKS: {
      unsigned long ticks = value->value.uNumber;
      std::snprintf(out, size, "%lu,%lu:%lu:%lu.%lu", ticks / 8640000,
                    (ticks / 100 % 86400) / 3600, (ticks / 100 % 3600) / 60,
                    ticks / 100 % 60, ticks % 100);
      break;
    }
    case SNMP_SYNTAX_CNTR64: {
      uint64_t v = (static_cast<uint64_t>(value->value.hNumber.hipart) << 32) +
                   value->value.hNumber.lopart;
      std::snprintf(out, size, "%" PRIu64, v);
      break;
    }
    case SNMP_SYNTAX_OID:
      return formatOid(&value->value.oid, size, out);
    case SNMP_SYNTAX_BITS:
    case SNMP_SYNTAX_OCTETS:
    case SNMP_SYNTAX_OPAQUE:
      return FormatOctets(value->value.string, size, out);
    case SNMP_SYNTAX_IPADDR:
    case SNMP_SYNTAX_NSAPADDR:
      return FormatAddress(value->value.string, size, out);
    default:  // NULL, UINT32, the v2 exceptions and anything unknown
      break;
  }
  return static_cast<int>(std::strlen(out));
}

const char* errorText(uint32_t code) {
  switch (code) {
    case 0:
      return "SNMPAPI_FAILURE:Generic error code";
    case 1:
      return "SNMPAPI_SUCCESS:Generic success code";
    case 2:
      return "SNMPAPI_ALLOC_ERROR:Error allocating memory";
    case 3:
      return "SNMPAPI_CONTEXT_INVALID:Invalid context parameter";
    case 4:
      return "SNMPAPI_CONTEXT_UNKNOWN:Unknown context parameter";
    case 5:
      return "SNMPAPI_ENTITY_INVALID:Invalid entity parameter";
    case 6:
      return "SNMPAPI_ENTITY_UNKNOWN:Unknown entity parameter";
    case 7:
      return "SNMPAPI_INDEX_INVALID:Invalid VBL index parameter";
    case 8:
      return "SNMPAPI_NOOP:No operation performed";
    case 9:
      return "SNMPAPI_OID_INVALID:Invalid OID parameter";
    case 10:
      return "SNMPAPI_OPERATION_INVALID:Invalid/unsupported operation";
    case 11:
      return "SNMPAPI_OUTPUT_TRUNCATED:Insufficient output buf len";
    case 12:
      return "SNMPAPI_PDU_INVALID:Invalid PDU parameter";
    case 13:
      return "SNMPAPI_SESSION_INVALID:Invalid session parameter";
    case 14:
      return "SNMPAPI_SYNTAX_INVALID:Invalid syntax in smiVALUE";
    case 15:
      return "SNMPAPI_VBL_INVALID:Invalid VBL parameter";
    case 16:
      return "SNMPAPI_MODE_INVALID:Invalid mode parameter";
    case 17:
      return "SNMPAPI_SIZE_INVALID:Invalid size/length parameter";
    case 18:
      return "SNMPAPI_NOT_INITIALIZED:SnmpStartup failed/not called";
    case 19:
      return "SNMPAPI_MESSAGE_INVALID:Invalid SNMP message format";
    case 20:
      return "SNMPAPI_HWND_INVALID:Invalid Window handle";
    case 99:
      return "SNMPAPI_OTHER_ERROR:For internal/undefined errors";
    case 100:
      return "SNMPAPI_TL_NOT_INITIALIZED:TL not initialized";
    case 101:
      return "SNMPAPI_TL_NOT_SUPPORTED:TL does not support protocol";
    case 102:
      return "SNMPAPI_TL_NOT_AVAILABLE:Network subsystem has failed";
    case 103:
      return "SNMPAPI_TL_RESOURCE_ERROR:TL resource error";
    case 104:
      return "SNMPAPI_TL_UNDELIVERABLE:Destination unreachable";
    case 105:
      return "SNMPAPI_TL_SRC_INVALID:Source endpoint invalid";
    case 106:
      return "SNMPAPI_TL_INVALID_PARAM:Input parameter invalid";
    case 107:
      return "SNMPAPI_TL_IN_USE:Source endpoint in use";
    case 108:
      return "SNMPAPI_TL_TIMEOUT:No response before timeout";
    case 109:
      return "SNMPAPI_TL_PDU_TOO_BIG:PDU too big for send/receive";
    case 199:
      return "SNMPAPI_TL_OTHER:Undefined TL error";
    // The causes an SNMPv3 unit reports, named for the operator.
    case SNMPAPI_V3_WRONG_DIGEST:
      return "authentication failed: wrong digest";
    case SNMPAPI_V3_UNKNOWN_USER:
      return "authentication failed: unknown user name";
    case SNMPAPI_V3_UNKNOWN_ENGINE_ID:
      return "authentication failed: unknown engine ID";
    case SNMPAPI_V3_DECRYPTION_ERROR:
      return "authentication failed: decryption error";
    case SNMPAPI_V3_UNSUPPORTED_LEVEL:
      return "authentication failed: unsupported security level";
    case SNMPAPI_V3_NOT_IN_TIME_WINDOW:
      return "authentication failed: not in time window";
    default:
      return "Other SNMP Error";
  }
}

const char* errorStatusName(int32_t errorStatus) {
  static const char* const kNames[] = {
      "",
      "SNMP_ERROR_TOOBIG",
      "SNMP_ERROR_NOSUCHNAME",
      "SNMP_ERROR_BADVALUE",
      "SNMP_ERROR_READONLY",
      "SNMP_ERROR_GENERR",
      "SNMP_ERROR_NOACCESS",
      "SNMP_ERROR_WRONGTYPE",
      "SNMP_ERROR_WRONGLENGTH",
      "SNMP_ERROR_WRONGENCODING",
      "SNMP_ERROR_WRONGVALUE",
      "SNMP_ERROR_NOCREATION",
      "SNMP_ERROR_INCONSISTENTVALUE",
      "SNMP_ERROR_RESOURCEUNAVAILABLE",
      "SNMP_ERROR_COMMITFAILED",
      "SNMP_ERROR_UNDOFAILED",
      "SNMP_ERROR_AUTHORIZATIONERROR",
      "SNMP_ERROR_NOTWRITABLE",
      "SNMP_ERROR_INCONSISTENTNAME",
  };
  if (errorStatus < 0 || errorStatus > 18) return "";
  return kNames[errorStatus];
}
