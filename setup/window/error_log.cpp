#include "setup/window/error_log.h"

#include <fmt/format.h>

#include "platform/win32/environment.h"

namespace korvane::setup {

namespace {

constexpr char16_t kEntryEnd[] = u"\r\n\r\n";

Text localNow() { return win32::generalDateTime(std::chrono::system_clock::now()); }

DateTimeSource& dateTimeSource() {
  static DateTimeSource source = localNow;
  return source;
}

void prepend(TextBox& txtErr, Text entry) {
  entry += kEntryEnd;
  entry += txtErr.text;
  txtErr.text = std::move(entry);
}

} // namespace

void setDateTimeSource(DateTimeSource source) { dateTimeSource() = source ? std::move(source) : localNow; }

void addErrorEntry(TextBox& txtErr, TextView subject, HRESULT number, TextView description) {
  Text entry = u"[" + dateTimeSource()() + u"] ";
  entry += subject;
  entry += u" - ERROR: ";
  entry += fromUtf8(fmt::format("{}", number));
  entry += u" ";
  entry += description;
  prepend(txtErr, std::move(entry));
}

void addErrorEntry(TextBox& txtErr, TextView subject, const ComError& error) {
  addErrorEntry(txtErr, subject, error.code(), error.description());
}

void addMissingFileEntry(TextBox& txtErr, TextView currentDirectory) {
  Text entry = u"[" + dateTimeSource()() + u"] File ";
  entry += currentDirectory;
  entry += u"\\Korvane.dll not found. COM+ object installation is impossible.";
  prepend(txtErr, std::move(entry));
}

void Command3_Click(InstallFormModel& ui) {
  ui.Command3.visible = false;
  ui.txtErr.text.clear();
  ui.txtErr.visible = false;
}

void showErrorLogIfAny(InstallFormModel& ui) {
  bool any = !ui.txtErr.text.empty();
  ui.txtErr.visible = any;
  ui.Command3.visible = any;
}

} // namespace korvane::setup
