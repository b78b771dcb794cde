// The Disclaimer: the limitation-of-liability dialog the program starts
// with. "Yes" (focused first; Enter or Space presses the focused button)
// leads on to the main window, "No" or the close box ends the program.
#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;

namespace korvane::setup::qt {

// Label1: the limitation-of-liability text (564 characters), and Label2: the question.
const QString& disclaimerText();
const QString& disclaimerQuestion();

class Disclaimer : public QDialog {
public:
  struct Answers {
    std::function<void()> yes;     // "Yes" pressed
    std::function<void()> no;      // "No" pressed
    std::function<void()> closed;  // closed by the close box
  };
  explicit Disclaimer(Answers answers, QWidget* parent = nullptr);

  QPushButton* yesButton() const { return yes_; }
  QPushButton* noButton() const { return no_; }
  // Unloads the dialog after "Yes" has shown the main window.
  void unload();

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  Answers answers_;
  QLabel* label1_;
  QLabel* label2_;
  QPushButton* yes_;
  QPushButton* no_;
  bool unloading_ = false;
};

} // namespace korvane::setup::qt
