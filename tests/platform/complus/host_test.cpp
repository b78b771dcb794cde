// Server applications: the sink runs in the application's host process,
// a host that dies or overruns the time limit costs one failed call and an
// event-log entry, a stopped host is ended and replaced, idle hosts end, and
// the host takes the identity's account.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "faultysink/faultysink.h"
#include "tests/platform/complus/catalog_fixture.h"
#include "platform/complus/admin.h"
#include "platform/complus/host.h"
#include "platform/complus/host_files.h"
#include "platform/store/eventlog.h"
#include "platform/store/names.h"
#include "support/server_fixture.h"

namespace korvane::complus {
namespace {

using namespace std::chrono_literals;
using korvane::testing::ScopedEnv;
namespace prop = store::prop;

const Text kLibrary = fromUtf8(KORVANE_FAULTYSINK_PATH);
constexpr char kPassword[] = "Pa55-never-shown";

class ServerApplication : public korvane::testing::ServerFixture {
protected:
  void SetUp() override {
    ServerFixture::SetUp();
    store::createFolder(korvane::testing::mailFolder(u"Sales", u"sales@corp.example.com"));
  }

  // Installs the sink and registers it on "Sales"; the host that checked
  // the registration is ended, so that the next one sees the test's faults.
  void install(TextView identity = u"", TextView library = kLibrary) {
    appId_ = Catalog().installApplication(u"Faulty", library, identity, fromUtf8(kPassword), Text(u"construct me")).id;
    store::Properties reg{{prop::contentClass, Variant(store::contentclass::registration)},
                          {prop::eventMethod, Variant(u"onsyncsave")},
                          {prop::sinkClass, Variant(faultysink::kProgId)},
                          {prop::matchScope, Variant(u"SHALLOW")},
                          {prop::isHidden, Variant(true)}};
    store::save(u"Sales", u"Faulty.reg", reg);
    host::shutdown(appId_);
  }

  store::SaveOutcome deliver() {
    return store::deliver(u"Sales", {{prop::subject, Variant(u"Order")}, {prop::messageClass, Variant(u"IPM.Note")}});
  }

  std::vector<store::EventEntry> events(store::EventLevel level) {
    std::vector<store::EventEntry> out;
    for (auto& e : store::listEvents())
      if (e.level == level) out.push_back(e);
    return out;
  }

  // The log holds one entry of `level`, and it says each of `parts`.
  void expectOneEvent(store::EventLevel level, std::initializer_list<Text> parts) {
    auto found = events(level);
    ASSERT_EQ(found.size(), 1u);
    for (const Text& part : parts) EXPECT_NE(found[0].text.find(part), Text::npos) << toUtf8(found[0].text);
  }

  // The host's state once it is `running` (with its pid) or not, waiting
  // up to 10 s: a busy machine may be slow to start or end one.
  host::Status waitForHost(bool running) {
    for (int i = 0; i < 100; ++i) {
      auto s = host::status(appId_);
      if (s.running == running && (!running || s.pid > 0)) return s;
      std::this_thread::sleep_for(100ms);
    }
    return host::status(appId_);
  }

  Text appId_;
};

TEST_F(ServerApplication, TheSinkRunsInTheHostAndItsChangeIsSavedInOneRoundTrip) {
  install();
  auto before = host::roundTrips();
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
  // Creation, the begin phase (reading and writing the item) and the commit phase.
  EXPECT_EQ(host::roundTrips() - before, 3u);
  before = host::roundTrips();
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
  EXPECT_EQ(host::roundTrips() - before, 2u);  // the object kept from the first save
  EXPECT_TRUE(waitForHost(true).running);
  EXPECT_TRUE(store::listEvents().empty());

  // The kept object serves only while the catalog still says what it was made
  // from: a new constructor string reaches the next save's new object, kept in turn.
  const auto dir = workDir() / "held";
  std::filesystem::create_directories(dir);
  auto catalog = testing::newCatalog();
  auto components = testing::componentsOf(testing::applications(catalog.get()).get(), appId_);
  testing::put(testing::item(components.get(), 0).get(), u"ConstructorString", Variant(dir.u16string()));
  testing::save(components.get());
  deliver();
  deliver();
  std::ifstream log(dir / "calls.log");
  std::map<std::string, int> seen;
  for (std::string pid, event, phase, rest; log >> pid >> event >> phase && std::getline(log, rest);)
    ++seen[event + " " + phase];
  EXPECT_EQ(seen, (decltype(seen){{"construct none", 1}, {"save begin", 2}, {"save committed", 2}}));
}

// The worker that keeps the caller's object is killed between two saves:
// the next save finds it gone before it calls, and gets a new one.
TEST_F(ServerApplication, AWorkerKilledBetweenSavesCostsTheNextSaveNothing) {
  install();
  deliver();
  const int host = waitForHost(true).pid;
  std::ifstream children("/proc/" + std::to_string(host) + "/task/" + std::to_string(host) + "/children");
  int worker = 0;
  ASSERT_TRUE(children >> worker) << "the host has no worker";
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  for (int i = 0; i < 200 && ::kill(worker, 0) == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
  EXPECT_TRUE(store::listEvents().empty());
}

TEST_F(ServerApplication, AHostLostInTheCommitPhaseKeepsTheBeginPhasesChangeAndSaysSo) {
  install();
  ScopedEnv fault(faultysink::kFaultVariable, "commit");
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
  expectOneEvent(store::EventLevel::Error, {u"SIGSEGV", u"was written already; the sink missed only its commit phase"});
}

struct Fault {
  const char* name;
  const char* note;  // what the event log says happened
};

class HostFault : public ServerApplication, public ::testing::WithParamInterface<Fault> {};

TEST_P(HostFault, CostsOneErrorEventAndTheNextActivationStartsAFreshHost) {
  install();
  host::setSinkTimeLimit(1);
  // Through a file: the host, started with the fault, outlives it.
  auto faultFile = workDir() / "fault";
  ScopedEnv fault(faultysink::kFaultVariable, "@" + faultFile.string());
  std::ofstream(faultFile) << GetParam().name;
  auto outcome = deliver();
  EXPECT_FALSE(outcome.aborted);
  EXPECT_EQ(outcome.messageClass, u"IPM.Note");  // saved as it came
  std::ofstream(faultFile).flush();
  expectOneEvent(store::EventLevel::Error, {u"\"Faulty\"", kLibrary, fromUtf8(GetParam().note)});
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
}

INSTANTIATE_TEST_SUITE_P(Faults, HostFault,
                         ::testing::Values(Fault{"factory", "SIGSEGV"}, Fault{"construct", "SIGSEGV"},
                                           Fault{"crash", "SIGSEGV"}, Fault{"abort", "SIGABRT"},
                                           Fault{"kill", "without a word"}, Fault{"exit", "exit(3)"},
                                           Fault{"hang", "time limit of 1 s"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ItemUse {
  const char* name;
  bool aborted;
  bool deleted;
  const char16_t* warning;  // part of the one warning it gives, if any
};

class HostedItem : public ServerApplication, public ::testing::WithParamInterface<ItemUse> {};

// What the sink does to the item, and the errors it meets doing it, come
// out of the host as they do in the caller's own process.
TEST_P(HostedItem, IsUsedAsInTheCallersProcess) {
  const ItemUse& use = GetParam();
  install();
  ScopedEnv behaviour(faultysink::kFaultVariable, use.name);
  struct Seen {
    store::SaveOutcome outcome;
    std::vector<Text> warnings;  // the item's URL taken out
  };
  auto run = [&] {
    Seen seen{deliver(), {}};
    for (const auto& w : events(store::EventLevel::Warning))
      seen.warnings.push_back(replaceAll(w.text, seen.outcome.url, u"<item>"));
    for (const auto& e : events(store::EventLevel::Error)) ADD_FAILURE() << toUtf8(e.text);
    store::clearEvents();
    return seen;
  };
  Seen hosted = run();
  Catalog().setServerApplication(appId_, false);
  Seen inProcess = run();
  for (const Seen* seen : {&hosted, &inProcess}) {
    EXPECT_EQ(seen->outcome.aborted, use.aborted);
    EXPECT_EQ(seen->outcome.deleted, use.deleted);
    ASSERT_EQ(seen->warnings.size(), use.warning ? 1u : 0u);
    if (use.warning) {
      EXPECT_NE(seen->warnings[0].find(use.warning), Text::npos) << toUtf8(seen->warnings[0]);
    }
  }
  EXPECT_EQ(hosted.outcome.abortedBy, inProcess.outcome.abortedBy);
  EXPECT_EQ(hosted.outcome.messageClass, inProcess.outcome.messageClass);
  EXPECT_EQ(hosted.warnings, inProcess.warnings);
}

INSTANTIATE_TEST_SUITE_P(Uses, HostedItem,
                         ::testing::Values(ItemUse{"veto", true, false, nullptr}, ItemUse{"delete", false, true, nullptr},
                                           ItemUse{"computed", false, false, u"computed by the store"},
                                           ItemUse{"late", false, false, u"opened for reading only"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each caller has a process of the host to itself: while one caller's sink
// hangs, another caller's save through the same application goes through.
TEST_F(ServerApplication, ASinkHeldInOneCallerHoldsUpNoOtherCaller) {
  install();
  auto faultFile = workDir() / "fault", pidFile = workDir() / "sink.pid";
  std::ofstream(faultFile) << "hang";
  ScopedEnv fault(faultysink::kFaultVariable, "@" + faultFile.string());
  ScopedEnv where(faultysink::kPidFileVariable, pidFile.string());
  db::Database::closeCurrent();
  FILE* held = ::popen(KORVANE_LAB_PATH " deliver Sales --class IPM.Note", "w");  // its output is the test's
  ASSERT_TRUE(held);
  int heldPid = 0;  // written by the hanging sink; waited for up to 10 s
  for (int i = 0; i < 400 && !(std::ifstream(pidFile) >> heldPid); ++i) std::this_thread::sleep_for(25ms);
  ASSERT_GT(heldPid, 0) << "the held caller's sink never ran";

  std::ofstream(faultFile).flush();
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
  EXPECT_NE(heldPid, waitForHost(true).pid);  // a worker, not the host itself

  ::kill(heldPid, SIGKILL);
  const int status = ::pclose(held);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  expectOneEvent(store::EventLevel::Error, {u"\"Faulty\""});  // the held caller's lost sink
}

TEST_F(ServerApplication, AHostThatCannotStartIsNamedAndTheSaveGoesOn) {
  install();
  ScopedEnv program("KORVANE_COMHOST", (workDir() / "no-such-comhost").string());
  EXPECT_EQ(deliver().messageClass, u"IPM.Note");
  expectOneEvent(store::EventLevel::Error, {u"no-such-comhost is missing"});
}

// Every caller opens the host's lock file for writing and connects to its
// socket: both are the owner's to use whatever the umask of the first.
TEST_F(ServerApplication, AStrictUmaskLocksNoLaterCallerOut) {
  install();
  const mode_t old = ::umask(0277);
  auto outcome = deliver();
  ::umask(old);
  EXPECT_EQ(outcome.messageClass, faultysink::kRewritten);
  for (const auto& file : {host::files::lockFile(appId_), host::files::socketFile(appId_)}) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
}

TEST_F(ServerApplication, AnIdleHostEndsAndTheNextActivationStartsAnother) {
  host::setIdleShutdown(1);
  install();
  deliver();
  int first = waitForHost(true).pid;
  EXPECT_GT(first, 0);
  EXPECT_FALSE(waitForHost(false).running);
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
  EXPECT_NE(waitForHost(true).pid, first);
}

TEST_F(ServerApplication, RemovingTheApplicationOrMakingItALibraryEndsTheHost) {
  install();
  deliver();
  ASSERT_TRUE(host::status(appId_).running);
  Catalog().setServerApplication(appId_, false);
  EXPECT_FALSE(host::status(appId_).running);
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);  // in this process now
  EXPECT_FALSE(host::status(appId_).running);

  Catalog().setServerApplication(appId_, true);
  deliver();
  ASSERT_TRUE(host::status(appId_).running);
  Catalog().removeApplication(u"Faulty");
  EXPECT_FALSE(host::status(appId_).running);
}

// Whether the process ends (or is left a zombie) within 2 s.
bool ends(int pid) {
  for (int i = 0; i < 200; ++i) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (stat >> pidField >> name >> state && state == "Z") return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// A delivery by the lab, a caller of its own, as a mail service makes it:
// what it printed and how long it took.
std::pair<std::string, std::chrono::steady_clock::duration> labDelivery() {
  auto start = std::chrono::steady_clock::now();
  FILE* out = ::popen(KORVANE_LAB_PATH " deliver Sales --class IPM.Note 2>&1", "r");
  std::string printed;
  for (char buffer[256]; out && std::fgets(buffer, sizeof buffer, out);) printed += buffer;
  if (out) ::pclose(out);
  return {printed, std::chrono::steady_clock::now() - start};
}

class StoppedHost : public ServerApplication, public ::testing::WithParamInterface<const char16_t*> {
protected:
  void SetUp() override {
    ServerApplication::SetUp();
    if (*GetParam() && ::geteuid() != 0) GTEST_SKIP() << "switching accounts needs the superuser";
  }
};

// A stopped host still takes connections. The next caller ends it after a
// short wait and its delivery gets the sink from a fresh host; the caller
// after that is not held up at all. Shutdown kills a stopped host too.
TEST_P(StoppedHost, IsEndedByTheNextCallerOrByShutdown) {
  install(GetParam());
  deliver();
  const int stopped = waitForHost(true).pid;
  ASSERT_GT(stopped, 0);
  ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
  db::Database::closeCurrent();
  for (int i = 0; i < 2; ++i) {
    auto [printed, took] = labDelivery();
    EXPECT_EQ(printed, toUtf8(faultysink::kRewritten) + "\n") << i;
    EXPECT_LT(took, 10s) << i;
  }
  EXPECT_TRUE(ends(stopped));
  expectOneEvent(store::EventLevel::Warning, {u"\"Faulty\"", u"(pid " + fromUtf8(std::to_string(stopped)) + u")",
                                              u"did not answer", u"it was ended"});
  EXPECT_TRUE(events(store::EventLevel::Error).empty());

  const int fresh = waitForHost(true).pid;
  ASSERT_GT(fresh, 0);
  EXPECT_NE(fresh, stopped);
  ASSERT_EQ(::kill(fresh, SIGSTOP), 0);
  const auto seen = host::status(appId_);  // named by its socket's peer, since it cannot greet
  EXPECT_EQ(std::tuple(seen.running, seen.pid, seen.answering), std::tuple(true, fresh, false));
  const auto ended = host::shutdown(appId_);
  EXPECT_EQ(std::tuple(ended.running, ended.pid, ended.answered, ended.gone),
            std::tuple(true, fresh, false, true));
  EXPECT_TRUE(ends(fresh));
  EXPECT_FALSE(host::status(appId_).running);
}

INSTANTIATE_TEST_SUITE_P(Accounts, StoppedHost, ::testing::Values(u"", u"CORP\\nobody"),
                         [](const auto& info) { return *info.param ? "RunAs" : "Caller"; });

uid_t uidOf(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Uid:", 0) == 0) return static_cast<uid_t>(std::stoul(line.substr(4)));
  return static_cast<uid_t>(-1);
}

struct Identity {
  const char* name;
  const char16_t* identity;
  const char* account;  // the host's account; null: the caller's
};

class HostIdentity : public ServerApplication, public ::testing::WithParamInterface<Identity> {};

TEST_P(HostIdentity, IsTheLocalAccountOfTheUserNameElseTheCallerWithOneWarningPerStart) {
  const Identity& p = GetParam();
  if (p.account && ::geteuid() != 0) GTEST_SKIP() << "switching accounts needs the superuser";
  install(p.identity);
  deliver();
  deliver();
  auto s = waitForHost(true);
  ASSERT_TRUE(s.running);
  uid_t expected = p.account ? ::getpwnam(p.account)->pw_uid : ::geteuid();
  EXPECT_EQ(uidOf(s.pid), expected);
  auto warnings = events(store::EventLevel::Warning);
  // The registration's host started once too.
  EXPECT_EQ(warnings.size(), p.account ? 0u : 2u);
  for (const auto& w : warnings) EXPECT_NE(w.text.find(u"no local account"), Text::npos) << toUtf8(w.text);
  for (const char* what : {"cmdline", "environ"}) {
    std::ifstream file("/proc/" + std::to_string(s.pid) + "/" + what);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(content.empty());
    EXPECT_EQ(content.find(kPassword), std::string::npos) << what;
  }
  EXPECT_EQ(deliver().messageClass, faultysink::kRewritten);
}

// A library that the superuser reaches but the run-as account cannot is
// named as such, not as missing.
TEST_F(ServerApplication, ALibraryTheRunAsAccountCannotReachIsNamedSo) {
  if (::geteuid() != 0 || !::getpwnam("nobody")) GTEST_SKIP() << "switching accounts needs the superuser";
  const auto dir = workDir() / "private";
  std::filesystem::create_directory(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  std::filesystem::copy_file(KORVANE_FAULTYSINK_PATH, dir / "Faulty.dll");
  const auto f = testing::thrownBy([&] { install(u"CORP\\nobody", (dir / "Faulty.dll").u16string()); });
  EXPECT_TRUE(testing::contains(f.description, u"cannot be reached by the account this process runs as"))
      << toUtf8(f.description);
}

INSTANTIATE_TEST_SUITE_P(Identities, HostIdentity,
                         ::testing::Values(Identity{"LocalAccount", u"CORP\\nobody", "nobody"},
                                           Identity{"NoSuchAccount", u"CORP\\svc-korvane-nobody-has", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvane::complus
