#ifndef QOR_LOGGING_DEBUG_LIST_BOX_H_
#define QOR_LOGGING_DEBUG_LIST_BOX_H_

#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The scrolling debug list under the status panel, as a model: at most 501
// lines (the oldest goes when a line is added to a full list), the widths of
// the last 500 lines in a ring, and a horizontal extent that follows the
// widest of them. Widths are in terminal columns: the line's columns plus one
// (the list's average character width).
//
// One object serves the process (TheDebugList()). add/clear are safe from any
// thread; the renderer observes changes through the listener, which is
// called with the lock released.
class DebugListBox {
 public:
  static constexpr int kMaxLines = 501;
  static constexpr int kRingSize = 500;

  DebugListBox();
  virtual ~DebugListBox();

  // Starts the list below the panel (|top| rows); zeroes the ring.
  void create(int top);
  void move(int x, int y, int width, int height);
  void add(const char* line);
  void clear();

  std::vector<std::string> lines() const;
  int lineCount() const;
  int horizontalExtent() const;
  int topIndex() const;  // first line kept in view
  int top() const;
  bool created() const;

  // Called after every add (with the line) and clear (with nullptr).
  using Listener = std::function<void(const char* line)>;
  void setListener(Listener listener);

  static int columnsOf(const char* text);

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> lines_;
  std::array<int, kRingSize> widths_{};
  int next_ = 0;
  int extent_ = 0;
  int topIndex_ = 0;
  int top_ = 0;
  bool created_ = false;
  int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
  Listener listener_;
};

DebugListBox& TheDebugList();

#endif  // QOR_LOGGING_DEBUG_LIST_BOX_H_
