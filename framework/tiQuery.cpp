#include "framework/tiQuery.h"

#include <algorithm>
#include <istream>
#include <mutex>
#include <ostream>

#include "framework/tiCommandLineParams.h"
#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPool.h"
#include "platform/TextCase.h"
#include "framework/tiValue.h"

namespace kelvado {

namespace {

const char* const cCRLF = "\r\n";
const char* const cFieldKindTexts[] = {"String", "Integer", "Float",  "Date",
                                       "Logical", "Binary", "Macro", "Long string"};

std::string Cut255(const std::string& s) { return s.size() > 255 ? s.substr(0, 255) : s; }

// Names that hide a secret in a connection parameter list.
bool IsSecretParamName(const std::string& name) {
  return LowerAscii(TrimBlanks(name)).find("password") != std::string::npos;
}

std::string Mask(const std::string& secret) { return std::string(secret.size(), 'X'); }

// The connection parameter text with every password value replaced by X characters.
std::string MaskParamsText(const std::string& params) {
  std::string out;
  const int n = tiNumToken(params, ",");
  for (int i = 1; i <= n; ++i) {
    std::string piece = tiToken(params, ",", i);
    const size_t eq = piece.find('=');
    if (eq != std::string::npos && IsSecretParamName(piece.substr(0, eq)))
      piece = piece.substr(0, eq + 1) + Mask(piece.substr(eq + 1));
    if (i > 1) out += ",";
    out += piece;
  }
  return out;
}

std::string WhereClause(const TtiQueryParams* whereParams) {
  if (!whereParams || whereParams->Count() == 0) return {};
  std::string s = std::string(cCRLF) + "where" + cCRLF;
  for (int i = 0; i < whereParams->Count(); ++i) {
    if (i > 0) s += " and ";
    const std::string& n = whereParams->Items(i)->GetName();
    s += n + " = :" + n;
  }
  return s + cCRLF;
}

std::mutex& QueryFactoryMutex() {
  static std::mutex m;
  return m;
}
TtiQueryFactory& QueryFactory() {
  static TtiQueryFactory f;
  return f;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Class descriptors

namespace {
constexpr std::string_view cQueryFieldKindNames[] = {"qfkString",  "qfkInteger", "qfkFloat", "qfkDateTime",
                                                     "qfkLogical", "qfkBinary",  "qfkMacro", "qfkLongString"};
}  // namespace

const TtiClass& TtiQueryParamString::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamString, TtiQueryParamAbs>(), "TtiQueryParamString");
  return c;
}
const TtiClass& TtiQueryParamInteger::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamInteger, TtiQueryParamAbs>(), "TtiQueryParamInteger");
  return c;
}
const TtiClass& TtiQueryParamFloat::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamFloat, TtiQueryParamAbs>(), "TtiQueryParamFloat");
  return c;
}
const TtiClass& TtiQueryParamDateTime::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamDateTime, TtiQueryParamAbs>(), "TtiQueryParamDateTime");
  return c;
}
const TtiClass& TtiQueryParamBoolean::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamBoolean, TtiQueryParamAbs>(), "TtiQueryParamBoolean");
  return c;
}
const TtiClass& TtiQueryParamStream::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamStream, TtiQueryParamAbs>(), "TtiQueryParamStream");
  return c;
}
const TtiClass& TtiQueryParams::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParams, TtiObjectList>(), "TtiQueryParams");
  return c;
}
const TtiClass& TtiDBMetaData::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBMetaData, TtiObjectList>(), "TtiDBMetaData");
  return c;
}
const TtiClass& TtiDatabase::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabase, TtiBaseObject>(), "TtiDatabase");
  return c;
}
const TtiClass& TtiDatabaseSQL::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabaseSQL, TtiDatabase>(), "TtiDatabaseSQL");
  return c;
}
const TtiClass& TtiQuery::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQuery, TtiBaseObject>(), "TtiQuery");
  return c;
}
const TtiClass& TtiQuerySQL::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQuerySQL, TtiQuery>(), "TtiQuerySQL");
  return c;
}
const TtiClass& TtiQueryNonSQL::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryNonSQL, TtiQuery>(), "TtiQueryNonSQL");
  return c;
}

const TtiClass& TtiQueryParamAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryParamAbs, TtiObject>(), "TtiQueryParamAbs",
                          [](TtiPropTableBuilder<TtiQueryParamAbs>& b) {
                            b.String("Name", &TtiQueryParamAbs::GetName, &TtiQueryParamAbs::SetName)
                                .String("KindAsStr", &TtiQueryParamAbs::GetKindAsStr)
                                .String("ValueAsString", &TtiQueryParamAbs::GetValueAsString,
                                        &TtiQueryParamAbs::SetValueAsString);
                          });
  return c;
}

const TtiClass& TtiDBMetaDataField::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBMetaDataField, TtiObject>(), "TtiDBMetaDataField",
                          [](TtiPropTableBuilder<TtiDBMetaDataField>& b) {
                            b.String("Name", &TtiDBMetaDataField::GetName, &TtiDBMetaDataField::SetName)
                                .Enumeration("Kind", &TtiDBMetaDataField::GetKind, &TtiDBMetaDataField::SetKind,
                                             cQueryFieldKindNames)
                                .String("KindAsStr", &TtiDBMetaDataField::GetKindAsStr,
                                        &TtiDBMetaDataField::SetKindAsStr)
                                .Integer("Width", &TtiDBMetaDataField::GetWidth, &TtiDBMetaDataField::SetWidth);
                          });
  return c;
}

const TtiClass& TtiDBMetaDataTable::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBMetaDataTable, TtiObjectList>(), "TtiDBMetaDataTable",
                          [](TtiPropTableBuilder<TtiDBMetaDataTable>& b) {
                            b.String("Name", &TtiDBMetaDataTable::GetName, &TtiDBMetaDataTable::SetName);
                          });
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// Kinds

const char* QueryFieldKindToString(TtiQueryFieldKind kind) {
  const auto i = static_cast<size_t>(kind);
  return i < std::size(cFieldKindTexts) ? cFieldKindTexts[i] : "";
}

TtiQueryFieldKind StrToQueryFieldKind(const std::string& text) {
  for (size_t i = 0; i < std::size(cFieldKindTexts); ++i)
    if (SameTextAscii(text, cFieldKindTexts[i])) return static_cast<TtiQueryFieldKind>(i);
  throw EtiPerInternalException("Invalid TtiQueryFieldKind <%s>", {text});
}

TtiQueryType tiQueryTypeOfSQL(const std::string& sql) {
  // Every kind of white space separates words: a statement written "select\n*" is a select.
  std::string s = LowerAscii(TrimBlanks(sql));
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  const size_t blank = s.find(' ');
  const std::string first = blank == std::string::npos ? std::string() : s.substr(0, blank);
  if (first == "select") return qtSelect;
  if (first == "insert") return qtInsert;
  if (first == "update") return qtUpdate;
  if (first == "delete") return qtDelete;
  if (first == "create" || first == "alter" || first == "drop") return qtDDL;
  throw Exception("Can not determine the type of the SQL (SELECT, UPDATE, ALTER, etc)" + tiCR(2) + sql);
}

std::string tiSQLSelectRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  return "select * from " + tableName + WhereClause(whereParams);
}

std::string tiSQLInsertRow(const std::string& tableName, const TtiQueryParams* params) {
  std::string cols, values;
  const int n = params ? params->Count() : 0;
  for (int i = 0; i < n; ++i) {
    const std::string& name = params->Items(i)->GetName();
    if (i > 0) {
      cols += std::string(",") + cCRLF;
      values += std::string(",") + cCRLF;
    }
    cols += name;
    values += ":" + name;
  }
  return "insert into " + tableName + cCRLF + "(" + cols + cCRLF + ")" + cCRLF + "values" + cCRLF + "(" + cCRLF +
         values + cCRLF + ")";
}

std::string tiSQLDeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  return "delete from " + tableName + WhereClause(whereParams);
}

std::string tiSQLUpdateRow(const std::string& tableName, const TtiQueryParams* params,
                           const TtiQueryParams* whereParams) {
  std::string s = "update " + tableName + " set " + cCRLF;
  const int n = params ? params->Count() : 0;
  for (int i = 0; i < n; ++i) {
    const std::string& name = params->Items(i)->GetName();
    if (i > 0) s += std::string(",") + cCRLF;
    s += name + " = :" + name;
  }
  return s + WhereClause(whereParams);
}

// ---------------------------------------------------------------------------------------------------------
// Parameters

void TtiQueryParamString::SetValueAsString(const std::string& text) {
  value_ = text;
  SetIsNull(false);
}
void TtiQueryParamString::AssignToTIQuery(TtiQuery& query) const { query.SetParamAsString(GetName(), value_); }

std::string TtiQueryParamInteger::GetValueAsString() const { return std::to_string(value_); }
void TtiQueryParamInteger::SetValueAsString(const std::string& text) {
  SetValue(text.empty() ? 0 : Value::TextToInteger(text));
}
void TtiQueryParamInteger::SetValue(int64_t v) {
  value_ = v;
  SetIsNull(false);
}
void TtiQueryParamInteger::AssignToTIQuery(TtiQuery& query) const { query.SetParamAsInteger(GetName(), value_); }

std::string TtiQueryParamFloat::GetValueAsString() const { return Value::FloatToText(value_); }
void TtiQueryParamFloat::SetValueAsString(const std::string& text) {
  SetValue(text.empty() ? 0.0 : Value::TextToFloat(text));
}
void TtiQueryParamFloat::SetValue(double v) {
  value_ = v;
  SetIsNull(false);
}
void TtiQueryParamFloat::AssignToTIQuery(TtiQuery& query) const { query.SetParamAsFloat(GetName(), value_); }

std::string TtiQueryParamDateTime::GetValueAsString() const { return tiDateTimeToStr(value_); }
void TtiQueryParamDateTime::SetValueAsString(const std::string& text) {
  SetValue(text.empty() ? 0.0 : Value::TextToDateTime(text).Days);
}
void TtiQueryParamDateTime::SetValue(TDateTime v) {
  value_ = v;
  SetIsNull(false);
}
void TtiQueryParamDateTime::AssignToTIQuery(TtiQuery& query) const { query.SetParamAsDateTime(GetName(), value_); }

void TtiQueryParamBoolean::SetValueAsString(const std::string& text) {
  const std::string u = LowerAscii(text);
  SetValue(u == "true" || u == "t" || u == "1");
}
void TtiQueryParamBoolean::SetValue(bool v) {
  value_ = v;
  SetIsNull(false);
}
void TtiQueryParamBoolean::AssignToTIQuery(TtiQuery& query) const { query.SetParamAsBoolean(GetName(), value_); }

std::string TtiQueryParamStream::GetValueAsString() const { return stream_.str(); }
void TtiQueryParamStream::SetValueAsString(const std::string& text) {
  tiStringToStream(text, stream_);
  SetIsNull(false);
}
void TtiQueryParamStream::CopyFrom(std::istream& source) {
  SetValueAsString(tiStreamToString(source));
}
void TtiQueryParamStream::AssignToTIQuery(TtiQuery& query) const {
  stream_.clear();
  stream_.seekg(0);
  query.AssignParamFromStream(GetName(), stream_);
}

TtiQueryParamAbs* TtiQueryParams::FindParamByName(const std::string& name) const {
  // Names are mostly looked up in the order they were set, or the same one twice in a row: the search starts
  // at the last one found.
  const int n = Count();
  for (int k = 0; k < n; ++k) {
    const int i = (lastFound_ + k) % n;
    if (SameTextAscii(Items(i)->GetName(), name)) {
      lastFound_ = i;
      return Items(i);
    }
  }
  return nullptr;
}

TtiQueryParamAbs* TtiQueryParams::FindCreateParamByName(const std::string& name, const TtiClass& paramClass) {
  if (TtiQueryParamAbs* p = FindParamByName(name)) return p;
  std::unique_ptr<TtiQueryParamAbs> param = paramClass.CreateAs<TtiQueryParamAbs>();
  param->SetName(name);
  TtiQueryParamAbs* raw = param.get();
  Add(std::move(param));
  return raw;
}

template <class T>
T& TtiQueryParams::FindCreateTyped(const std::string& name) {
  // The parameter found or made is nearly always of the class asked for: no second search, no cast.
  TtiQueryParamAbs* p = FindCreateParamByName(name, T::StaticClass());
  if (&p->Class() == &T::StaticClass()) return static_cast<T&>(*p);
  return ParamAs<T>(name);
}

void TtiQueryParams::SetValueAsString(const std::string& name, const std::string& value) {
  FindCreateTyped<TtiQueryParamString>(name).SetValue(value);
}
void TtiQueryParams::SetValueAsInteger(const std::string& name, int64_t value) {
  FindCreateTyped<TtiQueryParamInteger>(name).SetValue(value);
}
void TtiQueryParams::SetValueAsFloat(const std::string& name, double value) {
  FindCreateTyped<TtiQueryParamFloat>(name).SetValue(value);
}
void TtiQueryParams::SetValueAsDateTime(const std::string& name, TDateTime value) {
  FindCreateTyped<TtiQueryParamDateTime>(name).SetValue(value);
}
void TtiQueryParams::SetValueAsBoolean(const std::string& name, bool value) {
  FindCreateTyped<TtiQueryParamBoolean>(name).SetValue(value);
}
void TtiQueryParams::SetValueAsStream(const std::string& name, std::istream& stream) {
  FindCreateTyped<TtiQueryParamStream>(name).CopyFrom(stream);
}

std::string TtiQueryParams::GetValueAsString(const std::string& name) const {
  return ParamAs<TtiQueryParamAbs>(name).GetValueAsString();
}
int64_t TtiQueryParams::GetValueAsInteger(const std::string& name) const {
  return ParamAs<TtiQueryParamInteger>(name).GetValue();
}
double TtiQueryParams::GetValueAsFloat(const std::string& name) const {
  return ParamAs<TtiQueryParamFloat>(name).GetValue();
}
TDateTime TtiQueryParams::GetValueAsDateTime(const std::string& name) const {
  return ParamAs<TtiQueryParamDateTime>(name).GetValue();
}
bool TtiQueryParams::GetValueAsBoolean(const std::string& name) const {
  return ParamAs<TtiQueryParamBoolean>(name).GetValue();
}
void TtiQueryParams::GetValueAsStream(const std::string& name, std::ostream& stream) const {
  stream << ParamAs<TtiQueryParamStream>(name).GetValueAsString();
}

bool TtiQueryParams::ParamIsNull(const std::string& name) const {
  const TtiQueryParamAbs* p = FindParamByName(name);
  return !p || p->GetIsNull();
}

void TtiQueryParams::SetParamIsNull(const std::string& name, bool value) {
  if (TtiQueryParamAbs* p = FindParamByName(name)) p->SetIsNull(value);
}

void TtiQueryParams::SetValueFromProp(const TtiObject& object, const std::string& propName,
                                      const std::string& paramName) {
  const TtiTypeKind kind = tiGetSimplePropType(object, propName);
  const Value v = object.GetPropValue(propName);
  switch (kind) {
    case skString: SetValueAsString(paramName, v.AsString()); return;
    case skInteger: {
      // An enumeration reads as its identifier text; the store takes its ordinal.
      const TtiPropInfo* row = object.Class().Props().Find(propName);
      if (row && row->Kind() == TtiPropKind::Enumeration) {
        const int ordinal = tiEnumOrdinal(row->EnumNames(), v.AsString());
        if (ordinal < 0)
          throw EConvertError("'" + v.AsString() + "' is not a value of " + object.ClassName() + "." + propName);
        SetValueAsInteger(paramName, ordinal);
        return;
      }
      SetValueAsInteger(paramName, v.AsInteger());
      return;
    }
    case skFloat: SetValueAsFloat(paramName, v.AsFloat()); return;
    case skDateTime: SetValueAsDateTime(paramName, v.AsDateTime().Days); return;
    case skBoolean: SetValueAsBoolean(paramName, v.AsBoolean()); return;
    case skBinary: {
      std::stringstream s(v.AsString());
      SetValueAsStream(paramName, s);
      return;
    }
  }
  throw Exception("Invalid TtiTypeKind");
}

// ---------------------------------------------------------------------------------------------------------
// Metadata

void TtiDBMetaDataField::SetName(const std::string& v) { name_ = Cut255(v); }

void TtiDBMetaDataTable::SetName(const std::string& v) { name_ = Cut255(v); }

TtiDBMetaDataField& TtiDBMetaDataTable::AddField(const std::string& name, TtiQueryFieldKind kind, int width) {
  auto f = std::make_unique<TtiDBMetaDataField>();
  f->SetName(name);
  f->SetKind(kind);
  f->SetWidth(width);
  f->SetObjectState(posClean);
  TtiDBMetaDataField& ref = *f;
  Add(std::move(f));
  return ref;
}

TtiDBMetaDataField* TtiDBMetaDataTable::FindByFieldName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameTextAscii(Items(i)->GetName(), name)) return Items(i);
  return nullptr;
}

namespace {
// Runs `work` on a database leased from `pool`; the lease gives it back also when `work` fails, and keeps the
// pool alive should it be disconnected meanwhile.
void WithPooledDatabase(const std::shared_ptr<TDBConnectionPool>& pool,
                        const std::function<void(TtiDatabase&)>& work) {
  if (!pool) throw EtiPerInternalException("Metadata has no database connection pool (or it was disconnected)");
  const TDBConnectionLease lease = pool->Lease();
  work(lease.Database());
}
}  // namespace

void TtiDBMetaDataTable::Read() {
  if (GetObjectState() != posPK) return;
  auto* md = dynamic_cast<TtiDBMetaData*>(GetOwner());
  WithPooledDatabase(md ? md->Pool() : nullptr, [this](TtiDatabase& db) { db.ReadMetaDataFields(*this); });
}

TtiDBMetaDataTable* TtiDBMetaData::FindByTableName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameTextAscii(Items(i)->GetName(), name)) return Items(i);
  return nullptr;
}

void TtiDBMetaData::SetPool(TDBConnectionPool* pool) {
  pool_ = pool ? pool->weak_from_this() : std::weak_ptr<TDBConnectionPool>();
}

std::shared_ptr<TDBConnectionPool> TtiDBMetaData::Pool() const { return pool_.lock(); }

void TtiDBMetaData::Read() {
  if (GetObjectState() != posEmpty) return;
  WithPooledDatabase(Pool(), [this](TtiDatabase& db) {
    Clear();
    db.ReadMetaDataTables(*this);
  });
}

std::string TtiDBMetaData::GetCaption() const {
  const std::shared_ptr<TDBConnectionPool> pool = Pool();
  return pool ? pool->DatabaseName() : std::string();
}

// ---------------------------------------------------------------------------------------------------------
// Database

void tiSetQueryFactory(TtiQueryFactory factory) {
  std::lock_guard<std::mutex> l(QueryFactoryMutex());
  QueryFactory() = std::move(factory);
}

TtiDatabase::TtiDatabase() = default;
TtiDatabase::~TtiDatabase() = default;

std::string TtiDatabase::ParamValue(const std::string& name, bool* found) const {
  for (const std::string& p : params_) {
    const size_t eq = p.find('=');
    if (eq != std::string::npos && SameTextAscii(TrimBlanks(p.substr(0, eq)), TrimBlanks(name))) {
      if (found) *found = true;
      return p.substr(eq + 1);
    }
  }
  if (found) *found = false;
  return {};
}

void TtiDatabase::Connect(const std::string& dbName, const std::string& userName, const std::string& password,
                          const std::string& params) {
  Log(tiFormat("Attempting to connect to: %s Params: %s", {dbName, MaskParamsText(params)}), lsDBConnection);
  databaseName_ = dbName;
  userName_ = userName;
  password_ = password;
  // A reconnect replaces the parameters instead of piling the new ones onto the old.
  params_.clear();
  const int n = tiNumToken(params, ",");
  for (int i = 1; i <= n; ++i) params_.push_back(tiToken(params, ",", i));
  if (gCommandLineParams().IsParam("VerboseDBConnection"))
    Log("Connected. Database: " + dbName + " UserName: " + userName + " Password: " + Mask(password), lsNormal);
  if (GetConnected()) SetConnected(false);
  SetConnected(true);
  Log(tiFormat("Connect to %s successful.", {dbName}), lsDBConnection);
}

std::unique_ptr<TtiDatabase> TtiDatabase::CreateInstance(const TtiClass& cls) {
  return cls.CreateAs<TtiDatabase>();
}

bool TtiDatabase::TestConnectTo(const TtiClass& cls, const std::string& dbName, const std::string& userName,
                                const std::string& password, const std::string& params) {
  return CreateInstance(cls)->TestConnectTo(dbName, userName, password, params);
}

void TtiDatabase::CreateDatabase(const TtiClass& cls, const std::string& dbName, const std::string& userName,
                                 const std::string& password) {
  CreateInstance(cls)->CreateDatabase(dbName, userName, password);
}

bool TtiDatabase::CanConnect(const TtiClass& cls, const std::string& dbName, const std::string& userName,
                             const std::string& password, const std::string& params) {
  std::unique_ptr<TtiDatabase> db = CreateInstance(cls);
  try {
    db->Connect(dbName, userName, password, params);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::unique_ptr<TtiQuery> TtiDatabase::CreateTIQuery() {
  TtiQueryFactory f;
  {
    std::lock_guard<std::mutex> l(QueryFactoryMutex());
    f = QueryFactory();
  }
  std::unique_ptr<TtiQuery> q = f ? f(Class()) : nullptr;
  if (!q) throw Exception("Unable to find persistence layer for database class <" + std::string(ClassName()) + ">");
  return q;
}

TtiOwnTransaction::TtiOwnTransaction(TtiDatabase& database) : database_(database), owned_(!database.InTransaction()) {
  if (owned_) database_.StartTransaction();
}

TtiOwnTransaction::~TtiOwnTransaction() {
  // Leaving the transaction open would make the next user of a pooled connection fail to start one.
  try {
    if (owned_ && database_.InTransaction()) database_.RollBack();
  } catch (const std::exception& e) {
    LogError(std::string("Rollback after a failed operation failed: ") + e.what());
  } catch (...) {
    LogError("Rollback after a failed operation failed");
  }
}

void TtiOwnTransaction::Commit() {
  if (!owned_) return;
  database_.Commit();
  owned_ = false;
}

void TtiDatabase::RunInOwnTransaction(const std::function<void(TtiQuery&)>& work) {
  std::unique_ptr<TtiQuery> query = CreateTIQuery();
  query->AttachDatabase(this);
  TtiOwnTransaction transaction(*this);
  work(*query);
  transaction.Commit();
  query->DetachDatabase();
}

void TtiDatabase::DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  RunInOwnTransaction([&](TtiQuery& q) { q.DeleteRow(tableName, whereParams); });
}

void TtiDatabase::InsertRow(const std::string& tableName, const TtiQueryParams* params) {
  RunInOwnTransaction([&](TtiQuery& q) { q.InsertRow(tableName, params); });
}

void TtiDatabase::UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                            const TtiQueryParams* whereParams) {
  RunInOwnTransaction([&](TtiQuery& q) { q.UpdateRow(tableName, params, whereParams); });
}

void TtiDatabaseSQL::ExecSQL(const std::string& sql, const TtiQueryParams* params) {
  RunInOwnTransaction([&](TtiQuery& q) {
    q.SetSQLText(sql);
    q.AssignParams(params, nullptr);
    q.ExecSQL();
  });
}

void TtiDatabaseSQL::DropTable(const TtiDBMetaDataTable& table) { ExecSQL("drop table " + table.GetName()); }

void TtiDatabaseSQL::CreateTable(const TtiDBMetaDataTable& table) {
  std::string sql = "create table " + table.GetName() + cCRLF + "(" + cCRLF;
  for (int i = 0; i < table.Count(); ++i) {
    const TtiDBMetaDataField& f = *table.Items(i);
    if (i > 0) sql += std::string(",") + cCRLF;
    sql += f.GetName() + " " + FieldMetaDataToSQLCreate(f);
  }
  sql += std::string(cCRLF) + ")";
  ExecSQL(sql);
}

// ---------------------------------------------------------------------------------------------------------
// Query

TtiQuery::~TtiQuery() = default;

TtiQueryType TtiQuery::QueryType() const { return tiQueryTypeOfSQL(GetSQLText()); }

std::string TtiQuery::GetSQLText() const {
  std::string s;
  const std::vector<std::string> lines = GetSQL();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) s += cCRLF;
    s += lines[i];
  }
  return s;
}

void TtiQuery::SetSQLText(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  SetSQL(lines);
}

void TtiQuery::SetParamAsMacro(const std::string& name, const std::string& value) {
  SetSQLText(tiStrTran(GetSQLText(), "&" + name, value));
}

void TtiQuery::AssignParams(const TtiQueryParams* params, const TtiQueryParams* whereParams) {
  for (const TtiQueryParams* list : {params, whereParams})
    if (list)
      for (int i = 0; i < list->Count(); ++i) list->Items(i)->AssignToTIQuery(*this);
}

void TtiQuery::DetachDatabase() {
  if (GetActive()) SetActive(false);
  database_ = nullptr;
}

std::string TtiQuery::ParamsAsString() {
  std::string s;
  for (int i = 0; i < ParamCount(); ++i) {
    const std::string name = ParamName(i);
    if (i > 0) s += cCRLF;
    s += name + " := " + (GetParamIsNull(name) ? std::string("Null") : tiAbbrevStr(GetParamAsString(name), 120));
  }
  return s;
}

void TtiQuerySQL::SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  SetSQLText(tiSQLSelectRow(tableName, whereParams));
  AssignParams(whereParams, nullptr);
  Open();
}

void TtiQuerySQL::InsertRow(const std::string& tableName, const TtiQueryParams* params) {
  SetSQLText(tiSQLInsertRow(tableName, params));
  AssignParams(params, nullptr);
  ExecSQL();
}

void TtiQuerySQL::DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  SetSQLText(tiSQLDeleteRow(tableName, whereParams));
  AssignParams(whereParams, nullptr);
  ExecSQL();
}

void TtiQuerySQL::UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                            const TtiQueryParams* whereParams) {
  SetSQLText(tiSQLUpdateRow(tableName, params, whereParams));
  AssignParams(params, whereParams);
  ExecSQL();
}

TtiQueryNonSQL::TtiQueryNonSQL() : params_(std::make_unique<TtiQueryParams>()) {}
TtiQueryNonSQL::~TtiQueryNonSQL() = default;

std::string TtiQueryNonSQL::GetParamAsString(const std::string& name) { return params_->GetValueAsString(name); }
void TtiQueryNonSQL::SetParamAsString(const std::string& name, const std::string& value) {
  params_->SetValueAsString(name, value);
}
bool TtiQueryNonSQL::GetParamAsBoolean(const std::string& name) { return params_->GetValueAsBoolean(name); }
void TtiQueryNonSQL::SetParamAsBoolean(const std::string& name, bool value) {
  params_->SetValueAsBoolean(name, value);
}
double TtiQueryNonSQL::GetParamAsFloat(const std::string& name) { return params_->GetValueAsFloat(name); }
void TtiQueryNonSQL::SetParamAsFloat(const std::string& name, double value) { params_->SetValueAsFloat(name, value); }
int64_t TtiQueryNonSQL::GetParamAsInteger(const std::string& name) { return params_->GetValueAsInteger(name); }
void TtiQueryNonSQL::SetParamAsInteger(const std::string& name, int64_t value) {
  params_->SetValueAsInteger(name, value);
}
std::string TtiQueryNonSQL::GetParamAsText(const std::string& name) { return params_->GetValueAsString(name); }
void TtiQueryNonSQL::SetParamAsText(const std::string& name, const std::string& value) {
  params_->FindCreateParamByName(name, TtiQueryParamString::StaticClass())->SetValueAsString(value);
}
TDateTime TtiQueryNonSQL::GetParamAsDateTime(const std::string& name) { return params_->GetValueAsDateTime(name); }
void TtiQueryNonSQL::SetParamAsDateTime(const std::string& name, TDateTime value) {
  params_->SetValueAsDateTime(name, value);
}
void TtiQueryNonSQL::SetParamAsMacro(const std::string&, const std::string&) {}
bool TtiQueryNonSQL::GetParamIsNull(const std::string& name) { return params_->ParamIsNull(name); }
void TtiQueryNonSQL::SetParamIsNull(const std::string& name, bool value) { params_->SetParamIsNull(name, value); }
int TtiQueryNonSQL::ParamCount() { return params_->Count(); }
std::string TtiQueryNonSQL::ParamName(int index) { return params_->Items(index)->GetName(); }
void TtiQueryNonSQL::AssignParamFromStream(const std::string& name, std::istream& stream) {
  params_->SetValueAsStream(name, stream);
}
void TtiQueryNonSQL::AssignParamToStream(const std::string& name, std::ostream& stream) {
  params_->GetValueAsStream(name, stream);
}

std::string TtiQueryNonSQL::ParamsAsString() {
  std::string s;
  for (int i = 0; i < params_->Count(); ++i) {
    if (i > 0) s += cCRLF;
    s += params_->Items(i)->GetName() + " := " + params_->Items(i)->GetValueAsString();
  }
  return s;
}

}  // namespace kelvado
