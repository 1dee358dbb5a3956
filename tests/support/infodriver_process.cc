#include "support/infodriver_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "infodriver/info_socket.h"
#include "infodriver/runtime_dir.h"
#include "support/process.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

int64_t MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             SteadyClock::now() - start)
      .count();
}

// Waits for |pid| at most |timeoutMs|; the exit code or -1.
int WaitPid(pid_t pid, int timeoutMs) {
  const auto start = SteadyClock::now();
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return qor_test::ExitCodeOf(status);
    if (r < 0) return -1;
    if (MsSince(start) > timeoutMs) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Stops |pid| with |signal|, killing it if it will not end; exit code or -1.
int StopPid(pid_t pid, int signal) {
  kill(pid, signal);
  int code = WaitPid(pid, 10000);
  if (code == -1) {
    kill(pid, SIGKILL);
    WaitPid(pid, 10000);
  }
  return code;
}

void RemoveTree(const std::string& path) {
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        RemoveTree(child);
      else
        unlink(child.c_str());
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

}  // namespace

TempRuntimeDir::TempRuntimeDir() {
  char pattern[] = "/tmp/infodriver_test_XXXXXX";
  path_ = mkdtemp(pattern);
  if (const char* old = getenv("ZARN_RUNTIME_DIR")) {
    hadPrevious_ = true;
    previous_ = old;
  }
  setenv("ZARN_RUNTIME_DIR", path_.c_str(), 1);
  // The infodrivers started from here keep their audit trails here too,
  // never in the machine's log folder.
  setenv("ZARN_AUDIT_DIR", (path_ + "/audit").c_str(), 1);
}

TempRuntimeDir::~TempRuntimeDir() {
  if (hadPrevious_)
    setenv("ZARN_RUNTIME_DIR", previous_.c_str(), 1);
  else
    unsetenv("ZARN_RUNTIME_DIR");
  unsetenv("ZARN_AUDIT_DIR");
  chmod(path_.c_str(), 0700);
  RemoveTree(path_);
}

InfodriverProcess::InfodriverProcess(const std::string& binary, int device,
                                     const std::string& stderrPath,
                                     long fileLimit) {
  int err = stderrPath.empty()
                ? -1
                : open(stderrPath.c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  qor_test::SpawnOptions o;
  o.argv = {binary, std::to_string(device)};
  o.in = STDIN_FILENO;
  o.out = STDOUT_FILENO;
  o.err = err;
  o.fileLimit = fileLimit;
  pid_t pid = qor_test::Spawn(o);
  if (err >= 0) close(err);
  if (pid < 0) return;
  pid_ = pid;
  std::string dir, error;
  bool ready = WaitUntil([&] {
    if (PrepareRuntimeDirectory(false, &dir, &error) != RuntimeDirStatus::kOk)
      return false;
    struct stat st;
    return stat(InfodriverSocketPath(dir, device).c_str(), &st) == 0;
  });
  if (!ready) {
    StopPid(pid_, SIGKILL);
    pid_ = -1;
  }
}

InfodriverProcess::~InfodriverProcess() {
  if (pid_ > 0) StopPid(pid_, SIGTERM);
}

int InfodriverProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  int code = StopPid(pid_, signal);
  pid_ = -1;
  return code;
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::function<void()> whileRunning, int timeoutMs) {
  ProcessResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  qor_test::SpawnOptions o;
  o.argv = argv;
  o.in = STDIN_FILENO;
  o.out = out[1];
  o.err = err[1];
  pid_t pid = qor_test::Spawn(o);
  close(out[1]);
  close(err[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  const auto start = SteadyClock::now();
  bool outOpen = true, errOpen = true;
  int status = 0;
  bool ended = false;
  while (!ended || outOpen || errOpen) {
    struct pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0},
                          {errOpen ? err[0] : -1, POLLIN, 0}};
    poll(p, 2, whileRunning ? 1 : 5);
    char buf[4096];
    ssize_t n;
    while (outOpen && (n = read(out[0], buf, sizeof buf)) != 0) {
      if (n < 0) break;
      result.out.append(buf, n);
    }
    if (outOpen && n == 0) outOpen = false;
    while (errOpen && (n = read(err[0], buf, sizeof buf)) != 0) {
      if (n < 0) break;
      result.err.append(buf, n);
    }
    if (errOpen && n == 0) errOpen = false;
    if (!ended && waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      result.exitCode = qor_test::ExitCodeOf(status);
    }
    if (!ended && whileRunning) whileRunning();
    if (MsSince(start) > timeoutMs) {
      if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        result.exitCode = -1;
      }
      break;
    }
  }
  close(out[0]);
  close(err[0]);
  return result;
}

LineReader::LineReader(const std::vector<std::string>& argv, bool withStderr) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  qor_test::SpawnOptions o;
  o.argv = argv;
  o.in = STDIN_FILENO;
  o.out = out[1];
  if (withStderr) o.err = out[1];
  pid_t pid = qor_test::Spawn(o);
  close(out[1]);
  fd_ = out[0];
  pid_ = pid;
}

LineReader::~LineReader() {
  if (pid_ > 0) StopPid(pid_, SIGKILL);
  if (fd_ >= 0) close(fd_);
}

bool LineReader::next(std::string* line, int timeoutMs) {
  const auto start = SteadyClock::now();
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    int left = timeoutMs - static_cast<int>(MsSince(start));
    if (left <= 0 || fd_ < 0) return false;
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, n);
  }
}

int LineReader::stop(int signal) {
  if (pid_ <= 0) return -1;
  int code = StopPid(pid_, signal);
  pid_ = -1;
  return code;
}

int LineReader::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int code = WaitPid(pid_, timeoutMs);
  if (code != -1) pid_ = -1;
  return code;
}

RawPeer::RawPeer(int device) {
  std::string dir, error;
  if (PrepareRuntimeDirectory(false, &dir, &error) != RuntimeDirStatus::kOk)
    return;
  int reason = 0;
  fd_ = ConnectInfoSocket(InfodriverSocketPath(dir, device), &reason);
}

RawPeer::~RawPeer() {
  if (fd_ >= 0) close(fd_);
}

bool RawPeer::send(const InfoMessage& m) {
  return fd_ >= 0 && SendInfoMessage(fd_, m, 5000);
}

bool RawPeer::sendBytes(const std::string& bytes) {
  if (fd_ < 0) return false;
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

bool RawPeer::receive(InfoMessage* m, int timeoutMs) {
  if (fd_ < 0) return false;
  const auto start = SteadyClock::now();
  for (;;) {
    int left = timeoutMs - static_cast<int>(MsSince(start));
    switch (ReceiveInfoMessage(fd_, m, left > 0 ? left : 0)) {
      case InfoReceive::kMessage:
        return true;
      case InfoReceive::kMalformed:
        continue;
      default:
        return false;
    }
  }
}

bool RawPeer::request(InfoMessage m, InfoMessage* result,
                      std::vector<InfoMessage>* others) {
  m.sequence = nextSequence_++;
  if (!send(m)) return false;
  for (;;) {
    InfoMessage in;
    if (!receive(&in)) return false;
    if (in.message == INFO_RESULT && in.sequence == m.sequence) {
      *result = in;
      return true;
    }
    if (others != nullptr) others->push_back(in);
  }
}

bool RawPeer::closedByPeer(int timeoutMs) {
  if (fd_ < 0) return true;
  const auto start = SteadyClock::now();
  for (;;) {
    int left = timeoutMs - static_cast<int>(MsSince(start));
    if (left <= 0) return false;
    InfoMessage m;
    switch (ReceiveInfoMessage(fd_, &m, left)) {
      case InfoReceive::kClosed:
        return true;
      case InfoReceive::kNothing:
        return false;
      default:
        continue;  // whatever was still on its way
    }
  }
}

bool RawPeer::becomeDriver(int device) {
  InfoMessage result;
  std::vector<InfoMessage> others;
  if (!request({WVN_DISCOVER, 0, 1, device & 0xFFFF, ""}, &result, &others))
    return false;
  if (!request({WVN_ANNOUNCE, 0, 1, 0, ""}, &result, &others)) return false;
  return result.wParam == 1;
}

long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold spaces: state is the 3rd
  // field, utime the 14th and stime the 15th.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

int RunAsNobody(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
      _exit(100);
    _exit(body());
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool WaitUntil(std::function<bool()> condition, int timeoutMs,
               std::function<void()> pump) {
  const auto start = SteadyClock::now();
  while (!condition()) {
    if (MsSince(start) > timeoutMs) return false;
    if (pump)
      pump();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
