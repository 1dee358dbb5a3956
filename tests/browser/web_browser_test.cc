// The page in a real browser (tests/browser/page_test.mjs in headless
// chromium) against the real chain: simulated units, driver, infodriver
// and qor_web.
#include <gtest/gtest.h>

#include "integration/web/web_rig.h"
#include "support/process.h"

namespace {

constexpr int kDevice = 73;

TEST(WebBrowser, ShowsSwitchesAndRefusesInChromium) {
  WebRig rig(kDevice, 3);
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  std::map<std::string, std::string> env = {
      {"QOR_WEB_URL", "http://127.0.0.1:" + std::to_string(rig.port()) + "/"},
      {"QOR_WEB_TOKEN", rig.token()},
      {"QOR_WEB_UNITS", "3"},
      {"QOR_WEB_UNIT_HASH",
       "#unit/" + rig.site() + "/" + std::to_string(kDevice) + "/1"},
      {"QOR_WEB_TRAP", rig.trapCommand(2)},
      {"QOR_WEB_GET_OUTPUT1", "snmpget -v2c -c webrig -Oqv -t 2 -r 2 " +
                                  UnitAddress(1) +
                                  " 1.3.6.1.4.1.6853.3.4.1.2.1"},
      {"QOR_WEB_SCREENSHOTS", QOR_BROWSER_OUTPUT},
      {"NODE_PATH", QOR_BROWSER_MODULES},
      {"HOME", rig.root().string()},
  };
  qor_test::ToolResult result =
      qor_test::RunTool({QOR_NODE, QOR_BROWSER_SCRIPT}, 240000, env);
  EXPECT_EQ(result.exitCode, 0)
      << result.output << "\nqor_web: " << rig.web().Stderr();
  std::cout << result.output;
}

}  // namespace
