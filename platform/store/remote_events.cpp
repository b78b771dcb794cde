#include "platform/store/remote_events.h"

#include "platform/store/properties.h"
#include "platform/store/record.h"
#include "platform/store/rows.h"
#include "platform/store/tree.h"

namespace korvane::store::remote {

namespace {

using exoledb::IExStoreDispEventInfo;
using exoledb::IExStoreEventInfo;
using wire::Reader;
using wire::Writer;

enum class Kind : std::uint8_t { Save, Delete, Register };
enum class Step : std::uint8_t { PutValue = 1, Update, DeleteItem, Abort };
enum class Ask : std::uint8_t { Fields = 1, DeleteOther };
// What the call carries of the item's record.
enum class Snapshot : std::uint8_t { Lazy, Fields, Failed, NoInfo };

Text methodName(Kind k) {
  return k == Kind::Save ? u"OnSyncSave" : k == Kind::Delete ? u"OnSyncDelete" : u"ICreateRegistration::Register";
}

void writeFields(Writer& w, ado::IFields* fields) {
  std::int32_t count = 0;
  check(fields->get_Count(&count));
  w.i32(count);
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<ado::IField> field;
    check(fields->get_Item(Variant(i), field.put()));
    Text name;
    Variant value;
    check(field->get_Name(&name));
    check(field->get_Value(&value));
    w.text(name).variant(value);
  }
}

Properties readFields(Reader& r) {
  Properties out;
  for (std::int32_t n = r.i32(); n > 0; --n) {
    Text name = r.text();
    out.set(name, r.variant());
  }
  return out;
}

// --- the caller's side -------------------------------------------------------

// The real event information, the record taken from it, and the replay of
// what the sink did in the host.
class CallerSide {
public:
  explicit CallerSide(IExStoreEventInfo* info) : info_(info) {}

  void snapshot(Writer& w, Kind kind, std::int32_t flags) {
    auto disp = info_ ? info_.as<IExStoreDispEventInfo>() : nullptr;
    if (!disp) {
      w.u8(static_cast<std::uint8_t>(Snapshot::NoInfo));
      return;
    }
    ComPtr<IUnknown> r;
    HRESULT h = disp->get_EventRecord(r.put());
    if (succeeded(h) && r) record_ = r.as<ado::IRecord>();
    if (!record_) {
      Text why = takeErrorInfo();
      w.u8(static_cast<std::uint8_t>(Snapshot::Failed)).i32(failed(h) ? h : E_POINTER).text(why);
      return;
    }
    Writer fields;
    bool begin = kind == Kind::Save && (flags & exoledb::EVT_SYNC_BEGIN);
    if (begin && succeeded(guarded([&] {
          writeFields(fields, this->fields());
          return S_OK;
        }))) {
      w.u8(static_cast<std::uint8_t>(Snapshot::Fields)).raw(fields.bytes());
      return;
    }
    takeErrorInfo();
    w.u8(static_cast<std::uint8_t>(Snapshot::Lazy));
  }

  // The steps in `r`, applied in order up to the first that fails.
  void replay(Reader& r) {
    std::int32_t n = r.i32();
    for (std::int32_t i = 0; i < n; ++i) {
      auto step = static_cast<Step>(r.u8());
      Text name;
      Variant value;
      std::int32_t code = 0;
      if (step == Step::PutValue) {
        name = r.text();
        value = r.variant();
      } else if (step == Step::Abort) {
        code = r.i32();
      }
      if (failure_) continue;
      HRESULT h = guarded([&] { return apply(step, name, value, code); });
      if (failed(h)) failure_ = {h, takeErrorInfo()};
    }
  }

  void answer(Reader& request, Writer& out) noexcept {
    try {
      replay(request);
      auto ask = static_cast<Ask>(request.u8());
      Text source = ask == Ask::DeleteOther ? request.text() : Text();
      Writer data;
      HRESULT h = guarded([&] {
        if (failure_) return fail(failure_->first, failure_->second);
        if (ask == Ask::Fields) writeFields(data, fields());
        else check(record()->DeleteRecord(source, false));
        return S_OK;
      });
      out.i32(h).text(failed(h) ? takeErrorInfo() : Text()).raw(data.bytes());
    } catch (...) {
      out.i32(E_UNEXPECTED).text(u"The request of the host could not be read.");
    }
  }

  // The first replayed step that failed.
  HRESULT result(HRESULT h) const { return failure_ && succeeded(h) ? fail(failure_->first, failure_->second) : h; }

private:
  HRESULT apply(Step step, const Text& name, const Variant& value, std::int32_t code) {
    switch (step) {
      case Step::PutValue: {
        ComPtr<ado::IField> field;
        check(fields()->get_Item(Variant(name), field.put()));
        return field->put_Value(value);
      }
      case Step::Update: return fields()->Update();
      case Step::DeleteItem: return record()->DeleteRecord(u"", false);
      case Step::Abort: return info_->AbortChange(code);
    }
    return E_UNEXPECTED;
  }
  ado::IRecord* record() {
    if (!record_) throw ComError(E_POINTER, u"The event record is not available.");
    return record_.get();
  }
  ado::IFields* fields() {
    if (!fields_) check(record()->get_Fields(fields_.put()));
    return fields_.get();
  }

  ComPtr<IExStoreEventInfo> info_;
  ComPtr<ado::IRecord> record_;
  ComPtr<ado::IFields> fields_;
  std::optional<std::pair<HRESULT, Text>> failure_;
};

class SinkProxy final : public ComObject<exoledb::IExStoreSyncEvents, exoledb::ICreateRegistration> {
public:
  explicit SinkProxy(complus::host::Created created) : created_(std::move(created)) {}
  ~SinkProxy() override { created_.link->park(created_); }

  HRESULT QueryInterface(const Guid& iid, void** out) noexcept override {
    bool withheld = (iid == exoledb::IExStoreSyncEvents::iid && !(created_.offers & kOffersSyncEvents)) ||
                    (iid == exoledb::ICreateRegistration::iid && !(created_.offers & kOffersRegistration));
    if (!withheld) return ComObject::QueryInterface(iid, out);
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT OnSyncSave(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override {
    return forward(Kind::Save, info, url, flags, nullptr);
  }
  HRESULT OnSyncDelete(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override {
    return forward(Kind::Delete, info, url, flags, nullptr);
  }
  HRESULT Register(IExStoreEventInfo* info, TextView url, std::int32_t flags, std::int32_t* result) noexcept override {
    return forward(Kind::Register, info, url, flags, result);
  }

private:
  HRESULT forward(Kind kind, IExStoreEventInfo* info, TextView url, std::int32_t flags, std::int32_t* result) noexcept {
    ComPtr<SinkProxy> hold(this);
    return guarded([&]() -> HRESULT {
      CallerSide side(info);
      Writer request;
      complus::host::writeCallHead(request, created_.object);
      request.u8(static_cast<std::uint8_t>(kind)).text(url).i32(flags);
      side.snapshot(request, kind, flags);
      Reader reply = created_.link->call(complus::host::Call, request, methodName(kind) + u" of " + Text(url),
                                         [&](Reader& q, Writer& a) { side.answer(q, a); });
      side.replay(reply);
      HRESULT h = reply.i32();
      Text description = reply.text();
      std::int32_t answer = reply.i32();
      if (result) *result = answer;
      if (failed(h)) return fail(h, description);
      return side.result(h);
    });
  }

  complus::host::Created created_;
};

// --- the host's side ---------------------------------------------------------

// One call as the host-side stand-ins see it.
struct CallState {
  Kind kind = Kind::Save;
  Text url;
  std::int32_t flags = 0;
  bool begin = false;
  Snapshot snapshot = Snapshot::Lazy;
  HRESULT recordError = S_OK;
  Text recordErrorText;
  Properties values;
  bool deleted = false;
  const CallBack* callBack = nullptr;
  Writer steps;
  std::int32_t stepCount = 0;

  // As the event record of the change: writable in the begin phase of a save
  // (a registration item's too).
  bool writable() const { return kind != Kind::Delete && begin; }
  bool changeEnded() const { return !begin || kind == Kind::Delete || deleted; }

  Writer& push(Step s) {
    ++stepCount;
    return steps.u8(static_cast<std::uint8_t>(s));
  }
  void flushInto(Writer& w) {
    w.i32(stepCount).raw(steps.bytes());
    steps = Writer();
    stepCount = 0;
  }
  // Asks the caller, after it has applied the steps so far.
  Reader ask(const Writer& question) {
    Writer w;
    flushInto(w);
    w.raw(question.bytes());
    Reader answer = (*callBack)(w);
    HRESULT h = answer.i32();
    Text why = answer.text();
    if (failed(h)) throw ComError(h, why);
    return answer;
  }
  Properties& fields() {
    if (snapshot == Snapshot::Lazy) {
      Writer q;
      q.u8(static_cast<std::uint8_t>(Ask::Fields));
      Reader a = ask(q);
      values = readFields(a);
      snapshot = Snapshot::Fields;
    }
    return values;
  }
};

void requireOpen(bool open) {
  if (!open) throw ComError(ado::adErrObjectClosed, u"Operation is not allowed when the object is closed.");
}

void requireWritable(const CallState& s, bool open) {
  requireOpen(open);
  if (!s.writable())
    throw ComError(ado::adErrPermissionDenied,
                   u"The record " + s.url + u" was opened for reading only; open it with mode 3 to change it.");
  if (s.deleted) throw ComError(ado::adErrResourceNotFound, u"The item " + s.url + u" has been deleted.");
}

class HostedFields final : public FieldSource {
public:
  HostedFields(std::shared_ptr<CallState> s, std::shared_ptr<bool> open) : s_(std::move(s)), open_(std::move(open)) {}
  std::size_t count() override { return values().size(); }
  Text name(std::size_t index) override { return values().entries().at(index).first; }
  std::optional<std::size_t> find(TextView name) override {
    if (auto i = values().indexOf(name)) return i;
    if (!s_->writable() || tree::isComputed(name)) return std::nullopt;
    values().set(name, Variant());
    return values().size() - 1;
  }
  Variant value(std::size_t index) override { return values().entries().at(index).second; }
  void setValue(std::size_t index, const Variant& v) override {
    requireWritable(*s_, *open_);
    const Text name = values().entries().at(index).first;
    if (tree::isComputed(name))
      throw ComError(ado::adErrPermissionDenied, u"The property " + name + u" is computed by the store and cannot be set.");
    if (v.isObject())
      throw ComError(DISP_E_TYPEMISMATCH, u"A property holds text, a number, a Boolean or null, not an object.");
    values().set(name, v);
    s_->push(Step::PutValue).text(name).variant(v);
  }
  void update() override {
    requireWritable(*s_, *open_);
    if (s_->changeEnded())
      throw ComError(ado::adErrPermissionDenied, u"The save of " + s_->url + u" has ended; its record can no longer change it.");
    s_->push(Step::Update);
  }

private:
  Properties& values() {
    requireOpen(*open_);
    return s_->fields();
  }
  std::shared_ptr<CallState> s_;
  std::shared_ptr<bool> open_;
};

class HostedRecord final : public LateBoundRecord {
public:
  explicit HostedRecord(std::shared_ptr<CallState> s) : s_(std::move(s)) {}

  HRESULT Open(const Variant&, const Variant&, std::int32_t, std::int32_t, std::int32_t, TextView, TextView) noexcept override {
    if (*open_) return fail(ado::adErrObjectOpen, u"Operation is not allowed when the object is open.");
    return fail(E_NOTIMPL, u"The event record of a sink in a COM+ server application cannot be opened again; "
                           u"open a new ADODB.Record instead.");
  }
  HRESULT Close() noexcept override {
    return guarded([&] {
      requireOpen(*open_);
      *open_ = false;
      return S_OK;
    });
  }
  HRESULT get_State(std::int32_t* state) noexcept override {
    if (!state) return E_POINTER;
    *state = *open_ ? ado::adStateOpen : ado::adStateClosed;
    return S_OK;
  }
  HRESULT get_Fields(ado::IFields** fields) noexcept override {
    return guarded([&] {
      if (!fields) return E_POINTER;
      requireOpen(*open_);
      *fields = makeFields(std::make_shared<HostedFields>(s_, open_)).detach();
      return S_OK;
    });
  }
  HRESULT DeleteRecord(TextView source, bool) noexcept override {
    return guarded([&] {
      requireWritable(*s_, *open_);
      if (!source.empty() && !equalsIgnoreCase(source, s_->url)) {
        Writer q;
        q.u8(static_cast<std::uint8_t>(Ask::DeleteOther)).text(source);
        s_->ask(q);
        return S_OK;
      }
      if (s_->changeEnded())
        return fail(ado::adErrPermissionDenied, u"The item " + s_->url + u" cannot be deleted from this phase of the event.");
      s_->deleted = true;
      s_->push(Step::DeleteItem);
      return S_OK;
    });
  }

private:
  std::shared_ptr<CallState> s_;
  std::shared_ptr<bool> open_ = std::make_shared<bool>(true);
};

class HostedEventInfo final : public ComObject<IExStoreEventInfo, IExStoreDispEventInfo> {
public:
  explicit HostedEventInfo(std::shared_ptr<CallState> s) : s_(std::move(s)) {}

  HRESULT get_EventRecord(IUnknown** record) noexcept override {
    return guarded([&] {
      if (!record) return E_POINTER;
      if (s_->snapshot == Snapshot::Failed) return fail(s_->recordError, s_->recordErrorText);
      if (s_->deleted)
        return fail(ado::adErrResourceNotFound, u"The item " + s_->url + u" no longer exists, so it has no record.");
      *record = ComPtr<IUnknown>(makeCom<HostedRecord>(s_)).detach();
      return S_OK;
    });
  }
  HRESULT AbortChange(std::int32_t code) noexcept override {
    if (!s_->begin)
      return fail(E_UNEXPECTED, u"The change of " + s_->url + u" has ended; it can be aborted only in the begin phase.");
    return guarded([&] {
      s_->push(Step::Abort).i32(code);
      return S_OK;
    });
  }
  HRESULT GetProperty(TextView name, Variant* value) noexcept override { return events::eventInfoGetProperty(this, name, value); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant*) noexcept override {
    return events::eventInfoInvoke(this, method, args);
  }

private:
  std::shared_ptr<CallState> s_;
};

std::shared_ptr<CallState> readCall(Reader& r, const CallBack& callBack) {
  auto s = std::make_shared<CallState>();
  s->kind = static_cast<Kind>(r.u8());
  s->url = r.text();
  s->flags = r.i32();
  s->begin = (s->flags & exoledb::EVT_SYNC_BEGIN) != 0;
  s->snapshot = static_cast<Snapshot>(r.u8());
  if (s->snapshot == Snapshot::Failed) {
    s->recordError = r.i32();
    s->recordErrorText = r.text();
  } else if (s->snapshot == Snapshot::Fields) {
    s->values = readFields(r);
  }
  s->callBack = &callBack;
  return s;
}

} // namespace

std::uint8_t offers(IUnknown* object) {
  std::uint8_t out = 0;
  ComPtr<IUnknown> probe;
  if (succeeded(object->QueryInterface(exoledb::IExStoreSyncEvents::iid, probe.putVoid()))) out |= kOffersSyncEvents;
  if (succeeded(object->QueryInterface(exoledb::ICreateRegistration::iid, probe.putVoid()))) out |= kOffersRegistration;
  return out;
}

ComPtr<IUnknown> makeProxy(const complus::host::Created& created) {
  auto proxy = makeCom<SinkProxy>(created);
  return ComPtr<IUnknown>(proxy->unknown());
}

bool serveCall(IUnknown* object, Reader& request, Writer& reply, const CallBack& callBack) {
  auto s = readCall(request, callBack);
  ComPtr<IExStoreEventInfo> info;
  if (s->snapshot != Snapshot::NoInfo) info = makeCom<HostedEventInfo>(s);
  const Text url = s->url;
  std::int32_t result = 0;
  takeErrorInfo();
  HRESULT h = guarded([&]() -> HRESULT {
    ComPtr<IUnknown> target(object);
    if (s->kind == Kind::Register)
      return target.query<exoledb::ICreateRegistration>()->Register(info.get(), url, s->flags, &result);
    auto events = target.query<exoledb::IExStoreSyncEvents>();
    return s->kind == Kind::Save ? events->OnSyncSave(info.get(), url, s->flags)
                                 : events->OnSyncDelete(info.get(), url, s->flags);
  });
  Text description = failed(h) ? takeErrorInfo() : Text();
  s->flushInto(reply);
  reply.i32(h).text(description).i32(result);
  return s->kind != Kind::Register && s->begin;
}

} // namespace korvane::store::remote
