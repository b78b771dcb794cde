// The run-time error report: an error no procedure handled shows a message
// box titled with the window caption, "Run-time error '<number>':" and the
// description, prints the same on stderr, and the program exits with 1.
#pragma once

#include <QString>

#include <exception>

#include "platform/com/hresult.h"

class QWidget;

namespace korvane::setup::qt {

// "Run-time error '<decimal>':" (codes with the high bit set also in hex, as
// "'-2147467259 (80004005)'"), an empty line, then the description.
QString runtimeErrorText(HRESULT number, const QString& description);

// The number and description of whatever a handler threw.
struct RuntimeError {
  HRESULT number;
  QString description;
};
RuntimeError describeException(std::exception_ptr error);

// Prints the text on stderr and shows it in a modal message box.
void showRuntimeError(QWidget* parent, const QString& caption, const QString& text);

// Thrown out of the window's callbacks into the procedures once the program
// has ended, so that a procedure that was interrupted goes no further.
struct ProgramEnded {};

} // namespace korvane::setup::qt
