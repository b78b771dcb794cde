#include "platform/win32/winapi.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/win32/environment.h"
#include "platform/win32/machine.h"
#include "support/temp_server.h"

namespace korvane::win32 {
namespace {

using korvane::testing::ScopedEnv;
using korvane::testing::TempServer;

// The machine EXCH01, its user Admin in the domain CORP, and none of the
// variables that would override them.
class Win32Test : public ::testing::Test {
protected:
  void SetUp() override {
    MachineInfo m;
    m.computerName = u"EXCH01";
    m.userName = u"Admin";
    m.workstationDomain = u"CORP";
    setMachineInfo(m);
  }
  template <typename Change>
  void changeMachine(Change change) {
    MachineInfo m = machineInfo();
    change(m);
    setMachineInfo(m);
  }
  TempServer server_;
  ScopedEnv computer_{"COMPUTERNAME", std::nullopt};
  ScopedEnv user_{"USERNAME", std::nullopt};
  ScopedEnv domain_{"USERDOMAIN", std::nullopt};
  ScopedEnv logon_{"KORVANE_LOGON_USER", std::nullopt};
};

// "Admin": five letters and the terminating zero make size 6. Names beyond
// ASCII, counted in UTF-8 bytes: see the unicode tests' UserNames.
TEST_F(Win32Test, GetUserNameCopiesTheNameOrReportsTheSizeNeeded) {
  const std::pair<std::uint32_t, bool> rows[] = {{255, true}, {6, true}, {5, false}, {0, false}};
  for (const auto& [bufferSize, ok] : rows) {
    SCOPED_TRACE(bufferSize);
    std::vector<char> buffer(256, ' ');
    const std::vector<char> before = buffer;
    std::uint32_t size = bufferSize;
    EXPECT_EQ(GetUserNameA(buffer.data(), &size) != 0, ok);
    EXPECT_EQ(size, 6u);
    if (ok) {
      EXPECT_STREQ(buffer.data(), "Admin");
      EXPECT_EQ(buffer[size], ' ') << "wrote past the terminating zero";
    } else {
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      EXPECT_EQ(buffer, before) << "a failed call must not touch the buffer";
    }
  }
}

TEST_F(Win32Test, GetUserNameWithoutBufferReportsTheSizeFollowsTheLogonUserAndWithoutServerFailsCleanly) {
  std::uint32_t size = 0;
  EXPECT_EQ(GetUserNameA(nullptr, &size), 0);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(GetUserNameA(nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  char buffer[255];
  {
    ScopedEnv as("KORVANE_LOGON_USER", "bob");  // a process started as another user
    size = sizeof buffer;
    ASSERT_NE(GetUserNameA(buffer, &size), 0);
    EXPECT_STREQ(buffer, "bob");
    EXPECT_EQ(size, 4u);
  }
  db::Database::closeCurrent();
  db::setServerDirectory(server_.dir() / "nothing-here");
  size = sizeof buffer;
  EXPECT_EQ(GetUserNameA(buffer, &size), 0);
  EXPECT_NE(GetLastError(), 0u);
}

// Reads a workstation buffer the way the setup does: 28 bytes as seven
// 32-bit fields, then the text that a field names.
std::vector<std::uint32_t> fieldsOf(const std::uint8_t* buffer, int count) {
  std::vector<std::uint32_t> f(static_cast<size_t>(count));
  RtlMoveMemory(f.data(), buffer, f.size() * 4);
  return f;
}

Text textAt(std::uint32_t handle) {
  const char16_t* p = rtlText(handle);
  Text out(static_cast<size_t>(lstrlenW(p)), u'\0');
  RtlMoveMemory(out.data(), p, out.size() * 2);
  return out;
}

struct WorkstationRow {
  const char16_t* serverName;
  std::uint32_t level;
  std::uint32_t configuredError;
  std::uint32_t expected;
};

TEST_F(Win32Test, WorkstationInfoAnswersOrFailsWithoutABuffer) {
  const WorkstationRow rows[] = {
      {u"\\\\exch01", 102, 0, NERR_Success},  // names ignore case (the setup asks by the name itself)
      {nullptr, 102, 0, NERR_Success},         // the local machine
      {u"", 101, 0, NERR_Success},
      {u"\\\\EXCH01", 100, 0, NERR_Success},
      {u"EXCH01", 102, 0, ERROR_BAD_NETPATH},  // no backslashes
      {u"\\\\", 102, 0, ERROR_BAD_NETPATH},
      {u"\\\\OTHER", 102, 0, ERROR_BAD_NETPATH},
      {u"\\\\EXCH01X", 102, 0, ERROR_BAD_NETPATH},
      {u"\\\\EXCH01", 103, 0, ERROR_INVALID_LEVEL},
      {u"\\\\EXCH01", 102, NERR_DCNotFound, NERR_DCNotFound},
      {u"\\\\EXCH01", 102, NERR_WkstaNotStarted, NERR_WkstaNotStarted},
  };
  for (const WorkstationRow& row : rows) {
    SCOPED_TRACE((row.serverName ? toUtf8(row.serverName) : "null") + " level " + std::to_string(row.level));
    changeMachine([&](MachineInfo& m) { m.workstationError = row.configuredError; });
    std::uint8_t* buffer = reinterpret_cast<std::uint8_t*>(1);
    const std::uint32_t rc = NetWkstaGetInfo(row.serverName, row.level, &buffer);
    EXPECT_EQ(rc, row.expected);
    if (rc == NERR_Success) {
      ASSERT_NE(buffer, nullptr);
      EXPECT_EQ(textAt(fieldsOf(buffer, 3)[2]), u"CORP");
    } else {
      EXPECT_EQ(buffer, nullptr);
    }
    EXPECT_EQ(NetApiBufferFree(buffer), NERR_Success);  // null is fine too
  }
}

TEST_F(Win32Test, WorkstationBuffersHoldSevenFieldsOfTheirOwnAndAreFreedOnceAndBadHandlesAreSafe) {
  std::uint8_t* first = nullptr;
  ASSERT_EQ(NetWkstaGetInfo(u"\\\\EXCH01", 102, &first), NERR_Success);
  changeMachine([](MachineInfo& m) { m.workstationDomain = u"M\u00dcNCHEN"; });  // arrives whole
  std::uint8_t* second = nullptr;
  ASSERT_EQ(NetWkstaGetInfo(nullptr, 102, &second), NERR_Success);
  auto f1 = fieldsOf(first, 7);
  auto f2 = fieldsOf(second, 7);
  EXPECT_EQ(textAt(f1[1]), u"EXCH01");
  EXPECT_NE(f1[1], f1[2]);
  EXPECT_EQ(textAt(f2[2]), u"M\u00dcNCHEN");
  EXPECT_EQ(NetApiBufferFree(second), NERR_Success);
  EXPECT_EQ(NetApiBufferFree(second), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(textAt(f1[2]), u"CORP");  // the third field, the LAN group, of the buffer still held
  EXPECT_EQ(rtlText(f2[2]), nullptr) << "handles of a freed buffer must not resolve";
  EXPECT_EQ(NetApiBufferFree(first), NERR_Success);
  int local = 0;
  EXPECT_EQ(NetApiBufferFree(&local), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(NetWkstaGetInfo(nullptr, 102, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rtlText(0), nullptr);
  EXPECT_EQ(rtlText(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  char overlap[] = "abcdef";  // the copy may overlap
  RtlMoveMemory(overlap + 1, overlap, 4);
  EXPECT_STREQ(overlap, "aabcdf");
}

TEST_F(Win32Test, InvalidMachinesAreRefusedAndNothingIsStored) {
  const std::pair<const char16_t*, const char16_t*> rows[] = {
      {u"", u"Admin"},     {u"EX CH", u"Admin"}, {u"EX\\CH", u"Admin"}, {u"EXCH01", u""},
      {u"EXCH01", u"a\\b"}, {u"EXCH01", u"a]b"},  {u"EXCH01", u" . "}};
  for (const auto& [computer, user] : rows) {
    MachineInfo bad;
    bad.computerName = computer;
    bad.userName = user;
    EXPECT_THROW(setMachineInfo(bad), ComError) << toUtf8(computer) << " " << toUtf8(user);
  }
  EXPECT_EQ(machineInfo().computerName, u"EXCH01");
  EXPECT_EQ(machineInfo().userName, u"Admin");
}

// The process's variables first, then the logon user, then the machine.
TEST_F(Win32Test, MachineVariablesFillWhatTheProcessLacksAndTheDomainFallsBackToTheComputer) {
  const std::pair<const char16_t*, const char16_t*> rows[] = {
      {u"COMPUTERNAME", u"EXCH01"}, {u"computername", u"EXCH01"},
      {u"USERNAME", u"Admin"},      {u"USERDOMAIN", u"CORP"},
      {u"KORVANE_SURELY_UNSET_VARIABLE", u""}, {u"", u""}, {u"A=B", u""}};
  for (const auto& [name, expected] : rows) EXPECT_EQ(getEnvironment(name), expected) << toUtf8(name);
  {
    ScopedEnv set("COMPUTERNAME", "NODE2"), as("KORVANE_LOGON_USER", "O'Brien");
    EXPECT_EQ(getEnvironment(u"COMPUTERNAME"), u"NODE2");
    EXPECT_EQ(getEnvironment(u"USERNAME"), u"O'Brien");
  }
  changeMachine([](MachineInfo& m) { m.workstationError = NERR_DCNotFound; });  // the workstation fails
  EXPECT_EQ(getEnvironment(u"USERDOMAIN"), u"EXCH01");
  // Without a server the variable stays empty.
  db::setServerDirectory(server_.dir() / "nothing-here");
  EXPECT_EQ(getEnvironment(u"COMPUTERNAME"), u"");
}

TEST_F(Win32Test, FileExistenceTreatsBackslashAsSeparator) {
  std::filesystem::create_directories(server_.dir() / "sub");
  std::ofstream(server_.dir() / "sub" / "Korvane.dll") << "x";
  // Under the scratch directory; "" stands for an empty path. "\\sub" is a directory.
  const std::pair<const char16_t*, bool> rows[] = {
      {u"\\sub\\Korvane.dll", true},       {u"/sub/Korvane.dll", true}, {u"/sub\\Korvane.dll", true},
      {u"\\sub", false},                   {u"\\sub\\Other.dll", false}, {u"\\missing\\Korvane.dll", false},
      {u"", false}};
  for (const auto& [relative, exists] : rows) {
    const Text path = *relative ? fromUtf8(server_.dir().string()) + relative : Text();
    EXPECT_EQ(fileExists(path), exists) << toUtf8(path);
  }
}

struct LocaleRow {
  const char* lcAll;
  const char* lcTime;
  const char* lang;
  const char* expected;
};

TEST(UserLocale, FollowsThePosixOrderOfVariables) {
  const LocaleRow rows[] = {{nullptr, nullptr, nullptr, "en_US"},
                            {nullptr, nullptr, "de_DE.UTF-8", "de_DE"},
                            {nullptr, "fr_FR@euro", "de_DE", "fr_FR"},
                            {"en_GB.UTF-8", "fr_FR", "de_DE", "en_GB"},
                            {nullptr, nullptr, "C.UTF-8", "en_US"},
                            {nullptr, nullptr, "POSIX", "en_US"}};
  auto opt = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
  for (const auto& row : rows) {
    ScopedEnv all("LC_ALL", opt(row.lcAll)), time("LC_TIME", opt(row.lcTime));
    ScopedEnv lang("LANG", opt(row.lang));
    EXPECT_EQ(userLocale(), row.expected) << opt(row.lcAll).value_or("-") << " " << opt(row.lcTime).value_or("-")
                                          << " " << opt(row.lang).value_or("-");
  }
}

struct DateRow {
  const char* locale;
  const char* zone;
  std::int64_t unixSeconds;
  const char16_t* expected;
};

// 1796612645 is 2026-12-07 03:04:05 UTC; 1796657400 is 2026-12-07 15:30:00 UTC.
TEST(GeneralDate, IsShortDateWithFullYearAndMediumTimeInAKnownZone) {
  const DateRow rows[] = {{"en_US", "UTC", 1796612645, u"12/7/2026 3:04:05 AM"},
                          {"en_US", "UTC", 1796657400, u"12/7/2026 3:30:00 PM"},
                          {"en_US", "America/New_York", 1796612645, u"12/6/2026 10:04:05 PM"},
                          {"de_DE", "Europe/Berlin", 1796612645, u"07.12.2026 04:04:05"},
                          {"en_GB", "UTC", 1796612645, u"07/12/2026 03:04:05"}};
  for (const auto& row : rows) {
    const auto t = std::chrono::system_clock::time_point(std::chrono::seconds(row.unixSeconds));
    EXPECT_EQ(generalDateTime(t, row.locale, row.zone), row.expected) << row.locale << " " << row.zone;
  }
  EXPECT_THROW(generalDateTime(std::chrono::system_clock::now(), "en_US", "Nowhere/Atlantis"), ComError);
  ScopedEnv all("LC_ALL", "en_US.UTF-8");
  auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1796612645));
  EXPECT_NE(generalDateTime(t).find(u"2026"), Text::npos);
}

} // namespace
} // namespace korvane::win32
