#include "robustness_fixture.h"

#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>

#include "platform/store/store.h"
#include "setup/registration/items.h"
#include "setup/window/main_window.h"

namespace korvane::robustness {

std::optional<std::string> mappedClass(const std::string& deliveredClass) {
  Text cls = trimBlanks(fromUtf8(deliveredClass));
  if (cls.empty()) return deliveredClass;
  if (cls.size() >= 8 && equalsIgnoreCase(TextView(cls).substr(0, 8), u"IPM.Spam")) return std::nullopt;
  return "IPM.Note";
}

void RobustnessTest::addFolder(TextView path) {
  auto spec = testing::mailFolder(path, u"folder" + fromUtf8(std::to_string(store::listFolders().size())) + u"@corp");
  spec.contentClass = u"urn:content-classes:mailfolder";
  store::createFolder(spec);
}

void RobustnessTest::registerOn(TextView path, TextView priority, TextView sinkClass) {
  const Text written =
      DeliveryFixture::registerOn(folderUrl(path), u"SHALLOW", sinkClass, setup::kEventMethod, priority);
  ASSERT_FALSE(written.empty()) << toUtf8(regLog.text);
}

ChildOptions RobustnessTest::childOptions(const std::filesystem::path& program, const std::vector<std::string>& args,
                                          const std::string& name) {
  ChildOptions o;
  o.args = {program.string()};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.out = file(name + ".out");
  o.err = file(name + ".err");
  o.unsetEnv = {"KORVANE_FAULT", "KORVANE_FAULT_SKIP"};  // the test's own never reach a child by accident
  return o;
}

ChildOptions RobustnessTest::delivererOptions(const std::string& id, long count, const std::vector<std::string>& folders,
                                              const std::vector<std::string>& classes,
                                              const std::vector<std::string>& subjects) {
  std::vector<std::string> args{"--id", id, "--count", std::to_string(count), "--folders", commaSeparated(folders),
                                "--classes", commaSeparated(classes), "--log", file(id + ".log").string()};
  if (!subjects.empty()) args.insert(args.end(), {"--subjects", commaSeparated(subjects)});
  return childOptions(helperProgram("robustness_deliver"), args, id);
}

ChildResult RobustnessTest::runWith(ChildOptions o, const std::map<std::string, std::string>& env) {
  db::Database::closeCurrent();
  o.setEnv = env;
  return run(o);
}

ChildResult RobustnessTest::helper(const char* program, const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env) {
  return runWith(childOptions(helperProgram(program), args, program), env);
}

ChildResult RobustnessTest::lab(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                                bool asNobody, const std::optional<std::string>& input) {
  ChildOptions o = labOptions(args);
  if (input) {
    o.in = file("lab.in");
    std::ofstream(o.in, std::ios::binary) << *input;
  }
  o.asNobody = asNobody;
  return runWith(o, env);
}

ChildOptions RobustnessTest::labOptions(const std::vector<std::string>& args, const std::string& name) {
  return childOptions(std::filesystem::path(KORVANE_BINARY_DIR) / "lab" / "korvane-lab", args, name);
}

setup::InstallFormModel RobustnessTest::refreshedWindow() {
  db::Database::closeCurrent();
  setup::InstallForm form;
  setup::Form_Load(form, u"");
  setup::Form_Activate(form);
  EXPECT_TRUE(form.ui.txtErr.text.empty()) << toUtf8(form.ui.txtErr.text);
  setup::Form_Unload(form);
  db::Database::closeCurrent();
  return form.ui;
}

std::string RobustnessTest::problemsWithRegistrations() {
  std::string problems;
  const Text globalEvents = store::globalEventsUrl();
  for (const auto& folder : store::listFolders()) {
    for (const auto& item : store::listItems(folder.path)) {
      if (!equalsIgnoreCase(item.name, setup::kRegItemName)) continue;
      const auto& p = item.properties;
      const Text scope = folder.url == globalEvents ? u"ANY" : u"SHALLOW";
      const std::pair<const char16_t*, Text> expected[] = {
          {store::prop::contentClass, store::contentclass::registration},
          {store::prop::eventMethod, setup::kEventMethod},
          {store::prop::sinkClass, setup::kSinkClass},
          {store::prop::matchScope, scope},
          {store::prop::criteria, setup::kCriteria},
      };
      for (const auto& [name, value] : expected)
        if (p.text(name) != value)
          problems += toUtf8(item.url) + ": " + toUtf8(name) + " is \"" + toUtf8(p.text(name)) + "\"\n";
      if (p.text(store::prop::priority).empty()) problems += toUtf8(item.url) + ": no priority\n";
      auto hidden = p.get(store::prop::isHidden);
      if (!hidden || !(*hidden == Variant(true))) problems += toUtf8(item.url) + ": not hidden\n";
    }
  }
  return problems;
}

std::string commaSeparated(const std::vector<std::string>& items) {
  return fmt::format("{}", fmt::join(items, ","));
}

} // namespace korvane::robustness
