#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace korvane::robustness {

namespace {

namespace fs = std::filesystem;

// The child's environment, built before fork: nothing after fork may allocate.
std::vector<std::string> environmentFor(const ChildOptions& o) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool dropped = o.setEnv.contains(name);
    for (const auto& u : o.unsetEnv) dropped = dropped || u == name;
    if (!dropped) out.push_back(entry);
  }
  for (const auto& [name, value] : o.setEnv) out.push_back(name + "=" + value);
  return out;
}

int openFile(const fs::path& file, int flags) {
  const char* path = file.empty() ? "/dev/null" : file.c_str();
  int fd = ::open(path, flags | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + std::string(path) + ": " + std::strerror(errno));
  return fd;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

} // namespace

Child::Child(ChildOptions options) : options_(std::move(options)) {
  if (options_.args.empty()) throw std::invalid_argument("no program to run");
  std::vector<std::string> env = environmentFor(options_);
  std::vector<char*> envp = pointers(env);
  std::vector<char*> argv = pointers(options_.args);
  int out = openFile(options_.out, O_WRONLY | O_CREAT | O_TRUNC);
  int err = openFile(options_.err, O_WRONLY | O_CREAT | O_TRUNC);
  int in = openFile(options_.in, O_RDONLY);
  const passwd* nobody = options_.asNobody ? ::getpwnam("nobody") : nullptr;
  if (options_.asNobody && !nobody) throw std::runtime_error("there is no user nobody");

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on.
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::dup2(in, 0);
    if (nobody && (::setgroups(0, nullptr) || ::setgid(nobody->pw_gid) || ::setuid(nobody->pw_uid)))
      _exit(125);
    ::execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(out);
  ::close(err);
  ::close(in);
}

Child::Child(Child&& other) noexcept : options_(std::move(other.options_)), pid_(std::exchange(other.pid_, -1)) {}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

ChildResult Child::finish(int status, bool timedOut) {
  pid_ = -1;
  ChildResult r;
  r.timedOut = timedOut;
  r.exited = WIFEXITED(status);
  if (r.exited) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = slurp(options_.out);
  r.err = slurp(options_.err);
  return r;
}

std::optional<ChildResult> Child::poll() {
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return std::nullopt;
  return finish(status, false);
}

ChildResult Child::wait(std::chrono::steady_clock::time_point deadline) {
  if (pid_ <= 0) throw std::logic_error("the child has been waited for already");
  for (;;) {
    if (auto r = poll()) return *r;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      return finish(status, true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ChildResult run(ChildOptions options, std::chrono::seconds limit) {
  Child child(std::move(options));
  return child.wait(std::chrono::steady_clock::now() + limit);
}

std::string slurp(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return {};
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

fs::path helperProgram(const char* name) { return fs::path(KORVANE_BINARY_DIR) / "tests" / "robustness" / name; }

bool canRunAsNobody() { return ::geteuid() == 0 && ::getpwnam("nobody") != nullptr; }

std::string describe(const ChildResult& r) {
  std::ostringstream s;
  if (r.timedOut) s << "killed by the time limit; ";
  if (r.exited)
    s << "exit code " << r.exitCode;
  else
    s << "signal " << r.signal;
  s << "\n--- stdout ---\n" << r.out.substr(0, 4000) << "\n--- stderr ---\n" << r.err.substr(0, 4000);
  return s.str();
}

} // namespace korvane::robustness
