// The code and description a failed call leaves, whether it returns them or
// throws them, so that a test checks both the same way.
#pragma once

#include "platform/com/hresult.h"

namespace korvane::testing {

struct Failure {
  HRESULT code;
  Text description;
};

inline Failure failureOf(HRESULT h) { return {h, takeErrorInfo()}; }

// What `call` threw; S_OK when it threw nothing.
template <typename Call>
Failure thrownBy(Call&& call) {
  takeErrorInfo();
  return failureOf(guarded([&]() -> HRESULT {
    call();
    return S_OK;
  }));
}

inline bool contains(const Text& text, TextView part) { return text.find(part) != Text::npos; }

} // namespace korvane::testing
