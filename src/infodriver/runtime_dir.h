#ifndef QOR_INFODRIVER_RUNTIME_DIR_H_
#define QOR_INFODRIVER_RUNTIME_DIR_H_

#include <sys/types.h>

#include <string>

// Where the infodrivers' sockets live (RUNDIR): $ZARN_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/zarn, else /tmp/zarn-UID (an empty variable counts as
// unset). RUNDIR must be a real directory (not a symbolic link) that this
// user owns and that neither group nor others may write; every directory
// above it must belong to root or this user and be writable by nobody else
// unless it is sticky (as /tmp is), so that nobody else can put another
// directory in its place. The infodriver creates RUNDIR (one level, mode
// 0700, or 0710 for the clients' group, see InfodriverClientGroup); the link
// and infoctl only use it. The socket of device N is RUNDIR/infodriver-N.sock.
enum class RuntimeDirStatus {
  kOk,
  kMissing,  // does not exist (and was not to be created)
  kUnsafe,   // exists but fails the checks, or cannot be created
};

std::string RuntimeDirectoryPath();

// Resolves and checks RUNDIR, creating it first when |create| (with group
// |group| and group search permission when |group| is not -1). A client
// (!|create|) also accepts a RUNDIR of root's, or one whose group is
// |group|. A client that only reads and asks (|anyServiceUser|: infoctl,
// qor_web, qor_mqtt; never the driver, which takes slot changes from what
// it finds there) also accepts the RUNDIR of the service's user when it runs
// as root, or when it is a member of RUNDIR's group and that group may
// search it; every other check holds as for its own. On kOk
// |*dir| is its path; otherwise |*error| names the directory and the cause
// (its owner, its mode or the errno text), for a message.
RuntimeDirStatus PrepareRuntimeDirectory(bool create, std::string* dir,
                                         std::string* error,
                                         gid_t group = static_cast<gid_t>(-1),
                                         bool anyServiceUser = false);

std::string InfodriverSocketPath(const std::string& dir, int deviceNumber);

// The group whose members may use the infodriver besides its own user and
// root: the group named by $ZARN_INFODRIVER_GROUP. -1 when the variable is
// unset or empty; false with *error when it names no group.
bool InfodriverClientGroup(gid_t* group, std::string* error);

#endif  // QOR_INFODRIVER_RUNTIME_DIR_H_
