#include "platform/store/rows.h"

#include "platform/store/binding.h"

namespace korvane::store {

namespace {

const Variant& nullValue() {
  static const Variant v = Variant::null();
  return v;
}

[[noreturn]] void throwClosed() {
  throw ComError(ado::adErrObjectClosed, u"Operation is not allowed when the object is closed.");
}

[[noreturn]] void throwNotFound(TextView name) {
  throw ComError(ado::adErrItemNotFound,
                 u"Item cannot be found in the collection corresponding to the requested name or "
                 u"ordinal: \"" + Text(name) + u"\".");
}

[[noreturn]] void throwBadOrdinal(std::int64_t index) {
  throw ComError(ado::adErrItemNotFound,
                 u"Item cannot be found in the collection corresponding to the requested name or "
                 u"ordinal: index " + fromUtf8(std::to_string(index)) + u" is out of range.");
}

// --- Field and Fields -------------------------------------------------------

class FieldObject final : public ComObject<ado::IField> {
public:
  FieldObject(std::shared_ptr<FieldSource> source, std::size_t index)
      : source_(std::move(source)), index_(index) {}

  HRESULT get_Name(Text* name) noexcept override {
    return guarded([&] {
      if (!name) return E_POINTER;
      *name = source_->name(index_);
      return S_OK;
    });
  }
  HRESULT get_Value(Variant* value) noexcept override {
    return guarded([&] {
      if (!value) return E_POINTER;
      *value = source_->value(index_);
      return S_OK;
    });
  }
  HRESULT put_Value(const Variant& value) noexcept override {
    return guarded([&] {
      source_->setValue(index_, value);
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (binding::is(name, u"Value")) return get_Value(value);
    if (binding::is(name, u"Name")) {
      Text t;
      HRESULT h = get_Name(&t);
      return failed(h) ? h : binding::put(value, t);
    }
    return unknownName(name);
  }
  HRESULT PutProperty(TextView name, const Variant& value) noexcept override {
    if (binding::is(name, u"Value")) return put_Value(value);
    return unknownName(name);
  }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    // The default member of a field is its value.
    if (method.empty() && args.empty()) return get_Value(result);
    return unknownName(method);
  }

private:
  std::shared_ptr<FieldSource> source_;
  std::size_t index_;
};

class FieldsObject final : public ComObject<ado::IFields> {
public:
  explicit FieldsObject(std::shared_ptr<FieldSource> source) : source_(std::move(source)) {}

  HRESULT get_Count(std::int32_t* count) noexcept override {
    return guarded([&] {
      if (!count) return E_POINTER;
      *count = static_cast<std::int32_t>(source_->count());
      return S_OK;
    });
  }
  HRESULT get_Item(const Variant& index, ado::IField** field) noexcept override {
    return guarded([&] {
      if (!field) return E_POINTER;
      *field = makeCom<FieldObject>(source_, resolve(index)).detach();
      return S_OK;
    });
  }
  HRESULT Update() noexcept override {
    return guarded([&] {
      source_->update();
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (binding::is(name, u"Count")) {
      std::int32_t n = 0;
      HRESULT h = get_Count(&n);
      return failed(h) ? h : binding::put(value, Variant(n));
    }
    return unknownName(name);
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&] {
      if (method.empty() || binding::is(method, u"Item")) {
        ComPtr<ado::IField> f;
        check(get_Item(binding::arg(args, 0), f.put()));
        return binding::put(result, binding::object(f));
      }
      if (binding::is(method, u"Update")) return Update();
      return unknownName(method);
    });
  }

private:
  std::size_t resolve(const Variant& index) {
    if (index.isText()) {
      auto i = source_->find(index.textValue());
      if (!i) throwNotFound(index.textValue());
      return *i;
    }
    if (index.kind() == Variant::Kind::Int || index.kind() == Variant::Kind::Double) {
      std::int64_t i = index.toInt();
      if (i < 0 || static_cast<std::size_t>(i) >= source_->count()) throwBadOrdinal(i);
      return static_cast<std::size_t>(i);
    }
    throw ComError(DISP_E_TYPEMISMATCH, u"A field is chosen by its name (text) or its 0-based number.");
  }

  std::shared_ptr<FieldSource> source_;
};

// --- Recordset --------------------------------------------------------------

struct Cursor {
  RowTable table;
  std::size_t position = 0;
  bool open = false;

  void requireOpen() const {
    if (!open) throwClosed();
  }
  bool atEnd() const { return position >= table.rowCount(); }
};

// The fields of the cursor's current row: read-only.
class CursorFields final : public FieldSource {
public:
  explicit CursorFields(std::shared_ptr<Cursor> cursor) : cursor_(std::move(cursor)) {}

  std::size_t count() override {
    cursor_->requireOpen();
    return cursor_->table.columns().size();
  }
  Text name(std::size_t index) override {
    cursor_->requireOpen();
    return cursor_->table.columns().at(index);
  }
  std::optional<std::size_t> find(TextView name) override {
    cursor_->requireOpen();
    return cursor_->table.column(name);
  }
  Variant value(std::size_t index) override {
    cursor_->requireOpen();
    if (cursor_->atEnd())
      throw ComError(ado::adErrNoCurrentRecord,
                     u"Either BOF or EOF is True, or the current record has been deleted.");
    return cursor_->table.value(cursor_->position, index);
  }
  void setValue(std::size_t, const Variant&) override { readOnly(); }
  void update() override { readOnly(); }

private:
  [[noreturn]] void readOnly() {
    cursor_->requireOpen();
    throw ComError(ado::adErrPermissionDenied, u"The rows of this recordset are read-only.");
  }
  std::shared_ptr<Cursor> cursor_;
};

class RecordsetObject final : public ComObject<ado::IRecordset> {
public:
  explicit RecordsetObject(RowOpener opener) : opener_(std::move(opener)) {}
  explicit RecordsetObject(RowTable table) {
    cursor_->table = std::move(table);
    cursor_->open = true;
  }

  HRESULT Open(const Variant& source, const Variant& activeConnection, std::int32_t, std::int32_t,
               std::int32_t) noexcept override {
    return guarded([&] {
      if (cursor_->open)
        return fail(ado::adErrObjectOpen, u"Operation is not allowed when the object is open.");
      if (!opener_)
        return fail(E_FAIL, u"This recordset held fixed rows and cannot be opened again.");
      RowTable table = opener_(source, activeConnection);
      cursor_->table = std::move(table);
      cursor_->position = 0;
      cursor_->open = true;
      return S_OK;
    });
  }
  HRESULT Close() noexcept override {
    return guarded([&] {
      cursor_->requireOpen();
      cursor_->open = false;
      cursor_->table = RowTable();
      cursor_->position = 0;
      return S_OK;
    });
  }
  HRESULT get_State(std::int32_t* state) noexcept override {
    if (!state) return E_POINTER;
    *state = cursor_->open ? ado::adStateOpen : ado::adStateClosed;
    return S_OK;
  }
  HRESULT get_EOF(bool* eof) noexcept override {
    return guarded([&] {
      if (!eof) return E_POINTER;
      cursor_->requireOpen();
      *eof = cursor_->atEnd();
      return S_OK;
    });
  }
  HRESULT get_RecordCount(std::int32_t* count) noexcept override {
    return guarded([&] {
      if (!count) return E_POINTER;
      cursor_->requireOpen();
      *count = static_cast<std::int32_t>(cursor_->table.rowCount());
      return S_OK;
    });
  }
  HRESULT MoveNext() noexcept override {
    return guarded([&] {
      cursor_->requireOpen();
      if (cursor_->atEnd())
        return fail(ado::adErrNoCurrentRecord,
                    u"Either BOF or EOF is True, or the current record has been deleted.");
      ++cursor_->position;
      return S_OK;
    });
  }
  HRESULT get_Fields(ado::IFields** fields) noexcept override {
    return guarded([&] {
      if (!fields) return E_POINTER;
      *fields = makeFields(std::make_shared<CursorFields>(cursor_)).detach();
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    return guarded([&] {
      if (binding::is(name, u"State")) {
        std::int32_t s = 0;
        check(get_State(&s));
        return binding::put(value, Variant(s));
      }
      if (binding::is(name, u"EOF")) {
        bool e = false;
        check(get_EOF(&e));
        return binding::put(value, Variant(e));
      }
      if (binding::is(name, u"RecordCount")) {
        std::int32_t n = 0;
        check(get_RecordCount(&n));
        return binding::put(value, Variant(n));
      }
      if (binding::is(name, u"Fields")) {
        ComPtr<ado::IFields> f;
        check(get_Fields(f.put()));
        return binding::put(value, binding::object(f));
      }
      return unknownName(name);
    });
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&] {
      if (binding::is(method, u"Open")) {
        Variant source = args.size() > 0 ? args[0] : Variant();
        Variant connection = args.size() > 1 ? args[1] : Variant();
        return Open(source, connection, binding::intArg(args, 2, -1), binding::intArg(args, 3, -1),
                    binding::intArg(args, 4, -1));
      }
      if (binding::is(method, u"Close")) return Close();
      if (binding::is(method, u"MoveNext")) return MoveNext();
      if (binding::is(method, u"Fields")) {
        ComPtr<ado::IFields> f;
        check(get_Fields(f.put()));
        if (args.empty()) return binding::put(result, binding::object(f));
        ComPtr<ado::IField> field;
        check(f->get_Item(args[0], field.put()));
        return binding::put(result, binding::object(field));
      }
      return unknownName(method);
    });
  }

private:
  RowOpener opener_;
  std::shared_ptr<Cursor> cursor_ = std::make_shared<Cursor>();
};

} // namespace

// --- RowTable ---------------------------------------------------------------

RowTable::RowTable(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    std::vector<Variant> line(columns_.size(), Variant::null());
    for (const auto& [name, value] : row) {
      std::size_t c = addColumn(name);
      if (c >= line.size()) line.resize(c + 1, Variant::null());
      line[c] = value;
    }
    values_.push_back(std::move(line));
  }
  for (auto& line : values_) line.resize(columns_.size(), Variant::null());
}

RowTable::RowTable(std::vector<Text> columns, std::vector<std::vector<Variant>> values) {
  for (const Text& c : columns) addColumn(c);
  for (auto& line : values) {
    if (line.size() != columns.size())
      throw ComError(E_INVALIDARG, u"A row does not have one value for each column.");
    if (columns_.size() != columns.size()) {
      // Columns that differ only in letter case were merged: keep the first value.
      std::vector<Variant> merged(columns_.size(), Variant::null());
      std::vector<bool> seen(columns_.size(), false);
      for (std::size_t i = 0; i < columns.size(); ++i) {
        std::size_t c = *column(columns[i]);
        if (!seen[c]) merged[c] = line[i];
        seen[c] = true;
      }
      line = std::move(merged);
    }
    values_.push_back(std::move(line));
  }
}

std::size_t RowTable::addColumn(const Text& name) {
  Text f = foldCase(name);
  for (std::size_t i = 0; i < folded_.size(); ++i)
    if (folded_[i] == f) return i;
  columns_.push_back(name);
  folded_.push_back(std::move(f));
  return columns_.size() - 1;
}

std::optional<std::size_t> RowTable::column(TextView name) const {
  Text f = foldCase(name);
  for (std::size_t i = 0; i < folded_.size(); ++i)
    if (folded_[i] == f) return i;
  return std::nullopt;
}

const Variant& RowTable::value(std::size_t row, std::size_t column) const {
  if (row >= values_.size() || column >= columns_.size()) return nullValue();
  return values_[row][column];
}

// --- factories --------------------------------------------------------------

ComPtr<ado::IFields> makeFields(std::shared_ptr<FieldSource> source) {
  return makeCom<FieldsObject>(std::move(source));
}

ComPtr<ado::IRecordset> makeRecordset(RowTable table) { return makeCom<RecordsetObject>(std::move(table)); }

ComPtr<ado::IRecordset> makeRecordset(RowOpener opener) {
  return makeCom<RecordsetObject>(std::move(opener));
}

} // namespace korvane::store
