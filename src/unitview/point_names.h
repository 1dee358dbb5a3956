#ifndef QOR_UNITVIEW_POINT_NAMES_H_
#define QOR_UNITVIEW_POINT_NAMES_H_

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The names people give a device's points, and the outputs they protect,
// from the device's names file, names_NNN.ini beside its settings file:
//
//   [QOR_MDU_3]
//   Output1=Rack 3 switch
//   GPI5=Door open
//   Fuse2=Feed B
//   Inlet1=Mains A
//   ProtectedOutputs=1, 4
//
// The driver neither reads nor writes it; the web server and the bridge
// read it and read it again when it changes.

// The names of one unit's points, by point number.
struct UnitNames {
  std::map<int, std::string> outputs;
  std::map<int, std::string> gpis;
  std::map<int, std::string> fuses;
  std::map<int, std::string> inlets;
  std::set<int> protectedOutputs;

  // The name of the point a control point or topic calls |point|
  // ("output/3", "output/3/on_delay", "gpi/5/polarity", "fuse/2", ...),
  // when it has one.
  std::optional<std::string> NameOf(std::string_view point) const;
  bool operator==(const UnitNames& other) const;
};

struct PointNames {
  std::map<int, UnitNames> units;  // by unit number, 1 to 40
  // One sentence a line that was left out: "line N: why".
  std::vector<std::string> problems;
};

// The longest name taken; a name is a label, not a description.
constexpr size_t kMaxPointNameBytes = 64;
// Inlets a name may be given to.
constexpr int kMaxInlets = 8;

// Parses a names file's text. A line that cannot be taken (an unknown
// section or key, a number out of range, a name that is empty, too long or
// not printable UTF-8, a key given twice) is left out and said in
// |problems|; the rest is used. Keys and sections match without regard to
// case, as in the settings file; ';' and '#' start comment lines.
PointNames ParsePointNames(std::string_view text);

// A names file as it is now: read again when it has changed since the last
// look. A file that is not there names nothing; its problems are said on
// standard error once each time it is read. Safe from any thread.
class NamesFile {
 public:
  explicit NamesFile(std::string path) : path_(std::move(path)) {}
  UnitNames Unit(int unit);
  const std::string& path() const { return path_; }

 private:
  const std::string path_;
  std::mutex mu_;
  struct timespec read_ = {-1, 0};  // guarded by mu_
  PointNames names_;                // guarded by mu_
};

// The names file of the device whose settings file is |settingsPath|.
std::string NamesFilePath(const std::string& settingsPath, int device);

#endif  // QOR_UNITVIEW_POINT_NAMES_H_
