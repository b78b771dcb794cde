// Install and uninstall from the window, the input checks with their
// messages, and the priority field's key filter and change check.
#include <QClipboard>

#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

class Install : public WindowFixture {
protected:
  std::optional<complus::ApplicationInfo> application() {
    for (auto& app : complus::Catalog().listApplications())
      if (app.name == u"Korvane") return app;
    return std::nullopt;
  }
};

TEST_F(Install, MissingFieldsAreRefusedWithTheirMessages) {
  struct Row {
    const char *ident, *pwd, *orig, *newClass;
    const char* message;  // null: installs
  } rows[] = {
      {"", "secret", "*", "IPM.Note", "Please fill the Identity and Password fields"},
      {"CORP\\svc", "   ", "*", "IPM.Note", "Please fill the Identity and Password fields"},
      {"  ", "secret", "*", "IPM.Note", "Please fill the Identity and Password fields"},
      {"CORP\\svc", "secret", " ", "IPM.Note", "Please fill in the Original Message Class and New Message Class fields"},
      {"CORP\\svc", "secret", "*", "", "Please fill in the Original Message Class and New Message Class fields"},
  };
  startAndAccept();
  for (const Row& r : rows) {
    answerer->clear();
    type("txtIdent", r.ident);
    type("txtPwd", r.pwd);
    type("txtOrigMsgClass", r.orig);
    type("txtNewMsgClass", r.newClass);
    click("btnInstall");
    ASSERT_EQ(answerer->seen().size(), 1) << r.message;
    EXPECT_EQ(answerer->seen()[0].text, r.message);
    EXPECT_EQ(answerer->seen()[0].title, "Korvane setup");
    EXPECT_EQ(answerer->seen()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(answerer->seen()[0].pressed, "OK");
    EXPECT_EQ(answerer->seen()[0].pointer, Qt::ArrowCursor);
    EXPECT_FALSE(application()) << r.message;
    EXPECT_EQ(form().ui.mousePointer, Default);
  }
}

TEST_F(Install, InstallThenUninstallRoundTrip) {
  startAndAccept();
  type("txtIdent", " CORP\\svc-korvane ");
  type("txtPwd", " pass word ");
  type("txtOrigMsgClass", "IPM.Note.Order*");
  type("txtNewMsgClass", "IPM.Note.OrderForm");
  type("txtPriority", "100");
  click("btnInstall");
  EXPECT_TRUE(answerer->seen().isEmpty());

  auto app = application();
  ASSERT_TRUE(app);
  EXPECT_EQ(app->identity, u"CORP\\svc-korvane");  // trimmed
  EXPECT_FALSE(app->accessChecksEnabled);
  ASSERT_EQ(app->components.size(), 1u);
  EXPECT_TRUE(app->components[0].constructionEnabled);
  EXPECT_EQ(app->components[0].progId, u"Korvane.KorvaneCls");
  EXPECT_EQ(app->components[0].constructorString, Text(u"IPM.Note.OrderForm\rIPM.Note.Order*\r100"));
  // The controls follow the refresh that ends the click (see RefreshState).
  EXPECT_EQ(button("btnInstall")->text(), "Uninstall");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  click("btnInstall");  // no question on uninstall
  EXPECT_TRUE(answerer->seen().isEmpty());
  EXPECT_FALSE(application());
  EXPECT_EQ(button("btnInstall")->text(), "Install");
  // The installed mapping stays in the boxes for the next installation.
  EXPECT_EQ(box("txtNewMsgClass")->text(), "IPM.Note.OrderForm");
}

class Priority : public Install {
protected:
  void SetUp() override {
    Install::SetUp();
    startAndAccept();
    pri = box("txtPriority");
    pri->setFocus();
    pri->setCursorPosition(pri->text().size());
  }
  QLineEdit* pri = nullptr;
};

TEST_F(Priority, KeyFilterLetsOnlyDigitsBackspaceAndBlankThrough) {
  struct Row {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char* text;  // the field afterwards
  } rows[] = {
      {Qt::Key_A, Qt::NoModifier, "12"},      {Qt::Key_Minus, Qt::NoModifier, "12"},
      {Qt::Key_Period, Qt::NoModifier, "12"}, {Qt::Key_Plus, Qt::NoModifier, "12"},
      {Qt::Key_E, Qt::NoModifier, "12"},      {Qt::Key_V, Qt::ControlModifier, "12"},
      {Qt::Key_Insert, Qt::ShiftModifier, "12"}, {Qt::Key_Backspace, Qt::NoModifier, "1"},
      {Qt::Key_1, Qt::NoModifier, "11"},      {Qt::Key_Space, Qt::NoModifier, "11 "},
      {Qt::Key_Left, Qt::NoModifier, "11 "},  // back over the blank
  };
  // Pasting "3" would make an acceptable "123": the shortcut must not paste.
  QApplication::clipboard()->setText("3");
  type("txtPriority", "12");
  ASSERT_EQ(pri->text(), "12");
  for (const Row& r : rows) {
    QTest::keyClick(pri, r.key, r.modifiers);
    EXPECT_EQ(pri->text(), r.text) << r.key;
    EXPECT_EQ(form().ui.txtPriority.text, Text(QString(r.text).toStdU16String())) << r.key;
  }
  // Editing keys are no characters: Delete, with the DEL a keyboard sends, removes the blank.
  QTest::sendKeyEvent(QTest::Click, pri, Qt::Key_Delete, QStringLiteral("\x7f"), Qt::NoModifier);
  EXPECT_EQ(pri->text(), "11");
}

// Whatever the change check refuses (above 65535, empty text, or pasted
// text, as the context menu pastes past the key filter) restores the last
// accepted value; an accepted one goes into the installation trimmed.
TEST_F(Priority, ValuesAbove65535AndEmptyTextRestoreTheLastAcceptedOne) {
  type("txtPriority", "6553");
  EXPECT_EQ(pri->text(), "6553");
  QTest::keyClick(pri, Qt::Key_6);  // 65536
  EXPECT_EQ(pri->text(), "6553");
  QTest::keyClick(pri, Qt::Key_5);  // 65535
  EXPECT_EQ(pri->text(), "65535");
  pri->selectAll();
  QTest::keyClick(pri, Qt::Key_Backspace);  // empty is not numeric
  EXPECT_EQ(pri->text(), "65535");
  for (const char* refused : {"-1", "1.5", "70000"}) {
    pri->selectAll();
    pri->insert(QString::fromLatin1(refused));
    EXPECT_EQ(pri->text(), "65535") << refused;
    EXPECT_EQ(form().ui.txtPriority.text, u"65535") << refused;
  }
  pri->selectAll();
  pri->insert(" 42 ");
  EXPECT_EQ(form().ui.txtPriority.text, u" 42 ");
  type("txtPwd", "secret");
  click("btnInstall");
  auto app = application();
  ASSERT_TRUE(app);
  EXPECT_EQ(app->components.at(0).constructorString, Text(u"IPM.Note\r*\r42"));
  EXPECT_EQ(pri->text(), "42");
}

} // namespace
} // namespace korvane::setup::qt
