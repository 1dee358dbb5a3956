#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {
std::atomic<int> g_counter{0};
}

Process::Process(const std::string& program,
                 const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  const std::string base = "/tmp/qor_proc_" + std::to_string(getpid()) + "_" +
                           std::to_string(g_counter++);
  outPath_ = base + ".out";
  errPath_ = base + ".err";
  pid_ = fork();
  if (pid_ == 0) {
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The test runner may block signals; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

Process::~Process() {
  if (running()) {
    kill(pid_, SIGTERM);
    if (Wait(std::chrono::seconds(5)) == -1) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

bool Process::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return r == 0;
}

int Process::Wait(std::chrono::milliseconds timeout) {
  WaitFor([this] { return !running(); }, timeout);
  return status_;
}

void Process::Signal(int sig) {
  if (running()) kill(pid_, sig);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Process::Stdout() const { return ReadFileText(outPath_); }
std::string Process::Stderr() const { return ReadFileText(errPath_); }

bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
