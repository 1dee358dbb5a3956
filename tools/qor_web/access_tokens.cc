#include "access_tokens.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>

#include "control_token.h"
#include "platform/printable.h"
#include "platform/secret_file.h"

namespace {

// A tokens file lists people, not keys: a few hundred lines at the most.
constexpr size_t kMaxTokensFileBytes = 256 * 1024;

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::optional<TokenHash> ParseHex(std::string_view text) {
  TokenHash hash{};
  if (text.size() != hash.size() * 2) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < hash.size(); ++i) {
    int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    hash[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return hash;
}

// A name is shown on the page and written into the audit trail: letters,
// digits and . _ - @ only, so that it can never pass for another field.
bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' ||
              c == '@';
    if (!ok) return false;
  }
  return true;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

const char* RoleName(Role role) {
  switch (role) {
    case Role::kViewer:
      return "viewer";
    case Role::kOperator:
      return "operator";
    case Role::kAdmin:
      return "admin";
  }
  return "viewer";
}

std::optional<Role> ParseRole(std::string_view text) {
  for (Role r : {Role::kViewer, Role::kOperator, Role::kAdmin})
    if (text == RoleName(r)) return r;
  return std::nullopt;
}

TokenHash HashToken(std::string_view token) {
  TokenHash hash{};
  unsigned int length = 0;
  EVP_Digest(token.data(), token.size(), hash.data(), &length, EVP_sha256(),
             nullptr);
  return hash;
}

std::string HexOf(const TokenHash& hash) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : hash) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

TokenList ParseTokenList(std::string_view text) {
  TokenList list;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view()
                                         : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0].front() == '#') continue;
    auto problem = [&](const std::string& why) {
      list.problems.push_back("line " + std::to_string(number) + ": " + why);
    };
    if (words.size() != 3) {
      problem("wants NAME ROLE SHA256, found " + std::to_string(words.size()) +
              " words");
      continue;
    }
    if (!ValidName(words[0])) {
      problem("the name \"" + Printable(words[0], 64) +
              "\" is not 1 to 64 letters, digits, '.', '_', '-' or '@'");
      continue;
    }
    std::optional<Role> role = ParseRole(words[1]);
    if (!role) {
      problem("the role \"" + Printable(words[1], 32) +
              "\" is not viewer, operator or admin");
      continue;
    }
    std::optional<TokenHash> hash = ParseHex(words[2]);
    if (!hash) {
      problem(
          "the hash is not 64 lowercase hex digits (make it with: printf "
          "%s \"$TOKEN\" | sha256sum)");
      continue;
    }
    list.entries.push_back({{std::string(words[0]), *role}, *hash});
  }
  return list;
}

bool AccessTokens::Stamp::operator==(const Stamp& o) const {
  return device == o.device && inode == o.inode && size == o.size &&
         SameTime(modified, o.modified) && SameTime(changed, o.changed);
}

AccessTokens::AccessTokens(std::string tokensFile,
                           std::optional<std::string> operatorToken)
    : path_(std::move(tokensFile)) {
  if (operatorToken)
    operator_ =
        TokenEntry{{"token", Role::kOperator}, HashToken(*operatorToken)};
}

bool AccessTokens::Load(std::string* error) {
  if (path_.empty()) return true;
  std::lock_guard<std::mutex> lock(mu_);
  return ReadLocked(error);
}

bool AccessTokens::enabled() const {
  return operator_.has_value() || !path_.empty();
}

bool AccessTokens::ReadLocked(std::string* error) {
  entries_.clear();
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    stamp_ = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  } else {
    stamp_ = Stamp{};
  }
  SecretFile file = ReadSecretFile(path_, kMaxTokensFileBytes);
  if (!file.ok) {
    *error = "tokens file: " + file.error;
    return false;
  }
  TokenList list = ParseTokenList(file.text);
  for (const std::string& p : list.problems)
    std::fprintf(stderr, "qor_web: %s %s; that line is left out\n",
                 path_.c_str(), p.c_str());
  entries_ = std::move(list.entries);
  return true;
}

void AccessTokens::ReloadIfChangedLocked() {
  struct stat st {};
  Stamp now;
  if (::stat(path_.c_str(), &st) == 0)
    now = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  if (now == stamp_) return;
  std::string error;
  if (ReadLocked(&error)) {
    std::fprintf(stderr, "qor_web: read %s again: %zu tokens\n", path_.c_str(),
                 entries_.size());
  } else {
    std::fprintf(stderr,
                 "qor_web: %s; none of its tokens is accepted until it is "
                 "mended\n",
                 error.c_str());
  }
}

std::optional<Caller> AccessTokens::Find(std::string_view token) {
  if (token.empty()) return std::nullopt;
  const TokenHash hash = HashToken(token);
  std::lock_guard<std::mutex> lock(mu_);
  if (!path_.empty()) ReloadIfChangedLocked();
  std::optional<Caller> found;
  auto bytes = [](const TokenHash& h) {
    return std::string_view(reinterpret_cast<const char*>(h.data()), h.size());
  };
  auto check = [&](const TokenEntry& e) {
    if (ControlTokenMatches(bytes(e.hash), bytes(hash)) && !found)
      found = e.caller;
  };
  if (operator_) check(*operator_);
  for (const TokenEntry& e : entries_) check(e);
  return found;
}
