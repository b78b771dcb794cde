#include <memory>

#include "lab/commands.h"
#include "lab/output.h"
#include "platform/com/runtime.h"
#include "platform/store/ado.h"
#include "platform/store/events.h"
#include "platform/store/store.h"

namespace korvane::lab {

namespace {

struct Target {
  std::string path;
  bool storeWide = false;
  std::string name = "Korvane.reg";
};

Text folderUrlOf(const Target& t) {
  if (t.storeWide) return store::globalEventsUrl();
  if (t.path.empty()) throw ComError(E_INVALIDARG, u"Give a folder PATH or --store-wide.");
  if (!store::findFolder(text(t.path)))
    throw ComError(E_INVALIDARG, u"There is no public folder \"" + text(t.path) + u"\" (see korvane-lab folder list).");
  return store::publicRootUrl() + u"/" + text(t.path);
}

ComPtr<ado::IConnection> openConnection(TextView url) {
  auto connection = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(connection->put_Provider(u"ExOLEDB.DataSource"));
  check(connection->Open(url, u"", u"", ado::adOpenUnspecified));
  return connection;
}

Variant connectionArg(const ComPtr<ado::IConnection>& c) { return Variant(ComPtr<IUnknown>(c.get())); }

void setField(ado::IFields* fields, TextView name, const Variant& value) {
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(name), field.put()));
  check(field->put_Value(value));
}

void addTargetOptions(CLI::App* cmd, Target& t) {
  cmd->add_option("PATH", t.path, "Folder path below the public root");
  cmd->add_flag("--store-wide", t.storeWide, "The store's GlobalEvents folder instead of a folder");
  cmd->add_option("--name", t.name, "Name of the registration item");
}

Text property(const store::ItemInfo& item, TextView name) { return item.properties.text(name); }

// Read as the event service reads the list.
std::string knownMethods(const std::string& list) {
  for (const Text& m : store::events::methodNames(fromUtf8(list)))
    if (!equalsIgnoreCase(m, u"onsyncsave") && !equalsIgnoreCase(m, u"onsyncdelete"))
      return "unknown event method '" + toUtf8(m) + "'";
  return {};
}

} // namespace

void addRegistrationCommands(CLI::App& app) {
  auto* reg = app.add_subcommand("reg", "Event registrations: add, delete, list");
  reg->require_subcommand(1);

  struct AddOptions {
    Target target;
    std::string sink, scope, priority = "65223", criteria = " WHERE \"DAV:ishidden\" = FALSE", method = "onsyncsave";
  };
  auto add = std::make_shared<AddOptions>();
  auto* addCmd = reg->add_subcommand("add", "Register an event sink on a folder or store-wide");
  addTargetOptions(addCmd, add->target);
  addCmd->add_option("--sink", add->sink, "ProgID of the sink class, e.g. Korvane.KorvaneCls")->required();
  // The event service reads any other scope as EXACT and ignores unknown
  // methods; a mistyped one here would register a sink that never runs.
  addCmd->add_option("--scope", add->scope, "SHALLOW, DEEP, EXACT or ANY (default SHALLOW, store-wide ANY)")
      ->check(CLI::IsMember({"SHALLOW", "DEEP", "EXACT", "ANY"}, CLI::ignore_case));
  addCmd->add_option("--priority", add->priority, "Priority, 0 is highest");
  addCmd->add_option("--criteria", add->criteria, "WHERE clause the saved item must satisfy");
  addCmd->add_option("--method", add->method, "Event methods, comma-separated: onsyncsave, onsyncdelete")
      ->check(knownMethods);
  addCmd->callback([add] {
    const Text folderUrl = folderUrlOf(add->target);
    const Text itemUrl = folderUrl + u"/" + text(add->target.name);
    Text scope = add->scope.empty() ? Text(add->target.storeWide ? u"ANY" : u"SHALLOW") : text(add->scope);
    auto connection = openConnection(folderUrl);
    auto record = createInstance<ado::IRecord>(u"ADODB.Record");
    check(record->Open(Variant(itemUrl), connectionArg(connection), ado::adModeReadWrite, ado::adCreateOverwrite,
                       ado::adDelayFetchFields, u"", u""));
    ComPtr<ado::IFields> fields;
    check(record->get_Fields(fields.put()));
    setField(fields.get(), store::prop::contentClass, Variant(u"urn:content-class:storeeventreg"));
    setField(fields.get(), store::prop::eventMethod, Variant(text(add->method)));
    setField(fields.get(), store::prop::sinkClass, Variant(text(add->sink)));
    setField(fields.get(), store::prop::matchScope, Variant(scope));
    setField(fields.get(), store::prop::criteria, Variant(text(add->criteria)));
    setField(fields.get(), store::prop::priority, Variant(text(add->priority)));
    setField(fields.get(), store::prop::isHidden, Variant(true));
    check(fields->Update());
    check(record->Close());
    std::printf("Registered %s at %s\n", add->sink.c_str(), utf8(itemUrl).c_str());
  });

  auto del = std::make_shared<Target>();
  auto* deleteCmd = reg->add_subcommand("delete", "Delete a registration item");
  addTargetOptions(deleteCmd, *del);
  deleteCmd->callback([del] {
    const Text itemUrl = folderUrlOf(*del) + u"/" + text(del->name);
    auto connection = openConnection(folderUrlOf(*del));
    auto record = createInstance<ado::IRecord>(u"ADODB.Record");
    check(record->Open(Variant(itemUrl), connectionArg(connection), ado::adModeReadWrite, ado::adFailIfNotExists,
                       ado::adOpenUnspecified, u"", u""));
    check(record->DeleteRecord(itemUrl, false));
    std::printf("Deleted %s\n", utf8(itemUrl).c_str());
  });

  auto json = std::make_shared<bool>(false);
  auto* listCmd = reg->add_subcommand("list", "List every event registration in the store");
  listCmd->add_flag("--json", *json, "Print JSON");
  listCmd->callback([json] {
    auto items = store::registrations();
    const char16_t* columns[] = {store::prop::sinkClass, store::prop::eventMethod, store::prop::matchScope,
                                 store::prop::priority, store::prop::criteria};
    if (*json) {
      Json out = Json::array();
      for (const auto& item : items)
        out.push_back({{"url", utf8(item.url)},
                       {"sink", utf8(property(item, columns[0]))},
                       {"method", utf8(property(item, columns[1]))},
                       {"scope", utf8(property(item, columns[2]))},
                       {"priority", utf8(property(item, columns[3]))},
                       {"criteria", utf8(property(item, columns[4]))}});
      return printJson(out);
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& item : items) {
      std::vector<std::string> row{utf8(item.url)};
      for (auto* c : columns) row.push_back(utf8(property(item, c)));
      rows.push_back(row);
    }
    printTable({"REGISTRATION", "SINK", "METHOD", "SCOPE", "PRIORITY", "CRITERIA"}, rows);
  });
}

} // namespace korvane::lab
