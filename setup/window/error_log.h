// The error log: every failure the setup reports goes into the multi-line
// box txtErr, newest entry first, each entry one line and an empty line.
#pragma once

#include <functional>

#include "platform/com/hresult.h"
#include "setup/window/model.h"

namespace korvane::setup {

// "[<date and time>] <subject> - ERROR: <number> <description>" + CR LF CR LF + older log.
void addErrorEntry(TextBox& txtErr, TextView subject, HRESULT number, TextView description);
void addErrorEntry(TextBox& txtErr, TextView subject, const ComError& error);

// "[<date and time>] File <dir>\Korvane.dll not found. COM+ object installation is impossible."
void addMissingFileEntry(TextBox& txtErr, TextView currentDirectory);

// "Clear Error Log": hide the button, empty the log, hide the box.
void Command3_Click(InstallFormModel& ui);

// End of every state refresh: show the log and its button when it holds text.
void showErrorLogIfAny(InstallFormModel& ui);

// The date and time text of the entries; tests replace it (null restores
// the user's local date and time).
using DateTimeSource = std::function<Text()>;
void setDateTimeSource(DateTimeSource source);

} // namespace korvane::setup
