// A catalog collection: a snapshot of the stored applications (or of one
// application's components) taken by Populate, changed in memory, and
// written back by SaveChanges in one transaction.
#pragma once

#include <optional>

#include "platform/complus/object.h"

namespace korvane::complus::detail {

class CatalogCollection final : public ComObject<ICatalogCollection> {
public:
  // parentId: the application whose components this collection holds.
  CatalogCollection(const Kind& kind, std::optional<Text> parentId);

  HRESULT Populate() noexcept override;
  HRESULT get_Count(std::int32_t* count) noexcept override;
  HRESULT get_Item(std::int32_t index, IDispatch** object) noexcept override;
  HRESULT Add(IDispatch** object) noexcept override;
  HRESULT Remove(std::int32_t index) noexcept override;
  HRESULT SaveChanges(std::int32_t* changes) noexcept override;
  HRESULT GetCollection(TextView name, const Variant& key, IDispatch** collection) noexcept override;
  HRESULT get_Name(Variant* name) noexcept override;

  HRESULT GetProperty(TextView name, Variant* value) noexcept override;
  HRESULT PutProperty(TextView name, const Variant& value) noexcept override;
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override;

private:
  std::size_t checkedIndex(std::int32_t index) const;
  void validate() const;
  std::int32_t save();
  void endHostsOfChangedApplications();

  const Kind& kind_;
  std::optional<Text> parentId_;
  std::vector<ComPtr<CatalogObject>> items_;
  std::vector<Text> removed_;  // keys of stored objects taken out of the snapshot
};

// A new, unpopulated collection.
ComPtr<IDispatch> makeCollection(const Kind& kind, std::optional<Text> parentId);

} // namespace korvane::complus::detail
