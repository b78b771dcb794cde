// A sink that takes its time holds up only the save it was called for:
// while it waits (the faulty test sink, held by a file), other processes
// deliver into other folders and into its own, a registration is written and
// the setup refreshes, all to their end. Then the held save is released,
// vetoed or killed, and it leaves all or nothing; a plain save of the same
// item meanwhile is not overwritten.
#include <csignal>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/complus/admin.h"
#include "platform/complus/faultysink/faultysink.h"
#include "platform/store/store.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

const std::vector<std::string> kFolders{"Slow", "Fast", "Plain"};

class SlowSink : public RobustnessTest {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    for (const auto& f : kFolders) addFolder(fromUtf8(f));
    install(kCtor);
    registerOn(u"Fast");
    std::filesystem::create_directory(control());
    // A library application: the sink runs, and is held, in the delivering
    // process itself (the time limit of a host would end it).
    complus::Catalog catalog;
    auto blocking = catalog.installApplication(u"Blocking", fromUtf8(KORVANE_FAULTYSINK_PATH), u"", u"",
                                               control().u16string());
    catalog.setServerApplication(blocking.id, false);
    registerOn(u"Slow", u"1", faultysink::kProgId);
    db::Database::closeCurrent();
  }

  std::filesystem::path control() const { return file("control"); }
  void say(const char* word) { std::ofstream(control() / word) << word; }

  // Holds the next sink call in Slow, starts `options` and waits until the
  // sink has it.
  Child startHeld(ChildOptions options) {
    say("block");
    Child held(std::move(options));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(control() / "entered") && std::chrono::steady_clock::now() < deadline) {
      if (auto r = held.poll()) ADD_FAILURE() << "ended before its sink was called: " << describe(*r);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(std::filesystem::exists(control() / "entered")) << "the sink was never called";
    return held;
  }

  // What the blocking sink was told of saves in the process `pid`: "begin", "committed", ...
  std::vector<std::string> phasesSeenBy(pid_t pid) {
    std::vector<std::string> out;
    std::ifstream in(control() / "calls.log");
    std::string p, event, phase, url;
    while (in >> p >> event >> phase && std::getline(in, url))
      if (p == std::to_string(pid) && event == "save") out.push_back(phase);
    return out;
  }
};

struct Ending {
  const char* name;
  const char* word;  // what the test tells the sink; none: the process is killed
  bool lands;
  std::vector<std::string> phases;  // what the sink is told of the held save
};

class HeldDelivery : public SlowSink, public ::testing::WithParamInterface<Ending> {};

TEST_P(HeldDelivery, OthersFinishMeanwhileAndItLeavesAllOrNothing) {
  const Ending& ending = GetParam();
  Child held = startHeld(delivererOptions("held", 1, {"Slow"}, {"IPM.Post"}, {"Report"}));
  const pid_t heldPid = held.pid();

  // Into every folder, the held one included, with the held item's subject.
  ChildResult others = run(delivererOptions("others", 12, kFolders, {"IPM.Post"}, {"Report"}));
  EXPECT_TRUE(others.exited && others.exitCode == 0) << describe(others);
  ChildResult registered = lab({"reg", "add", "Plain", "--sink", "Korvane.KorvaneCls"});
  EXPECT_TRUE(registered.exited && registered.exitCode == 0) << describe(registered);
  EXPECT_EQ(refreshedWindow().ListView1.rows.size(), kFolders.size());  // the setup's store work
  EXPECT_FALSE(held.poll()) << "the held delivery ended before it was let go";

  if (ending.word)
    say(ending.word);
  else
    ::kill(heldPid, SIGKILL);
  ChildResult r = held.wait(std::chrono::steady_clock::now() + std::chrono::seconds(60));
  if (ending.word)
    EXPECT_TRUE(r.exited && r.exitCode == (ending.lands ? 0 : 1)) << describe(r);
  else
    EXPECT_EQ(r.signal, SIGKILL) << describe(r);

  db::Database::closeCurrent();
  auto heldLog = readDeliveryLog(file("held.log"));
  ASSERT_EQ(heldLog.deliveries.size(), 1u);
  EXPECT_EQ(heldLog.deliveries[0].done, ending.lands);
  EXPECT_EQ(checkDeliveries({heldLog, readDeliveryLog(file("others.log"))}, {kFolders, mappedClass, false, {}}), "");
  EXPECT_EQ(phasesSeenBy(heldPid), ending.phases);
  EXPECT_EQ(db::Database::current().integrityCheck(), "ok");
}

INSTANTIATE_TEST_SUITE_P(Endings, HeldDelivery,
                         ::testing::Values(Ending{"Released", "release", true, {"begin", "committed"}},
                                           Ending{"Vetoed", "abort", false, {"begin", "aborted"}},
                                           Ending{"Killed", nullptr, false, {"begin"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SlowSink, APlainSaveOfTheSameItemMeanwhileIsNotOverwritten) {
  constexpr char16_t kNote[] = u"urn:schemas:httpmail:textdescription";
  store::save(u"Slow", u"Note.EML", {{store::prop::messageClass, Variant(u"IPM.Post")}, {store::prop::subject, Variant(u"Before")}});
  db::Database::closeCurrent();
  Child mine = startHeld(labOptions({"save", "Slow", "--name", "Note.EML", "--class", "IPM.Mine", "--subject", "Mine"}, "mine"));
  const pid_t minePid = mine.pid();

  store::save(u"Slow", u"Note.EML", {{kNote, Variant(u"Theirs")}});
  db::Database::closeCurrent();
  EXPECT_FALSE(mine.poll()) << "the held save ended before it was let go";
  say("release");
  ChildResult r = mine.wait(std::chrono::steady_clock::now() + std::chrono::seconds(60));
  EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);

  // The held save saw the other change and went again on top of it.
  auto item = store::findItem(u"Slow/Note.EML");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->properties.text(kNote), u"Theirs");
  EXPECT_EQ(item->properties.text(store::prop::subject), u"Mine");
  EXPECT_EQ(item->properties.text(store::prop::messageClass), u"IPM.Mine");
  EXPECT_EQ(phasesSeenBy(minePid), (std::vector<std::string>{"begin", "aborted", "begin", "committed"}));
}

} // namespace
} // namespace korvane::robustness
