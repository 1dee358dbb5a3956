#include "snmp/snmp_values.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A value over the caller's bytes; |len| may claim bytes |ptr| does not have.
smiVALUE Octets(uint32_t syntax, uint8_t* ptr, uint32_t len) {
  smiVALUE v;
  v.syntax = syntax;
  v.value.string.len = len;
  v.value.string.ptr = ptr;
  return v;
}
smiVALUE Octets(uint32_t syntax, std::vector<uint8_t>& bytes) {
  return Octets(syntax, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::string Format(const smiVALUE& v, uint32_t size = 256) {
  std::vector<char> out(size + 1, 'x');
  int n = formatValue(&v, size, out.data());
  std::string text(out.data());
  EXPECT_EQ(n, static_cast<int>(text.size())) << "result is the text length";
  EXPECT_LT(text.size(), size) << "text stays within the capacity";
  return text;
}

struct OctetCase {
  const char* name;
  uint32_t syntax;
  std::vector<uint8_t> bytes;
  std::string expected;
};

class OctetText : public ::testing::TestWithParam<OctetCase> {};

TEST_P(OctetText, ShowsTextOrHex) {
  OctetCase c = GetParam();
  smiVALUE v = Octets(c.syntax, c.bytes);
  EXPECT_EQ(Format(v), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, OctetText,
    ::testing::Values(
        OctetCase{"ZeroEndsText", SNMP_SYNTAX_OCTETS, {0x52, 0x00, 0x41}, "R"},
        OctetCase{
            "ControlByteIsBinary", SNMP_SYNTAX_OCTETS, {0x07, 0x41}, "07-41"},
        OctetCase{
            "HighByteIsBinary", SNMP_SYNTAX_OCTETS, {0x41, 0x80}, "41-80"},
        OctetCase{
            "CrLfStayText", SNMP_SYNTAX_OCTETS, {0x41, 0x0D, 0x0A}, "A\r\n"},
        OctetCase{"PlainText",
                  SNMP_SYNTAX_OCTETS,
                  {'R', 'a', 'c', 'k', ' ', '3'},
                  "Rack 3"},
        OctetCase{"HexUpperCase", SNMP_SYNTAX_OCTETS, {0x01, 0xFF}, "01-FF"},
        OctetCase{"BitsAsOctets", SNMP_SYNTAX_BITS, {0xC0}, "C0"},
        OctetCase{"OpaqueAsOctets", SNMP_SYNTAX_OPAQUE, {'o', 'k'}, "ok"},
        OctetCase{"EmptyOctets", SNMP_SYNTAX_OCTETS, {}, ""},
        OctetCase{
            "IpAddress", SNMP_SYNTAX_IPADDR, {192, 168, 0, 1}, "192.168.0.1"},
        OctetCase{
            "IpAddressBytes", SNMP_SYNTAX_IPADDR, {10, 1, 2, 3}, "10.1.2.3"},
        OctetCase{"NsapAddress", SNMP_SYNTAX_NSAPADDR, {1, 2}, "1.2"},
        OctetCase{"NoAddressBytes", SNMP_SYNTAX_IPADDR, {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatValue, NoDataPointerGivesEmptyText) {
  EXPECT_EQ(Format(Octets(SNMP_SYNTAX_OCTETS, nullptr, 5)), "");
}

TEST(FormatValue, ThreeHundredBinaryOctetsGiveEightyFiveInHex) {
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(0x80 + i % 16);
  smiVALUE v = Octets(SNMP_SYNTAX_OCTETS, bytes);
  std::string text = Format(v, 256);
  EXPECT_EQ(text.size(), 254u);
  EXPECT_EQ(text.substr(0, 9), "80-81-82-");
  // Byte 84 (the 85th) is 0x84: the last whole triple, without its "-".
  EXPECT_EQ(text.substr(text.size() - 2), "84");
}

TEST(FormatValue, LongTextIsCutAtCapacity) {
  std::vector<uint8_t> bytes(400, 'a');
  smiVALUE v = Octets(SNMP_SYNTAX_OCTETS, bytes);
  EXPECT_EQ(Format(v, 256), std::string(255, 'a'));
  // Only the bytes that fit are looked at: a binary byte beyond them does
  // not turn the text into hex.
  bytes[300] = 0x01;
  v = Octets(SNMP_SYNTAX_OCTETS, bytes);
  EXPECT_EQ(Format(v, 256), std::string(255, 'a'));
  bytes[254] = 0x01;
  v = Octets(SNMP_SYNTAX_OCTETS, bytes);
  EXPECT_EQ(Format(v, 256).substr(0, 6), "61-61-");
}

TEST(FormatValue, SmallCapacitiesNeverOverrun) {
  std::vector<uint8_t> bytes = {0x01, 0x02, 0x03};
  smiVALUE v = Octets(SNMP_SYNTAX_OCTETS, bytes);
  EXPECT_EQ(Format(v, 4), "01");
  EXPECT_EQ(Format(v, 3), "");
  std::vector<uint8_t> ip = {255, 255, 255, 255};
  smiVALUE a = Octets(SNMP_SYNTAX_IPADDR, ip);
  std::string text = Format(a, 6);
  EXPECT_LE(text.size(), 5u);
}

struct NumberCase {
  const char* name;
  smiVALUE value;
  std::string expected;
};

smiVALUE Signed(uint32_t syntax, int32_t n) {
  smiVALUE v;
  v.syntax = syntax;
  v.value.sNumber = n;
  return v;
}
smiVALUE Unsigned(uint32_t syntax, uint32_t n) {
  smiVALUE v;
  v.syntax = syntax;
  v.value.uNumber = n;
  return v;
}
smiVALUE Counter64(uint32_t hi, uint32_t lo) {
  smiVALUE v;
  v.syntax = SNMP_SYNTAX_CNTR64;
  v.value.hNumber.hipart = hi;
  v.value.hNumber.lopart = lo;
  return v;
}

class NumberText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, Formats) {
  EXPECT_EQ(Format(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, NumberText,
    ::testing::Values(
        NumberCase{"NegativeInt", Signed(SNMP_SYNTAX_INT, -5), "-5"},
        NumberCase{"IntMin", Signed(SNMP_SYNTAX_INT, INT32_MIN), "-2147483648"},
        NumberCase{"GaugeMax", Unsigned(SNMP_SYNTAX_GAUGE32, 4294967295u),
                   "4294967295"},
        NumberCase{"CounterMax", Unsigned(SNMP_SYNTAX_CNTR32, 4294967295u),
                   "4294967295"},
        NumberCase{"TicksOneDay", Unsigned(SNMP_SYNTAX_TIMETICKS, 8640000),
                   "1,0:0:0.0"},
        NumberCase{"TicksHourMinuteSecondHundredth",
                   Unsigned(SNMP_SYNTAX_TIMETICKS, 366101), "0,1:1:1.1"},
        NumberCase{"TicksZero", Unsigned(SNMP_SYNTAX_TIMETICKS, 0),
                   "0,0:0:0.0"},
        NumberCase{"TicksMax", Unsigned(SNMP_SYNTAX_TIMETICKS, 4294967295u),
                   "497,2:27:52.95"},
        NumberCase{"Counter64TwoToThe32", Counter64(1, 0), "4294967296"},
        NumberCase{"Counter64Max", Counter64(0xFFFFFFFF, 0xFFFFFFFF),
                   "18446744073709551615"},
        NumberCase{"NullIsEmpty", Unsigned(SNMP_SYNTAX_NULL, 7), ""},
        NumberCase{"UInteger32IsEmpty", Unsigned(SNMP_SYNTAX_UINT32, 7), ""},
        NumberCase{"NoSuchObjectIsEmpty", Unsigned(SNMP_SYNTAX_NOSUCHOBJECT, 7),
                   ""},
        NumberCase{"NoSuchInstanceIsEmpty",
                   Unsigned(SNMP_SYNTAX_NOSUCHINSTANCE, 7), ""},
        NumberCase{"EndOfMibViewIsEmpty", Unsigned(SNMP_SYNTAX_ENDOFMIBVIEW, 7),
                   ""},
        NumberCase{"UnknownSyntaxIsEmpty", Unsigned(0x99, 7), ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatValue, SizeZeroWritesNothing) {
  smiVALUE v = Signed(SNMP_SYNTAX_INT, 12345);
  char out[4] = {'x', 'y', 'z', '\0'};
  EXPECT_EQ(formatValue(&v, 0, out), 0);
  EXPECT_STREQ(out, "xyz");
}

TEST(FormatValue, NumbersAreCutAtCapacity) {
  smiVALUE v = Signed(SNMP_SYNTAX_INT, -123456);
  char out[4];
  EXPECT_EQ(formatValue(&v, sizeof out, out), 3);
  EXPECT_STREQ(out, "-12");
}

TEST(FormatValue, OidValueIsDotted) {
  uint32_t ids[] = {1, 3, 6, 1, 6, 3, 1, 1, 5, 1};
  smiVALUE v;
  v.syntax = SNMP_SYNTAX_OID;
  v.value.oid = {10, ids};
  EXPECT_EQ(Format(v), "1.3.6.1.6.3.1.1.5.1");
}

TEST(FormatOid, OidThatDoesNotFitGivesEmptyText) {
  // 128 one-digit sub-identifiers need exactly 255 characters.
  std::vector<uint32_t> ids(128, 7);
  smiOID oid{128, ids.data()};
  char out[256];
  EXPECT_EQ(formatOid(&oid, sizeof out, out), 255);
  ids[127] = 10;  // one more character: a cut text could name another OID
  EXPECT_EQ(formatOid(&oid, sizeof out, out), 0);
  EXPECT_STREQ(out, "");
  smiOID empty{0, nullptr};
  EXPECT_EQ(formatOid(&empty, sizeof out, out), 0);
  EXPECT_STREQ(out, "");
}

TEST(FormatOid, ExtremeSubIdentifiers) {
  uint32_t ids[] = {0, 0, 4294967295u, 10, 99, 100};
  smiOID oid{6, ids};
  char out[256];
  EXPECT_EQ(formatOid(&oid, sizeof out, out), 24);
  EXPECT_STREQ(out, "0.0.4294967295.10.99.100");
  // Exactly the text and its terminator fit; one byte less does not.
  char tight[25];
  EXPECT_EQ(formatOid(&oid, sizeof tight, tight), 24);
  EXPECT_EQ(formatOid(&oid, sizeof tight - 1, tight), 0);
  EXPECT_STREQ(tight, "");
}

TEST(ErrorText, EveryKnownCode) {
  const std::vector<std::pair<uint32_t, const char*>> table = {
      {0, "SNMPAPI_FAILURE:Generic error code"},
      {1, "SNMPAPI_SUCCESS:Generic success code"},
      {2, "SNMPAPI_ALLOC_ERROR:Error allocating memory"},
      {3, "SNMPAPI_CONTEXT_INVALID:Invalid context parameter"},
      {4, "SNMPAPI_CONTEXT_UNKNOWN:Unknown context parameter"},
      {5, "SNMPAPI_ENTITY_INVALID:Invalid entity parameter"},
      {6, "SNMPAPI_ENTITY_UNKNOWN:Unknown entity parameter"},
      {7, "SNMPAPI_INDEX_INVALID:Invalid VBL index parameter"},
      {8, "SNMPAPI_NOOP:No operation performed"},
      {9, "SNMPAPI_OID_INVALID:Invalid OID parameter"},
      {10, "SNMPAPI_OPERATION_INVALID:Invalid/unsupported operation"},
      {11, "SNMPAPI_OUTPUT_TRUNCATED:Insufficient output buf len"},
      {12, "SNMPAPI_PDU_INVALID:Invalid PDU parameter"},
      {13, "SNMPAPI_SESSION_INVALID:Invalid session parameter"},
      {14, "SNMPAPI_SYNTAX_INVALID:Invalid syntax in smiVALUE"},
      {15, "SNMPAPI_VBL_INVALID:Invalid VBL parameter"},
      {16, "SNMPAPI_MODE_INVALID:Invalid mode parameter"},
      {17, "SNMPAPI_SIZE_INVALID:Invalid size/length parameter"},
      {18, "SNMPAPI_NOT_INITIALIZED:SnmpStartup failed/not called"},
      {19, "SNMPAPI_MESSAGE_INVALID:Invalid SNMP message format"},
      {20, "SNMPAPI_HWND_INVALID:Invalid Window handle"},
      {99, "SNMPAPI_OTHER_ERROR:For internal/undefined errors"},
      {100, "SNMPAPI_TL_NOT_INITIALIZED:TL not initialized"},
      {101, "SNMPAPI_TL_NOT_SUPPORTED:TL does not support protocol"},
      {102, "SNMPAPI_TL_NOT_AVAILABLE:Network subsystem has failed"},
      {103, "SNMPAPI_TL_RESOURCE_ERROR:TL resource error"},
      {104, "SNMPAPI_TL_UNDELIVERABLE:Destination unreachable"},
      {105, "SNMPAPI_TL_SRC_INVALID:Source endpoint invalid"},
      {106, "SNMPAPI_TL_INVALID_PARAM:Input parameter invalid"},
      {107, "SNMPAPI_TL_IN_USE:Source endpoint in use"},
      {108, "SNMPAPI_TL_TIMEOUT:No response before timeout"},
      {109, "SNMPAPI_TL_PDU_TOO_BIG:PDU too big for send/receive"},
      {199, "SNMPAPI_TL_OTHER:Undefined TL error"},
  };
  for (const auto& [code, text] : table)
    EXPECT_STREQ(errorText(code), text) << code;
  for (uint32_t code : {21u, 98u, 110u, 198u, 200u, 0xFFFFFFFFu})
    EXPECT_STREQ(errorText(code), "Other SNMP Error") << code;
}

// Each status is named after its constant, so the names are checked against
// the protocol's numbering rather than against a copy of the list.
#define STATUS_AND_NAME(status) \
  std::pair<int32_t, const char*> { status, #status }

TEST(ErrorStatusName, EveryStatus) {
  const std::pair<int32_t, const char*> names[] = {
      {SNMP_ERROR_NOERROR, ""},
      STATUS_AND_NAME(SNMP_ERROR_TOOBIG),
      STATUS_AND_NAME(SNMP_ERROR_NOSUCHNAME),
      STATUS_AND_NAME(SNMP_ERROR_BADVALUE),
      STATUS_AND_NAME(SNMP_ERROR_READONLY),
      STATUS_AND_NAME(SNMP_ERROR_GENERR),
      STATUS_AND_NAME(SNMP_ERROR_NOACCESS),
      STATUS_AND_NAME(SNMP_ERROR_WRONGTYPE),
      STATUS_AND_NAME(SNMP_ERROR_WRONGLENGTH),
      STATUS_AND_NAME(SNMP_ERROR_WRONGENCODING),
      STATUS_AND_NAME(SNMP_ERROR_WRONGVALUE),
      STATUS_AND_NAME(SNMP_ERROR_NOCREATION),
      STATUS_AND_NAME(SNMP_ERROR_INCONSISTENTVALUE),
      STATUS_AND_NAME(SNMP_ERROR_RESOURCEUNAVAILABLE),
      STATUS_AND_NAME(SNMP_ERROR_COMMITFAILED),
      STATUS_AND_NAME(SNMP_ERROR_UNDOFAILED),
      STATUS_AND_NAME(SNMP_ERROR_AUTHORIZATIONERROR),
      STATUS_AND_NAME(SNMP_ERROR_NOTWRITABLE),
      STATUS_AND_NAME(SNMP_ERROR_INCONSISTENTNAME),
  };
  for (const auto& [status, name] : names)
    EXPECT_STREQ(errorStatusName(status), name) << status;
  for (int32_t status : {19, 100, -1, INT32_MIN})
    EXPECT_STREQ(errorStatusName(status), "") << status;
}

#undef STATUS_AND_NAME

}  // namespace
