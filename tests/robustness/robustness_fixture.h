// A complete server for the robustness tests, with the real sink installed
// in COM+, and the calls that run the helper programs against it: the
// delivery loop, the registration writer and korvane-lab. The test process
// closes its own connection before a child runs, as an unrelated process
// would hold none.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "delivery_log.h"
#include "setup/window/model.h"
#include "support/delivery_fixture.h"

namespace korvane::robustness {

// The mapping of the robustness tests: spam is deleted, every other
// non-empty class becomes IPM.Note.
inline constexpr char16_t kCtor[] = u"NULL\tIPM.Note\rIPM.Spam*\t*\r65223";
std::optional<std::string> mappedClass(const std::string& deliveredClass);

class RobustnessTest : public korvane::testing::DeliveryFixture {
protected:
  void addFolder(TextView path);
  // Registers the sink (or another class) on the folder at PATH.
  void registerOn(TextView path, TextView priority = u"65223", TextView sinkClass = setup::kSinkClass);

  std::filesystem::path file(const std::string& name) const { return workDir() / name; }

  // robustness_deliver with COUNT items into FOLDERS. SUBJECTS repeat in
  // turn (empty: each item's key).
  ChildOptions delivererOptions(const std::string& id, long count, const std::vector<std::string>& folders,
                                const std::vector<std::string>& classes, const std::vector<std::string>& subjects = {});
  ChildResult lab(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                  bool asNobody = false, const std::optional<std::string>& input = std::nullopt);
  // A PROGRAM built beside the tests run to its end: robustness_registrar, or
  // korvane-lab-faults, the test copy of korvane-lab that KORVANE_FAULT in `env` kills.
  ChildResult helper(const char* program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {});
  // korvane-lab with its output in NAME.out and NAME.err, to run beside others.
  ChildOptions labOptions(const std::vector<std::string>& args, const std::string& name = "lab");
  // PROGRAM with ARGS, its output in NAME.out and NAME.err, no fault switch.
  ChildOptions childOptions(const std::filesystem::path& program, const std::vector<std::string>& args,
                            const std::string& name);
  // Runs it to its end with ENV added, this process's connection closed first.
  ChildResult runWith(ChildOptions options, const std::map<std::string, std::string>& env);

  // The setup's refresh (load and activate) on a fresh connection, as a new
  // process of it runs it: the window it leaves, whose error log must be empty.
  setup::InstallFormModel refreshedWindow();

  // What the registration items hold now, for comparisons after a crash.
  std::string problemsWithRegistrations();
};

std::string commaSeparated(const std::vector<std::string>& items);

} // namespace korvane::robustness
