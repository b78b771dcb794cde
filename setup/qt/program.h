// The run of KorvaneSetup: the Disclaimer, then on "Yes" the main window;
// "No" or the close box end the program (0), the main window's end with its
// code (0, or 1 after a run-time error report).
#pragma once

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

#include "setup/qt/disclaimer.h"

namespace korvane::setup::qt {

class InstallWindow;

class SetupProgram {
public:
  // `end` is called once, with the exit code, when the program ends.
  SetupProgram(QString commandLineArguments, std::function<void(int)> end);
  ~SetupProgram();
  SetupProgram(const SetupProgram&) = delete;
  SetupProgram& operator=(const SetupProgram&) = delete;

  void start();  // shows the Disclaimer

  Disclaimer* disclaimer() const { return disclaimer_; }  // null once unloaded
  InstallWindow* window() const { return window_.get(); }  // null until "Yes"
  bool ended() const { return exitCode_ >= 0; }
  int exitCode() const { return exitCode_; }
  // Ends the program from outside (a script that failed).
  void end(int code);

private:
  void yes();

  QString arguments_;
  std::function<void(int)> end_;
  QPointer<Disclaimer> disclaimer_;
  std::unique_ptr<InstallWindow> window_;
  int exitCode_ = -1;
};

// Drops two notes of the toolkit that say nothing to the administrator (the
// offscreen platform cannot pass size hints on; no XDG_RUNTIME_DIR, so a
// default is used); every other message goes through.
void quietPlatformNotes();

// The argument text of the command line: the arguments after the program's
// name, joined by blanks.
QString argumentText(int argc, char** argv);

} // namespace korvane::setup::qt
