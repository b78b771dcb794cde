#include "setup/discovery/discovery.h"

#include <cstring>

#include "platform/com/runtime.h"
#include "platform/directory/rootdse.h"
#include "platform/exchange/objects.h"
#include "platform/exchange/storeguid.h"
#include "platform/store/cdo.h"
#include "platform/win32/environment.h"
#include "platform/win32/winapi.h"
#include "setup/registration/store_access.h"

namespace korvane::setup {

namespace {

// 1-based position of the last `what` in `text` (exact), 0 when absent.
std::size_t lastPosition(TextView text, TextView what) {
  auto p = text.rfind(what);
  return p == TextView::npos ? 0 : p + 1;
}

// 1-based position of `what` at or after 1-based `start` (exact), 0 when absent.
std::size_t positionFrom(TextView text, std::size_t start, TextView what) {
  if (start == 0) start = 1;
  if (start > text.size()) return 0;
  auto p = text.find(what, start - 1);
  return p == TextView::npos ? 0 : p + 1;
}

std::size_t firstPositionIgnoringCase(TextView text, TextView what) {
  auto p = toUpperSimple(text).find(toUpperSimple(what));
  return p == Text::npos ? 0 : p + 1;
}

Text removeLeadingBlanks(TextView text) {
  std::size_t b = 0;
  while (b < text.size() && text[b] == u' ') ++b;
  return Text(text.substr(b));
}

void setCommandProperty(ado::ICommand* command, TextView name, const Variant& value) {
  ComPtr<ado::IProperties> properties;
  check(command->get_Properties(properties.put()));
  ComPtr<ado::IProperty> property;
  check(properties->get_Item(Variant(name), property.put()));
  check(property->put_Value(value));
}

// Runs the directory query; the first row's value of `field`, or nothing
// when no row came back.
std::optional<Variant> firstRowField(InstallForm& form, TextView selectClause, TextView field) {
  auto command = createInstance<ado::ICommand>(u"ADODB.Command");
  check(command->putref_ActiveConnection(form.cnn.get()));
  check(command->put_CommandText(directoryQuery(form, selectClause, GetCurrentUserName())));
  setCommandProperty(command.get(), u"searchscope", Variant(2));
  setCommandProperty(command.get(), u"cache results", Variant(false));
  setCommandProperty(command.get(), u"Chase Referrals", Variant(96));
  ComPtr<ado::IRecordset> result;
  check(command->Execute(ado::adOpenUnspecified, result.put()));
  if (store::eof(result.get())) return std::nullopt;
  return store::field(result.get(), field);
}

} // namespace

bool RegKeyExists(HKEY rootKey, TextView subKey, TextView /*valueName*/) {
  HKEY handle{};
  std::int32_t rc = RegOpenKeyA(rootKey, toUtf8(subKey).c_str(), &handle);
  RegCloseKey(handle);
  return rc == ERROR_SUCCESS;
}

bool IsClusterNode() {
  try {
    return RegKeyExists(HKEY_LOCAL_MACHINE, u"Cluster", u"");
  } catch (...) {
    return false;
  }
}

Text GetCurrentUserName() {
  std::string buffer(255, ' ');
  std::uint32_t size = 255;
  if (!win32::GetUserNameA(buffer.data(), &size) || size == 0) return {};
  return fromUtf8(std::string_view(buffer).substr(0, size - 1));
}

Text GetWorkstationDomain() {
  Text domain;
  std::uint8_t* buffer = nullptr;
  Text server = u"\\\\" + win32::getEnvironment(u"COMPUTERNAME");
  if (win32::NetWkstaGetInfo(server.c_str(), 102, &buffer) == win32::NERR_Success && buffer) {
    std::uint32_t fields[7];
    win32::RtlMoveMemory(fields, buffer, sizeof fields);
    if (const char16_t* lanGroup = win32::rtlText(fields[2]))
      domain.assign(lanGroup, static_cast<std::size_t>(win32::lstrlenW(lanGroup)));
  }
  win32::NetApiBufferFree(buffer);
  return domain;
}

Text directoryQuery(const InstallForm& form, TextView selectClause, TextView userName) {
  Text q(selectClause);
  q += u"FROM '";
  q += form.strSearchRoot;
  q += u"' ";
  q += u"WHERE objectcategory='person' AND sAMAccountName='";
  // Doubled, so that a name like O'Brien stays inside its literal.
  q += replaceAll(userName, u"'", u"''");
  q += u"'";
  return q;
}

void FillIdentityField(InstallForm& form) {
  Text user = GetCurrentUserName();
  Text identity;
  if (auto category = firstRowField(form, u"SELECT sAMAccountName, cn, objectCategory ", u"objectcategory")) {
    Text cat = category->isNull() ? Text() : category->toText();
    std::size_t p = firstPositionIgnoringCase(cat, u"DC=");
    if (p > 0) {
      cat = removeLeadingBlanks(TextView(cat).substr(p + 2));
      if (!cat.empty()) {
        std::size_t k = lastPosition(cat, u"DC=");
        std::size_t c = positionFrom(cat, k == 0 ? 1 : k, u",");
        if (c > 2) cat = cat.substr(0, c - 1);
      }
      cat = replaceAll(replaceAll(cat, u" ", u""), u",DC=", u".");
      if (!cat.empty()) identity = cat + u"\\" + user;
    }
  }
  Text domain = GetWorkstationDomain();
  if (!domain.empty()) identity = domain + u"\\" + user;
  form.ui.txtIdent.text = identity;
}

void GetClusterName(InstallForm& form) {
  form.ClusterName.clear();
  auto home = firstRowField(form, u"SELECT msExchHomeServerName ", u"msExchHomeServerName");
  if (!home) return;
  Text s = home->isNull() ? Text() : toUpperSimple(home->toText());
  std::size_t i = lastPosition(s, u"CN=");
  if (i > 0 && i + 3 < s.size()) s = s.substr(i + 2);
  form.ClusterName = s;
}

void runDiscovery(InstallForm& form) {
  form.blnIsClusterNode = IsClusterNode();

  auto rootDse = directory::adsGetObject(u"GC://RootDSE");
  form.strSearchRoot = u"GC://" + getProperty(rootDse.get(), u"dnshostname").toText();
  rootDse.reset();

  if (!form.cnn) form.cnn = store::newConnection();
  store::setProvider(form.cnn.get(), u"adsDSOobject");
  store::open(form.cnn.get(), u"Active Directory Provider");

  if (!form.cnn1) form.cnn1 = store::newConnection();
  store::setProvider(form.cnn1.get(), store::kStoreProvider);

  form.ClusterName.clear();
  if (form.blnIsClusterNode) GetClusterName(form);
  GetCommonPath(form);
}

} // namespace korvane::setup

// --- The public store ------------------------------------------------------

namespace korvane::setup {

namespace {

// A management object created by class id and opened by name or URL (mode 0,
// fail if missing, options 0, no user name or password).
ComPtr<IDispatch> openManagementObject(const Guid& clsid, const Guid& dataSourceIid, TextView source) {
  auto object = createInstance<IDispatch>(clsid);
  ComPtr<cdo::IDataSource> dataSource;
  check(object->QueryInterface(dataSourceIid, dataSource.putVoid()));
  check(dataSource->Open(source, nullptr, 0, ado::adFailIfNotExists, 0, u"", u""));
  return object;
}

std::int64_t intProperty(IDispatch* object, TextView name) { return getProperty(object, name).toInt(); }

// 1-based position of `what` at or after 1-based `start`, ignoring case.
std::size_t positionIgnoringCase(TextView text, std::size_t start, TextView what) {
  return positionFrom(toUpperSimple(text), start, toUpperSimple(what));
}

} // namespace

void GetCommonPath(InstallForm& form) {
  Text computer = win32::getEnvironment(u"COMPUTERNAME");
  auto server = openManagementObject(exchange::CLSID_Server, exchange::IServerDataSource::iid,
                                     form.blnIsClusterNode ? form.ClusterName : computer);
  for (const Text& groupUrl : exchange::listTexts(getProperty(server.get(), u"StorageGroups"))) {
    auto group = openManagementObject(exchange::CLSID_StorageGroup, cdo::IDataSource::iid, groupUrl);
    for (const Text& storeUrl : exchange::listTexts(getProperty(group.get(), u"PublicStoreDBs"))) {
      auto publicStore = openManagementObject(exchange::CLSID_PublicStoreDB, cdo::IDataSource::iid, storeUrl);
      if (intProperty(publicStore.get(), u"Status") != 0) continue;
      auto tree = openManagementObject(exchange::CLSID_FolderTree, cdo::IDataSource::iid,
                                       getProperty(publicStore.get(), u"FolderTree").toText());
      if (intProperty(tree.get(), u"TreeType") != 1) continue;

      form.strPublicRoot = replaceAll(getProperty(tree.get(), u"RootFolderURL").toText(), u"%20", u" ");
      auto guidService = createInstance<exchange::IStoreGuidFromUrl>(exchange::CLSID_StoreGuidFromUrl);
      Text guid;
      check(guidService->StoreGuidFromUrl(form.strPublicRoot, &guid));
      form.strStoreGuid = guid;

      std::size_t f = positionIgnoringCase(form.strPublicRoot, 1, u"//");
      std::size_t g = positionIgnoringCase(form.strPublicRoot, f + 2, u"/");
      if (g > 1) form.strPublicRoot = form.strPublicRoot.substr(0, g);
      form.strPublicRoot += u"Public/";
      form.intPublicRootLen = static_cast<std::int16_t>(form.strPublicRoot.size());
      break;
    }
    if (form.intPublicRootLen > 0) break;
  }
  form.ui.mousePointer = Default;
}

} // namespace korvane::setup
