#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qor_test {
namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Everything the child needs is prepared before fork: between fork and exec
// only async-signal-safe calls are made.
struct ExecPlan {
  std::vector<std::string> args;
  std::vector<std::string> envStrings;
  std::vector<char*> argv;
  std::vector<char*> envp;

  ExecPlan(const std::vector<std::string>& a,
           const std::map<std::string, std::string>& env)
      : args(a) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; e && *e; ++e) {
      const char* eq = std::strchr(*e, '=');
      if (eq) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : env) merged[k] = v;
    for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
};

[[noreturn]] void ExecChild(const ExecPlan& plan, int outFd, pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent is already gone
  int devNull = open("/dev/null", O_RDONLY);
  if (devNull >= 0) dup2(devNull, 0);
  if (outFd >= 0) {
    dup2(outFd, 1);
    dup2(outFd, 2);
  }
  // Nothing else of the test process leaks into the child.
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  // A clean signal state: gtest or the code under test may block signals.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  _exit(127);
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& outputPath) {
  Stop();
  if (argv.empty()) return false;
  ExecPlan plan(argv, env);
  int outFd = open(outputPath.empty() ? "/dev/null" : outputPath.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) ExecChild(plan, outFd, parent);
  if (outFd >= 0) close(outFd);
  if (pid < 0) return false;
  pid_ = pid;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    pid_ = -1;
    return false;
  }
  return true;
}

int ChildProcess::Stop(int graceMs) {
  if (pid_ <= 0) return -1;
  pid_t pid = pid_;
  pid_ = -1;
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == pid) return status;
  kill(pid, SIGTERM);
  int64_t deadline = NowMs() + graceMs;
  while (NowMs() < deadline) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno == ECHILD) return -1;
    usleep(5000);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

ToolResult RunTool(const std::vector<std::string>& argv, int timeoutMs,
                   const std::map<std::string, std::string>& env) {
  ToolResult result;
  if (argv.empty()) return result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  ExecPlan plan(argv, env);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // The write end must survive exec: dup2 clears close-on-exec.
    ExecChild(plan, fds[1], parent);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  int64_t deadline = NowMs() + timeoutMs;
  char buf[4096];
  while (true) {
    int64_t left = deadline - NowMs();
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    struct pollfd p = {fds[0], POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t got = read(fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the tool closed its output: it is ending
    result.output.append(buf, static_cast<size_t>(got));
  }
  close(fds[0]);
  if (result.timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timedOut && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace qor_test
