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

class MachineVariables : public EnvironmentTest, public ::testing::WithParamInterface<VariableRow> {};

TEST_P(MachineVariables, AreFilledFromTheMachineWhenTheProcessLacksThem) {
  EXPECT_EQ(getEnvironment(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, MachineVariables,
                         ::testing::Values(VariableRow{u"COMPUTERNAME", u"EXCH01"},
                                           VariableRow{u"computername", u"EXCH01"},
                                           VariableRow{u"USERNAME", u"Admin"},
                                           VariableRow{u"USERDOMAIN", u"CORP"},
                                           VariableRow{u"KORVANE_SURELY_UNSET_VARIABLE", u""},
                                           VariableRow{u"", u""},
                                           VariableRow{u"A=B", u""}));

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

struct FileRow {
  const char16_t* relative;  // under the scratch directory; "" = the path is empty
  bool exists;
};

class FileExistence : public EnvironmentTest, public ::testing::WithParamInterface<FileRow> {};

TEST_P(FileExistence, TreatsBackslashAsSeparator) {
  auto dir = server_.dir() / "sub";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "Korvane.dll") << "x";
  Text rel = GetParam().relative;
  Text path = rel.empty() ? Text() : fromUtf8(server_.dir().string()) + rel;
  EXPECT_EQ(fileExists(path), GetParam().exists) << toUtf8(path);
}

INSTANTIATE_TEST_SUITE_P(Rows, FileExistence,
                         ::testing::Values(FileRow{u"\\sub\\Korvane.dll", true},
                                           FileRow{u"/sub/Korvane.dll", true},
                                           FileRow{u"/sub\\Korvane.dll", true},
                                           FileRow{u"\\sub", false},  // a directory
                                           FileRow{u"\\sub\\Other.dll", false},
                                           FileRow{u"\\missing\\Korvane.dll", false},
                                           FileRow{u"", false}));

struct LocaleRow {
  const char* lcAll;
  const char* lcTime;
  const char* lang;
  const char* expected;
};

class UserLocale : public ::testing::TestWithParam<LocaleRow> {};

TEST_P(UserLocale, FollowsThePosixOrderOfVariables) {
  auto opt = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
  ScopedEnv all("LC_ALL", opt(GetParam().lcAll));
  ScopedEnv time("LC_TIME", opt(GetParam().lcTime));
  ScopedEnv lang("LANG", opt(GetParam().lang));
  EXPECT_EQ(userLocale(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, UserLocale,
                         ::testing::Values(LocaleRow{nullptr, nullptr, nullptr, "en_US"},
                                           LocaleRow{nullptr, nullptr, "de_DE.UTF-8", "de_DE"},
                                           LocaleRow{nullptr, "fr_FR@euro", "de_DE", "fr_FR"},
                                           LocaleRow{"en_GB.UTF-8", "fr_FR", "de_DE", "en_GB"},
                                           LocaleRow{nullptr, nullptr, "C.UTF-8", "en_US"},
                                           LocaleRow{nullptr, nullptr, "POSIX", "en_US"}));

struct DateRow {
  const char* locale;
  const char* zone;
  std::int64_t unixSeconds;
  const char16_t* expected;
};

class GeneralDate : public ::testing::TestWithParam<DateRow> {};

TEST_P(GeneralDate, IsShortDateWithFullYearAndMediumTime) {
  auto t = std::chrono::system_clock::time_point(std::chrono::seconds(GetParam().unixSeconds));
  EXPECT_EQ(generalDateTime(t, GetParam().locale, GetParam().zone), GetParam().expected);
}

// 1796612645 is 2026-12-07 03:04:05 UTC; 1796657400 is 2026-12-07 15:30:00 UTC.
INSTANTIATE_TEST_SUITE_P(
    Rows, GeneralDate,
    ::testing::Values(DateRow{"en_US", "UTC", 1796612645, u"12/7/2026 3:04:05 AM"},
                      DateRow{"en_US", "UTC", 1796657400, u"12/7/2026 3:30:00 PM"},
                      DateRow{"en_US", "America/New_York", 1796612645, u"12/6/2026 10:04:05 PM"},
                      DateRow{"de_DE", "Europe/Berlin", 1796612645, u"07.12.2026 04:04:05"},
                      DateRow{"en_GB", "UTC", 1796612645, u"07/12/2026 03:04:05"}));

TEST(GeneralDateOfTheUser, HoldsTheYearAndAnUnknownTimeZoneIsRefused) {
  EXPECT_THROW(generalDateTime(std::chrono::system_clock::now(), "en_US", "Nowhere/Atlantis"), ComError);
  ScopedEnv all("LC_ALL", "en_US.UTF-8");
  auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1796612645));
  EXPECT_NE(generalDateTime(t).find(u"2026"), Text::npos);
}

} // namespace
} // namespace korvane::win32
