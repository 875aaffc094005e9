#include "framework/tiQueryTXT.h"

#include <cmath>
#include <ostream>
#include <unordered_set>

#include "framework/tiExcept.h"
#include "framework/tiLibXml.h"
#include "framework/tiValue.h"
#include "framework/tiXMLLight.h"
#include "platform/TextCase.h"

namespace kelvado {

const TtiClass& TtiDatabaseTXTAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabaseTXTAbs, TtiDatabase>(), "TtiDatabaseTXTAbs");
  return c;
}
const TtiClass& TtiQueryTXTAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryTXTAbs, TtiQueryNonSQL>(), "TtiQueryTXTAbs");
  return c;
}
const TtiClass& TtiDBConnectionPoolDataTXTAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBConnectionPoolDataTXTAbs, TtiDBConnectionPoolDataAbs>(),
                          "TtiDBConnectionPoolDataTXTAbs");
  return c;
}

namespace {

// Tables of fewer rows are searched without an index.
constexpr int kIndexFrom = 32;

[[noreturn]] void RefuseValue(const std::string& column, const std::string& table, const std::string& why) {
  throw EtiPerDataException("Can not store the value of <%s> in table <%s>: %s", {column, table, why});
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// TtiDatabaseTXTAbs

TtiDatabaseTXTAbs::TtiDatabaseTXTAbs() : dataSets_(std::make_unique<TtiDataBuffers>()) {}
TtiDatabaseTXTAbs::~TtiDatabaseTXTAbs() = default;

void TtiDatabaseTXTAbs::Invalidate() {
  ++generation_;
  graveyard_.clear();
  indexes_.clear();
}

void TtiDatabaseTXTAbs::ReplaceDataSets(std::unique_ptr<TtiDataBuffers> dataSets) {
  Invalidate();
  dataSets_ = dataSets ? std::move(dataSets) : std::make_unique<TtiDataBuffers>();
  modified_ = false;
}

void TtiDatabaseTXTAbs::ForgetIndexes(const TtiDataBuffer& table, int column) {
  auto it = indexes_.find(&table);
  if (it == indexes_.end()) return;
  if (column < 0) indexes_.erase(it);
  else it->second.ByColumn.erase(column);
}

void TtiDatabaseTXTAbs::ReadMetaDataTables(TtiDBMetaData& metaData) {
  for (int i = 0; i < dataSets_->Count(); ++i) {
    auto table = std::make_unique<TtiDBMetaDataTable>();
    table->SetName(dataSets_->Items(i).GetName());
    table->SetObjectState(posPK);
    metaData.Add(std::move(table));
  }
  metaData.SetObjectState(posClean);
}

void TtiDatabaseTXTAbs::ReadMetaDataFields(TtiDBMetaDataTable& table) {
  const TtiDataBuffer* buffer = dataSets_->FindByName(table.GetName());
  if (!buffer) return;
  const TtiDBMetaDataTable& fields = buffer->Fields();
  for (int i = 0; i < fields.Count(); ++i)
    table.AddField(fields.Items(i)->GetName(), fields.Items(i)->GetKind(), fields.Items(i)->GetWidth());
  table.SetObjectState(posClean);
}

void TtiDatabaseTXTAbs::ExecSQL(const std::string&, const TtiQueryParams*) {
  throw EtiPerProgrammerException("The text stores run no SQL");
}

void TtiDatabaseTXTAbs::CreateTable(const TtiDBMetaDataTable& table) {
  if (dataSets_->FindByName(table.GetName()))
    throw EtiPerProgrammerException("Attempt to create duplicate table name <%s>", {table.GetName()});
  const std::string name = tiExtractFileNameOnly(table.GetName());
  if (!tiXMLLightNameFits(name) || dataSets_->FindByName(name))
    throw EtiPerProgrammerException("Can not create table <%s>: its name can not stand in a document", {name});
  std::unordered_set<std::string> columns;
  for (int i = 0; i < table.Count(); ++i) {
    const std::string& column = table.Items(i)->GetName();
    if (!tiXMLLightNameFits(column))
      throw EtiPerProgrammerException("Can not create table <%s>: the column name <%s> can not stand in a document",
                                      {name, column});
    if (table.Items(i)->GetKind() == qfkMacro)
      throw EtiPerProgrammerException("Can not create table <%s>: the column <%s> is of kind macro", {name, column});
    if (!columns.insert(LowerAscii(column)).second)
      throw EtiPerProgrammerException("Can not create table <%s>: two columns named <%s>", {name, column});
  }
  TtiDataBuffer& buffer = dataSets_->AddInstance(name);
  for (int i = 0; i < table.Count(); ++i)
    buffer.Fields().AddField(table.Items(i)->GetName(), table.Items(i)->GetKind(), table.Items(i)->GetWidth());
  modified_ = true;
  if (!inTransaction_) SaveOutsideTransaction();
}

void TtiDatabaseTXTAbs::DropTable(const TtiDBMetaDataTable& table) {
  TtiDataBuffer* buffer = dataSets_->FindByName(table.GetName());
  if (!buffer)
    throw EtiPerProgrammerException("Attemtp to delete table that does not exist <%s>", {table.GetName()});
  // Rows selected from it, and those deleted from it before, go with it.
  Invalidate();
  dataSets_->Remove(buffer);
  modified_ = true;
  if (!inTransaction_) SaveOutsideTransaction();
}

TtiDataBuffer& TtiDatabaseTXTAbs::Table(const std::string& name) const {
  TtiDataBuffer* buffer = dataSets_->FindByName(name);
  if (!buffer) throw EtiPerProgrammerException("Unable to find table <%s>", {name});
  return *buffer;
}

std::vector<TtiDataBufferRow*> TtiDatabaseTXTAbs::Select(TtiDataBuffer& table,
                                                          const std::vector<std::pair<int, std::string>>& criteria) {
  const auto matches = [&](const TtiDataBufferRow& row, size_t from) {
    for (size_t i = from; i < criteria.size(); ++i)
      if (row.Items(criteria[i].first).GetValueAsString() != criteria[i].second) return false;
    return true;
  };
  std::vector<TtiDataBufferRow*> rows;
  if (criteria.empty() || table.Count() < kIndexFrom) {
    for (int i = 0; i < table.Count(); ++i)
      if (matches(table.Items(i), 0)) rows.push_back(&table.Items(i));
    return rows;
  }
  const int column = criteria[0].first;
  auto& byColumn = indexes_[&table].ByColumn;
  auto it = byColumn.find(column);
  if (it == byColumn.end()) {
    TRowIndex index;
    for (int i = 0; i < table.Count(); ++i)
      index[table.Items(i).Items(column).GetValueAsString()].push_back(&table.Items(i));
    it = byColumn.emplace(column, std::move(index)).first;
  }
  const auto bucket = it->second.find(criteria[0].second);
  if (bucket == it->second.end()) return rows;
  for (TtiDataBufferRow* row : bucket->second)
    if (matches(*row, 1)) rows.push_back(row);
  return rows;
}

void TtiDatabaseTXTAbs::Insert(TtiDataBuffer& table, const std::vector<std::pair<int, std::string>>& values) {
  TtiDataBufferRow& row = table.AddInstance();
  for (const auto& [column, text] : values) row.Items(column).SetValueAsString(text);
  // A new row comes last, so the indexes stay in table order by appending it.
  auto it = indexes_.find(&table);
  if (it != indexes_.end())
    for (auto& [column, index] : it->second.ByColumn) index[row.Items(column).GetValueAsString()].push_back(&row);
  modified_ = true;
}

bool TtiDatabaseTXTAbs::Update(TtiDataBuffer& table, const std::vector<TtiDataBufferRow*>& rows,
                               const std::vector<std::pair<int, std::string>>& values) {
  bool changed = false;
  for (TtiDataBufferRow* row : rows)
    for (const auto& [column, text] : values) {
      TtiDataBufferCell& cell = row->Items(column);
      if (cell.GetValueAsString() == text) continue;
      cell.SetValueAsString(text);
      ForgetIndexes(table, column);
      changed = true;
    }
  if (changed) modified_ = true;
  return changed;
}

void TtiDatabaseTXTAbs::Delete(TtiDataBuffer& table, const std::vector<TtiDataBufferRow*>& rows) {
  if (rows.empty()) return;
  ForgetIndexes(table);
  for (auto& row : table.ExtractRows(rows)) graveyard_.push_back(std::move(row));
  modified_ = true;
}

// ---------------------------------------------------------------------------------------------------------
// TtiQueryTXTAbs

TtiQueryTXTAbs::TtiQueryTXTAbs(TtiXMLCharKind charKind) : charKind_(charKind) {}
TtiQueryTXTAbs::~TtiQueryTXTAbs() = default;

namespace {

const TtiXMLReservedCharsTranslator& Translator() {
  static const TtiXMLReservedCharsTranslator translator;
  return translator;
}

// The text a parameter is kept as in a cell (and compared as, when it is a criterion).
std::string StoredText(const TtiQueryParamAbs& p, const std::string& table, TtiXMLCharKind kind) {
  if (p.GetIsNull()) return {};
  try {
    if (auto* f = dynamic_cast<const TtiQueryParamFloat*>(&p)) {
      if (std::isnan(f->GetValue())) RefuseValue(p.GetName(), table, "NaN is not a number");
      return Value::FloatToText(f->GetValue());
    }
    if (auto* d = dynamic_cast<const TtiQueryParamDateTime*>(&p)) return tiDateTimeAsXMLString(d->GetValue());
    if (auto* b = dynamic_cast<const TtiQueryParamBoolean*>(&p)) return b->GetValue() ? "TRUE" : "FALSE";
    if (dynamic_cast<const TtiQueryParamStream*>(&p)) return MimeEncodeString(p.GetValueAsString());
    if (dynamic_cast<const TtiQueryParamInteger*>(&p)) return p.GetValueAsString();
  } catch (const EConvertError& e) {
    RefuseValue(p.GetName(), table, e.Message());
  }
  const std::string raw = p.GetValueAsString();
  const size_t bad = tiXMLInvalidCharPos(raw);
  if (bad != std::string_view::npos)
    RefuseValue(p.GetName(), table, tiXMLDescribeCharAt(raw, bad) + " can not be stored in a document");
  return Translator().InsertReservedChars(kind, raw);
}

}  // namespace

void TtiQueryTXTAbs::AttachDatabase(TtiDatabase* database) {
  auto* db = dynamic_cast<TtiDatabaseTXTAbs*>(database);
  if (database && !db)
    throw EtiPerProgrammerException("%s can not work on a database of class <%s>", {ClassName(), database->ClassName()});
  SetActive(false);
  TtiQueryNonSQL::AttachDatabase(database);
  db_ = db;
  table_ = nullptr;
}

TtiDatabaseTXTAbs& TtiQueryTXTAbs::Db() const {
  if (!db_ || Database() != db_) throw EtiPerProgrammerException("%s used without a database attached", {ClassName()});
  return *db_;
}

void TtiQueryTXTAbs::SetActive(bool value) {
  if (!value) {
    std::vector<TtiDataBufferRow*>().swap(rows_);
    index_ = 0;
  }
  active_ = value;
}

bool TtiQueryTXTAbs::Eof() { return index_ >= rows_.size(); }

void TtiQueryTXTAbs::Next() {
  if (index_ < rows_.size()) ++index_;
}

void TtiQueryTXTAbs::Reset() {
  SetActive(false);
  sql_.clear();
  Params().Clear();
  table_ = nullptr;
}

std::vector<std::pair<int, std::string>> TtiQueryTXTAbs::Texts(const TtiDataBuffer& table,
                                                                const TtiQueryParams* params) const {
  std::vector<std::pair<int, std::string>> texts;
  for (int i = 0; params && i < params->Count(); ++i) {
    const TtiQueryParamAbs& p = *params->Items(i);
    const TtiDBMetaDataField* field = table.Fields().FindByFieldName(p.GetName());
    if (!field) throw EtiPerProgrammerException("Invalid field name <%s>", {p.GetName()});
    texts.emplace_back(table.Fields().IndexOf(field), StoredText(p, table.GetName(), charKind_));
  }
  return texts;
}

std::vector<TtiDataBufferRow*> TtiQueryTXTAbs::Matching(TtiDataBuffer& table, const TtiQueryParams* whereParams) {
  return Db().Select(table, Texts(table, whereParams));
}

void TtiQueryTXTAbs::SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  SetActive(false);
  table_ = nullptr;
  TtiDataBuffer& table = Db().Table(tableName);
  rows_ = Matching(table, whereParams);
  table_ = &table;
  tableName_ = table.GetName();
  generation_ = Db().Generation();
  index_ = 0;
  active_ = true;
}

void TtiQueryTXTAbs::InsertRow(const std::string& tableName, const TtiQueryParams* params) {
  TtiDataBuffer& table = Db().Table(tableName);
  Db().Insert(table, Texts(table, params));
}

void TtiQueryTXTAbs::UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                               const TtiQueryParams* whereParams) {
  TtiDataBuffer& table = Db().Table(tableName);
  const auto values = Texts(table, params);
  Db().Update(table, Matching(table, whereParams), values);
}

void TtiQueryTXTAbs::DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  TtiDataBuffer& table = Db().Table(tableName);
  Db().Delete(table, Matching(table, whereParams));
}

TtiDataBuffer& TtiQueryTXTAbs::SelectedTable(bool forFields) const {
  if (!table_ || (!forFields && index_ >= rows_.size()))
    throw EtiPerProgrammerException("No rows currently selected so can't perform this operation");
  // The tables were read again, or this one dropped: what was selected is gone.
  if (!db_ || db_->Generation() != generation_)
    throw EtiPerProgrammerException("The selected rows of table <%s> are no longer valid: the tables were read "
                                    "again or the table was dropped",
                                    {tableName_});
  return *table_;
}

int TtiQueryTXTAbs::ColumnOf(const std::string& name) const {
  const TtiDataBuffer& table = SelectedTable(false);
  const TtiDBMetaDataField* field = table.Fields().FindByFieldName(name);
  if (!field) throw EtiPerProgrammerException("Invalid field name <%s>", {name});
  return table.Fields().IndexOf(field);
}

void TtiQueryTXTAbs::CheckIndex(int index) const {
  const TtiDataBuffer& table = SelectedTable(false);
  if (index < 0 || index >= table.Fields().Count())
    throw EtiPerProgrammerException("Invalid field index <%d>", {index});
}

const std::string& TtiQueryTXTAbs::Raw(int column) const {
  SelectedTable(false);
  return rows_[index_]->Items(column).GetValueAsString();
}

std::string TtiQueryTXTAbs::Text(int column) const {
  return Translator().RemoveReservedChars(charKind_, Raw(column));
}

void TtiQueryTXTAbs::ValueError(int column, const std::string& text, const std::string& why) const {
  throw EtiPerDataException("Error reading field <%s> of table <%s>: <%s> %s",
                            {table_->Fields().Items(column)->GetName(), table_->GetName(), text, why});
}

double TtiQueryTXTAbs::AsFloat(int column) const {
  const std::string text = Text(column);
  if (text.empty()) return 0.0;
  try {
    return tiXMLStrToFloat(text);
  } catch (const EConvertError&) {
    ValueError(column, text, "is no number");
  }
}

int64_t TtiQueryTXTAbs::AsInteger(int column) const {
  const std::string text = Text(column);
  if (text.empty()) return 0;
  try {
    return Value::TextToInteger(text);
  } catch (const EConvertError&) {
    ValueError(column, text, "is no integer");
  }
}

TDateTime TtiQueryTXTAbs::AsDateTime(int column) const {
  const std::string text = Text(column);
  try {
    return tiXMLCellTextToDateTime(text);
  } catch (const Exception&) {
    ValueError(column, text, "is no date");
  }
}

std::string TtiQueryTXTAbs::FieldAsString(const std::string& name) { return Text(ColumnOf(name)); }
double TtiQueryTXTAbs::FieldAsFloat(const std::string& name) { return AsFloat(ColumnOf(name)); }
bool TtiQueryTXTAbs::FieldAsBoolean(const std::string& name) { return tiStrToBool(Text(ColumnOf(name))); }
int64_t TtiQueryTXTAbs::FieldAsInteger(const std::string& name) { return AsInteger(ColumnOf(name)); }
TDateTime TtiQueryTXTAbs::FieldAsDateTime(const std::string& name) { return AsDateTime(ColumnOf(name)); }
bool TtiQueryTXTAbs::FieldIsNull(const std::string& name) { return Raw(ColumnOf(name)).empty(); }

std::string TtiQueryTXTAbs::FieldAsStringByIndex(int index) {
  CheckIndex(index);
  return Text(index);
}
double TtiQueryTXTAbs::FieldAsFloatByIndex(int index) {
  CheckIndex(index);
  return AsFloat(index);
}
bool TtiQueryTXTAbs::FieldAsBooleanByIndex(int index) {
  CheckIndex(index);
  return tiStrToBool(Text(index));
}
int64_t TtiQueryTXTAbs::FieldAsIntegerByIndex(int index) {
  CheckIndex(index);
  return AsInteger(index);
}
TDateTime TtiQueryTXTAbs::FieldAsDateTimeByIndex(int index) {
  CheckIndex(index);
  return AsDateTime(index);
}
bool TtiQueryTXTAbs::FieldIsNullByIndex(int index) {
  CheckIndex(index);
  return Raw(index).empty();
}

int TtiQueryTXTAbs::FieldCount() { return table_ ? SelectedTable(true).Fields().Count() : 0; }

std::string TtiQueryTXTAbs::FieldName(int index) {
  const TtiDataBuffer& table = SelectedTable(true);
  if (index < 0 || index >= table.Fields().Count()) throw EtiPerProgrammerException("Invalid field index <%d>", {index});
  return table.Fields().Items(index)->GetName();
}

int TtiQueryTXTAbs::FieldIndex(const std::string& name) {
  if (!table_) return -1;
  const TtiDataBuffer& table = SelectedTable(true);
  const TtiDBMetaDataField* field = table.Fields().FindByFieldName(name);
  return field ? table.Fields().IndexOf(field) : -1;
}

TtiQueryFieldKind TtiQueryTXTAbs::FieldKind(int index) {
  const TtiDataBuffer& table = SelectedTable(true);
  if (index < 0 || index >= table.Fields().Count()) throw EtiPerProgrammerException("Invalid field index <%d>", {index});
  return table.Fields().Items(index)->GetKind();
}

int TtiQueryTXTAbs::FieldSize(int index) {
  const TtiDataBuffer& table = SelectedTable(true);
  if (index < 0 || index >= table.Fields().Count()) throw EtiPerProgrammerException("Invalid field index <%d>", {index});
  return table.Fields().Items(index)->GetWidth();
}

void TtiQueryTXTAbs::AssignFieldAsStream(const std::string& name, std::ostream& stream) {
  stream << MimeDecodeString(Raw(ColumnOf(name)));
}

void TtiQueryTXTAbs::AssignFieldAsStreamByIndex(int index, std::ostream& stream) {
  CheckIndex(index);
  stream << MimeDecodeString(Raw(index));
}

// ---------------------------------------------------------------------------------------------------------
// Pool data

void TtiDBConnectionPoolDataTXTAbs::InitDBConnectionPool() {
  if (TDBConnectionPool* pool = DBConnectionPool()) {
    pool->SetMinPoolSize(0);
    pool->SetMaxPoolSize(1);
  }
}

}  // namespace kelvado
