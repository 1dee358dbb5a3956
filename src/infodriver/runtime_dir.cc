#include "infodriver/runtime_dir.h"

#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Owner(uid_t uid) { return "uid " + std::to_string(uid); }

// Every directory above RUNDIR, from the root down, as the kernel resolves
// it: whoever may rename or replace one of them can put a directory of
// their own where RUNDIR is looked for.
bool CheckAncestors(const std::string& dir, std::string* error) {
  std::string parent = dir;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  if (slash == std::string::npos) {
    parent = ".";
  } else {
    parent = slash == 0 ? "/" : parent.substr(0, slash);
  }
  char resolved[PATH_MAX];
  if (realpath(parent.c_str(), resolved) == nullptr) {
    *error = "cannot resolve " + parent + ": " + std::strerror(errno);
    return false;
  }
  std::string path = resolved;
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      *error = "cannot examine " + path + ": " + std::strerror(errno);
      return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
      *error = path + " above the runtime directory belongs to " +
               Owner(st.st_uid) + ", not to this user or root";
      return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
      *error = path + " above the runtime directory is writable by others " +
               "(mode " + Mode(st.st_mode) + ")";
      return false;
    }
    if (path == "/") return true;
    const size_t cut = path.rfind('/');
    path = cut == 0 ? "/" : path.substr(0, cut);
  }
}

// True when this process has |gid| as its group or a supplementary one.
bool IsMemberOf(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = getgroups(count, groups.data());
  for (int i = 0; i < got; ++i)
    if (groups[static_cast<size_t>(i)] == gid) return true;
  return false;
}

}  // namespace

std::string RuntimeDirectoryPath() {
  if (const char* dir = NonEmptyEnv("ZARN_RUNTIME_DIR")) return dir;
  if (const char* xdg = NonEmptyEnv("XDG_RUNTIME_DIR"))
    return std::string(xdg) + "/zarn";
  return "/tmp/zarn-" + std::to_string(getuid());
}

RuntimeDirStatus PrepareRuntimeDirectory(bool create, std::string* dir,
                                         std::string* error, gid_t group,
                                         bool anyServiceUser) {
  *dir = RuntimeDirectoryPath();
  if (!CheckAncestors(*dir, error)) return RuntimeDirStatus::kUnsafe;
  const bool grouped = group != static_cast<gid_t>(-1);
  if (create) {
    if (mkdir(dir->c_str(), 0700) == 0) {
      // Members of the clients' group may reach the socket, not list or
      // change the directory.
      if (grouped && (chown(dir->c_str(), static_cast<uid_t>(-1), group) != 0 ||
                      chmod(dir->c_str(), 0710) != 0)) {
        *error = "cannot give " + *dir +
                 " to the clients' group: " + std::strerror(errno);
        return RuntimeDirStatus::kUnsafe;
      }
    } else if (errno != EEXIST) {
      *error = "cannot create " + *dir + ": " + std::strerror(errno);
      return RuntimeDirStatus::kUnsafe;
    }
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
  // A client also trusts a directory of root's, or one that the
  // infodriver's user gave to the clients' group that the client names too.
  // A client that only reads and asks also trusts the service's user, as
  // root or as a member of the group that user let search the directory.
  const bool sharedWithClients =
      !create &&
      (st.st_uid == 0 || (grouped && st.st_gid == group) ||
       (anyServiceUser &&
        (geteuid() == 0 || ((st.st_mode & S_IXGRP) && IsMemberOf(st.st_gid)))));
  if (st.st_uid != geteuid() && !sharedWithClients) {
    *error = *dir + " belongs to " + Owner(st.st_uid) + ", not to this user (" +
             Owner(geteuid()) + ")";
    return RuntimeDirStatus::kUnsafe;
  }
  // Anyone who may write here could put their own socket in place of an
  // infodriver's.
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    *error =
        *dir + " is writable by other users (mode " + Mode(st.st_mode) + ")";
    return RuntimeDirStatus::kUnsafe;
  }
  return RuntimeDirStatus::kOk;
}

std::string InfodriverSocketPath(const std::string& dir, int deviceNumber) {
  return dir + "/infodriver-" + std::to_string(deviceNumber) + ".sock";
}

bool InfodriverClientGroup(gid_t* group, std::string* error) {
  *group = static_cast<gid_t>(-1);
  const char* name = NonEmptyEnv("ZARN_INFODRIVER_GROUP");
  if (name == nullptr) return true;
  struct group entry;
  struct group* found = nullptr;
  char buffer[16384];
  if (getgrnam_r(name, &entry, buffer, sizeof buffer, &found) != 0 ||
      found == nullptr) {
    *error = std::string("ZARN_INFODRIVER_GROUP names no group: ") + name;
    return false;
  }
  *group = found->gr_gid;
  return true;
}
