#ifndef QOR_CONFIG_CONFIG_FILE_H_
#define QOR_CONFIG_CONFIG_FILE_H_

#include <string>
#include <vector>

#include "config/profile_file.h"

// Where the control system keeps its configuration when the environment
// does not say: the locator file (section "Config", key "ConfigPath") and
// the system directory, the last resort. Tests point these at temporary
// files; the driver always uses the defaults.
struct ConfigLocations {
  std::string locatorFile = "/etc/zarn_config.ini";
  std::string systemDirectory = "/etc";
  // Where the files and the root variables are read and written.
  FileSystem* files = &TheFileSystem();
};

// One section of the device's settings file "dev_%03d.ini" in the
// configuration directory, which is worked out afresh for every object:
//   1. "QX_ROOT/QX_SYSTEM/config/system" when both variables exist (an empty
//      value counts as existing);
//   2. else ConfigPath from the locator file, used unchanged, when not empty;
//   3. else the system directory.
// Made on the stack for one group of reads or writes; nothing is cached.
// Directories and paths are used whole, whatever their length: shortening
// one would silently name another file.
class ConfigFile {
 public:
  // Section from the string table (the driver passes IDS_SECTION).
  ConfigFile(int deviceNumber, int stringId,
             const ConfigLocations& locations = ConfigLocations());
  ConfigFile(int deviceNumber, const char* section,
             const ConfigLocations& locations = ConfigLocations());
  virtual ~ConfigFile();

  // The key's value (default when missing), trimmed and at most 255
  // characters; valid until the next get on this object. With |writeBack|
  // a missing key is written with the value returned, so the file lists
  // every key the driver reads. A key that exists is left as it stands
  // (a value longer than 255 characters keeps its full text in the file).
  const char* get(const char* key, const char* defaultValue, bool writeBack);
  // Writes the key; false when the file cannot be written (nothing else
  // reports it: the driver carries on with the value it has).
  bool set(const char* key, const char* value);

  const std::string& directory() const { return directory_; }
  const std::string& section() const { return section_; }
  std::string path() const;

  static std::string ResolveDirectory(const ConfigLocations& locations);
  static std::string FileNameFor(int deviceNumber);

 private:
  void Init(int deviceNumber, const std::string& section,
            const ConfigLocations& locations);

  std::string directory_;
  std::string valueBuffer_;
  std::string section_;
  std::string fileName_;
  std::string systemDirectory_;
  FileSystem* files_ = &TheFileSystem();
};

// Holds back the writes of every ConfigFile made on this thread while it
// exists, and writes them when it ends (or on Commit): each settings file is
// rewritten once, with the content the writes one by one would have given,
// through the same temporary file and rename. Reads on this thread see the
// writes held back. Start-up reads its keys under one, so that a settings
// file lacking keys is rewritten once, not once per key.
//
// A batch made while another is active on the thread adds to that one.
class ConfigWriteBatch {
 public:
  ConfigWriteBatch();
  ~ConfigWriteBatch();
  ConfigWriteBatch(const ConfigWriteBatch&) = delete;
  ConfigWriteBatch& operator=(const ConfigWriteBatch&) = delete;

  // Writes what is held back; false when a file could not be written.
  bool Commit();

  // The batch active on this thread, or null.
  static ConfigWriteBatch* Active();
  void Add(const std::string& path, const std::string& section,
           const std::string& key, const std::string& value,
           FileSystem* files = &TheFileSystem());
  // The value held back for the key, if any (names match without regard
  // to case, as in the file).
  bool Find(const std::string& path, const std::string& section,
            const std::string& key, std::string* value) const;

 private:
  struct File {
    std::string path;
    std::vector<ProfileEdit> edits;
    FileSystem* files;
  };
  std::vector<File> files_;
  ConfigWriteBatch* outer_ = nullptr;
};

// Decimal integer of a setting: leading blanks, an optional sign, digits up
// to the first non-digit; no digits gives 0. Values beyond int saturate.
int SettingToInt(const char* text);

#endif  // QOR_CONFIG_CONFIG_FILE_H_
