#include "platform/store/events.h"

#include <algorithm>
#include <fmt/format.h>
#include <map>

#include "platform/com/runtime.h"
#include "platform/db/stamp.h"
#include "platform/store/binding.h"
#include "platform/store/eventlog.h"
#include "platform/store/names.h"
#include "platform/store/query/query.h"
#include "platform/store/record.h"

namespace korvane::store::events {

namespace {

constexpr char16_t kLogSource[] = u"Store event service";

Text hex(HRESULT h) { return fromUtf8(fmt::format("0x{:08X}", static_cast<std::uint32_t>(h))); }

// The description a failed call left, or the generic text of its code.
Text reason(HRESULT h) {
  Text d = takeErrorInfo();
  return (d.empty() ? describe(h) : d) + u" (" + hex(h) + u")";
}

// How the log names a registration's sink.
Text sinkOf(const Registration& r) {
  return u"The event sink \"" + r.sinkClass + u"\" of the registration " + r.url;
}

// --- the event information object --------------------------------------------

class EventInfo final
    : public ComObject<exoledb::IExStoreEventInfo, exoledb::IExStoreDispEventInfo> {
public:
  EventInfo(std::shared_ptr<Change> change, Text sinkClass)
      : change_(std::move(change)), sinkClass_(std::move(sinkClass)) {}

  HRESULT get_EventRecord(IUnknown** record) noexcept override {
    return guarded([&] {
      if (!record) return E_POINTER;
      // Whether another program deleted the item since the commit shows when
      // the record is read (it reads the item then): most sinks only take it
      // in the commit phase, and a look now would cost every save a read.
      if (change_->deleted)
        return fail(ado::adErrResourceNotFound,
                    u"The item " + change_->url + u" no longer exists, so it has no record.");
      ComPtr<ado::IRecord> r = makeEventRecord(change_);
      *record = ComPtr<IUnknown>(r).detach();
      return S_OK;
    });
  }

  HRESULT AbortChange(std::int32_t) noexcept override {
    if (change_->phase != Phase::Begin)
      return fail(E_UNEXPECTED, u"The change of " + change_->url +
                                    u" has ended; it can be aborted only in the begin phase.");
    if (!change_->aborted) change_->abortedBy = sinkClass_;
    change_->aborted = true;
    return S_OK;
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override { return eventInfoGetProperty(this, name, value); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant*) noexcept override {
    return eventInfoInvoke(this, method, args);
  }

private:
  std::shared_ptr<Change> change_;
  Text sinkClass_;
};

// --- reading registrations ---------------------------------------------------

enum class Scope { Exact, Shallow, Deep, Any };

Scope scopeOf(const Properties& props) {
  Text s = trimBlanks(props.text(prop::matchScope));
  if (equalsIgnoreCase(s, u"SHALLOW")) return Scope::Shallow;
  if (equalsIgnoreCase(s, u"DEEP")) return Scope::Deep;
  if (equalsIgnoreCase(s, u"ANY")) return Scope::Any;
  return Scope::Exact;
}

bool hasMethod(const Properties& props, Method method) {
  TextView want = method == Method::Save ? u"onsyncsave" : u"onsyncdelete";
  for (const Text& m : methodNames(props.text(prop::eventMethod)))
    if (equalsIgnoreCase(m, want)) return true;
  return false;
}

bool isEnabled(const Properties& props) {
  const Variant* v = props.find(prop::enabled);
  if (!v || v->isNull() || v->isEmpty()) return true;
  try {
    return v->toBool();
  } catch (const ComError&) {
    return true;
  }
}

std::int64_t priorityOf(const Properties& props) {
  const Variant* v = props.find(prop::priority);
  if (!v || v->isNull() || v->isEmpty()) return 0x7FFFFFFF;
  try {
    return v->isText() ? Variant(trimBlanks(v->textValue())).toInt() : v->toInt();
  } catch (const ComError&) {
    return 0x7FFFFFFF;
  }
}

// Parsed criteria by text; a registration's criteria rarely change.
query::ConditionPtr criteriaOf(const Text& text) {
  static std::map<Text, query::ConditionPtr> cache;
  if (auto it = cache.find(text); it != cache.end()) return it->second;
  query::ConditionPtr c = query::parseCriteria(text);
  if (cache.size() > 1000) cache.clear();
  cache.emplace(text, c);
  return c;
}

bool criteriaMatch(const Registration& reg, const Properties& item) {
  Text text = reg.props.text(prop::criteria);
  try {
    return query::evaluate(criteriaOf(text), [&](TextView name) { return item.get(name); });
  } catch (const ComError& e) {
    writeEvent(kLogSource, EventLevel::Warning,
               u"The event registration " + reg.url + u" was skipped: its criteria \"" + text +
                   u"\" cannot be read: " + e.description());
    return false;
  }
}

Registration readRegistration(const Node& node) {
  Registration r;
  r.node = node;
  r.url = tree::urlOf(node);
  r.props = tree::stored(node.id);
  r.priority = priorityOf(r.props);
  r.sinkClass = trimBlanks(r.props.text(prop::sinkClass));
  return r;
}

// Registrations in `folder` whose scope is one of `scopes`.
void collect(std::int64_t folder, std::initializer_list<Scope> scopes, std::vector<Registration>& out) {
  for (const Node& n : tree::registrationsIn(folder)) {
    Registration r = readRegistration(n);
    if (std::find(scopes.begin(), scopes.end(), scopeOf(r.props)) == scopes.end()) continue;
    bool seen = std::any_of(out.begin(), out.end(), [&](const Registration& o) { return o.node.id == n.id; });
    if (!seen) out.push_back(std::move(r));
  }
}

int compareUrls(const Text& a, const Text& b) {
  Text fa = foldCase(a), fb = foldCase(b);
  return fa < fb ? -1 : (fb < fa ? 1 : (a < b ? -1 : (b < a ? 1 : 0)));
}

// Every registration whose folder and scope take in `item`, whatever its
// properties. Kept while no registration or folder changes: reading them
// is most of what a delivery into a watched folder costs.
std::vector<Registration> inScope(const Node& item) {
  using Key = std::pair<std::int64_t, std::int64_t>;
  static db::StampedCache<Key, std::vector<Registration>> cache(tree::kShapeStamp, 1000);
  auto lookup = cache.open(tree::database());
  return lookup.get(
      Key{item.folder ? item.id : 0, item.parent.value_or(0)},
      [&] {
        std::vector<Registration> found;
        if (item.folder) collect(item.id, {Scope::Exact}, found);
        if (item.parent) {
          collect(*item.parent, {Scope::Shallow, Scope::Deep}, found);
          if (auto parent = tree::node(*item.parent))
            for (const Node& up : tree::ancestors(*parent)) collect(up.id, {Scope::Deep}, found);
        }
        collect(tree::server().globalEvents, {Scope::Any}, found);
        return found;
      });
}

} // namespace

std::vector<Text> methodNames(TextView list) {
  Text separated(list);
  for (char16_t sep : {u',', u' ', u'\t'}) separated = replaceAll(separated, Text(1, sep), u";");
  std::vector<Text> out = split(separated, u';');
  std::erase_if(out, [](const Text& m) { return m.empty(); });
  return out;
}

std::vector<Registration> applicable(const Node& item, const Properties& props, Method method) {
  std::vector<Registration> found = inScope(item);
  std::vector<Registration> out;
  for (Registration& r : found)
    if (isEnabled(r.props) && hasMethod(r.props, method) && criteriaMatch(r, props)) out.push_back(std::move(r));
  std::stable_sort(out.begin(), out.end(), [](const Registration& a, const Registration& b) {
    if (a.priority != b.priority) return a.priority < b.priority;
    return compareUrls(a.url, b.url) < 0;
  });
  return out;
}

bool watched(const Node& item, Method method) {
  auto found = inScope(item);
  return std::any_of(found.begin(), found.end(),
                     [&](const Registration& r) { return isEnabled(r.props) && hasMethod(r.props, method); });
}

std::vector<Sink> createSinks(const std::vector<Registration>& registrations, Change& change) {
  std::vector<Sink> sinks;
  for (const Registration& r : registrations) {
    ComPtr<exoledb::IExStoreSyncEvents> events;
    Guid clsid;
    HRESULT h = CLSIDFromProgID(r.sinkClass, &clsid);
    if (succeeded(h)) h = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, exoledb::IExStoreSyncEvents::iid, events.putVoid());
    if (h == db::E_DATABASE) {
      // The server's own database failed, not the sink: nothing can be saved as registered.
      Text d = takeErrorInfo();
      throw ComError(h, d.empty() ? describe(h) : d);
    }
    if (failed(h) || !events) {
      change.log.push_back({EventLevel::Error,
                            sinkOf(r) + u" could not be created: " + reason(h) + u". The change of ",
                            u" went on without it."});
      continue;
    }
    sinks.push_back(Sink{r, std::move(events)});
  }
  return sinks;
}

namespace {

void call(const Sink& sink, const std::shared_ptr<Change>& change, std::int32_t flags) {
  if (sink.hostEnded) return;
  auto info = makeEventInfo(change, sink.registration.sinkClass);
  HRESULT h = change->method == Method::Save ? sink.events->OnSyncSave(info.get(), change->url, flags)
                                             : sink.events->OnSyncDelete(info.get(), change->url, flags);
  if (h == RPC_E_SERVERDIED) {
    // Whatever the sink did in its host is lost with it: in the begin phase
    // the change goes on as if the sink had never been there; afterwards
    // the change was settled already, with what the sink did before.
    sink.hostEnded = true;
    const Text outcome = (flags & exoledb::EVT_SYNC_COMMITTED)
                             ? u" was written already; the sink missed only its commit phase."
                         : (flags & exoledb::EVT_SYNC_ABORTED)
                             ? u" was not written; the sink missed only its abort phase."
                             : u" went on without it.";
    change->log.push_back({EventLevel::Error,
                           sinkOf(sink.registration) + u" was lost with its host process: " + reason(h) +
                               u" The change of ",
                           outcome});
  } else if (failed(h)) {
    change->log.push_back({EventLevel::Warning,
                           sinkOf(sink.registration) + u" failed on ",
                           u": " + reason(h) + u"."});
  }
}

} // namespace

void writeLog(Change& change) noexcept {
  try {
    for (const auto& entry : change.log) writeEvent(kLogSource, entry.level, entry.before + change.url + entry.after);
  } catch (...) {
    // The log reports on the change; failing to write it must not fail the change.
  }
  change.log.clear();
}

std::size_t beginPhase(const std::vector<Sink>& sinks, const std::shared_ptr<Change>& change,
                       std::int32_t flags) {
  change->phase = Phase::Begin;
  std::size_t called = 0;
  for (const Sink& sink : sinks) {
    call(sink, change, flags);
    ++called;
    if (change->deleted || change->aborted) break;
  }
  return called;
}

void afterPhase(const std::vector<Sink>& sinks, std::size_t called, const std::shared_ptr<Change>& change,
                std::int32_t flags) {
  change->phase = Phase::After;
  for (std::size_t i = 0; i < called && i < sinks.size(); ++i) call(sinks[i], change, flags);
}

void confirmRegistration(const std::shared_ptr<Change>& change, const Properties& props, std::int32_t flags) {
  Text sinkClass = trimBlanks(props.text(prop::sinkClass));
  auto refuse = [&](TextView why) {
    throw ComError(E_REGISTRATION_REFUSED, u"The event registration " + change->url + u" was refused: " + Text(why));
  };
  if (sinkClass.empty()) refuse(u"it names no sink class (property " + Text(prop::sinkClass) + u").");
  try {
    query::parseCriteria(props.text(prop::criteria));
  } catch (const ComError& e) {
    refuse(u"its criteria cannot be read: " + e.description());
  }
  if (scopeOf(props) == Scope::Any && change->node.parent != tree::server().globalEvents)
    refuse(u"the match scope ANY is allowed only in the store's GlobalEvents folder.");

  Guid clsid;
  ComPtr<IUnknown> sink;
  HRESULT h = CLSIDFromProgID(sinkClass, &clsid);
  if (succeeded(h)) h = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IUnknown::iid, sink.putVoid());
  if (failed(h)) refuse(u"its sink class \"" + sinkClass + u"\" cannot be created: " + reason(h) + u".");

  auto registrar = sink.as<exoledb::ICreateRegistration>();
  if (!registrar) return;  // a sink without the interface accepts every registration
  std::int32_t result = 0;
  auto info = makeEventInfo(change, sinkClass);
  h = registrar->Register(info.get(), change->url, flags, &result);
  if (failed(h)) refuse(u"its sink class \"" + sinkClass + u"\" failed to register it: " + reason(h) + u".");
  if (result != 0)
    refuse(u"its sink class \"" + sinkClass + u"\" declined it (result " + fromUtf8(std::to_string(result)) + u").");
}

HRESULT eventInfoGetProperty(exoledb::IExStoreDispEventInfo* self, TextView name, Variant* value) noexcept {
  return guarded([&] {
    if (!binding::is(name, u"EventRecord")) return unknownName(name);
    ComPtr<IUnknown> r;
    check(self->get_EventRecord(r.put()));
    return binding::put(value, Variant(r));
  });
}

HRESULT eventInfoInvoke(exoledb::IExStoreDispEventInfo* self, TextView method, std::span<const Variant> args) noexcept {
  return guarded([&] {
    if (!binding::is(method, u"AbortChange")) return unknownName(method);
    return self->AbortChange(binding::intArg(args, 0, 1));
  });
}

ComPtr<exoledb::IExStoreEventInfo> makeEventInfo(std::shared_ptr<Change> change, Text sinkClass) {
  return makeCom<EventInfo>(std::move(change), std::move(sinkClass));
}

} // namespace korvane::store::events
