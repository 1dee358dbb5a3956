#ifndef QOR_TOOLS_QOR_WEB_ACCESS_TOKENS_H_
#define QOR_TOOLS_QOR_WEB_ACCESS_TOKENS_H_

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a token's holder may do. Each role may do all that the ones before
// it may.
enum class Role {
  kViewer,    // reads what the read-only server shows, and the audit trail
  kOperator,  // also switches points that are not protected
  kAdmin,     // also switches protected outputs off
};

const char* RoleName(Role role);
std::optional<Role> ParseRole(std::string_view text);

using TokenHash = std::array<uint8_t, 32>;  // SHA-256

// The SHA-256 of |token|, and its lowercase hex form: what a line of the
// tokens file holds (printf %s "$TOKEN" | sha256sum makes the same).
TokenHash HashToken(std::string_view token);
std::string HexOf(const TokenHash& hash);

// Who a request's token names.
struct Caller {
  std::string name;
  Role role = Role::kViewer;
};

// One line of a tokens file: NAME ROLE SHA256.
struct TokenEntry {
  Caller caller;
  TokenHash hash{};
};

// A tokens file's lines. A line that is not NAME ROLE SHA256 is left out
// and said in |problems| with its number, so that one typing error costs
// one token, not all of them. Blank lines and lines starting with # are
// comments.
struct TokenList {
  std::vector<TokenEntry> entries;
  std::vector<std::string> problems;
};
TokenList ParseTokenList(std::string_view text);

// The tokens qor_web accepts: those of the tokens file, read again when it
// changes, and the single token of --control-token-file, which stands for
// an operator named "token". Safe from any thread.
class AccessTokens {
 public:
  // |tokensFile| may be empty (no file); |operatorToken| may be absent.
  AccessTokens(std::string tokensFile,
               std::optional<std::string> operatorToken);

  // Reads the file the first time; false with |error| when the file cannot
  // be used (it is not private, or not there), so that qor_web does not
  // start with fewer tokens than its administrator meant.
  bool Load(std::string* error);

  // Whether any token can be accepted at all.
  bool enabled() const;

  // The caller |token| names, or nullopt. The file is read again first when
  // it has changed; one that has become unusable accepts no token of its
  // own until it is mended (a token others may have read is no secret).
  // Every entry is compared whatever matches, in a time that does not
  // depend on the token's text.
  std::optional<Caller> Find(std::string_view token);

 private:
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    timespec changed{};
    bool operator==(const Stamp& o) const;
  };
  void ReloadIfChangedLocked();
  bool ReadLocked(std::string* error);

  const std::string path_;
  std::optional<TokenEntry> operator_;
  std::mutex mu_;
  std::vector<TokenEntry> entries_;  // guarded by mu_
  Stamp stamp_;                      // guarded by mu_
};

#endif  // QOR_TOOLS_QOR_WEB_ACCESS_TOKENS_H_
