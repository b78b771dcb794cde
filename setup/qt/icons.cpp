#include "setup/qt/icons.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>

#include <functional>

namespace korvane::setup::qt {

namespace {

using Draw = std::function<void(QPainter&)>;

const QColor kOutline(60, 60, 60);
const QColor kFolderYellow(240, 200, 80);
const QColor kFolderTab(220, 170, 50);

void drawFolder(QPainter& p, const QColor& body = kFolderYellow) {
  p.setPen(kOutline);
  p.setBrush(kFolderTab);
  p.drawRect(1, 3, 6, 2);
  p.setBrush(body);
  p.drawRect(1, 5, 14, 9);
}

// A small badge in the lower right corner, over a folder.
void drawBadge(QPainter& p, const QColor& fill) {
  p.setPen(kOutline);
  p.setBrush(fill);
  p.drawRect(8, 8, 7, 7);
}

void drawCalendar(QPainter& p) {
  drawFolder(p);
  drawBadge(p, Qt::white);
  p.fillRect(9, 9, 6, 2, QColor(200, 40, 40));
  p.setPen(kOutline);
  p.drawPoint(10, 12);
  p.drawPoint(12, 12);
  p.drawPoint(14, 12);
  p.drawPoint(10, 14);
  p.drawPoint(12, 14);
}

void drawContacts(QPainter& p) {
  drawFolder(p);
  p.setPen(kOutline);
  p.setBrush(QColor(90, 140, 220));
  p.drawEllipse(QRect(10, 7, 4, 4));
  p.drawChord(QRect(8, 11, 8, 8), 0, 180 * 16);
}

void drawJournal(QPainter& p) {
  p.setPen(kOutline);
  p.setBrush(QColor(120, 80, 170));
  p.drawRect(3, 1, 10, 14);
  p.fillRect(5, 1, 1, 14, QColor(80, 50, 120));
  p.fillRect(7, 4, 4, 1, Qt::white);
  p.fillRect(7, 6, 4, 1, Qt::white);
}

void drawNote(QPainter& p) {
  QPainterPath sheet;
  sheet.moveTo(2, 2);
  sheet.lineTo(14, 2);
  sheet.lineTo(14, 10);
  sheet.lineTo(10, 14);
  sheet.lineTo(2, 14);
  sheet.closeSubpath();
  p.setPen(kOutline);
  p.setBrush(QColor(255, 240, 120));
  p.drawPath(sheet);
  p.drawLine(10, 14, 10, 10);
  p.drawLine(10, 10, 14, 10);
}

void drawTick(QPainter& p, const QRect& box, const QColor& color) {
  QPen pen(color, 2);
  p.setPen(pen);
  p.drawLine(box.left() + 1, box.center().y(), box.center().x() - 1, box.bottom() - 1);
  p.drawLine(box.center().x() - 1, box.bottom() - 1, box.right(), box.top() + 1);
}

void drawTasks(QPainter& p) {
  p.setPen(kOutline);
  p.setBrush(QColor(235, 225, 200));
  p.drawRect(3, 2, 10, 13);
  p.setBrush(QColor(150, 150, 150));
  p.drawRect(6, 1, 4, 2);
  drawTick(p, QRect(5, 6, 6, 6), QColor(30, 140, 40));
}

void drawPublicFolders(QPainter& p) {
  drawFolder(p);
  p.setPen(kOutline);
  p.setBrush(QColor(70, 130, 210));
  p.drawEllipse(QRect(8, 7, 7, 7));
  p.setPen(QColor(200, 230, 255));
  p.drawLine(8, 10, 15, 10);
  p.drawLine(11, 7, 11, 14);
}

void drawEnvelope(QPainter& p) {
  p.setPen(kOutline);
  p.setBrush(Qt::white);
  p.drawRect(1, 3, 14, 10);
  p.drawLine(1, 3, 8, 9);
  p.drawLine(15, 3, 8, 9);
}

void drawCross(QPainter& p) {
  QPen pen(QColor(200, 30, 30), 2);
  p.setPen(pen);
  p.drawLine(9, 9, 14, 14);
  p.drawLine(14, 9, 9, 14);
}

void drawNoEntry(QPainter& p, const QColor& ring) {
  p.setPen(QPen(ring, 2));
  p.setBrush(Qt::white);
  p.drawEllipse(QRect(2, 2, 12, 12));
  p.drawLine(4, 12, 12, 4);
}

void drawCheckBox(QPainter& p, bool ticked) {
  p.setPen(kOutline);
  p.setBrush(Qt::white);
  p.drawRect(2, 2, 11, 11);
  if (ticked) drawTick(p, QRect(3, 3, 10, 9), Qt::black);
}

void drawRadio(QPainter& p, bool on) {
  p.setPen(kOutline);
  p.setBrush(Qt::white);
  p.drawEllipse(QRect(2, 2, 12, 12));
  if (on) {
    p.setBrush(QColor(40, 90, 200));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRect(5, 5, 6, 6));
  }
}

const QHash<QString, Draw>& painters() {
  static const QHash<QString, Draw> table = {
      {QStringLiteral("maildisabled"), [](QPainter& p) { drawEnvelope(p); drawCross(p); }},
      {QStringLiteral("accessdenied"), [](QPainter& p) { drawNoEntry(p, QColor(200, 30, 30)); }},
      {QStringLiteral("checked"), [](QPainter& p) { drawCheckBox(p, true); }},
      {QStringLiteral("unchecked"), [](QPainter& p) { drawCheckBox(p, false); }},
      {QStringLiteral("registered"), [](QPainter& p) { drawFolder(p); drawTick(p, QRect(7, 7, 8, 7), QColor(30, 140, 40)); }},
      {QStringLiteral("mailenabled"), [](QPainter& p) { drawEnvelope(p); }},
      {QStringLiteral("selected"), [](QPainter& p) { drawRadio(p, true); }},
      {QStringLiteral("accessdenied2"), [](QPainter& p) { drawFolder(p); drawCross(p); }},
      {QStringLiteral("unselected"), [](QPainter& p) { drawRadio(p, false); }},
      {QStringLiteral("calendarfolder"), drawCalendar},
      {QStringLiteral("journalfolder"), drawJournal},
      {QStringLiteral("notefolder"), drawNote},
      {QStringLiteral("contactfolder"), drawContacts},
      {QStringLiteral("folder1"), [](QPainter& p) { drawFolder(p); }},
      {QStringLiteral("taskfolder"), drawTasks},
      {QStringLiteral("folder"), [](QPainter& p) { drawFolder(p, QColor(250, 220, 130)); }},
      {QStringLiteral("pf"), drawPublicFolders},
  };
  return table;
}

QPixmap render(const Draw& draw) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  draw(p);
  return pixmap;
}

} // namespace

const QStringList& folderImageKeys() {
  static const QStringList keys = {
      QStringLiteral("maildisabled"),   QStringLiteral("accessdenied"), QStringLiteral("checked"),
      QStringLiteral("unchecked"),      QStringLiteral("registered"),   QStringLiteral("mailenabled"),
      QStringLiteral("selected"),       QStringLiteral("accessdenied2"), QStringLiteral("unselected"),
      QStringLiteral("calendarfolder"), QStringLiteral("journalfolder"), QStringLiteral("notefolder"),
      QStringLiteral("contactfolder"),  QStringLiteral("folder1"),      QStringLiteral("taskfolder"),
      QStringLiteral("folder"),         QStringLiteral("pf")};
  return keys;
}

QIcon folderIcon(const QString& key) {
  static QHash<QString, QIcon> cache;
  if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
  auto draw = painters().constFind(key);
  if (draw == painters().constEnd()) return {};
  QIcon icon(render(*draw));
  cache.insert(key, icon);
  return icon;
}

QPixmap sortArrow(int image) {
  if (image != 0 && image != 1) return {};
  QPixmap pixmap(8, 7);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(80, 80, 80));
  const bool up = image == 0;
  QPolygon triangle;
  if (up)
    triangle << QPoint(0, 6) << QPoint(7, 6) << QPoint(4, 0) << QPoint(3, 0);
  else
    triangle << QPoint(0, 0) << QPoint(7, 0) << QPoint(4, 6) << QPoint(3, 6);
  p.drawPolygon(triangle);
  return pixmap;
}

} // namespace korvane::setup::qt
