// The store's event service: finds the registration items that apply to a
// save or delete, creates their sinks by ProgID through the COM runtime, and
// runs the begin phase (on the item held in memory, see save.h) and the
// commit or abort phase (after the item is written or dropped). Registration items themselves are checked with
// their sink's ICreateRegistration when they are saved.
//
// Rules, as a server of this kind applies them:
// - MatchScope "SHALLOW": saves in the registration's folder; "DEEP": in it
//   and every folder below; "ANY" (only in the store's GlobalEvents folder):
//   saves anywhere; "EXACT": saves of the folder that holds the registration.
//   A missing or unknown scope counts as "EXACT".
// - EventMethod is a list ("onsyncsave;onsyncdelete", any case, separated by
//   ";", "," or blanks). "Enabled" false switches a registration off.
// - "criteria" is a WHERE clause on the saved item's properties; criteria
//   that do not parse skip the registration with an event-log warning.
// - Order: "priority" read as an integer (lower first; missing or not a
//   number: 0x7FFFFFFF), then the registration's URL.
// - A sink in a COM+ server application runs in the application's host.
//   When the host dies or overruns the time limit during a call, the call
//   fails with RPC_E_SERVERDIED: an Error entry in the event log names the
//   application, the library and what happened, the change goes on as if
//   the sink were not there (its changes were never applied), and its later
//   phases are skipped.
#pragma once

#include <memory>
#include <vector>

#include "platform/store/eventlog.h"
#include "platform/store/exoledb.h"
#include "platform/store/tree.h"

namespace korvane::store::events {

enum class Method { Save, Delete };
enum class Phase { Begin, After };

// One save or delete as the sinks see it through their event information.
// In the begin phase the item lives here, not in the tables: the event
// record reads `item` and its updates go into `item` and `changes`, which
// the store writes once the begin phase is over.
struct Change {
  Node node;  // id 0 while a new item is not written yet
  Text url;
  Method method = Method::Save;
  Phase phase = Phase::Begin;
  Properties item;       // every property, computed ones included
  Properties changes;    // what the save writes: the caller's values, then the sinks'
  bool deleted = false;  // a sink deleted the item in the begin phase
  bool aborted = false;  // a sink called AbortChange
  Text abortedBy;        // its sink class
  // Event-log entries about the change, written by writeLog once its URL is
  // final: a new item's name is settled only when it is written, and another
  // save may have taken the planned one meanwhile. The URL goes between the
  // two texts.
  struct LogEntry {
    EventLevel level;
    Text before, after;
  };
  std::vector<LogEntry> log;
};

// The names in a registration's list of event methods, as the service reads
// it: separated by commas, semicolons, blanks or tabs; empty names dropped.
std::vector<Text> methodNames(TextView list);

struct Registration {
  Node node;
  Text url;
  Properties props;
  std::int64_t priority = 0x7FFFFFFF;
  Text sinkClass;
};

// The registrations that apply to a save or delete of `item` (whose
// properties are `props`), in calling order.
std::vector<Registration> applicable(const Node& item, const Properties& props, Method method);
// Whether a registration for `method` takes `item` in, its criteria not yet
// asked: a save that will likely call sinks can plan accordingly.
bool watched(const Node& item, Method method);

struct Sink {
  Registration registration;
  ComPtr<exoledb::IExStoreSyncEvents> events;
  // Its server application's host died during a call: later phases skip it.
  mutable bool hostEnded = false;
};

// Creates the sinks; one that cannot be created is logged and left out.
std::vector<Sink> createSinks(const std::vector<Registration>& registrations, Change& change);

// Calls every sink's begin phase in order; stops after one that deleted the
// item or aborted the change. Returns how many sinks were called.
std::size_t beginPhase(const std::vector<Sink>& sinks, const std::shared_ptr<Change>& change,
                       std::int32_t flags);
// Calls the commit or abort phase on the first `called` sinks.
void afterPhase(const std::vector<Sink>& sinks, std::size_t called, const std::shared_ptr<Change>& change,
                std::int32_t flags);

// Writes the change's waiting event-log entries, naming it by its URL as it
// stands now, and forgets them. Never fails: the log only reports.
void writeLog(Change& change) noexcept;

// Asks the sink of a registration item whether it accepts the registration;
// throws ComError(E_REGISTRATION_REFUSED) naming the sink class and the
// reason when it cannot be created or declines.
void confirmRegistration(const std::shared_ptr<Change>& change, const Properties& props, std::int32_t flags);

// The late binding of the event information ("EventRecord", "AbortChange"),
// for every object that offers it.
HRESULT eventInfoGetProperty(exoledb::IExStoreDispEventInfo* self, TextView name, Variant* value) noexcept;
HRESULT eventInfoInvoke(exoledb::IExStoreDispEventInfo* self, TextView method, std::span<const Variant> args) noexcept;

// The event information object handed to sinks.
ComPtr<exoledb::IExStoreEventInfo> makeEventInfo(std::shared_ptr<Change> change, Text sinkClass);

} // namespace korvane::store::events
