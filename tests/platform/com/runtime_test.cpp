#include "platform/com/runtime.h"

#include <algorithm>
#include <fstream>
#include <cstring>
#include <functional>
#include <sys/xattr.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "platform/com/dispatch.h"
#include "platform/com/runtime_libraries.h"
#include "platform/com/testserver/testserver.h"
#include "platform/registry/registry.h"
#include "support/temp_server.h"
#include "tests/platform/com/failure.h"

namespace korvane {
namespace {

using registry::Root;
using namespace korvane::testserver;
using testing::contains;
using testing::Failure;
using testing::failureOf;

const std::string kServerPath = KORVANE_TESTSERVER_PATH;

template <typename Fn>
Fn serverExport(const char* name) {
  void* fn = nullptr;
  check(loadLibraryExport(kServerPath, name, &fn));
  return reinterpret_cast<Fn>(fn);
}

void registerTestServer() { check(serverExport<DllRegisterServerFn>("DllRegisterServer")()); }

bool isLoaded(const std::string& path) {
  auto list = libraries::loaded();
  auto canonical = std::filesystem::weakly_canonical(path).string();
  return std::find(list.begin(), list.end(), canonical) != list.end();
}

class Runtime : public ::testing::Test {
protected:
  testing::TempServer server;
};

constexpr Guid kBuiltin = "{5A3E9E0C-7D11-4C55-8F0B-000000000001}"_guid;
// Never a built-in class (those stay registered for the whole process).
constexpr Guid kOther = "{5A3E9E0C-7D11-4C55-8F0B-000000000002}"_guid;

TEST_F(Runtime, BuiltinClassesResolveByProgIdIgnoringCaseAndComeBeforeTheRegistry) {
  // Its objects are those of another built-in class, counted.
  static int made;
  made = 0;
  registerBuiltinClass(kBuiltin, u"Korvane.Builtin", [](const Guid& iid, void** out) {
    ++made;
    return CoCreateInstance(classIdOf(u"ADODB.Connection"), nullptr, CLSCTX_ALL, iid, out);
  });
  // A registry entry of the same name must not win over the platform's class.
  registry::setValue(Root::ClassesRoot, u"Korvane.Builtin\\CLSID", u"", CLSID_Echo.toText());

  Guid clsid;
  ASSERT_EQ(CLSIDFromProgID(u"KORVANE.builtin", &clsid), S_OK);
  EXPECT_EQ(clsid, kBuiltin);
  Text progId;
  ASSERT_EQ(ProgIDFromCLSID(kBuiltin, &progId), S_OK);
  EXPECT_EQ(progId, u"Korvane.Builtin");
  EXPECT_TRUE(createInstance<IUnknown>(u"Korvane.Builtin"));
  // They need no server database.
  db::setServerDirectory(server.dir() / "missing");
  EXPECT_TRUE(createInstance<IUnknown>(u"korvane.builtin"));
  db::setServerDirectory(server.dir());
  EXPECT_EQ(made, 2);
}

struct ClassStringRow {
  const char16_t* text;
  const char16_t* mentioned;
};

TEST_F(Runtime, UnknownOrMalformedClassStringsNameWhatWasAskedFor) {
  registry::setValue(Root::ClassesRoot, u"Broken.Class\\CLSID", u"", u"not a guid");
  const ClassStringRow rows[] = {
      {u"Nobody.Here", u"\"Nobody.Here\""},
      {u"Broken.Class", u"\"Broken.Class\""},
      {u"{12345678-1234", u"\"{12345678-1234\""},
      {u"", u"\"\""},
      {u"A\\B", u"\"A\\B\""},
  };
  for (const auto& row : rows) {
    Failure f = testing::thrownBy([&] { classIdOf(row.text); });
    EXPECT_EQ(f.code, CO_E_CLASSSTRING) << toUtf8(row.text);
    EXPECT_TRUE(contains(f.description, row.mentioned)) << toUtf8(f.description);
  }
  EXPECT_EQ(classIdOf(u"{c0a7e5d1-3b21-4e7a-9b6f-1d2e3f405161}"), CLSID_Echo);
}

// A library is found again by the path it was reached by only while that
// path names the same file: a link turned to a copy loads the copy.
TEST_F(Runtime, ALibraryPathThatNowNamesAnotherFileLoadsThatFile) {
  namespace fs = std::filesystem;
  const fs::path copy = server.dir() / "copy.so", link = server.dir() / "link.so";
  fs::copy_file(kServerPath, copy);
  fs::create_symlink(kServerPath, link);
  void* first = libraries::load(fromUtf8(link.string()), u"");
  EXPECT_EQ(libraries::load(fromUtf8(kServerPath), u""), first);  // one file, two paths
  EXPECT_EQ(libraries::load(fromUtf8(link.string()), u""), first);
  fs::remove(link);
  fs::create_symlink(copy, link);
  EXPECT_NE(libraries::load(fromUtf8(link.string()), u""), first);
  EXPECT_TRUE(isLoaded(copy.string()));
}

struct TrustRow {
  const char* what;
  bool needsRoot;
  std::function<void(const std::filesystem::path& dir, const std::filesystem::path& library)> loosen;
  const char* refusedFor;  // null: the library loads
};

// Gives `uid` the permissions `perm` through an access control list whose
// mask is `mask`, in the form Linux keeps it (as setfacl would).
void grantThroughAcl(const std::filesystem::path& p, std::uint32_t uid, std::uint16_t perm, std::uint16_t mask) {
  std::string acl;
  auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
    put(tag, 2), put(permissions, 2), put(id, 4);
  };
  put(2, 4);
  entry(0x01, 7, ~0u), entry(0x02, perm, uid), entry(0x04, 5, ~0u), entry(0x10, mask, ~0u), entry(0x20, 5, ~0u);
  ASSERT_EQ(::setxattr(p.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0) << std::strerror(errno);
}

TEST_F(Runtime, ALibraryOtherUsersCouldChangeIsNotLoaded) {
  namespace fs = std::filesystem;
  using fs::perms;
  auto add = [](const fs::path& p, perms what) { fs::permissions(p, what, fs::perm_options::add); };
  auto chown = [](const fs::path& p, uid_t uid, gid_t gid) { ASSERT_EQ(::chown(p.c_str(), uid, gid), 0); };
  const TrustRow rows[] = {
      {"the library writable by all", false, [&](auto&, auto& lib) { add(lib, perms::others_write); }, "every user may write it"},
      {"its directory writable by all", false, [&](auto& dir, auto&) { add(dir, perms::others_all); }, "every user may write it"},
      {"a sticky directory writable by all", false, [&](auto& dir, auto&) { add(dir, perms::others_all | perms::sticky_bit); }, nullptr},
      {"writable by the owner's own group", false, [&](auto& dir, auto& lib) { add(dir, perms::group_write); add(lib, perms::group_write); }, nullptr},
      {"the library of another user", true, [&](auto&, auto& lib) { chown(lib, 65534, 0); }, "it belongs to user 65534"},
      {"its directory writable by another group", true, [&](auto& dir, auto&) { chown(dir, 0, 65534); add(dir, perms::group_write); }, "group 65534 may write it"},
      {"an access list letting another user write it", false, [&](auto&, auto& lib) { grantThroughAcl(lib, 65534, 6, 7); }, "lets user 65534 write it"},
      {"an access list whose mask withholds writing", false, [&](auto& dir, auto&) { grantThroughAcl(dir, 65534, 7, 5); }, nullptr},
      // The test server's RUNPATH starts with $ORIGIN/deps.
      {"a directory its search path names, writable by all", false,
       [&](auto& dir, auto&) { fs::create_directory(dir / "deps"); add(dir / "deps", perms::others_all); },
       "every user may write it; the library's search path names $ORIGIN/deps"},
      {"a search path directory below a sticky one", false,
       [&](auto& dir, auto&) { add(dir, perms::others_all | perms::sticky_bit); fs::create_directory(dir / "deps"); }, nullptr},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.needsRoot && ::geteuid() != 0) continue;
    const fs::path dir = server.dir() / ("trust" + std::to_string(++n)), library = dir / "Server.dll";
    fs::create_directory(dir);
    fs::permissions(dir, perms::owner_all | perms::group_read | perms::group_exec | perms::others_read | perms::others_exec);
    fs::copy_file(kServerPath, library);
    fs::permissions(library, perms::owner_all | perms::group_read | perms::others_read);
    row.loosen(dir, library);
    const Text path = fromUtf8(library.string());
    try {
      EXPECT_NE(libraries::load(path, u""), nullptr);
      EXPECT_EQ(row.refusedFor, nullptr) << "loaded";
    } catch (const ComError& e) {
      ASSERT_NE(row.refusedFor, nullptr) << toUtf8(e.description());
      EXPECT_EQ(e.code(), E_ACCESSDENIED);
      EXPECT_TRUE(contains(e.description(), fromUtf8(row.refusedFor))) << toUtf8(e.description());
      EXPECT_TRUE(contains(e.description(), path) || contains(e.description(), fromUtf8(dir.string())));
    }
  }
  // A library loaded before is refused once others could write it in place.
  const fs::path late = server.dir() / "trust1" / "Server.dll";
  fs::permissions(late, perms::others_write, fs::perm_options::remove);
  ASSERT_NE(libraries::load(fromUtf8(late.string()), u""), nullptr);
  add(late, perms::others_write);
  EXPECT_THROW(libraries::load(fromUtf8(late.string()), u""), ComError);
}

struct CreateFailureRow {
  const char* what;
  Text dll;  // registered for the class; empty: the class is not registered
  HRESULT code;
  Text says;
};

TEST_F(Runtime, ClassesThatCannotBeCreatedSayWhyWithPathAndClass) {
  const Text other = kOther.toText(), bogus = fromUtf8((server.dir() / "Bogus.dll").string());
  const Text directory = fromUtf8(server.dir().string()), self = fromUtf8(kServerPath);
  std::ofstream(toUtf8(bogus)) << "this is not a shared object\n";
  Text progId;
  EXPECT_EQ(ProgIDFromCLSID(kOther, &progId), REGDB_E_CLASSNOTREG);
  const CreateFailureRow rows[] = {
      {"not registered", u"", REGDB_E_CLASSNOTREG, other},
      {"missing library", u"\\nowhere\\Gone.dll", CO_E_DLLNOTFOUND,
       u"The library \\nowhere\\Gone.dll of class " + other + u" was not found."},
      {"not a library", bogus, CO_E_ERRORINDLL, u"The library " + bogus + u" of class " + other + u" could not be loaded: "},
      {"a directory", directory, CO_E_ERRORINDLL, u" is not a library file."},
      {"a class the library lacks", self, CLASS_E_CLASSNOTAVAILABLE, other},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (!row.dll.empty()) registry::setValue(Root::ClassesRoot, u"CLSID\\" + other + u"\\InprocServer32", u"", row.dll);
    takeErrorInfo();
    ComPtr<IUnknown> out;
    Failure f = failureOf(CoCreateInstance(kOther, nullptr, CLSCTX_ALL, IUnknown::iid, out.putVoid()));
    EXPECT_FALSE(out);
    EXPECT_EQ(f.code, row.code);
    EXPECT_TRUE(contains(f.description, row.says)) << toUtf8(f.description);
  }
}

TEST_F(Runtime, AggregationMissingOutPointersAndMissingInterfacesAreRefused) {
  registerTestServer();
  auto echo = createInstance<IUnknown>(CLSID_Echo);
  void* out = &out;
  EXPECT_EQ(CoCreateInstance(CLSID_Echo, echo.get(), CLSCTX_ALL, IUnknown::iid, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_ALL, IUnknown::iid, nullptr), E_POINTER);
  EXPECT_EQ(CLSIDFromProgID(u"KorvaneTest.Echo", nullptr), E_POINTER);
  echo.reset();
  // An interface the object lacks: nothing handed out, nothing left alive.
  out = &out;
  EXPECT_EQ(CoCreateInstance(CLSID_Plain, nullptr, CLSCTX_ALL, IClassFactory::iid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(serverExport<LiveObjectsFn>("KorvaneTestServerLiveObjects")(), 0);
}

// A registered server is loaded by its path, however spelled, and stays
// while its objects live; it goes when it agrees, and comes back on demand.
TEST_F(Runtime, ARegisteredServerIsLoadedByPathAndStaysWhileItsObjectsLive) {
  registerTestServer();
  EXPECT_EQ(classIdOf(u"koRVANEtest.echo"), CLSID_Echo);
  Text progId;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_Plain, &progId), S_OK);
  EXPECT_EQ(progId, kPlainProgId);
  auto calls = serverExport<CanUnloadCallsFn>("KorvaneTestServerCanUnloadCalls");
  long before = calls();
  {
    auto echo = createInstance<IDispatch>(u"KorvaneTest.Echo");
    // Backslashes in a registered path are separators: one library, however its path was spelled.
    Text windowsStyle = replaceAll(fromUtf8(kServerPath), u"/", u"\\");
    registry::setValue(Root::ClassesRoot, u"CLSID\\" + CLSID_Plain.toText() + u"\\InprocServer32", u"", windowsStyle);
    EXPECT_EQ(getProperty(createInstance<IDispatch>(CLSID_Plain).get(), u"Kind"), Variant(u"plain"));
    auto list = libraries::loaded();
    EXPECT_EQ(std::count(list.begin(), list.end(), std::filesystem::weakly_canonical(kServerPath).string()), 1);
    freeUnusedLibraries();
    EXPECT_EQ(calls(), before + 1);
    EXPECT_TRUE(isLoaded(kServerPath));
    EXPECT_EQ(invoke(echo.get(), u"Ping"), Variant(u"pong"));
  }
  shutdownRuntime();
  EXPECT_FALSE(isLoaded(kServerPath));
  // The next activation loads it again.
  auto again = createInstance<IDispatch>(CLSID_Echo);
  EXPECT_EQ(invoke(again.get(), u"Ping"), Variant(u"pong"));
  EXPECT_TRUE(isLoaded(kServerPath));
}

TEST_F(Runtime, MissingExportsAreReported) {
  void* fn = &fn;  // found exports are what serverExport above calls
  takeErrorInfo();
  EXPECT_EQ(loadLibraryExport(kServerPath, "NoSuchExport", &fn), CO_E_ERRORINDLL);
  EXPECT_TRUE(contains(takeErrorInfo(), u"NoSuchExport"));
  EXPECT_EQ(fn, nullptr);
  EXPECT_EQ(loadLibraryExport((server.dir() / "none.dll").string(), "DllRegisterServer", &fn), CO_E_DLLNOTFOUND);
}

} // namespace
} // namespace korvane
