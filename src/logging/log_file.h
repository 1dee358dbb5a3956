#ifndef QOR_LOGGING_LOG_FILE_H_
#define QOR_LOGGING_LOG_FILE_H_

#include <ctime>
#include <string>

class Clock;
class FileSystem;

// The driver's log file writer: one file per device and hour (or day),
// "DIR/YYYYMMDDHH_NAME_N.log", each line "HH:MM:SS.mmm - text". Every line is
// an open, append and close, so no handle is held, other processes may read
// or rotate the files at any time, and a line that cannot be written (no
// directory, no rights, full disk) is dropped without a report. The log
// directory is created once per process, one level only.
//
// One object serves the process (TheLogFile()). write/writeLine are safe from
// any thread; init runs once at start on the main thread.
class LogFile {
 public:
  // Directory used when QX_ROOT and QX_SYSTEM are not both set.
  static constexpr const char* kDefaultDirectory = "/var/log/zarnlogs";

  LogFile();
  virtual ~LogFile();

  // Resolves the directory from the environment: "QX_ROOT/QX_SYSTEM/logs"
  // when both variables exist (empty counts), else kDefaultDirectory.
  void init(int deviceNumber, const char* name, bool milliseconds, bool hourly);
  // As init, with the directory given (tests, tools).
  void initWithDirectory(int deviceNumber, const char* name, bool milliseconds,
                         bool hourly, const std::string& directory);

  void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes |text| unchanged (no format interpretation).
  void writeLine(const char* text);
  // For the fault handler: the same line, using only async-signal-safe
  // calls. The local-time offset is the one seen by the last init or
  // ordinary line.
  void writeLineSignalSafe(const char* text);

  // The file a line written at local time |tm| goes to.
  std::string fileNameFor(const struct tm& tm) const;
  const std::string& directory() const { return directory_; }
  int deviceNumber() const { return deviceNumber_; }

  // The clock behind the stamps and file names (its wall time) and the
  // file system the lines go to; null for the process's own. Set before
  // the first line; tests give a ManualClock and a
  // FaultInjectingFileSystem.
  void setClock(const Clock* clock);
  void setFileSystem(FileSystem* fs);
  // Tests: forgets that the directory was already created.
  static void resetDirectoryCreatedForTest();

 private:
  struct timespec now() const;

  int deviceNumber_ = -1;
  std::string name_;
  std::string directory_;
  bool milliseconds_ = true;
  bool hourly_ = true;
  const Clock* clock_;
  FileSystem* fs_;
  // Prebuilt for the signal handler, which must not allocate.
  char signalSafePrefix_[512] = {0};
  volatile long gmtOffset_ = 0;
};

LogFile& TheLogFile();

#endif  // QOR_LOGGING_LOG_FILE_H_
