// The Disclaimer: its texts, "Yes" (focused, Enter and Space), "No" and the
// close box, in normal and batch mode.
#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

class DisclaimerTest : public WindowFixture {};

TEST_F(DisclaimerTest, ShowsTheTextsWithTheCaptionAndYesFocused) {
  start();
  Disclaimer* d = program->disclaimer();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(d->windowTitle(), "Korvane setup");
  auto* label1 = d->findChild<QLabel*>("Label1");
  auto* label2 = d->findChild<QLabel*>("Label2");
  ASSERT_TRUE(label1 && label2);
  EXPECT_EQ(label1->text().size(), 564);
  EXPECT_TRUE(label1->text().startsWith("LIMITATION OF LIABILITY. \r\n\r\nTO THE MAXIMUM EXTENT"));
  EXPECT_TRUE(label1->text().endsWith("PROVIDE SUPPORT SERVICES.\r\n\r\n\r\n\r\n" + QString(80, '-') + "\r\n"));
  EXPECT_EQ(label2->text(),
            "Do you accept all of of the terms of the preceding Limitation of Liability? To install you must accept "
            "the Limitation of Liability . If  you choose No, install will close.");
  EXPECT_EQ(d->yesButton()->text(), "Yes");
  EXPECT_EQ(d->noButton()->text(), "No");
  EXPECT_EQ(d->focusWidget(), d->yesButton());
  EXPECT_EQ(d->yesButton()->nextInFocusChain(), d->noButton());
  EXPECT_EQ(program->window(), nullptr);
}

TEST_F(DisclaimerTest, YesShowsTheMainWindowAndUnloadsTheDialog) {
  startAndAccept();
  ASSERT_NE(program->window(), nullptr);
  EXPECT_TRUE(window().isVisible());
  EXPECT_FALSE(window().isModal());
  EXPECT_TRUE(QTest::qWaitFor([&] { return program->disclaimer() == nullptr; }));
  EXPECT_TRUE(endCodes.empty());
  EXPECT_EQ(window().windowTitle(), "Korvane setup");
}

TEST_F(DisclaimerTest, EnterAndSpacePressTheFocusedButton) {
  struct Row {
    Qt::Key key;
    bool onNo;  // move the focus to "No" first
    bool opensWindow;
  } rows[] = {{Qt::Key_Return, false, true}, {Qt::Key_Space, false, true}, {Qt::Key_Enter, true, false},
              {Qt::Key_Space, true, false}};
  for (const Row& r : rows) {
    start();
    Disclaimer* d = program->disclaimer();
    if (r.onNo) d->noButton()->setFocus();
    QWidget* focused = d->focusWidget();
    ASSERT_NE(focused, nullptr);
    QTest::keyClick(focused, r.key);
    if (r.opensWindow) {
      waitUntilIdle();
      EXPECT_NE(program->window(), nullptr) << r.key;
      EXPECT_TRUE(endCodes.empty());
    } else {
      EXPECT_EQ(program->window(), nullptr) << r.key;
      EXPECT_EQ(endCodes, std::vector<int>{0});
    }
    program.reset();
    endCodes.clear();
  }
}

TEST_F(DisclaimerTest, EscapeDoesNothing) {
  start();
  QTest::keyClick(program->disclaimer(), Qt::Key_Escape);
  EXPECT_TRUE(program->disclaimer()->isVisible());
  EXPECT_TRUE(endCodes.empty());
}

TEST_F(DisclaimerTest, NoEndsTheProgramAtOnceWithoutAnyChange) {
  start(QStringLiteral("-b"));
  QTest::mouseClick(program->disclaimer()->noButton(), Qt::LeftButton);
  EXPECT_EQ(endCodes, std::vector<int>{0});
  EXPECT_EQ(program->window(), nullptr);
  EXPECT_TRUE(complus::Catalog().listApplications().empty());
  EXPECT_TRUE(store::registrations().empty());
}

TEST_F(DisclaimerTest, TheCloseBoxEndsTheProgramWithoutTheMainWindow) {
  start();
  program->disclaimer()->close();
  EXPECT_EQ(endCodes, std::vector<int>{0});
  EXPECT_EQ(program->window(), nullptr);
}

TEST_F(DisclaimerTest, BatchModeWaitsForTheAnswer) {
  registerFolder(u"Sales/Orders");
  start(QStringLiteral("/B"));
  QTest::qWait(50);
  EXPECT_EQ(program->window(), nullptr);
  EXPECT_TRUE(program->disclaimer()->isVisible());
  EXPECT_TRUE(endCodes.empty());
}

} // namespace
} // namespace korvane::setup::qt
