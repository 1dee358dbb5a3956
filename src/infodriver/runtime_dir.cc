#include "infodriver/runtime_dir.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string RuntimeDirectoryPath() {
  if (const char* dir = NonEmptyEnv("ZARN_RUNTIME_DIR")) return dir;
  if (const char* xdg = NonEmptyEnv("XDG_RUNTIME_DIR"))
    return std::string(xdg) + "/zarn";
  return "/tmp/zarn-" + std::to_string(getuid());
}

RuntimeDirStatus PrepareRuntimeDirectory(bool create, std::string* dir,
                                         std::string* error) {
  *dir = RuntimeDirectoryPath();
  if (create && mkdir(dir->c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + *dir + ": " + std::strerror(errno);
    return RuntimeDirStatus::kUnsafe;
  }
  struct stat st;
  if (lstat(dir->c_str(), &st) != 0) {
    if (errno == ENOENT) {
      *error = *dir + " does not exist";
      return RuntimeDirStatus::kMissing;
    }
    *error = "cannot examine " + *dir + ": " + std::strerror(errno);
    return RuntimeDirStatus::kUnsafe;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = *dir + " is not a directory";
    return RuntimeDirStatus::kUnsafe;
  }
  if (st.st_uid != geteuid()) {
    *error = *dir + " belongs to another user";
    return RuntimeDirStatus::kUnsafe;
  }
  // Anyone who may write here could put their own socket in place of an
  // infodriver's.
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    *error = *dir + " is writable by other users";
    return RuntimeDirStatus::kUnsafe;
  }
  return RuntimeDirStatus::kOk;
}

std::string InfodriverSocketPath(const std::string& dir, int deviceNumber) {
  return dir + "/infodriver-" + std::to_string(deviceNumber) + ".sock";
}
