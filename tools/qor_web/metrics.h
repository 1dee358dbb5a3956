#ifndef QOR_TOOLS_QOR_WEB_METRICS_H_
#define QOR_TOOLS_QOR_WEB_METRICS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "unitview/unit_source.h"
#include "unitview/unit_state.h"

// What the web process itself counts, for its own metrics.
struct WebCounters {
  uint64_t httpRequests = 0;
  uint64_t httpClientErrors = 0;     // answered 4xx
  uint64_t httpServerErrors = 0;     // answered 5xx
  uint64_t controlRequests = 0;      // POSTs that reached the source
  uint64_t controlRejected = 0;      // POSTs refused before (token, origin...)
  uint64_t eventsSent = 0;           // events written to page streams
  uint64_t eventStreamsDropped = 0;  // streams ended for falling behind
  uint64_t eventStreams = 0;         // open now
  uint64_t requestsCutOff = 0;       // connections too slow with a request
};

// The units, devices and counters in the Prometheus text format (0.0.4).
// Dashboards and alert rules depend on these names and labels; every unit
// metric carries site, device and unit. Points a unit does not report, and
// numbers it has not given, are left out rather than shown as 0. The names
// of a unit's points (UnitState::names) are info series of their own
// (qor_mdu_output_info{...,output,name,protected} and the like) to join on.
std::string RenderMetrics(const std::vector<UnitState>& units,
                          const std::vector<DeviceStatus>& devices,
                          const UnitSource::Counters& source,
                          const WebCounters& web);

// A label value escaped as the text format wants: backslash, double quote
// and line feed.
std::string EscapeLabelValue(std::string_view value);

#endif  // QOR_TOOLS_QOR_WEB_METRICS_H_
