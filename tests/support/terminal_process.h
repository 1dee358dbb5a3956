#ifndef QOR_TESTS_SUPPORT_TERMINAL_PROCESS_H_
#define QOR_TESTS_SUPPORT_TERMINAL_PROCESS_H_

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace qor_test {

// A program run as an operator runs it in a terminal: in a session of its
// own on a fresh pseudo-terminal, which is its controlling terminal and
// its standard input, output and error. Everything it writes is collected;
// the test keeps the terminal's other end open, so its settings can be
// read after the program ended. Stopped by pid (SIGTERM, then SIGKILL)
// when the object goes.
class TerminalProcess : public SpawnedChild {
 public:
  TerminalProcess(const std::string& program,
                  const std::vector<std::string>& args,
                  const std::vector<std::string>& env);
  ~TerminalProcess();
  std::string Output();
  // The terminal's settings as they are now.
  struct termios Settings() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::mutex mu_;
  std::string output_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// A program whose standard output is the write end of a pipe that the test
// reads (or does not); its standard error is discarded.
class PipedProcess : public SpawnedChild {
 public:
  PipedProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, int pipeSize = 0);
  ~PipedProcess();
  int readFd() const { return read_; }
  // Reads whole lines until |count| came; false on end of file or timeout.
  bool ReadLines(int count, std::string* lines);
  void CloseReadEnd();
  // Bytes waiting in the pipe.
  int Pending() const;

 private:
  int read_ = -1;
};

}  // namespace qor_test

#endif  // QOR_TESTS_SUPPORT_TERMINAL_PROCESS_H_
