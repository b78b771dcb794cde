#include "platform/win32/machine.h"

#include <cstdlib>

#include "platform/com/hresult.h"
#include "platform/db/database.h"

namespace korvane::win32 {

namespace {

db::Database& machineDb() {
  auto& db = db::Database::current();
  db.ensureSchema("win32.machine", R"sql(
    CREATE TABLE IF NOT EXISTS win32_machine(
      id INTEGER PRIMARY KEY CHECK (id = 1),
      computer_name TEXT NOT NULL,
      user_name TEXT NOT NULL,
      workstation_domain TEXT NOT NULL,
      workstation_error INTEGER NOT NULL DEFAULT 0);
  )sql");
  return db;
}

bool validComputerName(TextView name) {
  if (name.empty() || name.size() > 63) return false;
  for (char16_t c : name) {
    bool ok = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
              c == u'-' || c == u'_';
    if (!ok) return false;
  }
  return true;
}

// Windows account names: at most 256 characters, none of "/\[]:;|=,+*?<>
// and no control characters; not made of blanks and periods only.
bool validUserName(TextView name) {
  if (name.empty() || name.size() > 256) return false;
  bool substantive = false;
  for (char16_t c : name) {
    if (c < 0x20 || Text(u"\"/\\[]:;|=,+*?<>").find(c) != Text::npos) return false;
    if (c != u' ' && c != u'.') substantive = true;
  }
  return substantive;
}

} // namespace

MachineInfo machineInfo() {
  auto s = machineDb().prepare(
      "SELECT computer_name, user_name, workstation_domain, workstation_error FROM win32_machine "
      "WHERE id = 1");
  MachineInfo info;
  if (s.step()) {
    info.computerName = s.text(0);
    info.userName = s.text(1);
    info.workstationDomain = s.text(2);
    info.workstationError = static_cast<std::uint32_t>(s.integer(3));
  }
  return info;
}

void setMachineInfo(const MachineInfo& info) {
  if (!validComputerName(info.computerName))
    throw ComError(E_INVALIDARG, u"The computer name '" + info.computerName +
                                     u"' is not valid: use 1 to 63 letters, digits, '-' or '_'.");
  if (!validUserName(info.userName))
    throw ComError(E_INVALIDARG, u"The user name '" + info.userName +
                                     u"' is not valid: use 1 to 256 characters without "
                                     u"\"/\\[]:;|=,+*?<> or control characters.");
  machineDb()
      .prepare(
          "INSERT INTO win32_machine(id, computer_name, user_name, workstation_domain, "
          "workstation_error) VALUES (1, ?, ?, ?, ?) ON CONFLICT(id) DO UPDATE SET "
          "computer_name = excluded.computer_name, user_name = excluded.user_name, "
          "workstation_domain = excluded.workstation_domain, "
          "workstation_error = excluded.workstation_error")
      .bind(1, TextView(info.computerName))
      .bind(2, TextView(info.userName))
      .bind(3, TextView(info.workstationDomain))
      .bind(4, std::int64_t{info.workstationError})
      .run();
}

Text logonUser() {
  if (const char* v = std::getenv("KORVANE_LOGON_USER"); v && *v) return fromUtf8(v);
  return machineInfo().userName;
}

} // namespace korvane::win32
