// Showing the window model in the widgets: every caption, text, enabled and
// visible flag, the folder list and the progress box. Texts are written
// only when they differ, so that a box being typed in keeps its cursor.
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "setup/qt/icons.h"
#include "setup/qt/install_controls.h"
#include "setup/qt/progress_box.h"
#include "setup/qt/sort_header.h"

namespace korvane::setup::qt {

namespace {

QString q(const Text& text) { return QString::fromStdU16String(text); }

void showControl(QWidget* w, const Control& model) {
  if (w->testAttribute(Qt::WA_Disabled) == model.enabled) w->setEnabled(model.enabled);
  if (w->isHidden() == model.visible) w->setVisible(model.visible);
}

void showLabel(QLabel* w, const Label& model) {
  if (w->text() != q(model.caption)) w->setText(q(model.caption));
  showControl(w, model);
}

void showButton(QPushButton* w, const Button& model) {
  if (w->text() != q(model.caption)) w->setText(q(model.caption));
  showControl(w, model);
}

void showFrame(QGroupBox* w, const Frame& model) {
  if (w->title() != q(model.caption)) w->setTitle(q(model.caption));
  showControl(w, model);
}

void showTextBox(QLineEdit* w, const TextBox& model) {
  if (w->text() != q(model.text)) w->setText(q(model.text));
  showControl(w, model);
}

bool sameRows(const QTreeWidget* list, const std::vector<ListRow>& rows) {
  if (list->topLevelItemCount() != static_cast<int>(rows.size())) return false;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->data(0, Qt::UserRole).toString() != q(rows[static_cast<std::size_t>(i)].key))
      return false;
  return true;
}

void showRow(QTreeWidgetItem* item, const ListRow& row, bool checkBoxes) {
  if (item->text(0) != q(row.text)) item->setText(0, q(row.text));
  if (item->text(1) != q(row.subItem1)) item->setText(1, q(row.subItem1));
  if (item->text(2) != q(row.subItem2)) item->setText(2, q(row.subItem2));
  if (item->data(0, Qt::UserRole + 1).toString() != q(row.smallIcon)) {
    item->setIcon(0, folderIcon(q(row.smallIcon)));
    item->setData(0, Qt::UserRole + 1, q(row.smallIcon));
  }
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (checkBoxes) flags |= Qt::ItemIsUserCheckable;
  if (item->flags() != flags) item->setFlags(flags);
  if (checkBoxes) {
    Qt::CheckState state = row.checked ? Qt::Checked : Qt::Unchecked;
    QVariant current = item->data(0, Qt::CheckStateRole);
    if (!current.isValid() || item->checkState(0) != state) item->setCheckState(0, state);
  } else if (item->data(0, Qt::CheckStateRole).isValid()) {
    // No per-folder selection while the store-wide registration exists:
    // the rows show no check boxes at all.
    item->setData(0, Qt::CheckStateRole, QVariant());
  }
}

void showHeaders(InstallControls& c, const ListView& list) {
  QTreeWidgetItem* header = c.ListView1->headerItem();
  for (int i = 0; i < 3; ++i) {
    const HeaderItem& h = list.headers[i];
    if (header->text(i) != q(h.caption)) header->setText(i, q(h.caption));
    Qt::Alignment align = (h.format & 1) ? Qt::AlignRight : (h.format & 2) ? Qt::AlignHCenter : Qt::AlignLeft;
    align |= Qt::AlignVCenter;
    if (header->textAlignment(i) != static_cast<int>(align)) header->setTextAlignment(i, align);
  }
  c.header->setItems(list.headers);
}

} // namespace

QString logForDisplay(const Text& log) { return q(log).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

void showList(InstallControls& c, const ListView& list, bool filling) {
  QTreeWidget* w = c.ListView1;
  if (filling) {
    // The rows arrive unsorted and are sorted at the end: the list stays
    // empty meanwhile, so that the fill costs no redraw of the whole list
    // each time it lets the window's events run.
    if (w->topLevelItemCount() > 0) w->clear();
    showHeaders(c, list);
    showControl(w, list);
    return;
  }
  if (!sameRows(w, list.rows)) {
    // Rows that stay keep their items (a sort only reorders them).
    QHash<QString, QTreeWidgetItem*> kept;
    for (QTreeWidgetItem* item : w->invisibleRootItem()->takeChildren()) {
      QString key = item->data(0, Qt::UserRole).toString();
      if (kept.contains(key))
        delete item;
      else
        kept.insert(key, item);
    }
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(list.rows.size()));
    for (const auto& row : list.rows) {
      QTreeWidgetItem* item = kept.take(q(row.key));
      if (!item) {
        item = new QTreeWidgetItem;
        item->setData(0, Qt::UserRole, q(row.key));
      }
      items.append(item);
    }
    qDeleteAll(kept);
    w->addTopLevelItems(items);
  }
  for (std::size_t i = 0; i < list.rows.size(); ++i)
    showRow(w->topLevelItem(static_cast<int>(i)), list.rows[i], list.checkBoxes);

  QTreeWidgetItem* wanted =
      list.selected && *list.selected < list.rows.size() ? w->topLevelItem(static_cast<int>(*list.selected)) : nullptr;
  if (w->currentItem() != wanted || (wanted && !wanted->isSelected())) {
    w->setCurrentItem(wanted);
    if (!wanted) w->clearSelection();
  }
  showHeaders(c, list);
  showControl(w, list);
}

void showModel(InstallControls& c, const InstallFormModel& ui, bool listFilling) {
  QWidget* window = c.Frame1->window();
  if (window->windowTitle() != q(ui.caption)) window->setWindowTitle(q(ui.caption));

  showFrame(c.Frame1, ui.Frame1);
  showLabel(c.Label3, ui.Label3);
  showTextBox(c.txtIdent, ui.txtIdent);
  showLabel(c.Label7, ui.Label7);
  showLabel(c.Label2, ui.Label2);
  showTextBox(c.txtPwd, ui.txtPwd);
  showLabel(c.Label10, ui.Label10);
  showTextBox(c.txtPriority, ui.txtPriority);
  showLabel(c.Label11, ui.Label11);
  showLabel(c.Label12, ui.Label12);
  showTextBox(c.txtOrigMsgClass, ui.txtOrigMsgClass);
  showLabel(c.Label9, ui.Label9);
  showLabel(c.Label5, ui.Label5);
  showLabel(c.Label6, ui.Label6);
  showTextBox(c.txtNewMsgClass, ui.txtNewMsgClass);
  showLabel(c.Label8, ui.Label8);
  showButton(c.btnInstall, ui.btnInstall);

  showFrame(c.Frame3, ui.Frame3);
  showLabel(c.Label1, ui.Label1);
  showButton(c.btnRegisterSW, ui.btnRegisterSW);

  showFrame(c.Frame2, ui.Frame2);
  showList(c, ui.ListView1, listFilling);
  showButton(c.Command4, ui.Command4);
  showButton(c.Command5, ui.Command5);
  showLabel(c.Label4, ui.Label4);
  showButton(c.btnChange, ui.btnChange);
  showButton(c.Command1, ui.Command1);

  if (!listFilling) {  // the refresh shows the log at its end
    QString log = logForDisplay(ui.txtErr.text);
    if (c.txtErr->toPlainText() != log) c.txtErr->setPlainText(log);
  }
  showControl(c.txtErr, ui.txtErr);
  showButton(c.Command3, ui.Command3);
  showButton(c.Command2, ui.Command2);

  if (c.Picture1->display(ui.Picture1)) c.Picture1->update();
  showControl(c.Picture1, ui.Picture1);
}

} // namespace korvane::setup::qt
