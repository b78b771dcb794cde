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
  EXPECT_EQ(d->yesButton()->nextInFocusChain(), d->noButton());
  EXPECT_EQ(program->window(), nullptr);
}

// Every way of answering: a key on the focused button, Escape, a click on
// "No" or the close box (in batch mode too, which waits for the answer and
// where "No" changes nothing).
TEST_F(DisclaimerTest, EachWayOfAnsweringOpensTheWindowOrEndsWithZero) {
  enum How { Key, KeyOnNo, ClickNo, CloseBox };
  struct Row {
    How how;
    Qt::Key key;
    const char* arguments;
    int ended;  // -1: the Disclaimer stays or the window opens
    bool opensWindow;
  } rows[] = {{Key, Qt::Key_Return, "", -1, true},      {Key, Qt::Key_Space, "", -1, true},
              {KeyOnNo, Qt::Key_Enter, "", 0, false},    {KeyOnNo, Qt::Key_Space, "", 0, false},
              {Key, Qt::Key_Escape, "", -1, false},      {ClickNo, Qt::Key_unknown, "-b", 0, false},
              {CloseBox, Qt::Key_unknown, "", 0, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "how " << r.how << ", key " << r.key);
    start(QString::fromLatin1(r.arguments));
    Disclaimer* d = program->disclaimer();
    if (*r.arguments) {  // a batch run, too, waits for the answer
      QTest::qWait(50);
      EXPECT_TRUE(d->isVisible());
      EXPECT_EQ(program->window(), nullptr);
      EXPECT_TRUE(endCodes.empty());
    }
    if (r.how == KeyOnNo) d->noButton()->setFocus();
    if (r.how == ClickNo) QTest::mouseClick(d->noButton(), Qt::LeftButton);
    if (r.how == CloseBox) d->close();
    if (r.how == Key || r.how == KeyOnNo) {
      ASSERT_NE(d->focusWidget(), nullptr);
      QTest::keyClick(r.key == Qt::Key_Escape ? static_cast<QWidget*>(d) : d->focusWidget(), r.key);
    }
    EXPECT_EQ(program->window() != nullptr, r.opensWindow);
    if (r.opensWindow) {  // modeless, and the Disclaimer unloaded
      waitUntilIdle();
      EXPECT_TRUE(window().isVisible() && !window().isModal());
      EXPECT_EQ(window().windowTitle(), "Korvane setup");
      EXPECT_TRUE(QTest::qWaitFor([&] { return program->disclaimer() == nullptr; }));
    }
    EXPECT_EQ(endCodes, r.ended < 0 ? std::vector<int>{} : std::vector<int>{r.ended});
    if (!r.opensWindow && r.ended < 0) {
      EXPECT_TRUE(program->disclaimer()->isVisible());
    }
    program.reset();
    endCodes.clear();
  }
  EXPECT_TRUE(complus::Catalog().listApplications().empty());
  EXPECT_TRUE(store::registrations().empty());
}

} // namespace
} // namespace korvane::setup::qt
