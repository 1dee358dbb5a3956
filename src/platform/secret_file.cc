#include "platform/secret_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The user's login name, or its number when it has none.
std::string Login(uid_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
    return found->pw_name;
  return std::to_string(uid);
}

const char* Kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// Closes the descriptor however the read ends.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

SecretFile ReadSecretFile(const std::string& path, size_t maxBytes) {
  SecretFile result;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
  // writer, for ever. O_NOFOLLOW: a link could point anywhere, including at
  // a file whose owner and mode say nothing about this secret.
  Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ELOOP) {
      result.error = "the secret file " + path +
                     " is a symbolic link; name the file itself";
    } else {
      result.error =
          "cannot open the secret file " + path + ": " + std::strerror(errno);
    }
    return result;
  }
  struct stat st = {};
  if (fstat(fd.get(), &st) != 0) {
    result.error =
        "cannot examine the secret file " + path + ": " + std::strerror(errno);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.error = "the secret file " + path + " is " + Kind(st.st_mode) +
                   "; it must be a regular file";
    return result;
  }
  const uid_t self = geteuid();
  if (st.st_uid != self && st.st_uid != 0) {
    result.error = "the secret file " + path + " belongs to user " +
                   Login(st.st_uid) + ", not to " + Login(self) +
                   " (who runs this) or root, so another user may change "
                   "it: chown " +
                   Login(self) + " " + path;
    return result;
  }
  const mode_t mode = st.st_mode & 07777;
  if (mode != 0600 && mode != 0400) {
    result.error = "the secret file " + path + " has mode " + Octal(mode) +
                   "; it must be readable by its owner only: chmod 600 " + path;
    return result;
  }
  if (static_cast<uintmax_t>(st.st_size) > maxBytes) {
    result.error = "the secret file " + path + " is larger than " +
                   std::to_string(maxBytes) + " bytes";
    return result;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error =
          "cannot read the secret file " + path + ": " + std::strerror(errno);
      return result;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    // It may have grown since fstat.
    if (text.size() > maxBytes) {
      result.error = "the secret file " + path + " is larger than " +
                     std::to_string(maxBytes) + " bytes";
      return result;
    }
  }
  result.ok = true;
  result.text = std::move(text);
  return result;
}
