// A fresh emulated server per test, and short helpers over the store's
// objects so that tests read like the calls programs make.
#pragma once

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/db/database.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"
#include "printing.h"
#include "support/temp_server.h"

namespace korvane::store::testing {

inline constexpr char16_t kGuid[] = u"{5B0C8C0A-1D2E-4F60-8A9B-0C1D2E3F4A5B}";

class StoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    createServer(server_.serverPath(), ServerInfo{u"exch01", u"corp.example.com", kGuid});
    takeErrorInfo();
  }

  static Text url(TextView path) { return path.empty() ? Text(u"http://exch01/Public") : u"http://exch01/Public/" + Text(path); }
  static FolderInfo folder(TextView path, TextView mail = u"", Access access = Access::Full) {
    FolderSpec spec;
    spec.path = Text(path);
    spec.mailAddress = Text(mail);
    spec.access = access;
    return createFolder(spec);
  }

  korvane::testing::TempServer server_{false};
};

// Objects as programs create them: by ProgID through the COM runtime.
inline ComPtr<ado::IConnection> openConnection(TextView url) {
  auto c = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(c->put_Provider(u"ExOLEDB.DataSource"));
  check(c->Open(url, u"", u"", -1));
  return c;
}

inline ComPtr<ado::IRecord> newRecord() { return createInstance<ado::IRecord>(u"ADODB.Record"); }

inline HRESULT openRecord(ado::IRecord* r, TextView url, ado::IConnection* c, std::int32_t mode, std::int32_t create,
                          std::int32_t options = -1) {
  Variant conn = c ? Variant(ComPtr<IUnknown>(ComPtr<ado::IConnection>(c))) : Variant();
  return r->Open(Variant(url), conn, mode, create, options, u"", u"");
}

// A record opened on its own connection; the call must succeed.
inline ComPtr<ado::IRecord> openedRecord(TextView url, std::int32_t mode, std::int32_t create, std::int32_t options = -1) {
  auto r = newRecord();
  check(openRecord(r.get(), url, nullptr, mode, create, options));
  return r;
}

inline ComPtr<ado::IField> field(ado::IFields* fields, TextView name) {
  ComPtr<ado::IField> f;
  check(fields->get_Item(Variant(name), f.put()));
  return f;
}

inline ComPtr<ado::IFields> fieldsOf(ado::IRecord* r) {
  ComPtr<ado::IFields> f;
  check(r->get_Fields(f.put()));
  return f;
}

inline Variant valueOf(ado::IFields* fields, TextView name) {
  Variant v;
  check(field(fields, name)->get_Value(&v));
  return v;
}

inline void setValue(ado::IFields* fields, TextView name, const Variant& value) {
  check(field(fields, name)->put_Value(value));
}

// Writes an item through a record created with overwrite, as programs write
// registration items: the values, Fields.Update, Close. Returns Update's answer.
inline HRESULT writeRecord(TextView url, ado::IConnection* c, const Properties& values) {
  auto r = newRecord();
  check(openRecord(r.get(), url, c, 3, 0x4000000, 0x8000));
  auto f = fieldsOf(r.get());
  for (const auto& [name, value] : values) setValue(f.get(), name, value);
  HRESULT h = f->Update();
  if (succeeded(h)) check(r->Close());
  return h;
}

// The code of a failed call, with its description taken off the thread.
inline HRESULT failure(HRESULT h) {
  takeErrorInfo();
  return h;
}

} // namespace korvane::store::testing
