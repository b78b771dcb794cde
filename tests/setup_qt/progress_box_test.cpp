// The progress box: the percentage centred, the filled share in blue from
// the left, the text under the fill inverted, never past the right edge;
// and the box shown while the list fills.
#include "setup/folders/enumeration.h"
#include "setup/qt/progress_box.h"
#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

ProgressBox boxAt(double progress, double scale) {
  ProgressBox box;
  box.scaleWidth = scale;
  box.progress = static_cast<std::int32_t>(progress);
  box.filledWidth = progress;
  box.percentText = fromUtf8(std::to_string(static_cast<int>(progress / scale * 100 + 0.5)) + "%");
  return box;
}

// The darkest pixels of the picture: where the text is drawn.
QList<QPoint> textPixels(const QImage& image, bool inverted) {
  QList<QPoint> out;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      QColor c = image.pixelColor(x, y);
      // On white the text is black; under the blue fill it is yellow.
      bool text = inverted ? (c.red() > 200 && c.green() > 200 && c.blue() < 60)
                           : (c.red() < 60 && c.green() < 60 && c.blue() < 60);
      if (text) out << QPoint(x, y);
    }
  return out;
}

TEST(ProgressBoxDrawing, FillsTheShareInBlueAndInvertsTheCentredTextUnderIt) {
  struct Row {
    double progress, scale;
    int filledPixels;  // of 200
  } rows[] = {{0, 8, 0}, {2, 8, 50}, {4, 8, 100}, {8, 8, 200}, {12, 8, 200}, {1, 3, 67}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.progress);
    ProgressBoxWidget w;
    w.resize(200, 20);
    w.display(boxAt(r.progress, r.scale));
    EXPECT_EQ(w.filledPixels(), r.filledPixels);
    QImage image = w.picture();
    if (r.filledPixels > 0) {
      EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 255));
      EXPECT_EQ(image.pixelColor(r.filledPixels - 1, 19), QColor(0, 0, 255));
    }
    if (r.filledPixels < 200) {
      EXPECT_EQ(image.pixelColor(199, 0), QColor(Qt::white));
    }
    // At 50% the fill ends in the middle of the text.
    QList<QPoint> plain = textPixels(image, false), inverted = textPixels(image, true);
    for (const QPoint& p : plain) EXPECT_GE(p.x(), r.filledPixels);
    for (const QPoint& p : inverted) EXPECT_LT(p.x(), r.filledPixels);
    int left = 200, right = 0;
    for (const QPoint& p : plain + inverted) {
      left = std::min(left, p.x());
      right = std::max(right, p.x());
    }
    ASSERT_LT(left, right) << "no text";
    EXPECT_NEAR((left + right) / 2.0, 100, 4);
  }
}

class ProgressDuringFill : public WindowFixture {};

TEST_F(ProgressDuringFill, TheBoxShowsWhileTheFirstLevelIsCountedAndHidesAfter) {
  startAndAccept();
  // Watch the box from the window's own paint of the progress.
  auto* picture = window().findChild<ProgressBoxWidget*>("Picture1");
  ASSERT_NE(picture, nullptr);
  EXPECT_FALSE(picture->isVisible());
  struct Watch : QObject {
    ProgressBoxWidget* box;
    QTreeWidget* list;
    QStringList seen;
    int visible = 0, waitCursor = 0, listLocked = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) {
        seen << box->percentText();
        if (box->isVisible()) ++visible;
        if (QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor) ++waitCursor;
        if (!list->updatesEnabled()) ++listLocked;
      }
      return false;
    }
  } watch;
  watch.box = picture;
  watch.list = list();
  picture->installEventFilter(&watch);
  click("Command1");
  picture->removeEventFilter(&watch);
  EXPECT_GT(watch.visible, 0);
  EXPECT_TRUE(watch.seen.contains("100%")) << watch.seen.join(' ').toStdString();
  // After 1 of the 5 first-level folders that can be seen:
  EXPECT_TRUE(watch.seen.contains("20%")) << watch.seen.join(' ').toStdString();
  EXPECT_FALSE(picture->isVisible());
  // The hourglass while the list fills, the list's redraw locked while its
  // first level is read, and both undone afterwards.
  EXPECT_GT(watch.waitCursor, 0);
  EXPECT_GT(watch.listLocked, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(list()->updatesEnabled());
}

} // namespace
} // namespace korvane::setup::qt
