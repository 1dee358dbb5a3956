#include "logging/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace {

// Process-wide: the log directory is created at most once per process, on
// the first line, so a directory that vanishes later is not made again.
std::atomic<bool> g_directoryTried{false};

void TryCreateDirectoryOnce(FileSystem& fs, const std::string& dir) {
  bool expected = false;
  if (g_directoryTried.compare_exchange_strong(expected, true))
    fs.MakeDirectory(dir);  // one level; failure (e.g. it exists) ignored
}

// Appends |data| to |path| with one open/write/close, for the fault
// handler: FileSystem::Append takes a std::string, which may allocate, and
// nothing may allocate in a signal handler.
void AppendToFileSignalSafe(const char* path, const char* data, size_t len) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n <= 0) break;
    data += n;
    len -= static_cast<size_t>(n);
  }
  close(fd);
}

// Civil date from days since 1970-01-01 (Howard Hinnant's algorithm); no
// library calls, so it can run in a signal handler.
void CivilFromDays(long z, int* y, int* m, int* d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long yy = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yy + (*m <= 2));
}

void PutDigits(char* out, size_t* pos, long value, int width) {
  char tmp[24];
  int n = 0;
  if (value < 0) value = 0;
  do {
    tmp[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value || n < width);
  while (n > 0) out[(*pos)++] = tmp[--n];
}

void PutText(char* out, size_t* pos, size_t cap, const char* text) {
  while (*text && *pos + 1 < cap) out[(*pos)++] = *text++;
}

}  // namespace

LogFile::LogFile() : clock_(&TheSystemClock()), fs_(&TheFileSystem()) {}
LogFile::~LogFile() = default;

void LogFile::init(int deviceNumber, const char* name, bool milliseconds,
                   bool hourly) {
  const std::optional<std::string> root = SystemRootDirectory(*fs_);
  const std::string dir = root ? *root + "/logs" : kDefaultDirectory;
  initWithDirectory(deviceNumber, name, milliseconds, hourly, dir);
}

void LogFile::initWithDirectory(int deviceNumber, const char* name,
                                bool milliseconds, bool hourly,
                                const std::string& directory) {
  deviceNumber_ = deviceNumber;
  name_ = name ? name : "";
  milliseconds_ = milliseconds;
  hourly_ = hourly;
  // Kept whole even beyond 255 characters: a shortened path would be some
  // other directory. A path the system refuses loses its lines like any
  // file that cannot be opened.
  directory_ = directory;
  std::snprintf(signalSafePrefix_, sizeof signalSafePrefix_, "%s",
                directory_.c_str());
  struct timespec ts = now();
  time_t t = ts.tv_sec;
  struct tm tm;
  localtime_r(&t, &tm);
  gmtOffset_ = tm.tm_gmtoff;
}

void LogFile::setClock(const Clock* clock) {
  clock_ = clock ? clock : &TheSystemClock();
}

void LogFile::setFileSystem(FileSystem* fs) {
  fs_ = fs ? fs : &TheFileSystem();
}

void LogFile::resetDirectoryCreatedForTest() { g_directoryTried = false; }

struct timespec LogFile::now() const {
  return clock_->WallNow();
}

std::string LogFile::fileNameFor(const struct tm& tm) const {
  char date[32];
  std::snprintf(date, sizeof date, "%04d%02d%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday);
  char tail[64];
  if (hourly_) {
    std::snprintf(tail, sizeof tail, "%s%02d_", date, tm.tm_hour);
  } else {
    std::snprintf(tail, sizeof tail, "%s_", date);
  }
  return directory_ + "/" + tail + name_ + "_" + std::to_string(deviceNumber_) +
         ".log";
}

void LogFile::write(const char* format, ...) {
  char line[kLogLineMax];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  writeLine(line);
}

void LogFile::writeLine(const char* text) {
  if (!text) return;
  struct timespec ts = now();
  time_t t = ts.tv_sec;
  struct tm tm;
  localtime_r(&t, &tm);
  gmtOffset_ = tm.tm_gmtoff;
  char stamp[32];
  if (milliseconds_) {
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tm.tm_hour,
                  tm.tm_min, tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
  } else {
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
  }
  TryCreateDirectoryOnce(*fs_, directory_);
  // A line that cannot be written is lost; there is nowhere to report it.
  fs_->Append(fileNameFor(tm), std::string(stamp) + " - " + text + "\n");
}

void LogFile::writeLineSignalSafe(const char* text) {
  const struct timespec ts = now();
  long local = static_cast<long>(ts.tv_sec) + gmtOffset_;
  long days = local / 86400;
  long secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  int y, m, d;
  CivilFromDays(days, &y, &m, &d);
  const int hh = static_cast<int>(secs / 3600);
  const int mi = static_cast<int>(secs % 3600 / 60);
  const int ss = static_cast<int>(secs % 60);

  char path[1024];
  size_t p = 0;
  PutText(path, &p, sizeof path - 64, signalSafePrefix_);
  path[p++] = '/';
  PutDigits(path, &p, y, 4);
  PutDigits(path, &p, m, 2);
  PutDigits(path, &p, d, 2);
  if (hourly_) PutDigits(path, &p, hh, 2);
  path[p++] = '_';
  path[p] = '\0';
  char tail[128];
  size_t q = 0;
  PutText(tail, &q, sizeof tail - 24, name_.c_str());
  tail[q++] = '_';
  PutDigits(tail, &q, deviceNumber_, 1);
  PutText(tail, &q, sizeof tail, ".log");
  tail[q] = '\0';
  PutText(path, &p, sizeof path, tail);
  path[p] = '\0';

  char line[512];
  size_t n = 0;
  PutDigits(line, &n, hh, 2);
  line[n++] = ':';
  PutDigits(line, &n, mi, 2);
  line[n++] = ':';
  PutDigits(line, &n, ss, 2);
  if (milliseconds_) {
    line[n++] = '.';
    PutDigits(line, &n, ts.tv_nsec / 1000000, 3);
  }
  PutText(line, &n, sizeof line - 1, " - ");
  PutText(line, &n, sizeof line - 1, text);
  line[n++] = '\n';
  AppendToFileSignalSafe(path, line, n);
}

LogFile& TheLogFile() {
  static LogFile* file = new LogFile();  // never destroyed: usable at exit
  return *file;
}
