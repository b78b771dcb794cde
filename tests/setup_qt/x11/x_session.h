// A real X server for tests that drive the real KorvaneSetup with real input:
// Xvfb with the openbox window manager (for focus and activation), started
// and stopped by the test; xdotool sends XTest mouse and key events. With
// KORVANE_TEST_DISPLAY set (":0", or a Xephyr display), the tests use that
// display instead, so that a person can watch them.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "robustness/child_process.h"

namespace korvane::setup::x11 {

using namespace std::chrono_literals;

class XSession {
public:
  XSession();  // throws std::runtime_error when no display can be had
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  const std::string& display() const { return display_; }
  // Runs an X tool (xdotool, xprop, import) on this display; its stdout.
  std::string run(std::vector<std::string> args, std::chrono::seconds limit = 30s) const;
  // A screenshot of the whole screen into KORVANE_TEST_SHOTS/NAME.png, when set.
  void screenshot(const std::string& name) const;

private:
  bool startServer(int number);
  std::string display_;
  std::filesystem::path logs_;
  std::unique_ptr<robustness::Child> server_, windowManager_;
};

// The main window as KorvaneSetup reports it (KORVANE_SETUP_STATE):
// positions are relative to the window.
struct WindowState {
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool visible = false, enabled = false;
  };
  struct Row {
    int index = 0;
    std::string checked;  // "1", "0" or "-" (no check box)
    Rect rect;
    std::string path;
  };
  std::string window;  // the X window id
  int actions = 0, refused = 0, rows = 0;
  bool busy = true, activated = false;
  std::string focus;
  std::map<std::string, Rect> widgets;
  std::vector<Row> rowsInView;

  const Row* row(const std::string& path) const;
};

// KorvaneSetup running on the session's display against the current server.
class SetupProcess {
public:
  SetupProcess(const XSession& x, const std::filesystem::path& serverDir, std::vector<std::string> arguments = {});

  // Presses "Yes" in the Disclaimer with the keyboard, as it has the focus.
  void acceptDisclaimer();
  // The latest report once `condition` holds (fails the test after `limit`).
  WindowState waitFor(const std::function<bool(const WindowState&)>& condition, const std::string& what,
                      std::chrono::seconds limit = 60s);
  WindowState waitUntilIdle(int actionsDoneBefore);

  void click(const WindowState& state, const std::string& widget, int clicks = 1);
  void clickAt(const WindowState& state, int x, int y, int clicks = 1);
  void key(const std::string& keys);
  void type(const std::string& text);

  robustness::ChildResult waitForExit(std::chrono::seconds limit = 60s);

private:
  std::optional<WindowState> read() const;
  const XSession& x_;
  std::filesystem::path stateFile_, out_, err_;
  std::unique_ptr<robustness::Child> process_;
};

} // namespace korvane::setup::x11
