// The whole road of a delivered item: a provisioned server, the real
// Korvane.dll installed into a COM+ application, registration items written
// by the setup's own procedure, and mail delivered through the store's event
// service.
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/complus/admin.h"
#include "platform/store/store.h"
#include "setup/registration/items.h"
#include "support/server_fixture.h"

namespace korvane::testing {

class DeliveryFixture : public ServerFixture {
protected:
  // Nothing: construction is not enabled for the sink's class.
  void install(const std::optional<Text>& ctor) {
    complus::Catalog().installApplication(u"Korvane", (workDir() / "Korvane.dll").u16string(), u"", u"", ctor);
  }
  // Registers the sink on a folder (its URL) as the setup does; the folder's
  // URL on success, empty when the store refused the item (regLog says why).
  Text registerOn(TextView folderUrl, TextView scope = u"SHALLOW", TextView sinkClass = setup::kSinkClass,
                  TextView eventMethod = setup::kEventMethod, TextView priority = u"65223") {
    return setup::CreateRegItem(regLog, folderUrl, u"", setup::kRegItemName, eventMethod, sinkClass, scope,
                                setup::kCriteria, priority, true);
  }
  Text registerStoreWide() {
    return setup::CreateRegItem(regLog, setup::storeWideBaseUrl(store::publicRootUrl() + u"/"),
                                setup::storeWideRelativePath(store::serverInfo().storeGuid), setup::kRegItemName,
                                setup::kEventMethod, setup::kSinkClass, u"ANY", setup::kCriteria, u"65223", true);
  }
  static Text folderUrl(TextView path) { return store::publicRootUrl() + u"/" + Text(path); }

  // The class stored after a delivery; nothing when the sink deleted the item.
  static std::optional<Text> storedClass(const store::SaveOutcome& outcome) {
    EXPECT_FALSE(outcome.aborted);
    auto item = store::findItem(outcome.url);
    EXPECT_EQ(bool(item), !outcome.deleted) << "deleted " << outcome.deleted;
    if (!item) return std::nullopt;
    return item->properties.text(store::prop::messageClass);
  }
  // The folders (paths below the root) that carry "Korvane.reg", sorted;
  // the store-wide item is not among them.
  static std::vector<Text> registeredFolders() {
    std::vector<Text> out;
    for (const auto& item : store::registrations())
      if (item.folderPath.find(u"non_ipm_subtree") == Text::npos) out.push_back(item.folderPath);
    std::sort(out.begin(), out.end());
    return out;
  }
  static void expectNoEvents() {
    for (const auto& e : store::listEvents()) ADD_FAILURE() << toUtf8(e.source) << ": " << toUtf8(e.text);
  }

  setup::TextBox regLog;
};

} // namespace korvane::testing
