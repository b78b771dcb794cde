// The real Korvane.dll, loaded by path as the platform loads it: its four
// exports and self-registration in the registry (the event service creates
// it by ProgID on the delivery road).
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/com/runtime.h"
#include "platform/registry/registry.h"
#include "platform/store/exoledb.h"
#include "support/temp_server.h"

namespace korvane {
namespace {

using registry::Root;

constexpr Guid kClsid = "{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73}"_guid;
const Text kClassKey = u"CLSID\\{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73}";
const Text kTypeLibKey = u"TypeLib\\{48D19E50-5468-4427-9865-63B2902AF870}";

template <typename Fn>
Fn sinkExport(const char* name) {
  void* fn = nullptr;
  HRESULT h = loadLibraryExport(KORVANE_SINK_PATH, name, &fn);
  EXPECT_EQ(h, S_OK) << toUtf8(takeErrorInfo());
  return reinterpret_cast<Fn>(fn);
}

Text sinkPath() { return fromUtf8(std::filesystem::canonical(KORVANE_SINK_PATH).string()); }

std::optional<Text> text(TextView key, TextView name = u"") {
  return registry::getText(Root::ClassesRoot, key, name);
}

class SinkLibrary : public ::testing::Test {
protected:
  korvane::testing::TempServer server;
  DllRegisterServerFn registerServer = sinkExport<DllRegisterServerFn>("DllRegisterServer");
  DllUnregisterServerFn unregisterServer = sinkExport<DllUnregisterServerFn>("DllUnregisterServer");
  DllGetClassObjectFn getClassObject = sinkExport<DllGetClassObjectFn>("DllGetClassObject");
  DllCanUnloadNowFn canUnloadNow = sinkExport<DllCanUnloadNowFn>("DllCanUnloadNow");
};

TEST_F(SinkLibrary, RegistersClassProgIdAndTypeLibraryWithItsOwnPathAndUnregistersThem) {
  ASSERT_EQ(registerServer(), S_OK) << toUtf8(takeErrorInfo());
  EXPECT_EQ(text(kClassKey + u"\\InprocServer32"), sinkPath());
  EXPECT_EQ(text(kClassKey + u"\\InprocServer32", u"ThreadingModel"), u"Apartment");
  EXPECT_EQ(text(kClassKey + u"\\ProgID"), u"Korvane.KorvaneCls");
  EXPECT_EQ(text(u"Korvane.KorvaneCls\\CLSID"), u"{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73}");
  EXPECT_EQ(text(kTypeLibKey + u"\\1.0"), u"Korvane");
  EXPECT_EQ(text(kTypeLibKey + u"\\1.0\\0\\win32"), sinkPath());

  // Registering again changes nothing.
  ASSERT_EQ(registerServer(), S_OK);
  EXPECT_EQ(registry::subKeys(Root::ClassesRoot, kTypeLibKey), std::vector<Text>{u"1.0"});

  ASSERT_EQ(unregisterServer(), S_OK) << toUtf8(takeErrorInfo());
  for (const Text& key : {kClassKey, Text(u"Korvane.KorvaneCls"), kTypeLibKey,
                          Text(u"Interface\\{EF3B7EB0-8501-476B-BEA1-CE3331EF44EE}")})
    EXPECT_FALSE(registry::keyExists(Root::ClassesRoot, key)) << toUtf8(key);
  // Nothing registered: still success.
  EXPECT_EQ(unregisterServer(), S_OK);
}

TEST_F(SinkLibrary, UnregisterLeavesAProgIdThatNamesAnotherClass) {
  ASSERT_EQ(registerServer(), S_OK);
  registry::setValue(Root::ClassesRoot, u"Korvane.KorvaneCls\\CLSID", u"",
                     Variant(u"{11111111-2222-3333-4444-555555555555}"));
  ASSERT_EQ(unregisterServer(), S_OK);
  EXPECT_EQ(text(u"Korvane.KorvaneCls\\CLSID"), u"{11111111-2222-3333-4444-555555555555}");
  EXPECT_FALSE(registry::keyExists(Root::ClassesRoot, kClassKey));
}

TEST_F(SinkLibrary, RegisterWithoutAServerFailsAndSaysWhy) {
  db::Database::closeCurrent();
  db::setServerDirectory(korvane::testing::freshTestDirectory("korvane-sink-"));  // no database there
  HRESULT h = registerServer();
  EXPECT_TRUE(failed(h));
  EXPECT_FALSE(takeErrorInfo().empty());
  db::setServerDirectory(server.serverPath());
}

TEST_F(SinkLibrary, ClassObjectCreatesSinksAndUnloadWaitsForThemAndForALock) {
  ASSERT_EQ(canUnloadNow(), S_OK);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(&kClsid, &IClassFactory::iid, factory.putVoid()), S_OK);
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  ComPtr<exoledb::IExStoreSyncEvents> sink;
  ASSERT_EQ(factory->CreateInstance(nullptr, exoledb::IExStoreSyncEvents::iid, sink.putVoid()), S_OK);
  factory.reset();
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  sink.reset();
  EXPECT_EQ(canUnloadNow(), S_OK);

  // A lock holds the library with no object left.
  for (bool lock : {true, false}) {
    ASSERT_EQ(getClassObject(&kClsid, &IClassFactory::iid, factory.putVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(lock), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow(), lock ? S_FALSE : S_OK);
  }
}

// The four entry points are loaded by the fixture; the library's own code
// stays inside it.
TEST(SinkLibraryExports, OnlyTheFourEntryPointsAreVisible) {
  void* fn = nullptr;
  EXPECT_EQ(loadLibraryExport(KORVANE_SINK_PATH, "_ZN7korvane4sink22parseConstructorStringESt17basic_string_viewIDsSt11char_traitsIDsEE", &fn),
            CO_E_ERRORINDLL);
  takeErrorInfo();
}

} // namespace
} // namespace korvane
