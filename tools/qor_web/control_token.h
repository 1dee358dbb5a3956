#ifndef QOR_TOOLS_QOR_WEB_CONTROL_TOKEN_H_
#define QOR_TOOLS_QOR_WEB_CONTROL_TOKEN_H_

#include <string>
#include <string_view>

// The secret that lets a request switch outputs. It lives in a file that
// only the service's user may read: a token other users can read is no
// secret, so such a file is refused rather than used.
struct ControlTokenFile {
  bool ok = false;
  std::string token;  // the file's first line, blanks trimmed
  std::string error;  // when not ok: a sentence naming the file and the fix
};

// The shortest token accepted; shorter ones are guessable over the network.
constexpr size_t kMinControlTokenLength = 16;

ControlTokenFile ReadControlTokenFile(const std::string& path);

// Whether |given| is |expected|, in a time that depends only on the lengths,
// so that a peer cannot find the token one character at a time.
bool ControlTokenMatches(std::string_view expected, std::string_view given);

// The token of an "Authorization: Bearer TOKEN" header value; empty when
// the header has another form.
std::string_view BearerToken(std::string_view authorization);

#endif  // QOR_TOOLS_QOR_WEB_CONTROL_TOKEN_H_
