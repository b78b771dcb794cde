#include "delivery_log.h"

#include <fstream>
#include <set>
#include <tuple>

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
      log.deliveries.push_back({f[1], f[2], f[3], f[4], false, false, {}, {}});
    } else if (f[0] == "done" && f.size() == 8 && index.contains(f[1]) && !log.deliveries[index[f[1]]].done) {
      Delivery& d = log.deliveries[index[f[1]]];
      std::tie(d.done, d.deleted, d.resultClass, d.url) = std::tuple(true, f[5] == "deleted", f[6], f[7]);
    } else {
      log.problems.push_back("malformed log line in " + file.string() + ": " + line);
    }
  }
  return log;
}

std::string checkDeliveries(const std::vector<DeliveryLog>& logs, const CheckOptions& o) {
  std::string problems;
  const auto problem = [&](const std::string& line) { problems += line + "\n"; };
  auto stored = itemsByKey(o.folders);
  std::set<std::string> logged(o.preexisting.begin(), o.preexisting.end());
  for (const auto& log : logs) {
    for (const auto& p : log.problems) problem(p);
    for (const Delivery& d : log.deliveries) {
      logged.insert(d.key);
      const auto it = stored.find(d.key);
      const std::size_t copies = it == stored.end() ? 0 : it->second.size();
      const std::string what = "item " + d.key + " (" + d.messageClass + " into " + d.folder + ")";
      if (copies > 1) problem(what + " is stored " + std::to_string(copies) + " times");
      if (d.done && d.deleted) {
        if (o.mapping(d.messageClass)) problem(what + " was deleted, but its class is not mapped to NULL");
        if (copies) problem(what + " was deleted by the sink, but it is still stored");
        continue;
      }
      if (d.done && copies == 0) problem(what + " was delivered, but it is gone");
      if (!d.done && !o.inFlightMayExist && copies) problem(what + " never finished, but it is stored");
      if (!copies) continue;
      const StoredItem& s = it->second.front();
      if (s.folder != d.folder) problem(what + " is stored in " + s.folder);
      const auto mapped = o.mapping(d.messageClass);
      if (s.messageClass != d.messageClass && !(mapped && s.messageClass == *mapped))
        problem(what + " has the class " + s.messageClass + ", neither delivered nor mapped");
      if (d.done && s.messageClass != d.resultClass)
        problem(what + " is stored as " + s.messageClass + " but the delivery reported " + d.resultClass);
      if (d.done && s.url != d.url) problem(what + " is stored at " + s.url + ", delivered to " + d.url);
    }
  }
  for (const auto& [key, items] : stored)
    if (!logged.contains(key))
      problem("the stored item " + key + " in " + items.front().folder + " was delivered by nobody");
  return problems;
}

} // namespace korvane::robustness
