#include "command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

CommandLine Parse(std::vector<std::string> args, BridgeSettings* s,
                  std::string* error) {
  args.insert(args.begin(), "qor_mqtt");
  return ParseCommandLine(args, s, error);
}

TEST(CommandLineTest, GoodLines) {
  BridgeSettings s;
  std::string error;
  ASSERT_EQ(Parse({"--broker", "mq.example:8883", "--site", "studio-a",
                   "--allow-control", "--allow-protected", "--settings",
                   "/x.ini", "1", "12"},
                  &s, &error),
            CommandLine::kRun)
      << error;
  EXPECT_EQ(s.host, "mq.example");
  EXPECT_EQ(s.port, 8883);
  EXPECT_EQ(s.site, "studio-a");
  EXPECT_TRUE(s.allowControl);
  EXPECT_TRUE(s.allowProtected);
  EXPECT_EQ(s.settingsFile, "/x.ini");
  EXPECT_EQ(s.devices, (std::vector<int>{1, 12}));

  BridgeSettings v6;
  ASSERT_EQ(Parse({"--broker", "[::1]:1883", "3"}, &v6, &error),
            CommandLine::kRun);
  EXPECT_EQ(v6.host, "::1");
  EXPECT_FALSE(v6.allowControl);  // off unless asked
  EXPECT_FALSE(v6.allowProtected);
  BridgeSettings help;
  EXPECT_EQ(Parse({"--broker", "x:1", "--help"}, &help, &error),
            CommandLine::kHelp);
}

TEST(CommandLineTest, BadLinesSayWhy) {
  const std::vector<std::vector<std::string>> bad = {
      {"1"},
      {"--broker", "host", "1"},
      {"--broker", "host:0", "1"},
      {"--broker", "host:65536", "1"},
      {"--broker", "host:80x", "1"},
      {"--broker", ":80", "1"},
      {"--broker", "h:1"},
      {"--broker", "h:1", "0"},
      {"--broker", "h:1", "1000"},
      {"--broker", "h:1", "x"},
      {"--broker", "h:1", "1", "1"},
      {"--broker", "h:1", "--frob", "1"},
      {"--broker", "h:1", "1", "--site"},
      {"--broker"},
  };
  for (const auto& args : bad) {
    BridgeSettings s;
    std::string error;
    EXPECT_EQ(Parse(args, &s, &error), CommandLine::kError) << args.back();
    EXPECT_FALSE(error.empty());
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qor_mqtt_settings_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text,
                    mode_t mode) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  fs::path dir_;
};

TEST_F(SettingsFileTest, CredentialsAndSiteFromTheFile) {
  std::string pw = Write("pw", "s3cret\nignored\n", 0600);
  BridgeSettings s;
  s.settingsFile = Write("b.ini",
                         "[MQTT]\nSite = plant-2\nUsername=bridge\n"
                         "KeepaliveSeconds=10\nReconnectMaxSeconds=5\n"
                         "PasswordFile=" +
                             pw + "\n",
                         0644);
  std::string error;
  ASSERT_TRUE(CompleteSettings(&s, &error)) << error;
  EXPECT_EQ(s.site, "plant-2");
  EXPECT_EQ(s.username, "bridge");
  EXPECT_EQ(s.password, "s3cret");
  MqttOptions o = MqttOptionsFor(s);
  EXPECT_EQ(o.willTopic, "qor/plant-2/status");
  EXPECT_EQ(o.willPayload, "offline");
  EXPECT_TRUE(o.willRetain);
  EXPECT_EQ(o.password, "s3cret");
  EXPECT_EQ(o.keepaliveSeconds, 10);
  EXPECT_EQ(o.reconnectMaxSeconds, 5);
}

TEST_F(SettingsFileTest, TheCommandLineSiteWins) {
  BridgeSettings s;
  s.site = "cli";
  s.siteFromCommandLine = true;
  s.settingsFile = Write("b.ini", "[MQTT]\nSite=file\n", 0644);
  std::string error;
  ASSERT_TRUE(CompleteSettings(&s, &error)) << error;
  EXPECT_EQ(s.site, "cli");
  EXPECT_EQ(MqttOptionsFor(s).keepaliveSeconds, 30);  // as before the key
  EXPECT_EQ(MqttOptionsFor(s).reconnectMaxSeconds, 30);
}

TEST_F(SettingsFileTest, TheDefaultSiteIsTheHostName) {
  BridgeSettings s;
  std::string error;
  ASSERT_TRUE(CompleteSettings(&s, &error)) << error;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(s.site, std::string(host).substr(0, std::string(host).find('.')));
}

TEST_F(SettingsFileTest, APasswordFileOthersCanReadIsRefused) {
  // A FIFO would block the start for ever.
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  BridgeSettings f;
  f.settingsFile =
      Write("b.ini", "[MQTT]\nUsername=u\nPasswordFile=" + fifo + "\n", 0644);
  std::string why;
  EXPECT_FALSE(CompleteSettings(&f, &why));
  EXPECT_NE(why.find("FIFO"), std::string::npos) << why;

  for (mode_t mode : {0640, 0604, 0644, 0620}) {
    std::string pw = Write("pw", "s3cret\n", mode);
    BridgeSettings s;
    s.settingsFile =
        Write("b.ini", "[MQTT]\nUsername=u\nPasswordFile=" + pw + "\n", 0644);
    std::string error;
    EXPECT_FALSE(CompleteSettings(&s, &error)) << std::oct << mode;
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    EXPECT_TRUE(s.password.empty());
  }
}

TEST_F(SettingsFileTest, OtherMistakesAreRefused) {
  std::string pw = Write("pw", "x\n", 0600);
  const std::vector<std::string> bad = {
      "[MQTT]\nPasswordFile=" + pw + "\n",                // no user
      "[MQTT]\nUsername=u\nPasswordFile=/nonexistent\n",  // missing
      "[MQTT]\nSite=a/b\n",                               // not a level
      "[MQTT]\nCAFile=/nonexistent/ca.pem\n",
      "[MQTT]\nCertFile=" + pw + "\n",  // without its key
      "[MQTT]\nKeepaliveSeconds=2\n",   // libmosquitto takes 5 at least
      "[MQTT]\nReconnectMaxSeconds=soon\n",
  };
  for (const std::string& text : bad) {
    BridgeSettings s;
    s.settingsFile = Write("b.ini", text, 0644);
    std::string error;
    EXPECT_FALSE(CompleteSettings(&s, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
  BridgeSettings missing;
  missing.settingsFile = (dir_ / "none.ini").string();
  std::string error;
  EXPECT_FALSE(CompleteSettings(&missing, &error));
}

}  // namespace
