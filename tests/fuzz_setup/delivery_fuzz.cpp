// Fuzzes a folder description and a message class through the whole road of
// a delivery: the real Korvane.dll in COM+, registered on the folder, called
// by the store's event service, reading the description through the folder
// object. Input: the description, a line break, the class. The save must
// never be vetoed, and what is stored must come from the delivery itself,
// the folder's own pair or the configured pair.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/complus/admin.h"
#include "platform/store/store.h"
#include "setup/registration/items.h"
#include "tests/fuzz_setup/fuzz_server.h"

namespace {

using namespace korvane;
using fuzzing::require;

constexpr char16_t kConfiguredClass[] = u"IPM.Note.Configured";

bool containsNullIgnoringCase(TextView text) {
  return toLowerSimple(text).find(u"null") != Text::npos;
}

void deliverOnce(TextView description, TextView messageClass) {
  store::setFolderProperties(u"Inbox", {{store::prop::description, Variant(description)}});
  auto outcome = store::deliver(u"Inbox", {{store::prop::subject, Variant(u"Fuzz")},
                                           {store::prop::messageClass, Variant(messageClass)}});
  require(!outcome.aborted);
  if (outcome.deleted) {
    require(containsNullIgnoringCase(description));
    require(!store::findItem(outcome.url));
    return;
  }
  auto item = store::findItem(outcome.url);
  require(item.has_value());
  const Text stored = item->properties.text(store::prop::messageClass);
  require(stored == outcome.messageClass);
  require(stored == messageClass || stored == kConfiguredClass || description.find(stored) != TextView::npos);
  store::deleteItem(outcome.url);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::filesystem::path dir = fuzzing::makeServer("delivery");
  std::filesystem::copy_file(KORVANE_SINK_PATH, dir / "Korvane.dll");
  store::FolderSpec inbox;
  inbox.path = u"Inbox";
  inbox.mailAddress = u"inbox@corp.example.com";
  store::createFolder(inbox);
  complus::Catalog().installApplication(u"Korvane", (dir / "Korvane.dll").u16string(), u"", u"",
                                        Text(kConfiguredClass) + u"\r*\r65223");
  setup::TextBox log;
  require(!setup::CreateRegItem(log, store::publicRootUrl() + u"/Inbox", u"", setup::kRegItemName,
                                setup::kEventMethod, setup::kSinkClass, u"SHALLOW", setup::kCriteria, u"65223", true)
               .empty());
  static fuzzing::RunDirectory run{dir, true};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Text text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::size_t cut = text.find(u'\n');
  const TextView all(text);
  deliverOnce(all.substr(0, cut), cut == Text::npos ? TextView(u"IPM.Post") : all.substr(cut + 1));
  return 0;
}
