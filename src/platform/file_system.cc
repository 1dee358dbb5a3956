#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

// Writes all of |data| to |fd|; 0 or the errno of the failure.
int WriteAll(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int RealFileSystem::MakeDirectory(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 ? 0 : errno;
}

int RealFileSystem::Append(const std::string& path, std::string_view data) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  const int error = WriteAll(fd, data);
  close(fd);
  return error;
}

int RealFileSystem::ReadAll(const std::string& path, std::string* content) {
  content->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      return error;
    }
    if (n == 0) break;
    content->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return 0;
}

int RealFileSystem::Replace(const std::string& path, std::string_view content) {
  std::string tmp = path + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) return errno;
  struct stat st;
  if (stat(path.c_str(), &st) == 0)
    fchmod(fd, st.st_mode & 07777);
  else
    fchmod(fd, 0644);
  int error = WriteAll(fd, content);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(name.data(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(name.data());
  return error;
}

std::optional<std::string> RealFileSystem::Variable(const char* name) const {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

FileSystem& TheFileSystem() {
  static RealFileSystem* fs = new RealFileSystem();  // usable at exit
  return *fs;
}

std::optional<std::string> SystemRootDirectory(const FileSystem& fs) {
  const std::optional<std::string> root = fs.Variable("QX_ROOT");
  const std::optional<std::string> system = fs.Variable("QX_SYSTEM");
  if (!root || !system) return std::nullopt;
  return *root + "/" + *system;
}

void FaultInjectingFileSystem::SetVariable(const std::string& name,
                                           std::optional<std::string> value) {
  variables_[name] = std::move(value);
}

bool FaultInjectingFileSystem::Gone(const std::string& path) const {
  if (vanished_.empty()) return false;
  return path == vanished_ ||
         (path.size() > vanished_.size() &&
          path.compare(0, vanished_.size(), vanished_) == 0 &&
          path[vanished_.size()] == '/');
}

int FaultInjectingFileSystem::MakeDirectory(const std::string& path) {
  ++mkdirCalls_;
  if (Gone(path)) return ENOENT;
  if (mkdirError_ != 0) return mkdirError_;
  return base_->MakeDirectory(path);
}

int FaultInjectingFileSystem::Append(const std::string& path,
                                     std::string_view data) {
  ++appendCalls_;
  if (Gone(path)) return ENOENT;
  if (appendError_ != 0) return appendError_;
  return base_->Append(path, data);
}

int FaultInjectingFileSystem::ReadAll(const std::string& path,
                                      std::string* content) {
  if (Gone(path)) {
    content->clear();
    return ENOENT;
  }
  if (readError_ != 0) {
    content->clear();
    return readError_;
  }
  return base_->ReadAll(path, content);
}

int FaultInjectingFileSystem::Replace(const std::string& path,
                                      std::string_view content) {
  ++replaceCalls_;
  if (Gone(path)) return ENOENT;
  if (replaceError_ != 0) return replaceError_;
  return base_->Replace(path, content);
}

std::optional<std::string> FaultInjectingFileSystem::Variable(
    const char* name) const {
  const auto it = variables_.find(name);
  return it == variables_.end() ? std::nullopt : it->second;
}
