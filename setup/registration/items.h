// The sink's event registration item "Korvane.reg": the hidden item whose
// properties make the store call the sink on saves, per folder (SHALLOW) or
// store-wide in the GlobalEvents folder (ANY); create, delete and look up.
#pragma once

#include <optional>

#include "platform/com/unknown.h"
#include "platform/store/ado.h"
#include "setup/window/model.h"

namespace korvane::setup {

inline constexpr char16_t kRegItemName[] = u"Korvane.reg";
inline constexpr char16_t kEventMethod[] = u"onsyncsave";
inline constexpr char16_t kSinkClass[] = u"Korvane.KorvaneCls";
inline constexpr char16_t kCriteria[] = u" WHERE \"DAV:ishidden\" = FALSE";
inline constexpr char16_t kRegItemCondition[] =
    u" AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";

// The store-wide item's folder in its two pieces.
Text storeWideBaseUrl(TextView publicRoot);          // <root>non_ipm_subtree
Text storeWideRelativePath(TextView storeGuid);      // StoreEvents<GUID>/GlobalEvents

// The folder URL: base, then "/" and the relative path when there is one.
Text composeFolderUrl(TextView baseUrl, TextView relativePath);

// A URL as it stands inside the quoted scope literal of a query: every
// apostrophe doubled (the literal is in apostrophes) and every double quote
// doubled (the URL is in double quotes inside it), so that no folder name,
// like "Bob's Orders" or 'Say "Hi"', can end the literal or change the query.
Text scopeLiteralUrl(TextView url);

// Returns the folder URL written to, or "" on failure (logged when asked).
// A registration item of that name is replaced; anything else of that name
// (a folder, a user's item) makes it fail with a text that says what to rename.
Text CreateRegItem(TextBox& txtErr, TextView baseUrl, TextView relativePath, TextView itemName,
                   TextView eventMethod, TextView sinkClass, TextView matchScope, TextView criteria,
                   TextView priority, bool logErrors);

// True when the item was deleted; False on any failure, a missing item
// included. Only a registration item (hidden, not a folder, of the
// registration content class) is deleted.
bool DeleteRegItem(TextBox& txtErr, TextView baseUrl, TextView relativePath, TextView itemName,
                   bool logErrors);

// 1: a child with that display name exists (or, for a blank name, the folder
// opened); 0: none; -1: error. `connection` is created when empty and handed
// back for reuse; it is closed before every return. On -1, `failure` (when
// given) receives the error, whether it was logged or not.
std::int16_t CheckItemExists(TextBox& txtErr, TextView baseUrl, TextView relativePath, TextView name,
                             TextView extraCondition, bool logErrors,
                             ComPtr<ado::IConnection>& connection,
                             std::optional<ComError>* failure = nullptr);

// The look-up query text, exactly as CheckItemExists sends it.
Text itemLookupQuery(TextView folderUrl, TextView name, TextView extraCondition);

} // namespace korvane::setup
