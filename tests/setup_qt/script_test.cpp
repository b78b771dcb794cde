// The scripted administrator: parsing, and the real KorvaneSetup walked
// through install and registration by a script, with its screenshots and
// exit codes.
#include <QImage>

#include "setup/qt/script.h"
#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

TEST(ScriptParsing, StepsWordsQuotesAndTabs) {
  auto steps = parseScript("# a comment\n\nyes\n  type txtIdent \"CORP\\svc one\"\nPASTE txtOrigMsgClass "
                           "\"A*{TAB}*\"\nclick btnInstall\n");
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].line, 3);
  EXPECT_EQ(steps[1].words, (QStringList{"type", "txtIdent", "CORP\\svc one"}));
  EXPECT_EQ(steps[2].words, (QStringList{"paste", "txtOrigMsgClass", "A*\t*"}));
  EXPECT_EQ(steps[3].line, 6);
}

TEST(ScriptParsing, MistakesNameTheLine) {
  struct Row {
    const char* script;
    const char* message;
  } rows[] = {{"yes\nfly away\n", "line 2: unknown step 'fly'"},
              {"click\n", "line 1: 'click' takes 1 argument(s)"},
              {"type txtIdent a b\n", "line 1: 'type' takes 2 argument(s)"},
              {"expect Label1 \"open\n", "line 1: a double quote is not closed"}};
  for (const Row& r : rows) {
    try {
      parseScript(QString::fromLatin1(r.script));
      ADD_FAILURE() << r.script;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), r.message);
    }
  }
}

class ScriptedSetup : public WindowFixture {};

TEST_F(ScriptedSetup, WalksInstallAndRegistrationAndTakesScreenshots) {
  Run r = runScripted(
      "screenshot disclaimer.png\n"
      "yes\n"
      "screenshot before.png\n"
      "type txtIdent \"CORP\\svc-korvane\"\n"
      "type txtPwd secret\n"
      "paste txtOrigMsgClass \"IPM.Spam*{TAB}*\"\n"
      "paste txtNewMsgClass \"NULL{TAB}IPM.Note\"\n"
      "click btnInstall\n"
      "expect btnInstall Uninstall\n"
      "screenshot after.png\n"
      "check Sales/Orders\n"
      "check Forms\n"
      "click btnChange\n"
      "answer yes\n"
      "click btnRegisterSW\n"
      "expect btnRegisterSW Unregister\n"
      "click btnRegisterSW\n"
      "click Command2\n");
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("Are you sure you wish to register store-wide? -> Yes")) << r.out.toStdString();
  for (const char* png : {"disclaimer.png", "before.png", "after.png"})
    EXPECT_FALSE(QImage(shots.filePath(png)).isNull()) << png;
  EXPECT_EQ(QImage(shots.filePath("before.png")).size(), QSize(642, 527));
  auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].identity, u"CORP\\svc-korvane");
  EXPECT_EQ(apps[0].components.at(0).constructorString, Text(u"NULL\tIPM.Note\rIPM.Spam*\t*\r65223"));
  EXPECT_EQ(registeredFolders(), (std::vector<Text>{u"Forms", u"Sales/Orders"}));
  EXPECT_FALSE(storeWideRegistered());
}

// A script that ends the program early: "No" ends it with 0 and leaves the
// rest unrun; a failing step ends it with 2 and says why. Nothing is installed.
TEST_F(ScriptedSetup, AnEarlyEndSaysWhyAndEndsWithItsCode) {
  struct Row {
    const char* script;
    int exitCode;
    const char* message;  // on stdout after a clean end, else on stderr
  } rows[] = {
      {"no\nclick btnInstall\n", 0, "1 script step(s) not run"},
      {"yes\nclick btnChange\n", 2, "line 2: btnChange is disabled"},
      {"yes\ncheck Nowhere\n", 2, "line 2: the folder list has no row \"Nowhere\""},
      {"click btnInstall\n", 2, "line 1: the main window is not open"},
      {"yes\nexpect btnInstall Uninstall\n", 2,
       "line 2: btnInstall shows \"Install\", expected \"Uninstall\""},
      {"yes\n", 2, "ended while the program still runs"},
  };
  for (const Row& r : rows) {
    Run result = runScripted(QString::fromLatin1(r.script));
    EXPECT_EQ(result.exitCode, r.exitCode) << r.script << result.err.toStdString();
    const QString& said = r.exitCode == 0 ? result.out : result.err;
    EXPECT_TRUE(said.contains(r.message)) << said.toStdString();
  }
  EXPECT_TRUE(complus::Catalog().listApplications().empty());
}

} // namespace
} // namespace korvane::setup::qt
