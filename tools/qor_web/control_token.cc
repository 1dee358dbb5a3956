#include "control_token.h"

#include "platform/secret_file.h"

ControlTokenFile ReadControlTokenFile(const std::string& path) {
  ControlTokenFile result;
  SecretFile file = ReadSecretFile(path, 4096);
  if (!file.ok) {
    result.error = "control token: " + file.error;
    return result;
  }
  const std::string& text = file.text;
  size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  size_t first = line.find_first_not_of(" \t\r");
  size_t last = line.find_last_not_of(" \t\r");
  line = first == std::string::npos ? "" : line.substr(first, last - first + 1);
  if (line.size() < kMinControlTokenLength) {
    result.error = "the control token in " + path + " is shorter than " +
                   std::to_string(kMinControlTokenLength) +
                   " characters; make one with: head -c 24 /dev/urandom | "
                   "base64 > " +
                   path;
    return result;
  }
  for (unsigned char c : line) {
    if (c < 0x21 || c > 0x7e) {
      result.error = "the control token in " + path +
                     " holds a blank or a non-printable character";
      return result;
    }
  }
  result.ok = true;
  result.token = line;
  return result;
}

bool ControlTokenMatches(std::string_view expected, std::string_view given) {
  // Every byte of |expected| is compared whatever |given| holds.
  unsigned char difference = expected.size() != given.size() ? 1 : 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    unsigned char g =
        i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= static_cast<unsigned char>(expected[i]) ^ g;
  }
  return !expected.empty() && difference == 0;
}

std::string_view BearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "Bearer ";
  if (authorization.size() <= kScheme.size()) return {};
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char a = authorization[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    char b = kScheme[i];
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return {};
  }
  std::string_view token = authorization.substr(kScheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  return token;
}
