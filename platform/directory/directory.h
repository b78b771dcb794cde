// The emulated Active Directory: the global catalog server's DNS host name
// and the person objects of the forest, kept in the server database. The
// lab tool and the tests manage them through this API; programs read them
// through the RootDSE binding (rootdse.h) and directory searches (command.h).
#pragma once

#include <optional>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/text.h"

namespace korvane::directory {

// Failure codes a directory client sees.
inline constexpr HRESULT E_ADS_BAD_PATHNAME = hr(0x80005000);
inline constexpr HRESULT E_ADS_PROPERTY_NOT_FOUND = hr(0x8000500D);
inline constexpr HRESULT E_ADS_SERVER_DOWN = hr(0x8007203A);      // "The server is not operational."
inline constexpr HRESULT E_ADS_NO_SUCH_DOMAIN = hr(0x8007054B);   // no domain to contact
inline constexpr HRESULT E_ADS_OBJECT_EXISTS = hr(0x80071392);

struct Person {
  Text samAccountName;  // unique ignoring letter case
  Text cn;
  Text objectCategory;  // a DN such as CN=Person,CN=Schema,CN=Configuration,DC=corp,...
  std::optional<Text> homeServer;  // msExchHomeServerName; none for a user without mailbox
};

// The global catalog's DNS host name; nullopt while none is configured (the
// machine then belongs to no forest and every bind fails).
std::optional<Text> globalCatalogHost();
// Rejects (E_INVALIDARG) a text that is not a DNS host name.
void setGlobalCatalogHost(TextView dnsHostName);

// The DN of a DNS domain: corp.example.com gives DC=corp,DC=example,DC=com.
Text domainDn(TextView dnsDomain);
// The person category of a domain: CN=Person,CN=Schema,CN=Configuration,<domain DN>.
Text personCategory(TextView dnsDomain);

// Adds a person; fails with E_ADS_OBJECT_EXISTS when the account name is
// taken (ignoring case) and with E_INVALIDARG for an empty or malformed name,
// an empty cn or an empty category. Nothing is stored on failure.
void addPerson(const Person& person);
// Replaces the person with the same account name; false when there is none.
bool updatePerson(const Person& person);
// False when there was no such person.
bool removePerson(TextView samAccountName);
std::optional<Person> findPerson(TextView samAccountName);
// In the order they were added.
std::vector<Person> listPersons();

// The DN of a person's object: CN=<cn>,CN=Users,<the DC= part of its category>.
Text distinguishedName(const Person& person);

} // namespace korvane::directory
