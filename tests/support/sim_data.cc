#include "support/sim_data.h"

#include <fstream>
#include <sstream>

namespace qor_test {
namespace {

void ReplaceAll(std::string* text, const std::string& token,
                const std::string& value) {
  for (size_t at; (at = text->find(token)) != std::string::npos;)
    text->replace(at, token.size(), value);
}

}  // namespace

std::vector<SimObject> ReadSimObjects(const std::string& dataFile, int unit) {
  std::vector<SimObject> objects;
  std::ifstream in(dataFile);
  std::string line;
  // Ten units share a temperature cycle, as mdu_agent.sh gives them.
  const std::string temp = std::to_string(40 + (unit - 1) % 10);
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    SimObject o;
    fields >> o.oid >> o.access >> o.type;
    std::getline(fields, o.value);
    o.value.erase(0, o.value.find_first_not_of(' '));
    if (o.value.size() >= 2 && o.value.front() == '"' && o.value.back() == '"')
      o.value = o.value.substr(1, o.value.size() - 2);
    ReplaceAll(&o.value, "@UNIT@", std::to_string(unit));
    ReplaceAll(&o.value, "@TEMP@", temp);
    objects.push_back(std::move(o));
  }
  return objects;
}

std::map<std::string, std::string> SimValues(const std::string& dataFile,
                                             int unit) {
  std::map<std::string, std::string> values;
  for (const SimObject& o : ReadSimObjects(dataFile, unit))
    values[o.oid] = o.value;
  return values;
}

}  // namespace qor_test
