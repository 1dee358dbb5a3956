#include "infodriver/server/audit_trail.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "logging/log_file.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/journal_stream.h"

namespace {

constexpr int kRetryMs = 1000;
constexpr time_t kSayFailureEverySeconds = 60;

std::string DayText(time_t unixSeconds) {
  struct tm tm {};
  gmtime_r(&unixSeconds, &tm);
  char text[48];
  std::snprintf(text, sizeof text, "%04d%02d%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday);
  return text;
}

}  // namespace

AuditTrail::AuditTrail(Options options)
    : options_(std::move(options)),
      fs_(options_.fs ? *options_.fs : TheFileSystem()),
      clock_(options_.clock ? *options_.clock : TheSystemClock()),
      writer_([this] { Run(); }) {}

AuditTrail::~AuditTrail() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  writer_.join();
}

std::string AuditTrail::FileName(int device, time_t unixSeconds) {
  char name[64];
  std::snprintf(name, sizeof name, "audit_%03d_%s.jsonl", device,
                DayText(unixSeconds).c_str());
  return name;
}

std::string AuditTrail::DefaultDirectory() {
  if (const char* dir = std::getenv("ZARN_AUDIT_DIR"); dir && *dir) return dir;
  const std::optional<std::string> root = SystemRootDirectory(TheFileSystem());
  return root ? *root + "/logs" : LogFile::kDefaultDirectory;
}

int AuditTrail::KeepDaysFromEnvironment(int device) {
  const char* text = std::getenv("ZARN_AUDIT_KEEP_DAYS");
  if (!text) return kDefaultKeepDays;
  char* end = nullptr;
  errno = 0;
  const long days = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || days < 0 || days > 36500) {
    std::fprintf(stderr,
                 "infodriver %d: ZARN_AUDIT_KEEP_DAYS=\"%.32s\" is not a "
                 "number of days (0 to 36500); keeping %d days\n",
                 device, text, kDefaultKeepDays);
    return kDefaultKeepDays;
  }
  return static_cast<int>(days);
}

std::string AuditTrail::TimeText(const timespec& wall) const {
  struct tm tm {};
  gmtime_r(&wall.tv_sec, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, wall.tv_nsec / 1000000);
  return text;
}

void AuditTrail::Record(const nlohmann::ordered_json& record) {
  const timespec wall = clock_.WallNow();
  nlohmann::ordered_json line;
  line["time"] = TimeText(wall);
  for (const auto& [key, value] : record.items())
    if (key != "time") line[key] = value;
  // Texts from outside may hold anything: bytes that are not UTF-8 are
  // written replaced rather than losing the record.
  std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
      "\n";
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.size() >= options_.maxQueued) {
      queue_.pop_front();
      ++lost_;
      ++lostInGap_;
    }
    queue_.push_back({std::move(text), wall.tv_sec, nextLine_++});
  }
  wake_.notify_one();
}

void AuditTrail::Flush() {
  std::unique_lock<std::mutex> lock(mu_);
  drained_.wait(lock, [this] { return queue_.empty() || stopping_; });
}

void AuditTrail::Run() {
  fs_.MakeDirectory(options_.directory);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const bool written = WriteQueued(lock);
    if (queue_.empty()) drained_.notify_all();
    if (stopping_ && (queue_.empty() || !written)) break;
    if (written) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    } else {
      wake_.wait_for(lock, std::chrono::milliseconds(kRetryMs),
                     [this] { return stopping_; });
    }
  }
  drained_.notify_all();
}

bool AuditTrail::WriteQueued(std::unique_lock<std::mutex>& lock) {
  while (!queue_.empty()) {
    Line line = queue_.front();
    const timespec wall = clock_.WallNow();
    std::string text;
    if (failing_) {
      // The first line that goes in after a failure says what is missing.
      nlohmann::ordered_json gap;
      gap["time"] = TimeText(wall);
      gap["outcome"] = "gap";
      gap["device"] = options_.device;
      gap["reason"] = "the trail could not be written from " + failingSince_ +
                      " (" + failure_ + "); the records of that time follow" +
                      (lostInGap_ ? ", " + std::to_string(lostInGap_) +
                                        " of them lost (too many waiting)"
                                  : std::string());
      text = gap.dump() + "\n";
    }
    text += line.text;
    lock.unlock();
    const std::string path =
        options_.directory + "/" + FileName(options_.device, line.day);
    int error = fs_.Append(path, text);
    if (error == ENOENT) {
      fs_.MakeDirectory(options_.directory);
      error = fs_.Append(path, text);
    }
    lock.lock();
    if (error != 0) {
      ++writeFailures_;
      if (!failing_) {
        failing_ = true;
        failingSince_ = TimeText(wall);
        lostInGap_ = 0;
      }
      failure_ = std::strerror(error);
      if (wall.tv_sec - lastSaid_ >= kSayFailureEverySeconds) {
        lastSaid_ = wall.tv_sec;
        std::fprintf(stderr,
                     "%sinfodriver %d: cannot write the audit trail %s: %s; "
                     "%zu records wait and are tried again every second\n",
                     JournalPrefix(STDERR_FILENO, 3), options_.device,
                     path.c_str(), failure_.c_str(), queue_.size());
      }
      return false;
    }
    if (failing_) {
      std::fprintf(
          stderr, "%sinfodriver %d: the audit trail %s is written again\n",
          JournalPrefix(STDERR_FILENO, 5), options_.device, path.c_str());
      failing_ = false;
      lastSaid_ = 0;
    }
    // A full queue may have dropped it while it was being written.
    if (!queue_.empty() && queue_.front().number == line.number)
      queue_.pop_front();
    Prune(wall.tv_sec);
  }
  return true;
}

void AuditTrail::Prune(time_t now) {
  const time_t day = now / 86400;
  if (options_.keepDays <= 0 || day == prunedDay_) return;
  prunedDay_ = day;
  const std::string oldest = FileName(
      options_.device, now - static_cast<time_t>(options_.keepDays) * 86400);
  const std::string prefix = oldest.substr(0, oldest.size() - 14);
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(options_.directory, ec)) {
    const std::string name = entry.path().filename().string();
    // Names of one form sort by their date: anything before the oldest day
    // kept goes.
    if (name.size() == oldest.size() && name.rfind(prefix, 0) == 0 &&
        name.compare(name.size() - 6, 6, ".jsonl") == 0 && name < oldest)
      std::filesystem::remove(entry.path(), ec);
  }
}

std::optional<std::string> ParseAuditSince(std::string_view text) {
  if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
  // The shape of "2026-12-09T14:05:00.123": D a digit, others as they are.
  constexpr std::string_view kShape = "DDDD-DD-DDTDD:DD:DD.DDD";
  if (text.size() < 10 || text.size() > kShape.size()) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'D' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  // A cut in the middle of a field would match the wrong records.
  const size_t n = text.size();
  if (n != 10 && n != 13 && n != 16 && n != 19 && n < 21) return std::nullopt;
  return std::string(text);
}

bool ReadAuditTrail(const std::string& directory, int device,
                    const std::string& since,
                    std::map<std::string, uint64_t>* offsets,
                    const std::function<void(const std::string&)>& line,
                    std::string* error) {
  const std::string prefix = AuditTrail::FileName(device, 0).substr(0, 10);
  std::string firstDay;  // "YYYYMMDD" of since
  for (char c : since.substr(0, 10))
    if (c != '-') firstDay += c;
  std::error_code ec;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == prefix.size() + 14 && name.rfind(prefix, 0) == 0 &&
        name.compare(name.size() - 6, 6, ".jsonl") == 0 &&
        name.substr(prefix.size(), 8) >= firstDay)
      files.push_back(name);
  }
  if (ec && ec != std::errc::no_such_file_or_directory) {
    *error = "cannot read " + directory + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const std::string& name : files) {
    const std::string path = directory + "/" + name;
    uint64_t& offset = (*offsets)[path];
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) continue;  // pruned in between
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      text.append(buffer, got);
    std::fclose(f);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      std::string record = text.substr(start, end - start);
      // {"time":"2026-...": the time is the first field of every record.
      constexpr std::string_view kTime = "{\"time\":\"";
      if (record.compare(0, kTime.size(), kTime) == 0 &&
          record.compare(kTime.size(), since.size(), since) >= 0)
        line(record);
    }
    offset += start;
  }
  return true;
}
