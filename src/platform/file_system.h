#ifndef QOR_PLATFORM_FILE_SYSTEM_H_
#define QOR_PLATFORM_FILE_SYSTEM_H_

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The files and the environment the log file and the settings files are
// found and written through. Every call that changes a file returns 0 or
// the errno of the failure, so that a full disk or a vanished directory
// can be tested with FaultInjectingFileSystem instead of root and a small
// tmpfs. Implementations are safe from any thread.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates one directory level (mode 0755); EEXIST when it is there.
  virtual int MakeDirectory(const std::string& path) = 0;
  // Appends |data| with one open, write and close (created 0644 when
  // missing), so no handle is held and others may rotate the file.
  virtual int Append(const std::string& path, std::string_view data) = 0;
  // The whole file into |content|; ENOENT when it does not exist.
  virtual int ReadAll(const std::string& path, std::string* content) = 0;
  // Replaces the file's content all at once: written to a temporary file
  // beside it, flushed to the disk, then renamed over it, keeping its
  // permissions. A failure at any step leaves the old file as it was and
  // no temporary file behind.
  virtual int Replace(const std::string& path, std::string_view content) = 0;
  // An environment variable; nothing when it is not set (an empty value
  // is set).
  virtual std::optional<std::string> Variable(const char* name) const = 0;
};

// The real files and the process environment.
class RealFileSystem : public FileSystem {
 public:
  int MakeDirectory(const std::string& path) override;
  int Append(const std::string& path, std::string_view data) override;
  int ReadAll(const std::string& path, std::string* content) override;
  int Replace(const std::string& path, std::string_view content) override;
  std::optional<std::string> Variable(const char* name) const override;
};

// The real file system of processes that were not given another one.
FileSystem& TheFileSystem();

// "QX_ROOT/QX_SYSTEM" when both variables are set (an empty value counts
// as set): the root under which logs and settings live.
std::optional<std::string> SystemRootDirectory(const FileSystem& fs);

// Passes every call to |base| until a test makes it fail: one kind of call
// failing with an errno (a full disk: Append and Replace with ENOSPC), or a
// directory gone (every call for a path under it fails with ENOENT, and
// creating it again fails too, as under a removed parent). Variables come
// from the test's own table instead of the process environment. Counts the
// calls, so that a test can tell what was tried. Set the faults before the
// code under test runs; the counts may be read at any time.
class FaultInjectingFileSystem : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem* base = &TheFileSystem())
      : base_(base) {}

  // 0 lets the calls through again.
  void FailMakeDirectory(int error) { mkdirError_ = error; }
  void FailAppend(int error) { appendError_ = error; }
  void FailReplace(int error) { replaceError_ = error; }
  void FailRead(int error) { readError_ = error; }
  // Every path under |directory| (and the directory itself) is gone;
  // an empty text brings everything back.
  void Vanish(const std::string& directory) { vanished_ = directory; }
  void SetVariable(const std::string& name, std::optional<std::string> value);

  int makeDirectoryCalls() const { return mkdirCalls_; }
  int appendCalls() const { return appendCalls_; }
  int replaceCalls() const { return replaceCalls_; }

  int MakeDirectory(const std::string& path) override;
  int Append(const std::string& path, std::string_view data) override;
  int ReadAll(const std::string& path, std::string* content) override;
  int Replace(const std::string& path, std::string_view content) override;
  std::optional<std::string> Variable(const char* name) const override;

 private:
  bool Gone(const std::string& path) const;

  FileSystem* base_;
  int mkdirError_ = 0;
  int appendError_ = 0;
  int replaceError_ = 0;
  int readError_ = 0;
  std::string vanished_;
  std::map<std::string, std::optional<std::string>> variables_;
  std::atomic<int> mkdirCalls_{0};
  std::atomic<int> appendCalls_{0};
  std::atomic<int> replaceCalls_{0};
};

#endif  // QOR_PLATFORM_FILE_SYSTEM_H_
