#include <memory>

#include "lab/commands.h"
#include "lab/output.h"
#include "platform/store/store.h"

namespace korvane::lab {

namespace {

store::Access accessFrom(const std::string& name) {
  auto access = store::parseAccess(text(name));
  if (!access) throw ComError(E_INVALIDARG, u"Unknown access \"" + text(name) + u"\": use full, read-only or none.");
  return *access;
}

Json folderJson(const store::FolderInfo& f) {
  return Json{{"path", utf8(f.path)},          {"url", utf8(f.url)},
              {"name", utf8(f.name)},          {"mail", utf8(f.mailAddress)},
              {"contentclass", utf8(f.contentClass)}, {"description", utf8(f.description)},
              {"hidden", f.hidden},            {"access", utf8(store::accessName(f.access))}};
}

} // namespace

void addFolderCommands(CLI::App& app) {
  auto* folder = app.add_subcommand("folder", "Public folders: add, list, set");
  folder->require_subcommand(1);

  struct AddOptions {
    std::string path, mail, contentClass = "urn:content-classes:mailfolder", description, access = "full";
    bool hidden = false, parents = false;
  };
  auto add = std::make_shared<AddOptions>();
  auto* addCmd = folder->add_subcommand("add", "Create a public folder (PATH like Sales/Orders)");
  addCmd->add_option("PATH", add->path, "Folder path below the public root")->required();
  addCmd->add_option("--mail", add->mail, "E-mail address (makes the folder mail-enabled)");
  addCmd->add_option("--contentclass", add->contentClass, "DAV:contentclass of the folder");
  addCmd->add_option("--description", add->description, "Folder description (\\r, \\t escapes allowed)");
  addCmd->add_flag("--hidden", add->hidden, "Create it hidden");
  addCmd->add_option("--access", add->access, "full, read-only or none");
  addCmd->add_flag("--parents", add->parents, "Create missing parent folders");
  addCmd->callback([add] {
    store::FolderSpec spec;
    spec.path = text(add->path);
    spec.mailAddress = text(add->mail);
    spec.contentClass = text(add->contentClass);
    spec.description = unescape(add->description);
    spec.hidden = add->hidden;
    spec.access = accessFrom(add->access);
    spec.createParents = add->parents;
    auto created = store::createFolder(spec);
    std::printf("Created %s\n", utf8(created.url).c_str());
  });

  auto json = std::make_shared<bool>(false);
  auto* listCmd = folder->add_subcommand("list", "List every public folder");
  listCmd->add_flag("--json", *json, "Print JSON");
  listCmd->callback([json] {
    auto folders = store::listFolders();
    if (*json) {
      Json out = Json::array();
      for (const auto& f : folders) out.push_back(folderJson(f));
      return printJson(out);
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& f : folders)
      rows.push_back({utf8(f.path), utf8(f.mailAddress), utf8(f.contentClass), utf8(store::accessName(f.access)),
                      f.hidden ? "hidden" : "", utf8(f.description)});
    printTable({"PATH", "E-MAIL", "CONTENT CLASS", "ACCESS", "", "DESCRIPTION"}, rows);
  });

  struct SetOptions {
    std::string path;
    std::optional<std::string> mail, description, access;
  };
  auto set = std::make_shared<SetOptions>();
  auto* setCmd = folder->add_subcommand("set", "Change a folder's e-mail address, description or access");
  setCmd->add_option("PATH", set->path, "Folder path")->required();
  setCmd->add_option("--mail", set->mail, "New e-mail address (empty removes it)");
  setCmd->add_option("--description", set->description, "New description (\\r, \\t escapes allowed)");
  setCmd->add_option("--access", set->access, "full, read-only or none");
  setCmd->callback([set] {
    if (!set->mail && !set->description && !set->access)
      throw ComError(E_INVALIDARG, u"Nothing to change: give --mail, --description or --access.");
    std::optional<store::Access> access;
    if (set->access) access = accessFrom(*set->access);  // checked before anything changes
    store::Properties values;
    if (set->mail) values.set(store::prop::mailAddress, Variant(text(*set->mail)));
    if (set->description) values.set(store::prop::description, Variant(unescape(*set->description)));
    if (!values.empty()) store::setFolderProperties(text(set->path), values);
    if (access) store::setFolderAccess(text(set->path), *access);
    std::printf("Changed %s\n", set->path.c_str());
  });
}

} // namespace korvane::lab
