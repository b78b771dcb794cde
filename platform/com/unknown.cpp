#include "platform/com/unknown.h"

namespace korvane {

std::atomic<long>& detail::liveObjectCount() {
  static std::atomic<long> count{0};
  return count;
}

long liveComObjects() { return detail::liveObjectCount().load(); }

} // namespace korvane
