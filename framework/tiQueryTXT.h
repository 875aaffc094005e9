#pragma once
// The in-memory table store under the text layers ("XMLLight", "CB"): a whole database held as data buffers
// (framework/tiXML.h) while it is connected, with queries that select, insert, update and delete rows of those
// tables. A layer derived from it decides where the tables come from and go to (Read, Save).
//
// Cells hold every value as text. A string value is kept with the escapes of the query's character kind
// applied ("&lt;" for "<" ...) and read back without them; numbers, dates and booleans are kept in the
// document's own forms ("." floats with "INF", "dd/mm/yyyy hh:mm:ss:zzz" dates, "TRUE"/"FALSE"), binary values
// in MIME base64. A criterion is compared with a cell in the same stored form, so a text holding markup
// characters finds its row. A value that could never be written to a document (text with invalid UTF-8 or
// control characters, NaN) is refused with EtiPerDataException naming table and column before anything
// changes.
//
// Rows a query has selected stay readable after another query deleted them, until the tables are replaced
// (connect, rollback, dropping the table); after that the query raises instead of reading them. Rows are found
// through an index per criterion column, built on first use and kept while the table does not change.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "framework/tiXML.h"

namespace kelvado {

class TtiDatabaseTXTAbs : public TtiDatabase {
public:
  TI_CLASS(TtiDatabaseTXTAbs)
  TtiDatabaseTXTAbs();
  ~TtiDatabaseTXTAbs() override;

  bool GetConnected() override { return connected_; }
  void StartTransaction() override { inTransaction_ = true; }
  bool InTransaction() override { return inTransaction_; }
  bool Test() override { return false; }

  // One table per buffer (posPK), the list then posClean.
  void ReadMetaDataTables(TtiDBMetaData& metaData) override;
  // The columns of the buffer of that name (nothing when there is none); the table becomes posClean.
  void ReadMetaDataFields(TtiDBMetaDataTable& table) override;
  // The store runs no SQL: EtiPerProgrammerException.
  void ExecSQL(const std::string& sql, const TtiQueryParams* params = nullptr) override;
  // A buffer named after the table (folder and extension removed) with its columns. A name that exists already
  // (ignoring case) raises EtiPerProgrammerException "Attempt to create duplicate table name <%s>"; a table or
  // column name a document cannot carry, or two columns of one name, is refused before anything changes.
  void CreateTable(const TtiDBMetaDataTable& table) override;
  // No such buffer raises EtiPerProgrammerException "Attemtp to delete table that does not exist <%s>".
  void DropTable(const TtiDBMetaDataTable& table) override;

  TtiDataBuffers& DataSets() const { return *dataSets_; }
  // Whether the tables changed since they were read or last saved.
  bool Modified() const { return modified_; }
  void SetModified(bool v) { modified_ = v; }
  // Changes whenever the tables are replaced or one is dropped: rows selected before are gone then.
  uint64_t Generation() const { return generation_; }

  // For the queries: the buffer of that name or EtiPerProgrammerException "Unable to find table <%s>".
  TtiDataBuffer& Table(const std::string& name) const;
  // The rows matching every criterion (stored texts by column index), in table order.
  std::vector<TtiDataBufferRow*> Select(TtiDataBuffer& table, const std::vector<std::pair<int, std::string>>& criteria);
  // Appends a row with the given texts (by column index, others empty).
  void Insert(TtiDataBuffer& table, const std::vector<std::pair<int, std::string>>& values);
  // Sets the texts in each row; returns whether any cell changed.
  bool Update(TtiDataBuffer& table, const std::vector<TtiDataBufferRow*>& rows,
              const std::vector<std::pair<int, std::string>>& values);
  // Takes the rows out of the table; they stay readable for queries that selected them (see above).
  void Delete(TtiDataBuffer& table, const std::vector<TtiDataBufferRow*>& rows);

protected:
  // Replaces the tables (after a read): every selection made before is invalid from now on.
  void ReplaceDataSets(std::unique_ptr<TtiDataBuffers> dataSets);
  // Called after a change of the tables made outside a transaction (CreateTable, DropTable): writes them.
  virtual void SaveOutsideTransaction() {}
  void SetConnectedFlag(bool v) { connected_ = v; }
  void SetInTransaction(bool v) { inTransaction_ = v; }

private:
  using TRowIndex = std::unordered_map<std::string, std::vector<TtiDataBufferRow*>>;
  struct TTableIndexes {
    std::unordered_map<int, TRowIndex> ByColumn;
  };
  void ForgetIndexes(const TtiDataBuffer& table, int column = -1);
  void Invalidate();

  std::unique_ptr<TtiDataBuffers> dataSets_;
  bool connected_ = false;
  bool inTransaction_ = false;
  bool modified_ = false;
  uint64_t generation_ = 1;
  std::unordered_map<const TtiDataBuffer*, TTableIndexes> indexes_;
  std::vector<std::unique_ptr<TtiDataBufferRow>> graveyard_;
};

class TtiQueryTXTAbs : public TtiQueryNonSQL {
public:
  TI_CLASS(TtiQueryTXTAbs)
  explicit TtiQueryTXTAbs(TtiXMLCharKind charKind = xckMarkup);
  ~TtiQueryTXTAbs() override;

  TtiXMLCharKind CharKind() const { return charKind_; }

  // The SQL text is kept but never run.
  std::vector<std::string> GetSQL() const override { return sql_; }
  void SetSQL(const std::vector<std::string>& sql) override { sql_ = sql; }
  bool GetActive() override { return active_; }
  // Going inactive releases the selected rows.
  void SetActive(bool value) override;
  // At or past the last selected row.
  bool Eof() override;
  void Next() override;
  void Open() override { SetActive(true); }
  void Close() override { SetActive(false); }
  void ExecSQL() override {}

  // The table (ignoring case) or EtiPerProgrammerException "Unable to find table <%s>". A parameter or
  // criterion that names no column raises EtiPerProgrammerException "Invalid field name <%s>".
  // SelectRow: every row whose cells equal all criteria (all rows without any); the first becomes current.
  void SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  // A new row with empty cells, then the parameters' values.
  void InsertRow(const std::string& tableName, const TtiQueryParams* params) override;
  // Every row matching the criteria gets the parameters' values.
  void UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                 const TtiQueryParams* whereParams) override;
  // Every row matching the criteria is removed.
  void DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) override;

  // The current row's cells, by column name (ignoring case; no such column: EtiPerProgrammerException
  // "Invalid field name <%s>") or position ("Invalid field index <%d>"). Text without the escapes; an empty
  // cell reads as "", 0, 0.0, false and the zero date; a text that is no number or date raises
  // EtiPerDataException naming column, table and text. Booleans are true for "TRUE", "T", "YES", "Y", "1".
  // Without a current row: EtiPerProgrammerException "No rows currently selected so can't perform this
  // operation".
  std::string FieldAsString(const std::string& name) override;
  double FieldAsFloat(const std::string& name) override;
  bool FieldAsBoolean(const std::string& name) override;
  int64_t FieldAsInteger(const std::string& name) override;
  TDateTime FieldAsDateTime(const std::string& name) override;
  bool FieldIsNull(const std::string& name) override;
  std::string FieldAsStringByIndex(int index) override;
  double FieldAsFloatByIndex(int index) override;
  bool FieldAsBooleanByIndex(int index) override;
  int64_t FieldAsIntegerByIndex(int index) override;
  TDateTime FieldAsDateTimeByIndex(int index) override;
  bool FieldIsNullByIndex(int index) override;

  // The columns of the selected table (also when it has no rows); without a selection FieldCount is 0,
  // FieldIndex -1 and the others raise "No rows currently selected so can't perform this operation".
  int FieldCount() override;
  std::string FieldName(int index) override;
  // -1 when the table has no such column.
  int FieldIndex(const std::string& name) override;
  TtiQueryFieldKind FieldKind(int index) override;
  int FieldSize(int index) override;
  bool HasNativeLogicalType() override { return false; }

  // The cell decoded from MIME base64.
  void AssignFieldAsStream(const std::string& name, std::ostream& stream) override;
  void AssignFieldAsStreamByIndex(int index, std::ostream& stream) override;

  // A database of the text layers only (EtiPerProgrammerException otherwise).
  void AttachDatabase(TtiDatabase* database) override;
  void Reset() override;

private:
  TtiDatabaseTXTAbs& Db() const;
  // (column index, stored text) per parameter.
  std::vector<std::pair<int, std::string>> Texts(const TtiDataBuffer& table, const TtiQueryParams* params) const;
  std::vector<TtiDataBufferRow*> Matching(TtiDataBuffer& table, const TtiQueryParams* whereParams);
  TtiDataBuffer& SelectedTable(bool forFields) const;
  int ColumnOf(const std::string& name) const;
  void CheckIndex(int index) const;
  // The current row's cell text, escapes still in.
  const std::string& Raw(int column) const;
  std::string Text(int column) const;
  [[noreturn]] void ValueError(int column, const std::string& text, const std::string& why) const;
  double AsFloat(int column) const;
  int64_t AsInteger(int column) const;
  TDateTime AsDateTime(int column) const;

  TtiXMLCharKind charKind_;
  std::vector<std::string> sql_;
  bool active_ = false;
  TtiDatabaseTXTAbs* db_ = nullptr;
  TtiDataBuffer* table_ = nullptr;  // the selected table
  std::string tableName_;
  uint64_t generation_ = 0;         // of the database when it was selected
  std::vector<TtiDataBufferRow*> rows_;
  size_t index_ = 0;
};

// Pools of the text layers hold at most one database per store (minimum 0, maximum 1).
class TtiDBConnectionPoolDataTXTAbs : public TtiDBConnectionPoolDataAbs {
public:
  TI_CLASS(TtiDBConnectionPoolDataTXTAbs)
  TtiDBConnectionPoolDataTXTAbs() = default;
  void InitDBConnectionPool() override;
};

}  // namespace kelvado
