// A real X server for tests that drive the real KorvaneSetup with real input:
// Xvfb with the openbox window manager (for focus and activation), started
// and stopped by the test; xdotool sends XTest mouse and key events. With
// KORVANE_TEST_DISPLAY set (":0", or a Xephyr display), the tests use that
// display instead, so that a person can watch them.
#pragma once

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "robustness/child_process.h"
#include "support/temp_server.h"

namespace korvane::setup::x11 {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using robustness::Child;

// Waits for a condition, polling; false once the limit has passed.
inline bool pollFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline fs::path freshDirectory(const char* prefix) {
  fs::path dir = korvane::testing::freshTestDirectory(prefix);
  fs::create_directories(dir);
  return dir;
}

// Programs are found on PATH.
inline robustness::ChildOptions options(std::vector<std::string> args, std::map<std::string, std::string> env,
                                        const fs::path& out, const fs::path& err) {
  robustness::ChildOptions o;
  o.args = std::move(args);
  o.setEnv = std::move(env);
  o.out = out;
  o.err = err;
  return o;
}

class XSession {
public:
  // Throws std::runtime_error when no display can be had.
  XSession() : logs_(freshDirectory("korvane-x11-")) {
    if (const char* given = getenv("KORVANE_TEST_DISPLAY"); given && *given) {
      display_ = given;
      return;
    }
    // Xvfb takes a free display and writes its number once it answers clients.
    const std::string screen = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
    server_ = std::make_unique<Child>(options({"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten",
                                               "tcp"}, {}, logs_ / "xvfb.out", logs_ / "xvfb.err"));
    pollFor([&] {
      int number = -1;
      if (std::ifstream(logs_ / "xvfb.out") >> number) display_ = ":" + std::to_string(number);
      return !display_.empty() || server_->poll();
    }, 30s);
    if (display_.empty()) throw std::runtime_error("no Xvfb display could be started; see " + logs_.string());
    // The manager is at work once it has named itself on the root window.
    windowManager_ = std::make_unique<Child>(options({"openbox", "--sm-disable"}, {{"DISPLAY", display_}},
                                                     logs_ / "openbox.out", logs_ / "openbox.err"));
    bool managed = pollFor([&] {
      return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") != std::string::npos;
    }, 30s);
    if (!managed) throw std::runtime_error("openbox did not start on " + display_ + "; see " + logs_.string());
  }
  ~XSession() {
    stop(windowManager_);
    stop(server_);  // SIGTERM: Xvfb removes its lock and socket
    std::error_code ec;
    fs::remove_all(logs_, ec);
  }
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  const std::string& display() const { return display_; }
  static constexpr int kScreenWidth = 1280, kScreenHeight = 1024;

  // Runs an X tool (xdotool, xprop, import) on this display; its stdout.
  std::string run(std::vector<std::string> args, std::chrono::seconds limit = 30s) const {
    return robustness::run(options(args, {{"DISPLAY", display_}}, logs_ / "tool.out", logs_ / "tool.err"), limit).out;
  }
  // A screenshot of the whole screen into KORVANE_TEST_SHOTS/NAME.png, when set.
  void screenshot(const std::string& name) const {
    const char* dir = getenv("KORVANE_TEST_SHOTS");
    if (dir && *dir) run({"import", "-window", "root", (fs::path(dir) / (name + ".png")).string()});
  }

private:
  static void stop(std::unique_ptr<Child>& child) {
    if (!child) return;
    ::kill(child->pid(), SIGTERM);
    child->wait(Clock::now() + 5s);
    child.reset();
  }
  std::string display_;
  fs::path logs_;
  std::unique_ptr<Child> server_, windowManager_;
};

// The main window as KorvaneSetup reports it (KORVANE_SETUP_STATE):
// positions are relative to the window.
struct WindowState {
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool visible = false, enabled = false;
  };
  struct Row {
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

  const Row* row(const std::string& path) const {
    for (const Row& r : rowsInView)
      if (r.path == path) return &r;
    return nullptr;
  }
};

// KorvaneSetup running on the session's display against the current server.
class SetupProcess {
public:
  SetupProcess(const XSession& x, const fs::path& serverDir) : x_(x), dir_(freshDirectory("korvane-setup-run-")) {
    process_ = std::make_unique<Child>(options({KORVANE_SETUP_PATH},
                                               {{"DISPLAY", x.display()},
                                                {"QT_QPA_PLATFORM", "xcb"},
                                                {"KORVANE_SERVER", serverDir.string()},
                                                {"KORVANE_SETUP_STATE", (dir_ / "state").string()},
                                                {"LSAN_OPTIONS", "suppressions=" KORVANE_X11_LSAN_SUPPRESSIONS}},
                                               dir_ / "out", dir_ / "err"));
  }
  // Ends the program if it still runs, removes its files.
  ~SetupProcess() {
    process_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Presses "Yes" in the Disclaimer (the program's first window) with the
  // keyboard, as it has the focus.
  void acceptDisclaimer() {
    std::string id = x_.run({"xdotool", "search", "--sync", "--onlyvisible", "--pid", std::to_string(process_->pid()),
                             "--name", "Korvane setup"});
    id = id.substr(0, id.find('\n'));
    ASSERT_FALSE(id.empty()) << "the Disclaimer did not open";
    x_.run({"xdotool", "windowactivate", "--sync", id});
    x_.run({"xdotool", "key", "Return"});
  }
  // The latest report once `condition` holds (fails the test after `limit`).
  WindowState waitFor(const std::function<bool(const WindowState&)>& condition, const std::string& what,
                      std::chrono::seconds limit = 60s) {
    std::optional<WindowState> state;
    if (!pollFor([&] { return (state = read()) && condition(*state); }, limit)) {
      auto ended = process_->poll();
      ADD_FAILURE() << "not within " << limit.count() << " s: " << what
                    << (ended ? "; the program ended: " + robustness::describe(*ended) : std::string());
    }
    return state.value_or(WindowState{});
  }
  WindowState waitUntilIdle(int actionsDoneBefore) {
    return waitFor([&](const WindowState& s) { return s.activated && !s.busy && s.actions > actionsDoneBefore; },
                   "the window is idle again");
  }

  void click(const WindowState& state, const std::string& widget, int clicks = 1) {
    auto it = state.widgets.find(widget);
    ASSERT_NE(it, state.widgets.end()) << widget;
    ASSERT_TRUE(it->second.visible && it->second.enabled) << widget << " cannot be clicked";
    clickAt(state, it->second.x + it->second.width / 2, it->second.y + it->second.height / 2, clicks);
  }
  void clickAt(const WindowState& state, int x, int y, int clicks = 1) {
    x_.run({"xdotool", "mousemove", "--window", state.window, "--sync", std::to_string(x), std::to_string(y), "click",
            "--repeat", std::to_string(clicks), "--delay", "40", "1"});
  }
  void key(const std::string& keys) { x_.run({"xdotool", "key", "--delay", "30", keys}); }
  void type(const std::string& text) { x_.run({"xdotool", "type", "--delay", "20", text}); }

private:
  std::optional<WindowState> read() const {
    std::ifstream in(dir_ / "state");
    if (!in) return std::nullopt;
    WindowState s;
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string what;
      words >> what;
      if (what == "window") words >> s.window;
      else if (what == "actions") words >> s.actions;
      else if (what == "busy") words >> s.busy;
      else if (what == "activated") words >> s.activated;
      else if (what == "refused") words >> s.refused;
      else if (what == "focus") words >> s.focus;
      else if (what == "rows") words >> s.rows;
      else if (what == "widget") {
        std::string name;
        words >> name;
        WindowState::Rect& r = s.widgets[name];
        words >> r.x >> r.y >> r.width >> r.height >> r.visible >> r.enabled;
      } else if (what == "row") {
        WindowState::Row& r = s.rowsInView.emplace_back();
        int index;  // not needed
        words >> index >> r.checked >> r.rect.x >> r.rect.y >> r.rect.width >> r.rect.height;
        std::getline(words >> std::ws, r.path);
      }
    }
    return s;
  }
  const XSession& x_;
  fs::path dir_;
  std::unique_ptr<Child> process_;
};

} // namespace korvane::setup::x11
