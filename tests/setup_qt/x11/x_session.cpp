#include "setup_qt/x11/x_session.h"

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace korvane::setup::x11 {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

robustness::ChildOptions options(std::vector<std::string> args, std::map<std::string, std::string> env,
                                 const fs::path& out, const fs::path& err) {
  robustness::ChildOptions o;
  o.args = std::move(args);
  o.setEnv = std::move(env);
  o.out = out;
  o.err = err;
  return o;
}

std::string programPath(const std::string& name) {
  std::stringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  for (std::string dir; std::getline(path, dir, ':');)
    if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0) return fs::path(dir) / name;
  throw std::runtime_error(name + " is not installed (scripts/bootstrap installs it)");
}

// Waits for a condition, polling; false once the limit has passed.
bool pollFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

fs::path freshDirectory(const std::string& prefix) {
  static int counter = 0;
  fs::path dir = fs::temp_directory_path() / (prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void stop(std::unique_ptr<robustness::Child>& child) {
  if (!child) return;
  ::kill(child->pid(), SIGTERM);
  child->wait(Clock::now() + 5s);
  child.reset();
}

} // namespace

XSession::XSession() : logs_(freshDirectory("korvane-x11-")) {
  if (const char* given = getenv("KORVANE_TEST_DISPLAY"); given && *given) {
    display_ = given;
    return;
  }
  for (int number = 90 + ::getpid() % 50, tries = 0; tries < 20; ++number, ++tries)
    if (startServer(number)) break;
  if (display_.empty()) throw std::runtime_error("no Xvfb display could be started; see " + logs_.string());
  windowManager_ = std::make_unique<robustness::Child>(options(
      {programPath("openbox"), "--sm-disable"}, {{"DISPLAY", display_}}, logs_ / "openbox.out", logs_ / "openbox.err"));
  // The manager is at work once it has named itself on the root window.
  bool managed = pollFor([&] { return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") != std::string::npos; }, 10s);
  if (!managed) throw std::runtime_error("openbox did not start on " + display_);
}

bool XSession::startServer(int number) {
  const std::string display = ":" + std::to_string(number);
  const fs::path socket = "/tmp/.X11-unix/X" + std::to_string(number);
  if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) return false;
  server_ = std::make_unique<robustness::Child>(
      options({programPath("Xvfb"), display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, {},
              logs_ / "xvfb.out", logs_ / "xvfb.err"));
  bool up = pollFor([&] { return fs::exists(socket) || server_->poll().has_value(); }, 10s) && fs::exists(socket);
  if (!up) {
    server_.reset();
    return false;
  }
  display_ = display;
  return true;
}

XSession::~XSession() {
  stop(windowManager_);
  stop(server_);
  std::error_code ec;
  fs::remove_all(logs_, ec);
}

std::string XSession::run(std::vector<std::string> args, std::chrono::seconds limit) const {
  args[0] = programPath(args[0]);
  robustness::ChildResult r =
      robustness::run(options(args, {{"DISPLAY", display_}}, logs_ / "tool.out", logs_ / "tool.err"), limit);
  return r.out;
}

void XSession::screenshot(const std::string& name) const {
  const char* dir = getenv("KORVANE_TEST_SHOTS");
  if (dir && *dir) run({"import", "-window", "root", (fs::path(dir) / (name + ".png")).string()});
}

const WindowState::Row* WindowState::row(const std::string& path) const {
  for (const Row& r : rowsInView)
    if (r.path == path) return &r;
  return nullptr;
}

// --- The program ------------------------------------------------------------

SetupProcess::SetupProcess(const XSession& x, const fs::path& serverDir, std::vector<std::string> arguments)
    : x_(x) {
  fs::path dir = freshDirectory("korvane-setup-run-");
  stateFile_ = dir / "state";
  out_ = dir / "out";
  err_ = dir / "err";
  std::vector<std::string> args{KORVANE_SETUP_PATH};
  args.insert(args.end(), arguments.begin(), arguments.end());
  process_ = std::make_unique<robustness::Child>(options(args,
                                                        {{"DISPLAY", x.display()},
                                                         {"QT_QPA_PLATFORM", "xcb"},
                                                         {"KORVANE_SERVER", serverDir.string()},
                                                         {"KORVANE_SETUP_STATE", stateFile_.string()},
                                                         {"LSAN_OPTIONS", "suppressions=" KORVANE_X11_LSAN_SUPPRESSIONS}},
                                                        out_, err_));
}

void SetupProcess::acceptDisclaimer() {
  // The Disclaimer is the program's first window; "Yes" has the focus.
  std::string id = x_.run({"xdotool", "search", "--sync", "--onlyvisible", "--pid",
                           std::to_string(process_->pid()), "--name", "Korvane setup"});
  id = id.substr(0, id.find('\n'));
  ASSERT_FALSE(id.empty()) << "the Disclaimer did not open";
  x_.run({"xdotool", "windowactivate", "--sync", id});
  x_.run({"xdotool", "key", "Return"});
}

std::optional<WindowState> SetupProcess::read() const {
  std::ifstream in(stateFile_);
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
      WindowState::Rect r;
      words >> name >> r.x >> r.y >> r.width >> r.height >> r.visible >> r.enabled;
      s.widgets[name] = r;
    } else if (what == "row") {
      WindowState::Row r;
      words >> r.index >> r.checked >> r.rect.x >> r.rect.y >> r.rect.width >> r.rect.height;
      std::getline(words >> std::ws, r.path);
      s.rowsInView.push_back(r);
    }
  }
  return s;
}

WindowState SetupProcess::waitFor(const std::function<bool(const WindowState&)>& condition, const std::string& what,
                                  std::chrono::seconds limit) {
  std::optional<WindowState> state;
  bool met = pollFor([&] {
    state = read();
    return state && condition(*state);
  }, limit);
  if (!met) {
    auto ended = process_->poll();
    ADD_FAILURE() << "not within " << limit.count() << " s: " << what
                  << (ended ? "; the program ended: " + robustness::describe(*ended) : std::string());
  }
  return state.value_or(WindowState{});
}

WindowState SetupProcess::waitUntilIdle(int actionsDoneBefore) {
  return waitFor([&](const WindowState& s) { return s.activated && !s.busy && s.actions > actionsDoneBefore; },
                 "the window is idle again");
}

void SetupProcess::clickAt(const WindowState& state, int x, int y, int clicks) {
  x_.run({"xdotool", "mousemove", "--window", state.window, "--sync", std::to_string(x), std::to_string(y), "click",
          "--repeat", std::to_string(clicks), "--delay", "40", "1"});
}

void SetupProcess::click(const WindowState& state, const std::string& widget, int clicks) {
  auto it = state.widgets.find(widget);
  ASSERT_NE(it, state.widgets.end()) << widget;
  ASSERT_TRUE(it->second.visible && it->second.enabled) << widget << " cannot be clicked";
  clickAt(state, it->second.x + it->second.width / 2, it->second.y + it->second.height / 2, clicks);
}

void SetupProcess::key(const std::string& keys) { x_.run({"xdotool", "key", "--delay", "30", keys}); }
void SetupProcess::type(const std::string& text) { x_.run({"xdotool", "type", "--delay", "20", text}); }

robustness::ChildResult SetupProcess::waitForExit(std::chrono::seconds limit) {
  return process_->wait(Clock::now() + limit);
}

} // namespace korvane::setup::x11
