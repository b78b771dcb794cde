// The COM+ administration catalog ("COMAdmin.COMAdminCatalog"): applications
// and their components kept in the server database, reached through
// collections of catalog objects, typed or late-bound by name.
//
// How this catalog behaves:
// - GetCollection("Applications") gives an empty collection; Populate reads
//   a snapshot of the stored applications in creation order. Add, Remove and
//   property writes change the snapshot only; SaveChanges writes them in one
//   transaction (all or nothing) and reports how many objects it changed.
// - A collection's GetCollection("Components", key) gives the components of
//   the stored application whose "ID" is `key` (compared ignoring case).
//   Components are created by InstallComponent only; Remove takes one out of
//   its application.
// - Applications: "ID" (a braced GUID the catalog assigns at Add, read-only),
//   "Name", "Description", "Identity" (default "Interactive User"),
//   "Password" (write-only: it always reads "********"),
//   "ApplicationAccessChecksEnabled" (default True), "Activation" (0: a
//   library application, 1: a server application, the default).
//   Names need not be unique. Object Name = "Name", Key = "ID".
// - Components: "CLSID", "ProgID", "DLL", "ThreadingModel", "ApplicationID"
//   (read-only), "Description", "ConstructionEnabled" (default False),
//   "ConstructorString" (null until written). Name = "ProgID" (the CLSID
//   when there is none), Key = "CLSID". A class belongs to one application.
// - Property names compare ignoring case. Values are converted to the
//   property's type (texts, Booleans, 32-bit numbers).
// - Activation: creating a class that is installed in an application creates
//   it from its in-process server and, when construction is enabled, hands
//   it the constructor string ("" when null) through
//   IObjectConstruct::Construct; a failing Construct fails the creation. A
//   library application does this in the caller's process; a server
//   application in its host process (host.h), under the account its
//   "Identity" names when this machine has one, and the caller gets a proxy.
//   Removing an application, or installing into it again, ends its host.
//
// Late binding: the catalog offers GetCollection(name), InstallComponent(4
// texts) and RefreshComponents; a collection Populate, Count, Item(i), Add,
// Remove(i), SaveChanges, GetCollection(name, key) and Name; an object Name,
// Key and Value(name) to read, Value(name, value) to write.
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::complus {

inline constexpr Guid CLSID_COMAdminCatalog = "{F618C514-DFB8-11D1-A2CF-00805FC79235}"_guid;
inline constexpr const char16_t* kCatalogProgId = u"COMAdmin.COMAdminCatalog";

struct ICatalogObject : IDispatch {
  static constexpr Guid iid = "{6EB22871-8A19-11D0-81B6-00A0C9231C29}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Value(TextView property, Variant* value) noexcept = 0;
  virtual HRESULT put_Value(TextView property, const Variant& value) noexcept = 0;
  virtual HRESULT get_Key(Variant* key) noexcept = 0;
  virtual HRESULT get_Name(Variant* name) noexcept = 0;

protected:
  ~ICatalogObject() = default;
};

struct ICatalogCollection : IDispatch {
  static constexpr Guid iid = "{6EB22872-8A19-11D0-81B6-00A0C9231C29}"_guid;
  using Base = IDispatch;
  virtual HRESULT Populate() noexcept = 0;
  virtual HRESULT get_Count(std::int32_t* count) noexcept = 0;
  // Index 0 to Count - 1; the object offers ICatalogObject.
  virtual HRESULT get_Item(std::int32_t index, IDispatch** object) noexcept = 0;
  virtual HRESULT Add(IDispatch** object) noexcept = 0;
  virtual HRESULT Remove(std::int32_t index) noexcept = 0;
  virtual HRESULT SaveChanges(std::int32_t* changes) noexcept = 0;
  virtual HRESULT GetCollection(TextView name, const Variant& key, IDispatch** collection) noexcept = 0;
  virtual HRESULT get_Name(Variant* name) noexcept = 0;

protected:
  ~ICatalogCollection() = default;
};

struct ICOMAdminCatalog : IDispatch {
  static constexpr Guid iid = "{DD662187-DFC2-11D1-A2CF-00805FC79235}"_guid;
  using Base = IDispatch;
  virtual HRESULT GetCollection(TextView name, IDispatch** collection) noexcept = 0;
  // Registers the library (its DllRegisterServer) and records every class it
  // registered as a component of the application named by its ID or Name
  // (the first in catalog order). "\" in the path is a separator. The type
  // library and proxy-stub paths are accepted and not used.
  virtual HRESULT InstallComponent(TextView applicationIdOrName, TextView libraryPath, TextView typeLibraryPath,
                                   TextView proxyStubPath) noexcept = 0;
  // Re-reads the ProgID, library and threading model of every installed
  // component from the registry.
  virtual HRESULT RefreshComponents() noexcept = 0;

protected:
  ~ICOMAdminCatalog() = default;
};

// Failure codes of the catalog; each comes with a description that says
// what went wrong and what to do.
inline constexpr HRESULT COMADMIN_E_OBJECTERRORS = hr(0x80110401);     // SaveChanges refused an object
inline constexpr HRESULT COMADMIN_E_OBJECTINVALID = hr(0x80110402);    // a value of the wrong kind
inline constexpr HRESULT COMADMIN_E_KEYMISSING = hr(0x80110403);       // no such application
inline constexpr HRESULT COMADMIN_E_ALREADYINSTALLED = hr(0x80110404); // class in another application
inline constexpr HRESULT COMADMIN_E_PROPERTYUNKNOWN = hr(0x80110405);  // no such property
inline constexpr HRESULT COMADMIN_E_READONLY = hr(0x80110406);         // property cannot be written
inline constexpr HRESULT COMADMIN_E_COLLECTIONUNKNOWN = hr(0x80110407);
inline constexpr HRESULT COMADMIN_E_CANNOTADD = hr(0x80110408);        // Add on "Components"
inline constexpr HRESULT COMADMIN_E_NOREGISTRYCLSID = hr(0x80110411);  // the library registered no class
inline constexpr HRESULT COMADMIN_E_DLLREGISTERSERVER = hr(0x80110414);
inline constexpr HRESULT COMADMIN_E_BADPATH = hr(0x8011041B);          // no such file
inline constexpr HRESULT COMADMIN_E_DLLLOADFAILED = hr(0x8011042A);    // not a component library

// What a stored password reads as.
inline constexpr const char16_t* kPasswordMask = u"********";

} // namespace korvane::complus
