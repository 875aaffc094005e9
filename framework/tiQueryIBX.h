#pragma once
// The persistence layer "IBX": Firebird databases (the item libraries, and the general database as the library
// mapper sees it) through the Firebird access layer (framework/tiFirebird.h). A database name keeps the
// Firebird client's meaning: a plain path is a local file opened by the embedded engine, "host:/path" or
// "host/port:/path" a file on a Firebird server.
//
// Text crosses the Windows-1252 columns through the access layer: every character that encoding has is stored
// and read back unchanged, any other one is refused with EConvertError naming it (never stored as "?").
//
// One database object holds one attachment and one transaction, which every query attached to it uses; a
// visitor group runs in that one transaction. A query prepares its statement once for as long as its SQL text
// stays the same, so a group that writes many rows with one text prepares it once.
//
// A failure that loses the attachment (the server went down, the network failed) marks the database
// (SetErrorInLastCall), and its connection pool then drops it instead of handing it out again.
#include <memory>
#include <string>
#include <vector>

#include "framework/tiQuery.h"
#include "framework/tiValue.h"

namespace kelvado {

inline constexpr const char* cTIPersistIBX = "IBX";

class TtiFBDatabase;
class TtiFBTransaction;
class TtiFBStatement;

class TtiDatabaseIBX : public TtiDatabaseSQL {
public:
  TI_CLASS(TtiDatabaseIBX)
  // The connection (SQL dialect 3) and its transaction, not connected.
  TtiDatabaseIBX();
  // Rolls back an open transaction and disconnects.
  ~TtiDatabaseIBX() override;

  // true: opens DatabaseName as UserName with Password (errors of the access layer pass on). false: logs
  // "Disconnecting from <name>" and disconnects (an open transaction is rolled back).
  void SetConnected(bool value) override;
  bool GetConnected() override;
  // Connects a fresh database object to dbName and disconnects it: true, or the connection error.
  bool TestConnectTo(const std::string& dbName, const std::string& userName, const std::string& password,
                     const std::string& params) override;
  // A new, empty database (an existing file is never overwritten: that is an error).
  void CreateDatabase(const std::string& dbName, const std::string& userName, const std::string& password) override;

  // With a transaction open already: EtiPerInternalException "Attempt to start a transaction but transaction
  // already exists.".
  void StartTransaction() override;
  bool InTransaction() override;
  // Outside a transaction: EtiPerInternalException "Attempt to commit but not in a transaction.".
  void Commit() override;
  // Without a transaction the access layer refuses it.
  void RollBack() override;
  bool Test() override { return false; }

  // The user tables (views left out) by name, each posPK; the list becomes posClean. Runs in the open
  // transaction, or in one of its own.
  void ReadMetaDataTables(TtiDBMetaData& metaData) override;
  // The columns of the table (its name as the catalogue holds it): INTEGER, DOUBLE PRECISION, DATE/TIME/
  // TIMESTAMP, CHAR/VARCHAR (with their width) and BLOB of sub-type 0 or 1; any other type raises
  // EtiPerInternalException "Invalid Interbase FieldType <n>" (or "Invalid field_sub_type <n>"). The table
  // becomes posClean.
  void ReadMetaDataFields(TtiDBMetaDataTable& table) override;
  // "VarChar( w )", "Integer", "DOUBLE PRECISION", "TIMESTAMP", "Char( 1 ) default 'F' check( <name> in ( 'T',
  // 'F' ))", "Blob sub_type 0", "Blob sub_type 1"; a macro field raises EtiPerInternalException
  // "Invalid FieldKind".
  std::string FieldMetaDataToSQLCreate(const TtiDBMetaDataField& field) override;

  // The connection's trace flags, in this order. SetConnected(true) sets them from the ten option bits of the
  // database object (Options(): bit 9 gives the first flag, bit 0 the last; all clear by default). A set flag
  // writes its kind of event to the framework's log at "Query", named in the line: prepares, executions (with
  // the parameters), fetches, failures, statement texts, connects, transactions and blob transfers. No event of
  // this layer is a service or a miscellaneous one: those two flags are kept but log nothing.
  enum TTraceFlag : uint8_t { tfQPrepare, tfQExecute, tfQFetch, tfError, tfStmt, tfConnect, tfTransact, tfBlob,
                              tfService, tfMisc };
  // Bit n set: flag n is on.
  uint16_t TraceFlags() const { return traceFlags_; }
  bool Tracing(TTraceFlag flag) const { return (traceFlags_ >> flag) & 1U; }
  // Logs "IBX <kind>: <text>" when the flag is on.
  void Trace(TTraceFlag flag, const std::string& text) const;

  // The attachment and the transaction the queries use.
  TtiFBDatabase& Connection() const { return *connection_; }
  TtiFBTransaction& Transaction() const { return *transaction_; }

  // Runs `work`; an access-layer failure that lost the attachment marks this database unfit for reuse before
  // it passes on.
  template <class F>
  decltype(auto) Guarded(F&& work);

private:
  // A failure of the access layer: traced, and one that lost the attachment marks this database.
  void OnFailure(const std::exception& e);
  std::unique_ptr<TtiFBDatabase> connection_;
  std::unique_ptr<TtiFBTransaction> transaction_;
  uint16_t traceFlags_ = 0;
};

class TtiQueryIBX : public TtiQuerySQL {
public:
  TI_CLASS(TtiQueryIBX)
  TtiQueryIBX();
  ~TtiQueryIBX() override;

  std::vector<std::string> GetSQL() const override { return sql_; }
  // A new text closes the query and forgets the parameter values; the statement stays prepared when the text
  // is the one it has.
  void SetSQL(const std::vector<std::string>& sql) override;
  bool GetActive() override;
  // true runs the statement (a SELECT opens its rows), false closes it.
  void SetActive(bool value) override;
  bool Eof() override;

  // Parameters by name (any case). The setters prepare the statement first; every parameter must be given a
  // value (or null) before the statement runs. The getters read back the value given, converted as Value
  // converts (framework/tiValue.h).
  std::string GetParamAsString(const std::string& name) override;
  void SetParamAsString(const std::string& name, const std::string& value) override;
  // True when the parameter's text is "T" (any case).
  bool GetParamAsBoolean(const std::string& name) override;
  // The text "T" or "F".
  void SetParamAsBoolean(const std::string& name, bool value) override;
  double GetParamAsFloat(const std::string& name) override;
  void SetParamAsFloat(const std::string& name, double value) override;
  int64_t GetParamAsInteger(const std::string& name) override;
  void SetParamAsInteger(const std::string& name, int64_t value) override;
  // Not provided by this layer: EtiPerProgrammerException.
  std::string GetParamAsText(const std::string& name) override;
  void SetParamAsText(const std::string& name, const std::string& value) override;
  TDateTime GetParamAsDateTime(const std::string& name) override;
  void SetParamAsDateTime(const std::string& name, TDateTime value) override;
  bool GetParamIsNull(const std::string& name) override;
  // true makes the parameter null; false leaves it as it is.
  void SetParamIsNull(const std::string& name, bool value) override;

  // Columns of the current row. Texts come back as stored (decoded from Windows-1252), floats in the
  // framework's float text.
  std::string FieldAsString(const std::string& name) override;
  double FieldAsFloat(const std::string& name) override;
  // The column's text, trimmed and upper-cased, is "T", "TRUE", "Y", "YES" or "1".
  bool FieldAsBoolean(const std::string& name) override;
  int64_t FieldAsInteger(const std::string& name) override;
  TDateTime FieldAsDateTime(const std::string& name) override;
  bool FieldIsNull(const std::string& name) override;
  std::string FieldAsStringByIndex(int index) override;
  double FieldAsFloatByIndex(int index) override;
  // As by name, but the text is not upper-cased: "t" and "yes" are false here.
  bool FieldAsBooleanByIndex(int index) override;
  int64_t FieldAsIntegerByIndex(int index) override;
  TDateTime FieldAsDateTimeByIndex(int index) override;
  bool FieldIsNullByIndex(int index) override;

  // Nothing when params is null; otherwise prepares and hands each parameter (then each where parameter) over.
  void AssignParams(const TtiQueryParams* params, const TtiQueryParams* whereParams = nullptr) override;

  void Open() override { SetActive(true); }
  void Close() override { SetActive(false); }
  // Prepares when not prepared and runs the statement.
  void ExecSQL() override;
  void Next() override;

  int ParamCount() override;
  std::string ParamName(int index) override;
  // 0 without a current row (before opening, at the end of the rows).
  int FieldCount() override;
  std::string FieldName(int index) override;
  // -1 when there is no column of that name.
  int FieldIndex(const std::string& name) override;
  // By the column's type; a text column whose current value is "T" or "F" (any case) is qfkLogical. A type
  // the framework has no kind for raises EtiPerInternalException.
  TtiQueryFieldKind FieldKind(int index) override;
  // The declared size for texts and blobs, 0 for the other kinds.
  int FieldSize(int index) override;
  bool HasNativeLogicalType() override { return false; }

  // The stream's whole content (read from its start) becomes the parameter's bytes.
  void AssignParamFromStream(const std::string& name, std::istream& stream) override;
  void AssignParamToStream(const std::string& name, std::ostream& stream) override;
  // The column's bytes (a blob, or any text column) are written to the stream.
  void AssignFieldAsStream(const std::string& name, std::ostream& stream) override;
  void AssignFieldAsStreamByIndex(int index, std::ostream& stream) override;

  // Only a TtiDatabaseIBX (EtiPerProgrammerException otherwise); the statement runs on its attachment and in
  // its transaction.
  void AttachDatabase(TtiDatabase* database) override;
  // Closes and drops the statement.
  void DetachDatabase() override;
  // Closes and empties the SQL text.
  void Reset() override;

private:
  // The statement; raises EtiPerProgrammerException naming `what` when no database is attached.
  TtiFBStatement& Stmt(const char* what) const;
  // The statement, prepared.
  TtiFBStatement& Prepared(const char* what);
  int Column(const std::string& name, const char* what) const;
  Value ParamAsValue(const std::string& name) const;
  bool TextIsTrue(int index, bool upperCase);

  std::vector<std::string> sql_;
  std::string text_;  // the lines joined as the statement gets them
  TtiDatabaseIBX* db_ = nullptr;
  std::unique_ptr<TtiFBStatement> stmt_;
};

// Registers the layer "IBX" with the persistence manager (a second call changes nothing).
void RegisterPersistenceLayerIBX();
// Removes it again, unless the persistence manager is gone already.
void UnRegisterPersistenceLayerIBX();

// ---- template bodies ----

template <class F>
decltype(auto) TtiDatabaseIBX::Guarded(F&& work) {
  try {
    return work();
  } catch (const std::exception& e) {
    OnFailure(e);
    throw;
  }
}

}  // namespace kelvado
