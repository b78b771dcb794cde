#include "platform/server/provision.h"

#include "platform/db/database.h"
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

} // namespace

Text homeServerValue(TextView organisation, TextView server) {
  return u"/o=" + Text(organisation) + u"/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" +
         Text(server);
}

void createServer(const std::filesystem::path& dir, const ServerSetup& setup) {
  store::createServer(dir, {setup.host, setup.domain, {}});
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
