#include "setup/qt/modal_answerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

namespace korvane::setup::qt {

ModalAnswerer::ModalAnswerer() {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
  timer_.start();
}

void ModalAnswerer::poll() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || !box->isVisible()) continue;
    QAbstractButton* press = nullptr;
    if (box->button(QMessageBox::Yes) && box->button(QMessageBox::No)) {
      QMessageBox::StandardButton answer = QMessageBox::Yes;
      if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
      }
      press = box->button(answer);
    }
    if (!press) press = box->button(QMessageBox::Ok);
    if (!press) press = box->defaultButton();
    if (!press && !box->buttons().isEmpty()) press = box->buttons().front();
    if (!press) continue;
    const QCursor* override = QApplication::overrideCursor();
    SeenMessageBox seen{box->windowTitle(), box->text(), box->icon(), press->text().remove(QLatin1Char('&')),
                        override ? override->shape() : box->cursor().shape()};
    seen_.append(seen);
    press->click();
    if (onAnswered) onAnswered(seen);
    return;  // one box per poll: answering may open the next
  }
}

} // namespace korvane::setup::qt
