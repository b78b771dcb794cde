#include "setup/folders/enumeration.h"

#include <cmath>
#include <fmt/format.h>

#include "platform/com/runtime.h"
#include "platform/store/cdo.h"
#include "setup/folders/freeze.h"
#include "setup/registration/items.h"
#include "setup/registration/store_access.h"

namespace korvane::setup {

namespace {

constexpr char16_t kMailAddressProperty[] =
    u"http://schemas.microsoft.com/exchange/publicfolderemailaddress";

// One step whose failure is ignored; reports whether it failed.
template <typename F>
bool failedStep(F&& step) {
  try {
    step();
    return false;
  } catch (const ComError&) {
    return true;
  }
}

Text textOf(const Variant& v) { return v.isNull() ? Text() : v.toText(); }

// Opens the folder read/write through a CDO folder object: fails when the
// folder cannot be opened with that mode.
void openFolderReadWrite(TextView url, ado::IConnection* connection) {
  auto folder = createInstance<IDispatch>(cdo::CLSID_Folder);
  auto source = getProperty(folder.get(), u"DataSource").objectValue().query<cdo::IDataSource>();
  check(source->Open(url, connection, ado::adModeReadWrite, ado::adFailIfNotExists, 0, u"", u""));
}

Text folderPath(const InstallForm& form, TextView parentName, TextView displayName) {
  std::size_t skip = static_cast<std::size_t>(std::max<int>(form.intPublicRootLen, 0));
  TextView rest = parentName.size() > skip ? parentName.substr(skip) : TextView();
  if (rest.size() > 1) return Text(rest) + u"/" + Text(displayName);
  return Text(displayName);
}

// Selects the row of strLastSelectedItemKey when it is listed already,
// without searching the list: each level ends with this.
void selectLastSelectedRow(InstallForm& form) {
  ListView& list = form.ui.ListView1;
  if (form.strLastSelectedItemKey.empty() || !form.lastSelectedRow) return;
  if (*form.lastSelectedRow < list.rows.size() && list.rows[*form.lastSelectedRow].key == form.strLastSelectedItemKey)
    list.selected = form.lastSelectedRow;
}

void drawProgressCleared(InstallForm& form) {
  form.ui.Picture1.percentText.clear();
  form.ui.Picture1.filledWidth = 0;
  if (form.hooks) form.hooks->progressChanged();
}

} // namespace

Text folderImageKey(TextView contentClass) {
  static const std::pair<const char16_t*, const char16_t*> kKeys[] = {
      {u"urn:content-classes:calendarfolder", u"calendarfolder"},
      {u"urn:content-classes:contactfolder", u"contactfolder"},
      {u"urn:content-classes:journalfolder", u"journalfolder"},
      {u"urn:content-classes:notefolder", u"notefolder"},
      {u"urn:content-classes:taskfolder", u"taskfolder"},
  };
  for (auto [cls, key] : kKeys)
    if (contentClass == cls) return key;
  return u"folder1";
}

Text folderLevelQuery(TextView folderUrl) {
  Text q;
  q += u"select \"DAV:displayname\", \"DAV:hassubs\",  \"DAV:parentname\", \"DAV:contentclass\", "
       u"\"DAV:href\", \"DAV:childcount\", ";
  q += u" \"http://schemas.microsoft.com/exchange/publicfolderemailaddress\", ";
  q += u" \"http://schemas.microsoft.com/mapi/proptag/x0fff0102\" ";
  q += u"From ";
  q += u" scope('shallow traversal of \"";
  q += scopeLiteralUrl(folderUrl);
  q += u"\"')";
  q += u" where \"DAV:ishidden\" = False and \"DAV:isfolder\" = True ";
  q += u" ORDER BY \"DAV:displayname\" ";
  return q;
}

void GetPublicFolders(InstallForm& form) {
  form.ui.mousePointer = Hourglass;
  form.ui.ListView1.rows.clear();
  form.ui.ListView1.selected.reset();
  form.blnListReady = false;
  form.listedKeys.clear();
  form.lastSelectedRow.reset();
  ComPtr<ado::IConnection> none;
  getFolderList(form, form.strPublicRoot, none, false);
  form.blnListReady = true;
  form.ui.mousePointer = Default;
}

std::int16_t getFolderList(InstallForm& form, TextView sUrl, ComPtr<ado::IConnection>& Conn,
                           bool blnInProcess) {
  Freeze freeze;
  freeze.Form(form.hooks);
  std::int16_t result = -1;
  bool ownConnection = false;
  const bool outermost = !blnInProcess;

  if (!Conn) {
    failedStep([&] {
      Conn = store::newConnection();
      store::setProvider(Conn.get(), store::kStoreProvider);
      store::open(Conn.get(), sUrl);
    });
    ownConnection = true;
  }

  ComPtr<ado::IRecordset> rs;
  if (failedStep([&] {
        rs = store::newRecordset();
        store::openRecordset(rs.get(), folderLevelQuery(sUrl), Conn.get());
      })) {
    if (ownConnection) Conn.reset();
    return -1;
  }

  if (outermost) {
    form.lngProgress = 0;
    failedStep([&] {
      std::int32_t count = store::recordCount(rs.get());
      if (count >= 1) form.ui.Picture1.scaleWidth = count;
    });
    form.ui.Picture1.visible = true;
  }

  bool atEnd = true;
  failedStep([&] { atEnd = store::eof(rs.get()); });
  if (atEnd) result = 0;

  while (!atEnd) {
    if (outermost) {
      UpdateStatus(form, 1);
      form.processEvents();
    }

    Text path, url, imageKey;
    failedStep([&] {
      path = folderPath(form, textOf(store::field(rs.get(), u"DAV:parentname")),
                        textOf(store::field(rs.get(), u"DAV:displayname")));
    });

    bool opened = !failedStep([&] {
      url = textOf(store::field(rs.get(), u"DAV:href"));
      openFolderReadWrite(url, Conn.get());
      imageKey = folderImageKey(textOf(store::field(rs.get(), u"DAV:contentclass")));
    });
    if (!opened) break;
    result = 1;

    ComPtr<ado::IConnection> noConnection;
    bool listIt = CheckItemExists(form.ui.txtErr, url, u"", u"", u"", true, noConnection) > 0;
    if (listIt) {
      ComPtr<ado::IConnection> childConnection;
      listIt = getFolderList(form, url, childConnection, true) >= 0;
    }
    Variant mailValue;
    if (listIt) {
      failedStep([&] { mailValue = store::field(rs.get(), kMailAddressProperty); });
      listIt = !trimBlanks(textOf(mailValue)).empty();
    }
    // A folder already listed (by a fill that ran inside this one) keeps its
    // one row: "Change" must meet every folder once.
    if (listIt) listIt = form.listedKeys.insert(url).second;
    if (listIt) {
      ListRow row;
      row.key = url;
      row.text = path;
      row.smallIcon = imageKey;
      if (!form.cnn1) failedStep([&] { form.cnn1 = store::newConnection(); });
      row.checked = CheckItemExists(form.ui.txtErr, url, u"", kRegItemName, kRegItemCondition, true,
                                    form.cnn1) > 0;
      failedStep([&] { row.subItem1 = textOf(store::field(rs.get(), u"DAV:DisplayName")); });
      row.subItem2 = textOf(mailValue);
      if (row.key == form.strLastSelectedItemKey) form.lastSelectedRow = form.ui.ListView1.rows.size();
      form.ui.ListView1.rows.push_back(std::move(row));
    }

    if (failedStep([&] { store::moveNext(rs.get()); })) break;
    failedStep([&] { atEnd = store::eof(rs.get()); });
  }

  if (outermost) {
    drawProgressCleared(form);
    form.ui.Picture1.visible = false;
  }
  failedStep([&] { store::close(rs.get()); });
  rs.reset();
  if (ownConnection) Conn.reset();
  selectLastSelectedRow(form);
  return result;
}

void UpdateStatus(InstallForm& form, std::int32_t FileBytes) {
  ProgressBox& box = form.ui.Picture1;
  form.lngProgress += FileBytes;
  if (form.lngProgress > box.scaleWidth)
    form.lngProgress = static_cast<std::int32_t>(std::nearbyint(box.scaleWidth));
  long percent = std::lround(std::nearbyint(form.lngProgress / box.scaleWidth * 100.0));
  box.progress = form.lngProgress;
  box.percentText = fromUtf8(fmt::format("{}%", percent));
  box.filledWidth = form.lngProgress;
  if (form.hooks) form.hooks->progressChanged();
}

} // namespace korvane::setup
