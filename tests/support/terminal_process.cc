#include "support/terminal_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/process.h"

namespace qor_test {

TerminalProcess::TerminalProcess(const std::string& program,
                                 const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) {
  struct winsize size = {};
  size.ws_row = 40;
  size.ws_col = 120;
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  SpawnOptions o;
  o.in = o.out = o.err = slave_;
  o.newSession = true;
  Start(program, args, env, o);
  reader_ = std::thread([this] {
    char buffer[4096];
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;  // EIO while no process holds the terminal
      std::lock_guard<std::mutex> lock(mu_);
      output_.append(buffer, static_cast<size_t>(n));
    }
  });
}

TerminalProcess::~TerminalProcess() {
  End();
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

std::string TerminalProcess::Output() {
  std::lock_guard<std::mutex> lock(mu_);
  return output_;
}

struct termios TerminalProcess::Settings() const {
  struct termios t = {};
  tcgetattr(slave_, &t);
  return t;
}

PipedProcess::PipedProcess(const std::string& program,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& env, int pipeSize) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  if (pipeSize > 0) fcntl(fds[1], F_SETPIPE_SZ, pipeSize);
  read_ = fds[0];
  SpawnOptions o;
  o.out = fds[1];
  Start(program, args, env, o);
  close(fds[1]);
}

PipedProcess::~PipedProcess() {
  End();
  CloseReadEnd();
}

bool PipedProcess::ReadLines(int count, std::string* lines) {
  int seen = 0;
  char c;
  while (seen < count) {
    struct pollfd p = {read_, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return false;
    if (read(read_, &c, 1) != 1) return false;
    *lines += c;
    if (c == '\n') ++seen;
  }
  return true;
}

void PipedProcess::CloseReadEnd() {
  if (read_ >= 0) close(read_);
  read_ = -1;
}

int PipedProcess::Pending() const {
  int n = 0;
  if (read_ < 0 || ioctl(read_, FIONREAD, &n) != 0) return -1;
  return n;
}

}  // namespace qor_test
