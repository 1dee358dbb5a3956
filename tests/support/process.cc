#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace qor_test {
namespace {

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

// The target descriptor of a redirection: /dev/null when none is given.
int OrNull(int fd, int devNull) { return fd >= 0 ? fd : devNull; }

[[noreturn]] void ExecChild(const ExecPlan& plan, const SpawnOptions& o,
                            pid_t parent) {
  if (o.dieWithParent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent is already gone
  }
  if (o.newSession) {
    setsid();
    if (o.in >= 0) ioctl(o.in, TIOCSCTTY, 0);
  }
  int devNull = open("/dev/null", O_RDWR);
  // Each target is copied above 2 first, so that a redirection never
  // overwrites a descriptor another one still reads from.
  int in = fcntl(OrNull(o.in, devNull), F_DUPFD, 3);
  int out = fcntl(OrNull(o.out, devNull), F_DUPFD, 3);
  int err = fcntl(OrNull(o.err, devNull), F_DUPFD, 3);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // Nothing else of the test process leaks into the child.
  if (close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }
  if (o.fileLimit > 0) {
    struct rlimit files = {static_cast<rlim_t>(o.fileLimit),
                           static_cast<rlim_t>(o.fileLimit)};
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // A clean signal state: gtest or the code under test may block signals.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
    signal(sig, SIG_DFL);
  execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  _exit(127);
}

}  // namespace

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

pid_t Spawn(const SpawnOptions& options) {
  if (options.argv.empty()) return -1;
  ExecPlan plan(options.argv, options.env);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) ExecChild(plan, options, parent);
  return pid < 0 ? -1 : pid;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::map<std::string, std::string> EnvironmentOf(
    const std::vector<std::string>& entries) {
  std::map<std::string, std::string> env;
  for (const auto& e : entries) {
    size_t eq = e.find('=');
    if (eq != std::string::npos) env[e.substr(0, eq)] = e.substr(eq + 1);
  }
  return env;
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& outputPath) {
  Stop();
  if (argv.empty()) return false;
  int outFd = open(outputPath.empty() ? "/dev/null" : outputPath.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  SpawnOptions o;
  o.argv = argv;
  o.env = env;
  o.out = o.err = outFd;
  o.dieWithParent = true;
  pid_t pid = Spawn(o);
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
  int64_t deadline = MonotonicMs() + graceMs;
  while (MonotonicMs() < deadline) {
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
  SpawnOptions o;
  o.argv = argv;
  o.env = env;
  // The write end survives exec: dup2 clears close-on-exec.
  o.out = o.err = fds[1];
  o.dieWithParent = true;
  pid_t pid = Spawn(o);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  int64_t deadline = MonotonicMs() + timeoutMs;
  char buf[4096];
  while (true) {
    int64_t left = deadline - MonotonicMs();
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

namespace {
std::atomic<int> processCounter{0};
}

void SpawnedChild::Start(const std::string& program,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& env,
                         SpawnOptions options) {
  options.argv.clear();
  options.argv.push_back(program);
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = EnvironmentOf(env);
  pid_ = Spawn(options);
}

void SpawnedChild::End() {
  if (running()) {
    kill(pid_, SIGTERM);
    if (Wait(std::chrono::seconds(5)) == -1) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
}

bool SpawnedChild::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = ExitCodeOf(st);
    return false;
  }
  return r == 0;
}

int SpawnedChild::Wait(std::chrono::milliseconds timeout) {
  WaitFor([this] { return !running(); }, timeout);
  return status_;
}

void SpawnedChild::Signal(int sig) {
  if (running()) kill(pid_, sig);
}

Process::Process(const std::string& program,
                 const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  const std::string base = "/tmp/qor_proc_" + std::to_string(getpid()) + "_" +
                           std::to_string(processCounter++);
  outPath_ = base + ".out";
  errPath_ = base + ".err";
  SpawnOptions o;
  o.out =
      open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  o.err =
      open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Start(program, args, env, o);
  if (o.out >= 0) close(o.out);
  if (o.err >= 0) close(o.err);
}

Process::~Process() {
  End();
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

std::string Process::Stdout() const { return ReadFileText(outPath_); }
std::string Process::Stderr() const { return ReadFileText(errPath_); }

}  // namespace qor_test
