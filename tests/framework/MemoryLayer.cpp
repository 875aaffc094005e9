#include "tests/framework/MemoryLayer.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "framework/tiExcept.h"
#include "framework/tiPerManager.h"
#include "framework/tiPool.h"

namespace kelvado::test {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::map<std::string, TMemStore>& Stores() {
  static std::map<std::string, TMemStore> stores;
  return stores;
}

int gMaxPoolSize = 9999;

// The value a parameter carries, null when it is null.
Value ParamValue(const TtiQueryParamAbs& p) {
  if (p.GetIsNull()) return Value();
  if (auto* i = dynamic_cast<const TtiQueryParamInteger*>(&p)) return Value(static_cast<long long>(i->GetValue()));
  if (auto* f = dynamic_cast<const TtiQueryParamFloat*>(&p)) return Value(f->GetValue());
  if (auto* d = dynamic_cast<const TtiQueryParamDateTime*>(&p)) return Value(d->GetValue());
  if (auto* b = dynamic_cast<const TtiQueryParamBoolean*>(&p)) return Value(b->GetValue());
  return Value(p.GetValueAsString());
}

bool SameValue(const Value& cell, const Value& wanted) {
  if (cell.IsNull() || wanted.IsNull()) return cell.IsNull() && wanted.IsNull();
  if (cell.GetKind() == wanted.GetKind()) return cell == wanted;
  return cell.AsString() == wanted.AsString();
}

std::string Pairs(const TtiQueryParams* params) {
  std::string s;
  if (!params) return s;
  for (int i = 0; i < params->Count(); ++i) {
    const TtiQueryParamAbs& p = *params->Items(i);
    if (!s.empty()) s += ",";
    s += p.GetName() + "=" + (p.GetIsNull() ? std::string("null") : p.GetValueAsString());
  }
  return s;
}

bool Matches(const TMemRow& row, const TtiQueryParams* where) {
  if (!where) return true;
  for (int i = 0; i < where->Count(); ++i) {
    const TtiQueryParamAbs& p = *where->Items(i);
    auto it = row.find(Upper(p.GetName()));
    const Value cell = it == row.end() ? Value() : it->second;
    if (!SameValue(cell, ParamValue(p))) return false;
  }
  return true;
}

// Applies the parameters to a row; a column the table does not have is refused, as a real store would.
void SetCells(TMemTable& table, TMemRow& row, const TtiQueryParams* params) {
  if (!params) return;
  for (int i = 0; i < params->Count(); ++i) {
    const TtiQueryParamAbs& p = *params->Items(i);
    const std::string col = Upper(p.GetName());
    if (std::none_of(table.Columns.begin(), table.Columns.end(),
                     [&](const std::string& c) { return Upper(c) == col; }))
      throw EtiPerDBException(cMemoryLayerName, "", "", "",
                              "Table <" + table.Name + "> has no column <" + p.GetName() + ">");
    row[col] = ParamValue(p);
  }
}

class TMemPoolData : public TtiDBConnectionPoolDataAbs {
public:
  TI_CLASS(TMemPoolData)
  TMemPoolData() = default;
  void InitDBConnectionPool() override {
    if (DBConnectionPool()) DBConnectionPool()->SetMaxPoolSize(gMaxPoolSize);
  }
};

const TtiClass& TMemPoolData::StaticClass() {
  static const TtiClass c(TtiClass::Of<TMemPoolData, TtiDBConnectionPoolDataAbs>(), "TMemPoolData");
  return c;
}

}  // namespace

int TMemJournal::Count(const std::string& event) const {
  return static_cast<int>(std::count(Events.begin(), Events.end(), event));
}

TMemStore& MemStore(const std::string& dbName) { return Stores()[Upper(dbName)]; }
bool MemStoreExists(const std::string& dbName) { return Stores().count(Upper(dbName)) > 0; }
void MemStoresClear() { Stores().clear(); }

void RegisterMemoryLayer(int maxPoolSize) {
  gMaxPoolSize = maxPoolSize;
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(cMemoryLayerName, &TMemPoolData::StaticClass(),
                                                             TMemQuery::StaticClass(), TMemDatabase::StaticClass());
}

// ---- TMemDatabase ----

const TtiClass& TMemDatabase::StaticClass() {
  static const TtiClass c(TtiClass::Of<TMemDatabase, TtiDatabase>(), "TMemDatabase");
  return c;
}

TMemDatabase::~TMemDatabase() {
  if (connected_ && MemStoreExists(DatabaseName())) Store().Journal.Events.push_back("disconnect");
}

void TMemDatabase::Fail(const std::string& message) {
  throw EtiPerDBException(cMemoryLayerName, DatabaseName(), UserName(), Password(), message);
}

TMemStore& TMemDatabase::Store() { return MemStore(DatabaseName()); }

void TMemDatabase::SetConnected(bool value) {
  if (value == connected_) return;
  if (value) {
    if (!MemStoreExists(DatabaseName()))
      throw EtiPerDBExceptionCanNotConnect(cMemoryLayerName, DatabaseName(), UserName(), Password(),
                                           "No such memory store");
    if (Store().Fail.Connect) Fail("Connect refused");
    ++Store().Journal.Connects;
    Store().Journal.Events.push_back("connect");
  } else {
    working_.reset();
    Store().Journal.Events.push_back("disconnect");
  }
  connected_ = value;
}

bool TMemDatabase::TestConnectTo(const std::string& dbName, const std::string&, const std::string&,
                                 const std::string&) {
  return MemStoreExists(dbName);
}

void TMemDatabase::CreateDatabase(const std::string& dbName, const std::string&, const std::string&) {
  if (MemStoreExists(dbName))
    throw EtiPerDBException(cMemoryLayerName, dbName, "", "", "Memory store exists already");
  MemStore(dbName);
}

void TMemDatabase::StartTransaction() {
  if (!connected_) Fail("Not connected");
  if (working_) Fail("A transaction is open already");
  if (Store().Fail.StartTransaction) Fail("Start of transaction refused");
  working_ = Store().Tables;
  ++Store().Journal.Starts;
  Store().Journal.Events.push_back("start");
}

void TMemDatabase::Commit() {
  if (!working_) Fail("Commit without a transaction");
  if (Store().Fail.Commit) Fail("Commit refused");  // the transaction stays open, as in a real store
  if (Store().OnCommit) Store().OnCommit();
  Store().Tables = std::move(*working_);
  working_.reset();
  ++Store().Journal.Commits;
  Store().Journal.Events.push_back("commit");
}

void TMemDatabase::RollBack() {
  if (!working_) Fail("Rollback without a transaction");
  ++Store().Journal.RollBacks;
  Store().Journal.Events.push_back("rollback");
  if (Store().Fail.RollBack) Fail("Rollback refused");
  working_.reset();
}

TMemTables& TMemDatabase::Tables() { return working_ ? *working_ : Store().Tables; }

TMemTables& TMemDatabase::TablesForChange(const std::string& what) {
  if (!working_) Fail(what + " outside a transaction");
  return *working_;
}

void TMemDatabase::Record(const std::string& description) {
  Store().Journal.Events.push_back(description);
  const std::string& bad = Store().Fail.StatementContaining;
  if (!bad.empty() && description.find(bad) != std::string::npos) Fail("Statement refused: " + description);
}

void TMemDatabase::ReadMetaDataTables(TtiDBMetaData& metaData) {
  for (auto& [key, table] : Tables()) {
    auto t = std::make_unique<TtiDBMetaDataTable>();
    t->SetName(table.Name);
    t->SetObjectState(posPK);
    metaData.Add(std::move(t));
  }
}

void TMemDatabase::ReadMetaDataFields(TtiDBMetaDataTable& table) {
  auto it = Tables().find(Upper(table.GetName()));
  if (it == Tables().end()) return;
  const TMemTable& t = it->second;
  for (size_t i = 0; i < t.Columns.size(); ++i) table.AddField(t.Columns[i], t.KindOf(i), t.WidthOf(i));
  table.SetObjectState(posClean);
}

void TMemDatabase::ExecSQL(const std::string& sql, const TtiQueryParams* params) {
  const std::string text = params && params->Count() ? sql + " [" + Pairs(params) + "]" : sql;
  Store().Journal.Statements.push_back(text);
  Record("exec " + text);
}

void TMemDatabase::DropTable(const TtiDBMetaDataTable& table) {
  Record("drop table " + table.GetName());
  TMemTables& tables = working_ ? *working_ : Store().Tables;
  tables.erase(Upper(table.GetName()));
}

void TMemDatabase::CreateTable(const TtiDBMetaDataTable& table) {
  Record("create table " + table.GetName());
  // Table changes are not transactional here, as DDL in the real stores is committed on its own.
  TMemTables& tables = working_ ? *working_ : Store().Tables;
  if (tables.count(Upper(table.GetName()))) Fail("Table <" + table.GetName() + "> exists already");
  TMemTable t;
  t.Name = table.GetName();
  for (int i = 0; i < table.Count(); ++i) {
    t.Columns.push_back(table.Items(i)->GetName());
    t.Kinds.push_back(table.Items(i)->GetKind());
    t.Widths.push_back(table.Items(i)->GetWidth());
  }
  tables[Upper(t.Name)] = std::move(t);
}

// ---- TMemQuery ----

const TtiClass& TMemQuery::StaticClass() {
  static const TtiClass c(TtiClass::Of<TMemQuery, TtiQueryNonSQL>(), "TMemQuery");
  return c;
}

TMemDatabase& TMemQuery::Db() const {
  auto* db = dynamic_cast<TMemDatabase*>(Database());
  if (!db) throw EtiPerProgrammerException("TMemQuery used without a memory database attached");
  return *db;
}

TMemTable& TMemQuery::Table(TMemTables& tables, const std::string& tableName) const {
  auto it = tables.find(Upper(tableName));
  if (it == tables.end())
    throw EtiPerDBException(cMemoryLayerName, Db().DatabaseName(), "", "", "No table <" + tableName + ">");
  return it->second;
}

void TMemQuery::SetActive(bool value) {
  active_ = value;
  if (!value) {
    rows_.clear();
    columns_.clear();
    shape_ = TMemTable();
    index_ = 0;
  }
}

void TMemQuery::Select(const std::string& tableName, const TtiQueryParams* whereParams) {
  Db().Record("select " + tableName + (whereParams && whereParams->Count() ? " where " + Pairs(whereParams) : ""));
  TMemTable& t = Table(Db().Tables(), tableName);
  SetActive(false);
  columns_ = t.Columns;
  shape_.Name = t.Name;
  shape_.Columns = t.Columns;
  shape_.Kinds = t.Kinds;
  shape_.Widths = t.Widths;
  for (const TMemRow& r : t.Rows)
    if (Matches(r, whereParams)) rows_.push_back(r);
  index_ = 0;
  active_ = true;
}

void TMemQuery::Open() {
  // "select * from <table>": the query's parameters are the criteria.
  std::string text = GetSQLText();
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  const std::string upper = Upper(text);
  const size_t from = upper.find(" FROM ");
  if (upper.rfind("SELECT", 0) != 0 || from == std::string::npos)
    throw EtiPerDBException(cMemoryLayerName, Db().DatabaseName(), "", "", "Unsupported statement: " + text);
  std::string rest = text.substr(from + 6);
  rest.erase(0, rest.find_first_not_of(' '));
  const std::string table = rest.substr(0, rest.find(' '));
  Select(table, &Params());
}

void TMemQuery::ExecSQL() {
  const std::string text = Params().Count() ? GetSQLText() + " [" + Pairs(&Params()) + "]" : GetSQLText();
  Db().Store().Journal.Statements.push_back(text);
  Db().TablesForChange("Statement");
  Db().Record("exec " + text);
}

void TMemQuery::SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  Select(tableName, whereParams);
}

void TMemQuery::InsertRow(const std::string& tableName, const TtiQueryParams* params) {
  TMemTables& tables = Db().TablesForChange("Insert");
  Db().Record("insert into " + tableName + " (" + Pairs(params) + ")");
  TMemTable& t = Table(tables, tableName);
  TMemRow row;
  SetCells(t, row, params);
  // The OID column is the key of every table of the system.
  auto oid = row.find("OID");
  if (oid != row.end())
    for (const TMemRow& r : t.Rows) {
      auto o = r.find("OID");
      if (o != r.end() && SameValue(o->second, oid->second))
        throw EtiPerDBException(cMemoryLayerName, Db().DatabaseName(), "", "",
                                "Duplicate OID <" + oid->second.AsString() + "> in table <" + tableName + ">");
    }
  t.Rows.push_back(std::move(row));
}

void TMemQuery::DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  TMemTables& tables = Db().TablesForChange("Delete");
  Db().Record("delete from " + tableName + " where " + Pairs(whereParams));
  TMemTable& t = Table(tables, tableName);
  std::erase_if(t.Rows, [&](const TMemRow& r) { return Matches(r, whereParams); });
}

void TMemQuery::UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                          const TtiQueryParams* whereParams) {
  TMemTables& tables = Db().TablesForChange("Update");
  Db().Record("update " + tableName + " set " + Pairs(params) + " where " + Pairs(whereParams));
  TMemTable& t = Table(tables, tableName);
  for (TMemRow& r : t.Rows)
    if (Matches(r, whereParams)) SetCells(t, r, params);
}

std::string TMemQuery::FieldName(int index) { return columns_.at(static_cast<size_t>(index)); }

int TMemQuery::FieldIndex(const std::string& name) {
  for (size_t i = 0; i < columns_.size(); ++i)
    if (Upper(columns_[i]) == Upper(name)) return static_cast<int>(i);
  return -1;
}

TtiQueryFieldKind TMemQuery::FieldKind(int index) {
  (void)FieldName(index);
  return shape_.KindOf(static_cast<size_t>(index));
}

int TMemQuery::FieldSize(int index) {
  (void)FieldName(index);
  return shape_.WidthOf(static_cast<size_t>(index));
}

const Value& TMemQuery::Field(const std::string& name) {
  static const Value null;
  if (FieldIndex(name) < 0)
    throw EtiPerDBException(cMemoryLayerName, Db().DatabaseName(), "", "", "No field <" + name + ">");
  if (Eof()) throw EtiPerDBException(cMemoryLayerName, Db().DatabaseName(), "", "", "No current row");
  auto it = rows_[index_].find(Upper(name));
  return it == rows_[index_].end() ? null : it->second;
}

const Value& TMemQuery::FieldByIndex(int index) { return Field(FieldName(index)); }

void TMemQuery::AssignFieldAsStream(const std::string& name, std::ostream& stream) {
  stream << Field(name).AsString();
}

void TMemQuery::AssignFieldAsStreamByIndex(int index, std::ostream& stream) {
  stream << FieldByIndex(index).AsString();
}

void TMemQuery::Reset() {
  SetActive(false);
  sql_.clear();
  Params().Clear();
}

}  // namespace kelvado::test
