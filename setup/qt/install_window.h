// InstallForm as a Qt window: the widgets show the window model, user input
// goes into the model and runs the matching procedure, and the procedures
// call back through WindowHooks; an unhandled error ends the program (1).
#pragma once

// Writing the model into the widgets never runs a handler. While the
// store-wide registration exists the folder rows show no check boxes.

#include <QMainWindow>

#include <functional>

class QKeyEvent;

#include "setup/qt/install_controls.h"
#include "setup/window/form_state.h"

namespace korvane::setup::qt {

class InstallWindow : public QMainWindow, public WindowHooks {
public:
  // `endProgram` is called once, with the exit code, when the program ends:
  // 0 when the window closes, 1 after a run-time error report.
  InstallWindow(QString commandLineArguments, std::function<void(int)> endProgram);
  ~InstallWindow() override;

  // The load step (command line, caption, discovery). False when it ended
  // the program with a run-time error report; the window is then not shown.
  bool load();

  InstallForm& form() { return form_; }
  const InstallControls& controls() const { return c_; }
  bool ended() const { return ended_; }
  // True while a procedure runs (a message box of it may be open).
  bool busy() const { return depth_ > 0; }
  // True once the first activation (and in batch mode its run) has finished.
  bool activated() const { return activated_; }

  // Shows the model in the widgets now.
  void refreshWidgets();

  // WindowHooks.
  void processEvents() override;
  void lockListRedraw(bool lock) override;
  void progressChanged() override;
  void exclamation(TextView text) override;
  bool askYesNo(TextView text) override;
  void closeWindow() override;
  void ensureRowVisible(std::size_t row) override;

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // Runs one handler at the window's boundary: catches what it throws into
  // the run-time error report, then shows the model.
  template <typename F>
  void handle(F&& handler);
  void reportRuntimeError(std::exception_ptr error);
  void endProgram(int code);
  void connectControls();
  void connectList();
  void showMousePointer();
  QString caption() const;

  InstallForm form_;
  InstallControls c_;
  QString arguments_;
  std::function<void(int)> endProgram_;
  int depth_ = 0;
  bool syncing_ = false;
  bool ended_ = false;
  bool unloaded_ = false;
  bool activationQueued_ = false;
  bool activated_ = false;
  bool waitCursor_ = false;
};

// The character code a key press delivers to a text box, as its key filter
// sees it: the paste shortcut is 22, backspace 8, Ctrl with a letter its
// control code; -1 for keys that type no character (arrows, Delete, ...).
int characterCode(const QKeyEvent& event);

// The load's last check: discovery that found no mounted public store on
// the MAPI folder tree leaves the public root empty, and nothing could work.
void requirePublicStore(const InstallForm& form);

} // namespace korvane::setup::qt
