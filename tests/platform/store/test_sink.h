// Event sinks for the event service tests: built-in classes whose objects
// write down every call they get (phase flags, URL, the message class they
// read through the event record) and act by their ProgID: rewrite the class,
// delete the item, abort the change, refuse registration, change the item
// behind the save's back.
#pragma once

#include <vector>

#include "platform/com/text.h"

namespace korvane::store::testing {

inline constexpr char16_t kRecorder[] = u"KorvaneTest.Recorder";
inline constexpr char16_t kSecondRecorder[] = u"KorvaneTest.SecondRecorder";
inline constexpr char16_t kRewriter[] = u"KorvaneTest.Rewriter";  // sets "IPM.Rewritten"
inline constexpr char16_t kDeleter[] = u"KorvaneTest.Deleter";
inline constexpr char16_t kAborter[] = u"KorvaneTest.Aborter";
inline constexpr char16_t kRefuser[] = u"KorvaneTest.Refuser";      // Register answers 1
inline constexpr char16_t kThirdRecorder[] = u"KorvaneTest.ThirdRecorder";
inline constexpr char16_t kVanishing[] = u"KorvaneTest.Vanishing";   // creatable while available
inline constexpr char16_t kMeddler[] = u"KorvaneTest.Meddler";  // saves its item through a record of its own
inline constexpr char16_t kNameTaker[] = u"KorvaneTest.NameTaker";  // saves a new item of its own under the planned name
inline constexpr char16_t kUnregistered[] = u"KorvaneTest.NoSuchClass";

struct SinkCall {
  Text sink;
  Text event;  // "save", "delete" or "register"
  Text url;
  std::int32_t flags = 0;
  Text messageClass;  // read through the event record; "<no record>" when there was none
  int object = 0;     // which sink object was called
};

std::vector<SinkCall>& sinkCalls();
// Registers the test classes once.
void registerTestSinks();
void setVanishingAvailable(bool available);

} // namespace korvane::store::testing
