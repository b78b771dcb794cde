#include "platform/com/hresult.h"

#include <fmt/format.h>

namespace korvane {

namespace {
thread_local Text tlsErrorInfo;
}

void setErrorInfo(TextView description) { tlsErrorInfo.assign(description); }

Text takeErrorInfo() {
  Text out;
  out.swap(tlsErrorInfo);
  return out;
}

Text describe(HRESULT code) {
  switch (code) {
    case E_NOTIMPL: return u"Not implemented.";
    case E_NOINTERFACE: return u"No such interface supported.";
    case E_POINTER: return u"Invalid pointer.";
    case E_ABORT: return u"Operation aborted.";
    case E_FAIL: return u"Unspecified error.";
    case E_ACCESSDENIED: return u"Access is denied.";
    case E_OUTOFMEMORY: return u"Out of memory.";
    case E_INVALIDARG: return u"The parameter is incorrect.";
    case E_FILE_NOT_FOUND: return u"The system cannot find the file specified.";
    case E_PATH_NOT_FOUND: return u"The system cannot find the path specified.";
    case CLASS_E_NOAGGREGATION: return u"Class does not support aggregation.";
    case CLASS_E_CLASSNOTAVAILABLE: return u"Class is not available from this library.";
    case REGDB_E_CLASSNOTREG: return u"Class not registered.";
    case CO_E_CLASSSTRING: return u"Invalid class string.";
    case CO_E_DLLNOTFOUND: return u"The library of the class could not be found.";
    case CO_E_ERRORINDLL: return u"The library of the class could not be loaded.";
    case RPC_E_SERVERDIED: return u"The server process ended during the call.";
    case CO_E_SERVER_EXEC_FAILURE: return u"The server process could not be started.";
    case DISP_E_UNKNOWNNAME: return u"Unknown name.";
    case DISP_E_TYPEMISMATCH: return u"Type mismatch.";
    case DISP_E_BADPARAMCOUNT: return u"Invalid number of parameters.";
    default: return fromUtf8(fmt::format("Error 0x{:08X}.", static_cast<std::uint32_t>(code)));
  }
}

ComError::ComError(HRESULT code, Text description)
    : code_(code), description_(std::move(description)), utf8_(toUtf8(description_)) {}

HRESULT fail(HRESULT code, TextView description) {
  setErrorInfo(description);
  return code;
}

} // namespace korvane
