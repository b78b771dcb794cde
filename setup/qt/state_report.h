// What the main window shows, written to a file for tests that drive the
// real program from outside with real input: with KORVANE_SETUP_STATE naming
// a file, the window writes there, after every action and focus change,
// where each control is on the screen, which one has the focus, the rows in
// view and whether an action runs, so that such a test knows where to click
// and when the window is idle.
#pragma once

#include <QString>

#include <memory>

class QMainWindow;

namespace korvane::setup::qt {

struct InstallControls;

// One line per fact, blank-separated, the free text last; positions are
// relative to the window's client area:
//   window ID (the native window) | actions N | busy 0|1 | activated 0|1
//   refused N | focus NAME | rows N
//   widget NAME X Y WIDTH HEIGHT VISIBLE ENABLED
//   row INDEX CHECKED(0|1|-) X Y WIDTH HEIGHT PATH (rows in view)
class StateReport {
public:
  // Null when KORVANE_SETUP_STATE is not set.
  static std::unique_ptr<StateReport> fromEnvironment();
  explicit StateReport(QString file) : file_(std::move(file)) {}

  struct Counts {
    int actions = 0;  // actions finished so far
    bool busy = false;
    bool activated = false;  // the first activation has finished
    int refused = 0;  // clicks and keys not taken while an action ran
  };
  // Replaces the file as a whole (never half-written).
  void write(const QMainWindow& window, const InstallControls& c, Counts counts) const;

private:
  QString file_;
};

} // namespace korvane::setup::qt
