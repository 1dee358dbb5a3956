#include "config/profile_file.h"

#include <errno.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Line {
  std::string text;  // without its line end
  std::string eol;   // "\n", "\r\n", or "" for a last line without one
};

enum class ReadResult { kOk, kMissing, kError };

ReadResult ReadWholeFile(FileSystem& fs, const std::string& path,
                         std::string* content) {
  const int error = fs.ReadAll(path, content);
  if (error == 0) return ReadResult::kOk;
  content->clear();
  return error == ENOENT ? ReadResult::kMissing : ReadResult::kError;
}

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back({content.substr(pos), ""});
      break;
    }
    size_t end = nl;
    std::string eol = "\n";
    if (end > pos && content[end - 1] == '\r') {
      --end;
      eol = "\r\n";
    }
    lines.push_back({content.substr(pos, end - pos), eol});
    pos = nl + 1;
  }
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         strncasecmp(a.data(), b.data(), a.size()) == 0 &&
         a.find('\0') == std::string::npos;
}

// The section name of a "[name]" line, or false for any other line.
bool SectionName(const std::string& text, std::string* name) {
  std::string t = Trim(text);
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  *name = Trim(
      t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

// The key and the raw value of a "key=value" line; comments (";") and lines
// without "=" are not keys.
bool KeyLine(const std::string& text, std::string* key, std::string* value) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) return false;
  std::string k = Trim(text.substr(0, eq));
  if (k.empty() || k[0] == ';') return false;
  *key = k;
  if (value) *value = text.substr(eq + 1);
  return true;
}

// Index range [begin, end) of the body of the first section named
// |section|, with begin the header line; false when absent.
bool FindSection(const std::vector<Line>& lines, const std::string& section,
                 size_t* header, size_t* end) {
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (!SectionName(lines[i].text, &name) || !SameName(name, section))
      continue;
    size_t j = i + 1;
    std::string other;
    while (j < lines.size() && !SectionName(lines[j].text, &other)) ++j;
    *header = i;
    *end = j;
    return true;
  }
  return false;
}

bool FindKey(const std::vector<Line>& lines, size_t begin, size_t end,
             const std::string& key, size_t* at, std::string* rawValue) {
  for (size_t i = begin; i < end; ++i) {
    std::string k;
    if (KeyLine(lines[i].text, &k, rawValue) && SameName(k, key)) {
      *at = i;
      return true;
    }
  }
  return false;
}

std::string OneLine(const std::string& value) {
  std::string v = value;
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return v;
}

}  // namespace

bool ReadProfileValue(const std::string& path, const std::string& section,
                      const std::string& key, std::string* value,
                      FileSystem& fs) {
  std::string content;
  if (ReadWholeFile(fs, path, &content) != ReadResult::kOk) return false;
  std::vector<Line> lines = SplitLines(content);
  size_t header, end, at;
  std::string raw;
  if (!FindSection(lines, section, &header, &end)) return false;
  if (!FindKey(lines, header + 1, end, key, &at, &raw)) return false;
  *value = NormalizeProfileValue(raw);
  return true;
}

std::string GetProfileString(const std::string& path,
                             const std::string& section, const std::string& key,
                             const std::string& defaultValue, FileSystem& fs) {
  std::string value;
  if (ReadProfileValue(path, section, key, &value, fs)) return value;
  return NormalizeProfileValue(defaultValue);
}

std::string NormalizeProfileValue(const std::string& raw) {
  std::string v = Trim(raw);
  if (v.size() > kProfileValueMax) v.resize(kProfileValueMax);
  return v;
}

namespace {

// One write applied to the lines of a file, as WritePrivateProfileString
// would apply it to the file itself.
void ApplyEdit(std::vector<Line>& lines, const ProfileEdit& edit) {
  const std::string eol =
      !lines.empty() && !lines[0].eol.empty() ? lines[0].eol : "\n";
  const std::string& section = edit.section;
  const std::string& key = edit.key;
  const std::string newValue = OneLine(edit.value);

  size_t header, end, at;
  std::string raw;
  if (FindSection(lines, section, &header, &end)) {
    if (FindKey(lines, header + 1, end, key, &at, &raw)) {
      std::string& text = lines[at].text;
      text = text.substr(0, text.find('=') + 1) + newValue;
    } else {
      // After the section's last non-blank line, so blank separator lines
      // stay between this section and the next.
      size_t after = end;
      while (after > header + 1 && Trim(lines[after - 1].text).empty()) --after;
      Line added{key + "=" + newValue, eol};
      if (lines[after - 1].eol.empty()) {
        lines[after - 1].eol = eol;
        added.eol = "";
      }
      lines.insert(lines.begin() + static_cast<long>(after), added);
    }
  } else {
    if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
    lines.push_back({"[" + section + "]", eol});
    lines.push_back({key + "=" + newValue, eol});
  }
}

}  // namespace

bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value,
                        FileSystem& fs) {
  return WriteProfileStrings(path, {ProfileEdit{section, key, value}}, fs);
}

bool WriteProfileStrings(const std::string& path,
                         const std::vector<ProfileEdit>& edits,
                         FileSystem& fs) {
  std::string content;
  ReadResult r = ReadWholeFile(fs, path, &content);
  if (r == ReadResult::kError) return false;
  std::vector<Line> lines = SplitLines(content);
  for (const ProfileEdit& edit : edits) ApplyEdit(lines, edit);

  std::string out;
  out.reserve(content.size() + 64 * edits.size() + 16);
  for (const Line& l : lines) out += l.text + l.eol;
  if (r == ReadResult::kOk && out == content) return true;
  return fs.Replace(path, out) == 0;
}
