#ifndef QOR_PLATFORM_SECRET_FILE_H_
#define QOR_PLATFORM_SECRET_FILE_H_

#include <cstddef>
#include <string>

// What a secret file (a control token, a broker password, a TLS key) held,
// or why it was not used.
struct SecretFile {
  bool ok = false;
  std::string text;   // the whole file
  std::string error;  // when not ok: a sentence naming the file and the fix
};

// The largest secret file read unless the caller says otherwise; a PEM key
// of any usual size fits.
constexpr size_t kMaxSecretFileBytes = 64 * 1024;

// Reads a file that holds a secret, refusing any file that is not
// certainly private to this service: it must be a regular file (never a
// symbolic link, a FIFO that would block the reader for ever, or a
// device), owned by the user the process runs as or by root, with mode
// exactly 0600 or 0400, and at most |maxBytes| long. Opens it once and
// checks what was opened, so that it cannot be swapped between the check
// and the read. Safe from any thread.
SecretFile ReadSecretFile(const std::string& path,
                          size_t maxBytes = kMaxSecretFileBytes);

#endif  // QOR_PLATFORM_SECRET_FILE_H_
