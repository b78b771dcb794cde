// The folder list's column header: shows each column's header item format
// (alignment bits, and with the image bit the sort arrow image, on the
// right of the caption when the bitmap-on-right bit is set).
#pragma once

#include <QHeaderView>
#include <QVector>

#include "setup/window/model.h"

namespace korvane::setup::qt {

class SortHeader : public QHeaderView {
public:
  explicit SortHeader(QWidget* parent = nullptr);

  void setItems(const HeaderItem (&items)[3]);
  // The format bits and image a section shows now.
  int format(int section) const;
  int image(int section) const;
  // Where the arrow stands in a section (empty when it shows none).
  QRect arrowRect(int section) const;

protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
  QRect arrowRectIn(const QRect& section, int logicalIndex) const;
  struct Item {
    int format = 0x4000;
    int image = 0;
  };
  QVector<Item> items_{3};
};

} // namespace korvane::setup::qt
