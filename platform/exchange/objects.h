// The Exchange management objects, built-in classes created by class id and
// bound to an object through their data source (cdo::IDataSource::Open with
// the object's name or URL; the server answers for its own data source
// interface id as well). Once open they are late-bound and read-only; the
// values are read from the server database at Open:
//   server         Name, StorageGroups (list of storage-group URLs, in order)
//   storage group  Name, PublicStoreDBs (list of public-store URLs, in order)
//   public store   Name, Status (0 mounted, 1 dismounted), FolderTree (URL or
//                  empty), Guid
//   folder tree    Name, TreeType (1 = MAPI public folders), RootFolderURL
// Every object also has the property "DataSource" and the method
// "GetInterface"("IDataSource"), both giving its data source, and the method
// "Open" as on the data source. Reading another property before Open fails
// with ado::adErrObjectClosed; opening a name or URL that names nothing fails
// with E_NO_SUCH_OBJECT.
//
// A list is an IVariantList: "Count" and "Item"(index from 0).
#pragma once

#include <vector>

#include "platform/store/cdo.h"

namespace korvane::exchange {

inline constexpr Guid CLSID_Server = "{25150F27-5734-11D2-A593-00C04F990D8A}"_guid;
inline constexpr Guid CLSID_StorageGroup = "{25150F26-5734-11D2-A593-00C04F990D8A}"_guid;
inline constexpr Guid CLSID_PublicStoreDB = "{25150F24-5734-11D2-A593-00C04F990D8A}"_guid;
inline constexpr Guid CLSID_FolderTree = "{25150F23-5734-11D2-A593-00C04F990D8A}"_guid;

// The server's data source: cdo::IDataSource under the server's own id.
struct IServerDataSource : cdo::IDataSource {
  static constexpr Guid iid = "{25150F48-5734-11D2-A593-00C04F990D8A}"_guid;
  using Base = cdo::IDataSource;

protected:
  ~IServerDataSource() = default;
};

struct IVariantList : IDispatch {
  static constexpr Guid iid = "{7A3C1E52-6B0D-4F8E-9C21-5D4B3A2F1E10}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Count(std::int32_t* count) noexcept = 0;
  virtual HRESULT get_Item(std::int32_t index, Variant* value) noexcept = 0;

protected:
  ~IVariantList() = default;
};

ComPtr<IVariantList> makeVariantList(std::vector<Variant> items);

// The texts of a list that a management object returned (throws ComError
// when the value is no list).
std::vector<Text> listTexts(const Variant& list);

} // namespace korvane::exchange
