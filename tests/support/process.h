#ifndef QOR_TESTS_SUPPORT_PROCESS_H_
#define QOR_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qor_test {

// How a test starts a program: every child of the tests and benchmarks is
// started by Spawn, so each starts with the same clean state.
struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0] is the program's path
  // Added to (or replacing) the test's environment as it is at the start.
  std::map<std::string, std::string> env;
  // The child's standard input, output and error; -1 is /dev/null. The
  // same descriptor may stand for more than one.
  int in = -1;
  int out = -1;
  int err = -1;
  // A session of its own, with |in| (a terminal) as its controlling one.
  bool newSession = false;
  // SIGKILL when the test process dies first, so that nothing outlives a
  // crashed test. Only for children started from the test's main thread:
  // the signal follows the thread that started the child.
  bool dieWithParent = false;
  // > 0: the child's soft and hard limits on open descriptors.
  long fileLimit = 0;
};

// Starts the child: blocked signals cleared, the job-control, pipe and exit
// signals at their defaults, no descriptor of the test beyond 0 to 2
// inherited. The pid, or -1 when no child could be made (a program that
// cannot be executed ends with exit code 127).
pid_t Spawn(const SpawnOptions& options);

// The exit code of a wait status, or 128 + the signal that ended it.
int ExitCodeOf(int status);

// Polls |condition| every 20 ms until it holds or |timeout| passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string ReadFileText(const std::string& path);

// Milliseconds of the monotonic clock, for deadlines.
int64_t MonotonicMs();

// A child process that the test owns: started with fork/exec, stopped by
// its pid (SIGTERM, then SIGKILL after a grace period) when the object goes,
// whatever the outcome of the test. The child also gets SIGKILL if the test
// process dies first, so no agent outlives a crashed test.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // |env| entries are added to (or replace) the test's environment. Standard
  // output and error go to |outputPath| (appended), or /dev/null when empty.
  // False when the program could not be started.
  bool Start(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {},
             const std::string& outputPath = "");
  // SIGTERM, wait up to |graceMs|, then SIGKILL; always reaps the child.
  // Returns the exit status as waitpid gives it, or -1 when none ran.
  int Stop(int graceMs = 3000);
  // True while the child has not exited (reaps it when it has).
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

struct ToolResult {
  int exitCode = -1;  // -1 when it did not start or was killed
  bool timedOut = false;
  std::string output;  // standard output and error together
};

// Runs a command-line tool to its end (killed after |timeoutMs|).
ToolResult RunTool(const std::vector<std::string>& argv, int timeoutMs = 10000,
                   const std::map<std::string, std::string>& env = {});

// A started child of an end-to-end test, watched by pid until it ends; the
// kinds of child below differ only in where its output goes.
class SpawnedChild {
 public:
  SpawnedChild(const SpawnedChild&) = delete;
  SpawnedChild& operator=(const SpawnedChild&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Waits for the exit; returns the exit status, 128 + signal when killed,
  // or -1 when it did not end in time (it is then left running).
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Signal(int sig);

 protected:
  SpawnedChild() = default;
  ~SpawnedChild() = default;
  // Starts |program| with |args| and the "NAME=value" additions |env|.
  void Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, SpawnOptions options);
  // SIGTERM, then SIGKILL if it will not go: whatever the test's outcome,
  // nothing it started outlives it.
  void End();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// A child process for end-to-end tests: started with its own environment
// additions ("NAME=value"), standard output and error captured to files,
// ended by pid when the object goes.
class Process : public SpawnedChild {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {});
  ~Process();

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  std::string outPath_, errPath_;
};

// "NAME=value" entries as Spawn's environment additions.
std::map<std::string, std::string> EnvironmentOf(
    const std::vector<std::string>& entries);

}  // namespace qor_test

#endif  // QOR_TESTS_SUPPORT_PROCESS_H_
