#include "setup/qt/disclaimer.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "setup/window/main_window.h"

namespace korvane::setup::qt {

const QString& disclaimerText() {
  static const QString text =
      QStringLiteral("LIMITATION OF LIABILITY. ") + QStringLiteral("\r\n\r\n") +
      QStringLiteral("TO THE MAXIMUM EXTENT PERMITTED BY APPLICABLE LAW, IN NO EVENT SHALL THE CREATOR OF THIS "
                     "SOFTWARE BE LIABLE FOR ANY SPECIAL, INCIDENTAL, INDIRECT, OR CONSEQUENTIAL DAMAGES "
                     "WHATSOEVER (INCLUDING, WITHOUT LIMITATION, DAMAGES FOR LOSS OF BUSINESS PROFITS, BUSINESS "
                     "INTERRUPTION, LOSS OF BUSINESS INFORMATION, OR ANY OTHER PECUNIARY LOSS) ARISING OUT OF THE "
                     "USE OF OR INABILITY TO USE THE SOFTWARE PRODUCT OR THE FAILURE TO PROVIDE SUPPORT "
                     "SERVICES.") +
      QStringLiteral("\r\n").repeated(4) + QString(80, QLatin1Char('-')) + QStringLiteral("\r\n");
  return text;
}

const QString& disclaimerQuestion() {
  static const QString text = QStringLiteral(
      "Do you accept all of of the terms of the preceding Limitation of Liability? To install you must accept the "
      "Limitation of Liability . If  you choose No, install will close.");
  return text;
}

Disclaimer::Disclaimer(Answers answers, QWidget* parent) : QDialog(parent), answers_(std::move(answers)) {
  setObjectName(QStringLiteral("Disclaimer"));
  setWindowTitle(QString::fromStdU16String(Text(kProductName) + u" setup"));
  setModal(false);

  label1_ = new QLabel(this);
  label1_->setObjectName(QStringLiteral("Label1"));
  label1_->setWordWrap(true);
  label1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label1_->setText(disclaimerText());

  label2_ = new QLabel(disclaimerQuestion(), this);
  label2_->setObjectName(QStringLiteral("Label2"));
  label2_->setWordWrap(true);
  label2_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  yes_ = new QPushButton(QStringLiteral("Yes"), this);
  yes_->setObjectName(QStringLiteral("Command1"));
  no_ = new QPushButton(QStringLiteral("No"), this);
  no_->setObjectName(QStringLiteral("Command2"));
  // Enter presses the button that has the focus, not a fixed default.
  for (QPushButton* b : {yes_, no_}) {
    b->setAutoDefault(true);
    b->setMinimumWidth(90);
  }
  setTabOrder(yes_, no_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(yes_);
  buttons->addSpacing(24);
  buttons->addWidget(no_);
  buttons->addStretch();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 14);
  layout->addWidget(label1_);
  layout->addSpacing(6);
  layout->addWidget(label2_);
  layout->addStretch();
  layout->addLayout(buttons);

  connect(yes_, &QPushButton::clicked, this, [this] {
    if (answers_.yes) answers_.yes();
  });
  connect(no_, &QPushButton::clicked, this, [this] {
    if (answers_.no) answers_.no();
  });

  // Wide enough for the row of hyphens, so that no line is cut off.
  const int width = std::max(440, label1_->fontMetrics().horizontalAdvance(QString(80, QLatin1Char('-'))) + 40);
  resize(width, std::max(sizeHint().height(), 420));
  yes_->setFocus(Qt::OtherFocusReason);
}

void Disclaimer::unload() {
  unloading_ = true;
  hide();
  deleteLater();
}

void Disclaimer::keyPressEvent(QKeyEvent* event) {
  // The dialog has no Cancel button: Escape does nothing.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void Disclaimer::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!unloading_) {
    unloading_ = true;
    if (answers_.closed) answers_.closed();
  }
}

} // namespace korvane::setup::qt
