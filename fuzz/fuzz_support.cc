#include "fuzz/fuzz_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace qor_fuzz {

void Fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  const char* base = fs::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(base, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix + "_", 0) != 0) continue;
    const long pid = std::atol(name.c_str() + prefix.size() + 1);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      fs::remove_all(entry.path(), ignored);
  }
  path_ = std::string(base) + "/" + prefix + "_" + std::to_string(getpid());
  fs::remove_all(path_, ignored);
  fs::create_directories(path_);
  chmod(path_.c_str(), 0700);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string Encode(const WireMessage& m) {
  std::string out(kWireHeaderSize, '\0');
  std::memcpy(&out[0], &m.message, 4);
  std::memcpy(&out[4], &m.sequence, 4);
  std::memcpy(&out[8], &m.wParam, 8);
  std::memcpy(&out[16], &m.lParam, 8);
  out += m.text;
  return out;
}

bool Decode(const std::string& bytes, WireMessage* m) {
  if (bytes.size() < kWireHeaderSize ||
      bytes.size() > kWireHeaderSize + kWireTextMax)
    return false;
  if (bytes.find('\0', kWireHeaderSize) != std::string::npos) return false;
  std::memcpy(&m->message, &bytes[0], 4);
  std::memcpy(&m->sequence, &bytes[4], 4);
  std::memcpy(&m->wParam, &bytes[8], 8);
  std::memcpy(&m->lParam, &bytes[16], 8);
  m->text = bytes.substr(kWireHeaderSize);
  return true;
}

std::string SlotTextOf(const std::string& text) {
  std::string t = text.substr(0, text.find('\0'));
  return t.size() > 255 ? t.substr(0, 255) : t;
}

}  // namespace qor_fuzz
