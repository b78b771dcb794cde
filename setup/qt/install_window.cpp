#include "setup/qt/install_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>

#include "platform/exchange/exchange.h"
#include "platform/win32/environment.h"
#include "setup/folders/list_behaviour.h"
#include "setup/qt/progress_box.h"
#include "setup/qt/runtime_error.h"
#include "setup/qt/state_report.h"
#include "setup/registration/procedures.h"
#include "setup/window/error_log.h"
#include "setup/window/install.h"
#include "setup/window/main_window.h"

namespace korvane::setup::qt {

namespace {

Text text(const QString& s) { return s.toStdU16String(); }

} // namespace

int characterCode(const QKeyEvent& event) {
  if (event.matches(QKeySequence::Paste)) return 22;
  const int key = event.key();
  if (key == Qt::Key_Backspace) return 8;
  if (key == Qt::Key_Return || key == Qt::Key_Enter) return 13;
  if (key == Qt::Key_Escape) return 27;
  // Focus keys move the focus; they never reach a key filter.
  if (key == Qt::Key_Tab || key == Qt::Key_Backtab) return -1;
  if ((event.modifiers() & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z) return key - Qt::Key_A + 1;
  if (key == Qt::Key_Delete || event.text().isEmpty()) return -1;
  return event.text().at(0).unicode();
}

void requirePublicStore(const InstallForm& form) {
  if (!form.strPublicRoot.empty()) return;
  Text server = form.blnIsClusterNode ? form.ClusterName : win32::getEnvironment(u"COMPUTERNAME");
  throw ComError(exchange::E_NO_SUCH_OBJECT,
                 u"No mounted public store was found on the Exchange server " + server +
                     u": the setup needs the public store of the public folder (MAPI) tree. Mount that "
                     u"public store, then start the setup again.");
}

InstallWindow::InstallWindow(QString commandLineArguments, std::function<void(int)> endProgram)
    : arguments_(std::move(commandLineArguments)), endProgram_(std::move(endProgram)) {
  setObjectName(QStringLiteral("InstallForm"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  form_.hooks = this;
  form_.ui.caption = Text(kProductName) + u" setup";
  c_ = buildInstallControls(this, form_.ui);
  connectControls();
  connectList();
  refreshWidgets();
  qApp->installEventFilter(this);
  stateReport_ = StateReport::fromEnvironment();
  if (stateReport_) connect(qApp, &QApplication::focusChanged, this, [this] { reportState(); });
}

InstallWindow::~InstallWindow() {
  if (!unloaded_) {
    unloaded_ = true;
    Form_Unload(form_);
  }
  form_.hooks = nullptr;
  qApp->removeEventFilter(this);
  if (waitCursor_) QApplication::restoreOverrideCursor();
}

QString InstallWindow::caption() const {
  return form_.ui.caption.empty() ? QString::fromStdU16String(Text(kProductName) + u" setup")
                                  : QString::fromStdU16String(form_.ui.caption);
}

template <typename F>
void InstallWindow::handle(F&& handler) {
  if (ended_) return;
  if (depth_ == 0) sinceEvents_.invalidate();  // an action's first chance to repaint is taken
  ++depth_;
  try {
    handler();
  } catch (const ProgramEnded&) {
    // The program ended while this procedure waited for window events.
  } catch (...) {
    if (!ended_) reportRuntimeError(std::current_exception());
  }
  --depth_;
  if (ended_) return;
  refreshWidgets();
  if (depth_ == 0) {
    ++actionsDone_;
    reportState();
  }
}

bool InstallWindow::load() {
  handle([this] {
    Form_Load(form_, text(arguments_));
    requirePublicStore(form_);
  });
  return !ended_;
}

void InstallWindow::reportRuntimeError(std::exception_ptr error) {
  ended_ = true;
  if (waitCursor_) {
    QApplication::restoreOverrideCursor();
    waitCursor_ = false;
  }
  RuntimeError e = describeException(error);
  showRuntimeError(isVisible() ? this : nullptr, caption(), runtimeErrorText(e.number, e.description));
  if (endProgram_) endProgram_(1);
}

void InstallWindow::endProgram(int code) {
  if (ended_) return;
  if (batchFailed_ && code == 0) code = kBatchRunFailedExitCode;
  ended_ = true;
  if (waitCursor_) {
    QApplication::restoreOverrideCursor();
    waitCursor_ = false;
  }
  if (endProgram_) endProgram_(code);
}

void InstallWindow::refreshWidgets() {
  syncing_ = true;
  showModel(c_, form_.ui, !form_.blnListReady);
  syncing_ = false;
  showMousePointer();
}

void InstallWindow::showMousePointer() {
  const bool wait = form_.ui.mousePointer == Hourglass;
  if (wait && !waitCursor_) QApplication::setOverrideCursor(Qt::WaitCursor);
  if (!wait && waitCursor_) QApplication::restoreOverrideCursor();
  waitCursor_ = wait;
}

// --- What the administrator does --------------------------------------------

void InstallWindow::connectControls() {
  auto typedInto = [this](QLineEdit* box, TextBox& model) {
    connect(box, &QLineEdit::textEdited, this, [this, &model](const QString& typed) {
      if (!syncing_) model.text = text(typed);
    });
  };
  auto& ui = form_.ui;
  typedInto(c_.txtIdent, ui.txtIdent);
  typedInto(c_.txtPwd, ui.txtPwd);
  typedInto(c_.txtOrigMsgClass, ui.txtOrigMsgClass);
  typedInto(c_.txtNewMsgClass, ui.txtNewMsgClass);
  connect(c_.txtPriority, &QLineEdit::textEdited, this, [this](const QString& typed) {
    if (syncing_) return;
    form_.ui.txtPriority.text = text(typed);
    handle([this] { txtPriority_Change(form_); });
  });
  c_.txtPriority->installEventFilter(this);

  auto clicked = [this](QPushButton* button, void (*procedure)(InstallForm&)) {
    connect(button, &QPushButton::clicked, this, [this, procedure] {
      if (!syncing_) handle([this, procedure] { procedure(form_); });
    });
  };
  clicked(c_.btnInstall, btnInstall_Click);
  clicked(c_.btnRegisterSW, btnRegisterSW_Click);
  clicked(c_.btnChange, btnChange_Click);
  clicked(c_.Command1, Command1_Click);
  clicked(c_.Command4, Command4_Click);
  clicked(c_.Command5, Command5_Click);
  clicked(c_.Command2, Command2_Click);
  connect(c_.Command3, &QPushButton::clicked, this, [this] {
    if (!syncing_) handle([this] { Command3_Click(form_.ui); });
  });
}

void InstallWindow::connectList() {
  QTreeWidget* list = c_.ListView1;
  connect(list, &QTreeWidget::itemChanged, this, [this, list](QTreeWidgetItem* item, int column) {
    if (syncing_ || column != 0) return;
    int index = list->indexOfTopLevelItem(item);
    auto& rows = form_.ui.ListView1.rows;
    if (index < 0 || static_cast<std::size_t>(index) >= rows.size()) return;
    if (!item->data(0, Qt::CheckStateRole).isValid()) return;
    bool checked = item->checkState(0) == Qt::Checked;
    ListRow& row = rows[static_cast<std::size_t>(index)];
    if (row.checked == checked) return;
    row.checked = checked;
    handle([this, index] { ListView1_ItemCheck(form_, static_cast<std::size_t>(index)); });
  });
  connect(list, &QTreeWidget::currentItemChanged, this, [this, list](QTreeWidgetItem* current, QTreeWidgetItem*) {
    if (syncing_) return;
    int index = current ? list->indexOfTopLevelItem(current) : -1;
    auto& model = form_.ui.ListView1;
    if (index >= 0)
      model.selected = static_cast<std::size_t>(index);
    else
      model.selected.reset();
  });
  connect(list->header(), &QHeaderView::sectionClicked, this, [this](int section) {
    if (!syncing_) handle([this, section] { ListView1_ColumnClick(form_, section + 1); });
  });
}

bool InstallWindow::isOwnInput(QObject* watched) const {
  return watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this;
}

// Every event of the program passes here: only clicks and keys for this
// window's own widgets are looked at.
bool InstallWindow::eventFilter(QObject* watched, QEvent* event) {
  if (filterInput(watched, event)) return true;
  return QMainWindow::eventFilter(watched, event);
}

bool InstallWindow::filterInput(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
      break;
    default:
      return false;
  }
  if (!isOwnInput(watched)) return false;
  if (busy() && watched != c_.Command2) {
    if (event->type() != QEvent::MouseButtonRelease && event->type() != QEvent::KeyRelease) ++refusedInputs_;
    return true;
  }
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
  if (enter && key->modifiers() == Qt::NoModifier) {
    if (auto* button = qobject_cast<QPushButton*>(watched); button && button->isEnabled()) {
      button->click();  // as in any dialog: Return presses the focused button
      return true;
    }
  }
  if (watched == c_.ListView1 && key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
    toggleCurrentRow();
    return true;
  }
  if (watched == c_.txtPriority) {
    int code = characterCode(*key);
    if (code >= 0 && txtPriority_KeyPress(code) == 0) return true;  // the key is discarded
  }
  return false;
}

// Space toggles the focused row's check mark, whichever of its columns was
// clicked last (the list would toggle it only from the first column).
void InstallWindow::toggleCurrentRow() {
  QTreeWidgetItem* item = c_.ListView1->currentItem();
  if (!item || !(item->flags() & Qt::ItemIsUserCheckable) || !item->data(0, Qt::CheckStateRole).isValid()) return;
  item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void InstallWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (activationQueued_) return;
  activationQueued_ = true;
  QTimer::singleShot(0, this, [this] { activateOnceExposed(0); });
}

// The first activation runs once the window is on the screen (a second at
// most after it was shown): a fill that began before the window was first
// drawn would lock the redrawing of a list never drawn, black until it ends.
void InstallWindow::activateOnceExposed(int waitedMs) {
  constexpr int kStepMs = 10, kMostMs = 1000;
  if (windowHandle() && !windowHandle()->isExposed() && waitedMs < kMostMs) {
    QTimer::singleShot(kStepMs, this, [this, waitedMs] { activateOnceExposed(waitedMs + kStepMs); });
    return;
  }
  handle([this] { Form_Activate(form_); });
  activated_ = true;
  reportState();
}

void InstallWindow::closeEvent(QCloseEvent* event) {
  if (!unloaded_) {
    unloaded_ = true;
    Form_Unload(form_);  // ignores every error itself
  }
  event->accept();
  endProgram(0);
}

// --- What the procedures call back ------------------------------------------

void InstallWindow::processEvents() {
  // A fill asks once per first-level folder; the events run at most every
  // few milliseconds, often enough to repaint and answer, rarely enough that
  // the fill's cost per folder stays that of the enumeration.
  constexpr qint64 kEventsEveryMs = 30;
  if (sinceEvents_.isValid() && !sinceEvents_.hasExpired(kEventsEveryMs)) return;
  refreshWidgets();
  QCoreApplication::processEvents();
  sinceEvents_.start();
  if (ended_) throw ProgramEnded{};
}

void InstallWindow::lockListRedraw(bool lock) {
  // The levels of a fill nest: the list is redrawn again when the outermost
  // level ends, not at every inner level's end (which would redraw it once
  // per folder).
  listLocks_ = std::max(0, listLocks_ + (lock ? 1 : -1));
  const bool locked = listLocks_ > 0;
  if (c_.ListView1->updatesEnabled() == locked) c_.ListView1->setUpdatesEnabled(!locked);
}

void InstallWindow::progressChanged() {
  const ProgressBox& box = form_.ui.Picture1;
  const QString shownText = c_.Picture1->percentText();
  const bool changed = c_.Picture1->display(box);
  if (c_.Picture1->isHidden() == box.visible) c_.Picture1->setVisible(box.visible);
  if (!changed || !c_.Picture1->isVisible()) return;
  // A new percentage is drawn at once; a longer bar alone at the next paint
  // (the fill lets events run every few milliseconds).
  if (c_.Picture1->percentText() != shownText)
    c_.Picture1->repaint();
  else
    c_.Picture1->update();
}

namespace {

// A message box waits for the administrator, not for the action that opened
// it: the pointer over it is the arrow, the hourglass comes back after it.
int execWithArrow(QMessageBox& box) {
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  int answer = box.exec();
  QApplication::restoreOverrideCursor();
  return answer;
}

} // namespace

void InstallWindow::exclamation(TextView message) {
  refreshWidgets();
  QMessageBox box(QMessageBox::Warning, caption(), QString::fromStdU16String(Text(message)), QMessageBox::Ok, this);
  execWithArrow(box);
}

bool InstallWindow::askYesNo(TextView question) {
  refreshWidgets();
  QMessageBox box(QMessageBox::Question, caption(), QString::fromStdU16String(Text(question)),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::Yes);
  return execWithArrow(box) == QMessageBox::Yes;
}

void InstallWindow::closeWindow() {
  unloaded_ = true;  // Command2_Click has run the unload step
  refreshWidgets();
  close();
}

void InstallWindow::batchRunFailed(TextView log) {
  batchFailed_ = true;
  std::fprintf(stderr, "%s: the batch run wrote its error log:\n\n%s", toUtf8(form_.ui.caption).c_str(),
               logForDisplay(Text(log)).toUtf8().constData());
  std::fflush(stderr);
}

void InstallWindow::reportState() {
  if (!stateReport_ || ended_) return;
  stateReport_->write(*this, c_, {actionsDone_, busy(), activated_, refusedInputs_});
}

void InstallWindow::ensureRowVisible(std::size_t row) {
  syncing_ = true;
  showList(c_, form_.ui.ListView1);
  syncing_ = false;
  if (QTreeWidgetItem* item = c_.ListView1->topLevelItem(static_cast<int>(row))) c_.ListView1->scrollToItem(item);
}

} // namespace korvane::setup::qt
