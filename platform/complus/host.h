// Host processes of COM+ server applications. A class installed in a server
// application runs in that application's host, korvane-comhost: one process
// per application and server, started by the first activation, reached by
// every process of that server through a Unix socket in the server's "hosts"
// directory (owner-only, like the database), and ended after an idle time
// with no objects in use, by `shutdown` (application removed, component
// reinstalled, the lab's "complus shutdown"), or when it dies.
//
// The host hands each caller's connection to a worker process of its own,
// so that callers do not wait for each other's sinks. An object the caller
// lets go of stays with its worker, kept for the caller's next creation of
// the class from the same construction (library, constructor string): a
// save then costs its calls only. A worker whose objects are all kept so
// counts as idle.
//
// Start and stop are serialised by a lock file beside the socket: a starter
// holds it exclusively while it connects or spawns; a host ending for
// idleness takes it too and goes only when no request is waiting, and a
// caller holds it shared while it sends a creation to a host it already
// knows, so that no creation is lost to a host that is just going.
//
// A call waits at most the server's sink time limit (plus a short grace);
// a host that dies, or does not answer in time, fails the call with
// RPC_E_SERVERDIED and a text naming the application, the library and what
// happened (the host leaves a note when it crashes, aborts, calls exit or
// overruns the limit). The next activation starts a fresh host. A host that
// takes a connection but does not greet in a few seconds (stopped, hung) is
// ended by the caller, which starts a fresh one for the same request and
// says so in the event log.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/com/channel.h"
#include "platform/com/guid.h"

namespace korvane::complus::host {

enum Message : std::uint8_t {
  Hello = 1,      // host -> caller on connect: pid, warning
  Create,         // clsid -> hr, description, object, offered interfaces
  Call,           // object, caller's counters, interface-specific request -> Reply
  Release,        // object (no reply)
  Shutdown,       // (no reply): the host ends at once
  Reply,
  Callback,       // host -> caller during a call; answered by CallbackReply
  CallbackReply,
  Died,           // host -> caller: what ended it
  Serving,        // host -> caller: the pid of the process that serves it
  Park,           // object (no reply): let go of, kept for reuse
  Unpark,         // object (no reply): in use again
};

// Settings of the server, in seconds: how long one call into a hosted
// object may run, and how long a host without objects stays.
inline constexpr std::int32_t kDefaultSinkTimeLimit = 30;
inline constexpr std::int32_t kDefaultIdleShutdown = 180;
std::int32_t sinkTimeLimit();
std::int32_t idleShutdown();
void setSinkTimeLimit(std::int32_t seconds);
void setIdleShutdown(std::int32_t seconds);

struct Status {
  bool running = false;
  int pid = 0;             // 0: it did not say, and its process was not found
  bool answering = false;  // it greeted in time; a stopped or wedged host does not
};
Status status(TextView applicationId);
// What shutdown found and did.
struct Ended {
  bool running = false;   // a host ran
  int pid = 0;            // 0: it never said, and its process was not found
  bool answered = false;  // it ended when told; otherwise it was killed
  bool gone = false;      // its process has ended
};
// Ends the application's host, if one runs: it is told, and killed when it
// does not answer or does not end in time.
Ended shutdown(TextView applicationId);

// The application whose classes a host serves, as callers name it.
struct Target {
  Text applicationId;
  Text applicationName;
  Text library;
};

// Answers one callback: reads the request, writes the answer. Never throws.
using CallbackHandler = std::function<void(wire::Reader& request, wire::Writer& answer)>;

struct Created;

// One caller's connection to one host.
class Link {
public:
  Link(Target target, int fd, int lockFd);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Sends a request and waits for its reply, answering callbacks meanwhile.
  // Throws ComError(RPC_E_SERVERDIED) when the host ends or overruns the
  // time limit; `during` says what the call was ("OnSyncSave of ...").
  wire::Reader call(Message type, const wire::Writer& body, TextView during, const CallbackHandler& callbacks = {});
  // Tells the host an object is no longer used; nothing when it has ended.
  void release(std::int64_t object) noexcept;
  // Lets go of an object, which its worker keeps for reuse.
  void park(const Created& object) noexcept;
  int pid() const { return pid_; }
  const Target& target() const { return target_; }

private:
  friend struct Links;
  friend Created create(const Target& target, const Guid& clsid, const Text& construction);
  std::optional<Created> reuse(const std::shared_ptr<Link>& self, const Guid& clsid, const Text& construction);
  bool sendToLiving(Message type, const wire::Writer& body);
  // Sends a note about an object (no reply); false when the host has ended.
  bool post(Message type, std::int64_t object) noexcept;
  // False when no greeting comes within `ms`.
  bool awaitHello(int ms);
  wire::Reader awaitReply(TextView during, const CallbackHandler& callbacks);
  [[noreturn]] void died(TextView during, Text what);
  Target target_;
  std::unique_ptr<wire::Channel> channel_;
  int lockFd_;
  int pid_ = 0;
  int workerPid_ = 0;  // the host's process that serves this link
  bool dead_ = false;
  std::int32_t limitMs_;
  // Kept objects, without the link (they are this link's): under the lock
  // of the process's links.
  std::vector<Created> parked_;
};

// The start of a Call: the object, and the caller's reading of the caches'
// counters (db/stamp.h) when it has one, which spares the host a read of
// its own (writeCallHead in the caller; readCallHead in the host, which
// returns the object and takes the reading for the request's hold).
void writeCallHead(wire::Writer& w, std::int64_t object);
std::int64_t readCallHead(wire::Reader& r);

// Requests answered by hosts in this process so far (each reply to a call
// or creation, and each callback answered, is one round trip).
std::uint64_t roundTrips();

struct Created {
  std::shared_ptr<Link> link;
  std::int64_t object = 0;
  std::uint8_t offers = 0;  // bits the host's object handler defines
  Text construction;        // what the host made it from
  Guid clsid;
};
// Creates an object of the class in the application's host, starting the
// host when none runs, or hands out again a kept object of the class made
// from `construction`. Throws ComError.
Created create(const Target& target, const Guid& clsid, const Text& construction);

// The host program: `korvane-comhost --server DIR --application ID`, with
// the listening socket as descriptor 3. Returns the exit status.
int runHost(int argc, char** argv);

} // namespace korvane::complus::host
