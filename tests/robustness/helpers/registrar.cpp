// robustness_registrar: writes the sink's registration items through the
// setup's own item operations, as a separate process.
//
//   robustness_registrar create PATH [--priority P]
//       one CreateRegItem (the crash tests kill it inside)
//   robustness_registrar churn --folders A,B [--store-wide] --until FILE [--max-seconds S] [--shared]
//       creates, replaces and deletes the items of those folders (and the
//       store-wide one) in turn until FILE exists, checking each step with
//       CheckItemExists. With --shared another program writes the same
//       items meanwhile: each step starts from what the look-up finds, and
//       a deletion may find the item gone already. Any failed step ends it
//       with exit code 1.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/runtime.h"
#include "platform/store/store.h"
#include "setup/registration/items.h"

namespace {

using namespace korvane;
using namespace korvane::setup;

// Where one registration item lives, in the two pieces the setup uses.
struct Target {
  Text base;
  Text relative;
  Text scope;
  std::string label;
};

Target folderTarget(const std::string& path) {
  return Target{store::publicRootUrl() + u"/" + fromUtf8(path), u"", u"SHALLOW", path};
}

Target storeWideTarget() {
  return Target{storeWideBaseUrl(store::publicRootUrl() + u"/"), storeWideRelativePath(store::serverInfo().storeGuid), u"ANY",
                "(store-wide)"};
}

[[noreturn]] void failStep(const Target& t, const std::string& what, const TextBox& log) {
  throw std::runtime_error(what + " of the registration in " + t.label + " failed" +
                           (log.text.empty() ? std::string() : ": " + toUtf8(log.text)));
}

void create(const Target& t, TextView priority) {
  TextBox log;
  Text written = CreateRegItem(log, t.base, t.relative, kRegItemName, kEventMethod, kSinkClass, t.scope, kCriteria,
                               priority, true);
  if (written.empty() || !log.text.empty()) failStep(t, "the creation", log);
}

std::int16_t lookUp(const Target& t) {
  TextBox log;
  ComPtr<ado::IConnection> connection;
  std::int16_t found = CheckItemExists(log, t.base, t.relative, kRegItemName, kRegItemCondition, true, connection);
  if (found < 0) failStep(t, "the look-up", log);
  return found;
}

// One step on a target: replace, delete or create, then the look-up must
// agree (unless others write the same items).
void step(const Target& t, bool& registered, long n, bool shared) {
  if (shared) registered = lookUp(t) == 1;
  if (registered && n % 3 == 0) {
    create(t, fromUtf8(std::to_string(100 + n % 1000)));  // replaces the item
  } else if (registered) {
    TextBox log;
    if (!DeleteRegItem(log, t.base, t.relative, kRegItemName, !shared) && !(shared && lookUp(t) == 0))
      failStep(t, "the deletion", log);
    registered = false;
  } else {
    create(t, u"65223");
    registered = true;
  }
  if (!shared && (lookUp(t) == 1) != registered)
    throw std::runtime_error("the look-up in " + t.label + " does not show what was just written");
}

int churn(const std::vector<Target>& targets, const std::filesystem::path& until, double maxSeconds, bool shared) {
  if (targets.empty()) throw std::invalid_argument("churn needs --folders or --store-wide");
  std::vector<bool> registered;
  for (const Target& t : targets) registered.push_back(lookUp(t) == 1);
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
  long steps = 0;
  double longest = 0;
  while (!std::filesystem::exists(until) && elapsed() < maxSeconds) {
    std::size_t i = static_cast<std::size_t>(steps) % targets.size();
    bool state = registered[i];
    const double before = elapsed();
    step(targets[i], state, steps / static_cast<long>(targets.size()), shared);
    longest = std::max(longest, elapsed() - before);
    registered[i] = state;
    ++steps;
  }
  std::printf("registrar made %ld changes in %.2f s (the longest took %.2f s)\n", steps, elapsed(), longest);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  CLI::App app{"robustness_registrar"};
  app.require_subcommand(1);
  std::string path, priority = "65223", until;
  std::vector<std::string> folders;
  double maxSeconds = 600;
  bool storeWide = false, shared = false;
  auto* creating = app.add_subcommand("create");
  creating->add_option("PATH", path)->required();
  creating->add_option("--priority", priority);
  auto* churning = app.add_subcommand("churn");
  churning->add_option("--folders", folders)->delimiter(',');
  churning->add_flag("--store-wide", storeWide);
  churning->add_option("--until", until)->required();
  churning->add_option("--max-seconds", maxSeconds);
  churning->add_flag("--shared", shared);
  CLI11_PARSE(app, argc, argv);
  int status = 1;
  try {
    if (*creating) {
      create(folderTarget(path), fromUtf8(priority));
      std::printf("registered %s\n", path.c_str());
      status = 0;
    } else {
      std::vector<Target> targets;
      for (const auto& f : folders) targets.push_back(folderTarget(f));
      if (storeWide) targets.push_back(storeWideTarget());
      status = churn(targets, until, maxSeconds, shared);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "robustness_registrar: %s\n", e.what());
  }
  korvane::shutdownRuntime();
  return status;
}
