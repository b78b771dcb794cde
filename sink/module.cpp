#include "sink/module.h"

#include <atomic>

namespace korvane::sink {

namespace {
// Objects are apartment-bound, but several apartments may share the library.
std::atomic<long> objects{0};
std::atomic<long> locks{0};
} // namespace

long liveObjects() { return objects.load(); }
long serverLocks() { return locks.load(); }
void lockServer() { ++locks; }
void unlockServer() { --locks; }
bool canUnload() { return objects.load() == 0 && locks.load() == 0; }

LiveObject::LiveObject() { ++objects; }
LiveObject::~LiveObject() { --objects; }

} // namespace korvane::sink
