#include "setup/qt/script.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdio>
#include <map>
#include <stdexcept>

#include "setup/qt/disclaimer.h"
#include "setup/qt/install_window.h"
#include "setup/qt/modal_answerer.h"
#include "setup/qt/program.h"

namespace korvane::setup::qt {

namespace {

// A step that cannot be carried out.
struct StepFailure {
  QString message;
};

// Number of arguments each command takes.
const std::map<QString, int>& commands() {
  static const std::map<QString, int> table = {
      {"yes", 0},    {"no", 0},         {"close", 0},        {"click", 1},          {"type", 2},
      {"paste", 2},  {"check", 1},      {"uncheck", 1},      {"sort", 1},           {"answer", 1},
      {"screenshot", 1}, {"expect", 2}, {"expect-state", 2}, {"expect-checked", 2}, {"print", 1},
      {"wait", 1},
  };
  return table;
}

QStringList splitWords(const QString& line, int number) {
  QStringList words;
  QString word;
  bool quoted = false, inWord = false;
  for (QChar ch : line) {
    if (ch == QLatin1Char('"')) {
      quoted = !quoted;
      inWord = true;
    } else if (ch.isSpace() && !quoted) {
      if (inWord) words << word;
      word.clear();
      inWord = false;
    } else {
      word += ch;
      inWord = true;
    }
  }
  if (quoted) throw std::runtime_error("line " + std::to_string(number) + ": a double quote is not closed");
  if (inWord) words << word;
  for (QString& w : words) w.replace(QStringLiteral("{TAB}"), QStringLiteral("\t"));
  return words;
}

void print(const QString& text) {
  std::fprintf(stdout, "%s\n", text.toUtf8().constData());
  std::fflush(stdout);
}

void sendKey(QWidget* target, int key, const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(target, &release);
}

int keyFor(QChar ch) {
  if (ch.unicode() < 0x20 || ch.unicode() > 0x7e) return Qt::Key_unknown;
  return ch.toUpper().unicode();  // Qt's keys for printable ASCII are their codes
}

QString controlText(QWidget* w) {
  if (auto* box = qobject_cast<QLineEdit*>(w)) return box->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* frame = qobject_cast<QGroupBox*>(w)) return frame->title();
  if (auto* log = qobject_cast<QPlainTextEdit*>(w)) return log->toPlainText();
  if (w->isWindow()) return w->windowTitle();
  throw StepFailure{QStringLiteral("%1 has no text").arg(w->objectName())};
}

} // namespace

std::vector<ScriptStep> parseScript(const QString& text) {
  std::vector<ScriptStep> steps;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (int i = 0; i < lines.size(); ++i) {
    QString line = lines[i].trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    ScriptStep step{i + 1, splitWords(line, i + 1)};
    auto command = commands().find(step.words.front().toLower());
    if (command == commands().end())
      throw std::runtime_error("line " + std::to_string(step.line) + ": unknown step '" +
                               step.words.front().toStdString() + "'");
    step.words.front() = command->first;
    if (step.words.size() - 1 != command->second)
      throw std::runtime_error("line " + std::to_string(step.line) + ": '" + command->first.toStdString() +
                               "' takes " + std::to_string(command->second) + " argument(s)");
    steps.push_back(std::move(step));
  }
  return steps;
}

ScriptRunner::ScriptRunner(SetupProgram& program, QString file, QString shotsDirectory, int timeoutSeconds)
    : program_(program), file_(std::move(file)), shots_(std::move(shotsDirectory)), timeoutSeconds_(timeoutSeconds) {}

ScriptRunner::~ScriptRunner() {
  if (program_.ended() && position_ < steps_.size())
    print(QStringLiteral("  (the program has ended; %1 script step(s) not run)").arg(steps_.size() - position_));
}

bool ScriptRunner::load(QString* error) {
  QFile f(file_);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
    *error = QStringLiteral("cannot read the script %1: %2").arg(file_, f.errorString());
    return false;
  }
  try {
    steps_ = parseScript(QString::fromUtf8(f.readAll()));
  } catch (const std::runtime_error& e) {
    *error = QStringLiteral("script %1, %2").arg(file_, QString::fromUtf8(e.what()));
    return false;
  }
  return true;
}

void ScriptRunner::start() {
  answerer_ = std::make_unique<ModalAnswerer>();
  answerer_->onAnswered = [](const SeenMessageBox& box) {
    print(QStringLiteral("  message box \"%1\": %2 -> %3").arg(box.title, box.text, box.pressed));
  };
  watchdog_.setSingleShot(true);
  QObject::connect(&watchdog_, &QTimer::timeout, [this] {
    std::fprintf(stderr, "KorvaneSetup: script %s did not finish within %d seconds\n", file_.toUtf8().constData(),
                 timeoutSeconds_);
    program_.end(3);
  });
  watchdog_.start(timeoutSeconds_ * 1000);
  QTimer::singleShot(0, &watchdog_, [this] { next(); });
}

bool ScriptRunner::ready() const {
  InstallWindow* window = program_.window();
  return !window || (window->activated() && !window->busy());
}

void ScriptRunner::next() {
  if (program_.ended()) {
    watchdog_.stop();
    return;
  }
  if (!ready()) {
    QTimer::singleShot(20, &watchdog_, [this] { next(); });
    return;
  }
  if (position_ >= steps_.size()) {
    std::fprintf(stderr, "KorvaneSetup: script %s ended while the program still runs; end it with 'click Command2'\n",
                 file_.toUtf8().constData());
    program_.end(2);
    return;
  }
  const ScriptStep& step = steps_[position_++];
  print(QStringLiteral("  > ") + step.words.join(QLatin1Char(' ')));
  int delay = 0;
  try {
    if (step.words[0] == QLatin1String("wait")) delay = std::max(0, step.words[1].toInt());
    run(step);
  } catch (const StepFailure& failure) {
    fail(step, failure.message);
    return;
  }
  QTimer::singleShot(delay, &watchdog_, [this] { next(); });
}

void ScriptRunner::fail(const ScriptStep& step, const QString& message) {
  std::fprintf(stderr, "KorvaneSetup: script %s, line %d: %s\n", file_.toUtf8().constData(), step.line,
               message.toUtf8().constData());
  program_.end(2);
}

namespace {

InstallWindow& mainWindow(SetupProgram& program) {
  if (!program.window() || !program.window()->isVisible())
    throw StepFailure{QStringLiteral("the main window is not open (answer the Disclaimer with 'yes' first)")};
  return *program.window();
}

Disclaimer& disclaimer(SetupProgram& program) {
  if (!program.disclaimer() || !program.disclaimer()->isVisible())
    throw StepFailure{QStringLiteral("the Disclaimer is not open")};
  return *program.disclaimer();
}

QWidget* control(SetupProgram& program, const QString& name) {
  InstallWindow& window = mainWindow(program);
  if (window.objectName() == name) return &window;
  auto* w = window.findChild<QWidget*>(name);
  if (!w) throw StepFailure{QStringLiteral("the main window has no control named %1").arg(name)};
  return w;
}

void requireUsable(QWidget* w) {
  if (!w->isVisible()) throw StepFailure{QStringLiteral("%1 is hidden").arg(w->objectName())};
  if (!w->isEnabled()) throw StepFailure{QStringLiteral("%1 is disabled").arg(w->objectName())};
}

QTreeWidgetItem* folderRow(SetupProgram& program, const QString& path) {
  auto* list = qobject_cast<QTreeWidget*>(control(program, QStringLiteral("ListView1")));
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->text(0) == path) return list->topLevelItem(i);
  throw StepFailure{QStringLiteral("the folder list has no row \"%1\"").arg(path)};
}

void typeInto(SetupProgram& program, const QString& name, const QString& text) {
  auto* box = qobject_cast<QLineEdit*>(control(program, name));
  if (!box) throw StepFailure{QStringLiteral("%1 is not a text box").arg(name)};
  requireUsable(box);
  box->setFocus(Qt::OtherFocusReason);
  box->selectAll();
  if (text.isEmpty()) sendKey(box, Qt::Key_Backspace, QStringLiteral("\b"));
  for (QChar ch : text) sendKey(box, keyFor(ch), QString(ch));
}

void pasteInto(SetupProgram& program, const QString& name, const QString& text) {
  auto* box = qobject_cast<QLineEdit*>(control(program, name));
  if (!box) throw StepFailure{QStringLiteral("%1 is not a text box").arg(name)};
  requireUsable(box);
  box->setFocus(Qt::OtherFocusReason);
  box->selectAll();
  box->insert(text);  // an edit as by the context menu's paste: no key presses
}

void setChecked(SetupProgram& program, const QString& path, bool checked) {
  QTreeWidgetItem* row = folderRow(program, path);
  requireUsable(row->treeWidget());
  if (!(row->flags() & Qt::ItemIsUserCheckable))
    throw StepFailure{QStringLiteral("the folder list offers no check boxes now")};
  // As a click on the row's check box: the list changes the mark, the
  // window's handler decides whether it stays.
  if ((row->checkState(0) == Qt::Checked) != checked) row->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

void clickHeader(SetupProgram& program, const QString& column) {
  bool ok = false;
  int index = column.toInt(&ok);
  if (!ok || index < 1 || index > 3) throw StepFailure{QStringLiteral("sort takes a column 1, 2 or 3")};
  auto* list = qobject_cast<QTreeWidget*>(control(program, QStringLiteral("ListView1")));
  requireUsable(list);
  QHeaderView* header = list->header();
  QPoint at(header->sectionViewportPosition(index - 1) + header->sectionSize(index - 1) / 2, header->height() / 2);
  QPointF global = header->viewport()->mapToGlobal(QPointF(at));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(header->viewport(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(header->viewport(), &release);
}

void screenshot(SetupProgram& program, const QString& shots, const QString& file) {
  QWidget* target = nullptr;
  if (program.disclaimer() && program.disclaimer()->isVisible()) target = program.disclaimer();
  else if (program.window() && program.window()->isVisible()) target = program.window();
  if (!target) throw StepFailure{QStringLiteral("no window is open to take a screenshot of")};
  QString path = QFileInfo(file).isAbsolute() || shots.isEmpty() ? file : QDir(shots).filePath(file);
  QDir().mkpath(QFileInfo(path).absolutePath());
  if (!target->grab().save(path, "PNG")) throw StepFailure{QStringLiteral("cannot write %1").arg(path)};
  print(QStringLiteral("  screenshot %1").arg(QFileInfo(path).absoluteFilePath()));
}

void expectState(SetupProgram& program, const QString& name, const QString& state) {
  QWidget* w = control(program, name);
  const std::map<QString, bool> states = {{QStringLiteral("enabled"), w->isEnabled()},
                                          {QStringLiteral("disabled"), !w->isEnabled()},
                                          {QStringLiteral("visible"), w->isVisible()},
                                          {QStringLiteral("hidden"), !w->isVisible()}};
  auto it = states.find(state);
  if (it == states.end()) throw StepFailure{QStringLiteral("unknown state %1").arg(state)};
  if (!it->second) throw StepFailure{QStringLiteral("%1 is not %2").arg(name, state)};
}

} // namespace

void ScriptRunner::run(const ScriptStep& step) {
  const QString& command = step.words[0];
  const QString arg = step.words.size() > 1 ? step.words[1] : QString();
  if (command == QLatin1String("yes")) {
    disclaimer(program_).yesButton()->click();
  } else if (command == QLatin1String("no")) {
    disclaimer(program_).noButton()->click();
  } else if (command == QLatin1String("close")) {
    disclaimer(program_).close();
  } else if (command == QLatin1String("click")) {
    auto* button = qobject_cast<QAbstractButton*>(control(program_, arg));
    if (!button) throw StepFailure{QStringLiteral("%1 is not a button").arg(arg)};
    requireUsable(button);
    button->click();
  } else if (command == QLatin1String("type")) {
    typeInto(program_, arg, step.words[2]);
  } else if (command == QLatin1String("paste")) {
    pasteInto(program_, arg, step.words[2]);
  } else if (command == QLatin1String("check") || command == QLatin1String("uncheck")) {
    setChecked(program_, arg, command == QLatin1String("check"));
  } else if (command == QLatin1String("sort")) {
    clickHeader(program_, arg);
  } else if (command == QLatin1String("answer")) {
    if (arg != QLatin1String("yes") && arg != QLatin1String("no")) throw StepFailure{QStringLiteral("answer yes or no")};
    answerer_->queueAnswer(arg == QLatin1String("yes") ? QMessageBox::Yes : QMessageBox::No);
  } else if (command == QLatin1String("screenshot")) {
    screenshot(program_, shots_, arg);
  } else if (command == QLatin1String("expect")) {
    QString actual = controlText(control(program_, arg));
    if (actual != step.words[2])
      throw StepFailure{QStringLiteral("%1 shows \"%2\", expected \"%3\"").arg(arg, actual, step.words[2])};
  } else if (command == QLatin1String("expect-state")) {
    expectState(program_, arg, step.words[2]);
  } else if (command == QLatin1String("expect-checked")) {
    bool want = step.words[2] == QLatin1String("yes");
    QTreeWidgetItem* row = folderRow(program_, arg);
    bool has = row->data(0, Qt::CheckStateRole).isValid() && row->checkState(0) == Qt::Checked;
    if (has != want) throw StepFailure{QStringLiteral("\"%1\" is %2checked").arg(arg, has ? "" : "not ")};
  } else if (command == QLatin1String("print")) {
    print(QStringLiteral("  %1: %2").arg(arg, controlText(control(program_, arg))));
  }
}

} // namespace korvane::setup::qt
