#include "unitview/point_names.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "mdu/unit_layout.h"
#include "platform/file_system.h"
#include "platform/printable.h"
#include "unitview/control_point.h"

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// A decimal number 1 to |max| that is the whole of |text|.
std::optional<int> Number(std::string_view text, int max) {
  if (text.empty() || text.size() > 3 || text.front() == '0')
    return std::nullopt;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > max) return std::nullopt;
  return n;
}

struct Kind {
  const char* key;  // lower case, without the number
  int count;
  std::map<int, std::string> UnitNames::*names;
};
const Kind kKinds[] = {
    {"output", mdu::kOutputCount, &UnitNames::outputs},
    {"gpi", mdu::kGpiCount, &UnitNames::gpis},
    {"fuse", mdu::kFuseCount, &UnitNames::fuses},
    {"inlet", kMaxInlets, &UnitNames::inlets},
};

// "1, 4 7": the output numbers of a ProtectedOutputs line; false with
// |why| when one is not an output.
bool ParseOutputList(std::string_view text, std::set<int>* outputs,
                     std::string* why) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != ',') ++i;
    if (i == start) break;
    std::string_view word = text.substr(start, i - start);
    std::optional<int> n = Number(word, mdu::kOutputCount);
    if (!n) {
      *why = "\"" + Printable(word, 16) + "\" is not an output (1 to " +
             std::to_string(mdu::kOutputCount) + ")";
      return false;
    }
    outputs->insert(*n);
  }
  return true;
}

class Parser {
 public:
  PointNames Parse(std::string_view text) {
    size_t number = 0;
    while (!text.empty()) {
      ++number;
      size_t end = text.find('\n');
      std::string_view line = Trim(text.substr(0, end));
      text = end == std::string_view::npos ? std::string_view()
                                           : text.substr(end + 1);
      if (line.empty() || line.front() == ';' || line.front() == '#') continue;
      std::string why = line.front() == '[' ? Section(line) : Key(line);
      if (!why.empty())
        names_.problems.push_back("line " + std::to_string(number) + ": " +
                                  why);
    }
    return std::move(names_);
  }

 private:
  std::string Section(std::string_view line) {
    unit_ = nullptr;
    if (line.back() != ']') return "a section line must end with ']'";
    std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
    constexpr std::string_view kPrefix = "qor_mdu_";
    std::optional<int> n;
    if (name.rfind(kPrefix, 0) == 0)
      n = Number(std::string_view(name).substr(kPrefix.size()),
                 mdu::kUnitCount);
    if (!n)
      return "\"" + Printable(line, 40) +
             "\" is no unit's section: [QOR_MDU_1] to [QOR_MDU_40]";
    unit_ = &names_.units[*n];
    return "";
  }

  std::string Key(std::string_view line) {
    size_t equals = line.find('=');
    if (equals == std::string_view::npos)
      return "wants KEY=NAME or a [QOR_MDU_n] section";
    if (!unit_) return "a name before any [QOR_MDU_n] section";
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (!seen_.insert({unit_, key}).second)
      return "\"" + Printable(key, 40) +
             "\" is given twice in this section; the first is kept";
    if (key == "protectedoutputs") {
      std::set<int> outputs;
      std::string why;
      if (!ParseOutputList(value, &outputs, &why)) return why;
      unit_->protectedOutputs = std::move(outputs);
      return "";
    }
    for (const Kind& kind : kKinds) {
      const std::string_view prefix = kind.key;
      if (key.rfind(prefix, 0) != 0) continue;
      std::optional<int> n =
          Number(std::string_view(key).substr(prefix.size()), kind.count);
      if (!n)
        return "\"" + Printable(key, 40) + "\": " + kind.key +
               " numbers are 1 to " + std::to_string(kind.count);
      if (value.empty()) return "the name of " + key + " is empty";
      if (value.size() > kMaxPointNameBytes || !PrintableText(value))
        return "the name of " + key + " is not printable UTF-8 of at most " +
               std::to_string(kMaxPointNameBytes) + " bytes";
      (unit_->*kind.names)[*n] = std::string(value);
      return "";
    }
    return "\"" + Printable(key, 40) +
           "\" is not OutputN, GPIN, FuseN, InletN or ProtectedOutputs";
  }

  PointNames names_;
  UnitNames* unit_ = nullptr;
  std::set<std::pair<UnitNames*, std::string>> seen_;
};

}  // namespace

std::optional<std::string> UnitNames::NameOf(std::string_view point) const {
  size_t slash = point.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view kind = point.substr(0, slash);
  std::string_view rest = point.substr(slash + 1);
  std::string_view number = rest.substr(0, rest.find('/'));
  for (const Kind& k : kKinds) {
    if (kind != k.key) continue;
    std::optional<int> n = Number(number, k.count);
    if (!n) return std::nullopt;
    const auto& names = this->*k.names;
    auto found = names.find(*n);
    if (found == names.end()) return std::nullopt;
    return found->second;
  }
  return std::nullopt;
}

bool UnitNames::operator==(const UnitNames& o) const {
  return outputs == o.outputs && gpis == o.gpis && fuses == o.fuses &&
         inlets == o.inlets && protectedOutputs == o.protectedOutputs;
}

PointNames ParsePointNames(std::string_view text) {
  return Parser().Parse(text);
}

UnitNames NamesFile::Unit(int unit) {
  struct stat st {};
  struct timespec time = {-2, 0};
  if (stat(path_.c_str(), &st) == 0) time = st.st_mtim;
  std::lock_guard<std::mutex> lock(mu_);
  if (time.tv_sec != read_.tv_sec || time.tv_nsec != read_.tv_nsec) {
    read_ = time;
    names_ = PointNames();
    std::string text;
    if (TheFileSystem().ReadAll(path_, &text) == 0) {
      names_ = ParsePointNames(text);
      for (const std::string& problem : names_.problems)
        std::fprintf(stderr, "%s %s; that line is left out\n", path_.c_str(),
                     problem.c_str());
    }
  }
  auto it = names_.units.find(unit);
  return it == names_.units.end() ? UnitNames() : it->second;
}

std::string NamesFilePath(const std::string& settingsPath, int device) {
  char name[32];
  std::snprintf(name, sizeof name, "names_%03d.ini", device);
  const size_t slash = settingsPath.rfind('/');
  return slash == std::string::npos ? std::string(name)
                                    : settingsPath.substr(0, slash + 1) + name;
}
