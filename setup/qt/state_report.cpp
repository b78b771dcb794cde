#include "setup/qt/state_report.h"

#include <QApplication>
#include <QMainWindow>
#include <QSaveFile>
#include <QTextStream>
#include <QTreeWidget>

#include "setup/qt/install_controls.h"

namespace korvane::setup::qt {

namespace {

void writeWidgets(QTextStream& out, const QMainWindow& window) {
  for (const QWidget* w : window.findChildren<QWidget*>()) {
    const QString name = w->objectName();
    if (name.isEmpty() || name.startsWith(QLatin1String("qt_"))) continue;
    const QPoint at = w->mapTo(&window, QPoint(0, 0));
    out << "widget " << name << ' ' << at.x() << ' ' << at.y() << ' ' << w->width() << ' ' << w->height() << ' '
        << int(w->isVisible()) << ' ' << int(w->isEnabled()) << '\n';
  }
}

void writeRowsInView(QTextStream& out, const QMainWindow& window, const QTreeWidget& list) {
  out << "rows " << list.topLevelItemCount() << '\n';
  const QWidget* viewport = list.viewport();
  const int first = list.indexOfTopLevelItem(list.itemAt(QPoint(1, 1)));
  for (int i = std::max(first, 0); i < list.topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = list.topLevelItem(i);
    const QRect rect = list.visualItemRect(item);
    if (rect.top() >= viewport->height()) break;
    const QPoint at = viewport->mapTo(&window, rect.topLeft());
    const QVariant check = item->data(0, Qt::CheckStateRole);
    const char* checked = !check.isValid() ? "-" : item->checkState(0) == Qt::Checked ? "1" : "0";
    out << "row " << i << ' ' << checked << ' ' << at.x() << ' ' << at.y() << ' ' << rect.width() << ' '
        << rect.height() << ' ' << item->text(0) << '\n';
  }
}

} // namespace

std::unique_ptr<StateReport> StateReport::fromEnvironment() {
  QString file = qEnvironmentVariable("KORVANE_SETUP_STATE");
  if (file.isEmpty()) return nullptr;
  return std::make_unique<StateReport>(file);
}

void StateReport::write(const QMainWindow& window, const InstallControls& c, Counts counts) const {
  QSaveFile file(file_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return;
  QTextStream out(&file);
  const QWidget* focus = QApplication::focusWidget();
  out << "window " << window.winId() << '\n'
      << "actions " << counts.actions << '\n'
      << "busy " << int(counts.busy) << '\n'
      << "activated " << int(counts.activated) << '\n'
      << "refused " << counts.refused << '\n'
      << "focus " << (focus && focus->window() == &window ? focus->objectName() : QStringLiteral("-")) << '\n';
  writeWidgets(out, window);
  writeRowsInView(out, window, *c.ListView1);
  out.flush();
  file.commit();
}

} // namespace korvane::setup::qt
