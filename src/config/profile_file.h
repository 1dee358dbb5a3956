#ifndef QOR_CONFIG_PROFILE_FILE_H_
#define QOR_CONFIG_PROFILE_FILE_H_

#include <string>
#include <vector>

#include "platform/file_system.h"

// Reading and writing one key of a profile (ini) file: "[section]" lines
// open sections, "key=value" lines follow. Section and key names match
// without regard to case; the first matching section and the first matching
// key in it are the ones read and written. Values come back without
// surrounding blanks and at most 255 characters long.
//
// A write changes only the one line it concerns (or adds the key, or the
// section at the end): every other byte of the file, comments, blank lines,
// unknown sections, CR LF line ends and a missing final newline included,
// stays as it was. The new content goes to a temporary file in the same
// directory which is then renamed over the old one, so a crash or a full
// disk leaves either the old file or the new one, never half of one.
//
// Files are read and written through |fs|, the process's own unless a test
// gives another. Stateless; safe from any thread as long as two threads do not
// write the same file at once.

constexpr int kProfileValueMax = 255;

// Returns true and sets |value| when the key exists (an empty "key=" gives
// an empty value); false when the file, the section or the key is missing.
bool ReadProfileValue(const std::string& path, const std::string& section,
                      const std::string& key, std::string* value,
                      FileSystem& fs = TheFileSystem());

// A value as a read returns it: without surrounding blanks, at most 255
// characters.
std::string NormalizeProfileValue(const std::string& raw);

// GetPrivateProfileString: the value, or |defaultValue| when it is missing.
std::string GetProfileString(const std::string& path,
                             const std::string& section, const std::string& key,
                             const std::string& defaultValue,
                             FileSystem& fs = TheFileSystem());

// WritePrivateProfileString: creates the file, section and key as needed.
// Returns false when the file cannot be read or written; the old file is
// then untouched. A value is written on one line: CR and LF in it become
// blanks, since they would otherwise start a line of their own.
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value,
                        FileSystem& fs = TheFileSystem());

struct ProfileEdit {
  std::string section;
  std::string key;
  std::string value;
};

// The edits applied in order, as that many WriteProfileString calls would
// apply them, and the file rewritten once (or not at all when nothing
// changes). False when the file cannot be read or written; the old file is
// then untouched and none of the edits is made.
bool WriteProfileStrings(const std::string& path,
                         const std::vector<ProfileEdit>& edits,
                         FileSystem& fs = TheFileSystem());

#endif  // QOR_CONFIG_PROFILE_FILE_H_
