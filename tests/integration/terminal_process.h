#ifndef QOR_TESTS_INTEGRATION_TERMINAL_PROCESS_H_
#define QOR_TESTS_INTEGRATION_TERMINAL_PROCESS_H_

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A program run as an operator runs it in a terminal: in a session of its
// own on a fresh pseudo-terminal, which is its controlling terminal and
// its standard input, output and error. Everything it writes is collected;
// the test keeps the terminal's other end open, so its settings can be
// read after the program ended. Stopped by pid (SIGTERM, then SIGKILL)
// when the object goes.
class TerminalProcess {
 public:
  TerminalProcess(const std::string& program,
                  const std::vector<std::string>& args,
                  const std::vector<std::string>& env);
  ~TerminalProcess();
  TerminalProcess(const TerminalProcess&) = delete;
  TerminalProcess& operator=(const TerminalProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Exit status, 128 + signal when killed, -1 when it did not end in time.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Signal(int sig);
  std::string Output();
  // The terminal's settings as they are now.
  struct termios Settings() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int master_ = -1;
  int slave_ = -1;
  std::mutex mu_;
  std::string output_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// A program whose standard output is the write end of a pipe that the test
// reads (or does not); standard error goes to a file.
class PipedProcess {
 public:
  PipedProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, int pipeSize = 0);
  ~PipedProcess();
  PipedProcess(const PipedProcess&) = delete;
  PipedProcess& operator=(const PipedProcess&) = delete;

  pid_t pid() const { return pid_; }
  int readFd() const { return read_; }
  // Reads whole lines until |count| came; false on end of file or timeout.
  bool ReadLines(int count, std::string* lines);
  void CloseReadEnd();
  // Bytes waiting in the pipe.
  int Pending() const;
  bool running();
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Signal(int sig);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int read_ = -1;
};

#endif  // QOR_TESTS_INTEGRATION_TERMINAL_PROCESS_H_
