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
             "--idle-timeout", "10", "--site", "studio", "7"});
  ASSERT_EQ(line.outcome, Outcome::kRun) << line.error;
  EXPECT_EQ(line.web.address, "0.0.0.0");
  EXPECT_EQ(line.web.port, 9000);
  EXPECT_EQ(line.web.allowedHosts, std::vector<std::string>{"[::1]"});
  EXPECT_EQ(line.web.idleTimeoutSeconds, 10u);
  EXPECT_LE(line.web.keepaliveSeconds, 5u);  // before the idle timeout
  EXPECT_EQ(line.hub.site, "studio");
  EXPECT_EQ(line.hub.devices, std::vector<int>{7});
  EXPECT_FALSE(line.brokerMode());
}

}  // namespace
