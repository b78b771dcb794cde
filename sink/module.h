// Book-keeping of the sink library itself: how many of its objects are alive
// and how many server locks its callers hold, so that DllCanUnloadNow can
// tell whether the library may go.
#pragma once

namespace korvane::sink {

long liveObjects();
long serverLocks();
void lockServer();
void unlockServer();
// True when nothing of the library is in use.
bool canUnload();

// A member of every object the library hands out: counts it while it lives.
class LiveObject {
public:
  LiveObject();
  ~LiveObject();
  LiveObject(const LiveObject&) = delete;
  LiveObject& operator=(const LiveObject&) = delete;
};

} // namespace korvane::sink
