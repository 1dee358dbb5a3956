#include "logging/debug_list_box.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(DebugListBox, KeepsAtMost501LinesDroppingTheOldest) {
  DebugListBox list;
  list.create(142);
  for (int i = 0; i < 600; ++i) list.add(("line " + std::to_string(i)).c_str());
  auto lines = list.lines();
  ASSERT_EQ(lines.size(), 501u);
  EXPECT_EQ(lines.front(), "line 99");
  EXPECT_EQ(lines.back(), "line 599");
  // The line before the newest is on top, so the newest lines stay in view.
  EXPECT_EQ(list.topIndex(), 499);
  EXPECT_EQ(list.top(), 142);
}

TEST(DebugListBox, ExtentFollowsOnlyTheLast500Widths) {
  DebugListBox list;
  list.create(0);
  list.add("short");
  EXPECT_EQ(list.horizontalExtent(), 6);  // columns + one average character
  list.add(std::string(300, 'w').c_str());
  EXPECT_EQ(list.horizontalExtent(), 301);
  for (int i = 0; i < 499; ++i) list.add("ab");
  EXPECT_EQ(list.horizontalExtent(), 301);  // still in the ring
  list.add("ab");
  EXPECT_EQ(list.horizontalExtent(), 3);  // replaced: the range shrinks
}

TEST(DebugListBox, WidthCountsCharactersNotBytes) {
  EXPECT_EQ(DebugListBox::columnsOf("abc"), 3);
  EXPECT_EQ(DebugListBox::columnsOf("\xc3\xa9t\xc3\xa9"), 3);  // "été"
}

TEST(DebugListBox, ClearEmptiesListAndRing) {
  DebugListBox list;
  list.create(0);
  int cleared = 0;
  list.setListener([&](const char* line) { cleared += line == nullptr; });
  list.add(std::string(80, 'z').c_str());
  list.clear();
  EXPECT_EQ(cleared, 1);
  EXPECT_EQ(list.lineCount(), 0);
  EXPECT_EQ(list.horizontalExtent(), 0);
  list.add("a");
  EXPECT_EQ(list.horizontalExtent(), 2);
}

}  // namespace
