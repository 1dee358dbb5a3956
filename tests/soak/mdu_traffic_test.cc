// The hand-made SNMP codec and the expected-block rules that the soak's
// verdict rests on: if these are wrong, the soak passes or fails for the
// wrong reason.
#include "soak/mdu_traffic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace mdu_traffic;

TEST(MduTrafficCodec, EncodesAGetLikeNetSnmp) {
  Pdu get;
  get.community = "public";
  get.type = 0xA0;
  get.requestId = 1;
  get.bindings.push_back({"1.3.6.1.2.1.1.3.0", 0x05, ""});
  const unsigned char want[] = {0x30, 0x26, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',
                                'u',  'b',  'l',  'i',  'c',  0xa0, 0x19, 0x02,
                                0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00,
                                0x30, 0x0e, 0x30, 0x0c, 0x06, 0x08, 0x2b, 0x06,
                                0x01, 0x02, 0x01, 0x01, 0x03, 0x00, 0x05, 0x00};
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(want), sizeof want),
            EncodePdu(get));
}

TEST(MduTrafficCodec, RoundTripsEveryFormAnMduUses) {
  Pdu reply;
  reply.version = 1;
  reply.community = "ziriru";
  reply.type = 0xA2;
  reply.requestId = 0x1ABCD;  // a walk request id: tag in bits 16-17
  reply.errorStatus = 2;
  const std::string longText(300, 'L');  // two-byte BER lengths
  reply.bindings = {
      {"1.3.6.1.4.1.6853.2.5.0", 0x02, "41"},
      {"1.3.6.1.4.1.6853.2.5.0", 0x02, "-129"},
      {"1.3.6.1.4.1.6853.2.5.0", 0x02, "128"},
      {"1.3.6.1.4.1.6853.2.5.0", 0x02, "0"},
      {"1.3.6.1.4.1.6853.2.5.0", 0x02, "-2147483648"},
      {"1.3.6.1.4.1.6853.2.4.0", 0x04, "Rack 3: 'left'"},
      {"1.3.6.1.4.1.6853.2.4.0", 0x04, longText},
      {"1.3.6.1.4.1.6853.2.4.0", 0x04, ""},
      {"1.3.6.1.6.3.1.1.4.1.0", 0x06, "1.3.6.1.4.1.6853.0.5"},
      {"1.3.6.1.2.1.1.3.0", 0x43, "4294967295"},
      {"2.999.16384.0", 0x05, ""},
  };
  const std::string wire = EncodePdu(reply);
  Pdu back;
  ASSERT_TRUE(DecodePdu(reinterpret_cast<const uint8_t*>(wire.data()),
                        wire.size(), &back));
  EXPECT_EQ(1, back.version);
  EXPECT_EQ("ziriru", back.community);
  EXPECT_EQ(0xA2, back.type);
  EXPECT_EQ(0x1ABCD, back.requestId);
  EXPECT_EQ(2, back.errorStatus);
  ASSERT_EQ(reply.bindings.size(), back.bindings.size());
  for (size_t i = 0; i < reply.bindings.size(); ++i) {
    EXPECT_EQ(reply.bindings[i].oid, back.bindings[i].oid) << i;
    EXPECT_EQ(reply.bindings[i].type, back.bindings[i].type) << i;
    EXPECT_EQ(reply.bindings[i].text, back.bindings[i].text) << i;
  }
}

TEST(MduTrafficCodec, RefusesEveryTruncationAndJunk) {
  Pdu trap;
  trap.version = 1;
  trap.community = "public";
  trap.type = 0xA7;
  trap.bindings = {{"1.3.6.1.4.1.6853.2.5.0", 0x02, "61"}};
  const std::string wire = EncodePdu(trap);
  Pdu out;
  for (size_t n = 0; n < wire.size(); ++n)
    EXPECT_FALSE(
        DecodePdu(reinterpret_cast<const uint8_t*>(wire.data()), n, &out))
        << n << " bytes";
  const uint8_t junk[] = {0x30, 0x84, 0xff, 0xff, 0xff, 0xff, 0x02};
  EXPECT_FALSE(DecodePdu(junk, sizeof junk, &out));
  const uint8_t v1trap[] = {0x30, 0x05, 0x02, 0x01, 0x00, 0x04, 0x00};
  EXPECT_FALSE(DecodePdu(v1trap, sizeof v1trap, &out));  // no PDU at all
}

TEST(MduTrafficCodec, TrapCarriesUptimeAndTrapOidFirst) {
  const std::string wire = EncodeTrap("c", "1.3.6.1.4.1.6853.0.7",
                                      {{"1.3.6.1.4.1.6853.3.5.0", 0x04, "ok"}});
  Pdu back;
  ASSERT_TRUE(DecodePdu(reinterpret_cast<const uint8_t*>(wire.data()),
                        wire.size(), &back));
  EXPECT_EQ(0xA7, back.type);
  ASSERT_EQ(3u, back.bindings.size());
  EXPECT_EQ("1.3.6.1.2.1.1.3.0", back.bindings[0].oid);
  EXPECT_EQ(0x43, back.bindings[0].type);
  EXPECT_EQ("1.3.6.1.6.3.1.1.4.1.0", back.bindings[1].oid);
  EXPECT_EQ("1.3.6.1.4.1.6853.0.7", back.bindings[1].text);
  EXPECT_EQ("ok", back.bindings[2].text);
}

std::map<std::string, Binding> WalkOf(
    const std::vector<std::pair<std::string, std::string>>& values) {
  std::map<std::string, Binding> walk;
  for (const auto& [oid, text] : values)
    walk["1.3.6.1.4.1.6853." + oid] = {"1.3.6.1.4.1.6853." + oid, 0x02, text};
  return walk;
}

TEST(MduTrafficBlock, FollowsTheSlotLayout) {
  auto walk = WalkOf({
      // Row 1: fuse 2; row 2: GPI 3; row 3: a GPI beyond 16 (no slot).
      {"2.2.1.2.1", "3"},
      {"2.2.1.3.1", "2"},
      {"2.2.1.5.1", "1"},
      {"2.2.1.2.2", "2"},
      {"2.2.1.3.2", "3"},
      {"2.2.1.5.2", "0"},
      {"2.2.1.6.2", "1"},
      {"2.2.1.2.3", "2"},
      {"2.2.1.3.3", "17"},
      {"2.2.1.5.3", "1"},
      // Output 12 in row 1.
      {"3.4.1.1.1", "12"},
      {"3.4.1.2.1", "1"},
      {"3.4.1.3.1", "25"},
      {"3.2.0", "2"},
      {"3.3.0", "7"},
      {"2.5.0", "50"},
      {"2.6.0", "50"},
      {"3.5.0", "Inlet 1: ok"},
      {"2.4.0", "Bay 'A': 2"},
  });
  const std::map<int, std::string> want = {
      {62, "1"},   {3, "0"},   {23, "1"},           {52, "1"},
      {92, "250"}, {78, "2"},  {79, "70"},          {94, "2"},
      {95, "50"},  {96, "50"}, {97, "Inlet 1; ok"}, {98, "Bay \"A\"; 2"},
      {99, "0"}};
  EXPECT_EQ(want, BlockFromWalk(walk));
}

TEST(MduTrafficBlock, TemperatureBelowTheAlarmPointAndEmptyTexts) {
  auto walk = WalkOf({{"2.5.0", "49"}, {"2.6.0", "50"}, {"2.4.0", ""}});
  auto block = BlockFromWalk(walk);
  EXPECT_EQ("1", block[94]);
  EXPECT_EQ(0u, block.count(98));  // an empty slot is absent, as in a dump
}

}  // namespace
