#ifndef QOR_FUZZ_FUZZ_SUPPORT_H_
#define QOR_FUZZ_FUZZ_SUPPORT_H_

// Small pieces shared by the fuzz targets: a private scratch directory,
// failure reports, and the infodriver messages' wire form written and read
// independently of the code under test (so that a target can send what no
// well-behaved peer would, and check what it gets back).

#include <cstddef>
#include <cstdint>
#include <string>

namespace qor_fuzz {

// Prints |what| and aborts, which libFuzzer records as a crash.
[[noreturn]] void Fail(const std::string& what);

// Bytes as printable text, others as \xNN.
std::string Escaped(const std::string& bytes);

// A directory of this process under /dev/shm (or /tmp), mode 0700, named
// PREFIX_PID. Directories of the same prefix left by processes that are gone
// (libFuzzer may end without running destructors) are removed first.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// One infodriver message as it travels: a 24-byte header (message,
// sequence, wParam, lParam in host order) and the text's bytes.
struct WireMessage {
  uint32_t message = 0;
  uint32_t sequence = 0;
  int64_t wParam = 0;
  int64_t lParam = 0;
  std::string text;
};

// The first sequence number of a harness's own requests: far from those the
// infodriver and the link number theirs with (from 1), so that an answer can
// be told from a request.
constexpr uint32_t kHarnessFirstSequence = 0x40000000;

constexpr size_t kWireHeaderSize = 24;
constexpr size_t kWireTextMax = 1024;

// The wire bytes, whatever the text holds (NUL bytes and oversized texts
// included).
std::string Encode(const WireMessage& m);
// How a receiver must read |bytes|: false when the message is malformed
// (short, longer than the header and 1024 text bytes, or a NUL in its text).
bool Decode(const std::string& bytes, WireMessage* m);

// A slot's text as the infodriver keeps it: at most 255 bytes, ending at the
// first NUL.
std::string SlotTextOf(const std::string& text);

}  // namespace qor_fuzz

#endif  // QOR_FUZZ_FUZZ_SUPPORT_H_
