#include "framework/tiQueryIBX.h"

#include <firebird/Interface.h>
#include <ibase.h>

#include <istream>
#include <ostream>
#include <sstream>

#include "framework/tiExcept.h"
#include "framework/tiFirebird.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiValue.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

const char* const cSQLTables =
    "SELECT RDB$RELATION_NAME as Table_Name FROM RDB$RELATIONS              WHERE ((RDB$SYSTEM_FLAG = 0) OR "
    "(RDB$SYSTEM_FLAG IS NULL)) AND  (RDB$VIEW_SOURCE IS NULL)       ORDER BY RDB$RELATION_NAME      ";

// The table's name is a parameter rather than a quoted literal, so that no name can break the statement.
const char* const cSQLFields =
    "  select     r.rdb$field_name     as field_name     ,rdb$field_type      as field_type     "
    ",rdb$field_sub_type  as field_sub_type     ,rdb$field_length    as field_length   from     "
    "rdb$relation_fields r     ,rdb$fields f   where       r.rdb$relation_name = :Table_Name  and "
    "f.rdb$field_name = r.rdb$field_source ";

bool IsTrueText(const std::string& t) { return t == "T" || t == "TRUE" || t == "Y" || t == "YES" || t == "1"; }

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Database

const TtiClass& TtiDatabaseIBX::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabaseIBX, TtiDatabaseSQL>(), "TtiDatabaseIBX");
  return c;
}

TtiDatabaseIBX::TtiDatabaseIBX()
    : connection_(std::make_unique<TtiFBDatabase>()), transaction_(std::make_unique<TtiFBTransaction>(*connection_)) {}

TtiDatabaseIBX::~TtiDatabaseIBX() {
  try {
    if (transaction_->Active()) transaction_->RollBack();
  } catch (const std::exception& e) {
    LogError(std::string("Rolling back on closing a database failed: ") + e.what());
  }
  try {
    connection_->Disconnect();
  } catch (const std::exception& e) {
    LogError(std::string("Closing a database failed: ") + e.what());
  }
  transaction_.reset();
}

void TtiDatabaseIBX::OnFailure(const std::exception& e) {
  Trace(tfError, e.what());
  if (const auto* fb = dynamic_cast<const EtiFBException*>(&e); fb && fb->ConnectionLost()) SetErrorInLastCall(true);
}

void TtiDatabaseIBX::Trace(TTraceFlag flag, const std::string& text) const {
  if (!Tracing(flag)) return;
  static constexpr const char* kKind[] = {"Prepare",  "Execute",     "Fetch", "Error",   "Statement",
                                          "Connect",  "Transaction", "Blob",  "Service", "Misc"};
  // One severity for every kind, so that the flags alone choose what is traced.
  Log(std::string("IBX ") + kKind[flag] + ": " + text, lsQueryTiming);
}

void TtiDatabaseIBX::SetConnected(bool value) {
  if (!value) {
    Log(tiFormat("Disconnecting from %s", {DatabaseName()}), lsDBConnection);
    Trace(tfConnect, "disconnect " + DatabaseName());
    connection_->Disconnect();
    return;
  }
  if (connection_->Connected()) connection_->Disconnect();
  connection_->SetDatabaseName(DatabaseName());
  connection_->SetUserName(UserName());
  connection_->SetPassword(Password());
  // Option bit 9 is the first flag, bit 0 the last.
  traceFlags_ = 0;
  for (unsigned flag = 0; flag < 10; ++flag)
    if ((Options() >> (9 - flag)) & 1U) traceFlags_ = static_cast<uint16_t>(traceFlags_ | (1U << flag));
  try {
    connection_->Connect();
  } catch (const std::exception& e) {
    Trace(tfError, e.what());
    throw;
  }
  Trace(tfConnect, "connect " + DatabaseName());
  SetErrorInLastCall(false);
}

bool TtiDatabaseIBX::GetConnected() { return connection_->Connected(); }

bool TtiDatabaseIBX::TestConnectTo(const std::string& dbName, const std::string& userName,
                                   const std::string& password, const std::string& params) {
  (void)params;
  TtiDatabaseIBX db;
  db.SetDatabaseName(dbName);
  db.SetUserName(userName);
  db.SetPassword(password);
  db.SetConnected(true);
  db.SetConnected(false);
  return true;
}

void TtiDatabaseIBX::CreateDatabase(const std::string& dbName, const std::string& userName,
                                    const std::string& password) {
  TtiFBDatabase::CreateDatabase(dbName, userName, password);
}

void TtiDatabaseIBX::StartTransaction() {
  if (InTransaction()) throw EtiPerInternalException("Attempt to start a transaction but transaction already exists.");
  Guarded([&] { transaction_->Start(); });
  Trace(tfTransact, "start");
}

bool TtiDatabaseIBX::InTransaction() { return transaction_->Active(); }

void TtiDatabaseIBX::Commit() {
  if (!InTransaction()) throw EtiPerInternalException("Attempt to commit but not in a transaction.");
  Guarded([&] { transaction_->Commit(); });
  Trace(tfTransact, "commit");
}

void TtiDatabaseIBX::RollBack() {
  Guarded([&] { transaction_->RollBack(); });
  Trace(tfTransact, "rollback");
}

void TtiDatabaseIBX::ReadMetaDataTables(TtiDBMetaData& metaData) {
  RunInOwnTransaction([&](TtiQuery& q) {
    q.SetSQLText(cSQLTables);
    q.Open();
    for (; !q.Eof(); q.Next()) {
      auto table = std::make_unique<TtiDBMetaDataTable>();
      table->SetName(TrimBlanks(q.FieldAsString("table_name")));
      table->SetObjectState(posPK);
      metaData.Add(std::move(table));
    }
  });
  metaData.SetObjectState(posClean);
}

void TtiDatabaseIBX::ReadMetaDataFields(TtiDBMetaDataTable& table) {
  RunInOwnTransaction([&](TtiQuery& q) {
    q.SetSQLText(cSQLFields);
    q.SetParamAsString("Table_Name", table.GetName());
    q.Open();
    for (; !q.Eof(); q.Next()) {
      const std::string name = TrimBlanks(q.FieldAsString("field_name"));
      const int64_t type = q.FieldAsInteger("field_type");
      TtiQueryFieldKind kind;
      int width = 0;
      switch (type) {
        case 8: kind = qfkInteger; break;
        case 27: kind = qfkFloat; break;
        case 12:
        case 13:
        case 35: kind = qfkDateTime; break;
        case 14:
        case 37:
          kind = qfkString;
          width = static_cast<int>(q.FieldAsInteger("field_length"));
          break;
        case 261: {
          const int64_t sub = q.FieldAsInteger("field_sub_type");
          if (sub == 0)
            kind = qfkBinary;
          else if (sub == 1)
            kind = qfkLongString;
          else
            throw EtiPerInternalException("Invalid field_sub_type <" + std::to_string(sub) + ">");
          break;
        }
        default: throw EtiPerInternalException("Invalid Interbase FieldType <" + std::to_string(type) + ">");
      }
      table.AddField(name, kind, width);
    }
  });
  table.SetObjectState(posClean);
}

std::string TtiDatabaseIBX::FieldMetaDataToSQLCreate(const TtiDBMetaDataField& field) {
  switch (field.GetKind()) {
    case qfkString: return "VarChar( " + std::to_string(field.GetWidth()) + " )";
    case qfkInteger: return "Integer";
    case qfkFloat: return "DOUBLE PRECISION";
    case qfkDateTime: return connection_->SQLDialect() == 1 ? "Date" : "TIMESTAMP";
    case qfkLogical: return "Char( 1 ) default 'F' check( " + field.GetName() + " in ( 'T', 'F' ))";
    case qfkBinary: return "Blob sub_type 0";
    case qfkLongString: return "Blob sub_type 1";
    case qfkMacro: break;
  }
  throw EtiPerInternalException("Invalid FieldKind");
}

// ---------------------------------------------------------------------------------------------------------
// Query

const TtiClass& TtiQueryIBX::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryIBX, TtiQuerySQL>(), "TtiQueryIBX");
  return c;
}

TtiQueryIBX::TtiQueryIBX() = default;
TtiQueryIBX::~TtiQueryIBX() = default;

TtiFBStatement& TtiQueryIBX::Stmt(const char* what) const {
  if (!stmt_) throw EtiPerProgrammerException("%s: the query is not attached to a database", {what});
  return *stmt_;
}

TtiFBStatement& TtiQueryIBX::Prepared(const char* what) {
  TtiFBStatement& s = Stmt(what);
  if (!s.Prepared()) {
    db_->Guarded([&] { s.Prepare(); });
    db_->Trace(TtiDatabaseIBX::tfQPrepare, text_);
  }
  return s;
}

void TtiQueryIBX::SetSQL(const std::vector<std::string>& sql) {
  sql_ = sql;
  const std::string text = GetSQLText();
  if (stmt_ && text == text_) {
    stmt_->ClearParams();
  } else if (stmt_) {
    stmt_->SetSQL(text);
    db_->Trace(TtiDatabaseIBX::tfStmt, text);
  }
  text_ = text;
}

bool TtiQueryIBX::GetActive() { return stmt_ && stmt_->Active(); }

void TtiQueryIBX::SetActive(bool value) {
  if (!value) {
    if (stmt_) stmt_->Close();
    return;
  }
  TtiFBStatement& s = Prepared("Open");
  if (db_->Tracing(TtiDatabaseIBX::tfQExecute))
    db_->Trace(TtiDatabaseIBX::tfQExecute, text_ + "\r\n" + ParamsAsString());
  db_->Guarded([&] {
    if (s.IsSelect())
      s.Open();
    else
      s.Execute();
  });
}

void TtiQueryIBX::ExecSQL() { SetActive(true); }

bool TtiQueryIBX::Eof() { return !stmt_ || stmt_->Eof(); }

void TtiQueryIBX::Next() {
  TtiFBStatement& s = Stmt("Next");
  db_->Guarded([&] { s.Next(); });
  if (db_->Tracing(TtiDatabaseIBX::tfQFetch))
    db_->Trace(TtiDatabaseIBX::tfQFetch, s.Eof() ? "end of " + text_ : text_);
}

// ---- parameters ----

Value TtiQueryIBX::ParamAsValue(const std::string& name) const {
  using K = TtiFBStatement::TParamKind;
  const TtiFBStatement::TParamValue v = Stmt("Parameter").ParamValue(name);
  switch (v.Kind) {
    case K::String:
    case K::Blob: return Value(v.Text);
    case K::Integer:
    case K::Boolean: return Value(v.Integer);
    case K::Double: return Value(v.Number);
    case K::DateTime: return Value(DateTime{v.Number});
    case K::Null:
    case K::Unset: break;
  }
  return Value();
}

std::string TtiQueryIBX::GetParamAsString(const std::string& name) { return ParamAsValue(name).AsString(); }
void TtiQueryIBX::SetParamAsString(const std::string& name, const std::string& value) {
  Prepared("Parameter").SetParamString(name, value);
}
bool TtiQueryIBX::GetParamAsBoolean(const std::string& name) {
  return SameTextAscii(GetParamAsString(name), "T");
}
void TtiQueryIBX::SetParamAsBoolean(const std::string& name, bool value) {
  Prepared("Parameter").SetParamString(name, value ? "T" : "F");
}
double TtiQueryIBX::GetParamAsFloat(const std::string& name) { return ParamAsValue(name).AsFloat(); }
void TtiQueryIBX::SetParamAsFloat(const std::string& name, double value) {
  Prepared("Parameter").SetParamDouble(name, value);
}
int64_t TtiQueryIBX::GetParamAsInteger(const std::string& name) { return ParamAsValue(name).AsInteger(); }
void TtiQueryIBX::SetParamAsInteger(const std::string& name, int64_t value) {
  Prepared("Parameter").SetParamInteger(name, value);
}
std::string TtiQueryIBX::GetParamAsText(const std::string&) {
  throw EtiPerProgrammerException("GetParamAsText is not provided by the persistence layer <%s>", {cTIPersistIBX});
}
void TtiQueryIBX::SetParamAsText(const std::string&, const std::string&) {
  throw EtiPerProgrammerException("SetParamAsText is not provided by the persistence layer <%s>", {cTIPersistIBX});
}
TDateTime TtiQueryIBX::GetParamAsDateTime(const std::string& name) { return ParamAsValue(name).AsDateTime().Days; }
void TtiQueryIBX::SetParamAsDateTime(const std::string& name, TDateTime value) {
  Prepared("Parameter").SetParamDateTime(name, value);
}
bool TtiQueryIBX::GetParamIsNull(const std::string& name) { return Stmt("Parameter").ParamIsNull(name); }
void TtiQueryIBX::SetParamIsNull(const std::string& name, bool value) {
  TtiFBStatement& s = Prepared("Parameter");
  if (value) s.SetParamNull(name);
}

void TtiQueryIBX::AssignParams(const TtiQueryParams* params, const TtiQueryParams* whereParams) {
  if (!params) return;
  Prepared("AssignParams");
  TtiQuerySQL::AssignParams(params, whereParams);
}

int TtiQueryIBX::ParamCount() { return stmt_ ? stmt_->ParamCount() : 0; }
std::string TtiQueryIBX::ParamName(int index) { return Stmt("ParamName").ParamName(index); }

void TtiQueryIBX::AssignParamFromStream(const std::string& name, std::istream& stream) {
  stream.clear();
  stream.seekg(0);
  std::ostringstream bytes;
  bytes << stream.rdbuf();
  Prepared("Parameter").SetParamBlob(name, bytes.str());
  if (db_->Tracing(TtiDatabaseIBX::tfBlob))
    db_->Trace(TtiDatabaseIBX::tfBlob, tiFormat("parameter %s: %d bytes", {name, bytes.str().size()}));
}

void TtiQueryIBX::AssignParamToStream(const std::string& name, std::ostream& stream) {
  stream << Stmt("Parameter").ParamValue(name).Text;
}

// ---- fields ----

int TtiQueryIBX::Column(const std::string& name, const char* what) const {
  const int k = Stmt(what).FieldIndex(name);
  if (k < 0) throw EtiPerProgrammerException("%s: the query has no column <%s>", {what, name});
  return k;
}

std::string TtiQueryIBX::FieldAsStringByIndex(int index) {
  TtiFBStatement& s = Stmt("FieldAsString");
  const unsigned type = s.Column(index).SQLType;
  if ((type == SQL_DOUBLE || type == SQL_FLOAT || type == SQL_D_FLOAT) && !s.FieldIsNull(index))
    return Value::FloatToText(s.FieldAsFloat(index));
  return s.FieldAsString(index);
}
double TtiQueryIBX::FieldAsFloatByIndex(int index) { return Stmt("FieldAsFloat").FieldAsFloat(index); }
int64_t TtiQueryIBX::FieldAsIntegerByIndex(int index) { return Stmt("FieldAsInteger").FieldAsInteger(index); }
TDateTime TtiQueryIBX::FieldAsDateTimeByIndex(int index) { return Stmt("FieldAsDateTime").FieldAsDateTime(index); }
bool TtiQueryIBX::FieldIsNullByIndex(int index) { return Stmt("FieldIsNull").FieldIsNull(index); }

bool TtiQueryIBX::TextIsTrue(int index, bool upperCase) {
  const std::string t = TrimBlanks(FieldAsStringByIndex(index));
  return IsTrueText(upperCase ? UpperAscii(t) : t);
}
bool TtiQueryIBX::FieldAsBooleanByIndex(int index) { return TextIsTrue(index, false); }

std::string TtiQueryIBX::FieldAsString(const std::string& name) {
  return FieldAsStringByIndex(Column(name, "FieldAsString"));
}
double TtiQueryIBX::FieldAsFloat(const std::string& name) { return FieldAsFloatByIndex(Column(name, "FieldAsFloat")); }
bool TtiQueryIBX::FieldAsBoolean(const std::string& name) { return TextIsTrue(Column(name, "FieldAsBoolean"), true); }
int64_t TtiQueryIBX::FieldAsInteger(const std::string& name) {
  return FieldAsIntegerByIndex(Column(name, "FieldAsInteger"));
}
TDateTime TtiQueryIBX::FieldAsDateTime(const std::string& name) {
  return FieldAsDateTimeByIndex(Column(name, "FieldAsDateTime"));
}
bool TtiQueryIBX::FieldIsNull(const std::string& name) { return FieldIsNullByIndex(Column(name, "FieldIsNull")); }

int TtiQueryIBX::FieldCount() { return stmt_ && stmt_->Active() && !stmt_->Eof() ? stmt_->FieldCount() : 0; }
std::string TtiQueryIBX::FieldName(int index) { return Stmt("FieldName").FieldName(index); }
int TtiQueryIBX::FieldIndex(const std::string& name) { return stmt_ ? stmt_->FieldIndex(name) : -1; }

TtiQueryFieldKind TtiQueryIBX::FieldKind(int index) {
  const TtiFBColumn& c = Stmt("FieldKind").Column(index);
  switch (c.SQLType) {
    case SQL_TEXT:
    case SQL_VARYING: {
      if (stmt_->Active() && !stmt_->Eof() && !stmt_->FieldIsNull(index)) {
        const std::string t = UpperAscii(stmt_->FieldAsString(index));
        if (t == "T" || t == "F") return qfkLogical;
      }
      return qfkString;
    }
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_D_FLOAT: return qfkFloat;
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
    case SQL_QUAD: return c.Scale == 0 ? qfkInteger : qfkFloat;
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIME:
    case SQL_TYPE_DATE: return qfkDateTime;
    case SQL_BLOB:
      if (c.SubType == 0) return qfkBinary;
      if (c.SubType == 1) return qfkLongString;
      throw EtiPerInternalException("Invalid Interbase/FireBird/IBX sqlsubtype");
    default: throw EtiPerInternalException("Invalid Interbase sqltype");
  }
}

int TtiQueryIBX::FieldSize(int index) {
  switch (FieldKind(index)) {
    case qfkString:
    case qfkBinary: return static_cast<int>(stmt_->Column(index).Length);
    default: return 0;
  }
}

void TtiQueryIBX::AssignFieldAsStream(const std::string& name, std::ostream& stream) {
  AssignFieldAsStreamByIndex(Column(name, "AssignFieldAsStream"), stream);
}

void TtiQueryIBX::AssignFieldAsStreamByIndex(int index, std::ostream& stream) {
  TtiFBStatement& s = Stmt("AssignFieldAsStream");
  const std::string bytes = db_->Guarded([&] { return s.FieldAsBlob(index); });
  if (db_->Tracing(TtiDatabaseIBX::tfBlob))
    db_->Trace(TtiDatabaseIBX::tfBlob, tiFormat("column %d: %d bytes", {index, bytes.size()}));
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---- database ----

void TtiQueryIBX::AttachDatabase(TtiDatabase* database) {
  auto* db = dynamic_cast<TtiDatabaseIBX*>(database);
  if (database && !db)
    throw EtiPerProgrammerException("TtiQueryIBX can not use a database of class <%s>", {database->ClassName()});
  if (stmt_) DetachDatabase();
  TtiQuerySQL::AttachDatabase(database);
  db_ = db;
  if (!db_) return;
  stmt_ = std::make_unique<TtiFBStatement>(db_->Connection(), db_->Transaction());
  if (!text_.empty()) stmt_->SetSQL(text_);
}

void TtiQueryIBX::DetachDatabase() {
  TtiQuerySQL::DetachDatabase();
  stmt_.reset();
  db_ = nullptr;
}

void TtiQueryIBX::Reset() {
  if (stmt_) stmt_->Close();
  SetSQL({});
}

// ---------------------------------------------------------------------------------------------------------
// Registration

void RegisterPersistenceLayerIBX() {
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(cTIPersistIBX, nullptr, TtiQueryIBX::StaticClass(),
                                                             TtiDatabaseIBX::StaticClass());
}

void UnRegisterPersistenceLayerIBX() {
  if (tiPerMgrAssigned()) tiPerMgr().GetPersistenceLayers().UnRegisterPersistenceLayer(cTIPersistIBX);
}

}  // namespace kelvado
