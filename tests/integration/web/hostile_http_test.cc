// qor_web against peers that break the rules: malformed requests, huge
// headers and bodies, clients that send slowly or not at all, and more
// connections than it serves. Through all of it the server keeps answering
// others, and nothing reaches the driver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "integration/web/web_rig.h"
#include "testing/http_client.h"

namespace {

using nlohmann::json;

constexpr int kDevice = 72;
const char* kOutput1Oid = "1.3.6.1.4.1.6853.3.4.1.2.1";
const char* kLocationOid = "1.3.6.1.4.1.6853.2.4.0";

// Whether the server has closed |fd| (reading and dropping what it sent).
bool ClosedByServer(int fd) {
  char buffer[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

class HostileHttp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig_ = new WebRig(kDevice, 1);
    rig_->AddWebOptions(
        {"--idle-timeout", "2", "--allow-host", "mdu-host.example"});
    std::string error;
    ASSERT_TRUE(rig_->Start(&error)) << error;
    output_ = new std::string(rig_->agent(1).Get(kOutput1Oid));
    location_ = new std::string(rig_->agent(1).Get(kLocationOid));
  }
  static void TearDownTestSuite() {
    delete rig_;
    delete output_;
    delete location_;
    rig_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(rig_ && rig_->port() != 0) << "the rig did not start";
  }
  // After every case: the server still serves, and nothing was requested
  // of the driver or set on the unit.
  void TearDown() override {
    if (!rig_ || rig_->port() == 0) return;
    EXPECT_TRUE(rig_->web().running()) << rig_->web().Stderr();
    EXPECT_TRUE(Serves());
    std::string metrics = HttpGet(rig_->port(), "/metrics").body;
    EXPECT_NE(metrics.find("\nqor_web_control_requests_total 0\n"),
              std::string::npos);
    EXPECT_EQ(rig_->agent(1).Get(kOutput1Oid), *output_);
    EXPECT_EQ(rig_->agent(1).Get(kLocationOid), *location_);
  }
  static bool Serves() {
    return WaitFor([] {
      HttpAnswer a = HttpGet(rig_->port(), rig_->UnitPath(1));
      return a.status == 200 &&
             json::parse(a.body, nullptr, false)["unit"] == 1;
    });
  }
  static std::string Auth() {
    return "Authorization: Bearer " + rig_->token() + "\r\n";
  }
  static std::string ControlPath() {
    return rig_->UnitPath(1) + "/control/location";
  }

  static WebRig* rig_;
  static std::string* output_;
  static std::string* location_;
};

WebRig* HostileHttp::rig_ = nullptr;
std::string* HostileHttp::output_ = nullptr;
std::string* HostileHttp::location_ = nullptr;

TEST_F(HostileHttp, MalformedRequestsGetAClientErrorOrTheDoor) {
  const std::string control = ControlPath();
  const std::string requests[] = {
      "GARBAGE\r\n\r\n",
      "GET\r\n\r\n",
      "GET / HTTP/9.9\r\nHost: 127.0.0.1\r\n\r\n",
      std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
      "GET /" + std::string(100000, 'A') +
          " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nno colon here\r\n\r\n",
      "GET /api/v1/units/%00/1/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "GET /api/v1/units/rig/72/1%00 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "GET /api/v1/units/rig/72/1/../../../../etc/passwd HTTP/1.1\r\n"
      "Host: 127.0.0.1\r\n\r\n",
      "GET /api/v1/units/rig/99999999999999999999/1 HTTP/1.1\r\nHost: "
      "x\r\n\r\n",
      "POST " + control + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nContent-Length: -5\r\n\r\n",
      "POST " + control + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\n"
          "Content-Length: 99999999999999999999999\r\n\r\n",
      "POST " + control + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nContent-Length: 14\r\n"
          "Content-Length: 200\r\n\r\n{\"value\":\"x\"}",
      "POST " + control + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
          "\r\nZZ\r\n{\"value\":\"x\"}\r\n0\r\n\r\n",
      "POST " + control + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nContent-Length: 16\r\n\r\n"
          "{\"value\":\"\xff\xfe\"}",
      "POST " + control + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nContent-Length: 11\r\n\r\n"
          "[[[[[[[[[[[",
  };
  for (const std::string& request : requests) {
    HttpAnswer answer = SendRaw(rig_->port(), request, std::chrono::seconds(5));
    EXPECT_TRUE(answer.status == 0 || answer.status == 505 ||
                (answer.status >= 400 && answer.status < 500))
        << request.substr(0, 80) << " -> " << answer.raw.substr(0, 200);
    EXPECT_TRUE(Serves()) << request.substr(0, 80);
  }
}

// A page of another site whose name was pointed here reads nothing.
TEST_F(HostileHttp, AnswersOnlyTheNamesItGoesBy) {
  const std::string port = ":" + std::to_string(rig_->port());
  struct Case {
    std::string host;
    int status;
  } cases[] = {
      {"rebind.attacker.example" + port, 421},
      {"mdu-host.example" + port, 200},
      {"localhost" + port, 200},
      {"127.0.0.1" + port, 200},
  };
  for (const Case& c : cases) {
    HttpAnswer answer =
        SendRaw(rig_->port(),
                "GET /api/v1/units HTTP/1.0\r\nHost: " + c.host + "\r\n\r\n");
    EXPECT_EQ(answer.status, c.status) << c.host << ": " << answer.body;
  }
}

TEST_F(HostileHttp, HugeHeadersAndBodiesAreRefusedUnread) {
  std::string headers;
  for (int i = 0; i < 200; ++i)
    headers += "X-Filler-" + std::to_string(i) + ": " + std::string(1000, 'h') +
               "\r\n";
  HttpAnswer big = SendRaw(
      rig_->port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
  EXPECT_TRUE(big.status == 0 || big.status == 431 || big.status == 413)
      << big.raw.substr(0, 200);

  // Ten megabytes announced to the control point: refused at the headers.
  HttpAnswer announced = SendRaw(
      rig_->port(),
      "POST " + ControlPath() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nContent-Length: 10485760\r\n\r\n" +
          std::string(1 << 20, 'x'));
  EXPECT_EQ(announced.status, 413) << announced.raw.substr(0, 200);

  // A megabyte of chunks, no length announced: read and dropped, refused.
  std::string chunks;
  for (int i = 0; i < 256; ++i)
    chunks += "1000\r\n" + std::string(4096, ' ') + "\r\n";
  HttpAnswer chunked = SendRaw(
      rig_->port(),
      "POST " + ControlPath() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Auth() +
          "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
          "\r\n" +
          chunks + "0\r\n\r\n");
  EXPECT_TRUE(chunked.status == 413 || chunked.status == 0)
      << chunked.raw.substr(0, 200);
}

TEST_F(HostileHttp, SlowAndSilentClientsAreClosedAndOthersServed) {
  std::vector<int> slow;
  for (int i = 0; i < 10; ++i) {
    int fd = ConnectFrom("127.0.0.2", rig_->port());
    ASSERT_GE(fd, 0);
    // Half a request line, then nothing.
    send(fd, "GET /api/v1/un", 14, MSG_NOSIGNAL);
    slow.push_back(fd);
  }
  for (int i = 0; i < 5; ++i) {
    int fd = ConnectFrom("127.0.0.2", rig_->port());
    ASSERT_GE(fd, 0);
    slow.push_back(fd);  // not a byte
  }
  // While they hang, others are served.
  EXPECT_TRUE(Serves());
  // The idle limit (2 s here) ends every one of them.
  for (size_t i = 0; i < slow.size(); ++i) {
    EXPECT_TRUE(WaitFor([&] { return ClosedByServer(slow[i]); },
                        std::chrono::seconds(30)))
        << "connection " << i;
    close(slow[i]);
  }
}

// Requests sent a byte at a time, each byte well within the idle timeout,
// from many addresses: the others are still served, and every such
// connection is closed once its request has taken too long.
TEST_F(HostileHttp, TricklingRequestsAreCutOffAndOthersServed) {
  std::vector<int> fds;
  for (int a = 0; a < 6; ++a) {
    for (int i = 0; i < 16; ++i) {
      int fd =
          ConnectFrom("127.0." + std::to_string(20 + a) + ".1", rig_->port());
      ASSERT_GE(fd, 0);
      send(fd, "GET /api/v1/units HTTP/1.1\r\nX-Slow: ", 37, MSG_NOSIGNAL);
      fds.push_back(fd);
    }
  }
  std::atomic<bool> stop{false};
  std::atomic<size_t> closed{0};
  std::thread trickle([&] {
    std::vector<bool> done(fds.size(), false);
    while (!stop && closed < fds.size()) {
      for (size_t i = 0; i < fds.size(); ++i) {
        if (done[i]) continue;
        if (ClosedByServer(fds[i]) || send(fds[i], "a", 1, MSG_NOSIGNAL) != 1) {
          done[i] = true;
          ++closed;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });
  // Served while every slow one still holds its connection.
  EXPECT_EQ(HttpGet(rig_->port(), rig_->UnitPath(1)).status, 200);
  EXPECT_NE(HttpGet(rig_->port(), "/metrics")
                .body.find("\nqor_web_requests_cut_off_total 0\n"),
            std::string::npos);
  EXPECT_TRUE(
      WaitFor([&] { return closed == fds.size(); }, std::chrono::seconds(40)))
      << closed << " of " << fds.size() << " closed";
  stop = true;
  trickle.join();
  for (int fd : fds) close(fd);
  std::string metrics = HttpGet(rig_->port(), "/metrics").body;
  EXPECT_EQ(metrics.find("\nqor_web_requests_cut_off_total 0\n"),
            std::string::npos);
}

TEST_F(HostileHttp, AFloodFromOneAddressLeavesRoomForOthers) {
  std::vector<int> flood;
  for (int i = 0; i < 200; ++i) {
    int fd = ConnectFrom("127.0.0.3", rig_->port());
    if (fd >= 0) flood.push_back(fd);
  }
  // Beyond the per-address limit the server closes them at once.
  EXPECT_TRUE(WaitFor([&] {
    int closed = 0;
    for (int fd : flood) closed += ClosedByServer(fd) ? 1 : 0;
    return closed >= 150;
  }));
  EXPECT_TRUE(Serves());
  for (int fd : flood) close(fd);

  // Event streams from two addresses: beyond the limit of one address
  // (16), 429.
  std::vector<std::unique_ptr<EventStreamReader>> streams;
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    streams.push_back(std::make_unique<EventStreamReader>(
        rig_->port(), "/api/v1/events",
        "127.0.0." + std::to_string(10 + i % 2)));
    streams.back()->ReadUntil(
        [](const std::string& t) {
          return t.find("event: hello") != std::string::npos ||
                 t.find("HTTP/1.1 429") != std::string::npos;
        },
        std::chrono::seconds(10));
    if (streams.back()->text().find("HTTP/1.1 429") != std::string::npos)
      ++refused;
  }
  EXPECT_EQ(refused, 8);
  streams.clear();
  EXPECT_TRUE(Serves());
}

}  // namespace
