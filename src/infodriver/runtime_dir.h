#ifndef QOR_INFODRIVER_RUNTIME_DIR_H_
#define QOR_INFODRIVER_RUNTIME_DIR_H_

#include <string>

// Where the infodrivers' sockets live (RUNDIR): $ZARN_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/zarn, else /tmp/zarn-UID (an empty variable counts as
// unset). The directory must be a real directory (not a symbolic link) that
// this user owns and that neither group nor others may write; the
// infodriver creates it (one level, mode 0700), the link and infoctl only
// use it. The socket of device N is RUNDIR/infodriver-N.sock.
enum class RuntimeDirStatus {
  kOk,
  kMissing,  // does not exist (and was not to be created)
  kUnsafe,   // exists but fails the checks, or cannot be created
};

std::string RuntimeDirectoryPath();

// Resolves and checks RUNDIR, creating it first when |create|. On kOk
// |*dir| is its path; otherwise |*error| says why, for a message.
RuntimeDirStatus PrepareRuntimeDirectory(bool create, std::string* dir,
                                         std::string* error);

std::string InfodriverSocketPath(const std::string& dir, int deviceNumber);

#endif  // QOR_INFODRIVER_RUNTIME_DIR_H_
