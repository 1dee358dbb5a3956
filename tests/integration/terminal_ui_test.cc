// The status window in a real terminal: qor_mdu under tmux, driven with
// keys and read back from the screen.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "integration/e2e_support.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDevice = 42;

class TerminalUi : public testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/tmux", X_OK) != 0)
      GTEST_SKIP() << "tmux is not installed";
    root_ = fs::path("/tmp/qor_tui_" + std::to_string(getpid()));
    rig_ = StartOneUnitRig(root_, kDevice, "DebugMode=1\n");
    socket_ = "qor_tui_" + std::to_string(getpid());
    // tmux's socket goes in the test's own folder, which goes with the test.
    setenv("TMUX_TMPDIR", root_.c_str(), 1);
    ASSERT_FALSE(HasFailure());
  }
  void TearDown() override {
    Tmux({"kill-server"});
    rig_.infodriver.reset();
    rig_.agent.reset();
    fs::remove_all(root_);
  }
  std::string ini() const {
    return (root_ / "sys" / "config" / "system" / "dev_042.ini").string();
  }
  std::string Tmux(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-L", socket_};
    all.insert(all.end(), args.begin(), args.end());
    Process p("/usr/bin/tmux", all);
    p.Wait();
    return p.Stdout();
  }
  std::string Screen() { return Tmux({"capture-pane", "-p", "-t", "tui"}); }
  bool ScreenShows(const std::string& text) {
    return WaitFor([&] { return Screen().find(text) != std::string::npos; });
  }

  fs::path root_;
  std::string socket_;
  OneUnitRig rig_;
};

TEST_F(TerminalUi, PanelKeysMenuAndExit) {
  const std::string rc = (root_ / "rc").string();
  std::string command = "env";
  for (const auto& e : rig_.env) command += " " + e;
  command += " " + BinPath("qor_mdu") + " " + std::to_string(kDevice) +
             "; echo $? > " + rc;
  Tmux({"new-session", "-d", "-x", "120", "-y", "40", "-s", "tui", command});

  // Unit 1 is selected at start and its fields show once it answers.
  EXPECT_TRUE(ScreenShows("ZARN Comms"));
  EXPECT_TRUE(ScreenShows("IP: " + UnitAddress(1))) << Screen();
  EXPECT_TRUE(ScreenShows("Comms: OK")) << Screen();
  // The debug list under the panel shows the unit's lines as they come.
  EXPECT_TRUE(ScreenShows("1:")) << Screen();

  // Down selects unit 2, which is not configured.
  Tmux({"send-keys", "-t", "tui", "Down"});
  EXPECT_TRUE(ScreenShows("Comms: Not set")) << Screen();
  EXPECT_TRUE(ScreenShows("Type: in ini")) << Screen();

  // Debug > Hide: the switch is stored at once.
  Tmux({"send-keys", "-t", "tui", "M-e"});
  EXPECT_TRUE(ScreenShows("Hide")) << Screen();
  Tmux({"send-keys", "-t", "tui", "Down", "Enter"});
  EXPECT_TRUE(WaitFor([&] {
    return ReadFileText(ini()).find("DebugMode=0") != std::string::npos;
  })) << Screen();

  // F1 shows the About box, Enter closes it.
  Tmux({"send-keys", "-t", "tui", "F1"});
  EXPECT_TRUE(ScreenShows("ZARN Driver for qor_mdu")) << Screen();
  EXPECT_TRUE(ScreenShows("Version 1, 1, 1, 1  (1, 1, 1, 1)")) << Screen();
  Tmux({"send-keys", "-t", "tui", "Enter"});

  // A terminal too small for the panel shows what fits.
  Tmux({"resize-window", "-t", "tui", "-x", "30", "-y", "5"});
  EXPECT_TRUE(ScreenShows("ZARN Comms")) << Screen();
  Tmux({"resize-window", "-t", "tui", "-x", "120", "-y", "40"});

  // F10 ends the driver normally.
  Tmux({"send-keys", "-t", "tui", "F10"});
  EXPECT_TRUE(WaitFor([&] { return ReadFileText(rc) == "0\n"; }))
      << ReadFileText(rc);
}

}  // namespace
