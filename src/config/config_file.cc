#include "config/config_file.h"

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

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
  files_ = locations.files ? locations.files : &TheFileSystem();
  directory_ = ResolveDirectory(locations);
}

std::string ConfigFile::FileNameFor(int deviceNumber) {
  char name[32];
  std::snprintf(name, sizeof name, "dev_%03d.ini", deviceNumber);
  return name;
}

std::string ConfigFile::ResolveDirectory(const ConfigLocations& locations) {
  FileSystem& files = locations.files ? *locations.files : TheFileSystem();
  if (const std::optional<std::string> root = SystemRootDirectory(files))
    return *root + "/config/system";
  std::string configPath = GetProfileString(locations.locatorFile, "Config",
                                            "ConfigPath", "", files);
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
  ConfigWriteBatch* batch = ConfigWriteBatch::Active();
  bool present = batch && batch->Find(p, section_, key, &value);
  if (present) {
    value = NormalizeProfileValue(value);
  } else {
    present = ReadProfileValue(p, section_, key, &value, *files_);
  }
  if (!present) {
    value = NormalizeProfileValue(defaultValue ? defaultValue : "");
    if (writeBack) {
      if (batch) {
        batch->Add(p, section_, key, value, files_);
      } else {
        WriteProfileString(p, section_, key, value, *files_);
      }
    }
  }
  valueBuffer_ = value;
  return valueBuffer_.c_str();
}

bool ConfigFile::set(const char* key, const char* value) {
  if (ConfigWriteBatch* batch = ConfigWriteBatch::Active()) {
    batch->Add(path(), section_, key, value ? value : "", files_);
    return true;
  }
  return WriteProfileString(path(), section_, key, value ? value : "", *files_);
}

namespace {
thread_local ConfigWriteBatch* t_activeBatch = nullptr;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

ConfigWriteBatch::ConfigWriteBatch() : outer_(t_activeBatch) {
  if (!outer_) t_activeBatch = this;
}

ConfigWriteBatch::~ConfigWriteBatch() {
  if (outer_) return;
  Commit();
  t_activeBatch = nullptr;
}

ConfigWriteBatch* ConfigWriteBatch::Active() { return t_activeBatch; }

void ConfigWriteBatch::Add(const std::string& path, const std::string& section,
                           const std::string& key, const std::string& value,
                           FileSystem* files) {
  if (outer_) {
    outer_->Add(path, section, key, value, files);
    return;
  }
  for (File& f : files_) {
    if (f.path == path && f.files == files) {
      f.edits.push_back(ProfileEdit{section, key, value});
      return;
    }
  }
  files_.push_back(File{path, {ProfileEdit{section, key, value}}, files});
}

bool ConfigWriteBatch::Find(const std::string& path, const std::string& section,
                            const std::string& key, std::string* value) const {
  if (outer_) return outer_->Find(path, section, key, value);
  for (const File& f : files_) {
    if (f.path != path) continue;
    for (auto e = f.edits.rbegin(); e != f.edits.rend(); ++e) {
      if (SameName(e->section, section) && SameName(e->key, key)) {
        *value = e->value;
        return true;
      }
    }
  }
  return false;
}

bool ConfigWriteBatch::Commit() {
  if (outer_) return true;
  bool ok = true;
  for (const File& f : files_)
    if (!WriteProfileStrings(f.path, f.edits, *f.files)) ok = false;
  files_.clear();
  return ok;
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
