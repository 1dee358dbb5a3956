#ifndef QOR_TESTS_SUPPORT_INFODRIVER_PROCESS_H_
#define QOR_TESTS_SUPPORT_INFODRIVER_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "infodriver/infodriver_protocol.h"

// Helpers for tests that run the real infodriver and infoctl programs.
// Every helper cleans up after itself whatever the outcome: processes are
// stopped by pid, directories removed.

// A private RUNDIR: a fresh directory (mode 0700) that ZARN_RUNTIME_DIR
// points at for the helper's life.
class TempRuntimeDir {
 public:
  TempRuntimeDir();
  ~TempRuntimeDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// `infodriver N` as a child process, ready (its socket present) when the
// constructor returns, or failed() when it did not get there. Its standard
// error goes to |stderrPath| (appended) or nowhere; |fileLimit| > 0 sets its
// soft and hard descriptor limits.
class InfodriverProcess {
 public:
  InfodriverProcess(const std::string& binary, int device,
                    const std::string& stderrPath = std::string(),
                    long fileLimit = 0);
  ~InfodriverProcess();  // SIGTERM, then SIGKILL if it will not go
  bool failed() const { return pid_ <= 0; }
  pid_t pid() const { return pid_; }
  // Sends |signal| and waits for the end; returns the exit code, 128 +
  // signal when killed by one, or -1 when it did not end in time.
  int stop(int signal);

 private:
  pid_t pid_ = -1;
};

struct ProcessResult {
  int exitCode = -1;  // -1: did not end in time (it was killed)
  std::string out;
  std::string err;
};

// Runs |argv| to its end (at most |timeoutMs|), collecting its output.
// |whileRunning| is called repeatedly while it runs (for instance to serve an
// event loop the child's request depends on).
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::function<void()> whileRunning = nullptr,
                         int timeoutMs = 20000);

// A child whose standard output is read line by line (infoctl watch).
class LineReader {
 public:
  // |withStderr|: the child's standard error comes through the same lines.
  explicit LineReader(const std::vector<std::string>& argv,
                      bool withStderr = false);
  pid_t pid() const { return pid_; }
  ~LineReader();  // SIGKILL if still running
  // The next line (without its newline), waiting at most |timeoutMs|; false
  // when none came.
  bool next(std::string* line, int timeoutMs);
  // Sends |signal| and returns the exit code (as InfodriverProcess::stop).
  int stop(int signal);
  // Waits for the end by itself; returns the exit code or -1.
  int wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
};

// A raw connection to an infodriver's socket, for tests that speak the
// protocol themselves (and misbehave on purpose).
class RawPeer {
 public:
  explicit RawPeer(int device);
  ~RawPeer();
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const InfoMessage& m);
  // Sends |bytes| as one message, however malformed.
  bool sendBytes(const std::string& bytes);
  // The next message, skipping none; false on timeout or close.
  bool receive(InfoMessage* m, int timeoutMs = 5000);
  // Sends |m| with |sequence| and returns its INFO_RESULT (messages before
  // it are appended to |others| when given). False when none came.
  bool request(InfoMessage m, InfoMessage* result,
               std::vector<InfoMessage>* others = nullptr);
  // True when the infodriver has closed this connection (within the wait).
  bool closedByPeer(int timeoutMs = 5000);
  // DISCOVER + ANNOUNCE: true when accepted as the device's driver.
  bool becomeDriver(int device);

 private:
  int fd_ = -1;
  uint32_t nextSequence_ = 1;
};

// The processor time |pid| has used so far, in clock ticks (user + system),
// or -1.
long CpuTicks(pid_t pid);

// Runs |body| in a child process as user and group 65534 (nobody) and
// returns its exit code, or -1.
int RunAsNobody(const std::function<int()>& body);

// Waits until |condition| holds, checking every few milliseconds, at most
// |timeoutMs|; calls |pump| between checks when given.
bool WaitUntil(std::function<bool()> condition, int timeoutMs = 10000,
               std::function<void()> pump = nullptr);

#endif  // QOR_TESTS_SUPPORT_INFODRIVER_PROCESS_H_
