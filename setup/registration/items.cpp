#include "setup/registration/items.h"

#include "platform/db/fault.h"
#include "setup/registration/store_access.h"
#include "setup/window/error_log.h"

namespace korvane::setup {

namespace {
constexpr char16_t kProviderLower[] = u"exoledb.datasource";

ComPtr<ado::IConnection> openConnectionOn(TextView baseUrl) {
  auto connection = store::newConnection();
  store::setProvider(connection.get(), kProviderLower);
  store::setConnectionString(connection.get(), baseUrl);
  store::open(connection.get(), baseUrl);
  return connection;
}

bool isTrue(const Variant& v) { return v == Variant(true); }

// Only a registration item is ever replaced or deleted under the item's
// name: hidden, not a folder, of the registration content class. A user's
// folder or item that happens to have the name is left alone.
bool isRegistrationItem(ado::IRecord* record) {
  try {
    return isTrue(store::field(record, u"DAV:ishidden")) && !isTrue(store::field(record, u"DAV:isfolder")) &&
           store::field(record, u"DAV:contentclass") == Variant(u"urn:content-class:storeeventreg");
  } catch (const ComError&) {
    return false;
  }
}

Text notARegistration(ado::IRecord* record, TextView folderUrl, TextView itemName) {
  bool folder = false;
  try {
    folder = isTrue(store::field(record, u"DAV:isfolder"));
  } catch (const ComError&) {
  }
  const Text kind = folder ? u"folder" : u"item";
  return u"The folder " + Text(folderUrl) + u" holds a " + kind + u" named \"" + Text(itemName) +
         u"\" that is not an event registration, so the sink cannot be registered there. Rename that " + kind +
         u" (or move it elsewhere), then register the folder again.";
}

// Inside the create's transaction, so that nothing can take the name
// between this look and the write.
void refuseOtherHolder(ado::IConnection* connection, TextView folderUrl, TextView itemName) {
  auto existing = store::newRecord();
  try {
    store::openRecord(existing.get(), Text(folderUrl) + u"/" + Text(itemName), connection, ado::adModeRead,
                      ado::adFailIfNotExists, ado::adOpenUnspecified);
  } catch (const ComError& e) {
    if (e.code() == ado::adErrResourceNotFound) return;
    throw;
  }
  if (!isRegistrationItem(existing.get()))
    throw ComError(ado::adErrResourceExists, notARegistration(existing.get(), folderUrl, itemName));
  store::close(existing.get());
}
} // namespace

Text storeWideBaseUrl(TextView publicRoot) { return Text(publicRoot) + u"non_ipm_subtree"; }

Text storeWideRelativePath(TextView storeGuid) {
  return u"StoreEvents" + Text(storeGuid) + u"/GlobalEvents";
}

Text composeFolderUrl(TextView baseUrl, TextView relativePath) {
  Text url(baseUrl);
  if (!relativePath.empty()) url += u"/" + Text(relativePath);
  return url;
}

Text scopeLiteralUrl(TextView url) { return replaceAll(replaceAll(url, u"'", u"''"), u"\"", u"\"\""); }

Text CreateRegItem(TextBox& txtErr, TextView baseUrl, TextView relativePath, TextView itemName,
                   TextView eventMethod, TextView sinkClass, TextView matchScope, TextView criteria,
                   TextView priority, bool logErrors) {
  try {
    auto connection = openConnectionOn(baseUrl);
    auto record = store::newRecord();
    Text folderUrl = composeFolderUrl(baseUrl, relativePath);
    store::beginTrans(connection.get());
    refuseOtherHolder(connection.get(), folderUrl, itemName);
    store::openRecord(record.get(), folderUrl + u"/" + Text(itemName), connection.get(),
                      ado::adModeReadWrite, ado::adCreateOverwrite, ado::adDelayFetchFields);
    store::setField(record.get(), u"DAV:contentclass", Variant(u"urn:content-class:storeeventreg"));
    store::setField(record.get(), u"http://schemas.microsoft.com/exchange/events/EventMethod",
                    Variant(eventMethod));
    store::setField(record.get(), u"http://schemas.microsoft.com/exchange/events/SinkClass",
                    Variant(sinkClass));
    store::setField(record.get(), u"http://schemas.microsoft.com/exchange/events/MatchScope",
                    Variant(matchScope));
    store::setField(record.get(), u"http://schemas.microsoft.com/exchange/events/criteria",
                    Variant(criteria));
    store::setField(record.get(), u"http://schemas.microsoft.com/exchange/events/priority",
                    Variant(priority));
    store::setField(record.get(), u"DAV:ishidden", Variant(true));
    db::faultPoint("setup.create-reg-item");
    store::updateFields(record.get());
    store::close(record.get());
    db::faultPoint("setup.create-reg-item-commit");
    store::commitTrans(connection.get());
    return folderUrl;
  } catch (const ComError& e) {
    // Releasing the connection drops the open transaction: nothing is committed.
    if (logErrors) addErrorEntry(txtErr, baseUrl, e);
    return {};
  }
}

bool DeleteRegItem(TextBox& txtErr, TextView baseUrl, TextView relativePath, TextView itemName,
                   bool logErrors) {
  try {
    auto connection = openConnectionOn(baseUrl);
    auto record = store::newRecord();
    Text itemUrl = composeFolderUrl(baseUrl, relativePath) + u"/" + Text(itemName);
    store::openRecord(record.get(), itemUrl, connection.get(), ado::adModeReadWrite,
                      ado::adFailIfNotExists, ado::adOpenUnspecified);
    if (!isRegistrationItem(record.get()))
      throw ComError(ado::adErrResourceExists,
                     notARegistration(record.get(), composeFolderUrl(baseUrl, relativePath), itemName));
    store::deleteRecord(record.get(), itemUrl);
    return true;
  } catch (const ComError& e) {
    if (logErrors) addErrorEntry(txtErr, baseUrl, e);
    return false;
  }
}

Text itemLookupQuery(TextView folderUrl, TextView name, TextView extraCondition) {
  Text q = u"select ";
  q += u" \"DAV:displayname\"";
  q += u" from scope ('shallow traversal of ";
  q += u"\"";
  q += scopeLiteralUrl(folderUrl);
  q += u"\"') ";
  q += u" WHERE \"DAV:displayname\" = '";
  q += name;
  q += u"'";
  q += extraCondition;
  return q;
}

std::int16_t CheckItemExists(TextBox& txtErr, TextView baseUrl, TextView relativePath, TextView name,
                             TextView extraCondition, bool logErrors,
                             ComPtr<ado::IConnection>& connection, std::optional<ComError>* failure) {
  std::int16_t result = -1;
  Text subject(baseUrl);
  ComPtr<ado::IRecord> record;
  try {
    if (!connection) {
      connection = store::newConnection();
      store::setProvider(connection.get(), store::kStoreProvider);
    }
    store::setConnectionString(connection.get(), baseUrl);
    store::open(connection.get(), baseUrl);

    Text folderUrl = composeFolderUrl(baseUrl, relativePath);
    subject = folderUrl;
    record = store::newRecord();
    store::openRecord(record.get(), folderUrl, connection.get(), ado::adModeRead, ado::adFailIfNotExists,
                      ado::adOpenUnspecified);

    if (trimBlanks(name).empty()) {
      result = 1;
    } else {
      auto recordset = store::newRecordset();
      store::openRecordset(recordset.get(), itemLookupQuery(folderUrl, name, extraCondition),
                           connection.get());
      result = store::eof(recordset.get()) ? 0 : 1;
      if (store::isOpen(recordset.get())) store::close(recordset.get());
    }
    if (store::isOpen(record.get())) store::close(record.get());
  } catch (const ComError& e) {
    result = -1;
    if (logErrors) addErrorEntry(txtErr, subject, e);
    if (failure) failure->emplace(e);
  }
  // Closing is part of every return, after an error too.
  try {
    if (connection && store::isOpen(connection.get())) store::close(connection.get());
  } catch (const ComError&) {
  }
  return result;
}

} // namespace korvane::setup
