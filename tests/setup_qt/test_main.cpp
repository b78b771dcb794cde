// The window tests run GoogleTest inside a QApplication on the offscreen
// platform (also when CTest's environment is not applied, as when the test
// list is discovered).
#include <QApplication>

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "setup/qt/program.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  korvane::setup::qt::quietPlatformNotes();
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  int status = RUN_ALL_TESTS();
  korvane::shutdownRuntime();
  return status;
}
