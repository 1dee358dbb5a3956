#include "web_command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Outcome = WebCommandLine::Outcome;

WebCommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "qor_web");
  return ParseWebCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(WebCommandLineTest, EachLineGivesItsOutcomeAndError) {
  const struct {
    std::vector<const char*> args;
    Outcome outcome;
    const char* error;  // the start of it
  } cases[] = {
      {{"1", "12"}, Outcome::kRun, ""},
      {{"--broker", "mq:1883"}, Outcome::kRun, ""},
      {{"--site", "x", "--help"}, Outcome::kHelp, ""},
      {{"--site", "--help", "1"}, Outcome::kRun, ""},  // --help is the site
      {{}, Outcome::kError, "name at least one DEVICE number"},
      {{"1000"}, Outcome::kError, "\"1000\" is no device number (1 to 999)"},
      {{"1", "--frob", "2"}, Outcome::kError, "unknown option --frob"},
      {{"1", "--listen"}, Outcome::kError, "--listen wants ADDR:PORT"},
      {{"1", "--listen", "h:0"}, Outcome::kError, "--listen wants ADDR:PORT"},
      {{"1", "--allow-host", "h:80"},
       Outcome::kError,
       "--allow-host wants a host name or address without a port, not 'h:80'"},
      {{"1", "--site", "a/b"}, Outcome::kError, "--site wants a NAME"},
      {{"1", "--max-connections", "3"},
       Outcome::kError,
       "--max-connections wants a number of at least 4"},
      {{"1", "--idle-timeout", "0"}, Outcome::kError, "--idle-timeout wants"},
      {{"1", "--max-streams-per-address", "x"},
       Outcome::kError,
       "--max-streams-per-address wants"},
      {{"--broker", "mq:1", "1"},
       Outcome::kError,
       "with --broker the devices are those the broker carries"},
      {{"1", "--trusted-proxy", "10.0.0.0/33"},
       Outcome::kError,
       "--trusted-proxy wants an IPv4 ADDR or ADDR/BITS, not '10.0.0.0/33'"},
      {{"1", "--trusted-proxy", "proxy"}, Outcome::kError, "--trusted-proxy"},
      {{"1", "--broker-settings", "f"},
       Outcome::kError,
       "--broker-settings needs --broker"},
  };
  for (const auto& c : cases) {
    WebCommandLine line = Parse(c.args);
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
    EXPECT_EQ(line.outcome, c.outcome);
    EXPECT_EQ(line.error.rfind(c.error, 0), 0u) << line.error;
  }
}

TEST(WebCommandLineTest, OptionsReachTheServerAndTheHub) {
  WebCommandLine line =
      Parse({"--listen", "0.0.0.0:9000", "--allow-host", "::1",
             "--idle-timeout", "10", "--site", "studio", "--trusted-proxy",
             "10.1.2.3/16", "--trusted-proxy", "127.0.0.1", "7"});
  ASSERT_EQ(line.outcome, Outcome::kRun) << line.error;
  EXPECT_EQ(line.web.address, "0.0.0.0");
  EXPECT_EQ(line.web.port, 9000);
  EXPECT_EQ(line.web.allowedHosts, std::vector<std::string>{"[::1]"});
  EXPECT_EQ(line.web.idleTimeoutSeconds, 10u);
  EXPECT_LE(line.web.keepaliveSeconds, 5u);  // before the idle timeout
  EXPECT_EQ(line.hub.site, "studio");
  EXPECT_EQ(line.hub.devices, std::vector<int>{7});
  EXPECT_FALSE(line.brokerMode());
  const std::vector<AddressRange>& proxies = line.web.trustedProxies;
  ASSERT_EQ(proxies.size(), 2u);
  EXPECT_TRUE(InAddressRanges(proxies, "10.1.200.7"));
  EXPECT_TRUE(InAddressRanges(proxies, "127.0.0.1"));
  EXPECT_FALSE(InAddressRanges(proxies, "10.2.0.1"));
  EXPECT_FALSE(InAddressRanges(proxies, "127.0.0.2"));
  EXPECT_TRUE(InAddressRanges({*ParseAddressRange("0.0.0.0/0")}, "1.2.3.4"));
}

// Only an address is taken from what a proxy forwards: the nearest hop's.
TEST(ForwardedClientTest, TheLastHopWhenItIsAnAddress) {
  const struct {
    const char* xForwardedFor;
    const char* forwarded;
    const char* client;  // null: none
  } cases[] = {
      {"203.0.113.7", nullptr, "203.0.113.7"},
      {"10.9.9.9, 203.0.113.7 ", "for=192.0.2.1", "203.0.113.7"},
      {"2001:db8::1", nullptr, "2001:db8::1"},
      {"203.0.113.7, unknown", nullptr, nullptr},
      {"203.0.113.7:443", nullptr, nullptr},
      {"", nullptr, nullptr},
      {nullptr, "for=192.0.2.60;proto=http;by=203.0.113.43", "192.0.2.60"},
      {nullptr, "for=10.0.0.1, For=\"[2001:db8:cafe::17]:4711\"",
       "2001:db8:cafe::17"},
      {nullptr, "proto=https; for=\"192.0.2.1:8080\"", "192.0.2.1"},
      {nullptr, "for=_hidden", nullptr},
      {nullptr, "for=\"[2001:db8::1\"", nullptr},
      {nullptr, "by=192.0.2.1", nullptr},
      {nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::optional<std::string> client =
        ForwardedClient(c.xForwardedFor, c.forwarded);
    SCOPED_TRACE(std::string(c.xForwardedFor ? c.xForwardedFor : "-") + " / " +
                 (c.forwarded ? c.forwarded : "-"));
    if (c.client)
      EXPECT_EQ(client, std::optional<std::string>(c.client));
    else
      EXPECT_FALSE(client) << *client;
  }
}

}  // namespace
