#include "infodriver/server/audit_trail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "infodriver/infodriver_protocol.h"
#include "infodriver/server/control_audit.h"
#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class AuditTrailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qor_audit_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<AuditTrail> Trail(FileSystem* fs = nullptr) {
    AuditTrail::Options o;
    o.directory = dir_;
    o.device = 3;
    o.keepDays = 2;
    o.fs = fs;
    return std::make_unique<AuditTrail>(o);
  }
  std::vector<json> Records() {
    std::vector<json> records;
    std::map<std::string, uint64_t> offsets;
    std::string error;
    EXPECT_TRUE(ReadAuditTrail(
        dir_, 3, "0000", &offsets,
        [&](const std::string& line) { records.push_back(json::parse(line)); },
        &error));
    return records;
  }
  std::string dir_;
};

// Every way a request can end is one line, and each later outcome is a
// further line with the same request.
TEST_F(AuditTrailTest, EachOutcomeIsALineOfItsRequest) {
  ControlAudit audit(3, Trail(), dir_ + "/names_003.ini");
  std::ofstream(dir_ + "/names_003.ini") << "[QOR_MDU_2]\nOutput3=Feed\n";
  const ControlPeer peer{0, 42};
  ControlAttribution web{"web", "ops-anna", "192.0.2.7", "17"};
  // Unit 2's output 3 is slot 143; its on-delay slot 183.
  uint64_t sent = audit.Requested(peer, web, 143, "1", "0");
  uint64_t shown = audit.Requested(peer, std::nullopt, 143, "1", "0");
  uint64_t silent = audit.Requested(peer, std::nullopt, 183, "50", "0");
  uint64_t refused = audit.Requested(peer, std::nullopt, 143, "0", "1");
  uint64_t expired = audit.Requested(peer, std::nullopt, 143, "0", "1");
  audit.Sent(sent, "0", 1000);
  audit.Sent(shown, "1", 1000);
  audit.Sent(silent, "0", 1000);
  audit.Refused(refused, "the driver refused it");
  audit.Expired(expired, "too late");
  audit.SlotWritten(143, "1");
  audit.Tick(1000 + kControlDeadlineMs - 1);
  audit.SlotWritten(183, "49");  // not the value asked for
  audit.Tick(1000 + kControlDeadlineMs);
  auto slotText = [](int slot) { return std::string(slot == 143 ? "1" : ""); };
  EXPECT_TRUE(audit.ClientRefusal(
      peer,
      R"({"via":"web","who":"wall","from":"192.0.2.8","unit":2,)"
      R"("point":"output/3","value":"0","reason":"a viewer"})",
      slotText));
  EXPECT_TRUE(audit.ClientRefusal(
      peer, R"({"via":"mqtt","unit":2,"point":"output/3","outcome":"expired"})",
      slotText));
  EXPECT_FALSE(audit.ClientRefusal(peer, R"({"via":"infoctl"})"));
  audit.trail().Flush();

  std::vector<std::pair<uint64_t, std::string>> outcomes;
  for (const json& r : Records())
    outcomes.push_back({r.value("request", uint64_t{0}), r["outcome"]});
  const std::vector<std::pair<uint64_t, std::string>> expected = {
      {sent, "sent"},           {shown, "sent"},
      {shown, "confirmed"},     {silent, "sent"},
      {refused, "refused"},     {expired, "expired"},
      {sent, "confirmed"},      {silent, "not confirmed"},
      {expired + 1, "refused"}, {expired + 2, "expired"}};
  EXPECT_EQ(outcomes, expected);
  EXPECT_EQ(Records()[8]["previous"], "1");  // the slot's text when refused
  const json first = Records()[0];
  EXPECT_EQ(first["via"], "web");
  EXPECT_EQ(first["who"], "ops-anna");
  EXPECT_EQ(first["from"], "192.0.2.7");
  EXPECT_EQ(first["point"], "output/3");
  EXPECT_EQ(first["name"], "Feed");
  EXPECT_EQ(first["previous"], "0");
  EXPECT_EQ(first["client_request"], "17");
  EXPECT_EQ(first["peer"], "root (uid 0, pid 42)");
}

// A full disk holds nothing up: records wait, are counted, and when the
// disk has room again a gap record says what happened before they follow.
TEST_F(AuditTrailTest, AFullDiskIsCountedAndLeavesAGapRecord) {
  FaultInjectingFileSystem faulty;
  std::unique_ptr<AuditTrail> trail = Trail(&faulty);
  faulty.FailAppend(ENOSPC);
  trail->Record({{"request", 1}, {"outcome", "sent"}});
  trail->Record({{"request", 2}, {"outcome", "refused"}});
  while (trail->writeFailures() == 0) usleep(10000);
  faulty.FailAppend(0);
  trail->Flush();
  std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["outcome"], "gap");
  EXPECT_NE(records[0]["reason"].get<std::string>().find("No space left"),
            std::string::npos);
  EXPECT_EQ(records[1]["request"], 1);
  EXPECT_EQ(records[2]["request"], 2);
}

// Files older than the days kept go; the others, and other files, stay.
TEST_F(AuditTrailTest, PrunesOnlyItsOwnOldFiles) {
  const time_t now = time(nullptr);
  const std::string old = AuditTrail::FileName(3, now - 3 * 86400);
  const std::string kept = AuditTrail::FileName(3, now - 1 * 86400);
  const std::string other = AuditTrail::FileName(4, now - 30 * 86400);
  for (const std::string& name : {old, kept, other})
    std::ofstream(dir_ + "/" + name) << "{}\n";
  Trail()->Record({{"request", 1}});
  EXPECT_FALSE(fs::exists(dir_ + "/" + old));
  EXPECT_TRUE(fs::exists(dir_ + "/" + kept));
  EXPECT_TRUE(fs::exists(dir_ + "/" + other));
  EXPECT_EQ(ParseAuditSince("2026-12-09T14:05Z"), "2026-12-09T14:05");
  EXPECT_EQ(ParseAuditSince("2026-12-9"), std::nullopt);
  EXPECT_EQ(ParseAuditSince("2026-12-09T1"), std::nullopt);
}

}  // namespace
