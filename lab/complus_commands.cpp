#include <csignal>
#include <iostream>
#include <memory>
#include <termios.h>
#include <unistd.h>

#include "lab/commands.h"
#include "lab/output.h"
#include "platform/complus/admin.h"
#include "platform/db/database.h"
#include "platform/complus/host.h"

namespace korvane::lab {

namespace {

// The first line of the input, without its line end.
std::string passwordLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line))
    throw ComError(E_INVALIDARG, u"--password-stdin found no password on standard input.");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The terminal's settings while a password is typed, for putting echo back
// when the user breaks off with Ctrl-C.
termios savedTerminal;

void restoreTerminalAndDie(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Echo off for as long as it lives; on again afterwards, also after Ctrl-C.
class QuietTerminal {
public:
  QuietTerminal() {
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    oldInt_ = std::signal(SIGINT, restoreTerminalAndDie);
    oldTerm_ = std::signal(SIGTERM, restoreTerminalAndDie);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  ~QuietTerminal() {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(SIGINT, oldInt_);
    std::signal(SIGTERM, oldTerm_);
  }
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;

private:
  void (*oldInt_)(int);
  void (*oldTerm_)(int);
};

// From a terminal: a prompt, and what is typed is not shown. Piped input
// is read as it comes.
std::string readPassword(const std::string& identity) {
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return passwordLine(std::cin);
  QuietTerminal quiet;  // before the prompt, so that nothing typed after it is shown
  std::fprintf(stderr, "Password for %s: ", identity.c_str());
  std::fflush(stderr);
  return passwordLine(std::cin);
}

// The host column of `complus list` for a running host.
std::string hostState(const complus::host::Status& host) {
  if (host.answering) return "pid " + std::to_string(host.pid);
  if (host.pid) return "pid " + std::to_string(host.pid) + ", not answering";
  return "busy";  // every connection taken
}

} // namespace

void addComPlusCommands(CLI::App& app) {
  auto* complus = app.add_subcommand("complus", "COM+ applications: install, list, remove, shutdown, settings");
  complus->require_subcommand(1);

  struct InstallOptions {
    std::string app, library, identity, password;
    bool passwordFromStdin = false;
    std::optional<std::string> ctor;
    std::string activation = "server";
  };
  auto install = std::make_shared<InstallOptions>();
  auto* installCmd = complus->add_subcommand("install", "Create an application and install a component library into it");
  installCmd->add_option("APP", install->app, "Application name, e.g. Korvane")->required();
  installCmd->add_option("LIBRARY", install->library, "Path of the library, e.g. build/sink/Korvane.dll")->required();
  auto* identity = installCmd->add_option("--identity", install->identity, "Run-as account");
  // Arguments are visible to every user of the machine in the process list.
  auto* password = installCmd->add_option(
      "--password", install->password,
      "Password of the run-as account (other users can see it in the process list; prefer --password-stdin)");
  auto* passwordFromStdin = installCmd->add_flag("--password-stdin", install->passwordFromStdin,
                                                 "Read the password of the run-as account from standard input "
                                                 "(on a terminal: asks for it without showing it)");
  password->needs(identity)->excludes(passwordFromStdin);
  passwordFromStdin->needs(identity);
  installCmd->add_option("--ctor", install->ctor,
                         "Constructor string; \\r separates lines, \\t entries (e.g. 'IPM.Note\\r*\\r65223')");
  installCmd->add_option("--activation", install->activation,
                         "server: its classes run in a host process of their own (the default); library: in each caller")
      ->check(CLI::IsMember({"server", "library"}));
  installCmd->callback([install, identity, password] {
    if (install->passwordFromStdin) install->password = readPassword(install->identity);
    else if (identity->count() > 0 && password->count() == 0)
      throw ComError(E_INVALIDARG, u"--identity needs the account's password: give --password-stdin and type it, "
                                   u"or --password.");
    complus::Catalog catalog;
    std::optional<Text> ctor;
    if (install->ctor) ctor = unescape(*install->ctor);
    // One transaction with the activation, so that the install stays all or nothing.
    db::Transaction all(db::Database::current());
    auto info = catalog.installApplication(text(install->app), text(install->library), text(install->identity),
                                           text(install->password), ctor);
    if (install->activation == "library") catalog.setServerApplication(info.id, false);
    all.commit();
    std::printf("Installed %s as application %s with %zu component(s)\n", install->library.c_str(),
                utf8(info.id).c_str(), info.components.size());
  });

  auto json = std::make_shared<bool>(false);
  auto* listCmd = complus->add_subcommand("list", "List the applications and their components");
  listCmd->add_flag("--json", *json, "Print JSON");
  listCmd->callback([json] {
    complus::Catalog catalog;
    auto apps = catalog.listApplications();
    if (*json) {
      Json out = Json::array();
      for (const auto& a : apps) {
        Json components = Json::array();
        for (const auto& c : a.components)
          components.push_back({{"progid", utf8(c.progId)},
                                {"clsid", utf8(c.clsid)},
                                {"dll", utf8(c.dll)},
                                {"constructionEnabled", c.constructionEnabled},
                                {"constructorString", c.constructorString ? Json(utf8(*c.constructorString)) : Json()}});
        auto host = complus::host::status(a.id);
        out.push_back({{"id", utf8(a.id)},
                       {"name", utf8(a.name)},
                       {"identity", utf8(a.identity)},
                       {"accessChecks", a.accessChecksEnabled},
                       {"activation", a.serverApplication ? "server" : "library"},
                       {"host",
                        {{"running", host.running},
                         {"pid", host.pid ? Json(host.pid) : Json()},
                         {"answering", host.answering}}},
                       {"components", components}});
      }
      return printJson(out);
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& a : apps) {
      auto host = complus::host::status(a.id);
      std::string kind = a.serverApplication ? "server" : "library";
      std::string state = !a.serverApplication ? "-" : !host.running ? "not running" : hostState(host);
      std::vector<std::string> app{utf8(a.name), utf8(a.id), utf8(a.identity), kind, state};
      auto row = [&](std::vector<std::string> rest) {
        auto r = app;
        r.insert(r.end(), rest.begin(), rest.end());
        rows.push_back(std::move(r));
      };
      if (a.components.empty()) row({"", "", ""});
      for (const auto& c : a.components)
        row({utf8(c.progId), c.constructionEnabled ? "yes" : "no",
             c.constructorString ? utf8(*c.constructorString) : "(null)"});
    }
    printTable({"APPLICATION", "ID", "IDENTITY", "ACTIVATION", "HOST", "COMPONENT", "CONSTRUCTION", "CONSTRUCTOR STRING"},
               rows);
  });

  auto name = std::make_shared<std::string>();
  auto* removeCmd = complus->add_subcommand("remove", "Remove the first application of that name");
  removeCmd->add_option("APP", *name, "Application name")->required();
  removeCmd->callback([name] {
    complus::Catalog catalog;
    if (!catalog.removeApplication(text(*name)))
      throw ComError(E_INVALIDARG, u"There is no COM+ application named \"" + text(*name) + u"\".");
    std::printf("Removed %s\n", name->c_str());
  });

  auto* shutdownCmd = complus->add_subcommand("shutdown", "End the host process of a server application");
  shutdownCmd->add_option("APP", *name, "Application name or ID")->required();
  shutdownCmd->callback([name] {
    auto app = complus::Catalog().findApplication(text(*name));
    if (!app) throw ComError(E_INVALIDARG, u"There is no COM+ application named \"" + text(*name) + u"\".");
    auto ended = complus::host::shutdown(app->id);
    std::string appName = utf8(app->name), pid = ended.pid ? " (pid " + std::to_string(ended.pid) + ")" : "";
    if (!ended.running) std::printf("No host of %s was running\n", appName.c_str());
    else if (ended.answered) std::printf("Ended the host%s of %s\n", pid.c_str(), appName.c_str());
    else if (ended.gone)
      std::printf("The host%s of %s did not answer and was killed\n", pid.c_str(), appName.c_str());
    else
      throw ComError(E_FAIL, u"The host" + text(pid) + u" of " + app->name +
                                 u" did not answer and could not be ended; its socket is removed, so the next "
                                 u"activation starts a new host.");
  });

  struct Settings {
    std::optional<int> timeLimit, idle;
  };
  auto settings = std::make_shared<Settings>();
  auto* settingsCmd = complus->add_subcommand(
      "settings", "Show or set the sink time limit and the idle time of hosts (seconds; hosts started later use them)");
  settingsCmd->add_option("--time-limit", settings->timeLimit, "How long one call into a hosted sink may run");
  settingsCmd->add_option("--idle", settings->idle, "How long a host without objects stays");
  settingsCmd->callback([settings] {
    if (settings->timeLimit) complus::host::setSinkTimeLimit(*settings->timeLimit);
    if (settings->idle) complus::host::setIdleShutdown(*settings->idle);
    std::printf("Sink time limit: %d s\nIdle shutdown:   %d s\n", complus::host::sinkTimeLimit(),
                complus::host::idleShutdown());
  });
}

} // namespace korvane::lab
