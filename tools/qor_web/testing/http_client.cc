#include "testing/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

int Connect(uint16_t port, const std::string& from = "");

}  // namespace

int ConnectFrom(const std::string& from, uint16_t port) {
  return Connect(port, from);
}

namespace {

int Connect(uint16_t port, const std::string& from) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!from.empty()) {
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) !=
        0) {
      close(fd);
      return -1;
    }
  }
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address),
              sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads what is there within |ms|; false at the end of the stream.
bool ReadSome(int fd, std::string* text, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return true;
  char buffer[8192];
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  text->append(buffer, static_cast<size_t>(n));
  return true;
}

HttpAnswer Parse(std::string raw) {
  HttpAnswer answer;
  answer.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || raw.size() < 12) return answer;
  answer.status = std::atoi(raw.substr(9, 3).c_str());
  std::string head = raw.substr(0, end);
  size_t line = head.find("\r\n");
  while (line != std::string::npos) {
    size_t next = head.find("\r\n", line + 2);
    std::string header =
        head.substr(line + 2, next == std::string::npos ? std::string::npos
                                                        : next - line - 2);
    size_t colon = header.find(':');
    if (colon != std::string::npos) {
      std::string name = header.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(c));
      size_t value = header.find_first_not_of(' ', colon + 1);
      answer.headers[name] =
          value == std::string::npos ? "" : header.substr(value);
    }
    line = next;
  }
  if (end != std::string::npos) answer.body = raw.substr(end + 4);
  return answer;
}

}  // namespace

HttpAnswer SendRaw(uint16_t port, const std::string& request,
                   std::chrono::milliseconds timeout) {
  int fd = Connect(port);
  if (fd < 0) return {};
  std::string raw;
  if (SendAll(fd, request)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline &&
           ReadSome(fd, &raw, 100)) {
    }
  } else {
    // The server may have answered and closed before taking every byte.
    while (ReadSome(fd, &raw, 100) && raw.size() < (1 << 20)) {
    }
  }
  close(fd);
  return Parse(raw);
}

HttpAnswer HttpGet(uint16_t port, const std::string& path) {
  return SendRaw(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                           std::to_string(port) + "\r\n\r\n");
}

HttpAnswer HttpPost(uint16_t port, const std::string& path,
                    const std::string& body,
                    const std::vector<std::string>& headers) {
  std::string request = "POST " + path +
                        " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\n";
  for (const std::string& h : headers) request += h + "\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return SendRaw(port, request + body);
}

EventStreamReader::EventStreamReader(uint16_t port, const std::string& path,
                                     const std::string& from) {
  fd_ = Connect(port, from);
  if (fd_ >= 0)
    SendAll(fd_, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                     std::to_string(port) + "\r\n\r\n");
}

EventStreamReader::~EventStreamReader() { Close(); }

void EventStreamReader::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool EventStreamReader::ReadUntil(
    const std::function<bool(const std::string&)>& done,
    std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done(text_)) {
    if (fd_ < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    if (!ReadSome(fd_, &text_, 100)) Close();
  }
  return true;
}
