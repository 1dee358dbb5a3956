#ifndef QOR_APP_TERMINAL_RENDERER_H_
#define QOR_APP_TERMINAL_RENDERER_H_

#include <cstdint>
#include <string>

#include "app/app.h"

class EventLoop;

// The main window in a terminal (ncurses), used when standard output is a
// terminal: the menu bar on the top row, the status panel with its two
// group boxes below it, the debug list filling the rest (newest lines in
// view) and a key hint on the bottom row. "Hide" leaves only the panel.
//
// Keys: F1 About, F10 Exit; Alt+F / Alt+E / Alt+O / Alt+H (or Esc then the
// letter) open the menus, arrows move, Enter chooses, Esc closes; Up, Down,
// PgUp, PgDn, Home and End move the unit list's selection. A terminal too
// small for the panel shows what fits. Drawing is coalesced: changes mark
// the screen dirty and one redraw follows within 40 ms.
//
// Main thread only; keys are read from standard input through the loop.
class TerminalRenderer : public WindowRenderer {
 public:
  explicit TerminalRenderer(EventLoop* loop);
  ~TerminalRenderer() override;

  void Show(MainWindow& window) override;
  void Refresh(MainWindow& window) override;
  void ShowAbout(MainWindow& window) override;
  void Close() override;

  // Handles one key as ncurses reports it (also used by tests).
  void OnKey(int key);

 private:
  void MarkDirty();
  void Draw();
  void DrawMenuBar();
  void DrawPanel();
  void DrawDebugList(int top, int bottom);
  void DrawOpenMenu();
  void DrawAbout();
  void MoveSelection(int delta);
  void Choose(int command);
  void OnMenuKey(int key);

  EventLoop* loop_;
  struct screen* screen_ = nullptr;
  MainWindow* window_ = nullptr;
  bool started_ = false;
  bool dirty_ = false;
  int64_t redrawTimer_ = 0;
  int openMenu_ = -1;  // index into MainMenu(), -1 when closed
  int menuItem_ = 0;
  bool escapePending_ = false;
  int listTop_ = 0;  // first unit shown in the list box
};

#endif  // QOR_APP_TERMINAL_RENDERER_H_
