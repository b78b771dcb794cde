// An in-memory rowset: a table of named columns behind an ado::IRecordset,
// and the generic Fields / Field objects that both recordsets and records
// hand out. Providers (the store's queries, the directory's searches) fill a
// RowTable; the objects here do the cursor, the field look-up ignoring
// letter case and the late binding.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/store/ado.h"

namespace korvane::store {

// One row as a provider builds it: field name -> value, in select order.
using Row = std::vector<std::pair<Text, Variant>>;

// Rows with the same columns. A name a row lacks reads as null.
class RowTable {
public:
  RowTable() = default;
  // Columns are the names of all rows in order of first appearance; names
  // that differ only in letter case are one column.
  explicit RowTable(const std::vector<Row>& rows);
  RowTable(std::vector<Text> columns, std::vector<std::vector<Variant>> values);

  const std::vector<Text>& columns() const { return columns_; }
  std::size_t rowCount() const { return values_.size(); }
  // Column index by name, ignoring letter case.
  std::optional<std::size_t> column(TextView name) const;
  const Variant& value(std::size_t row, std::size_t column) const;

private:
  std::size_t addColumn(const Text& name);
  std::vector<Text> columns_;
  std::vector<Text> folded_;
  std::vector<std::vector<Variant>> values_;
};

// What a Fields collection shows and where its changes go. Methods throw
// ComError (closed object, no current record, read-only, ...).
class FieldSource {
public:
  FieldSource() = default;
  virtual ~FieldSource() = default;
  virtual std::size_t count() = 0;
  virtual Text name(std::size_t index) = 0;
  // Index of the field with that name, ignoring letter case. A writable
  // source may add a new, empty field for an unknown name.
  virtual std::optional<std::size_t> find(TextView name) = 0;
  virtual Variant value(std::size_t index) = 0;
  virtual void setValue(std::size_t index, const Variant& value) = 0;
  virtual void update() = 0;

protected:
  FieldSource(const FieldSource&) = default;
  FieldSource(FieldSource&&) = default;
  FieldSource& operator=(const FieldSource&) = default;
  FieldSource& operator=(FieldSource&&) = default;
};

ComPtr<ado::IFields> makeFields(std::shared_ptr<FieldSource> source);

// A recordset that is open on `table`, positioned on its first row.
ComPtr<ado::IRecordset> makeRecordset(RowTable table);
inline ComPtr<ado::IRecordset> makeRecordset(const std::vector<Row>& rows) {
  return makeRecordset(RowTable(rows));
}

// A closed recordset whose Open(source, activeConnection, ...) asks `opener`
// for the rows; Close and Open again run a fresh query.
using RowOpener = std::function<RowTable(const Variant& source, const Variant& activeConnection)>;
ComPtr<ado::IRecordset> makeRecordset(RowOpener opener);

} // namespace korvane::store
