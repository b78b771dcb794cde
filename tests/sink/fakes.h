// Stand-ins for what the store and COM+ hand the sink in a unit test of the
// class: the event information with its item record and fields, and the
// constructor-string object. They record every call the sink makes; what it
// never calls answers E_NOTIMPL.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/complus/construct.h"
#include "platform/store/ado.h"
#include "platform/store/exoledb.h"

namespace korvane::sink::testing {

// Late-bound access is not what these fakes are for.
template <typename... Interfaces>
class FakeObject : public ComObject<Interfaces...> {
public:
  HRESULT GetProperty(TextView name, Variant*) noexcept override { return unknownName(name); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView name, std::span<const Variant>, Variant*) noexcept override {
    return unknownName(name);
  }
};

// The item's properties, shared by the record, its fields and the test.
struct Item {
  std::map<Text, Variant> values;
  int updates = 0;
  std::vector<Text> writes;  // every value put, in order
  bool deleted = false;
  bool deleteAsync = true;
  Text deleteSource = u"(not called)";
  HRESULT failPut = S_OK;
  HRESULT failUpdate = S_OK;
  HRESULT failDelete = S_OK;
};

class FakeField final : public FakeObject<ado::IField> {
public:
  FakeField(Item& item, Text name) : item_(item), name_(std::move(name)) {}
  HRESULT get_Name(Text*) noexcept override { return E_NOTIMPL; }  // the sink asks for its field by name
  HRESULT get_Value(Variant* value) noexcept override {
    auto it = item_.values.find(name_);
    *value = it == item_.values.end() ? Variant() : it->second;
    return S_OK;
  }
  HRESULT put_Value(const Variant& value) noexcept override {
    if (failed(item_.failPut)) return fail(item_.failPut, u"The field cannot be written.");
    item_.values[name_] = value;
    item_.writes.push_back(value.isText() ? value.textValue() : u"(not text)");
    return S_OK;
  }

private:
  Item& item_;
  Text name_;
};

class FakeFields final : public FakeObject<ado::IFields> {
public:
  explicit FakeFields(Item& item) : item_(item) {}
  HRESULT get_Count(std::int32_t*) noexcept override { return E_NOTIMPL; }
  // Only fields the item has; the store's records add new ones instead.
  HRESULT get_Item(const Variant& index, ado::IField** field) noexcept override {
    if (!index.isText() || !item_.values.count(index.textValue()))
      return fail(ado::adErrItemNotFound, u"Item cannot be found in the collection.");
    *field = makeCom<FakeField>(item_, index.textValue()).detach();
    return S_OK;
  }
  HRESULT Update() noexcept override {
    if (failed(item_.failUpdate)) return fail(item_.failUpdate, u"The item cannot be saved.");
    ++item_.updates;
    return S_OK;
  }

private:
  Item& item_;
};

class FakeRecord final : public FakeObject<ado::IRecord> {
public:
  explicit FakeRecord(Item& item) : item_(item) {}
  HRESULT Open(const Variant&, const Variant&, std::int32_t, std::int32_t, std::int32_t, TextView,
               TextView) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT Close() noexcept override { return E_NOTIMPL; }
  HRESULT get_State(std::int32_t*) noexcept override { return E_NOTIMPL; }
  HRESULT get_Fields(ado::IFields** fields) noexcept override {
    *fields = makeCom<FakeFields>(item_).detach();
    return S_OK;
  }
  HRESULT DeleteRecord(TextView source, bool async) noexcept override {
    if (failed(item_.failDelete)) return fail(item_.failDelete, u"The item cannot be deleted.");
    item_.deleted = true;
    item_.deleteSource = Text(source);
    item_.deleteAsync = async;
    return S_OK;
  }

private:
  Item& item_;
};

// The event information: hands out a record on the item and records vetoes.
class FakeEventInfo final : public FakeObject<exoledb::IExStoreDispEventInfo, exoledb::IExStoreEventInfo> {
public:
  explicit FakeEventInfo(Item& item) : item_(item) {}
  HRESULT get_EventRecord(IUnknown** record) noexcept override {
    ++recordRequests;
    if (failed(failRecord)) return fail(failRecord, u"No record for this event.");
    *record = makeCom<FakeRecord>(item_).detach()->unknown();
    return S_OK;
  }
  HRESULT AbortChange(std::int32_t code) noexcept override {
    aborts.push_back(code);
    return S_OK;
  }

  int recordRequests = 0;
  std::vector<std::int32_t> aborts;
  HRESULT failRecord = S_OK;

private:
  Item& item_;
};

class FakeConstructString final : public FakeObject<complus::IObjectConstructString> {
public:
  explicit FakeConstructString(std::optional<Text> text) : text_(std::move(text)) {}
  HRESULT get_ConstructString(Text* text) noexcept override {
    if (!text_) return fail(E_FAIL, u"No constructor string.");
    *text = *text_;
    return S_OK;
  }

private:
  std::optional<Text> text_;
};

} // namespace korvane::sink::testing
