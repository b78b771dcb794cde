#include "setup/qt/program.h"

#include "setup/qt/disclaimer.h"
#include "setup/qt/install_window.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace korvane::setup::qt {

SetupProgram::SetupProgram(QString commandLineArguments, std::function<void(int)> end)
    : arguments_(std::move(commandLineArguments)), end_(std::move(end)) {}

SetupProgram::~SetupProgram() {
  delete disclaimer_.data();
  window_.reset();
}

void SetupProgram::start() {
  disclaimer_ = new Disclaimer({.yes = [this] { yes(); },
                                .no = [this] { end(0); },
                                .closed = [this] {
                                  if (!window_) end(0);
                                }});
  disclaimer_->show();
}

void SetupProgram::end(int code) {
  if (ended()) return;
  exitCode_ = code;
  if (end_) end_(code);
}

namespace {

// Shown while the Disclaimer is still up, the window would be placed by the
// window manager beside it, partly off the screen: put it in the middle of
// the Disclaimer's screen, its top left corner always on the screen.
void centre(QWidget& window, QScreen* screen) {
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QSize size = window.frameGeometry().size();
  window.move(std::max(area.left(), area.left() + (area.width() - size.width()) / 2),
              std::max(area.top(), area.top() + (area.height() - size.height()) / 2));
}

} // namespace

void SetupProgram::yes() {
  if (window_ || ended()) return;
  disclaimer_->setCursor(Qt::WaitCursor);
  window_ = std::make_unique<InstallWindow>(arguments_, [this](int code) { end(code); });
  if (window_->load()) {
    centre(*window_, disclaimer_ ? disclaimer_->screen() : nullptr);
    window_->show();
  }
  if (disclaimer_) {
    disclaimer_->unsetCursor();
    disclaimer_->unload();
  }
}

namespace {

QtMessageHandler previousHandler = nullptr;

void filterMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QLatin1String("does not support propagateSizeHints"))) return;
  if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
  if (previousHandler) previousHandler(type, context, message);
}

} // namespace

void quietPlatformNotes() {
  QtMessageHandler before = qInstallMessageHandler(filterMessage);
  if (before != filterMessage) previousHandler = before;
}

QString argumentText(int argc, char** argv) {
  QStringList parts;
  for (int i = 1; i < argc; ++i) parts << QString::fromLocal8Bit(argv[i]);
  return parts.join(QLatin1Char(' '));
}

} // namespace korvane::setup::qt
