// Processes killed (SIGKILL) at the fault points of a delivery, a delete and
// a registration write, and what the server keeps: nothing half-written,
// nothing committed lost, and the next delivery, look-up and refresh work.
#include <algorithm>
#include <csignal>

#include <gtest/gtest.h>

#include "platform/complus/admin.h"
#include "platform/complus/host.h"
#include "platform/registry/registry.h"
#include "platform/store/store.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

const std::vector<std::string> kKept{"Kept 1", "Kept 2"};

void expectKilled(const ChildResult& r) {
  EXPECT_TRUE(!r.exited && r.signal == SIGKILL && !r.timedOut) << describe(r);
}

// A fault point as a test name.
std::string pointName(std::string name) {
  for (char& c : name)
    if (c == '.' || c == '-') c = '_';
  return name;
}

class Crashes : public RobustnessTest {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    addFolder(u"Sales");
    addFolder(u"Support");
    install(kCtor);
    registerOn(u"Sales");
    // Committed before any crash: must survive all of them (but "Kept 2"'s own deletion).
    for (const std::string& subject : kKept)
      store::deliver(u"Sales", {{store::prop::subject, Variant(fromUtf8(subject))},
                                {store::prop::messageClass, Variant(u"IPM.Post")}});
  }

  // On fresh connections after the crash: a committed item is kept, the
  // database is sound, the next delivery (a process of its own) is mapped,
  // and the setup's refresh sees "Sales" registered and the sink installed.
  void expectServerWorksOn() {
    db::Database::closeCurrent();
    auto kept = store::findItem(u"Sales/Kept 1.EML");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->properties.text(store::prop::messageClass), u"IPM.Note");
    EXPECT_EQ(db::Database::current().integrityCheck(), "ok");
    EXPECT_EQ(problemsWithRegistrations(), "");
    ChildResult r = runWith(delivererOptions("next", 1, {"Sales"}, {"IPM.Post"}), {});
    ASSERT_TRUE(r.exited && r.exitCode == 0) << describe(r);
    auto log = readDeliveryLog(file("next.log"));
    ASSERT_EQ(log.deliveries.size(), 1u);
    EXPECT_EQ(log.deliveries[0].resultClass, "IPM.Note");
    const setup::InstallFormModel window = refreshedWindow();
    const auto& rows = window.ListView1.rows;
    auto sales = std::find_if(rows.begin(), rows.end(), [](const auto& row) { return row.text == u"Sales"; });
    EXPECT_TRUE(sales != rows.end() && sales->checked);
    EXPECT_EQ(window.btnInstall.caption, u"Uninstall");
  }
};

struct DeliveryFault {
  const char* point;
  bool itemStays;  // the save was committed before the kill
};

class DeliveryKilled : public Crashes, public ::testing::WithParamInterface<DeliveryFault> {};

TEST_P(DeliveryKilled, LeavesNoHalfWrittenItemAndTheServerWorksOn) {
  const DeliveryFault& fault = GetParam();
  // Three deliveries finish, the fourth is killed at the point.
  expectKilled(runWith(delivererOptions("w", 10, {"Sales"}, {"IPM.Post"}),
                       {{"KORVANE_FAULT", fault.point}, {"KORVANE_FAULT_SKIP", "3"}}));

  auto log = readDeliveryLog(file("w.log"));
  ASSERT_EQ(log.deliveries.size(), 4u) << "the kill came at the wrong delivery";
  EXPECT_FALSE(log.deliveries[3].done);
  EXPECT_EQ(checkDeliveries({log}, {{"Sales", "Support"}, mappedClass, true, kKept}), "");

  auto killed = store::findItem(u"Sales/w-3.EML");
  EXPECT_EQ(killed.has_value(), fault.itemStays);
  if (killed) {
    // Whole: the begin phase's rewrite is part of what was committed.
    EXPECT_EQ(killed->properties.text(store::prop::subject), u"w-3");
    EXPECT_EQ(killed->properties.text(store::prop::messageClass), u"IPM.Note");
  }
  expectServerWorksOn();
}

INSTANTIATE_TEST_SUITE_P(Points, DeliveryKilled,
                         ::testing::Values(DeliveryFault{"store.begin-phase", false},
                                           DeliveryFault{"store.before-commit", false},
                                           DeliveryFault{"store.after-save-before-commit-phase", true}),
                         [](const auto& info) { return pointName(info.param.point); });

TEST_F(Crashes, DeleteKilledAfterItsCommitStaysDeleted) {
  expectKilled(helper("korvane-lab-faults", {"delete", "Sales/Kept 2.EML"},
                      {{"KORVANE_FAULT", "store.after-delete-before-commit-phase"}}));
  EXPECT_FALSE(store::findItem(u"Sales/Kept 2.EML"));
  expectServerWorksOn();
}

TEST_F(Crashes, ARemoveKilledAfterItsCommitLeavesNoHostBehind) {
  auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  ASSERT_TRUE(complus::host::status(apps[0].id).running);
  expectKilled(helper("korvane-lab-faults", {"complus", "remove", toUtf8(apps[0].name)},
                      {{"KORVANE_FAULT", "complus.saved-before-hosts-end"}}));
  db::Database::closeCurrent();
  EXPECT_TRUE(complus::Catalog().listApplications().empty());
  EXPECT_FALSE(complus::host::status(apps[0].id).running);
}

struct RegistrationFault {
  const char* point;
  const char* folder;  // "Sales" holds a registration already, "Support" none
};

class RegistrationKilled : public Crashes, public ::testing::WithParamInterface<RegistrationFault> {};

TEST_P(RegistrationKilled, LeavesTheOldItemOrNoneAndNeverAPartOfOne) {
  const RegistrationFault& fault = GetParam();
  expectKilled(
      helper("robustness_registrar", {"create", fault.folder, "--priority", "7"}, {{"KORVANE_FAULT", fault.point}}));

  auto registrations = store::registrations();
  ASSERT_EQ(registrations.size(), 1u) << "only the registration made before the crash may exist";
  EXPECT_EQ(registrations[0].url, folderUrl(u"Sales") + u"/Korvane.reg");
  EXPECT_EQ(registrations[0].properties.text(store::prop::priority), u"65223");
  EXPECT_FALSE(store::findItem(u"Support/Korvane.reg"));
  expectServerWorksOn();
}

INSTANTIATE_TEST_SUITE_P(Points, RegistrationKilled,
                         ::testing::Values(RegistrationFault{"setup.create-reg-item", "Sales"},
                                           RegistrationFault{"setup.create-reg-item", "Support"},
                                           RegistrationFault{"store.begin-phase", "Support"},
                                           RegistrationFault{"store.before-commit", "Sales"},
                                           RegistrationFault{"setup.create-reg-item-commit", "Sales"},
                                           RegistrationFault{"setup.create-reg-item-commit", "Support"}),
                         [](const auto& info) { return pointName(std::string(info.param.point) + "_" + info.param.folder); });

namespace fs = std::filesystem;

struct SetUpFault {
  const char* point;
  bool init;  // korvane-lab init, else korvane-lab complus install
};

void PrintTo(const SetUpFault& f, std::ostream* os) { *os << f.point; }

// A set-up command killed at any of its steps leaves all of it or nothing,
// and the same command then goes through.
class SetUpKilled : public RobustnessTest, public ::testing::WithParamInterface<SetUpFault> {
protected:
  std::vector<std::string> command() const {
    if (GetParam().init) return {"--server", (workDir() / "fresh").string(), "init", "--sample"};
    return {"complus", "install", "Korvane", (workDir() / "Korvane.dll").string(), "--ctor", "IPM.Note\\r*\\r1"};
  }
  void expectNothingMade() {
    if (GetParam().init) {
      EXPECT_FALSE(fs::exists(workDir() / "fresh"));  // what the lab says then: see BadDatabase
      return;
    }
    EXPECT_TRUE(complus::Catalog().listApplications().empty());
    EXPECT_FALSE(registry::keyExists(registry::Root::ClassesRoot, u"Korvane.KorvaneCls"));
  }
  void expectAllMade() {
    if (GetParam().init) {
      ChildResult r = lab({"--server", (workDir() / "fresh").string(), "folder", "list"});
      EXPECT_EQ(r.exitCode, 0) << describe(r);
      EXPECT_NE(r.out.find("Sales/Orders"), std::string::npos);
      for (const auto& entry : fs::directory_iterator(workDir()))
        EXPECT_EQ(entry.path().filename().string().find(".fresh.init-"), std::string::npos) << entry.path();
      return;
    }
    auto apps = complus::Catalog().listApplications();
    ASSERT_EQ(apps.size(), 1u);
    ASSERT_EQ(apps[0].components.size(), 1u);
    EXPECT_TRUE(apps[0].components[0].constructionEnabled);
    EXPECT_EQ(apps[0].components[0].constructorString, Text(u"IPM.Note\r*\r1"));
  }
};

TEST_P(SetUpKilled, LeavesAllOrNothingAndTheCommandThenGoesThrough) {
  expectKilled(helper("korvane-lab-faults", command(), {{"KORVANE_FAULT", GetParam().point}}));
  expectNothingMade();
  ChildResult again = lab(command());
  ASSERT_TRUE(again.exited && again.exitCode == 0) << describe(again);
  expectAllMade();
}

INSTANTIATE_TEST_SUITE_P(Points, SetUpKilled,
                         ::testing::Values(SetUpFault{"server.init-exchange", true},
                                           SetUpFault{"server.init-content", true},
                                           SetUpFault{"server.init-move", true},
                                           SetUpFault{"complus.install-component", false},
                                           SetUpFault{"complus.install-constructor", false},
                                           SetUpFault{"complus.install-commit", false}),
                         [](const auto& info) { return pointName(info.param.point); });

// The switch is for the tests' own copies: the programs people run ignore it.
TEST_F(RobustnessTest, TheProgramsPeopleRunIgnoreTheFaultSwitch) {
  ChildResult init = lab({"--server", (workDir() / "fresh").string(), "init"}, {{"KORVANE_FAULT", "server.init-move"}});
  EXPECT_TRUE(init.exited && init.exitCode == 0) << describe(init);
  addFolder(u"Sales");
  ChildResult delivery = lab({"deliver", "Sales", "--class", "IPM.Note"}, {{"KORVANE_FAULT", "store.begin-phase"}});
  EXPECT_TRUE(delivery.exited && delivery.exitCode == 0) << describe(delivery);
}

} // namespace
} // namespace korvane::robustness
