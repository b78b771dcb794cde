// Helper programs run from the robustness tests as real, separate processes:
// started with their own environment and output files, optionally as the
// unprivileged user "nobody", and waited for with a hard time limit after
// which they are killed, so that no test can hang.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvane::robustness {

struct ChildOptions {
  std::vector<std::string> args;               // args[0] is the program (a path, or a name on PATH)
  std::map<std::string, std::string> setEnv;   // added to (or replacing in) the test's environment
  std::vector<std::string> unsetEnv;           // removed from it
  std::filesystem::path out, err;              // stdout and stderr go here (empty: /dev/null)
  std::filesystem::path in;                    // stdin comes from here (empty: /dev/null)
  bool asNobody = false;                       // drop root privileges before exec
};

struct ChildResult {
  bool exited = false;   // ended by exit(); else by a signal
  int exitCode = -1;
  int signal = 0;
  bool timedOut = false; // killed by the time limit
  std::string out, err;  // what it wrote (read after it ended)
};

class Child {
public:
  explicit Child(ChildOptions options);
  ~Child();  // kills a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept;

  pid_t pid() const { return pid_; }
  // Waits until it ends, killing it (SIGKILL) once the deadline has passed.
  ChildResult wait(std::chrono::steady_clock::time_point deadline);
  // Non-blocking: the result once it has ended.
  std::optional<ChildResult> poll();

private:
  ChildResult finish(int status, bool timedOut);
  ChildOptions options_;
  pid_t pid_ = -1;
};

// Runs one program to its end (at most `limit`).
ChildResult run(ChildOptions options, std::chrono::seconds limit = std::chrono::seconds(120));

// What FILE holds (nothing when it is no regular file).
std::string slurp(const std::filesystem::path& file);

// The path of a program built next to the tests.
std::filesystem::path helperProgram(const char* name);

// Whether this process may become "nobody" (it runs as root and the user exists).
bool canRunAsNobody();

// A text for failure messages: how the child ended and what it wrote.
std::string describe(const ChildResult& r);

} // namespace korvane::robustness
