#include "platform/journal_stream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

bool IsJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  uintmax_t device = 0, inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2)
    return false;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  // The variable is inherited by children whose streams go elsewhere; only
  // the same file counts.
  return st.st_dev == device && st.st_ino == inode;
}

const char* JournalPrefix(int fd, int priority) {
  static const char* const kPrefixes[] = {"<0>", "<1>", "<2>", "<3>",
                                          "<4>", "<5>", "<6>", "<7>"};
  if (priority < 0 || priority > 7 || !IsJournalStream(fd)) return "";
  return kPrefixes[priority];
}
