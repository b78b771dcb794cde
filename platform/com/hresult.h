// Failure codes and error descriptions of the platform's COM layer: calls
// return an HRESULT and leave a per-thread description; inside a component,
// failures travel as ComError and are turned back into codes at each
// interface boundary by `guarded`.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/com/text.h"

namespace korvane {

using HRESULT = std::int32_t;

constexpr HRESULT hr(std::uint32_t code) { return static_cast<HRESULT>(code); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = hr(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = hr(0x80004002);
inline constexpr HRESULT E_POINTER = hr(0x80004003);
inline constexpr HRESULT E_ABORT = hr(0x80004004);
inline constexpr HRESULT E_FAIL = hr(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = hr(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = hr(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = hr(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = hr(0x80070057);
inline constexpr HRESULT E_FILE_NOT_FOUND = hr(0x80070002);
inline constexpr HRESULT E_PATH_NOT_FOUND = hr(0x80070003);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = hr(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hr(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = hr(0x80040154);
inline constexpr HRESULT CO_E_CLASSSTRING = hr(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = hr(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = hr(0x800401F9);
// The process that served the object ended (crashed, was killed, or was
// ended for not returning in time) before the call returned.
inline constexpr HRESULT RPC_E_SERVERDIED = hr(0x80010007);
// The object has gone from the process that served it.
inline constexpr HRESULT RPC_E_DISCONNECTED = hr(0x80010108);
// The host process of a server application could not be started.
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = hr(0x80080005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = hr(0x80020006);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = hr(0x80020005);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = hr(0x8002000E);

constexpr bool succeeded(HRESULT h) { return h >= 0; }
constexpr bool failed(HRESULT h) { return h < 0; }

// Per-thread error description, set by the callee before it returns a failure.
void setErrorInfo(TextView description);
Text takeErrorInfo();  // the description, then cleared
Text describe(HRESULT code);  // a generic text for a code without a description

// A failure inside a component: number and text, as the run-time reports it.
class ComError : public std::exception {
public:
  ComError(HRESULT code, Text description);
  HRESULT code() const noexcept { return code_; }
  const Text& description() const noexcept { return description_; }
  const char* what() const noexcept override { return utf8_.c_str(); }

private:
  HRESULT code_;
  Text description_;
  std::string utf8_;
};

// Sets the description and returns the code: `return fail(E_INVALIDARG, u"...")`.
HRESULT fail(HRESULT code, TextView description);

// Throws ComError for a failed code, with the description the callee left.
inline void check(HRESULT h) {
  if (failed(h)) {
    Text d = takeErrorInfo();
    throw ComError(h, d.empty() ? describe(h) : d);
  }
}

// Runs `body` and turns any exception into a code with its description, so
// that no exception crosses a COM interface.
template <typename F>
HRESULT guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const ComError& e) {
    return fail(e.code(), e.description());
  } catch (const std::bad_alloc&) {
    return fail(E_OUTOFMEMORY, u"Out of memory.");
  } catch (const std::exception& e) {
    return fail(E_FAIL, fromUtf8(e.what()));
  } catch (...) {
    return fail(E_UNEXPECTED, u"Unexpected failure.");
  }
}

} // namespace korvane
