// The page in a real browser (tests/browser/page_test.mjs in headless
// chromium) against the real chain: forty simulated units, driver,
// infodriver and qor_web with named tokens and the device's names file.
#include <gtest/gtest.h>

#include <cstdio>

#include "integration/web/web_rig.h"
#include "support/process.h"

namespace {

constexpr int kDevice = 73;
constexpr int kUnits = 40;

std::string Sha256Hex(const std::string& text) {
  std::string command = "printf %s '" + text + "' | sha256sum";
  std::string out(64, '\0');
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "";
  size_t n = fread(out.data(), 1, out.size(), p);
  pclose(p);
  out.resize(n);
  return out;
}

TEST(WebBrowser, ShowsSwitchesAndRefusesInChromium) {
  WebRig rig(kDevice, kUnits);
  const std::string admin = "admin-token-93be10c4d2",
                    viewer = "viewer-token-5a1d7e3f08";
  rig.AddFile("tokens", "ops-anna admin " + Sha256Hex(admin) +
                            "\nwall viewer " + Sha256Hex(viewer) + "\n");
  rig.AddWebOptions({"--tokens-file", (rig.root() / "tokens").string()});
  rig.AddFile("sys/config/system/names_073.ini",
              "[QOR_MDU_1]\nOutput1=Router A\nOutput2=Core switch\n"
              "ProtectedOutputs=2\nGPI5=Door open\nFuse2=Feed B\n"
              "[QOR_MDU_3]\nGPI5=Door open\n",
              std::filesystem::perms::owner_read |
                  std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read |
                  std::filesystem::perms::others_read);
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  std::map<std::string, std::string> env = {
      {"QOR_WEB_URL", "http://127.0.0.1:" + std::to_string(rig.port()) + "/"},
      {"QOR_WEB_TOKEN", rig.token()},
      {"QOR_WEB_ADMIN_TOKEN", admin},
      {"QOR_WEB_VIEWER_TOKEN", viewer},
      {"QOR_WEB_UNITS", std::to_string(kUnits)},
      {"QOR_WEB_UNIT_HASH",
       "#unit/" + rig.site() + "/" + std::to_string(kDevice) + "/1"},
      {"QOR_WEB_TRAP", rig.trapCommand(2)},
      {"QOR_WEB_TRAP3", rig.trapCommand(3)},
      {"QOR_WEB_GET_OUTPUT", "snmpget -v2c -c webrig -Oqv -t 2 -r 2 " +
                                 UnitAddress(1) + " 1.3.6.1.4.1.6853.3.4.1.2."},
      {"QOR_WEB_PID", std::to_string(rig.web().pid())},
      {"QOR_WEB_COMMAND", rig.webCommand()},
      {"QOR_WEB_SCREENSHOTS", QOR_BROWSER_OUTPUT},
      {"NODE_PATH", QOR_BROWSER_MODULES},
      {"HOME", rig.root().string()},
  };
  qor_test::ToolResult result =
      qor_test::RunTool({QOR_NODE, QOR_BROWSER_SCRIPT}, 480000, env);
  EXPECT_EQ(result.exitCode, 0)
      << result.output << "\nqor_web: " << rig.web().Stderr();
  std::cout << result.output;
}

}  // namespace
