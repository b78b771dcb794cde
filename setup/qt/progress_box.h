// The progress box over the status bar's "progress" panel: white, the
// percentage text centred in bold, the filled share in blue, and the part
// of the text under the fill drawn inverted (a not-XOR of pen and picture).
#pragma once

#include <QImage>
#include <QWidget>

#include "setup/window/model.h"

namespace korvane::setup::qt {

class ProgressBoxWidget : public QWidget {
public:
  explicit ProgressBoxWidget(QWidget* parent = nullptr);

  // Takes the model's values; draws them at the next paint. True when what
  // the box shows changed (its text or its filled pixels), so that a fill
  // repaints it only as often as it changes, not once per folder.
  bool display(const ProgressBox& box);
  // The picture as drawn now, at the widget's size.
  QImage picture() const;
  const QString& percentText() const { return text_; }
  // The filled share in pixels.
  int filledPixels() const;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QString text_;
  double filled_ = 0;
  double scaleWidth_ = 100;
};

} // namespace korvane::setup::qt
