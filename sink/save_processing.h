// What the sink does in each phase of a store event: the begin phase of a
// save rewrites or deletes a delivered item whose message class matches a
// pair; the other phases only take the item record and let it go. Errors end
// a phase quietly; nothing is logged and no phase vetoes a change.
#pragma once

#include <cstdint>

#include "platform/store/exoledb.h"
#include "sink/configuration.h"

namespace korvane::sink {

// The 16-bit Booleans the phase procedures report.
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

inline constexpr char16_t kMessageClassField[] =
    u"http://schemas.microsoft.com/exchange/outlookmessageclass";

// The URL of the folder that holds `itemUrl`: everything up to and including
// its last "/", or the whole URL when it has none.
Text parentFolderUrl(TextView itemUrl);

// Begin phase of a save. Reports True on every path, errors included.
std::int16_t processBeginSave(exoledb::IExStoreEventInfo* info, TextView itemUrl,
                              std::int32_t flags, const Configuration& config) noexcept;

void processCommitSave(exoledb::IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags) noexcept;
void processAbortSave(exoledb::IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags) noexcept;
std::int16_t processBeginDelete(exoledb::IExStoreEventInfo* info, TextView itemUrl,
                                std::int32_t flags) noexcept;
void processCommitDelete(exoledb::IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags) noexcept;
void processAbortDelete(exoledb::IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags) noexcept;

} // namespace korvane::sink
