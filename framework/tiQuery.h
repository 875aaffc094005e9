#pragma once
// The abstract store interface every persistence layer implements: a database connection (TtiDatabase), a
// statement or table access with named parameters and a current row (TtiQuery), the SQL flavour that writes
// the SQL text for row operations and tables, the non-SQL flavour that keeps parameters in a list, the typed
// parameter classes and the table metadata.
#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/tiObject.h"
#include "framework/tiUtils.h"

namespace kelvado {

class TtiQuery;
class TtiQueryParams;
class TtiDBMetaData;
class TtiDBMetaDataTable;
class TtiDBMetaDataField;

// ---------------------------------------------------------------------------------------------------------
// Field kinds and statement kinds

enum TtiQueryFieldKind : uint8_t {
  qfkString,
  qfkInteger,
  qfkFloat,
  qfkDateTime,
  qfkLogical,
  qfkBinary,
  qfkMacro,
  qfkLongString
};
// "String", "Integer", "Float", "Date", "Logical", "Binary", "Macro", "Long string".
const char* QueryFieldKindToString(TtiQueryFieldKind kind);
// Compared ignoring case; any other text raises EtiPerInternalException "Invalid TtiQueryFieldKind <%s>".
TtiQueryFieldKind StrToQueryFieldKind(const std::string& text);

enum TtiQueryType : uint8_t { qtSelect, qtInsert, qtUpdate, qtDelete, qtDDL };
// The kind of statement from its first word. Blanks, tabs, carriage returns and line feeds all separate
// words; a text whose first word is not select/insert/update/delete/create/alter/drop, or that has no
// separator at all, raises Exception "Can not determine the type of the SQL (SELECT, UPDATE, ALTER, etc)".
TtiQueryType tiQueryTypeOfSQL(const std::string& sql);

// The SQL texts a TtiQuerySQL runs for the row operations and a TtiDatabaseSQL for tables (CR LF line ends;
// parameter names are the column names).
std::string tiSQLSelectRow(const std::string& tableName, const TtiQueryParams* whereParams);
std::string tiSQLInsertRow(const std::string& tableName, const TtiQueryParams* params);
std::string tiSQLDeleteRow(const std::string& tableName, const TtiQueryParams* whereParams);
std::string tiSQLUpdateRow(const std::string& tableName, const TtiQueryParams* params,
                           const TtiQueryParams* whereParams);

// ---------------------------------------------------------------------------------------------------------
// Parameters

// One named parameter. Published: Name, KindAsStr (read-only), ValueAsString. Every typed setter clears IsNull.
class TtiQueryParamAbs : public TtiObject {
public:
  TI_CLASS(TtiQueryParamAbs)
  TtiQueryParamAbs() = default;

  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  bool GetIsNull() const { return isNull_; }
  void SetIsNull(bool v) { isNull_ = v; }
  std::string GetKindAsStr() const { return QueryFieldKindToString(Kind()); }

  virtual TtiQueryFieldKind Kind() const = 0;
  virtual std::string GetValueAsString() const = 0;
  virtual void SetValueAsString(const std::string& text) = 0;
  // Hands the value to the query through the query's setter of this kind.
  virtual void AssignToTIQuery(TtiQuery& query) const = 0;

private:
  std::string name_;
  bool isNull_ = true;
};

class TtiQueryParamString : public TtiQueryParamAbs {
public:
  TI_CLASS(TtiQueryParamString)
  TtiQueryParamString() = default;
  TtiQueryFieldKind Kind() const override { return qfkString; }
  std::string GetValueAsString() const override { return value_; }
  void SetValueAsString(const std::string& text) override;
  void AssignToTIQuery(TtiQuery& query) const override;
  const std::string& GetValue() const { return value_; }
  void SetValue(const std::string& v) { SetValueAsString(v); }

private:
  std::string value_;
};

class TtiQueryParamInteger : public TtiQueryParamAbs {
public:
  TI_CLASS(TtiQueryParamInteger)
  TtiQueryParamInteger() = default;
  TtiQueryFieldKind Kind() const override { return qfkInteger; }
  std::string GetValueAsString() const override;
  // Empty text gives 0; anything but a decimal integer raises EConvertError naming the text.
  void SetValueAsString(const std::string& text) override;
  void AssignToTIQuery(TtiQuery& query) const override;
  int64_t GetValue() const { return value_; }
  void SetValue(int64_t v);

private:
  int64_t value_ = 0;
};

class TtiQueryParamFloat : public TtiQueryParamAbs {
public:
  TI_CLASS(TtiQueryParamFloat)
  TtiQueryParamFloat() = default;
  TtiQueryFieldKind Kind() const override { return qfkFloat; }
  std::string GetValueAsString() const override;
  // Empty text gives 0; anything but a number raises EConvertError naming the text.
  void SetValueAsString(const std::string& text) override;
  void AssignToTIQuery(TtiQuery& query) const override;
  double GetValue() const { return value_; }
  void SetValue(double v);

private:
  double value_ = 0.0;
};

class TtiQueryParamDateTime : public TtiQueryParamAbs {
public:
  TI_CLASS(TtiQueryParamDateTime)
  TtiQueryParamDateTime() = default;
  TtiQueryFieldKind Kind() const override { return qfkDateTime; }
  // "yyyy-mm-dd hh:mm:ss".
  std::string GetValueAsString() const override;
  // Empty text gives 0; otherwise the text above (a date alone is accepted).
  void SetValueAsString(const std::string& text) override;
  void AssignToTIQuery(TtiQuery& query) const override;
  TDateTime GetValue() const { return value_; }
  void SetValue(TDateTime v);

private:
  TDateTime value_ = 0.0;
};

class TtiQueryParamBoolean : public TtiQueryParamAbs {
public:
  TI_CLASS(TtiQueryParamBoolean)
  TtiQueryParamBoolean() = default;
  TtiQueryFieldKind Kind() const override { return qfkLogical; }
  // "TRUE" or "FALSE".
  std::string GetValueAsString() const override { return value_ ? "TRUE" : "FALSE"; }
  // True for "TRUE", "T" or "1" in any case, false for anything else.
  void SetValueAsString(const std::string& text) override;
  void AssignToTIQuery(TtiQuery& query) const override;
  bool GetValue() const { return value_; }
  void SetValue(bool v);

private:
  bool value_ = false;
};

// Binary data in an owned memory stream.
class TtiQueryParamStream : public TtiQueryParamAbs {
public:
  TI_CLASS(TtiQueryParamStream)
  TtiQueryParamStream() = default;
  TtiQueryFieldKind Kind() const override { return qfkBinary; }
  // The stream's bytes.
  std::string GetValueAsString() const override;
  // The text's bytes replace the stream (positions at 0).
  void SetValueAsString(const std::string& text) override;
  void AssignToTIQuery(TtiQuery& query) const override;
  std::stringstream& Stream() { return stream_; }
  // Copies the source from position 0 and puts the source's read position back.
  void CopyFrom(std::istream& source);

private:
  mutable std::stringstream stream_;
};

// The parameters of one statement, found by name ignoring case.
class TtiQueryParams : public TtiObjectList {
public:
  TI_CLASS(TtiQueryParams)
  TtiQueryParams() = default;

  TtiQueryParamAbs* Items(int index) const { return static_cast<TtiQueryParamAbs*>(GetItems(index)); }
  // nullptr when none.
  TtiQueryParamAbs* FindParamByName(const std::string& name) const;
  // The parameter of that name; a new one of `paramClass` when none exists.
  TtiQueryParamAbs* FindCreateParamByName(const std::string& name, const TtiClass& paramClass);

  // Find or create the parameter of the matching class and store the value. A parameter of that name but of
  // another class raises EtiPerProgrammerException "Invalid class typecast ...".
  void SetValueAsString(const std::string& name, const std::string& value);
  void SetValueAsInteger(const std::string& name, int64_t value);
  void SetValueAsFloat(const std::string& name, double value);
  void SetValueAsDateTime(const std::string& name, TDateTime value);
  void SetValueAsBoolean(const std::string& name, bool value);
  // Copies the stream's content from position 0 and puts its read position back.
  void SetValueAsStream(const std::string& name, std::istream& stream);

  // A missing parameter raises EtiPerProgrammerException "Parameter <%s> not found"; one of another class
  // raises the typecast error (GetValueAsString reads any class).
  std::string GetValueAsString(const std::string& name) const;
  int64_t GetValueAsInteger(const std::string& name) const;
  double GetValueAsFloat(const std::string& name) const;
  TDateTime GetValueAsDateTime(const std::string& name) const;
  bool GetValueAsBoolean(const std::string& name) const;
  // Writes the stream parameter's bytes to `stream`.
  void GetValueAsStream(const std::string& name, std::ostream& stream) const;

  // True when missing or null.
  bool ParamIsNull(const std::string& name) const;
  // Nothing when missing.
  void SetParamIsNull(const std::string& name, bool value);
  // The object's published property as the parameter of the matching kind (strings, integers, floats,
  // date-times, booleans); another kind raises Exception "Invalid TtiTypeKind".
  void SetValueFromProp(const TtiObject& object, const std::string& propName, const std::string& paramName);

  // The typed parameter of that name; the errors described above.
  template <class T>
  T& ParamAs(const std::string& name) const;

private:
  template <class T>
  T& FindCreateTyped(const std::string& name);
  mutable int lastFound_ = 0;  // where FindParamByName starts
};

// ---------------------------------------------------------------------------------------------------------
// Metadata

class TtiDBMetaDataField : public TtiObject {
public:
  TI_CLASS(TtiDBMetaDataField)
  TtiDBMetaDataField() = default;
  const std::string& GetName() const { return name_; }
  // Cut to 255 characters.
  void SetName(const std::string& v);
  TtiQueryFieldKind GetKind() const { return kind_; }
  void SetKind(TtiQueryFieldKind v) { kind_ = v; }
  std::string GetKindAsStr() const { return QueryFieldKindToString(kind_); }
  void SetKindAsStr(const std::string& v) { kind_ = StrToQueryFieldKind(v); }
  int GetWidth() const { return width_; }
  void SetWidth(int v) { width_ = v; }

private:
  std::string name_;
  TtiQueryFieldKind kind_ = qfkString;
  int width_ = 0;
};

class TtiDBMetaDataTable : public TtiObjectList {
public:
  TI_CLASS(TtiDBMetaDataTable)
  TtiDBMetaDataTable() = default;
  const std::string& GetName() const { return name_; }
  // Cut to 255 characters.
  void SetName(const std::string& v);
  TtiDBMetaDataField* Items(int index) const { return static_cast<TtiDBMetaDataField*>(GetItems(index)); }
  // Adds a field in state posClean.
  TtiDBMetaDataField& AddField(const std::string& name, TtiQueryFieldKind kind, int width = 0);
  // Ignoring case; nullptr when none.
  TtiDBMetaDataField* FindByFieldName(const std::string& name) const;
  // Only in state posPK: reads the fields through a database locked from the pool of the owning metadata.
  void Read();

private:
  std::string name_;
};

class TDBConnectionPool;

// The tables of one database, read through the connection pool of that database. The metadata does not keep
// the pool alive: once the pool is disconnected and freed, Read raises EtiPerInternalException.
class TtiDBMetaData : public TtiObjectList {
public:
  TI_CLASS(TtiDBMetaData)
  TtiDBMetaData() = default;
  TtiDBMetaDataTable* Items(int index) const { return static_cast<TtiDBMetaDataTable*>(GetItems(index)); }
  // Ignoring case; nullptr when none.
  TtiDBMetaDataTable* FindByTableName(const std::string& name) const;
  // Only in state posEmpty: replaces the list with the tables read through a database locked from the pool.
  void Read();
  // The pool's database name ("" once the pool is gone).
  std::string GetCaption() const override;
  // The pool to read through (held weakly).
  void SetPool(TDBConnectionPool* pool);
  std::shared_ptr<TDBConnectionPool> Pool() const;

private:
  std::weak_ptr<TDBConnectionPool> pool_;
};

// ---------------------------------------------------------------------------------------------------------
// Database

class TtiDatabase : public TtiBaseObject {
public:
  TI_CLASS(TtiDatabase)
  TtiDatabase();
  ~TtiDatabase() override;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& v) { databaseName_ = v; }
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& v) { userName_ = v; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  // Connection parameters, one "name=value" per entry.
  std::vector<std::string>& Params() { return params_; }
  const std::vector<std::string>& Params() const { return params_; }
  // The value of the parameter `name` (ignoring case), empty when none; `found` tells whether it is there.
  std::string ParamValue(const std::string& name, bool* found = nullptr) const;
  // Option bits a layer may read (the Firebird layer: ten trace flags). Empty after construction.
  uint32_t Options() const { return options_; }
  void SetOptions(uint32_t v) { options_ = v; }
  // Set by a layer when the connection failed in a way that makes it unfit for reuse; a pool then drops the
  // connection instead of handing it out again.
  // Atomic: a pool's monitor thread reads it.
  bool GetErrorInLastCall() const { return errorInLastCall_.load(); }
  void SetErrorInLastCall(bool v) { errorInLastCall_.store(v); }

  virtual void SetConnected(bool value) = 0;
  virtual bool GetConnected() = 0;
  bool Connected() { return GetConnected(); }

  // Stores name, user, password and the parameters (split at ","), then (re)connects. The password is never
  // written to the log.
  void Connect(const std::string& dbName, const std::string& userName, const std::string& password,
               const std::string& params);

  // Class operations of a layer's database class, run on a fresh instance of that class.
  virtual bool TestConnectTo(const std::string& dbName, const std::string& userName, const std::string& password,
                             const std::string& params) = 0;
  virtual void CreateDatabase(const std::string& dbName, const std::string& userName,
                              const std::string& password) = 0;
  // A new database object of `cls`; a class that is not a concrete database class raises
  // EtiPerProgrammerException.
  static std::unique_ptr<TtiDatabase> CreateInstance(const TtiClass& cls);
  static bool TestConnectTo(const TtiClass& cls, const std::string& dbName, const std::string& userName,
                            const std::string& password, const std::string& params);
  static void CreateDatabase(const TtiClass& cls, const std::string& dbName, const std::string& userName,
                             const std::string& password);
  // True when a fresh object of `cls` connects; false when Connect raised.
  static bool CanConnect(const TtiClass& cls, const std::string& dbName, const std::string& userName,
                         const std::string& password, const std::string& params);

  virtual void StartTransaction() = 0;
  virtual bool InTransaction() = 0;
  virtual void Commit() = 0;
  virtual void RollBack() = 0;
  // Driver status query; its meaning belongs to the layer.
  virtual bool Test() = 0;

  virtual void ReadMetaDataTables(TtiDBMetaData& metaData) = 0;
  virtual void ReadMetaDataFields(TtiDBMetaDataTable& table) = 0;

  virtual void ExecSQL(const std::string& sql, const TtiQueryParams* params = nullptr) = 0;
  virtual void DropTable(const TtiDBMetaDataTable& table) = 0;
  virtual void CreateTable(const TtiDBMetaDataTable& table) = 0;

  // Through a query of the layer, in a transaction of their own unless one is open. When the operation fails,
  // the transaction it opened is rolled back before the error passes on, so the connection goes back to its
  // pool clean.
  virtual void DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams);
  virtual void InsertRow(const std::string& tableName, const TtiQueryParams* params);
  virtual void UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                         const TtiQueryParams* whereParams);

  // A new query of the layer that owns this database's class (see tiSetQueryFactory).
  virtual std::unique_ptr<TtiQuery> CreateTIQuery();

protected:
  // Runs `work` on a fresh query attached to this database, inside a transaction (see DeleteRow).
  void RunInOwnTransaction(const std::function<void(TtiQuery&)>& work);

private:
  std::string userName_;
  std::string password_;
  std::string databaseName_;
  std::vector<std::string> params_;
  uint32_t options_ = 0;
  std::atomic<bool> errorInLastCall_{false};
};

// One piece of work's transaction on a database. The scope starts a transaction when none is open and then owns
// it: Commit commits it, and leaving the scope without Commit (a failure) rolls it back; a failing rollback is
// logged, so the failure that ended the work is the one that passes on. A transaction that was open already
// belongs to whoever opened it and is left alone.
class TtiOwnTransaction {
public:
  explicit TtiOwnTransaction(TtiDatabase& database);
  ~TtiOwnTransaction();
  TtiOwnTransaction(const TtiOwnTransaction&) = delete;
  TtiOwnTransaction& operator=(const TtiOwnTransaction&) = delete;
  void Commit();

private:
  TtiDatabase& database_;
  bool owned_;
};

// How a database finds the query class of its layer. The persistence-layer registry installs it; without it
// CreateTIQuery raises Exception "Unable to find persistence layer for database class <name>".
using TtiQueryFactory = std::function<std::unique_ptr<TtiQuery>(const TtiClass& databaseClass)>;
void tiSetQueryFactory(TtiQueryFactory factory);

class TtiDatabaseSQL : public TtiDatabase {
public:
  TI_CLASS(TtiDatabaseSQL)
  TtiDatabaseSQL() = default;
  void ExecSQL(const std::string& sql, const TtiQueryParams* params = nullptr) override;
  // "drop table " + name.
  void DropTable(const TtiDBMetaDataTable& table) override;
  // "create table " + name, then one "name type" item per field (type from FieldMetaDataToSQLCreate).
  void CreateTable(const TtiDBMetaDataTable& table) override;
  // The column type text of a field for CREATE TABLE.
  virtual std::string FieldMetaDataToSQLCreate(const TtiDBMetaDataField& field) = 0;
};

// ---------------------------------------------------------------------------------------------------------
// Query

class TtiQuery : public TtiBaseObject {
public:
  TI_CLASS(TtiQuery)
  TtiQuery() = default;
  ~TtiQuery() override;

  bool GetContinueScan() const { return continueScan_; }
  void SetContinueScan(bool v) { continueScan_ = v; }
  TtiDatabase* Database() const { return database_; }

  // The statement as lines.
  virtual std::vector<std::string> GetSQL() const = 0;
  virtual void SetSQL(const std::vector<std::string>& sql) = 0;
  virtual TtiQueryType QueryType() const;
  // The lines joined with CR LF.
  virtual std::string GetSQLText() const;
  // The text split into lines (at CR LF, LF or CR) and handed to SetSQL.
  virtual void SetSQLText(const std::string& text);

  virtual bool GetActive() = 0;
  virtual void SetActive(bool value) = 0;
  // At or past the last row. (Named Eof: EOF is a C macro.)
  virtual bool Eof() = 0;

  virtual std::string GetParamAsString(const std::string& name) = 0;
  virtual void SetParamAsString(const std::string& name, const std::string& value) = 0;
  virtual bool GetParamAsBoolean(const std::string& name) = 0;
  virtual void SetParamAsBoolean(const std::string& name, bool value) = 0;
  virtual double GetParamAsFloat(const std::string& name) = 0;
  virtual void SetParamAsFloat(const std::string& name, double value) = 0;
  virtual int64_t GetParamAsInteger(const std::string& name) = 0;
  virtual void SetParamAsInteger(const std::string& name, int64_t value) = 0;
  virtual std::string GetParamAsText(const std::string& name) = 0;
  virtual void SetParamAsText(const std::string& name, const std::string& value) = 0;
  virtual TDateTime GetParamAsDateTime(const std::string& name) = 0;
  virtual void SetParamAsDateTime(const std::string& name, TDateTime value) = 0;
  // Replaces every "&" + name in the SQL text by value.
  virtual void SetParamAsMacro(const std::string& name, const std::string& value);
  virtual bool GetParamIsNull(const std::string& name) = 0;
  virtual void SetParamIsNull(const std::string& name, bool value) = 0;

  virtual std::string FieldAsString(const std::string& name) = 0;
  virtual double FieldAsFloat(const std::string& name) = 0;
  virtual bool FieldAsBoolean(const std::string& name) = 0;
  virtual int64_t FieldAsInteger(const std::string& name) = 0;
  virtual TDateTime FieldAsDateTime(const std::string& name) = 0;
  virtual bool FieldIsNull(const std::string& name) = 0;
  virtual std::string FieldAsStringByIndex(int index) = 0;
  virtual double FieldAsFloatByIndex(int index) = 0;
  virtual bool FieldAsBooleanByIndex(int index) = 0;
  virtual int64_t FieldAsIntegerByIndex(int index) = 0;
  virtual TDateTime FieldAsDateTimeByIndex(int index) = 0;
  virtual bool FieldIsNullByIndex(int index) = 0;

  // Each parameter of params, then of whereParams (either may be null), sets itself on this query.
  virtual void AssignParams(const TtiQueryParams* params, const TtiQueryParams* whereParams = nullptr);

  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual void ExecSQL() = 0;

  virtual void SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) = 0;
  virtual void InsertRow(const std::string& tableName, const TtiQueryParams* params) = 0;
  virtual void DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) = 0;
  virtual void UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                         const TtiQueryParams* whereParams) = 0;

  virtual void Next() = 0;

  virtual int ParamCount() = 0;
  virtual std::string ParamName(int index) = 0;
  virtual int FieldCount() = 0;
  virtual std::string FieldName(int index) = 0;
  virtual int FieldIndex(const std::string& name) = 0;
  virtual TtiQueryFieldKind FieldKind(int index) = 0;
  virtual int FieldSize(int index) = 0;
  virtual bool HasNativeLogicalType() = 0;

  virtual void AssignParamFromStream(const std::string& name, std::istream& stream) = 0;
  virtual void AssignParamToStream(const std::string& name, std::ostream& stream) = 0;
  virtual void AssignFieldAsStream(const std::string& name, std::ostream& stream) = 0;
  virtual void AssignFieldAsStreamByIndex(int index, std::ostream& stream) = 0;

  virtual void AttachDatabase(TtiDatabase* database) { database_ = database; }
  // Closes the query when active, then forgets the database.
  virtual void DetachDatabase();
  // Closes and empties the statement.
  virtual void Reset() = 0;

  // One line per parameter, "name := value" (CR LF between lines); a null value reads "Null", others are cut
  // to 120 characters.
  virtual std::string ParamsAsString();

private:
  bool continueScan_ = true;
  TtiDatabase* database_ = nullptr;
};

// Writes SQL for the row operations.
class TtiQuerySQL : public TtiQuery {
public:
  TI_CLASS(TtiQuerySQL)
  TtiQuerySQL() = default;
  void SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  void InsertRow(const std::string& tableName, const TtiQueryParams* params) override;
  void DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  void UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                 const TtiQueryParams* whereParams) override;
};

// For stores without SQL: the parameters live in an owned list.
class TtiQueryNonSQL : public TtiQuery {
public:
  TI_CLASS(TtiQueryNonSQL)
  TtiQueryNonSQL();
  ~TtiQueryNonSQL() override;

  TtiQueryParams& Params() { return *params_; }
  const TtiQueryParams& Params() const { return *params_; }

  std::string GetParamAsString(const std::string& name) override;
  void SetParamAsString(const std::string& name, const std::string& value) override;
  bool GetParamAsBoolean(const std::string& name) override;
  void SetParamAsBoolean(const std::string& name, bool value) override;
  double GetParamAsFloat(const std::string& name) override;
  void SetParamAsFloat(const std::string& name, double value) override;
  int64_t GetParamAsInteger(const std::string& name) override;
  void SetParamAsInteger(const std::string& name, int64_t value) override;
  // The parameter's text value (ValueAsString), whatever its kind; a missing parameter is made a string one.
  std::string GetParamAsText(const std::string& name) override;
  void SetParamAsText(const std::string& name, const std::string& value) override;
  TDateTime GetParamAsDateTime(const std::string& name) override;
  void SetParamAsDateTime(const std::string& name, TDateTime value) override;
  // Nothing: there is no SQL text to change.
  void SetParamAsMacro(const std::string& name, const std::string& value) override;
  bool GetParamIsNull(const std::string& name) override;
  void SetParamIsNull(const std::string& name, bool value) override;
  int ParamCount() override;
  std::string ParamName(int index) override;
  void AssignParamFromStream(const std::string& name, std::istream& stream) override;
  void AssignParamToStream(const std::string& name, std::ostream& stream) override;
  // "name := value" per parameter, without the null test and without cutting.
  std::string ParamsAsString() override;

private:
  std::unique_ptr<TtiQueryParams> params_;
};

// ---- template bodies ----

template <class T>
T& TtiQueryParams::ParamAs(const std::string& name) const {
  TtiQueryParamAbs* p = FindParamByName(name);
  if (!p) throw EtiPerProgrammerException("Parameter <%s> not found", {name});
  T* t = dynamic_cast<T*>(p);
  if (!t)
    throw EtiPerProgrammerException("Invalid class typecast: parameter <%s> is %s, not %s",
                                    {name, p->ClassName(), T::StaticClass().Name()});
  return *t;
}

}  // namespace kelvado
