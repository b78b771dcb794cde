// Processes that choose the same name at the same moment: deliveries with
// the same subject into one folder (with and without a sink), and
// `folder add --parents` creating the same parents. Every one of them lands;
// nobody is told about a name they never chose.
#include <set>

#include <gtest/gtest.h>

#include "platform/store/store.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

// Processes at once; what one alone must do, each of them does as well.
constexpr int kProcesses = 4;

class SameName : public RobustnessTest {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    addFolder(u"Reports");  // the sink runs here
    addFolder(u"Alerts");   // no sink: the short path
    install(kCtor);
    registerOn(u"Reports");
    db::Database::closeCurrent();
  }

  // Runs the children side by side; each must succeed without a word on stderr.
  void runAll(std::vector<ChildOptions> options) {
    std::vector<Child> children;
    for (auto& o : options) children.emplace_back(std::move(o));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (auto& c : children) {
      ChildResult r = c.wait(deadline);
      EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);
      EXPECT_EQ(r.err, "");
    }
    db::Database::closeCurrent();
  }
};

TEST_F(SameName, DeliveriesWithOneSubjectAllLandUnderNumberedNames) {
  const long count = 24;
  const std::vector<std::string> folders{"Reports", "Alerts"};
  std::vector<ChildOptions> options;
  for (int p = 0; p < kProcesses; ++p)
    options.push_back(delivererOptions("p" + std::to_string(p), count, folders, {"IPM.Post"}, {"Daily report"}));
  runAll(std::move(options));

  std::vector<DeliveryLog> logs;
  for (int p = 0; p < kProcesses; ++p) logs.push_back(readDeliveryLog(file("p" + std::to_string(p) + ".log")));
  EXPECT_EQ(checkDeliveries(logs, {folders, mappedClass, false, {}}), "");
  // The names are the subject's, numbered without gaps.
  const std::size_t perFolder = static_cast<std::size_t>(kProcesses * count) / folders.size();
  for (const auto& folder : folders) {
    std::set<Text> names, expected{u"Daily report.EML"};
    for (const auto& item : store::listItems(fromUtf8(folder)))
      if (!item.properties.contains(store::prop::sinkClass)) names.insert(item.name);
    for (std::size_t n = 2; n <= perFolder; ++n) expected.insert(u"Daily report-" + fromUtf8(std::to_string(n)) + u".EML");
    EXPECT_EQ(names, expected) << folder;
  }
}

TEST_F(SameName, FolderAddWithParentsCreatesEachParentOnce) {
  std::vector<ChildOptions> options;
  for (int p = 0; p < kProcesses; ++p)
    options.push_back(labOptions({"folder", "add", "--parents", "Archive/2026/Q4/Box " + std::to_string(p)},
                                 "add" + std::to_string(p)));
  runAll(std::move(options));

  for (const char16_t* path : {u"Archive", u"Archive/2026", u"Archive/2026/Q4"})
    EXPECT_TRUE(store::findFolder(path)) << toUtf8(path);
  for (int p = 0; p < kProcesses; ++p)
    EXPECT_TRUE(store::findFolder(u"Archive/2026/Q4/Box " + fromUtf8(std::to_string(p)))) << p;
  EXPECT_EQ(store::findFolder(u"Archive/2026/Q4")->childCount, kProcesses);
}

} // namespace
} // namespace korvane::robustness
