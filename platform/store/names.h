// The public store's fixed names: the properties it computes or gives
// defaults to, the content classes, the event registration properties, and
// the failure codes of the store (beside the data-access codes of ado.h).
#pragma once

#include "platform/com/hresult.h"

namespace korvane::store {

namespace prop {
// Computed by the store from the tree; read-only.
inline constexpr char16_t href[] = u"DAV:href";
inline constexpr char16_t displayName[] = u"DAV:displayname";
inline constexpr char16_t parentName[] = u"DAV:parentname";
inline constexpr char16_t isFolder[] = u"DAV:isfolder";
inline constexpr char16_t isCollection[] = u"DAV:iscollection";
inline constexpr char16_t hasSubs[] = u"DAV:hassubs";
inline constexpr char16_t childCount[] = u"DAV:childcount";
// Stored, with a default when never written.
inline constexpr char16_t isHidden[] = u"DAV:ishidden";
inline constexpr char16_t contentClass[] = u"DAV:contentclass";
// Ordinary stored properties the store itself reads.
inline constexpr char16_t mailAddress[] = u"http://schemas.microsoft.com/exchange/publicfolderemailaddress";
inline constexpr char16_t messageClass[] = u"http://schemas.microsoft.com/exchange/outlookmessageclass";
// The folder comment: what the folder object shows as "Description".
inline constexpr char16_t description[] = u"http://schemas.microsoft.com/mapi/proptag/x3004001f";
inline constexpr char16_t subject[] = u"urn:schemas:httpmail:subject";

// What the mail service stores with a message it received.
inline constexpr char16_t from[] = u"urn:schemas:httpmail:from";
inline constexpr char16_t to[] = u"urn:schemas:httpmail:to";
inline constexpr char16_t cc[] = u"urn:schemas:httpmail:cc";
inline constexpr char16_t date[] = u"urn:schemas:httpmail:date";  // ISO 8601, UTC
inline constexpr char16_t messageId[] = u"urn:schemas:mailheader:message-id";
inline constexpr char16_t textBody[] = u"urn:schemas:httpmail:textdescription";
inline constexpr char16_t hasAttachment[] = u"urn:schemas:httpmail:hasattachment";
inline constexpr char16_t attachmentNames[] = u"urn:schemas:httpmail:attachmentnames";  // one per line
inline constexpr char16_t envelopeSender[] = u"urn:schemas:mailheader:return-path";
// The message exactly as received, one UTF-16 code unit per octet.
inline constexpr char16_t rawMessage[] = u"urn:schemas:mailheader:rawmessage";

// Event registration items.
inline constexpr char16_t eventMethod[] = u"http://schemas.microsoft.com/exchange/events/EventMethod";
inline constexpr char16_t sinkClass[] = u"http://schemas.microsoft.com/exchange/events/SinkClass";
inline constexpr char16_t matchScope[] = u"http://schemas.microsoft.com/exchange/events/MatchScope";
inline constexpr char16_t criteria[] = u"http://schemas.microsoft.com/exchange/events/criteria";
inline constexpr char16_t priority[] = u"http://schemas.microsoft.com/exchange/events/priority";
inline constexpr char16_t enabled[] = u"http://schemas.microsoft.com/exchange/events/Enabled";
} // namespace prop

namespace contentclass {
inline constexpr char16_t folder[] = u"urn:content-classes:folder";
inline constexpr char16_t message[] = u"urn:content-classes:message";
inline constexpr char16_t registration[] = u"urn:content-class:storeeventreg";
} // namespace contentclass

// Failure codes of the store.
inline constexpr HRESULT E_STORE_ABORTED = hr(0x8004D201);         // a sink vetoed the save or delete
inline constexpr HRESULT E_REGISTRATION_REFUSED = hr(0x8004D202);  // registration item refused
inline constexpr HRESULT E_NO_TRANSACTION = hr(0x8004D203);        // commit/rollback without one
inline constexpr HRESULT E_NOT_A_FOLDER = hr(0x8004D204);          // URL names an item, a folder is needed
inline constexpr HRESULT E_BAD_NAME = hr(0x8004D205);              // unusable item or folder name
inline constexpr HRESULT E_NOT_THIS_SERVER = hr(0x8004D206);       // URL of another host or tree
inline constexpr HRESULT E_STORE_CHANGED = hr(0x8004D207);         // the item changed while its sinks ran

} // namespace korvane::store
