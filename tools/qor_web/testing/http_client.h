#ifndef QOR_TOOLS_QOR_WEB_TESTING_HTTP_CLIENT_H_
#define QOR_TOOLS_QOR_WEB_TESTING_HTTP_CLIENT_H_

#include <chrono>
#include <functional>
#include <map>
#include <string>

// A deliberately raw HTTP/1.0 client for tests: it sends exactly the bytes
// it is given (malformed ones too) and reads the answer until the server
// closes, so that a test sees what the server really wrote.
struct HttpAnswer {
  int status = 0;                              // 0: no status line came back
  std::map<std::string, std::string> headers;  // names lower-case
  std::string body;
  std::string raw;
};

// Sends |request| to 127.0.0.1:|port| and reads until the server closes
// or |timeout| passes.
HttpAnswer SendRaw(
    uint16_t port, const std::string& request,
    std::chrono::milliseconds timeout = std::chrono::seconds(20));

HttpAnswer HttpGet(uint16_t port, const std::string& path);
// A connection to 127.0.0.1:|port| from |from| (any local address when
// empty): the descriptor, or -1. The caller closes it.
int ConnectFrom(const std::string& from, uint16_t port);
// POST with a JSON body and the given extra header lines ("Name: value").
HttpAnswer HttpPost(uint16_t port, const std::string& path,
                    const std::string& body,
                    const std::vector<std::string>& headers);

// An event stream held open: reads until |done| holds for the text read so
// far, or |timeout| passes. Returns whether |done| held.
class EventStreamReader {
 public:
  // |from|, when given, is the local address to connect from.
  explicit EventStreamReader(uint16_t port,
                             const std::string& path = "/api/v1/events",
                             const std::string& from = "");
  ~EventStreamReader();
  bool ReadUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
  const std::string& text() const { return text_; }
  bool closed() const { return fd_ < 0; }  // the server ended the stream
  void Close();

 private:
  int fd_ = -1;
  std::string text_;
};

#endif  // QOR_TOOLS_QOR_WEB_TESTING_HTTP_CLIENT_H_
