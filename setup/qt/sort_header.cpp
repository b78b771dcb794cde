#include "setup/qt/sort_header.h"

#include <QPainter>

#include "setup/qt/icons.h"

namespace korvane::setup::qt {

namespace {

constexpr int HDF_IMAGE = 0x800;
constexpr int HDF_BITMAP_ON_RIGHT = 0x1000;
constexpr int kMargin = 6;

} // namespace

SortHeader::SortHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setSortIndicatorShown(false);
  setHighlightSections(false);
}

void SortHeader::setItems(const HeaderItem (&items)[3]) {
  bool changed = false;
  for (int i = 0; i < 3; ++i) {
    Item next{items[i].format, items[i].image};
    if (items_[i].format != next.format || items_[i].image != next.image) {
      items_[i] = next;
      changed = true;
    }
  }
  if (changed) viewport()->update();
}

int SortHeader::format(int section) const { return section >= 0 && section < 3 ? items_[section].format : 0; }
int SortHeader::image(int section) const { return section >= 0 && section < 3 ? items_[section].image : 0; }

QRect SortHeader::arrowRect(int section) const {
  if (section < 0 || section >= count()) return {};
  QRect rect(sectionViewportPosition(section), 0, sectionSize(section), height());
  return arrowRectIn(rect, section);
}

QRect SortHeader::arrowRectIn(const QRect& rect, int logicalIndex) const {
  if (logicalIndex < 0 || logicalIndex >= 3 || !(items_[logicalIndex].format & HDF_IMAGE)) return {};
  QPixmap arrow = sortArrow(items_[logicalIndex].image);
  if (arrow.isNull()) return {};
  QString caption = model() ? model()->headerData(logicalIndex, orientation()).toString() : QString();
  int x = rect.left() + kMargin;
  if (items_[logicalIndex].format & HDF_BITMAP_ON_RIGHT)
    x = std::min(rect.left() + kMargin + fontMetrics().horizontalAdvance(caption) + kMargin,
                 rect.right() - kMargin - arrow.width());
  int y = rect.top() + (rect.height() - arrow.height()) / 2;
  return QRect(QPoint(x, y), arrow.size());
}

void SortHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  QHeaderView::paintSection(painter, rect, logicalIndex);
  QRect where = arrowRectIn(rect, logicalIndex);
  if (where.isEmpty()) return;
  painter->save();
  painter->setClipRect(rect);
  painter->drawPixmap(where.topLeft(), sortArrow(items_[logicalIndex].image));
  painter->restore();
}

} // namespace korvane::setup::qt
