#include "setup/qt/progress_box.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace korvane::setup::qt {

namespace {

const QColor kBlue(0, 0, 255);

} // namespace

ProgressBoxWidget::ProgressBoxWidget(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Picture1"));
  QFont bold = font();
  bold.setBold(true);
  setFont(bold);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool ProgressBoxWidget::display(const ProgressBox& box) {
  const QString text = QString::fromStdU16String(box.percentText);
  const int pixelsBefore = filledPixels();
  const bool textChanged = text != text_;
  text_ = text;
  filled_ = box.filledWidth;
  scaleWidth_ = box.scaleWidth > 0 ? box.scaleWidth : 1;
  return textChanged || filledPixels() != pixelsBefore;
}

int ProgressBoxWidget::filledPixels() const {
  // The procedures clamp the progress to the scale; clamp here too, so that
  // the box never draws past its right edge.
  double share = std::clamp(filled_ / scaleWidth_, 0.0, 1.0);
  return static_cast<int>(std::lround(share * width()));
}

QImage ProgressBoxWidget::picture() const {
  QImage image(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font());
  p.setPen(Qt::black);
  p.drawText(image.rect(), Qt::AlignCenter, text_);
  // Not-XOR of the blue box with the picture: white stays blue, the black
  // text under the box turns into the inverse of blue.
  p.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
  p.fillRect(QRect(0, 0, filledPixels(), image.height()), kBlue);
  return image;
}

void ProgressBoxWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawImage(0, 0, picture());
}

} // namespace korvane::setup::qt
