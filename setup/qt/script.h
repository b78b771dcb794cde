// The scripted administrator: with KORVANE_SETUP_SCRIPT naming a file, the
// program carries out its steps on the real windows once they are idle,
// answering message boxes and writing screenshots (used by the demo).
#pragma once

// One step per line; "#" starts a comment; words are separated by blanks,
// "double quotes" keep blanks in a word, {TAB} stands for a TAB character.
//   yes | no | close           answer the Disclaimer (close = its close box)
//   click NAME                 press a button of the main window (btnInstall, ...)
//   type NAME TEXT             select all in a text box and type TEXT key by key
//   paste NAME TEXT            replace the box's text as a paste does (TABs allowed)
//   check PATH | uncheck PATH  set a folder row's check box ("Sales/Orders")
//   sort COLUMN                click the list's column header 1, 2 or 3
//   answer yes|no              the answer to the next Yes/No question (default yes)
//   screenshot FILE            PNG of the open window (Disclaimer or main window);
//                              relative to KORVANE_SETUP_SHOTS when that is set
//   expect NAME TEXT           the control's text or caption must be TEXT
//   expect-state NAME STATE    enabled, disabled, visible or hidden
//   expect-checked PATH yes|no
//   print NAME                 the control's text on stdout
//   wait MS
// A failing step ends the program with code 2; a script that takes longer
// than KORVANE_SETUP_SCRIPT_TIMEOUT seconds (default 300) with code 3.


#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

namespace korvane::setup::qt {

class ModalAnswerer;
class SetupProgram;

struct ScriptStep {
  int line = 0;
  QStringList words;  // the command, then its arguments
};

// Splits and checks a script; throws std::runtime_error naming the line.
std::vector<ScriptStep> parseScript(const QString& text);

class ScriptRunner {
public:
  ScriptRunner(SetupProgram& program, QString file, QString shotsDirectory, int timeoutSeconds);
  ~ScriptRunner();

  // Reads and checks the file; false with `error` set when it cannot.
  bool load(QString* error);
  void start();

private:
  void next();
  bool ready() const;
  void run(const ScriptStep& step);
  void fail(const ScriptStep& step, const QString& message);

  SetupProgram& program_;
  QString file_;
  QString shots_;
  int timeoutSeconds_;
  std::vector<ScriptStep> steps_;
  std::size_t position_ = 0;
  std::unique_ptr<ModalAnswerer> answerer_;
  QTimer watchdog_;
};

} // namespace korvane::setup::qt
