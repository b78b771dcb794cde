#include <memory>

#include "lab/commands.h"
#include "lab/output.h"
#include "platform/db/database.h"
#include "platform/directory/directory.h"
#include "platform/exchange/exchange.h"
#include "platform/registry/registry.h"
#include "platform/server/provision.h"
#include "platform/store/store.h"
#include "platform/win32/machine.h"

namespace korvane::lab {

namespace {

void addInit(CLI::App& app) {
  struct Options {
    bool sample = false;
    std::string host = "exch01", domain = "corp.example.com", user = "Administrator";
  };
  auto o = std::make_shared<Options>();
  auto* cmd = app.add_subcommand("init", "Create an emulated server in the server directory");
  cmd->add_flag("--sample", o->sample, "Add a realistic public folder tree and users");
  cmd->add_option("--host", o->host, "Host name of the server");
  cmd->add_option("--domain", o->domain, "DNS domain of the forest");
  cmd->add_option("--user", o->user, "The logged-on user");
  cmd->callback([o] {
    server::ServerSetup setup;
    setup.host = text(o->host);
    setup.domain = text(o->domain);
    setup.user = text(o->user);
    server::initServer(db::serverDirectory(), setup, o->sample);
    auto info = store::serverInfo();
    std::printf("Created server %s (%s) at %s; public store %s\n", utf8(info.host).c_str(), utf8(info.domain).c_str(),
                db::serverDirectory().c_str(), utf8(info.storeGuid).c_str());
  });
}

void addInfo(CLI::App& app) {
  auto* cmd = app.add_subcommand("info", "Show the server, its machine, directory and Exchange configuration");
  cmd->callback([] {
    auto info = store::serverInfo();
    auto machine = win32::machineInfo();
    std::printf("server directory  %s\n", db::serverDirectory().c_str());
    std::printf("host              %s\n", utf8(info.host).c_str());
    std::printf("public root       %s\n", utf8(store::publicRootUrl()).c_str());
    std::printf("global events     %s\n", utf8(store::globalEventsUrl()).c_str());
    std::printf("computer name     %s\n", utf8(machine.computerName).c_str());
    std::printf("logged-on user    %s\n", utf8(win32::logonUser()).c_str());
    std::printf("workstation       %s\n", machine.workstationError
                                              ? ("fails with error " + std::to_string(machine.workstationError)).c_str()
                                              : utf8(machine.workstationDomain).c_str());
    std::printf("cluster node      %s\n", registry::keyExists(registry::Root::LocalMachine, u"Cluster") ? "yes" : "no");
    auto gc = directory::globalCatalogHost();
    std::printf("global catalog    %s\n", gc ? utf8(*gc).c_str() : "(none)");
    for (const auto& server : exchange::listServers())
      for (const auto& group : exchange::storageGroups(server))
        for (const auto& s : group.publicStores)
          std::printf("public store      %s / %s / %s  %s  tree %s  %s\n", utf8(server).c_str(), utf8(group.name).c_str(),
                      utf8(s.name).c_str(), s.mounted ? "mounted" : "dismounted",
                      s.folderTree ? utf8(*s.folderTree).c_str() : "(none)", utf8(s.guid).c_str());
  });
}

void addUsers(CLI::App& app) {
  auto* user = app.add_subcommand("user", "Directory users: add, list, remove");
  user->require_subcommand(1);
  struct Options {
    std::string name, cn, homeServer;
    bool noMailbox = false;
  };
  auto o = std::make_shared<Options>();
  auto* add = user->add_subcommand("add", "Add a person to the directory");
  add->add_option("NAME", o->name, "sAMAccountName")->required();
  add->add_option("--cn", o->cn, "Common name (default: NAME)");
  auto* home = add->add_option("--home-server", o->homeServer, "Server holding the mailbox (default: this server)");
  add->add_flag("--no-mailbox", o->noMailbox, "A user without mailbox")->excludes(home);
  add->callback([o] {
    auto info = store::serverInfo();
    directory::Person person;
    person.samAccountName = text(o->name);
    person.cn = text(o->cn.empty() ? o->name : o->cn);
    person.objectCategory = directory::personCategory(info.domain);
    if (!o->noMailbox)
      person.homeServer = server::homeServerValue(
          u"First Organization", o->homeServer.empty() ? toUpperSimple(info.host) : text(o->homeServer));
    directory::addPerson(person);
    std::printf("Added %s\n", o->name.c_str());
  });
  auto json = std::make_shared<bool>(false);
  auto* list = user->add_subcommand("list", "List the directory's persons");
  list->add_flag("--json", *json, "Print JSON");
  list->callback([json] {
    auto persons = directory::listPersons();
    if (*json) {
      Json out = Json::array();
      for (const auto& p : persons)
        out.push_back({{"sAMAccountName", utf8(p.samAccountName)}, {"cn", utf8(p.cn)},
                       {"objectCategory", utf8(p.objectCategory)},
                       {"msExchHomeServerName", p.homeServer ? Json(utf8(*p.homeServer)) : Json()}});
      return printJson(out);
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& p : persons)
      rows.push_back({utf8(p.samAccountName), utf8(p.cn), p.homeServer ? utf8(*p.homeServer) : "(no mailbox)"});
    printTable({"ACCOUNT", "NAME", "HOME SERVER"}, rows);
  });
  auto name = std::make_shared<std::string>();
  auto* remove = user->add_subcommand("remove", "Remove a person");
  remove->add_option("NAME", *name, "sAMAccountName")->required();
  remove->callback([name] {
    if (!directory::removePerson(text(*name)))
      throw ComError(E_INVALIDARG, u"There is no user \"" + text(*name) + u"\" in the directory.");
    std::printf("Removed %s\n", name->c_str());
  });
}

void addMachine(CLI::App& app) {
  auto* machine = app.add_subcommand("machine", "The emulated machine: logged-on user, workstation domain");
  struct Options {
    std::optional<std::string> computer, user, domain;
    std::optional<std::uint32_t> fails;
    bool works = false;
  };
  auto o = std::make_shared<Options>();
  machine->add_option("--computer", o->computer, "Computer name");
  machine->add_option("--user", o->user, "Logged-on user");
  machine->add_option("--domain", o->domain, "Workstation domain");
  auto* fails = machine->add_option("--domain-fails", o->fails, "Make the workstation query fail with this code");
  machine->add_flag("--domain-works", o->works, "Let the workstation query succeed again")->excludes(fails);
  machine->callback([o] {
    auto info = win32::machineInfo();
    if (o->computer) info.computerName = text(*o->computer);
    if (o->user) info.userName = text(*o->user);
    if (o->domain) info.workstationDomain = text(*o->domain);
    if (o->fails) info.workstationError = *o->fails;
    if (o->works) info.workstationError = 0;
    win32::setMachineInfo(info);
    std::printf("computer %s, user %s, workstation %s\n", utf8(info.computerName).c_str(), utf8(info.userName).c_str(),
                info.workstationError ? ("fails with " + std::to_string(info.workstationError)).c_str()
                                      : utf8(info.workstationDomain).c_str());
  });
}

void addCluster(CLI::App& app) {
  auto* cluster = app.add_subcommand("cluster", "Make the machine a cluster node or not");
  auto state = std::make_shared<std::string>();
  cluster->add_option("STATE", *state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  cluster->callback([state] {
    if (*state == "on")
      registry::createKey(registry::Root::LocalMachine, u"Cluster");
    else
      registry::deleteKey(registry::Root::LocalMachine, u"Cluster");
    std::printf("cluster node: %s\n", state->c_str());
  });
}

void addExchange(CLI::App& app) {
  auto* ex = app.add_subcommand("exchange", "Exchange configuration: servers, storage groups, stores, trees");
  ex->require_subcommand(1);
  struct Options {
    std::string server, group, store, tree, root;
    int type = 1;
    bool dismounted = false;
  };
  auto o = std::make_shared<Options>();

  auto* server = ex->add_subcommand("server", "Add a server object");
  server->add_option("SERVER", o->server)->required();
  server->callback([o] { exchange::addServer(text(o->server)); });

  auto* group = ex->add_subcommand("group", "Add a storage group to a server");
  group->add_option("SERVER", o->server)->required();
  group->add_option("GROUP", o->group)->required();
  group->callback([o] { exchange::addStorageGroup(text(o->server), text(o->group)); });

  auto* tree = ex->add_subcommand("tree", "Add a folder tree");
  tree->add_option("NAME", o->tree)->required();
  tree->add_option("--type", o->type, "1 = MAPI public folders, 0 = general purpose");
  tree->add_option("--root", o->root, "Root folder URL")->required();
  tree->callback([o] { exchange::addFolderTree(text(o->tree), o->type, text(o->root)); });

  auto* store = ex->add_subcommand("store", "Add a public store to a storage group");
  store->add_option("SERVER", o->server)->required();
  store->add_option("GROUP", o->group)->required();
  store->add_option("STORE", o->store)->required();
  store->add_option("--tree", o->tree, "Folder tree of the store");
  store->add_flag("--dismounted", o->dismounted, "Add it dismounted");
  store->callback([o] {
    exchange::NewPublicStore s;
    s.name = text(o->store);
    if (!o->tree.empty()) s.folderTree = text(o->tree);
    s.mounted = !o->dismounted;
    exchange::addPublicStore(text(o->server), text(o->group), s);
  });

  for (const char* verb : {"mount", "dismount"}) {
    auto* cmd = ex->add_subcommand(verb, std::string(verb) + " a public store");
    cmd->add_option("SERVER", o->server)->required();
    cmd->add_option("GROUP", o->group)->required();
    cmd->add_option("STORE", o->store)->required();
    bool mount = std::string(verb) == "mount";
    cmd->callback([o, mount] {
      if (mount)
        exchange::mountPublicStore(text(o->server), text(o->group), text(o->store));
      else
        exchange::dismountPublicStore(text(o->server), text(o->group), text(o->store));
    });
  }
}

} // namespace

void addServerCommands(CLI::App& app) {
  addInit(app);
  addInfo(app);
  addUsers(app);
  addMachine(app);
  addCluster(app);
  addExchange(app);
}

} // namespace korvane::lab
