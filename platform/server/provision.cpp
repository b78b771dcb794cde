#include "platform/server/provision.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/db/database.h"
#include "platform/db/fault.h"
#include "platform/directory/directory.h"
#include "platform/exchange/exchange.h"
#include "platform/store/store.h"
#include "platform/win32/machine.h"

namespace korvane::server {

namespace {

Text netbiosName(TextView dnsDomain) {
  auto dot = dnsDomain.find(u'.');
  return toUpperSimple(dnsDomain.substr(0, dot));
}

void addMailbox(TextView account, TextView cn, const Text& domain, std::optional<Text> homeServer) {
  directory::Person person;
  person.samAccountName = Text(account);
  person.cn = Text(cn);
  person.objectCategory = directory::personCategory(domain);
  person.homeServer = std::move(homeServer);
  directory::addPerson(person);
}

namespace fs = std::filesystem;

[[noreturn]] void refuse(const std::string& text) { throw ComError(db::E_DATABASE, fromUtf8(text)); }

// Where init builds: ".<name>.init-<pid>-XXXXXX" beside the server
// directory, made by mkdtemp: a name no one can guess and plant a link at.
std::string asidePrefix(const fs::path& dir) { return "." + dir.filename().string() + ".init-"; }

fs::path makeAside(const fs::path& dir) {
  std::string name = (dir.parent_path() / (asidePrefix(dir) + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (!::mkdtemp(name.data()))
    refuse("Cannot make a directory beside " + dir.string() + " to build the server in: " + std::strerror(errno) + ".");
  return name;
}

void refuseTaken(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) return;
  if (fs::exists(db::databaseFile(dir), ec))
    refuse("A server exists already at " + dir.string() + "; remove the directory first or choose another one.");
  if (!fs::is_directory(dir, ec) || !fs::is_empty(dir, ec))
    refuse(dir.string() + " exists and is not an empty directory; give a new or empty directory for the server.");
}

// What killed inits left: their processes are gone.
void removeAbandonedAsides(const fs::path& dir) {
  std::error_code ec;
  const std::string prefix = asidePrefix(dir);
  for (const auto& entry : fs::directory_iterator(dir.parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ec);
  }
}

void moveIntoPlace(const fs::path& aside, const fs::path& dir) {
  // No-replace when nothing is there; an empty directory is replaced as a
  // whole (rename fails if someone has filled it meanwhile).
  std::error_code ec;
  const bool emptyDirThere = fs::is_directory(dir, ec);
  const int rc = emptyDirThere ? std::rename(aside.c_str(), dir.c_str())
                               : ::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, dir.c_str(), RENAME_NOREPLACE);
  if (rc != 0) {
    if (errno == EEXIST || errno == ENOTEMPTY) refuseTaken(dir);
    refuse("Cannot move the new server into " + dir.string() + ": " + std::strerror(errno) + ".");
  }
}

} // namespace

void initServer(const fs::path& where, const ServerSetup& setup, bool sample) {
  fs::path dir = fs::absolute(where).lexically_normal();
  if (!dir.has_filename()) dir = dir.parent_path();  // "server/" names "server"
  if (dir == dir.root_path()) refuse("Give the server a directory of its own, not " + dir.string() + ".");
  refuseTaken(dir);
  removeAbandonedAsides(dir);
  const fs::path aside = makeAside(dir);
  try {
    createServer(aside, setup);
    db::faultPoint("server.init-content");
    if (sample) addSampleContent();
    db::faultPoint("server.init-move");
    db::Database::closeCurrent();  // folds the journal into the file before the move
    moveIntoPlace(aside, dir);
  } catch (...) {
    db::Database::closeCurrent();
    std::error_code ec;
    fs::remove_all(aside, ec);
    throw;
  }
  db::setServerDirectory(dir);
}

Text homeServerValue(TextView organisation, TextView server) {
  return u"/o=" + Text(organisation) + u"/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" +
         Text(server);
}

void createServer(const std::filesystem::path& dir, const ServerSetup& setup) {
  store::createServer(dir, {setup.host, setup.domain, {}});
  db::faultPoint("server.init-exchange");
  auto info = store::serverInfo();
  const Text computer = toUpperSimple(setup.host);

  win32::MachineInfo machine;
  machine.computerName = computer;
  machine.userName = setup.user;
  machine.workstationDomain = netbiosName(setup.domain);
  win32::setMachineInfo(machine);

  directory::setGlobalCatalogHost(u"dc01." + setup.domain);
  addMailbox(setup.user, setup.user, setup.domain, homeServerValue(setup.organisation, computer));

  exchange::addServer(computer);
  exchange::addStorageGroup(computer, u"First Storage Group");
  exchange::addFolderTree(u"Public Folders", exchange::kTreeMapi, u"http://" + setup.host + u"/public");
  exchange::NewPublicStore publicStore;
  publicStore.name = u"Public Folder Store (" + computer + u")";
  publicStore.folderTree = u"Public Folders";
  publicStore.guid = info.storeGuid;
  exchange::addPublicStore(computer, u"First Storage Group", publicStore);
}

void addSampleContent() {
  auto info = store::serverInfo();
  const Text mail = u"@" + info.domain;
  struct Sample {
    const char16_t* path;
    const char16_t* address;  // local part; empty: not mail-enabled
    const char16_t* contentClass;
    store::Access access = store::Access::Full;
    bool hidden = false;
  };
  const Sample samples[] = {
      {u"Sales", u"sales", u"urn:content-classes:mailfolder"},
      {u"Sales/Orders", u"orders", u"urn:content-classes:mailfolder"},
      {u"Sales/Quotes", u"quotes", u"urn:content-classes:mailfolder"},
      {u"Support", u"", u"urn:content-classes:folder"},
      {u"Support/Tickets", u"tickets", u"urn:content-classes:mailfolder"},
      {u"Support/Bob's Escalations", u"escalations", u"urn:content-classes:mailfolder"},
      {u"Team Calendar", u"calendar", u"urn:content-classes:calendarfolder"},
      {u"Contacts", u"contacts", u"urn:content-classes:contactfolder"},
      // Last at its level: the enumeration stops at a folder it cannot open
      // read/write, so the folders before it stay listed.
      {u"Sales/Quotes Archive", u"quotes-archive", u"urn:content-classes:mailfolder", store::Access::ReadOnly},
      {u"Internal", u"internal", u"urn:content-classes:mailfolder", store::Access::Full, true},
      {u"Forms", u"forms", u"urn:content-classes:mailfolder"},
  };
  for (const auto& s : samples) {
    store::FolderSpec spec;
    spec.path = s.path;
    if (*s.address) spec.mailAddress = Text(s.address) + mail;
    spec.contentClass = s.contentClass;
    spec.access = s.access;
    spec.hidden = s.hidden;
    if (spec.path == u"Forms")
      spec.description = u"Custom forms <origmsgcl>IPM.Note</origmsgcl><targetmsgcl>IPM.Note.Form</targetmsgcl>";
    store::createFolder(spec);
  }
  const Text computer = toUpperSimple(info.host);
  addMailbox(u"jsmith", u"John Smith", info.domain, homeServerValue(u"First Organization", computer));
  addMailbox(u"obrien", u"Pat O'Brien", info.domain, homeServerValue(u"First Organization", computer));
  addMailbox(u"guest", u"Guest", info.domain, std::nullopt);
}

} // namespace korvane::server
