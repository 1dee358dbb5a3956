#ifndef QOR_TESTS_SUPPORT_PROCESS_H_
#define QOR_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qor_test {

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

}  // namespace qor_test

#endif  // QOR_TESTS_SUPPORT_PROCESS_H_
