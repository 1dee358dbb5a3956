#include "logging/debug_list_box.h"

#include <algorithm>

DebugListBox::DebugListBox() = default;
DebugListBox::~DebugListBox() = default;

int DebugListBox::columnsOf(const char* text) {
  // One column per character: UTF-8 continuation bytes add nothing.
  int cols = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
       *p; ++p)
    if ((*p & 0xC0) != 0x80) ++cols;
  return cols;
}

void DebugListBox::create(int top) {
  std::lock_guard<std::mutex> lock(mutex_);
  widths_.fill(0);
  next_ = 0;
  extent_ = 0;
  top_ = top;
  created_ = true;
}

void DebugListBox::move(int x, int y, int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  x_ = x;
  y_ = y;
  width_ = width;
  height_ = height;
}

void DebugListBox::add(const char* line) {
  if (!line) return;
  Listener listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = static_cast<int>(lines_.size());
    if (n >= kMaxLines) {
      lines_.pop_front();
      n -= 1;
    }
    widths_[next_] = columnsOf(line) + 1;
    next_ = (next_ + 1) % kRingSize;
    extent_ = *std::max_element(widths_.begin(), widths_.end());
    lines_.emplace_back(line);
    // Keep the newest lines in view: the line before the new one on top.
    topIndex_ = std::max(0, n - 1);
    listener = listener_;
  }
  if (listener) listener(line);
}

void DebugListBox::clear() {
  Listener listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    widths_.fill(0);
    next_ = 0;
    extent_ = 0;
    topIndex_ = 0;
    lines_.clear();
    listener = listener_;
  }
  if (listener) listener(nullptr);
}

std::vector<std::string> DebugListBox::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {lines_.begin(), lines_.end()};
}

int DebugListBox::lineCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(lines_.size());
}

int DebugListBox::horizontalExtent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return extent_;
}

int DebugListBox::topIndex() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return topIndex_;
}

int DebugListBox::top() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return top_;
}

bool DebugListBox::created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

void DebugListBox::setListener(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

DebugListBox& TheDebugList() {
  static DebugListBox* list = new DebugListBox();
  return *list;
}
