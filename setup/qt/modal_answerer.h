// Answers the window's message boxes for unattended runs and tests: records
// each box's title, text and icon and presses a button like a user would
// (the queued answer to a Yes/No question, else OK).
#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

namespace korvane::setup::qt {

struct SeenMessageBox {
  QString title;
  QString text;
  QMessageBox::Icon icon;
  QString pressed;  // the caption of the button pressed
  Qt::CursorShape pointer;  // the mouse pointer over the box
};

class ModalAnswerer {
public:
  ModalAnswerer();

  // The answer to the next Yes/No question; Yes when none is queued.
  void queueAnswer(QMessageBox::StandardButton answer) { answers_.push_back(answer); }
  const QList<SeenMessageBox>& seen() const { return seen_; }
  void clear() { seen_.clear(); }
  // Called after each box was answered.
  std::function<void(const SeenMessageBox&)> onAnswered;

private:
  void poll();

  QTimer timer_;
  std::deque<QMessageBox::StandardButton> answers_;
  QList<SeenMessageBox> seen_;
};

} // namespace korvane::setup::qt
