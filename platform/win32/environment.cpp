#include "platform/win32/environment.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include <unicode/datefmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include "platform/com/hresult.h"
#include "platform/win32/machine.h"
#include "platform/win32/winapi.h"

namespace korvane::win32 {

namespace fs = std::filesystem;

namespace {

Text machineVariable(TextView name) {
  try {
    if (equalsIgnoreCase(name, u"COMPUTERNAME")) return machineInfo().computerName;
    if (equalsIgnoreCase(name, u"USERNAME")) return logonUser();
    if (equalsIgnoreCase(name, u"USERDOMAIN")) {
      MachineInfo m = machineInfo();
      return m.workstationError == NERR_Success ? m.workstationDomain : m.computerName;
    }
  } catch (const ComError&) {
    // No machine to ask: the variable stays unset, as the call promises.
  }
  return {};
}

Text fromIcu(const icu::UnicodeString& s) {
  return Text(reinterpret_cast<const char16_t*>(s.getBuffer()), static_cast<size_t>(s.length()));
}

icu::UnicodeString patternOf(icu::DateFormat* format) {
  icu::UnicodeString pattern;
  if (auto* simple = dynamic_cast<icu::SimpleDateFormat*>(format)) simple->toPattern(pattern);
  return pattern;
}

// A two-letter year field ("yy") becomes four letters; quoted literals stay.
icu::UnicodeString withFullYear(const icu::UnicodeString& pattern) {
  icu::UnicodeString out;
  bool quoted = false;
  for (int32_t i = 0; i < pattern.length();) {
    char16_t c = pattern.charAt(i);
    if (c == u'\'') quoted = !quoted;
    if (!quoted && c == u'y') {
      int32_t run = 0;
      while (i + run < pattern.length() && pattern.charAt(i + run) == u'y') ++run;
      for (int32_t k = 0; k < (run == 2 ? 4 : run); ++k) out.append(u'y');
      i += run;
      continue;
    }
    out.append(c);
    ++i;
  }
  return out;
}

std::string localeFromEnvironment(const char* value) {
  std::string id(value);
  if (auto cut = id.find_first_of(".@"); cut != std::string::npos) id.resize(cut);
  if (id.empty() || id == "C" || id == "POSIX") return "en_US";
  return id;
}

Text format(std::chrono::system_clock::time_point time, const icu::Locale& locale,
            std::unique_ptr<icu::TimeZone> zone) {
  std::unique_ptr<icu::DateFormat> date(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, locale));
  std::unique_ptr<icu::DateFormat> clock(icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium, locale));
  if (!date || !clock) throw ComError(E_FAIL, u"The date and time formats of the locale are missing.");
  icu::UnicodeString pattern = withFullYear(patternOf(date.get()));
  pattern.append(u' ').append(patternOf(clock.get()));

  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat formatter(pattern, locale, status);
  if (U_FAILURE(status))
    throw ComError(E_FAIL, u"Cannot format dates in the locale: " + fromUtf8(u_errorName(status)) + u".");
  formatter.adoptTimeZone(zone.release());
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  icu::UnicodeString text;
  formatter.format(static_cast<UDate>(ms), text);
  text.findAndReplace(icu::UnicodeString(u'\u202F'), icu::UnicodeString(u' '));
  text.findAndReplace(icu::UnicodeString(u'\u00A0'), icu::UnicodeString(u' '));
  return fromIcu(text);
}

} // namespace

Text getEnvironment(TextView name) {
  std::string key = toUtf8(name);
  if (!key.empty() && key.find('=') == std::string::npos) {
    if (const char* v = std::getenv(key.c_str()); v && *v) return fromUtf8(v);
  }
  return machineVariable(name);
}

Text currentDirectory() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? Text() : fromUtf8(cwd.string());
}

bool fileExists(TextView path) {
  if (path.empty()) return false;
  std::string p = toUtf8(replaceAll(path, u"\\", u"/"));
  std::error_code ec;
  return fs::is_regular_file(fs::path(p), ec);
}

std::string userLocale() {
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    if (const char* v = std::getenv(name); v && *v) return localeFromEnvironment(v);
  }
  return "en_US";
}

Text generalDateTime(std::chrono::system_clock::time_point time) {
  return format(time, icu::Locale(userLocale().c_str()),
                std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault()));
}

Text generalDateTime(std::chrono::system_clock::time_point time, std::string_view locale,
                     std::string_view timeZone) {
  std::unique_ptr<icu::TimeZone> zone(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
  if (!zone || *zone == icu::TimeZone::getUnknown())
    throw ComError(E_INVALIDARG, u"Unknown time zone '" + fromUtf8(timeZone) +
                                     u"': use an id like \"UTC\" or \"Europe/Berlin\".");
  return format(time, icu::Locale(std::string(locale).c_str()), std::move(zone));
}

} // namespace korvane::win32
