#include <memory>

#include "lab/commands.h"
#include "lab/output.h"
#include "platform/store/store.h"

namespace korvane::lab {

namespace {

void requireFolder(const std::string& path) {
  if (!store::findFolder(text(path)))
    throw ComError(E_INVALIDARG, u"There is no public folder \"" + text(path) + u"\" (see korvane-lab folder list).");
}

void printOutcome(const store::SaveOutcome& outcome) {
  if (outcome.aborted)
    std::printf("(aborted by %s)\n", escapeControls(outcome.abortedBy).c_str());
  else if (outcome.deleted)
    std::printf("(deleted)\n");
  else
    std::printf("%s\n", escapeControls(outcome.messageClass).c_str());
}

struct ItemOptions {
  std::string path, messageClass, subject, name;
  bool dryRun = false;
};

store::Properties itemProperties(const ItemOptions& o) {
  store::Properties p;
  p.set(store::prop::messageClass, Variant(text(o.messageClass)));
  if (!o.subject.empty()) p.set(store::prop::subject, Variant(text(o.subject)));
  return p;
}

// The From of a message received by mail, else its envelope sender.
Text senderOf(const store::ItemInfo& item) {
  Text from = item.properties.text(store::prop::from);
  return from.empty() ? item.properties.text(store::prop::envelopeSender) : from;
}

} // namespace

void addItemCommands(CLI::App& app) {
  auto deliver = std::make_shared<ItemOptions>();
  auto* deliverCmd = app.add_subcommand("deliver", "Deliver one item into a folder; prints its class after the save");
  deliverCmd->add_option("PATH", deliver->path, "Folder path")->required();
  deliverCmd->add_option("--class", deliver->messageClass, "Message class of the delivered item")->required();
  deliverCmd->add_option("--subject", deliver->subject, "Subject (default: the class)");
  deliverCmd->add_flag("--dry-run", deliver->dryRun, "Run the begin phase and roll the save back");
  deliverCmd->callback([deliver] {
    requireFolder(deliver->path);
    if (deliver->subject.empty()) deliver->subject = deliver->messageClass.empty() ? "Message" : deliver->messageClass;
    printOutcome(store::deliver(text(deliver->path), itemProperties(*deliver), deliver->dryRun));
  });

  auto save = std::make_shared<ItemOptions>();
  auto* saveCmd = app.add_subcommand("save", "A plain save of an item (no delivered flag)");
  saveCmd->add_option("PATH", save->path, "Folder path")->required();
  saveCmd->add_option("--class", save->messageClass, "Message class")->required();
  saveCmd->add_option("--name", save->name, "Item name (default: Saved.EML)");
  saveCmd->add_option("--subject", save->subject, "Subject");
  saveCmd->callback([save] {
    requireFolder(save->path);
    printOutcome(store::save(text(save->path), text(save->name.empty() ? "Saved.EML" : save->name),
                             itemProperties(*save)));
  });

  struct ListOptions {
    std::string path;
    bool json = false;
  };
  auto items = std::make_shared<ListOptions>();
  auto* itemsCmd = app.add_subcommand("items", "List the items of a folder with their message class");
  itemsCmd->add_option("PATH", items->path, "Folder path")->required();
  itemsCmd->add_flag("--json", items->json, "Print JSON: url, sender, subject, messageclass");
  itemsCmd->callback([items] {
    requireFolder(items->path);
    auto list = store::listItems(text(items->path));
    if (items->json) {
      Json out = Json::array();
      for (const auto& item : list)
        out.push_back({{"url", utf8(item.url)},
                       {"sender", utf8(senderOf(item))},
                       {"subject", utf8(item.properties.text(store::prop::subject))},
                       {"messageclass", utf8(item.properties.text(store::prop::messageClass))}});
      return printJson(out);
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& item : list)
      rows.push_back({utf8(item.name), escapeControls(senderOf(item)), escapeControls(item.properties.text(store::prop::subject)),
                      utf8(item.properties.text(store::prop::messageClass))});
    printTable({"ITEM", "SENDER", "SUBJECT", "MESSAGE CLASS"}, rows);
  });

  struct DeleteOptions {
    std::string target;
    bool recursive = false;
  };
  auto del = std::make_shared<DeleteOptions>();
  auto* deleteCmd = app.add_subcommand(
      "delete", "Delete an item (PATH/NAME or its URL), firing delete events; a folder only with --recursive");
  deleteCmd->add_option("ITEM", del->target, "Item path or URL")->required();
  deleteCmd->add_flag("--recursive", del->recursive, "Delete a folder with every folder and item below it");
  deleteCmd->callback([del] {
    const std::string& target = del->target;
    auto found = store::findItem(text(target));
    if (found && found->folder && !del->recursive)
      throw ComError(E_INVALIDARG, u"\"" + text(target) + u"\" is a folder: deleting it deletes every folder and "
                                   u"item below it. Add --recursive if that is what you want.");
    auto outcome = store::deleteItem(text(target));
    if (outcome.aborted)
      std::printf("(aborted by %s)\n", utf8(outcome.abortedBy).c_str());
    else
      std::printf("Deleted %s\n", target.c_str());
  });

  auto eventsJson = std::make_shared<bool>(false);
  auto* eventsCmd = app.add_subcommand("events", "Show the server's event log");
  eventsCmd->add_flag("--json", *eventsJson, "Print JSON");
  eventsCmd->callback([eventsJson] {
    auto events = store::listEvents();
    if (*eventsJson) {
      Json out = Json::array();
      for (const auto& e : events)
        out.push_back({{"time", utf8(e.time)}, {"source", utf8(e.source)}, {"level", utf8(store::levelName(e.level))},
                       {"text", utf8(e.text)}});
      return printJson(out);
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& e : events)
      rows.push_back({utf8(e.time), utf8(store::levelName(e.level)), utf8(e.source), utf8(e.text)});
    printTable({"TIME", "LEVEL", "SOURCE", "TEXT"}, rows);
  });
}

} // namespace korvane::lab
