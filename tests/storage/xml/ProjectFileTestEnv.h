#pragma once
// What the project-file tests share, whatever persistence layer they run on: the fixture (private settings,
// a numbered language file, a small general database for the columns computed on save, a fresh persistence
// manager with the layer and the two visitor groups), a project with every item class and every stored field
// set to a value other than its default, the comparison of a saved and a read tree, and access to the rows of
// a store through the persistence manager (to look at a file or to build damaged and older ones).
//
// A layer takes part with a "store under test" type:
//   static std::string LayerName();
//   void RegisterLayer();                          // with the fresh persistence manager
//   std::string NewStore(const std::string& name); // an empty store (no tables), connected on the layer
//   void TearDown();                               // after the persistence manager is gone
#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "framework/tiPerManager.h"
#include "framework/tiQuery.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsTexts.h"
#include "model/MetaData.h"
#include "model/VisitorsCalc.h"
#include "storage/db/GlobalsPer.h"
#include "storage/xml/VisitorsXML.h"
#include "storage/xml/XMLTables.h"
#include "tests/model/CalcTestEnv.h"

namespace kelvado::testing {

// ---- Running the two groups ----

inline void SaveXML(TtiObject& root, const std::string& db, const std::string& layer) {
  tiPerMgr().GetVisitorManager().Execute(cTask_SaveXML, &root, db, layer);
}

inline void ReadXML(TtiObject& root, const std::string& db, const std::string& layer) {
  tiPerMgr().GetVisitorManager().Execute(cTask_ReadXML, &root, db, layer);
}

inline std::unique_ptr<TProjectOpList> ReadProjects(const std::string& db, const std::string& layer) {
  auto list = std::make_unique<TProjectOpList>();
  ReadXML(*list, db, layer);
  return list;
}

// ---- Rows of a store ----

using TRow = std::map<std::string, std::string>;  // lower-case column name -> value text

inline std::string LowerName(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The store connected: the project manager lets go of a file once it has read or saved it.
inline void EnsureConnected(const std::string& db, const std::string& layer) {
  const TtiPersistenceLayer* l = tiPerMgr().GetPersistenceLayers().FindByPerLayerName(layer);
  if (l && !l->GetDBConnectionPools().Find(db)) tiPerMgr().ConnectDatabase(db, "", "", "", layer);
}

// Runs `work` with a query on a database of the store, given back afterwards.
template <class F>
void WithQuery(const std::string& db, const std::string& layer, F&& work) {
  EnsureConnected(db, layer);
  TtiPersistenceLayers& layers = tiPerMgr().GetPersistenceLayers();
  TtiDatabase& database = layers.LockDatabase(db, layer);
  try {
    std::unique_ptr<TtiQuery> q = database.CreateTIQuery();
    q->AttachDatabase(&database);
    work(*q, database);
    q->DetachDatabase();
  } catch (...) {
    layers.UnLockDatabase(database, db, layer);
    throw;
  }
  layers.UnLockDatabase(database, db, layer);
}

// The rows of a table in row order, each with the values it holds.
inline std::vector<TRow> Rows(const std::string& db, const std::string& layer, const std::string& table) {
  std::vector<TRow> rows;
  WithQuery(db, layer, [&](TtiQuery& q, TtiDatabase&) {
    q.SelectRow(table, nullptr);
    for (; !q.Eof(); q.Next()) {
      TRow row;
      for (int f = 0; f < q.FieldCount(); ++f) row[LowerName(q.FieldName(f))] = q.FieldAsString(q.FieldName(f));
      rows.push_back(std::move(row));
    }
    q.Close();
  });
  return rows;
}

// The row of a table with that OID (fails the test when there is not exactly one).
inline TRow RowOf(const std::string& db, const std::string& layer, const std::string& table, const std::string& oid) {
  std::vector<TRow> found;
  for (TRow& r : Rows(db, layer, table))
    if (r["oid"] == oid) found.push_back(r);
  EXPECT_EQ(found.size(), 1u) << table << " " << oid;
  return found.empty() ? TRow() : found[0];
}

// Sets one value of the rows whose `keyColumn` holds `key`.
inline void SetCell(const std::string& db, const std::string& layer, const std::string& table, const std::string& key,
                    const std::string& column, const std::string& value, const std::string& keyColumn = "OID") {
  TtiQueryParams values, where;
  values.SetValueAsString(column, value);
  where.SetValueAsString(keyColumn, key);
  EnsureConnected(db, layer);
  tiPerMgr().UpdateRow(table, &values, &where, db, layer);
}

inline void InsertTextRow(const std::string& db, const std::string& layer, const std::string& table, const TRow& row) {
  TtiQueryParams values;
  for (const auto& [col, value] : row) values.SetValueAsString(col, value);
  EnsureConnected(db, layer);
  tiPerMgr().InsertRow(table, &values, db, layer);
}

// Creates the project tables as CreateXMLTables does, but as an older file had them: each table named in
// `dropped` without the columns listed for it, or not at all when the list is empty.
inline void CreateOlderTables(const std::string& db, const std::string& layer,
                              const std::map<std::string, std::set<std::string>>& dropped) {
  for (const TXMLTableDef& def : XMLTableDefs()) {
    auto it = dropped.find(def.Name);
    if (it == dropped.end()) continue;
    if (it->second.empty()) continue;
    TtiDBMetaDataTable table;
    table.SetName(def.Name);
    for (const TXMLColumn& c : def.Columns)
      if (!it->second.count(std::string(c.Name))) table.AddField(std::string(c.Name), c.Kind, c.Width);
    tiPerMgr().CreateTable(table, db, layer);
  }
  for (const TXMLTableDef& def : XMLTableDefs()) {
    auto it = dropped.find(def.Name);
    if (it != dropped.end() && it->second.empty()) continue;
    if (tiPerMgr().TableExists(def.Name, db, layer)) continue;
    TtiDBMetaDataTable table;
    table.SetName(def.Name);
    for (const TXMLColumn& c : def.Columns) table.AddField(std::string(c.Name), c.Kind, c.Width);
    tiPerMgr().CreateTable(table, db, layer);
  }
}

// Copies the rows of every project table of `from` into the same table of `to`, each with the values of the
// columns `to` declares: a file of a release whose tables lacked some columns.
inline void CopyRows(const std::string& from, const std::string& to, const std::string& layer) {
  for (const TXMLTableDef& def : XMLTableDefs()) {
    if (!tiPerMgr().TableExists(def.Name, to, layer) || !tiPerMgr().TableExists(def.Name, from, layer)) continue;
    std::set<std::string> declared;
    WithQuery(to, layer, [&](TtiQuery&, TtiDatabase& d) {
      TtiDBMetaDataTable t;
      t.SetName(def.Name);
      d.ReadMetaDataFields(t);
      for (int i = 0; i < t.Count(); ++i) declared.insert(LowerName(t.Items(i)->GetName()));
    });
    for (const TRow& row : Rows(from, layer, def.Name)) {
      TRow kept;
      for (const auto& [col, value] : row)
        if (declared.count(col)) kept[col] = value;
      InsertTextRow(to, layer, def.Name, kept);
    }
  }
}

// ---- The project ----

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Every item class, every stored field off its default, infinite values, protected items, a test channel,
// deleted items and text beyond ASCII. Every object is new (posCreate), as when a project is saved.
struct TFullProject {
  std::unique_ptr<TProjectOp> Root;
  TSFOp* SF = nullptr;
  TSFOp* DeletedSF = nullptr;
  TComponentOp* Sub = nullptr;
  TComponentOp* Sub2 = nullptr;  // PFH infinite
  TChannelOp* C1 = nullptr;
  TChannelOp* C2 = nullptr;
  TTestChannelOp* T1 = nullptr;
  TBlocOp* Bloc = nullptr;
  TElementOp* Element = nullptr;           // with a DC measure
  TElementOp* ProtectedElement = nullptr;  // node and element protected, infinite values
  TElementOp* DeletedElement = nullptr;
};

namespace detail {

template <class Op, class Data>
std::unique_ptr<Op> NodeWith(std::unique_ptr<Data> data) {
  auto op = std::make_unique<Op>();
  if constexpr (std::is_same_v<Op, TElementOp>) op->SetElement(std::move(data));
  else if constexpr (std::is_same_v<Op, TBlocOp>) op->SetBloc(std::move(data));
  else if constexpr (std::is_base_of_v<TChannelOp, Op>) op->SetChannel(std::move(data));
  else if constexpr (std::is_same_v<Op, TComponentOp>) op->SetComponent(std::move(data));
  else if constexpr (std::is_same_v<Op, TSFOp>) op->SetSF(std::move(data));
  else op->SetProject(std::move(data));
  return op;
}

inline std::unique_ptr<TDCMeasureOp> DCMeasureOp(double dc, double dcMin, double dcMax, TPLSet insufficient,
                                                 const std::string& heading) {
  auto m = std::make_unique<TDCMeasure>();
  m->SetHeading(heading);
  m->SetDescription("Plausibilitätsprüfung – " + heading);
  m->SetDependency("abhängig von der Testrate ≥ 100");
  m->SetDocument("Maßnahmen/" + heading + ".pdf");
  m->SetDocumentation("Tabelle E.1\r\nZeile 2");
  m->SetDCmax(dcMax);
  m->SetDCmin(dcMin);
  m->SetInsufficient(insufficient);
  auto op = std::make_unique<TDCMeasureOp>();
  op->SetDCMeasure(std::move(m));
  op->SetDC(dc);
  return op;
}

inline std::unique_ptr<TElement> Element(const std::string& name) {
  auto e = std::make_unique<TElement>();
  e->SetName(name);
  e->SetB10d(2.5e6);
  e->SetDC(0.6);
  e->SetDCDet(detMeasures);
  e->SetDCDocumentation("DC über Rücklesen");
  e->SetDescription("Öffner, zwangsgeführt");
  e->SetDocument("Datenblätter/" + name + ".pdf");
  e->SetDocumentation("Herstellerangabe, Stand 2009");
  e->SetManufacturer("Müller & Söhne");
  e->SetMissionTime(12.5);
  e->SetMTTFd(150.0);
  e->SetPartNo("K-4821/Ω");
  e->SetTechnology(tecPneumatic);
  e->SetUseB10d(true);
  return e;
}

inline std::unique_ptr<TBloc> Bloc(const std::string& name) {
  auto b = std::make_unique<TBloc>();
  b->SetDC(0.95);
  b->SetDCDet(detMeasures);
  b->SetDCDocumentation("Überwachung der Schaltstellung");
  b->SetDescription("Ausgang – " + name);
  b->SetDocument("Blöcke/" + name + ".pdf");
  b->SetDocumentation("Zweikanalig");
  b->SetManufacturer("Hydraulik AG");
  b->SetMissionTime(kInfinity);
  b->SetMTTFd(kInfinity);
  b->SetMTTFdDet(detDirect);
  b->SetName(name);
  b->SetPartNo("B-1");
  return b;
}

}  // namespace detail

inline TFullProject BuildFullProject() {
  using namespace detail;
  TFullProject f;
  auto project = std::make_unique<TProject>();
  project->SetAuthor("Jörg Weiß");
  project->SetDocument("Unterlagen/Prüfbericht.pdf");
  project->SetDocumentation("Prüfung vom 3. März\r\nZeile 2 – ✓ 日本語");
  project->SetDocumentsFolder("../Dokumente");
  project->SetMachineName("Presse P-Ω 400");
  project->SetName("Projekt Ä");
  project->SetStandardsFolder("../Normen");
  project->SetNormVersion(ver2006);
  project->SetKVDVersion(ver1_1_1);
  f.Root = NodeWith<TProjectOp>(std::move(project));

  auto sf = std::make_unique<TSF>();
  sf->SetDocument("SF/Not-Halt.pdf");
  sf->SetDocumentation("Risikobeurteilung Rev. 3");
  sf->SetName("Not-Halt Ä");
  sf->SetPLrDirect(plC);
  sf->SetPLrDet(detDirect);
  sf->SetPLrDocumentation("nach Risikograph");
  sf->SetPLrStandard("EN ISO 13849-1:2006, Anhang A");
  sf->SetPLrStandardFile("Normen/13849.pdf");
  sf->SetReaction("Stillsetzen < 200 ms");
  sf->SetRiskParamF(1);
  sf->SetRiskParamP(1);
  sf->SetRiskParamS(1);
  sf->SetSafeState("Antrieb drehmomentfrei");
  sf->SetSFType("Stoppfunktion");
  sf->SetTriggerEvent("Betätigen des Not-Halt-Tasters");
  auto sfOp = NodeWith<TSFOp>(std::move(sf));
  f.SF = sfOp.get();

  auto comp = std::make_unique<TComponent>();
  comp->SetCat(cat2);
  comp->SetCatConditionsRelevant(false);
  comp->SetCatDocumentation("Kategorie 2 nach 6.2.5");
  comp->SetCatStandard("EN ISO 13849-2");
  comp->SetCatStandardFile("Normen/13849-2.pdf");
  comp->SetCCFScore(65.5);
  comp->SetCCFScoreDet(detDirect);
  comp->SetDCavg(0.75);
  comp->SetDCavgDet(detDirect);
  comp->SetDCavgDocumentation("gemittelt");
  comp->SetDescription("Sicherheitsschaltgerät");
  comp->SetDocument("SB/Gerät.pdf");
  comp->SetDocumentation("geprüft");
  comp->SetManufacturer("Kornhagen & Co");
  comp->SetMissionTime(kInfinity);
  comp->SetMTTFd(kInfinity);
  comp->SetMTTFdDet(detDirect);
  comp->SetName("Sicherheitsschaltgerät Ü");
  comp->SetPartNo("KSR-17");
  comp->SetPLDirectNoBind(plD);
  comp->SetIsPLPFHBind(false);
  comp->SetPFH(1.5e-7);
  comp->SetPLDet(detDirect);
  comp->SetPLDocumentation("Herstellerangabe");
  comp->SetUseWorstCaseMTTFd(true);
  for (bool deleted : {false, true}) {
    auto m = std::make_unique<TCCFMeasure>();
    m->SetHeading(deleted ? "Gelöscht" : "Trennung");
    m->SetNumber("1");
    m->SetDescription("Physikalische Trennung der Signalpfade");
    m->SetDocumentation("Tabelle F.1");
    m->SetDocument("CCF/1.pdf");
    m->SetScore(15.0);
    auto op = std::make_unique<TCCFMeasureOp>();
    op->SetCCFMeasure(std::move(m));
    op->SetIsSatisfied(false);
    comp->GetCCFMeasureOps()->Add(std::move(op));
  }
  {
    auto c = std::make_unique<TCatCondition>();
    c->SetCCID("{0A1B2C3D-0000-0000-0000-00000000CAT2}");
    c->SetText("Bewährte Sicherheitsprinzipien angewendet");
    auto op = std::make_unique<TCatConditionOp>();
    op->SetCatCondition(std::move(c));
    op->SetIsSatisfied(false);
    comp->GetCatConditionOps()->Add(std::move(op));
    auto pc = std::make_unique<TPLCondition>();
    pc->SetPLCID("{0A1B2C3D-0000-0000-0000-0000000000PL}");
    pc->SetText("Software nach 4.6 entwickelt");
    auto pop = std::make_unique<TPLConditionOp>();
    pop->SetPLCondition(std::move(pc));
    pop->SetIsSatisfied(false);
    comp->GetPLConditionOps()->Add(std::move(pop));
  }
  auto sub = NodeWith<TComponentOp>(std::move(comp));
  f.Sub = sub.get();

  // Channel 1: a block with a DC measure of the block, an element with one of its own, a protected element of
  // infinite values and a deleted element.
  auto bloc = NodeWith<TBlocOp>(Bloc("Ausgang"));
  bloc->GetBloc()->SetDCMeasureOp(DCMeasureOp(0.995, 0.99, 1.0, {plC, plA}, "Block-Maßnahme"));
  f.Bloc = bloc.get();
  auto element = NodeWith<TElementOp>(Element("Schütz K1"));
  element->GetElement()->SetDCMeasureOp(DCMeasureOp(0.6, 0.6, 0.9, {plE}, "Element-Maßnahme"));
  element->SetNop(1.5e5);
  f.Element = element.get();
  auto infinite = Element("Ventil Y1");
  infinite->SetMTTFd(kInfinity);
  infinite->SetB10d(kInfinity);
  infinite->SetMissionTime(kInfinity);
  infinite->SetUseB10d(false);
  infinite->SetNormVersion(ver2006pr);
  infinite->SetKVDVersion(ver1_0_5a);
  auto protectedOp = NodeWith<TElementOp>(std::move(infinite));
  f.ProtectedElement = protectedOp.get();
  auto deleted = NodeWith<TElementOp>(Element("Gelöscht"));
  f.DeletedElement = deleted.get();
  bloc->GetElementOpList()->Add(std::move(element));
  bloc->GetElementOpList()->Add(std::move(protectedOp));
  bloc->GetElementOpList()->Add(std::move(deleted));

  auto c1 = NodeWith<TChannelOp>(std::make_unique<TChannel>());
  c1->GetBlocOpList()->Add(std::move(bloc));
  auto c2 = NodeWith<TChannelOp>(std::make_unique<TChannel>());
  auto bloc2 = NodeWith<TBlocOp>(Bloc("Eingang"));
  bloc2->GetElementOpList()->Add(NodeWith<TElementOp>(Element("Taster S1")));
  bloc2->GetElementOpList()->Items(0)->SetNop(250.5);
  c2->GetBlocOpList()->Add(std::move(bloc2));
  auto t1 = NodeWith<TTestChannelOp>(std::make_unique<TTestChannel>());
  auto bloc3 = NodeWith<TBlocOp>(Bloc("Test"));
  bloc3->GetElementOpList()->Add(NodeWith<TElementOp>(Element("Testeinrichtung")));
  t1->GetBlocOpList()->Add(std::move(bloc3));
  f.C1 = c1.get();
  f.C2 = c2.get();
  f.T1 = t1.get();
  sub->GetChannelOpList()->Add(std::move(c1));
  sub->GetChannelOpList()->Add(std::move(c2));
  sub->GetChannelOpList()->Add(std::move(t1));  // pairs both channels
  sfOp->GetComponentOpList()->Add(std::move(sub));
  // A second subsystem whose PL is entered with an infinite PFH.
  auto comp2 = std::make_unique<TComponent>();
  comp2->SetName("Mechanik");
  comp2->SetCat(cat3);
  comp2->SetPLDet(detDirect);
  comp2->SetPFH(kInfinity);
  auto sub2 = NodeWith<TComponentOp>(std::move(comp2));
  sub2->GetChannelOpList()->Add(NodeWith<TChannelOp>(std::make_unique<TChannel>()));
  f.Sub2 = sub2.get();
  sfOp->GetComponentOpList()->Add(std::move(sub2));
  f.Root->GetSFOpList()->Add(std::move(sfOp));

  auto gone = std::make_unique<TSF>();
  gone->SetName("Gelöschte Funktion");
  auto goneOp = NodeWith<TSFOp>(std::move(gone));
  auto goneSub = NodeWith<TComponentOp>(std::make_unique<TComponent>());
  goneSub->GetChannelOpList()->Add(NodeWith<TChannelOp>(std::make_unique<TChannel>()));
  goneOp->GetComponentOpList()->Add(std::move(goneSub));
  f.DeletedSF = goneOp.get();
  f.Root->GetSFOpList()->Add(std::move(goneOp));

  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  f.Root->Iterate(toCreate);
  f.DeletedSF->SetDeleted(true);
  f.DeletedElement->SetDeleted(true);
  f.Sub->GetComponent()->GetCCFMeasureOps()->Items(1)->SetDeleted(true);

  // Protection last, as a library item comes with it.
  f.ProtectedElement->GetElement()->SetIsProtected(true);
  f.ProtectedElement->SetIsProtected(true);
  f.Bloc->GetBloc()->GetDCMeasureOp()->SetIsProtected(true);
  f.Bloc->GetBloc()->GetDCMeasureOp()->GetDCMeasure()->SetIsProtected(true);
  f.Sub->GetComponent()->GetCCFMeasureOps()->Items(0)->GetCCFMeasure()->SetIsProtected(true);
  f.T1->GetChannel()->SetIsProtected(true);
  f.C2->SetIsProtected(true);
  f.SF->SetIsProtected(true);
  return f;
}

// ---- Comparing trees ----

// The objects of a graph that a store keeps (business objects and metadata records, not deleted), in walk
// order.
inline std::vector<TtiObject*> StoredObjects(TtiObject& root) {
  std::vector<TtiVisited*> all;
  root.FindAllByClass(TtiObject::StaticClass(), all);
  std::vector<TtiObject*> kept;
  for (TtiVisited* v : all) {
    auto* o = static_cast<TtiObject*>(v);
    if (!o->GetDeleted() && (dynamic_cast<TPerObjAbsEx*>(o) || dynamic_cast<TMetaData*>(o))) kept.push_back(o);
  }
  return kept;
}

// The tree read equals the tree saved (deleted items left out): Equals, and object by object the class, the
// OID, the protection flag and the pairing of channel nodes; every object read is posClean.
inline void ExpectSameTree(TtiObject& saved, TtiObject& read) {
  std::unique_ptr<TtiObject> expected = saved.Clone();
  EXPECT_TRUE(read.Equals(*expected)) << "saved:\n" << expected->AsDebugString() << "\nread:\n" << read.AsDebugString();
  const std::vector<TtiObject*> a = StoredObjects(saved);
  const std::vector<TtiObject*> b = StoredObjects(read);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(a[i]->ClassName() + " " + a[i]->GetOID().GetAsString());
    EXPECT_EQ(b[i]->ClassName(), a[i]->ClassName());
    EXPECT_EQ(b[i]->GetOID().GetAsString(), a[i]->GetOID().GetAsString());
    EXPECT_EQ(b[i]->GetObjectState(), posClean);
    if (auto* x = dynamic_cast<TPerObjAbsEx*>(a[i])) {
      EXPECT_EQ(static_cast<TPerObjAbsEx*>(b[i])->GetIsProtected(), x->GetIsProtected());
    }
    if (auto* x = dynamic_cast<TChannelOp*>(a[i])) {
      const TTestChannelOp* pa = x->PairedTestChannelOp();
      const TTestChannelOp* pb = static_cast<TChannelOp*>(b[i])->PairedTestChannelOp();
      ASSERT_EQ(pa == nullptr, pb == nullptr);
      if (pa) {
        EXPECT_EQ(pb->GetOID().GetAsString(), pa->GetOID().GetAsString());
      }
    }
  }
}

inline std::string OIDOf(const TtiObject* o) { return o->GetOID().GetAsString(); }

// ---- The fixture ----

template <class Store>
class ProjectFileTest : public SettingsTest {
protected:
  ProjectFileTest() : SettingsTest("kv_pf_") {}

  void SetUp() override {
    SettingsTest::SetUp();
    UseOwnLang();
    WriteNumberedLang({3, 4, 111, 112, 113, 114, 115}, 3400);
    SetPersistenceDB(std::make_unique<TFakeStandardDB>());
    CalcPoolShutdown();
    tiPerMgrShutdown();
    store_.RegisterLayer();
    RegisterVisitorsXML();
    db_ = NewStore("project");
    CreateXMLTables(db_, layer_);
  }
  void TearDown() override {
    tiPerMgrShutdown();
    store_.TearDown();
    CalcPoolShutdown();
    PersistenceDBShutdown();
    SettingsTest::TearDown();
  }

  // Another empty store of the layer (no tables).
  std::string NewStore(const std::string& name) { return store_.NewStore(name); }

  // Saves the full project into the store and reads it back.
  std::unique_ptr<TProjectOpList> SaveAndRead(TtiObject& root) {
    SaveXML(root, db_, layer_);
    return ReadProjects(db_, layer_);
  }

  // Raises what reading the store's projects raises.
  void Read() { ReadProjects(db_, layer_); }
  void Check() { CheckXMLTables(db_, layer_); }

  Store store_;
  const std::string layer_ = Store::LayerName();
  std::string db_;
};

// The error of class E (of the EKelvado family) `f` raises: its message number and arguments.
template <class E, class F>
std::pair<int, std::vector<std::string>> ErrorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    std::vector<std::string> args;
    for (const FmtArg& a : e.MsgArgs()) args.push_back(a.AsString());
    return {e.MsgNumber(), args};
  }
  ADD_FAILURE() << "the error expected was not raised";
  return {0, {}};
}

// The EIOError `f` raises (file first among the arguments).
template <class F>
std::pair<int, std::vector<std::string>> IOErrorOf(F&& f) {
  return ErrorOf<EIOError>(std::forward<F>(f));
}

}  // namespace kelvado::testing
