#ifndef QOR_TESTS_SUPPORT_MDU_LIKE_SUBTREE_H_
#define QOR_TESTS_SUPPORT_MDU_LIKE_SUBTREE_H_

// The objects of an MDU-like unit for the engine's integration test and
// benchmark: scalars, an alarm table and an output table under
// 1.3.6.1.4.1.6853, in OID order, as an snmpd agent serves them.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/snmpd_agent.h"

namespace engine_test {

inline std::vector<uint32_t> OidNumbers(const std::string& text) {
  std::vector<uint32_t> out;
  const char* p = text.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    out.push_back(static_cast<uint32_t>(std::strtoul(p, &end, 10)));
    p = *end == '.' ? end + 1 : end;
  }
  return out;
}

// 10 scalars, |alarmRows| rows of 6 columns and 12 outputs of 3 columns:
// 46 + 6 * alarmRows objects (19 rows give 160).
inline std::vector<qor_test::SnmpdObject> MduLikeSubtree(int alarmRows = 19) {
  const std::string base = "1.3.6.1.4.1.6853.";
  std::vector<qor_test::SnmpdObject> objects = {
      {base + "2.1.0", "octet_str", "MDU alarm agent"},
      {base + "2.4.0", "octet_str", "Rack 3", true},
      {base + "2.5.0", "integer", "45"},
      {base + "2.6.0", "integer", "55", true},
      {base + "3.1.1.0", "octet_str", "QOR MDU-12"},
      {base + "3.1.2.0", "octet_str", "Firmware 2.4.1"},
      {base + "3.1.3.0", "octet_str", "Serial 7731"},
      {base + "3.2.0", "integer", "2", true},
      {base + "3.3.0", "integer", "7", true},
      {base + "3.5.0", "octet_str", "Inlet A ok"},
  };
  for (int column = 1; column <= 6; ++column) {
    for (int row = 1; row <= alarmRows; ++row) {
      objects.push_back(
          {base + "2.2.1." + std::to_string(column) + "." + std::to_string(row),
           "integer", std::to_string((row + column) % 3)});
    }
  }
  for (int column = 1; column <= 3; ++column) {
    for (int row = 1; row <= 12; ++row) {
      objects.push_back(
          {base + "3.4.1." + std::to_string(column) + "." + std::to_string(row),
           "integer", std::to_string(column == 1 ? row : row % 2), true});
    }
  }
  std::sort(objects.begin(), objects.end(),
            [](const qor_test::SnmpdObject& a, const qor_test::SnmpdObject& b) {
              return OidNumbers(a.oid) < OidNumbers(b.oid);
            });
  return objects;
}

}  // namespace engine_test

#endif  // QOR_TESTS_SUPPORT_MDU_LIKE_SUBTREE_H_
