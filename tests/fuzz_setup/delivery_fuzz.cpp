// Fuzzes a folder description and a message class through the whole road of
// a delivery: the real Korvane.dll in COM+, registered on the folder, called
// by the store's event service, reading the description through the folder
// object. Input: the description, a line break, the class. The save must
// never be vetoed, and what is stored must come from the delivery itself,
// the folder's own pair or the configured pair.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include <unistd.h>

#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/db/database.h"
#include "platform/server/provision.h"
#include "platform/store/store.h"
#include "setup/registration/items.h"

namespace {

using namespace korvane;

constexpr char16_t kConfiguredClass[] = u"IPM.Note.Configured";

void require(bool condition) {
  if (!condition) std::abort();
}

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
  std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  std::filesystem::path dir = base / ("korvane-fuzz-delivery-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  server::createServer(dir / "server");
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
  static struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() {
      shutdownRuntime();
      db::Database::closeCurrent();
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{dir};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Text text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::size_t cut = text.find(u'\n');
  const TextView all(text);
  deliverOnce(all.substr(0, cut), cut == Text::npos ? TextView(u"IPM.Post") : all.substr(cut + 1));
  return 0;
}
