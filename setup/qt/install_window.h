// InstallForm as a Qt window: the widgets show the window model, user input
// goes into the model and runs the matching procedure, and the procedures
// call back through WindowHooks; an unhandled error ends the program (1).
#pragma once

// Writing the model into the widgets never runs a handler. While the
// store-wide registration exists the folder rows show no check boxes.
// While an action runs (a refresh, "Change", a registration, install or
// uninstall) the window keeps repainting, but takes no click or key of its
// own: a second click, as in a double click, is simply not taken, as on a
// disabled button. Only "Exit" and the close box still end the program.

#include <QElapsedTimer>
#include <QMainWindow>

#include <functional>
#include <memory>

class QKeyEvent;

#include "setup/qt/install_controls.h"
#include "setup/window/form_state.h"

namespace korvane::setup::qt {

// The exit code of a batch run that ended with entries in its error log
// (they are printed on stderr); 1 is a run-time error report.
inline constexpr int kBatchRunFailedExitCode = 4;

class StateReport;

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
  // Clicks and keys that arrived while an action ran and were not taken.
  int refusedInputs() const { return refusedInputs_; }

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
  void batchRunFailed(TextView log) override;

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
  void activateOnceExposed(int waitedMs);
  void endProgram(int code);
  void connectControls();
  void connectList();
  bool filterInput(QObject* watched, QEvent* event);
  bool isOwnInput(QObject* watched) const;
  void toggleCurrentRow();
  void reportState();
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
  bool batchFailed_ = false;
  int refusedInputs_ = 0;
  int actionsDone_ = 0;
  int listLocks_ = 0;  // fill levels holding the list's redraw lock
  QElapsedTimer sinceEvents_;  // since the window's events last ran
  std::unique_ptr<StateReport> stateReport_;
};

// The character code a key press delivers to a text box, as its key filter
// sees it: the paste shortcut is 22, backspace 8, Ctrl with a letter its
// control code; -1 for keys that type no character (arrows, Delete, ...).
int characterCode(const QKeyEvent& event);

// The load's last check: discovery that found no mounted public store on
// the MAPI folder tree leaves the public root empty, and nothing could work.
void requirePublicStore(const InstallForm& form);

} // namespace korvane::setup::qt
