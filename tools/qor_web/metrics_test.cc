#include "metrics.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

UnitState Unit(int unit) {
  UnitSlots slots;
  slots[99] = "0";
  slots[98] = "Rack A\\1 \"east\"\nrow";
  slots[95] = "41";
  slots[96] = "47";
  slots[94] = "2";
  slots[41] = "1";
  slots[42] = "0";
  slots[81] = "15";
  slots[5] = "1";
  slots[25] = "0";
  slots[62] = "1";
  return DecodeUnit("lab", 3, unit, "127.0.1.7", slots);
}

// Each sample line with its value, so that cases read as the text does.
bool Has(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l))
    if (l == line) return true;
  return false;
}

TEST(MetricsTest, WritesEachPointOfEachUnitUnderItsName) {
  std::vector<UnitState> units = {Unit(2)};
  units[0].snmpVersion = "3";
  units[0].snmpSecurityLevel = "authPriv";
  units[0].names =
      UnitNames{{{1, "Rack \"A\" switch"}}, {{5, "Door"}}, {}, {}, {1}};
  UnitState away = Unit(4);
  away.live = false;
  units.push_back(away);
  DeviceStatus device;
  device.site = "lab";
  device.device = 3;
  device.auditWriteFailures = 4;
  DeviceStatus unknown = device;  // a broker's device: no trail here
  unknown.device = 5;
  unknown.auditWriteFailures.reset();
  std::string text = RenderMetrics(units, {device, unknown}, {}, {});
  EXPECT_EQ(text.find("qor_web_audit_write_failures_total{site=\"lab\","
                      "device=\"5\"}"),
            std::string::npos);
  const std::string u2 = "site=\"lab\",device=\"3\",unit=\"2\"";
  const char* expected[] = {
      "qor_mdu_up{site=\"lab\",device=\"3\",unit=\"2\"} 1",
      "qor_mdu_up{site=\"lab\",device=\"3\",unit=\"4\"} 0",
      "qor_mdu_temperature_celsius{site=\"lab\",device=\"3\",unit=\"2\"} 41",
      "qor_mdu_temperature_alarm_threshold_celsius{site=\"lab\",device=\"3\","
      "unit=\"2\"} 47",
      "qor_mdu_temperature_alarm{site=\"lab\",device=\"3\",unit=\"2\"} 1",
      "qor_mdu_output_on{site=\"lab\",device=\"3\",unit=\"2\",output=\"1\"} 1",
      "qor_mdu_output_on{site=\"lab\",device=\"3\",unit=\"2\",output=\"2\"} 0",
      "qor_mdu_output_on_delay_seconds{site=\"lab\",device=\"3\",unit=\"2\","
      "output=\"1\"} 1.5",
      "qor_mdu_gpi_active{site=\"lab\",device=\"3\",unit=\"2\",gpi=\"5\"} 1",
      "qor_mdu_fuse_ok{site=\"lab\",device=\"3\",unit=\"2\",fuse=\"2\"} 0",
      "qor_mdu_info{site=\"lab\",device=\"3\",unit=\"2\",location=\"Rack "
      "A\\\\1 \\\"east\\\"\\nrow\",address=\"127.0.1.7\",snmp_version=\"3\","
      "security_level=\"authPriv\"} 1",
      "qor_mdu_output_info{site=\"lab\",device=\"3\",unit=\"2\",output=\"1\","
      "name=\"Rack \\\"A\\\" switch\",protected=\"true\"} 1",
      "qor_mdu_gpi_info{site=\"lab\",device=\"3\",unit=\"2\",gpi=\"5\","
      "name=\"Door\"} 1",
      "qor_web_audit_write_failures_total{site=\"lab\",device=\"3\"} 4",
      "# TYPE qor_mdu_up gauge",
      "# TYPE qor_web_http_requests_total counter",
  };
  for (const char* line : expected) EXPECT_TRUE(Has(text, line)) << line;
  // Outputs the unit does not report are left out, not shown as off.
  EXPECT_EQ(text.find("output=\"3\""), std::string::npos);
  // Every family has its HELP and TYPE once, before its samples.
  EXPECT_EQ(text.find("# TYPE qor_mdu_output_on gauge"),
            text.rfind("# TYPE qor_mdu_output_on gauge"));
  EXPECT_LT(text.find("# TYPE qor_mdu_output_on gauge"),
            text.find("qor_mdu_output_on{"));
}

TEST(MetricsTest, EscapesLabelValues) {
  EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  EXPECT_EQ(EscapeLabelValue("plain"), "plain");
}

}  // namespace
