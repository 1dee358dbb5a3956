#include "app/terminal_renderer.h"

#include <curses.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/terminal_type.h"
#include "logging/debug_list_box.h"
#include "platform/event_loop.h"
#include "platform/resources.h"
#include "platform/terminal_restore.h"

namespace {

constexpr int kRedrawDelayMs = 40;
constexpr int kPanelTop = 1;   // row under the menu bar
constexpr int kPanelRows = 6;  // both group boxes, borders included
constexpr int kListRows = 4;   // unit list lines in the Device box
constexpr int kCommsWidth = 30;
constexpr int kDeviceLeft = kCommsWidth + 1;

// Writes |text| at (row, col), clipped to the screen and to |width|
// columns; draws nothing outside the terminal, however small it is.
void Put(int row, int col, const std::string& text, int width = -1,
         attr_t attr = A_NORMAL) {
  if (row < 0 || row >= LINES || col >= COLS) return;
  int room = COLS - col;
  if (width >= 0) room = std::min(room, width);
  if (room <= 0) return;
  std::string shown = text.substr(0, static_cast<size_t>(room));
  // Control characters would move the cursor; show them as blanks.
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  if (col < 0) return;
  attron(attr);
  mvaddnstr(row, col, shown.c_str(), room);
  attroff(attr);
}

void Box(int top, int left, int height, int width, const std::string& title) {
  if (height < 2 || width < 2) return;
  const int right = left + width - 1, bottom = top + height - 1;
  for (int c = left + 1; c < right; ++c) {
    if (top < LINES && c < COLS) mvaddch(top, c, ACS_HLINE);
    if (bottom < LINES && c < COLS) mvaddch(bottom, c, ACS_HLINE);
  }
  for (int r = top + 1; r < bottom; ++r) {
    if (r < LINES && left < COLS) mvaddch(r, left, ACS_VLINE);
    if (r < LINES && right < COLS) mvaddch(r, right, ACS_VLINE);
  }
  if (top < LINES && left < COLS) mvaddch(top, left, ACS_ULCORNER);
  if (top < LINES && right < COLS) mvaddch(top, right, ACS_URCORNER);
  if (bottom < LINES && left < COLS) mvaddch(bottom, left, ACS_LLCORNER);
  if (bottom < LINES && right < COLS) mvaddch(bottom, right, ACS_LRCORNER);
  Put(top, left + 2, " " + title + " ", width - 4);
}

// "&File" shows as "File" with the letter after "&" as its hotkey.
std::string MenuText(const char* text, char* hotkey) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '&' && p[1]) {
      if (hotkey) *hotkey = static_cast<char>(tolower(p[1]));
      continue;
    }
    out += *p;
  }
  return out;
}

int MenuColumn(int index) {
  const auto& menus = MainMenu();
  if (menus[index].rightAligned) {
    std::string t = MenuText(menus[index].title, nullptr);
    return std::max(0, COLS - static_cast<int>(t.size()) - 2);
  }
  int col = 1;
  for (int i = 0; i < index; ++i)
    col += static_cast<int>(MenuText(menus[i].title, nullptr).size()) + 2;
  return col;
}

}  // namespace

TerminalRenderer::TerminalRenderer(EventLoop* loop) : loop_(loop) {}

TerminalRenderer::~TerminalRenderer() { Close(); }

void TerminalRenderer::Show(MainWindow& window) {
  window_ = &window;
  if (!started_) {
    // Line drawing and texts in the operator's own character set.
    setlocale(LC_ALL, "");
    // Saved before the first change, so that any way out can undo it.
    SaveTerminalState(STDOUT_FILENO);
    screen_ = newterm(nullptr, stdout, stdin);
    if (!screen_) {
      ForgetTerminalState();
      std::fprintf(stderr,
                   "qor_mdu: the terminal cannot be used - no window\n");
      return;
    }
    set_term(screen_);
    SetTerminalResetBytes(TerminalResetBytes().c_str());
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    started_ = true;
    loop_->WatchFd(STDIN_FILENO, POLLIN, [this](short) {
      int key;
      while ((key = getch()) != ERR) OnKey(key);
    });
    TheDebugList().setListener([this](const char*) { MarkDirty(); });
  }
  MarkDirty();
}

void TerminalRenderer::Refresh(MainWindow& window) {
  window_ = &window;
  MarkDirty();
}

void TerminalRenderer::ShowAbout(MainWindow& window) {
  window_ = &window;
  MarkDirty();
}

void TerminalRenderer::Close() {
  if (!started_) return;
  started_ = false;
  TheDebugList().setListener(nullptr);
  loop_->UnwatchFd(STDIN_FILENO);
  if (redrawTimer_) loop_->CancelOneShot(redrawTimer_);
  redrawTimer_ = 0;
  endwin();
  ForgetTerminalState();
  delscreen(screen_);
  screen_ = nullptr;
}

void TerminalRenderer::MarkDirty() {
  if (!started_ || dirty_) return;
  dirty_ = true;
  redrawTimer_ = loop_->AddOneShot(kRedrawDelayMs, [this] {
    redrawTimer_ = 0;
    Draw();
  });
}

void TerminalRenderer::Draw() {
  dirty_ = false;
  if (!started_ || !window_) return;
  erase();
  DrawMenuBar();
  DrawPanel();
  const int bottom = LINES - 1;  // the hint row
  if (!TheApp().hideDebug) DrawDebugList(kPanelTop + kPanelRows, bottom);
  Put(bottom, 0,
      " F1 About  F10 Exit  Alt+F/E/O/H menus  Up/Down unit  " + window_->title,
      -1, A_DIM);
  DrawOpenMenu();
  if (window_->aboutOpen) DrawAbout();
  refresh();
}

void TerminalRenderer::DrawMenuBar() {
  Put(0, 0, std::string(std::max(COLS, 0), ' '), -1, A_REVERSE);
  const auto& menus = MainMenu();
  for (int i = 0; i < static_cast<int>(menus.size()); ++i) {
    std::string t = " " + MenuText(menus[i].title, nullptr) + " ";
    Put(0, MenuColumn(i) - 1, t, -1, i == openMenu_ ? A_NORMAL : A_REVERSE);
  }
}

void TerminalRenderer::DrawPanel() {
  const StatusPanel& p = window_->panel;
  // ZARN Comms: the infodriver link's counters.
  Box(kPanelTop, 0, 3, kCommsWidth, "ZARN Comms");
  Put(kPanelTop + 1, 2, "Rx: " + p.field(2006) + "  Tx: " + p.field(2007),
      kCommsWidth - 3);

  // Device: the unit list and the selected unit's fields.
  const int width = std::max(COLS - kDeviceLeft, 0);
  Box(kPanelTop, kDeviceLeft, kPanelRows, width, "Device");
  const int listLeft = kDeviceLeft + 2;
  const int n = static_cast<int>(p.unitList.size());
  if (p.selection >= 0) {
    if (p.selection < listTop_) listTop_ = p.selection;
    if (p.selection >= listTop_ + kListRows)
      listTop_ = p.selection - kListRows + 1;
  }
  for (int r = 0; r < kListRows; ++r) {
    int i = listTop_ + r;
    if (i >= n) break;
    Put(kPanelTop + 1 + r, listLeft, p.unitList[i], 11,
        i == p.selection ? A_REVERSE : A_NORMAL);
  }
  const int countLeft = listLeft + 12;
  const char* counterLabels[] = {"    Rx:", "    Tx:", "TrapRx:", "Buffer:"};
  const int counterIds[] = {2008, 2009, 2010, 2011};
  for (int r = 0; r < 4; ++r) {
    char line[40];
    std::snprintf(line, sizeof line, "%s %8s", counterLabels[r],
                  p.field(counterIds[r]).c_str());
    Put(kPanelTop + 1 + r, countLeft, line, 17);
  }
  const int fieldLeft = countLeft + 18;
  const int fieldWidth = kDeviceLeft + width - 1 - fieldLeft;
  Put(kPanelTop + 1, fieldLeft,
      "   Comms: " + p.field(2001) + "  " + p.field(1006), fieldWidth);
  Put(kPanelTop + 2, fieldLeft, "    Type: " + p.field(2002), fieldWidth);
  const std::string& security = p.field(IDC_SNMP_SECURITY);
  Put(kPanelTop + 3, fieldLeft,
      "      IP: " + p.field(2003) + (security.empty() ? "" : "  " + security),
      fieldWidth);
  Put(kPanelTop + 4, fieldLeft, "Location: " + p.field(2004), fieldWidth);
}

void TerminalRenderer::DrawDebugList(int top, int bottom) {
  const int rows = bottom - top;
  if (rows <= 0) return;
  std::vector<std::string> lines = TheDebugList().lines();
  const int first = std::max(0, static_cast<int>(lines.size()) - rows);
  for (int i = first, row = top; i < static_cast<int>(lines.size()); ++i, ++row)
    Put(row, 0, lines[i]);
}

void TerminalRenderer::DrawOpenMenu() {
  if (openMenu_ < 0) return;
  const Menu& menu = MainMenu()[openMenu_];
  int width = 4;
  for (const MenuItem& item : menu.items)
    width = std::max(width,
                     static_cast<int>(MenuText(item.text, nullptr).size()) + 6);
  int left = std::min(MenuColumn(openMenu_) - 1, std::max(0, COLS - width));
  const int height = static_cast<int>(menu.items.size()) + 2;
  for (int r = 1; r < height - 1; ++r)
    Put(r, left + 1, std::string(width - 2, ' '));
  Box(0, left, height + 1, width, "");
  Put(0, left, " " + MenuText(menu.title, nullptr) + " ");
  for (int i = 0; i < static_cast<int>(menu.items.size()); ++i) {
    const MenuItem& item = menu.items[i];
    const int row = 1 + i;
    if (item.command == 0) {
      Put(row, left + 1, std::string(width - 2, '-'));
      continue;
    }
    std::string mark = window_->isChecked(item.command) ? "* " : "  ";
    std::string text = mark + MenuText(item.text, nullptr);
    text.resize(width - 2, ' ');
    Put(row, left + 1, text, width - 2, i == menuItem_ ? A_REVERSE : A_NORMAL);
  }
}

void TerminalRenderer::DrawAbout() {
  const std::vector<std::string> lines = {
      "ZARN Driver for qor_mdu",
      "MDU power distribution units over SNMP",
      "for the ZARN control system",
      AboutBuildLine(),
      AboutVersionLine(),
      "",
      "[ OK ]",
  };
  const int width = 46, height = static_cast<int>(lines.size()) + 2;
  const int top = std::max(0, (LINES - height) / 2);
  const int left = std::max(0, (COLS - width) / 2);
  for (int r = 0; r < height; ++r) Put(top + r, left, std::string(width, ' '));
  Box(top, left, height, width, "About");
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    int col = left + (width - static_cast<int>(lines[i].size())) / 2;
    Put(top + 1 + i, col, lines[i], width - 2,
        i + 1 == static_cast<int>(lines.size()) ? A_REVERSE : A_NORMAL);
  }
}

void TerminalRenderer::MoveSelection(int delta) {
  StatusPanel& p = window_->panel;
  const int n = static_cast<int>(p.unitList.size());
  if (n == 0) return;
  int s = p.selection < 0 ? 0 : p.selection + delta;
  p.selection = std::clamp(s, 0, n - 1);
  // The list box notifies its panel, which refreshes.
  UpdateStatus();
  MarkDirty();
}

void TerminalRenderer::Choose(int command) {
  openMenu_ = -1;
  MarkDirty();
  OnCommand(command);
}

void TerminalRenderer::OnKey(int key) {
  if (!window_) return;
  if (key == KEY_RESIZE) {
    MarkDirty();
    return;
  }
  // The About box is modal: only its own keys count.
  if (window_->aboutOpen) {
    if (key == '\n' || key == '\r' || key == KEY_ENTER || key == 27 ||
        key == ' ')
      window_->aboutOpen = false;
    MarkDirty();
    return;
  }
  if (key == KEY_F(1)) return Choose(IDM_ABOUT);
  if (key == KEY_F(10)) return Choose(IDM_EXIT);

  const auto& menus = MainMenu();
  // Alt+letter arrives as Esc followed by the letter.
  if (escapePending_) {
    escapePending_ = false;
    for (int i = 0; i < static_cast<int>(menus.size()); ++i) {
      char hot = 0;
      MenuText(menus[i].title, &hot);
      if (tolower(key) == hot) {
        openMenu_ = i;
        menuItem_ = 0;
        MarkDirty();
        return;
      }
    }
  }
  if (openMenu_ >= 0) return OnMenuKey(key);
  switch (key) {
    case 27:
      escapePending_ = true;
      return;
    case KEY_UP:
      return MoveSelection(-1);
    case KEY_DOWN:
      return MoveSelection(1);
    case KEY_PPAGE:
      return MoveSelection(-kListRows);
    case KEY_NPAGE:
      return MoveSelection(kListRows);
    case KEY_HOME:
      return MoveSelection(-1000);
    case KEY_END:
      return MoveSelection(1000);
  }
}

// A key while a menu is open moves in it, between menus, or chooses.
void TerminalRenderer::OnMenuKey(int key) {
  const auto& menus = MainMenu();
  const auto& items = menus[openMenu_].items;
  const int n = static_cast<int>(items.size());
  auto step = [&](int d) {
    do menuItem_ = (menuItem_ + d + n) % n;
    while (items[menuItem_].command == 0);
  };
  switch (key) {
    case 27:
      openMenu_ = -1;
      break;
    case KEY_UP:
      step(-1);
      break;
    case KEY_DOWN:
      step(1);
      break;
    case KEY_LEFT:
      openMenu_ = (openMenu_ + static_cast<int>(menus.size()) - 1) %
                  static_cast<int>(menus.size());
      menuItem_ = 0;
      break;
    case KEY_RIGHT:
      openMenu_ = (openMenu_ + 1) % static_cast<int>(menus.size());
      menuItem_ = 0;
      break;
    case '\n':
    case '\r':
    case KEY_ENTER:
      return Choose(items[menuItem_].command);
  }
  MarkDirty();
}
