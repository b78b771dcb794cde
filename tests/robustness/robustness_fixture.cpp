#include "robustness_fixture.h"

#include <fstream>
#include <gtest/gtest.h>

#include "platform/complus/admin.h"
#include "platform/store/store.h"
#include "setup/registration/items.h"

namespace korvane::robustness {

namespace {

// Fault switches of the test process itself never reach a child by accident.
const std::vector<std::string> kFaultVariables{"KORVANE_FAULT", "KORVANE_FAULT_SKIP"};

} // namespace

std::optional<std::string> mappedClass(const std::string& deliveredClass) {
  Text cls = trimBlanks(fromUtf8(deliveredClass));
  if (cls.empty()) return deliveredClass;
  if (cls.size() >= 8 && equalsIgnoreCase(TextView(cls).substr(0, 8), u"IPM.Spam")) return std::nullopt;
  return "IPM.Note";
}

void RobustnessTest::installSink(TextView ctor) {
  complus::Catalog().installApplication(u"Korvane", (workDir() / "Korvane.dll").u16string(), u"", u"", Text(ctor));
}

void RobustnessTest::addFolder(TextView path) {
  store::FolderSpec spec;
  spec.path = Text(path);
  spec.mailAddress = u"folder" + fromUtf8(std::to_string(store::listFolders().size())) + u"@corp.example.com";
  spec.contentClass = u"urn:content-classes:mailfolder";
  store::createFolder(spec);
}

Text RobustnessTest::folderUrl(TextView path) const { return store::publicRootUrl() + u"/" + Text(path); }

void RobustnessTest::registerOn(TextView path, TextView priority, TextView sinkClass) {
  setup::TextBox log;
  Text written = setup::CreateRegItem(log, folderUrl(path), u"", setup::kRegItemName, setup::kEventMethod,
                                      Text(sinkClass), u"SHALLOW", setup::kCriteria, priority, true);
  ASSERT_FALSE(written.empty()) << toUtf8(log.text);
}

void RobustnessTest::registerStoreWide() {
  setup::TextBox log;
  Text written = setup::CreateRegItem(log, setup::storeWideBaseUrl(store::publicRootUrl() + u"/"),
                                      setup::storeWideRelativePath(store::serverInfo().storeGuid),
                                      setup::kRegItemName, setup::kEventMethod, setup::kSinkClass, u"ANY",
                                      setup::kCriteria, u"65223", true);
  ASSERT_FALSE(written.empty()) << toUtf8(log.text);
}

ChildOptions RobustnessTest::childOptions(const std::filesystem::path& program, const std::vector<std::string>& args,
                                          const std::string& name) {
  ChildOptions o;
  o.args = {program.string()};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.out = file(name + ".out");
  o.err = file(name + ".err");
  o.unsetEnv = kFaultVariables;
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

ChildResult RobustnessTest::deliverer(const std::string& id, long count, const std::vector<std::string>& folders,
                                      const std::vector<std::string>& classes,
                                      const std::map<std::string, std::string>& env) {
  return runWith(delivererOptions(id, count, folders, classes), env);
}

ChildResult RobustnessTest::registrar(const std::vector<std::string>& args,
                                      const std::map<std::string, std::string>& env) {
  return runWith(childOptions(helperProgram("robustness_registrar"), args, "registrar"), env);
}

ChildResult RobustnessTest::faultyLab(const std::vector<std::string>& args,
                                      const std::map<std::string, std::string>& env) {
  return runWith(childOptions(helperProgram("korvane-lab-faults"), args, "lab"), env);
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

std::vector<std::string> RobustnessTest::problemsWithRegistrations() {
  std::vector<std::string> problems;
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
          problems.push_back(toUtf8(item.url) + ": " + toUtf8(name) + " is \"" + toUtf8(p.text(name)) + "\"");
      if (p.text(store::prop::priority).empty()) problems.push_back(toUtf8(item.url) + ": no priority");
      auto hidden = p.get(store::prop::isHidden);
      if (!hidden || !(*hidden == Variant(true))) problems.push_back(toUtf8(item.url) + ": not hidden");
    }
  }
  return problems;
}

std::string commaSeparated(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "" : ",") + i;
  return out;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

} // namespace korvane::robustness
