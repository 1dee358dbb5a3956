#ifndef QOR_TESTS_INTEGRATION_PROCESS_H_
#define QOR_TESTS_INTEGRATION_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// A child process for end-to-end tests: started with its own environment
// additions, standard output and error captured to files, ended by pid
// (SIGTERM, then SIGKILL) when the object goes, whatever the test's outcome.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Waits for the exit; returns the exit status, 128 + signal when killed,
  // or -1 when it did not end in time (it is then left running).
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Signal(int sig);
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_, errPath_;
};

// Polls |condition| every 20 ms until it holds or |timeout| passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string ReadFileText(const std::string& path);

#endif  // QOR_TESTS_INTEGRATION_PROCESS_H_
