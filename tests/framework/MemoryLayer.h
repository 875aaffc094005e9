#pragma once
// An in-memory persistence layer for tests. Every database name is a store held in this process: its tables
// of rows and a journal of what the connections did (connects, transactions, statements). Changes are made
// on a per-connection working copy and reach the store only on commit; a rollback drops them. Failures can be
// injected at each step so that the error paths of the framework can be driven.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/tiQuery.h"
#include "framework/tiValue.h"

namespace kelvado::test {

inline constexpr const char* cMemoryLayerName = "Memory";

using TMemRow = std::map<std::string, Value>;  // upper-case column name -> value (absent: null)

struct TMemTable {
  std::string Name;                 // as created
  std::vector<std::string> Columns;  // as created
  // Kind and declared width per column as created; tables set up by hand may leave them out (strings of
  // width 0).
  std::vector<TtiQueryFieldKind> Kinds;
  std::vector<int> Widths;
  TtiQueryFieldKind KindOf(size_t column) const { return column < Kinds.size() ? Kinds[column] : qfkString; }
  int WidthOf(size_t column) const { return column < Widths.size() ? Widths[column] : 0; }
  std::vector<TMemRow> Rows;
};

using TMemTables = std::map<std::string, TMemTable>;  // upper-case table name -> table

// What the connections of one store did, in order.
struct TMemJournal {
  std::vector<std::string> Events;  // "connect", "disconnect", "start", "commit", "rollback", and statements
  int Starts = 0;
  int Commits = 0;
  int RollBacks = 0;
  int Connects = 0;
  // Texts given to ExecSQL (by queries and by the database), in order.
  std::vector<std::string> Statements;
  int Count(const std::string& event) const;
};

// Steps that can be made to fail (each raises EtiPerDBException once it is reached).
struct TMemFailures {
  bool Connect = false;
  bool StartTransaction = false;
  bool Commit = false;
  bool RollBack = false;
  // A row operation or statement whose description contains this text fails (empty: none).
  std::string StatementContaining;
};

struct TMemStore {
  TMemTables Tables;  // committed state
  TMemJournal Journal;
  TMemFailures Fail;
  // Called when a commit is about to succeed (tests look at the objects at that moment).
  std::function<void()> OnCommit;
};

// The stores of this process, by database name (ignoring case).
TMemStore& MemStore(const std::string& dbName);
bool MemStoreExists(const std::string& dbName);
void MemStoresClear();

// Registers the "Memory" layer with the persistence manager (the pools of its databases hold at most
// `maxPoolSize` connections).
void RegisterMemoryLayer(int maxPoolSize = 9999);

class TMemDatabase : public TtiDatabase {
public:
  TI_CLASS(TMemDatabase)
  TMemDatabase() = default;
  ~TMemDatabase() override;

  void SetConnected(bool value) override;
  bool GetConnected() override { return connected_; }
  bool TestConnectTo(const std::string& dbName, const std::string& userName, const std::string& password,
                     const std::string& params) override;
  void CreateDatabase(const std::string& dbName, const std::string& userName, const std::string& password) override;

  void StartTransaction() override;
  bool InTransaction() override { return working_.has_value(); }
  void Commit() override;
  void RollBack() override;
  bool Test() override { return false; }

  void ReadMetaDataTables(TtiDBMetaData& metaData) override;
  void ReadMetaDataFields(TtiDBMetaDataTable& table) override;
  void ExecSQL(const std::string& sql, const TtiQueryParams* params = nullptr) override;
  void DropTable(const TtiDBMetaDataTable& table) override;
  void CreateTable(const TtiDBMetaDataTable& table) override;

  TMemStore& Store();
  // The tables this connection sees: its working copy inside a transaction, else the store's.
  TMemTables& Tables();
  // Changes need an open transaction (EtiPerDBException otherwise): a visitor that wrote outside its group's
  // transaction would escape the rollback.
  TMemTables& TablesForChange(const std::string& what);
  // Records the statement; raises when the store is told to fail on it.
  void Record(const std::string& description);

private:
  [[noreturn]] void Fail(const std::string& message);
  bool connected_ = false;
  std::optional<TMemTables> working_;
};

class TMemQuery : public TtiQueryNonSQL {
public:
  TI_CLASS(TMemQuery)
  TMemQuery() = default;

  std::vector<std::string> GetSQL() const override { return sql_; }
  void SetSQL(const std::vector<std::string>& sql) override { sql_ = sql; }
  bool GetActive() override { return active_; }
  void SetActive(bool value) override;
  bool Eof() override { return !active_ || index_ >= rows_.size(); }

  std::string FieldAsString(const std::string& name) override { return Field(name).AsString(); }
  double FieldAsFloat(const std::string& name) override { return Field(name).AsFloat(); }
  bool FieldAsBoolean(const std::string& name) override { return Field(name).AsBoolean(); }
  int64_t FieldAsInteger(const std::string& name) override { return Field(name).AsInteger(); }
  TDateTime FieldAsDateTime(const std::string& name) override { return Field(name).AsFloat(); }
  bool FieldIsNull(const std::string& name) override { return Field(name).IsNull(); }
  std::string FieldAsStringByIndex(int index) override { return FieldByIndex(index).AsString(); }
  double FieldAsFloatByIndex(int index) override { return FieldByIndex(index).AsFloat(); }
  bool FieldAsBooleanByIndex(int index) override { return FieldByIndex(index).AsBoolean(); }
  int64_t FieldAsIntegerByIndex(int index) override { return FieldByIndex(index).AsInteger(); }
  TDateTime FieldAsDateTimeByIndex(int index) override { return FieldByIndex(index).AsFloat(); }
  bool FieldIsNullByIndex(int index) override { return FieldByIndex(index).IsNull(); }

  // Open understands "select * from <table>" (with the parameters as equality criteria); Close ends it.
  void Open() override;
  void Close() override { SetActive(false); }
  // Records the statement text.
  void ExecSQL() override;
  void SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  void InsertRow(const std::string& tableName, const TtiQueryParams* params) override;
  void DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  void UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                 const TtiQueryParams* whereParams) override;
  void Next() override { ++index_; }

  int FieldCount() override { return static_cast<int>(columns_.size()); }
  std::string FieldName(int index) override;
  int FieldIndex(const std::string& name) override;
  TtiQueryFieldKind FieldKind(int index) override;
  int FieldSize(int index) override;
  bool HasNativeLogicalType() override { return false; }
  void AssignFieldAsStream(const std::string& name, std::ostream& stream) override;
  void AssignFieldAsStreamByIndex(int index, std::ostream& stream) override;
  void Reset() override;

private:
  TMemDatabase& Db() const;
  TMemTable& Table(TMemTables& tables, const std::string& tableName) const;
  const Value& Field(const std::string& name);
  const Value& FieldByIndex(int index);
  void Select(const std::string& tableName, const TtiQueryParams* whereParams);

  std::vector<std::string> sql_;
  bool active_ = false;
  std::vector<std::string> columns_;
  TMemTable shape_;  // the selected table's columns, kinds and widths (no rows)
  std::vector<TMemRow> rows_;
  size_t index_ = 0;
};

}  // namespace kelvado::test
