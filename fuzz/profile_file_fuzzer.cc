// The settings-file reader and writer on arbitrary file content: every key
// the content seems to hold is read, then one key is written with an
// arbitrary value. The write must keep every other line of the file as it
// was, every other key must read as before, and (for names the driver could
// use) the key written must read back as written.
//
// Files live in a private directory under /dev/shm (a fresh one per process)
// so that the atomic rewrite costs no disk I/O.

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/config_file.h"
#include "config/profile_file.h"
#include "fuzz/fuzz_support.h"

namespace {

using qor_fuzz::Escaped;

// What the failing run did, for the report.
struct Run {
  std::string section, key, value, before, after;
};
Run* current = nullptr;

[[noreturn]] void Fail(const std::string& what) {
  if (current != nullptr) {
    std::fprintf(stderr,
                 "  section '%s' key '%s' value '%s'\n  before '%s'\n  after  "
                 "'%s'\n",
                 Escaped(current->section).c_str(),
                 Escaped(current->key).c_str(), Escaped(current->value).c_str(),
                 Escaped(current->before).c_str(),
                 Escaped(current->after).c_str());
  }
  qor_fuzz::Fail("profile file: " + what);
}

const std::string& Directory() {
  static const qor_fuzz::ScratchDirectory dir("qor_profile_fuzz");
  return dir.path();
}

void Put(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Lines split at "\n", compared without the CRs at their ends: a last line
// without a line end gets one from the write, and a CR it ended with then
// reads as part of that line end.
std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t nl = s.find('\n', pos);
    size_t end = nl == std::string::npos ? s.size() : nl;
    std::string line = s.substr(pos, end - pos);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return lines;
}

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n\v\f";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x == 0 || y == 0) return false;
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// Section and key pairs that the content seems to hold: a rough look that
// only chooses what to ask the reader, not what it must answer.
std::vector<std::pair<std::string, std::string>> Candidates(
    const std::string& content) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string section;
  for (const std::string& line : Lines(content)) {
    std::string t = Trim(line);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      section = Trim(t.substr(
          1, close == std::string::npos ? std::string::npos : close - 1));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    pairs.emplace_back(section, key);
    if (pairs.size() >= 64) break;
  }
  return pairs;
}

// A name a driver would write: printable, no blanks at its ends, nothing
// that opens a section or ends a key.
bool UsableName(const std::string& name, bool isSection) {
  if (name.empty() || name != Trim(name)) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E || c == '=') return false;
    if (isSection && c == ']') return false;
  }
  return name[0] != '[' && name[0] != ';';
}

std::string OneLine(std::string value) {
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return value;
}

// The decimal reading of a setting: blanks, a sign, digits; saturated.
int ExpectedInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  long long v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + (text[i++] - '0');
    if (v > 1LL << 32) v = 1LL << 32;
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

void CheckValueForm(const std::string& value) {
  if (value.size() > static_cast<size_t>(kProfileValueMax))
    Fail("value longer than 255 characters");
  // Trimmed, then cut: only a cut value may end in a blank.
  if (!value.empty() && Trim(value.substr(0, 1)).empty())
    Fail("value with leading blanks");
  if (value.size() < static_cast<size_t>(kProfileValueMax) &&
      value != Trim(value))
    Fail("value with trailing blanks");
  if (SettingToInt(value.c_str()) != ExpectedInt(value.c_str()))
    Fail("SettingToInt of '" + value + "'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string section = in.ConsumeRandomLengthString(40);
  std::string key = in.ConsumeRandomLengthString(40);
  std::string value = in.ConsumeRandomLengthString(400);
  const bool fileExists = in.ConsumeProbability<float>() > 0.05f;
  const std::string content = in.ConsumeRemainingBytesAsString();

  Run run{section, key, value, fileExists ? content : std::string(), ""};
  current = &run;
  const std::string path = Directory() + "/dev_001.ini";
  std::remove(path.c_str());
  if (fileExists) Put(path, content);
  const std::string before = fileExists ? content : std::string();

  // Every key it seems to hold, read before the write.
  std::vector<std::pair<std::string, std::string>> pairs = Candidates(before);
  std::vector<std::pair<bool, std::string>> values;
  for (const auto& [s, k] : pairs) {
    std::string v;
    bool found = ReadProfileValue(path, s, k, &v);
    if (found) CheckValueForm(v);
    values.emplace_back(found, v);
    std::string got = GetProfileString(path, s, k, "dflt");
    if (got != (found ? v : std::string("dflt")))
      Fail("GetProfileString differs from ReadProfileValue");
  }
  {
    std::string v;
    if (ReadProfileValue(path, section, key, &v)) CheckValueForm(v);
  }

  if (!WriteProfileString(path, section, key, value))
    Fail("write failed in a writable directory");
  const std::string after = Content(path);
  run.after = after;

  // Nothing but the one key line (or the lines added for it) changes.
  const std::vector<std::string> old = Lines(before);
  const std::vector<std::string> now = Lines(after);
  if (now.size() == old.size()) {
    size_t differing = 0;
    for (size_t i = 0; i < old.size(); ++i) {
      if (old[i] == now[i]) continue;
      ++differing;
      size_t eq = old[i].find('=');
      if (eq == std::string::npos ||
          now[i].compare(0, eq + 1, old[i], 0, eq + 1) != 0)
        Fail("a line other than the key's value changed");
    }
    if (differing > 1) Fail("more than one line changed");
  } else {
    size_t added = 2;
    for (char c : section + key) added += c == '\n';
    if (now.size() < old.size() || now.size() - old.size() > added)
      Fail("lines lost or too many added");
    size_t j = 0;
    for (const std::string& line : old) {
      while (j < now.size() && now[j] != line) ++j;
      if (j == now.size()) Fail("an old line is gone: '" + line + "'");
      ++j;
    }
  }
  // A file that ended its last line keeps ending it.
  if (!before.empty() && before.back() == '\n' &&
      (after.empty() || after.back() != '\n'))
    Fail("final line end lost");

  const bool usable = UsableName(section, true) && UsableName(key, false);
  if (usable) {
    std::string v;
    if (!ReadProfileValue(path, section, key, &v))
      Fail("the key written cannot be read back");
    if (v != NormalizeProfileValue(OneLine(value)))
      Fail("the key written reads back as '" + v + "'");
  }
  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto& [s, k] = pairs[i];
    if (SameNameIgnoringCase(s, section) && SameNameIgnoringCase(k, key))
      continue;
    if (!usable) continue;  // odd names may shadow what follows them
    std::string v;
    bool found = ReadProfileValue(path, s, k, &v);
    if (found != values[i].first || v != values[i].second)
      Fail("key '" + k + "' of section '" + s + "' changed by the write");
  }
  current = nullptr;
  return 0;
}
