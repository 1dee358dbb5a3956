#include "integration/mqtt/mosquitto_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <utility>

namespace fs = std::filesystem;
using qor_test::RunTool;
using qor_test::WaitFor;

namespace {

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::vector<std::string> Connection(int port) {
  return {"-h", "127.0.0.1", "-p", std::to_string(port), "-V", "5"};
}

// Lines "R<TAB>TOPIC<TAB>CORRELATION<TAB>PAYLOAD" as written with kFormat.
const char kFormat[] = "%r\t%t\t%D\t%p";

std::vector<SeenMessage> ParseLines(const std::string& text) {
  std::vector<SeenMessage> all;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t a = line.find('\t');
    size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
    size_t c = b == std::string::npos ? b : line.find('\t', b + 1);
    if (c == std::string::npos) continue;
    all.push_back({line.substr(a + 1, b - a - 1), line.substr(c + 1),
                   line.substr(0, a) == "1", line.substr(b + 1, c - b - 1)});
  }
  return all;
}

}  // namespace

MosquittoBroker::MosquittoBroker(const fs::path& dir, int port)
    : dir_(dir), port_(port) {}

MosquittoBroker::~MosquittoBroker() { Stop(); }

bool MosquittoBroker::Start() {
  fs::create_directories(dir_);
  std::ofstream(dir_ / "mosquitto.conf")
      << "listener " << port_ << " 127.0.0.1\n"
      << (extra_.empty() ? "allow_anonymous true\n" : extra_)
      << "persistence false\n"
      << "log_dest stderr\n"
      << "log_type error\nlog_type warning\nlog_type notice\n";
  process_ = std::make_unique<qor_test::ChildProcess>();
  if (!process_->Start(
          {"/usr/sbin/mosquitto", "-c", (dir_ / "mosquitto.conf").string()}, {},
          (dir_ / "mosquitto.log").string()))
    return false;
  return WaitFor(
             [&] { return !process_->Running() ? true : Accepts(port_); }) &&
         process_->Running();
}

void MosquittoBroker::Reload() {
  if (process_) kill(process_->pid(), SIGHUP);
}

void MosquittoBroker::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

std::map<std::string, std::string> Retained(int port,
                                            const std::string& pattern) {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_sub"};
  for (const std::string& a : Connection(port)) argv.push_back(a);
  for (const char* a : {"--retained-only", "-W", "1", "-F", kFormat})
    argv.push_back(a);
  argv.push_back("-t");
  argv.push_back(pattern);
  auto result = RunTool(argv, 10000);
  std::map<std::string, std::string> all;
  for (const SeenMessage& m : ParseLines(result.output))
    if (m.retained) all[m.topic] = m.payload;
  return all;
}

int Publish(int port, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_pub"};
  for (const std::string& a : Connection(port)) argv.push_back(a);
  argv.insert(argv.end(), extra.begin(), extra.end());
  return RunTool(argv, 10000).exitCode;
}

Subscriber::Subscriber(int port, const fs::path& file,
                       const std::vector<std::string>& patterns)
    : port_(port),
      file_(file),
      probe_("probe/" + std::to_string(getpid()) + "/" +
             file.filename().string()) {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_sub"};
  for (const std::string& a : Connection(port)) argv.push_back(a);
  argv.push_back("-F");
  argv.push_back(kFormat);
  argv.push_back("-t");
  argv.push_back(probe_);
  for (const std::string& p : patterns) {
    argv.push_back("-t");
    argv.push_back(p);
  }
  process_.Start(argv, {}, file.string());
}

bool Subscriber::Ready() {
  return WaitFor([&] {
    Publish(port_, {"-t", probe_, "-m", "probe"});
    return Saw(probe_, "probe");
  });
}

std::vector<SeenMessage> Subscriber::Messages() const {
  return ParseLines(qor_test::ReadFileText(file_.string()));
}

bool Subscriber::Saw(const std::string& topic, const std::string& text) const {
  for (const SeenMessage& m : Messages())
    if (m.topic == topic && m.payload.find(text) != std::string::npos)
      return true;
  return false;
}

TcpProxy::TcpProxy(int target) : target_(target) {
  port_ = FreeTcpPort();
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listener_, 8) != 0) {
    close(listener_);
    listener_ = -1;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
}

void TcpProxy::Run() {
  std::vector<std::pair<int, int>> pairs;  // client, server
  char buffer[16384];
  while (!stop_) {
    std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
    if (stall_) {
      poll(nullptr, 0, 50);
      continue;
    }
    for (auto [client, server] : pairs) {
      fds.push_back({client, POLLIN, 0});
      fds.push_back({server, POLLIN, 0});
    }
    // Stall may have begun while it waited: then nothing is read.
    if (poll(fds.data(), fds.size(), 50) <= 0 || stall_) continue;
    // A pair accepted now was not polled: it has no entry in fds yet.
    const size_t polled = pairs.size();
    if (fds[0].revents & POLLIN) {
      int client = accept(listener_, nullptr, nullptr);
      int server = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(target_));
      if (client >= 0 &&
          connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        pairs.emplace_back(client, server);
      } else {
        if (client >= 0) close(client);
        close(server);
      }
    }
    std::vector<std::pair<int, int>> open;
    for (size_t i = 0; i < pairs.size(); ++i) {
      auto [client, server] = pairs[i];
      bool alive = true;
      for (int side = 0; side < 2 && alive && i < polled; ++side) {
        if (!(fds[1 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR)))
          continue;
        int from = side == 0 ? client : server;
        int to = side == 0 ? server : client;
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n <= 0) {
          alive = false;
        } else if (side == 0 || !drop_) {
          alive = write(to, buffer, static_cast<size_t>(n)) == n;
        }
      }
      if (alive) {
        open.push_back(pairs[i]);
      } else {
        close(client);
        close(server);
      }
    }
    pairs.swap(open);
  }
  for (auto [client, server] : pairs) {
    close(client);
    close(server);
  }
}
