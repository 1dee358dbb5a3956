#ifndef QOR_PLATFORM_OUTPUT_LINES_H_
#define QOR_PLATFORM_OUTPUT_LINES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Lines for a file descriptor (standard output of a headless driver) that
// never hold up the caller: Write() only queues, and a thread of this
// object's own does the writing. A reader that stalls or goes away costs
// lines, never the event loop: when more than |maxQueuedBytes| wait, or the
// descriptor fails (EPIPE once the reader is gone), lines are dropped and
// counted. After a gap the next line written is preceded by one line that
// says how many went missing, so a reader can tell.
//
// The descriptor is not made non-blocking: it may be shared with other
// processes (a terminal, a pipe of the shell), and only the writing thread
// ever waits on it. The destructor waits up to |drainMs| for queued lines
// and then leaves a writer that is stuck on a stalled reader behind; the
// process end takes it. Write() is safe from any thread.
class OutputLines {
 public:
  explicit OutputLines(int fd, size_t maxQueuedBytes = 256 * 1024,
                       int drainMs = 500);
  ~OutputLines();
  OutputLines(const OutputLines&) = delete;
  OutputLines& operator=(const OutputLines&) = delete;

  // Queues |line| followed by a newline.
  void Write(const std::string& line);
  // Lines dropped so far.
  uint64_t dropped() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  int drainMs_;
};

#endif  // QOR_PLATFORM_OUTPUT_LINES_H_
