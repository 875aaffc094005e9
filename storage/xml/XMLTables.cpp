#include "storage/xml/XMLTables.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "framework/tiPerManager.h"
#include "framework/tiQueryXML.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/Exceptions.h"
#include "model/MetaData.h"
#include "platform/TextCase.h"
#include "storage/db/GlobalsPer.h"

namespace kelvado {

namespace {

// The named widths of the columns.
constexpr int wOID = 36;      // identifiers and references
constexpr int wName = 1024;   // names, authors, manufacturers, part numbers, standards, headings, numbers
constexpr int wNorm = 1024;   // edition of the standard
constexpr int wPath = 2048;   // documents, file names, folders
constexpr int wText = 8192;   // descriptions, documentation and other long texts
constexpr int wVersion = 128; // program release
constexpr int wDC = 8;
constexpr int wCCF = 8;
constexpr int wMTTFd = 10;
constexpr int wDet = 11;
constexpr int wB10d = 12;
constexpr int wPFH = 12;
constexpr int wTech = 18;
constexpr int wNop = 32;
constexpr int wPL = 3;
constexpr int wCat = 4;
constexpr int wFlag36 = 36;  // the two test-channel flags declare the width of an identifier

constexpr TXMLColumn I(std::string_view n, int w = 0) { return {n, qfkInteger, w}; }
constexpr TXMLColumn S(std::string_view n, int w) { return {n, qfkString, w}; }
constexpr TXMLColumn F(std::string_view n) { return {n, qfkFloat, 0}; }
constexpr TXMLColumn DT(std::string_view n) { return {n, qfkDateTime, 0}; }

// Every class table starts with the protection flag and the two stamps.
std::vector<TXMLColumn> Stamped(std::initializer_list<TXMLColumn> rest) {
  std::vector<TXMLColumn> c{I("IsProtected"), S("NormVersion", wNorm), S("KVDVersion", wVersion)};
  c.insert(c.end(), rest);
  return c;
}


template <class C>
std::string Tbl() {
  return TableNameForClass<C>();
}

template <class T>
TXMLTableDef Def(std::vector<TXMLColumn> columns) {
  return {Tbl<T>(), std::move(columns)};
}

std::vector<TXMLTableDef> BuildDefs() {
  std::vector<TXMLTableDef> d;
  d.push_back(Def<TMetaData>({I("IsProtected"), DT("DateTime"), S("Info", wText), S("Owner", wName),
                              S("NormVersion", wNorm), S("OID", wOID), S("KVDVersion", wVersion)}));
  d.push_back(Def<TProject>(Stamped({S("OID", wOID), S("Author", wName), S("Document", wPath),
                                     S("Documentation", wText), S("FileName", wPath), S("MachineName", wName),
                                     S("Name", wName), S("StandardsFolder", wPath), S("DocumentsFolder", wPath)})));
  d.push_back(Def<TProjectOp>(Stamped({S("OID", wOID), S("Project", wOID)})));
  d.push_back(Def<TSF>(Stamped({S("Name", wName), S("OID", wOID), S("Document", wPath), S("Documentation", wText),
                                S("PLr", wPL), S("PLrDet", wDet), S("PLrDocumentation", wText),
                                S("PLrStandard", wText), S("PLrStandardFile", wPath), S("Reaction", 0),
                                I("RiskParamF"), I("RiskParamP"), I("RiskParamS"), S("SafeState", wText),
                                S("SFType", wName), S("TriggerEvent", wText), S("PLcal", wPL), S("PFHcal", wPFH)})));
  d.push_back(Def<TSFOp>(Stamped({S("OID", wOID), S("ProjectOp", wOID), S("SF", wOID)})));
  d.push_back(Def<TComponent>(Stamped(
      {S("Cat", wCat), S("CatDocumentation", wText), S("CatStandard", wName), S("CatStandardFile", wPath),
       S("CCFScore", wCCF), S("CCFScoreDet", wDet), S("DCavg", wDC), S("DCavgDet", wDet),
       S("DCavgDocumentation", wText), S("Description", wText), S("Document", wPath), S("Documentation", wText),
       S("Manufacturer", wName), F("MissionTime"), S("MTTFd", wMTTFd), S("MTTFdDet", wDet), S("Name", wName),
       S("OID", wOID), S("PartNo", wName), S("PLDirectNoBind", wPL), S("PLDirectBindCal", wPL),
       S("PLSubItemsCal", wPL), I("IsPLPFHBind"), S("PFH", wPFH), S("PFHSubItemsCal", wPFH), S("PLDet", wDet),
       S("PLDocumentation", wText), I("UseWorstCaseMTTFd"), I("CatConditionsRelevant")})));
  d.push_back(Def<TComponentOp>(Stamped({S("Component", wOID), S("SFOp", wOID), S("OID", wOID)})));
  d.push_back(Def<TChannel>(Stamped({I("IsTestChannel", wFlag36), S("OID", wOID)})));
  d.push_back(Def<TChannelOp>(Stamped({S("Channel", wOID), S("ComponentOp", wOID), I("IsTestChannelOp", wFlag36),
                                       S("OID", wOID), S("TestChannelOp", wOID)})));
  d.push_back(Def<TBloc>(Stamped({S("DC", wDC), S("DCDet", wDet), S("DCDocumentation", wText),
                                  S("DCMeasureOp", wOID), S("Description", wText), S("Document", wPath),
                                  S("Documentation", wText), S("Manufacturer", wName), F("MissionTime"),
                                  S("MTTFd", wMTTFd), S("MTTFdDet", wDet), S("Name", wName), S("OID", wOID),
                                  S("PartNo", wName)})));
  d.push_back(Def<TBlocOp>(Stamped({S("Bloc", wOID), S("ChannelOp", wOID), S("OID", wOID)})));
  d.push_back(Def<TElement>(Stamped({S("B10d", wB10d), S("DC", wDC), S("DCDet", wDet), S("DCDocumentation", wText),
                                     S("DCMeasureOp", wOID), S("Description", wText), S("Document", wPath),
                                     S("Documentation", wText), S("Manufacturer", wName), F("MissionTime"),
                                     S("MTTFd", wMTTFd), S("Name", wName), S("OID", wOID), S("PartNo", wName),
                                     S("Technology", wTech), I("UseB10d")})));
  d.push_back(Def<TElementOp>(Stamped({S("BlocOp", wOID), S("Element", wOID), S("Nop", wNop), S("OID", wOID)})));
  d.push_back({cDCMeasureInsuffPLsTable, {S("DCMeasure", wOID), S("PL", wPL)}});
  d.push_back(Def<TDCMeasure>(Stamped({S("Heading", wName), S("DCmax", wDC), S("DCmin", wDC), S("Dependency", wText),
                                       S("Description", wText), S("Document", wPath), S("Documentation", wText),
                                       S("OID", wOID)})));
  d.push_back(Def<TDCMeasureOp>(Stamped({S("DC", wDC), S("DCMeasure", wOID), S("OID", wOID)})));
  d.push_back(Def<TCCFMeasure>(Stamped({S("Heading", wName), S("Description", wText), S("Document", wPath),
                                        S("Documentation", wText), S("Number", wName), S("OID", wOID),
                                        S("Score", wCCF)})));
  d.push_back(Def<TCCFMeasureOp>(
      Stamped({S("CCFMeasure", wOID), S("Component", wOID), I("IsSatisfied"), S("OID", wOID)})));
  d.push_back({cCatReqConditionTable, {S("Cat", wCat), S("CatCondition", wOID)}});
  d.push_back(Def<TCatCondition>(Stamped({S("OID", wOID), S("Text", wText), S("CCID", wOID)})));
  d.push_back(Def<TCatConditionOp>(
      Stamped({S("CatCondition", wOID), S("Component", wOID), I("IsSatisfied"), S("OID", wOID)})));
  // The performance level of this link table declares the width of a category.
  d.push_back({cPLReqConditionTable, {S("PL", wCat), S("PLCondition", wOID)}});
  d.push_back(Def<TPLCondition>(Stamped({S("OID", wOID), S("Text", wText), S("PLCID", wOID)})));
  d.push_back(Def<TPLConditionOp>(
      Stamped({S("PLCondition", wOID), S("Component", wOID), I("IsSatisfied"), S("OID", wOID)})));
  return d;
}

// A column that holds the OID of a row of another table.
struct TXMLReference {
  enum TKind : uint8_t {
    // The data object of a node: never empty, and every row of the target table is named by exactly one node.
    // Read otherwise, a node would come up with a default object the file does not hold (an element without
    // values counts as fault-excluded), and a row no node names would be dropped by the next save.
    Data,
    // A DC-measure node chosen by an element or block: named by one row at most (a DC-measure node stands on
    // its own in a copied or exported list of measures).
    Measure,
    // The node a node row belongs to: empty for the top items of an exported or copied list, never in a project
    // file, whose save would drop such a row.
    Owner,
    // Never empty, named by any number of rows (the measure of a link row).
    Required,
    // Any other reference: empty, or the OID of a row of the target table.
    Link,
  };
  std::string Table;
  std::string_view Column;
  std::string Target;
  TKind Kind;
  // Owned by exactly one row.
  bool Owned() const { return Kind == Data || Kind == Measure; }
};

const std::vector<TXMLReference>& References() {
  using R = TXMLReference;
  static const std::vector<TXMLReference> refs{
      {Tbl<TProjectOp>(), "Project", Tbl<TProject>(), R::Data},
      {Tbl<TSFOp>(), "ProjectOp", Tbl<TProjectOp>(), R::Owner},
      {Tbl<TSFOp>(), "SF", Tbl<TSF>(), R::Data},
      {Tbl<TComponentOp>(), "Component", Tbl<TComponent>(), R::Data},
      {Tbl<TComponentOp>(), "SFOp", Tbl<TSFOp>(), R::Owner},
      {Tbl<TChannelOp>(), "Channel", Tbl<TChannel>(), R::Data},
      {Tbl<TChannelOp>(), "ComponentOp", Tbl<TComponentOp>(), R::Owner},
      {Tbl<TChannelOp>(), "TestChannelOp", Tbl<TChannelOp>(), R::Link},
      {Tbl<TBlocOp>(), "Bloc", Tbl<TBloc>(), R::Data},
      {Tbl<TBlocOp>(), "ChannelOp", Tbl<TChannelOp>(), R::Owner},
      {Tbl<TBloc>(), "DCMeasureOp", Tbl<TDCMeasureOp>(), R::Measure},
      {Tbl<TElementOp>(), "Element", Tbl<TElement>(), R::Data},
      {Tbl<TElementOp>(), "BlocOp", Tbl<TBlocOp>(), R::Owner},
      {Tbl<TElement>(), "DCMeasureOp", Tbl<TDCMeasureOp>(), R::Measure},
      // A link row without its measure means nothing: refused like a node without its data object.
      {cDCMeasureInsuffPLsTable, "DCMeasure", Tbl<TDCMeasure>(), R::Required},
      {Tbl<TDCMeasureOp>(), "DCMeasure", Tbl<TDCMeasure>(), R::Data},
      {Tbl<TCCFMeasureOp>(), "CCFMeasure", Tbl<TCCFMeasure>(), R::Data},
      {Tbl<TCCFMeasureOp>(), "Component", Tbl<TComponent>(), R::Owner},
      {Tbl<TCatConditionOp>(), "CatCondition", Tbl<TCatCondition>(), R::Data},
      {Tbl<TCatConditionOp>(), "Component", Tbl<TComponent>(), R::Owner},
      {Tbl<TPLConditionOp>(), "PLCondition", Tbl<TPLCondition>(), R::Data},
      {Tbl<TPLConditionOp>(), "Component", Tbl<TComponent>(), R::Owner},
  };
  return refs;
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

// One reference value met while scanning, checked once every table has been read. The texts of an error are
// made only for the one raised.
struct TRefSeen {
  const TXMLReference* Ref;
  const std::string* Table;  // as the store names it
  int Row;
  std::string_view Value;
};

class TTableCheck {
public:
  TTableCheck(TtiDatabase& db, bool projectFile) : db_(db), file_(db.DatabaseName()), projectFile_(projectFile) {}

  void Run() {
    TtiDBMetaData tables;
    db_.ReadMetaDataTables(tables);
    std::vector<std::pair<std::string, const TXMLTableDef*>> known;
    for (int i = 0; i < tables.Count(); ++i) {
      TtiDBMetaDataTable& t = *tables.Items(i);
      const TXMLTableDef* def = FindXMLTableDef(t.GetName());
      if (!def) RaiseXMLDataError(msgXMLUnknownTable, file_, t.GetName());
      db_.ReadMetaDataFields(t);
      for (int f = 0; f < t.Count(); ++f)
        if (!def->FindColumn(t.Items(f)->GetName()))
          RaiseXMLDataError(msgXMLUnknownColumn, file_, t.GetName(), {t.Items(f)->GetName()});
      known.emplace_back(t.GetName(), def);
    }
    // Values a row carries beyond its table's columns: the store's queries never show them.
    if (auto* xml = dynamic_cast<TtiDatabaseXML*>(&db_)) {
      TtiDatabaseXML::TUndeclaredAttribute a;
      if (xml->FindUndeclaredAttribute(a)) RaiseXMLDataError(msgXMLUnknownColumn, file_, a.Table, {a.Attribute});
    }
    std::unique_ptr<TtiQuery> q = db_.CreateTIQuery();
    q->AttachDatabase(&db_);
    for (const auto& [name, def] : known) ScanRows(*q, name, *def);
    q->DetachDatabase();
    CheckReferences();
  }

  // The OID (when the table has one) and the reference columns of every row, in row order. On the XML layer
  // the texts are taken from the document as it holds them, without a copy per value; on another layer
  // through the query, kept here. The XML texts are as escaped in the file, the same on both sides of every
  // comparison.
  template <class F>
  void ForEachRow(TtiQuery& q, const std::string& table, bool hasOID, const std::vector<const TXMLReference*>& refs,
                  F&& visit) {
    std::vector<std::string> columns;
    if (hasOID) columns.emplace_back("oid");
    for (const TXMLReference* r : refs) columns.push_back(Lower(r->Column));
    if (auto* xml = dynamic_cast<TtiDatabaseXML*>(&db_)) {
      int row = 0;
      xml->ScanRows(table, columns, [&](const std::vector<std::string_view>& values) { visit(++row, values); });
      return;
    }
    q.SelectRow(table, nullptr);
    std::vector<std::string_view> values(columns.size());
    for (int row = 1; !q.Eof(); ++row, q.Next()) {
      for (size_t i = 0; i < columns.size(); ++i) values[i] = kept_.emplace_back(q.FieldAsString(columns[i]));
      visit(row, values);
    }
    q.Close();
  }

private:
  void ScanRows(TtiQuery& q, const std::string& table, const TXMLTableDef& def) {
    TtiDBMetaDataTable declared;
    declared.SetName(table);
    db_.ReadMetaDataFields(declared);
    const auto has = [&](std::string_view column) { return declared.FindByFieldName(std::string(column)) != nullptr; };
    const bool hasOID = has("OID");
    std::vector<const TXMLReference*> refs;
    for (const TXMLReference& r : References())
      if (SameTextAscii(r.Table, def.Name) && has(r.Column)) refs.push_back(&r);
    const std::string key = Lower(def.Name);
    std::unordered_set<std::string_view>& oids = oids_[key];
    std::vector<std::string_view>& inOrder = rows_[key];
    tableNames_[key] = &table;
    ForEachRow(q, table, hasOID, refs, [&](int row, const std::vector<std::string_view>& values) {
      size_t i = 0;
      if (hasOID) {
        const std::string_view oid = values[i++];
        if (oid.empty())
          RaiseXMLDataError(msgXMLInvalidValue, file_, table, {std::to_string(row), "OID", std::string(oid)});
        if (!oids.insert(oid).second)
          RaiseXMLDataError(msgXMLDuplicateOID, file_, table, {std::to_string(row), "OID", std::string(oid)});
        inOrder.push_back(oid);
      }
      for (const TXMLReference* r : refs) {
        const std::string_view value = values[i++];
        if (!value.empty()) seen_.push_back({r, &table, row, value});
        else if (r->Kind == TXMLReference::Data || r->Kind == TXMLReference::Required ||
                 (r->Kind == TXMLReference::Owner && projectFile_))
          RaiseXMLDataError(msgXMLDanglingReference, file_, table,
                            {std::to_string(row), std::string(r->Column), "", r->Target});
      }
    });
  }

  void CheckReferences() {
    // The identifiers of each reference's target table, and the data objects already taken, found once per
    // reference rather than per value.
    std::unordered_map<const TXMLReference*, const std::unordered_set<std::string_view>*> targets;
    std::unordered_map<std::string, std::unordered_set<std::string_view>> owned;  // target table -> OIDs
    for (const TRefSeen& s : seen_) {
      auto t = targets.find(s.Ref);
      if (t == targets.end()) {
        const auto it = oids_.find(Lower(s.Ref->Target));
        t = targets.emplace(s.Ref, it == oids_.end() ? nullptr : &it->second).first;
      }
      if (!t->second || !t->second->count(s.Value))
        RaiseXMLDataError(msgXMLDanglingReference, file_, *s.Table,
                          {std::to_string(s.Row), std::string(s.Ref->Column), std::string(s.Value), s.Ref->Target});
      if (s.Ref->Owned() && !owned[s.Ref->Target].insert(s.Value).second)
        RaiseXMLDataError(msgXMLReferencedTwice, file_, *s.Table,
                          {std::to_string(s.Row), std::string(s.Ref->Column), std::string(s.Value)});
    }
    // Every data row belongs to the one node that names it. An older file without the nodes' table (the PL
    // conditions came later) is read without them, as before.
    for (const TXMLReference& r : References())
      if (r.Kind == TXMLReference::Data && tableNames_.count(Lower(r.Table)))
        ExpectNamed(r.Target, owned[r.Target], r.Table, r.Column);
    // In a project file a DC-measure node belongs to the element or block that chose it.
    if (projectFile_)
      ExpectNamed(Tbl<TDCMeasureOp>(), owned[Tbl<TDCMeasureOp>()], Tbl<TElement>() + ", " + Tbl<TBloc>(),
                  "DCMeasureOp");
  }

  // Every row of `target` is among those `named` by column `column` of table `by`.
  void ExpectNamed(const std::string& target, const std::unordered_set<std::string_view>& named, const std::string& by,
                   std::string_view column) {
    const std::string key = Lower(target);
    const auto rows = rows_.find(key);
    if (rows == rows_.end()) return;
    for (size_t row = 0; row < rows->second.size(); ++row)
      if (!named.count(rows->second[row]))
        RaiseXMLDataError(msgXMLUnnamedRow, file_, *tableNames_[key],
                          {std::to_string(row + 1), "OID", std::string(rows->second[row]), by, std::string(column)});
  }

  TtiDatabase& db_;
  std::string file_;
  bool projectFile_;
  std::unordered_map<std::string, std::unordered_set<std::string_view>> oids_;  // lower-case table -> OIDs
  std::unordered_map<std::string, std::vector<std::string_view>> rows_;          // the same in row order
  std::unordered_map<std::string, const std::string*> tableNames_;              // as the store names them
  std::vector<TRefSeen> seen_;
  std::deque<std::string> kept_;  // the texts read through a query, which the views above point into
};

}  // namespace

const TXMLColumn* TXMLTableDef::FindColumn(std::string_view name) const {
  for (const TXMLColumn& c : Columns)
    if (SameTextAscii(c.Name, name)) return &c;
  return nullptr;
}

const std::vector<TXMLTableDef>& XMLTableDefs() {
  static const std::vector<TXMLTableDef> defs = BuildDefs();
  return defs;
}

const TXMLTableDef* FindXMLTableDef(std::string_view name) {
  for (const TXMLTableDef& d : XMLTableDefs())
    if (SameTextAscii(d.Name, name)) return &d;
  return nullptr;
}

void CreateXMLTables(TtiDatabase& Database) {
  TtiDBMetaData existing;
  Database.ReadMetaDataTables(existing);
  for (const TXMLTableDef& def : XMLTableDefs()) {
    if (existing.FindByTableName(def.Name)) continue;
    TtiDBMetaDataTable table;
    table.SetName(def.Name);
    for (const TXMLColumn& c : def.Columns) table.AddField(std::string(c.Name), c.Kind, c.Width);
    Database.CreateTable(table);
  }
}

void CreateXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName) {
  // One transaction, so that a new file is written once, not once per table; tables created before an error
  // stay created.
  const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(DatabaseName, PersistenceLayerName);
  TtiDatabase& db = lease.Database();
  db.StartTransaction();
  try {
    CreateXMLTables(db);
  } catch (...) {
    db.Commit();
    throw;
  }
  db.Commit();
}

void ResetXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName) {
  const std::string order[] = {
      cDCMeasureInsuffPLsTable, cCatReqConditionTable, cPLReqConditionTable, Tbl<TCCFMeasureOp>(),
      Tbl<TCCFMeasure>(),       Tbl<TCatConditionOp>(), Tbl<TCatCondition>(), Tbl<TPLConditionOp>(),
      Tbl<TPLCondition>(),      Tbl<TElementOp>(),      Tbl<TElement>(),       Tbl<TBlocOp>(),
      Tbl<TBloc>(),             Tbl<TChannelOp>(),      Tbl<TChannel>(),       Tbl<TComponentOp>(),
      Tbl<TComponent>(),        Tbl<TSFOp>(),           Tbl<TSF>(),            Tbl<TProjectOp>(),
      Tbl<TProject>(),          Tbl<TDCMeasureOp>(),    Tbl<TDCMeasure>()};
  for (const std::string& table : order) tiPerMgr().DeleteRow(table, nullptr, DatabaseName, PersistenceLayerName);
}

void CheckXMLTables(TtiDatabase& Database, bool ProjectFile) { TTableCheck(Database, ProjectFile).Run(); }

void CheckXMLTables(const std::string& DatabaseName, const std::string& PersistenceLayerName, bool ProjectFile) {
  const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(DatabaseName, PersistenceLayerName);
  CheckXMLTables(lease.Database(), ProjectFile);
}

void RaiseXMLDataError(int Msg, const std::string& FileName, const std::string& Table, std::vector<std::string> More) {
  FmtArgs args{FileName, Table};
  for (std::string& m : More) args.emplace_back(std::move(m));
  throw EIOError(Msg, std::move(args));
}

}  // namespace kelvado
