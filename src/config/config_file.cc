#include "config/config_file.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "config/profile_file.h"
#include "platform/resources.h"

ConfigFile::ConfigFile(int deviceNumber, int stringId,
                       const ConfigLocations& locations) {
  char section[100];
  LoadStringResource(stringId, section, sizeof section);
  Init(deviceNumber, section, locations);
}

ConfigFile::ConfigFile(int deviceNumber, const char* section,
                       const ConfigLocations& locations) {
  std::string s = section ? section : "";
  if (s.size() > 99) s.resize(99);
  Init(deviceNumber, s, locations);
}

ConfigFile::~ConfigFile() = default;

void ConfigFile::Init(int deviceNumber, const std::string& section,
                      const ConfigLocations& locations) {
  section_ = section;
  fileName_ = FileNameFor(deviceNumber);
  systemDirectory_ = locations.systemDirectory;
  directory_ = ResolveDirectory(locations);
}

std::string ConfigFile::FileNameFor(int deviceNumber) {
  char name[32];
  std::snprintf(name, sizeof name, "dev_%03d.ini", deviceNumber);
  return name;
}

std::string ConfigFile::ResolveDirectory(const ConfigLocations& locations) {
  const char* root = std::getenv("QX_ROOT");
  const char* system = std::getenv("QX_SYSTEM");
  if (root && system)
    return std::string(root) + "/" + system + "/config/system";
  std::string configPath =
      GetProfileString(locations.locatorFile, "Config", "ConfigPath", "");
  if (!configPath.empty()) return configPath;
  return locations.systemDirectory;
}

std::string ConfigFile::path() const {
  // An empty directory means the bare file name, which is looked up in the
  // system directory.
  if (directory_.empty()) return systemDirectory_ + "/" + fileName_;
  return directory_ + "/" + fileName_;
}

const char* ConfigFile::get(const char* key, const char* defaultValue,
                            bool writeBack) {
  const std::string p = path();
  std::string value;
  bool present = ReadProfileValue(p, section_, key, &value);
  if (!present) {
    value = NormalizeProfileValue(defaultValue ? defaultValue : "");
    if (writeBack) WriteProfileString(p, section_, key, value);
  }
  valueBuffer_ = value;
  return valueBuffer_.c_str();
}

bool ConfigFile::set(const char* key, const char* value) {
  return WriteProfileString(path(), section_, key, value ? value : "");
}

int SettingToInt(const char* text) {
  if (!text) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + (*p++ - '0');
    if (v > static_cast<long long>(INT_MAX) + 1)
      v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<int>(v);
}
