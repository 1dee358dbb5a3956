#ifndef QOR_INFODRIVER_SERVER_AUDIT_TRAIL_H_
#define QOR_INFODRIVER_SERVER_AUDIT_TRAIL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

class Clock;
class FileSystem;

// One device's record of every control request: one JSON object a line in
// DIR/audit_NNN_YYYYMMDD.jsonl, a file per UTC day, appended to and never
// rewritten; files older than the days kept are removed.
//
// Record never blocks: the lines are written by a thread of the trail's
// own, so that a slow or full disk can never hold a request past its
// deadline. A line that cannot be written stays queued and is tried again
// every second, in order; each failure is counted and said on standard
// error (the journal), once a minute at the most. When writing works again
// the trail first gets a "gap" record that says from when to when nothing
// could be written and why, and how many records were lost because the
// queue was full. Safe from any thread.
class AuditTrail {
 public:
  struct Options {
    std::string directory;
    int device = 0;
    int keepDays = 90;  // 0: keep every file
    size_t maxQueued = 10000;
    FileSystem* fs = nullptr;      // null: the process's own
    const Clock* clock = nullptr;  // its wall time; null: the system's
  };
  static constexpr int kDefaultKeepDays = 90;

  explicit AuditTrail(Options options);
  // Writes what can still be written, then stops the writer.
  ~AuditTrail();
  AuditTrail(const AuditTrail&) = delete;
  AuditTrail& operator=(const AuditTrail&) = delete;

  // Queues |record| with "time" (UTC, RFC 3339 with milliseconds) first.
  void Record(const nlohmann::ordered_json& record);

  uint64_t writeFailures() const { return writeFailures_; }
  uint64_t lost() const { return lost_; }
  // Waits until every queued record is written (tests, shutdown).
  void Flush();

  // "audit_NNN_YYYYMMDD.jsonl" for the UTC day of |unixSeconds|.
  static std::string FileName(int device, time_t unixSeconds);
  // The trail's folder: $ZARN_AUDIT_DIR when set, else the device's log
  // folder.
  static std::string DefaultDirectory();
  // The days kept from $ZARN_AUDIT_KEEP_DAYS (a whole number, 0 keeps all);
  // the default when unset or not a number, said on standard error.
  static int KeepDaysFromEnvironment(int device);

 private:
  struct Line {
    std::string text;
    time_t day;  // the UTC time whose day names the file
    uint64_t number;
  };
  void Run();
  // Writes what is queued, in order; false when a write failed.
  bool WriteQueued(std::unique_lock<std::mutex>& lock);
  void Prune(time_t now);
  std::string TimeText(const timespec& wall) const;

  const Options options_;
  FileSystem& fs_;
  const Clock& clock_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Line> queue_;  // guarded by mu_
  uint64_t nextLine_ = 0;   // guarded by mu_
  bool stopping_ = false;   // guarded by mu_
  bool failing_ = false;    // guarded by mu_: the last write failed
  std::string failingSince_;
  std::string failure_;
  uint64_t lostInGap_ = 0;
  time_t lastSaid_ = 0;
  time_t prunedDay_ = 0;
  std::atomic<uint64_t> writeFailures_{0};
  std::atomic<uint64_t> lost_{0};
  std::thread writer_;
};

// Reading a device's trail (infoctl audit, the web API). Times are UTC as
// the trail writes them ("2026-12-09T14:05:00.123Z"); a "since" may be any
// leading part of one ("2026-12-09", "2026-12-09T14:05"), and its records
// are those whose time is not before it.

// |text| as a since-time ("Z" at the end dropped), or nothing when it is
// not a leading part of such a time.
std::optional<std::string> ParseAuditSince(std::string_view text);

// Reads the trail files of |device| in |directory| from |since|'s day on,
// in order; calls |line| with each record (one JSON text, no newline) whose
// time is not before |since|. |offsets| remembers how far each file was
// read, so that a follower calls again for what came since; lines not yet
// ended are left for the next call. False with |error| when the folder
// cannot be read (a folder that does not exist holds no records).
bool ReadAuditTrail(const std::string& directory, int device,
                    const std::string& since,
                    std::map<std::string, uint64_t>* offsets,
                    const std::function<void(const std::string&)>& line,
                    std::string* error);

#endif  // QOR_INFODRIVER_SERVER_AUDIT_TRAIL_H_
