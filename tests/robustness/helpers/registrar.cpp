// robustness_registrar: writes the sink's registration items through the
// setup's own item operations, as a separate process.
//
//   robustness_registrar create PATH|--store-wide [--priority P]
//       one CreateRegItem (the crash tests kill it inside)
//   robustness_registrar churn --folders A,B [--store-wide] --until FILE [--max-seconds S] [--shared]
//       creates, replaces and deletes the items of those folders (and the
//       store-wide one) in turn until FILE exists, checking each step with
//       CheckItemExists. With --shared another program writes the same
//       items meanwhile: each step starts from what the look-up finds, and
//       a deletion may find the item gone already. Any failed step ends it
//       with exit code 1.
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
#include "tests/robustness/delivery_log.h"

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

Text publicRoot() { return store::publicRootUrl() + u"/"; }

Target folderTarget(const std::string& path) {
  return Target{store::publicRootUrl() + u"/" + fromUtf8(path), u"", u"SHALLOW", path};
}

Target storeWideTarget() {
  return Target{storeWideBaseUrl(publicRoot()), storeWideRelativePath(store::serverInfo().storeGuid), u"ANY",
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

int createOne(const std::vector<std::string>& args) {
  if (args.empty()) throw std::invalid_argument("create needs a folder PATH or --store-wide");
  std::string priority = "65223";
  for (std::size_t i = 1; i + 1 < args.size(); i += 2)
    if (args[i] == "--priority") priority = args[i + 1];
  create(args[0] == "--store-wide" ? storeWideTarget() : folderTarget(args[0]), fromUtf8(priority));
  std::printf("registered %s\n", args[0].c_str());
  return 0;
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

int churn(const std::vector<std::string>& args) {
  std::vector<Target> targets;
  std::filesystem::path until;
  double maxSeconds = 600;
  bool shared = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--store-wide") {
      targets.push_back(storeWideTarget());
      continue;
    }
    if (args[i] == "--shared") {
      shared = true;
      continue;
    }
    if (i + 1 >= args.size()) throw std::invalid_argument("the option " + args[i] + " needs a value");
    const std::string& v = args[++i];
    if (args[i - 1] == "--folders")
      for (const auto& path : robustness::split(v, ',')) targets.push_back(folderTarget(path));
    else if (args[i - 1] == "--until") until = v;
    else if (args[i - 1] == "--max-seconds") maxSeconds = std::stod(v);
    else throw std::invalid_argument("unknown option " + args[i - 1]);
  }
  if (targets.empty() || until.empty()) throw std::invalid_argument("churn needs --folders or --store-wide, and --until");

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
  int status = 1;
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) throw std::invalid_argument("give a command: create or churn");
    std::string command = args.front();
    args.erase(args.begin());
    if (command == "create") status = createOne(args);
    else if (command == "churn") status = churn(args);
    else throw std::invalid_argument("unknown command " + command);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "robustness_registrar: %s\n", e.what());
    status = 1;
  }
  korvane::shutdownRuntime();
  return status;
}
