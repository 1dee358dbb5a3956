#include "metrics.h"

#include <cstdio>
#include <functional>
#include <map>
#include <set>

namespace {

struct Family {
  const char* name;
  const char* type;
  const char* help;
};

// The unit families, in the order they are written.
constexpr Family kUp = {"qor_mdu_up", "gauge",
                        "1 when the unit answers its driver and the driver "
                        "and infodriver are connected, else 0."};
constexpr Family kInfo = {"qor_mdu_info", "gauge",
                          "The unit's location, address, SNMP version and "
                          "security level (version 3 only); always 1."};
constexpr Family kTemperature = {"qor_mdu_temperature_celsius", "gauge",
                                 "The unit's temperature."};
constexpr Family kThreshold = {"qor_mdu_temperature_alarm_threshold_celsius",
                               "gauge",
                               "The temperature at which the unit alarms."};
constexpr Family kTemperatureAlarm = {
    "qor_mdu_temperature_alarm", "gauge",
    "1 while the unit reports a temperature alarm."};
constexpr Family kOutputOn = {"qor_mdu_output_on", "gauge",
                              "1 when the output is switched on."};
constexpr Family kOnDelay = {"qor_mdu_output_on_delay_seconds", "gauge",
                             "The output's delay before switching on."};
constexpr Family kGpiActive = {"qor_mdu_gpi_active", "gauge",
                               "1 while the GPI input is active (in alarm)."};
constexpr Family kFuseOk = {"qor_mdu_fuse_ok", "gauge",
                            "1 while the fuse is intact, 0 when blown."};
// The names people gave the points, as info series to join on: a name
// changed in the names file must not start new series of the values.
constexpr Family kOutputInfo = {
    "qor_mdu_output_info", "gauge",
    "The output's name and whether it is protected; always 1."};
constexpr Family kGpiInfo = {"qor_mdu_gpi_info", "gauge",
                             "The GPI input's name; always 1."};
constexpr Family kFuseInfo = {"qor_mdu_fuse_info", "gauge",
                              "The fuse's name; always 1."};
constexpr Family kInletInfo = {"qor_mdu_inlet_info", "gauge",
                               "The power inlet's name; always 1."};

void Header(std::string* out, const Family& family) {
  *out += "# HELP ";
  *out += family.name;
  *out += ' ';
  *out += family.help;
  *out += "\n# TYPE ";
  *out += family.name;
  *out += ' ';
  *out += family.type;
  *out += '\n';
}

std::string UnitLabels(const UnitState& unit) {
  return "site=\"" + EscapeLabelValue(unit.site) + "\",device=\"" +
         std::to_string(unit.device) + "\",unit=\"" +
         std::to_string(unit.unit) + "\"";
}

void Sample(std::string* out, const char* name, const std::string& labels,
            double value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.10g", value);
  *out += name;
  *out += '{';
  *out += labels;
  *out += "} ";
  *out += number;
  *out += '\n';
}

void Counter(std::string* out, const char* name, const char* help,
             uint64_t value) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += " counter\n";
  *out += name;
  *out += ' ';
  *out += std::to_string(value);
  *out += '\n';
}

void Gauge(std::string* out, const char* name, const char* help,
           uint64_t value) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += " gauge\n";
  *out += name;
  *out += ' ';
  *out += std::to_string(value);
  *out += '\n';
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

namespace {

// An info sample for each named point of |names| (and, for outputs, each
// protected one).
void RenderNameFamilies(std::string* out, const std::vector<UnitState>& units,
                        const std::vector<std::string>& labels) {
  auto named = [&](const Family& f, const char* label,
                   std::map<int, std::string> UnitNames::*of) {
    Header(out, f);
    for (size_t i = 0; i < units.size(); ++i) {
      if (!units[i].names) continue;
      const UnitNames& n = *units[i].names;
      std::set<int> numbers =
          of == &UnitNames::outputs ? n.protectedOutputs : std::set<int>();
      for (const auto& [number, name] : n.*of) numbers.insert(number);
      for (int number : numbers) {
        auto found = (n.*of).find(number);
        std::string l =
            labels[i] + "," + label + "=\"" + std::to_string(number) +
            "\",name=\"" +
            EscapeLabelValue(found == (n.*of).end() ? std::string()
                                                    : found->second) +
            "\"";
        if (of == &UnitNames::outputs)
          l += std::string(",protected=\"") +
               (n.protectedOutputs.count(number) ? "true" : "false") + "\"";
        Sample(out, f.name, l, 1);
      }
    }
  };
  named(kOutputInfo, "output", &UnitNames::outputs);
  named(kGpiInfo, "gpi", &UnitNames::gpis);
  named(kFuseInfo, "fuse", &UnitNames::fuses);
  named(kInletInfo, "inlet", &UnitNames::inlets);
}

// The text format wants each family's samples together, so every family
// walks all units.
void RenderUnitFamilies(std::string* outp,
                        const std::vector<UnitState>& units) {
  std::string& out = *outp;
  std::vector<std::string> labels;
  labels.reserve(units.size());
  for (const UnitState& unit : units) labels.push_back(UnitLabels(unit));

  auto family =
      [&](const Family& f,
          const std::function<void(const UnitState&, const std::string&)>&
              write) {
        Header(&out, f);
        for (size_t i = 0; i < units.size(); ++i) write(units[i], labels[i]);
      };
  family(kUp, [&](const UnitState& u, const std::string& l) {
    Sample(&out, kUp.name, l, u.answering() ? 1 : 0);
  });
  family(kInfo, [&](const UnitState& u, const std::string& l) {
    Sample(&out, kInfo.name,
           l + ",location=\"" + EscapeLabelValue(u.location) + "\",address=\"" +
               EscapeLabelValue(u.address) + "\",snmp_version=\"" +
               EscapeLabelValue(u.snmpVersion) + "\",security_level=\"" +
               EscapeLabelValue(u.snmpSecurityLevel) + "\"",
           1);
  });
  family(kTemperature, [&](const UnitState& u, const std::string& l) {
    if (u.temperatureCelsius)
      Sample(&out, kTemperature.name, l, *u.temperatureCelsius);
  });
  family(kThreshold, [&](const UnitState& u, const std::string& l) {
    if (u.temperatureAlarmPointCelsius)
      Sample(&out, kThreshold.name, l, *u.temperatureAlarmPointCelsius);
  });
  family(kTemperatureAlarm, [&](const UnitState& u, const std::string& l) {
    if (u.temperatureAlarm)
      Sample(&out, kTemperatureAlarm.name, l, *u.temperatureAlarm ? 1 : 0);
  });
  family(kOutputOn, [&](const UnitState& u, const std::string& l) {
    for (const OutputPoint& o : u.outputs)
      if (o.on)
        Sample(&out, kOutputOn.name,
               l + ",output=\"" + std::to_string(o.number) + "\"",
               *o.on ? 1 : 0);
  });
  family(kOnDelay, [&](const UnitState& u, const std::string& l) {
    for (const OutputPoint& o : u.outputs)
      if (o.onDelaySeconds)
        Sample(&out, kOnDelay.name,
               l + ",output=\"" + std::to_string(o.number) + "\"",
               *o.onDelaySeconds);
  });
  family(kGpiActive, [&](const UnitState& u, const std::string& l) {
    for (const GpiPoint& g : u.gpis)
      if (g.active)
        Sample(&out, kGpiActive.name,
               l + ",gpi=\"" + std::to_string(g.number) + "\"",
               *g.active ? 1 : 0);
  });
  family(kFuseOk, [&](const UnitState& u, const std::string& l) {
    for (const FusePoint& f : u.fuses)
      if (f.ok)
        Sample(&out, kFuseOk.name,
               l + ",fuse=\"" + std::to_string(f.number) + "\"", *f.ok ? 1 : 0);
  });
  RenderNameFamilies(&out, units, labels);
}

void RenderDevices(std::string* out, const std::vector<DeviceStatus>& devices) {
  Header(out, {"qor_web_device_connected", "gauge",
               "1 while the device's infodriver and driver are both "
               "connected."});
  for (const DeviceStatus& d : devices)
    Sample(out, "qor_web_device_connected",
           "site=\"" + EscapeLabelValue(d.site) + "\",device=\"" +
               std::to_string(d.device) + "\"",
           d.infodriverConnected && d.driverConnected ? 1 : 0);
  *out +=
      "# HELP qor_web_audit_write_failures_total Attempts to write a record "
      "of the device's audit trail that failed, as its infodriver counts "
      "them since it started.\n"
      "# TYPE qor_web_audit_write_failures_total counter\n";
  for (const DeviceStatus& d : devices)
    if (d.auditWriteFailures)
      Sample(out, "qor_web_audit_write_failures_total",
             "site=\"" + EscapeLabelValue(d.site) + "\",device=\"" +
                 std::to_string(d.device) + "\"",
             static_cast<double>(*d.auditWriteFailures));
}

void RenderCounters(std::string* outp, const UnitSource::Counters& source,
                    const WebCounters& web) {
  std::string& out = *outp;
  Counter(&out, "qor_web_slot_writes_total",
          "Slot writes received from the infodrivers.", source.slotWrites);
  Counter(&out, "qor_web_source_reconnects_total",
          "Connections made to the infodrivers.", source.reconnects);
  Counter(&out, "qor_web_control_requests_total",
          "Control requests passed on to the drivers.", source.controlRequests);
  Counter(&out, "qor_web_control_refused_total",
          "Control requests refused by the checks or by the driver.",
          source.controlRefused);
  Counter(&out, "qor_web_control_confirmed_total",
          "Control requests whose value the unit reported.",
          source.controlConfirmed);
  Counter(&out, "qor_web_control_not_confirmed_total",
          "Control requests the unit did not confirm in time.",
          source.controlNotConfirmed);
  Counter(&out, "qor_web_control_rejected_total",
          "Control requests turned away before reaching a driver (token, "
          "origin, body, path).",
          web.controlRejected);
  Counter(&out, "qor_web_http_requests_total", "HTTP requests answered.",
          web.httpRequests);
  Counter(&out, "qor_web_http_client_errors_total",
          "HTTP requests answered with a 4xx status.", web.httpClientErrors);
  Counter(&out, "qor_web_http_server_errors_total",
          "HTTP requests answered with a 5xx status.", web.httpServerErrors);
  Counter(&out, "qor_web_events_sent_total",
          "Events written to the pages' event streams.", web.eventsSent);
  Counter(&out, "qor_web_event_streams_dropped_total",
          "Event streams ended because the page fell behind.",
          web.eventStreamsDropped);
  Counter(&out, "qor_web_requests_cut_off_total",
          "Connections closed for not sending a whole request in time.",
          web.requestsCutOff);
  Gauge(&out, "qor_web_event_streams", "Event streams open now.",
        web.eventStreams);
}

}  // namespace

std::string RenderMetrics(const std::vector<UnitState>& units,
                          const std::vector<DeviceStatus>& devices,
                          const UnitSource::Counters& source,
                          const WebCounters& web) {
  std::string out;
  out.reserve(512 + units.size() * 6000);
  RenderUnitFamilies(&out, units);
  RenderDevices(&out, devices);
  RenderCounters(&out, source, web);
  return out;
}
