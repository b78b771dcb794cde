// KorvaneSetup: the administrator's window program. Starts at the
// Disclaimer; "-b" or "/b" as the argument text runs the batch mode. With
// KORVANE_SETUP_SCRIPT set, a scripted administrator drives the windows.
#include <QApplication>

#include <cstdio>
#include <memory>

#include "platform/com/runtime.h"
#include "setup/qt/program.h"
#include "setup/qt/script.h"

namespace {

using korvane::setup::qt::ScriptRunner;
using korvane::setup::qt::SetupProgram;

std::unique_ptr<ScriptRunner> scriptFromEnvironment(SetupProgram& program) {
  QString file = qEnvironmentVariable("KORVANE_SETUP_SCRIPT");
  if (file.isEmpty()) return nullptr;
  bool ok = false;
  int timeout = qEnvironmentVariableIntValue("KORVANE_SETUP_SCRIPT_TIMEOUT", &ok);
  auto runner = std::make_unique<ScriptRunner>(program, file, qEnvironmentVariable("KORVANE_SETUP_SHOTS"),
                                               ok && timeout > 0 ? timeout : 300);
  QString error;
  if (!runner->load(&error)) {
    std::fprintf(stderr, "KorvaneSetup: %s\n", error.toUtf8().constData());
    return nullptr;
  }
  return runner;
}

} // namespace

int main(int argc, char** argv) {
  // Taken before the toolkit removes the options it knows from argv.
  const QString arguments = korvane::setup::qt::argumentText(argc, argv);
  korvane::setup::qt::quietPlatformNotes();
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  int status = 0;
  {
    SetupProgram program(arguments, [](int code) { QCoreApplication::exit(code); });
    std::unique_ptr<ScriptRunner> script = scriptFromEnvironment(program);
    if (!script && !qEnvironmentVariable("KORVANE_SETUP_SCRIPT").isEmpty()) return 2;
    program.start();
    if (script) script->start();
    status = QApplication::exec();
    if (program.ended()) status = program.exitCode();
  }
  korvane::shutdownRuntime();
  return status;
}
