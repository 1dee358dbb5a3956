// The handle and object rules of the layer, through the scripted layer that
// shares them with the real one.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "snmp/snmp_values.h"
#include "snmp/testing/fake_snmp_api.h"

namespace {

using Call = FakeSnmpApi::Call;

struct Received {
  uint32_t wParam;
  uint32_t lParam;
};

// Records every notification; with |receive| set it takes the message and
// keeps its PDU's data.
struct Listener {
  SnmpApi* api = nullptr;
  bool receive = true;
  bool closeOnCall = false;
  std::vector<Received> calls;
  std::vector<int32_t> types;
  std::vector<int32_t> requestIds;
  std::vector<std::string> sources;

  static SNMPAPI_STATUS Callback(HSNMP_SESSION session, void*, uint32_t,
                                 uint32_t wParam, uint32_t lParam, void* data) {
    auto* self = static_cast<Listener*>(data);
    self->calls.push_back({wParam, lParam});
    if (self->closeOnCall) {
      self->api->Close(session);
      return SNMPAPI_SUCCESS;
    }
    if (wParam != 0 || !self->receive) return SNMPAPI_SUCCESS;
    HSNMP_ENTITY src = nullptr, dst = nullptr;
    HSNMP_CONTEXT ctx = nullptr;
    HSNMP_PDU pdu = nullptr;
    if (self->api->RecvMsg(session, &src, &dst, &ctx, &pdu) != SNMPAPI_SUCCESS)
      return SNMPAPI_SUCCESS;
    int32_t type = 0, id = 0;
    self->api->GetPduData(pdu, &type, &id, nullptr, nullptr, nullptr);
    self->types.push_back(type);
    self->requestIds.push_back(id);
    // The source entity carries the sender's address.
    self->sources.push_back(
        static_cast<FakeSnmpApi*>(self->api)->entityAddress(src));
    self->api->FreePdu(pdu);
    self->api->FreeContext(ctx);
    self->api->FreeEntity(src);
    self->api->FreeEntity(dst);
    return SNMPAPI_SUCCESS;
  }
};

class SnmpApiCoreTest : public ::testing::Test {
 protected:
  HSNMP_SESSION Open(Listener* l) {
    l->api = &fake;
    return fake.CreateSession(nullptr, 0, &Listener::Callback, l);
  }
  // A context for |community|, which the layer copies.
  HSNMP_CONTEXT Context(HSNMP_SESSION s, const char* community) {
    smiOCTETS text{static_cast<uint32_t>(std::strlen(community)),
                   reinterpret_cast<uint8_t*>(const_cast<char*>(community))};
    return fake.StrToContext(s, &text);
  }

  FakeSnmpApi fake;
};

TEST_F(SnmpApiCoreTest, StartupCountsAndCleanupUndoesOnlyWhatWasStarted) {
  uint32_t major = 0, minor = 9, level = 0, translate = 9, retransmit = 9;
  ASSERT_EQ(fake.Startup(&major, &minor, &level, &translate, &retransmit),
            SNMPAPI_SUCCESS);
  EXPECT_EQ(major, 2u);
  EXPECT_EQ(minor, 0u);
  EXPECT_EQ(retransmit, SNMPAPI_OFF) << "the layer never retransmits";
  ASSERT_EQ(fake.Startup(nullptr, nullptr, nullptr, nullptr, nullptr),
            SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.startupCount(), 2u);
  EXPECT_EQ(fake.Cleanup(), SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.Cleanup(), SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.Cleanup(), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_NOT_INITIALIZED);
  EXPECT_EQ(fake.SetRetransmitMode(SNMPAPI_OFF), SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.SetRetransmitMode(SNMPAPI_ON), SNMPAPI_FAILURE);
}

TEST_F(SnmpApiCoreTest, SessionNeedsACallbackAndNoWindow) {
  Listener l;
  l.api = &fake;
  EXPECT_EQ(fake.CreateSession(nullptr, 0, nullptr, &l), nullptr);
  EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_HWND_INVALID);
  int window;
  EXPECT_EQ(fake.CreateSession(&window, 0, &Listener::Callback, &l), nullptr);
  EXPECT_NE(fake.CreateSession(nullptr, 0, &Listener::Callback, &l), nullptr);
}

TEST_F(SnmpApiCoreTest, EntityTextsAndPorts) {
  Listener l;
  HSNMP_SESSION s = Open(&l);
  struct Case {
    const char* text;
    bool ok;
    std::string address;
    uint32_t port;
  };
  const Case cases[] = {
      {"127.0.1.5", true, "127.0.1.5", 161},
      {"127.0.1.5:1161", true, "127.0.1.5", 1161},
      {"unit-7.example", true, "unit-7.example", 161},
      {"", false, "", 0},
      {":161", false, "", 0},
      {"127.0.1.5:", false, "", 0},
      {"127.0.1.5:0", false, "", 0},
      {"127.0.1.5:65536", false, "", 0},
      {"127.0.1.5:12a", false, "", 0},
      {"127.0.1.5 ", false, "", 0},
      {"a/b", false, "", 0},
  };
  for (const Case& c : cases) {
    HSNMP_ENTITY e = fake.StrToEntity(s, c.text);
    EXPECT_EQ(e != nullptr, c.ok) << c.text;
    if (!e) {
      EXPECT_EQ(fake.GetLastError(s), SNMPAPI_ENTITY_UNKNOWN) << c.text;
      continue;
    }
    EXPECT_EQ(fake.entityAddress(e), c.address);
    EXPECT_EQ(fake.entityPort(e), c.port);
  }
  EXPECT_EQ(fake.StrToEntity(s, std::string(300, 'a').c_str()), nullptr);
  EXPECT_EQ(fake.StrToEntity(s, nullptr), nullptr);

  // SetPort moves a plain address; a port in the text stays.
  HSNMP_ENTITY plain = fake.StrToEntity(s, "10.0.0.1");
  HSNMP_ENTITY forwarded = fake.StrToEntity(s, "10.0.0.1:2161");
  EXPECT_EQ(fake.SetPort(plain, 5000), SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.SetPort(forwarded, 5000), SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.entityPort(plain), 5000u);
  EXPECT_EQ(fake.entityPort(forwarded), 2161u);
  EXPECT_EQ(fake.SetPort(plain, 65536), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.SetPort(nullptr, 1), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_ENTITY_INVALID);
}

TEST_F(SnmpApiCoreTest, FreedHandlesAreRefusedNotTouched) {
  Listener l;
  HSNMP_SESSION s = Open(&l);
  HSNMP_ENTITY e = fake.StrToEntity(s, "10.0.0.1");
  HSNMP_CONTEXT c = Context(s, "public");
  HSNMP_VBL v = fake.CreateVbl(s, nullptr, nullptr);
  HSNMP_PDU p = fake.CreatePdu(s, SNMP_PDU_GETNEXT, 1, 0, 0, v);
  ASSERT_TRUE(e && c && v && p);

  // Each is freed twice; the second time is refused with the kind's error.
  const struct {
    const char* kind;
    std::function<SNMPAPI_STATUS()> free;
    uint32_t error;
  } handles[] = {
      {"entity", [&] { return fake.FreeEntity(e); }, SNMPAPI_ENTITY_INVALID},
      {"context", [&] { return fake.FreeContext(c); }, SNMPAPI_CONTEXT_INVALID},
      {"list", [&] { return fake.FreeVbl(v); }, SNMPAPI_VBL_INVALID},
      {"pdu", [&] { return fake.FreePdu(p); }, SNMPAPI_PDU_INVALID},
      {"session", [&] { return fake.Close(s); }, SNMPAPI_SESSION_INVALID},
  };
  for (const auto& h : handles) {
    SCOPED_TRACE(h.kind);
    EXPECT_EQ(h.free(), SNMPAPI_SUCCESS);
    EXPECT_EQ(h.free(), SNMPAPI_FAILURE);
    EXPECT_EQ(fake.GetLastError(nullptr), h.error);
  }
  EXPECT_EQ(fake.CountVbl(v), 0u);
  EXPECT_EQ(fake.LiveCounts().handles(), 0u);
}

// A handle kept after its object went must never reach the object made
// next, even when that one takes the same memory.
TEST_F(SnmpApiCoreTest, AStaleHandleNeverReachesANewerObject) {
  Listener l, m;
  HSNMP_SESSION s = Open(&l);
  smiOID name;
  ASSERT_NE(fake.StrToOid("1.3.6.1", &name), SNMPAPI_FAILURE);
  smiVALUE null;
  struct Kind {
    const char* name;
    std::function<void*()> make;
    std::function<bool(void*)> free;
    // Succeeds only on a live object of the kind.
    std::function<bool(void*)> use;
  } kinds[] = {
      {"entity",
       [&] { return static_cast<void*>(fake.StrToEntity(s, "10.0.0.1")); },
       [&](void* h) {
         return fake.FreeEntity(static_cast<HSNMP_ENTITY>(h)) ==
                SNMPAPI_SUCCESS;
       },
       [&](void* h) {
         return fake.SetPort(static_cast<HSNMP_ENTITY>(h), 99) ==
                SNMPAPI_SUCCESS;
       }},
      {"context", [&] { return static_cast<void*>(Context(s, "public")); },
       [&](void* h) {
         return fake.FreeContext(static_cast<HSNMP_CONTEXT>(h)) ==
                SNMPAPI_SUCCESS;
       },
       [&](void* h) {
         return fake.FreeContext(static_cast<HSNMP_CONTEXT>(h)) ==
                SNMPAPI_SUCCESS;
       }},
      {"list",
       [&] { return static_cast<void*>(fake.CreateVbl(s, &name, &null)); },
       [&](void* h) {
         return fake.FreeVbl(static_cast<HSNMP_VBL>(h)) == SNMPAPI_SUCCESS;
       },
       [&](void* h) { return fake.CountVbl(static_cast<HSNMP_VBL>(h)) == 1; }},
      {"pdu",
       [&] {
         return static_cast<void*>(
             fake.CreatePdu(s, SNMP_PDU_GETNEXT, 1, 0, 0, nullptr));
       },
       [&](void* h) {
         return fake.FreePdu(static_cast<HSNMP_PDU>(h)) == SNMPAPI_SUCCESS;
       },
       [&](void* h) {
         int32_t type = 0;
         return fake.GetPduData(static_cast<HSNMP_PDU>(h), &type, nullptr,
                                nullptr, nullptr, nullptr) == SNMPAPI_SUCCESS;
       }},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.name);
    for (int round = 0; round < 50; ++round) {
      void* old = k.make();
      ASSERT_NE(old, nullptr);
      ASSERT_TRUE(k.free(old));
      void* fresh = k.make();
      ASSERT_NE(fresh, nullptr);
      EXPECT_NE(old, fresh);
      fake.ClearFailures();
      EXPECT_FALSE(k.use(old));
      EXPECT_TRUE(k.use(fresh));
      k.free(fresh);
    }
  }
  // Sessions too.
  for (int round = 0; round < 50; ++round) {
    HSNMP_SESSION old = Open(&m);
    ASSERT_EQ(fake.Close(old), SNMPAPI_SUCCESS);
    HSNMP_SESSION fresh = Open(&m);
    EXPECT_NE(old, fresh);
    EXPECT_EQ(fake.StrToEntity(old, "10.0.0.2"), nullptr);
    EXPECT_EQ(fake.Close(old), SNMPAPI_FAILURE);
    EXPECT_EQ(fake.Close(fresh), SNMPAPI_SUCCESS);
  }
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &name);
  fake.Close(s);
}

TEST_F(SnmpApiCoreTest, CloseReleasesEverythingOfItsSessionOnly) {
  Listener a, b;
  HSNMP_SESSION sa = Open(&a);
  HSNMP_SESSION sb = Open(&b);
  fake.StrToEntity(sa, "10.0.0.1");
  Context(sa, "p");
  HSNMP_VBL va = fake.CreateVbl(sa, nullptr, nullptr);
  fake.CreatePdu(sa, SNMP_PDU_GET, 1, 0, 0, va);
  HSNMP_ENTITY eb = fake.StrToEntity(sb, "10.0.0.2");
  EXPECT_EQ(fake.LiveCounts().handles(), 5u);
  EXPECT_EQ(fake.Close(sa), SNMPAPI_SUCCESS);
  EXPECT_EQ(fake.LiveCounts().handles(), 1u);
  EXPECT_EQ(fake.FreeEntity(eb), SNMPAPI_SUCCESS);
}

TEST_F(SnmpApiCoreTest, OidTextsAndDescriptors) {
  smiOID oid;
  EXPECT_EQ(fake.StrToOid("1.3.6.1.4.1.6853", &oid), 7u);
  char text[256];
  EXPECT_EQ(fake.OidToStr(&oid, sizeof text, text), 16u);
  EXPECT_STREQ(text, "1.3.6.1.4.1.6853");
  EXPECT_EQ(fake.LiveCounts().descriptors, 1u);
  EXPECT_EQ(fake.FreeDescriptor(SNMP_SYNTAX_OID, &oid), SNMPAPI_SUCCESS);
  EXPECT_EQ(oid.ptr, nullptr);
  EXPECT_EQ(fake.LiveCounts().descriptors, 0u);

  EXPECT_EQ(fake.StrToOid(".1.3.6", &oid), 3u);
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &oid);
  std::string longest = "1";
  for (int i = 1; i < 128; ++i) longest += ".1";
  EXPECT_EQ(fake.StrToOid(longest.c_str(), &oid), 128u);
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &oid);
  for (const char* bad :
       {"", ".", "1..3", "1.3.", "1.a", "-1.3", "1.4294967296", " 1.3"}) {
    smiOID none;
    EXPECT_EQ(fake.StrToOid(bad, &none), SNMPAPI_FAILURE) << bad;
    EXPECT_EQ(none.ptr, nullptr) << bad;
    EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_OID_INVALID);
  }
  EXPECT_EQ(fake.StrToOid((longest + ".1").c_str(), &oid), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.StrToOid("1.4294967295", &oid), 2u);
  EXPECT_EQ(fake.OidToStr(&oid, 5, text), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_OUTPUT_TRUNCATED);
  EXPECT_STREQ(text, "") << "a cut OID is never handed out";
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &oid);

  // Memory the layer did not hand out is not freed.
  uint32_t mine[] = {1, 3};
  smiOID own{2, mine};
  EXPECT_EQ(fake.FreeDescriptor(SNMP_SYNTAX_OID, &own), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.FreeDescriptor(SNMP_SYNTAX_INT, &own), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_SYNTAX_INVALID);
  EXPECT_EQ(fake.LiveCounts().descriptors, 0u);
}

TEST_F(SnmpApiCoreTest, ListsCopyTheirValuesAndHandOutDescriptors) {
  Listener l;
  HSNMP_SESSION s = Open(&l);
  smiOID name;
  fake.StrToOid("1.3.6.1.4.1.6853.1.2.0", &name);
  std::string text = "Rack 3";
  smiVALUE value;
  value.syntax = SNMP_SYNTAX_OCTETS;
  value.value.string.len = static_cast<uint32_t>(text.size());
  value.value.string.ptr = reinterpret_cast<uint8_t*>(text.data());
  HSNMP_VBL vbl = fake.CreateVbl(s, &name, &value);
  ASSERT_NE(vbl, nullptr);
  text = "XXXXXX";  // the list holds its own copy
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &name);
  EXPECT_EQ(fake.CountVbl(vbl), 1u);

  smiOID gotName;
  smiVALUE got;
  ASSERT_EQ(fake.GetVb(vbl, 1, &gotName, &got), SNMPAPI_SUCCESS);
  char out[256];
  formatValue(&got, sizeof out, out);
  EXPECT_STREQ(out, "Rack 3");
  EXPECT_EQ(fake.LiveCounts().descriptors, 2u);
  fake.FreeDescriptor(SNMP_SYNTAX_OCTETS, &got.value.string);
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &gotName);
  EXPECT_EQ(fake.LiveCounts().descriptors, 0u);

  EXPECT_EQ(fake.GetVb(vbl, 0, &gotName, &got), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetVb(vbl, 2, &gotName, &got), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_INDEX_INVALID);

  // Values the layer cannot carry are refused.
  smiOID n2;
  fake.StrToOid("1.3", &n2);
  smiVALUE bad;
  bad.syntax = 0x30;
  EXPECT_EQ(fake.CreateVbl(s, &n2, &bad), nullptr);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_SYNTAX_INVALID);
  bad.syntax = SNMP_SYNTAX_OCTETS;
  bad.value.string.len = 4;
  bad.value.string.ptr = nullptr;
  EXPECT_EQ(fake.CreateVbl(s, &n2, &bad), nullptr);
  smiOID empty{0, nullptr};
  EXPECT_EQ(fake.CreateVbl(s, &empty, nullptr), nullptr);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_OID_INVALID);
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &n2);
}

TEST_F(SnmpApiCoreTest, PduDataHandsOutACopyOfTheList) {
  Listener l;
  HSNMP_SESSION s = Open(&l);
  smiOID name;
  fake.StrToOid("1.3.6", &name);
  smiVALUE value;
  value.syntax = SNMP_SYNTAX_INT;
  value.value.sNumber = -5;
  HSNMP_VBL vbl = fake.CreateVbl(s, &name, &value);
  HSNMP_PDU pdu = fake.CreatePdu(s, SNMP_PDU_SET, 0x20005, 0, 0, vbl);
  fake.FreeVbl(vbl);  // the PDU keeps its own copy
  int32_t type = 0, id = 0, status = -1, index = -1;
  HSNMP_VBL copy = nullptr;
  ASSERT_EQ(fake.GetPduData(pdu, &type, &id, &status, &index, &copy),
            SNMPAPI_SUCCESS);
  EXPECT_EQ(type, SNMP_PDU_SET);
  EXPECT_EQ(id, 0x20005);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(fake.CountVbl(copy), 1u);
  EXPECT_NE(copy, vbl);
  fake.FreeVbl(copy);
  fake.FreePdu(pdu);
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &name);
  EXPECT_EQ(fake.CreatePdu(s, 0x30, 1, 0, 0, nullptr), nullptr);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_PDU_INVALID);
  EXPECT_EQ(fake.LiveCounts().handles(), 0u);
  EXPECT_EQ(fake.LiveCounts().descriptors, 0u);
}

TEST_F(SnmpApiCoreTest, SendRecordsTheRequestAndChecksItsParts) {
  Listener l;
  HSNMP_SESSION s = Open(&l);
  HSNMP_ENTITY unit = fake.StrToEntity(s, "127.0.1.9");
  HSNMP_CONTEXT ctx = Context(s, "private");
  smiOID name;
  fake.StrToOid("1.3.6.1.4.1.6853", &name);
  HSNMP_VBL vbl = fake.CreateVbl(s, &name, nullptr);
  HSNMP_PDU pdu = fake.CreatePdu(s, SNMP_PDU_GETNEXT, 0x10001, 0, 0, vbl);

  ASSERT_EQ(fake.SendMsg(s, nullptr, unit, ctx, pdu), SNMPAPI_SUCCESS);
  FakeSnmpApi::SentPdu sent = fake.lastSent();
  EXPECT_EQ(sent.session, s);
  EXPECT_EQ(sent.address, "127.0.1.9");
  EXPECT_EQ(sent.port, 161u);
  EXPECT_EQ(sent.community, "private");
  EXPECT_EQ(sent.type, SNMP_PDU_GETNEXT);
  EXPECT_EQ(sent.requestId, 0x10001);
  EXPECT_EQ(sent.oid, "1.3.6.1.4.1.6853");
  EXPECT_EQ(sent.syntax, SNMP_SYNTAX_NULL);
  EXPECT_EQ(sent.bindingCount, 1u);

  EXPECT_EQ(fake.SendMsg(s, nullptr, nullptr, ctx, pdu), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_ENTITY_INVALID);
  EXPECT_EQ(fake.SendMsg(s, nullptr, unit, nullptr, pdu), SNMPAPI_FAILURE);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_CONTEXT_INVALID);
  HSNMP_PDU trap = fake.CreatePdu(s, SNMP_PDU_TRAP, 1, 0, 0, vbl);
  EXPECT_EQ(fake.SendMsg(s, nullptr, unit, ctx, trap), SNMPAPI_FAILURE)
      << "requests are SNMPv1: Get, GetNext and Set only";
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_PDU_INVALID);
  EXPECT_EQ(fake.sentCount(), 1u);
  fake.FreeDescriptor(SNMP_SYNTAX_OID, &name);
}

TEST_F(SnmpApiCoreTest, MessagesWaitForRecvMsgAndAreBounded) {
  Listener l;
  l.receive = false;
  HSNMP_SESSION s = Open(&l);
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(fake.DeliverReply(s, i, {}));
  EXPECT_EQ(l.calls.size(), 300u);
  HSNMP_PDU pdu = nullptr;
  int32_t id = -1;
  ASSERT_EQ(fake.RecvMsg(s, nullptr, nullptr, nullptr, &pdu), SNMPAPI_SUCCESS);
  fake.GetPduData(pdu, nullptr, &id, nullptr, nullptr, nullptr);
  EXPECT_EQ(id, 300 - static_cast<int>(SnmpApiCore::kInboxLimit))
      << "the oldest messages are dropped beyond the limit";
  fake.FreePdu(pdu);
  while (fake.RecvMsg(s, nullptr, nullptr, nullptr, &pdu) == SNMPAPI_SUCCESS)
    fake.FreePdu(pdu);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_NOOP);
  EXPECT_EQ(fake.LiveCounts().handles(), 0u);
}

TEST_F(SnmpApiCoreTest, TrapsReachEverySessionRegisteredForTheirSource) {
  Listener a, b, c;
  HSNMP_SESSION sa = Open(&a);
  HSNMP_SESSION sb = Open(&b);
  HSNMP_SESSION sc = Open(&c);
  HSNMP_ENTITY ea = fake.StrToEntity(sa, "127.0.1.5");
  HSNMP_ENTITY eb = fake.StrToEntity(sb, "127.0.1.5:2000");
  HSNMP_ENTITY ec = fake.StrToEntity(sc, "127.0.1.6");
  EXPECT_EQ(fake.Register(sa, nullptr, nullptr, nullptr, nullptr, SNMPAPI_ON),
            SNMPAPI_FAILURE)
      << "a registration without a source would take every unit's traps";
  EXPECT_EQ(fake.GetLastError(sa), SNMPAPI_ENTITY_INVALID);
  ASSERT_EQ(fake.Register(sa, nullptr, ea, nullptr, nullptr, SNMPAPI_ON),
            SNMPAPI_SUCCESS);
  ASSERT_EQ(fake.Register(sb, nullptr, eb, nullptr, nullptr, SNMPAPI_ON),
            SNMPAPI_SUCCESS);
  ASSERT_EQ(fake.Register(sc, nullptr, ec, nullptr, nullptr, SNMPAPI_ON),
            SNMPAPI_SUCCESS);

  EXPECT_EQ(fake.DeliverTrapFrom("127.0.1.5", SNMP_PDU_TRAP, {}), 2);
  EXPECT_EQ(fake.DeliverTrapFrom("127.0.1.7", SNMP_PDU_TRAP, {}), 0);
  ASSERT_EQ(a.types.size(), 1u);
  ASSERT_EQ(b.types.size(), 1u);
  EXPECT_TRUE(c.types.empty());
  EXPECT_EQ(a.types[0], SNMP_PDU_TRAP);
  EXPECT_EQ(a.sources[0], "127.0.1.5");

  ASSERT_EQ(fake.Register(sb, nullptr, eb, nullptr, nullptr, SNMPAPI_OFF),
            SNMPAPI_SUCCESS);
  fake.Close(sa);
  EXPECT_EQ(fake.DeliverTrapFrom("127.0.1.5", SNMP_PDU_V1TRAP, {}), 0);
  EXPECT_EQ(fake.DeliverTrapFrom("127.0.1.6", SNMP_PDU_V1TRAP, {}), 1);
}

TEST_F(SnmpApiCoreTest, ACallbackMayCloseItsOwnSession) {
  Listener l;
  l.closeOnCall = true;
  HSNMP_SESSION s = Open(&l);
  EXPECT_TRUE(fake.DeliverReply(s, 1, {{"1.3.6", SNMP_SYNTAX_INT, "1"}}));
  EXPECT_FALSE(fake.DeliverReply(s, 2, {}));
  EXPECT_FALSE(fake.DeliverNotification(s, SNMPAPI_TL_TIMEOUT, 2));
  EXPECT_EQ(l.calls.size(), 1u);
  EXPECT_EQ(fake.LiveCounts().sessions, 0u);
  EXPECT_EQ(fake.LiveCounts().handles(), 0u);
}

TEST_F(SnmpApiCoreTest, InjectedFailuresCountDownAndSetTheLastError) {
  Listener l;
  HSNMP_SESSION s = Open(&l);
  fake.FailCall(Call::kStrToEntity, SNMPAPI_ALLOC_ERROR, 2);
  EXPECT_EQ(fake.StrToEntity(s, "10.0.0.1"), nullptr);
  EXPECT_EQ(fake.GetLastError(s), SNMPAPI_ALLOC_ERROR);
  EXPECT_EQ(fake.GetLastError(nullptr), SNMPAPI_ALLOC_ERROR);
  EXPECT_EQ(fake.StrToEntity(s, "10.0.0.1"), nullptr);
  EXPECT_NE(fake.StrToEntity(s, "10.0.0.1"), nullptr);
  EXPECT_EQ(fake.CallCount(Call::kStrToEntity), 3);
  EXPECT_EQ(fake.LiveCounts().entities, 1u) << "failed calls make nothing";

  fake.FailCall(Call::kSendMsg, SNMPAPI_TL_UNDELIVERABLE);
  for (int i = 0; i < 3; ++i) {
    HSNMP_CONTEXT ctx = Context(s, "p");
    HSNMP_ENTITY e = fake.StrToEntity(s, "10.0.0.1");
    HSNMP_PDU pdu = fake.CreatePdu(s, SNMP_PDU_GET, i, 0, 0, nullptr);
    EXPECT_EQ(fake.SendMsg(s, nullptr, e, ctx, pdu), SNMPAPI_FAILURE);
  }
  EXPECT_EQ(fake.sentCount(), 0u);
  fake.ClearFailures();
  EXPECT_NE(fake.StrToEntity(s, "10.0.0.1"), nullptr);
}

TEST_F(SnmpApiCoreTest, FakeBindingTextsFollowTheirSyntax) {
  struct Case {
    FakeSnmpApi::Binding binding;
    bool ok;
  };
  const Case cases[] = {
      {{"1.3.6.1", SNMP_SYNTAX_INT, "-2147483648"}, true},
      {{"1.3.6.1", SNMP_SYNTAX_INT, "2147483648"}, false},
      {{"1.3.6.1", SNMP_SYNTAX_INT, "12x"}, false},
      {{"1.3.6.1", SNMP_SYNTAX_GAUGE32, "4294967295"}, true},
      {{"1.3.6.1", SNMP_SYNTAX_GAUGE32, "-1"}, false},
      {{"1.3.6.1", SNMP_SYNTAX_CNTR64, "18446744073709551615"}, true},
      {{"1.3.6.1", SNMP_SYNTAX_IPADDR, "10.0.0.1"}, true},
      {{"1.3.6.1", SNMP_SYNTAX_IPADDR, "10.0.0"}, false},
      {{"1.3.6.1", SNMP_SYNTAX_IPADDR, "10.0.0.256"}, false},
      {{"1.3.6.1", SNMP_SYNTAX_OID, "1.3.6"}, true},
      {{"1.3.6.1", SNMP_SYNTAX_OID, "x"}, false},
      {{"1.3.6.1", SNMP_SYNTAX_OCTETS, std::string("\0\x01", 2)}, true},
      {{"1.3.6.1", SNMP_SYNTAX_NULL, ""}, true},
      {{"1.3.6.1", 0x31, ""}, false},
      {{"bad", SNMP_SYNTAX_NULL, ""}, false},
  };
  for (const Case& c : cases) {
    SnmpVar var;
    EXPECT_EQ(VarFromText(c.binding, &var), c.ok)
        << c.binding.syntax << " '" << c.binding.value << "'";
    if (c.ok) {
      FakeSnmpApi::Binding back = BindingFromVar(var);
      EXPECT_EQ(back.oid, c.binding.oid);
      EXPECT_EQ(back.value, c.binding.value) << "text form round-trips";
    }
  }
}

}  // namespace
