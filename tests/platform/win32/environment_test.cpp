#include "platform/win32/environment.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/com/hresult.h"
#include "platform/win32/machine.h"
#include "support/temp_server.h"

namespace korvane::win32 {
namespace {

using korvane::testing::ScopedEnv;
using korvane::testing::TempServer;

class EnvironmentTest : public ::testing::Test {
protected:
  void SetUp() override {
    MachineInfo m;
    m.computerName = u"EXCH01";
    m.userName = u"Admin";
    m.workstationDomain = u"CORP";
    setMachineInfo(m);
  }
  TempServer server_;
  ScopedEnv computer_{"COMPUTERNAME", std::nullopt};
  ScopedEnv user_{"USERNAME", std::nullopt};
  ScopedEnv domain_{"USERDOMAIN", std::nullopt};
  ScopedEnv logon_{"KORVANE_LOGON_USER", std::nullopt};
};

struct VariableRow {
  const char16_t* name;
  const char16_t* expected;
};

TEST_F(EnvironmentTest, MachineVariablesAreFilledFromTheMachineWhenTheProcessLacksThem) {
  const VariableRow rows[] = {{u"COMPUTERNAME", u"EXCH01"}, {u"computername", u"EXCH01"},
                              {u"USERNAME", u"Admin"},        {u"USERDOMAIN", u"CORP"},
                              {u"KORVANE_SURELY_UNSET_VARIABLE", u""}, {u"", u""}, {u"A=B", u""}};
  for (const auto& row : rows) EXPECT_EQ(getEnvironment(row.name), row.expected) << toUtf8(row.name);
}

TEST_F(EnvironmentTest, TheProcessEnvironmentAndTheLogonOverrideWinAndTheDomainFallsBackToTheComputer) {
  {
    ScopedEnv set("COMPUTERNAME", "NODE2"), as("KORVANE_LOGON_USER", "O'Brien");
    EXPECT_EQ(getEnvironment(u"COMPUTERNAME"), u"NODE2");
    EXPECT_EQ(getEnvironment(u"USERNAME"), u"O'Brien");
  }
  MachineInfo m = machineInfo();
  m.workstationError = NERR_DCNotFound;  // the workstation fails
  setMachineInfo(m);
  EXPECT_EQ(getEnvironment(u"USERDOMAIN"), u"EXCH01");
  // Without a server the variable stays empty.
  db::setServerDirectory(server_.dir() / "nothing-here");
  EXPECT_EQ(getEnvironment(u"COMPUTERNAME"), u"");
}

TEST_F(EnvironmentTest, FileExistenceTreatsBackslashAsSeparator) {
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
TEST(GeneralDate, IsShortDateWithFullYearAndMediumTime) {
  const DateRow rows[] = {{"en_US", "UTC", 1796612645, u"12/7/2026 3:04:05 AM"},
                          {"en_US", "UTC", 1796657400, u"12/7/2026 3:30:00 PM"},
                          {"en_US", "America/New_York", 1796612645, u"12/6/2026 10:04:05 PM"},
                          {"de_DE", "Europe/Berlin", 1796612645, u"07.12.2026 04:04:05"},
                          {"en_GB", "UTC", 1796612645, u"07/12/2026 03:04:05"}};
  for (const auto& row : rows) {
    const auto t = std::chrono::system_clock::time_point(std::chrono::seconds(row.unixSeconds));
    EXPECT_EQ(generalDateTime(t, row.locale, row.zone), row.expected) << row.locale << " " << row.zone;
  }
}

TEST(GeneralDateOfTheUser, HoldsTheYearAndAnUnknownTimeZoneIsRefused) {
  EXPECT_THROW(generalDateTime(std::chrono::system_clock::now(), "en_US", "Nowhere/Atlantis"), ComError);
  ScopedEnv all("LC_ALL", "en_US.UTF-8");
  auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1796612645));
  EXPECT_NE(generalDateTime(t).find(u"2026"), Text::npos);
}

} // namespace
} // namespace korvane::win32
