#ifndef QOR_TESTS_SUPPORT_SIM_DATA_H_
#define QOR_TESTS_SUPPORT_SIM_DATA_H_

#include <map>
#include <string>
#include <vector>

namespace qor_test {

// One object of the simulated unit's data file (sim/mdu.data).
struct SimObject {
  std::string oid;
  std::string access;  // "ro" or "rw"
  std::string type;    // "integer" or "octet_str"
  std::string value;   // as the agent serves it
};

// The objects |dataFile| makes unit |unit| serve, in the file's order, with
// their values as mdu_agent.sh hands them to snmpd: the quotes of a text
// removed, @UNIT@ and @TEMP@ filled in. Empty when the file cannot be read.
std::vector<SimObject> ReadSimObjects(const std::string& dataFile, int unit);

// The same values by OID.
std::map<std::string, std::string> SimValues(const std::string& dataFile,
                                             int unit);

}  // namespace qor_test

#endif  // QOR_TESTS_SUPPORT_SIM_DATA_H_
