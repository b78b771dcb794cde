// The COM+ password: never shown by any korvane-lab command, never in the
// event log or an error text. (That the catalog never hands it back, the
// setup's log never shows it and the server's files are their owner's alone
// are the catalog's, the setup's and the database's own tests.)
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "platform/complus/admin.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

namespace fs = std::filesystem;

const std::string kSecret = "Tr0ub4dor&3-sécret";

class Secrets : public RobustnessTest {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    addFolder(u"Sales");
  }

  // Runs the command and fails when its output holds the password.
  ChildResult labWithoutSecret(const std::vector<std::string>& args, bool mustSucceed = true,
                               const std::optional<std::string>& input = std::nullopt) {
    ChildResult r = lab(args, {}, false, input);
    std::string shown;
    for (const auto& a : args) shown += (a == kSecret ? "<password>" : a) + " ";
    EXPECT_TRUE(r.exited) << shown << describe(r);
    if (mustSucceed) {
      EXPECT_EQ(r.exitCode, 0) << shown << r.err;
    }
    EXPECT_EQ((r.out + r.err).find(kSecret), std::string::npos) << shown << "printed the password";
    return r;
  }
};

TEST_F(Secrets, NoLabCommandNorTheEventLogShowsThePassword) {
  // The installation, and every command that reads the catalog, runs the sink or shows what it logged.
  const std::vector<std::vector<std::string>> commands{
      {"complus", "install", "Korvane", (workDir() / "Korvane.dll").string(), "--identity", "CORP\\svc-korvane",
       "--password", kSecret, "--ctor", "IPM.Note\\r*\\r65223"},
      {"info"}, {"complus", "list"}, {"complus", "list", "--json"},
      {"reg", "add", "Sales", "--sink", "Korvane.KorvaneCls"}, {"reg", "list"}, {"reg", "list", "--json"},
      {"deliver", "Sales", "--class", "IPM.Post", "--subject", "One"}, {"save", "Sales", "--class", "IPM.Post"},
      {"items", "Sales", "--json"}, {"events"}, {"events", "--json"}, {"delete", "Sales/One.EML"},
      {"complus", "install", "--help"},
  };
  for (const auto& c : commands) labWithoutSecret(c);
  const auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].identity, u"CORP\\svc-korvane");
  // Failures that involve the application say so without the password: a library that is not
  // there, and a class that belongs to "Korvane" already.
  for (const auto& [name, library] : {std::pair{"Korvane", "Missing.dll"}, std::pair{"Other", "Korvane.dll"}})
    labWithoutSecret({"complus", "install", name, (workDir() / library).string(), "--identity", "CORP\\svc",
                      "--password", kSecret},
                     false);
  // A sink that fails to be created, its installed library gone, is logged.
  fs::remove(workDir() / "Korvane.dll");
  labWithoutSecret({"deliver", "Sales", "--class", "IPM.Post"});
  EXPECT_NE(labWithoutSecret({"events"}).out.find("could not be created"), std::string::npos) << "not logged";
  labWithoutSecret({"reg", "delete", "Sales"});
  labWithoutSecret({"complus", "remove", "Korvane"});
  labWithoutSecret({"complus", "remove", "Korvane"}, false);
  labWithoutSecret({"events"});
}

std::string storedPassword() {
  auto s = db::Database::current().prepare("SELECT password FROM complus_applications");
  return s.step() ? s.utf8(0) : std::string("(no application)");
}

struct StdinRow {
  const char* what;
  std::vector<std::string> passwordArgs;
  std::optional<std::string> input;
  bool installs;
};

// The password can be given on standard input, out of the process list.
TEST_F(Secrets, ThePasswordCanComeFromStandardInput) {
  const StdinRow rows[] = {
      {"a line", {"--password-stdin"}, kSecret + "\n", true},
      {"a line ended by CR LF", {"--password-stdin"}, kSecret + "\r\nignored\n", true},
      {"no line end", {"--password-stdin"}, kSecret, true},
      {"empty input", {"--password-stdin"}, "", false},
      {"no password at all", {}, std::nullopt, false},
      {"both ways at once", {"--password-stdin", "--password", kSecret}, kSecret + "\n", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> args{"complus", "install", "Korvane", (workDir() / "Korvane.dll").string(),
                                  "--identity", "CORP\\svc-korvane"};
    args.insert(args.end(), row.passwordArgs.begin(), row.passwordArgs.end());
    ChildResult r = labWithoutSecret(args, row.installs, row.input);
    EXPECT_EQ(r.exitCode == 0, row.installs) << r.err;
    if (!row.installs) {
      EXPECT_FALSE(r.err.empty()) << "a refusal must say why";
      EXPECT_TRUE(complus::Catalog().listApplications().empty());
      continue;
    }
    EXPECT_EQ(storedPassword(), kSecret);
    EXPECT_TRUE(complus::Catalog().removeApplication(u"Korvane"));
  }
}

// What the process wrote to the terminal until it ended (at most 60 s);
// `answer` is typed once the prompt has appeared.
std::string talkOnTerminal(int terminal, const std::string& prompt, const std::string& answer) {
  std::string seen;
  bool answered = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{terminal, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // the process has ended
    seen.append(buffer, static_cast<std::size_t>(n));
    if (!answered && seen.find(prompt) != std::string::npos) {
      EXPECT_EQ(::write(terminal, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
      answered = true;
    }
  }
  return seen;
}

// Typed on a terminal, the password is asked for and never shown.
TEST_F(Secrets, OnATerminalThePasswordIsAskedForAndNotEchoed) {
  const std::string program = (fs::path(KORVANE_BINARY_DIR) / "lab" / "korvane-lab").string();
  const std::string library = (workDir() / "Korvane.dll").string();
  db::Database::closeCurrent();
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(program.c_str(), program.c_str(), "complus", "install", "Korvane", library.c_str(), "--identity",
            "CORP\\svc-korvane", "--password-stdin", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string seen = talkOnTerminal(terminal, "Password for CORP\\svc-korvane: ", kSecret + "\n");
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_NE(seen.find("Password for CORP\\svc-korvane: "), std::string::npos) << seen;
  EXPECT_EQ(seen.find(kSecret), std::string::npos) << "the password was echoed: " << seen;
  EXPECT_EQ(storedPassword(), kSecret);
}

} // namespace
} // namespace korvane::robustness
