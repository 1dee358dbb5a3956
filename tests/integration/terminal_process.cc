#include "terminal_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "process.h"

namespace {

[[noreturn]] void Exec(const std::string& program,
                       const std::vector<std::string>& args,
                       const std::vector<std::string>& env) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGTTOU, SIGTTIN, SIGINT, SIGQUIT, SIGTSTP})
    signal(sig, SIG_DFL);
  for (const auto& e : env) putenv(strdup(e.c_str()));
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int StatusOf(int st) {
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace

TerminalProcess::TerminalProcess(const std::string& program,
                                 const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) {
  struct winsize size = {};
  size.ws_row = 40;
  size.ws_col = 120;
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    dup2(slave_, 0);
    dup2(slave_, 1);
    dup2(slave_, 2);
    Exec(program, args, env);
  }
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
  if (running()) {
    kill(pid_, SIGTERM);
    if (Wait(std::chrono::seconds(5)) == -1) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool TerminalProcess::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = StatusOf(st);
    return false;
  }
  return r == 0;
}

int TerminalProcess::Wait(std::chrono::milliseconds timeout) {
  WaitFor([this] { return !running(); }, timeout);
  return status_;
}

void TerminalProcess::Signal(int sig) {
  if (running()) kill(pid_, sig);
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
  pid_ = fork();
  if (pid_ == 0) {
    int in = open("/dev/null", O_RDONLY);
    int err = open("/dev/null", O_WRONLY);
    dup2(in, 0);
    dup2(fds[1], 1);
    dup2(err, 2);
    Exec(program, args, env);
  }
  close(fds[1]);
}

PipedProcess::~PipedProcess() {
  if (running()) {
    kill(pid_, SIGTERM);
    if (Wait(std::chrono::seconds(5)) == -1) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
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

bool PipedProcess::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = StatusOf(st);
    return false;
  }
  return r == 0;
}

int PipedProcess::Wait(std::chrono::milliseconds timeout) {
  WaitFor([this] { return !running(); }, timeout);
  return status_;
}

void PipedProcess::Signal(int sig) {
  if (running()) kill(pid_, sig);
}
