// The data-access objects through which programs read and write the store
// (and, with another provider, query the directory): Connection, Record,
// Recordset, Command, and their Fields and Properties. Each method returns an
// HRESULT and leaves a description on failure; the classes are created by
// ProgID ("ADODB.Connection", "ADODB.Record", "ADODB.Recordset",
// "ADODB.Command").
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::ado {

// Open modes, create options and options as callers pass them.
inline constexpr std::int32_t adModeRead = 1;
inline constexpr std::int32_t adModeReadWrite = 3;
inline constexpr std::int32_t adFailIfNotExists = -1;
inline constexpr std::int32_t adCreateOverwrite = 0x4000000;
inline constexpr std::int32_t adDelayFetchFields = 0x8000;
inline constexpr std::int32_t adOpenUnspecified = -1;
inline constexpr std::int32_t adStateClosed = 0;
inline constexpr std::int32_t adStateOpen = 1;

// Failure codes of the data-access layer.
inline constexpr HRESULT adErrItemNotFound = hr(0x800A0CC1);      // no field/item of that name
inline constexpr HRESULT adErrObjectClosed = hr(0x800A0E78);      // operation on a closed object
inline constexpr HRESULT adErrObjectOpen = hr(0x800A0E79);        // already open
inline constexpr HRESULT adErrNoCurrentRecord = hr(0x800A0BCD);   // EOF or BOF
inline constexpr HRESULT adErrProviderNotFound = hr(0x800A0E7A);  // unknown provider
inline constexpr HRESULT adErrInvalidConnection = hr(0x800A0E7D); // no usable connection
inline constexpr HRESULT adErrResourceNotFound = hr(0x800A0EA0);  // URL names nothing (Record.Open)
inline constexpr HRESULT adErrResourceExists = hr(0x800A0E9E);    // create without overwrite
inline constexpr HRESULT adErrQuerySyntax = hr(0x80040E14);       // the command text cannot be parsed
inline constexpr HRESULT adErrPermissionDenied = hr(0x800A0E8F);  // e.g. writing a read-only record

struct IField : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A01}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Name(Text* name) noexcept = 0;
  virtual HRESULT get_Value(Variant* value) noexcept = 0;
  virtual HRESULT put_Value(const Variant& value) noexcept = 0;

protected:
  ~IField() = default;
};

struct IFields : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A02}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Count(std::int32_t* count) noexcept = 0;
  // By name (text, ignoring letter case) or by 0-based index (integer). On a
  // record opened for writing, an unknown name gives a new, empty field.
  virtual HRESULT get_Item(const Variant& index, IField** field) noexcept = 0;
  // Stores the changed values into the item.
  virtual HRESULT Update() noexcept = 0;

protected:
  ~IFields() = default;
};

struct IProperty : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A03}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Name(Text* name) noexcept = 0;
  virtual HRESULT get_Value(Variant* value) noexcept = 0;
  virtual HRESULT put_Value(const Variant& value) noexcept = 0;

protected:
  ~IProperty() = default;
};

struct IProperties : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A04}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Count(std::int32_t* count) noexcept = 0;
  virtual HRESULT get_Item(const Variant& index, IProperty** property) noexcept = 0;

protected:
  ~IProperties() = default;
};

struct IConnection : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A05}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_Provider(Text* provider) noexcept = 0;
  virtual HRESULT put_Provider(TextView provider) noexcept = 0;
  virtual HRESULT get_ConnectionString(Text* text) noexcept = 0;
  virtual HRESULT put_ConnectionString(TextView text) noexcept = 0;
  // An empty connection string keeps the one set before.
  virtual HRESULT Open(TextView connectionString, TextView user, TextView password,
                       std::int32_t options) noexcept = 0;
  virtual HRESULT Close() noexcept = 0;
  virtual HRESULT get_State(std::int32_t* state) noexcept = 0;
  virtual HRESULT BeginTrans(std::int32_t* level) noexcept = 0;
  virtual HRESULT CommitTrans() noexcept = 0;
  virtual HRESULT RollbackTrans() noexcept = 0;

protected:
  ~IConnection() = default;
};

struct IRecord : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A06}"_guid;
  using Base = IDispatch;
  // source: the URL; activeConnection: an IConnection object, or a URL text
  // from which the record opens a connection of its own.
  virtual HRESULT Open(const Variant& source, const Variant& activeConnection, std::int32_t mode,
                       std::int32_t createOptions, std::int32_t options, TextView user,
                       TextView password) noexcept = 0;
  virtual HRESULT Close() noexcept = 0;
  virtual HRESULT get_State(std::int32_t* state) noexcept = 0;
  virtual HRESULT get_Fields(IFields** fields) noexcept = 0;
  // An empty source deletes the item the record stands for.
  virtual HRESULT DeleteRecord(TextView source, bool async) noexcept = 0;

protected:
  ~IRecord() = default;
};

struct IRecordset : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A07}"_guid;
  using Base = IDispatch;
  virtual HRESULT Open(const Variant& source, const Variant& activeConnection, std::int32_t cursorType,
                       std::int32_t lockType, std::int32_t options) noexcept = 0;
  virtual HRESULT Close() noexcept = 0;
  virtual HRESULT get_State(std::int32_t* state) noexcept = 0;
  virtual HRESULT get_EOF(bool* eof) noexcept = 0;
  // -1 when the provider cannot tell.
  virtual HRESULT get_RecordCount(std::int32_t* count) noexcept = 0;
  virtual HRESULT MoveNext() noexcept = 0;
  virtual HRESULT get_Fields(IFields** fields) noexcept = 0;

protected:
  ~IRecordset() = default;
};

struct ICommand : IDispatch {
  static constexpr Guid iid = "{5E7C2A10-4B1D-4C36-9A0E-8F1D2C3B4A08}"_guid;
  using Base = IDispatch;
  virtual HRESULT putref_ActiveConnection(IConnection* connection) noexcept = 0;
  virtual HRESULT put_CommandText(TextView text) noexcept = 0;
  virtual HRESULT get_Properties(IProperties** properties) noexcept = 0;
  virtual HRESULT Execute(std::int32_t options, IRecordset** result) noexcept = 0;

protected:
  ~ICommand() = default;
};

} // namespace korvane::ado
