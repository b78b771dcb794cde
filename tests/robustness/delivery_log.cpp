#include "delivery_log.h"

#include <fstream>
#include <set>

#include "platform/store/store.h"

namespace korvane::robustness {

namespace {

struct StoredItem {
  std::string folder, messageClass, url;
};

std::map<std::string, std::vector<StoredItem>> itemsByKey(const std::vector<std::string>& folders) {
  std::map<std::string, std::vector<StoredItem>> out;
  for (const auto& folder : folders)
    for (const auto& item : store::listItems(fromUtf8(folder))) {
      if (item.properties.contains(store::prop::sinkClass)) continue;  // a registration item
      const auto& p = item.properties;
      out[toUtf8(p.contains(kKeyProperty) ? p.text(kKeyProperty) : p.text(store::prop::subject))].push_back(
          {folder, toUtf8(item.properties.text(store::prop::messageClass)), toUtf8(item.url)});
    }
  return out;
}

bool allowedClass(const Delivery& d, const std::string& stored, Mapping mapping) {
  if (stored == d.messageClass) return true;
  auto mapped = mapping(d.messageClass);
  return mapped && stored == *mapped;
}

} // namespace

DeliveryLog readDeliveryLog(const std::filesystem::path& file) {
  DeliveryLog log;
  std::map<std::string, std::size_t> index;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    auto f = split(line, '\t');
    if (f[0] == "start" && f.size() == 5 && !index.contains(f[1])) {
      index[f[1]] = log.deliveries.size();
      Delivery d;
      d.key = f[1];
      d.folder = f[2];
      d.messageClass = f[3];
      d.subject = f[4];
      log.deliveries.push_back(d);
    } else if (f[0] == "done" && f.size() == 8 && index.contains(f[1]) && !log.deliveries[index[f[1]]].done) {
      Delivery& d = log.deliveries[index[f[1]]];
      d.done = true;
      d.deleted = f[5] == "deleted";
      d.resultClass = f[6];
      d.url = f[7];
    } else {
      log.problems.push_back("malformed log line in " + file.string() + ": " + line);
    }
  }
  return log;
}

std::vector<std::string> checkDeliveries(const std::vector<DeliveryLog>& logs, const CheckOptions& o) {
  std::vector<std::string> problems;
  auto stored = itemsByKey(o.folders);
  std::set<std::string> logged(o.preexisting.begin(), o.preexisting.end());
  for (const auto& log : logs) {
    problems.insert(problems.end(), log.problems.begin(), log.problems.end());
    for (const Delivery& d : log.deliveries) {
      logged.insert(d.key);
      const auto it = stored.find(d.key);
      const std::size_t copies = it == stored.end() ? 0 : it->second.size();
      const std::string what = "item " + d.key + " (" + d.messageClass + " into " + d.folder + ")";
      if (copies > 1) problems.push_back(what + " is stored " + std::to_string(copies) + " times");
      if (d.done && d.deleted) {
        if (o.mapping(d.messageClass)) problems.push_back(what + " was deleted, but its class is not mapped to NULL");
        if (copies) problems.push_back(what + " was deleted by the sink, but it is still stored");
        continue;
      }
      if (d.done && copies == 0) problems.push_back(what + " was delivered, but it is gone");
      if (!d.done && !o.inFlightMayExist && copies) problems.push_back(what + " never finished, but it is stored");
      if (!copies) continue;
      const StoredItem& s = it->second.front();
      if (s.folder != d.folder) problems.push_back(what + " is stored in " + s.folder);
      if (!allowedClass(d, s.messageClass, o.mapping))
        problems.push_back(what + " has the class " + s.messageClass + ", neither delivered nor mapped");
      if (d.done && s.messageClass != d.resultClass)
        problems.push_back(what + " is stored as " + s.messageClass + " but the delivery reported " + d.resultClass);
      if (d.done && s.url != d.url) problems.push_back(what + " is stored at " + s.url + ", delivered to " + d.url);
    }
  }
  for (const auto& [key, items] : stored)
    if (!logged.contains(key))
      problems.push_back("the stored item " + key + " in " + items.front().folder + " was delivered by nobody");
  return problems;
}

} // namespace korvane::robustness
