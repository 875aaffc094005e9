#pragma once
// What the library tests share: a private settings store and language file, a fresh persistence manager with
// the layer "IBX" and the library visitors, a new library file per test (the general database the build made
// beside the program), the library mapper on both, a library with every item class, and Firebird's own check
// of a copy of the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "framework/tiPerManager.h"
#include "framework/tiPool.h"
#include "framework/tiQueryIBX.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/MetaData.h"
#include "model/VisitorsCalc.h"
#include "storage/db/LibSchema.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/PersistenceDBMapper.h"
#include "storage/db/VisitorsDB.h"
#include "tests/storage/db/GeneralDBTestEnv.h"
#include "tests/storage/xml/ProjectFileTestEnv.h"
#include "tests/support/FirebirdCheck.h"

namespace kelvado::testing {

// Every library item class with every stored field off its default (as far as the library stores it), infinite
// values and text beyond ASCII. Every object is new (posCreate), as when items are copied into a library.
struct TLibraryItems {
  std::unique_ptr<TComponentOpList> Subsystems = std::make_unique<TComponentOpList>();
  std::unique_ptr<TChannelOpList> Channels = std::make_unique<TChannelOpList>();
  std::unique_ptr<TBlocOpList> Blocs = std::make_unique<TBlocOpList>();
  std::unique_ptr<TElementOpList> Elements = std::make_unique<TElementOpList>();
  std::unique_ptr<TDCMeasureOpList> DCCatalogue = std::make_unique<TDCMeasureOpList>();
  std::unique_ptr<TCCFMeasureOpList> CCFCatalogue = std::make_unique<TCCFMeasureOpList>();
  std::unique_ptr<TCatConditionOpList> Conditions = std::make_unique<TCatConditionOpList>();
};

inline std::unique_ptr<TCCFMeasureOp> CCFMeasureOp(const std::string& heading, double score) {
  auto m = std::make_unique<TCCFMeasure>();
  m->SetHeading(heading);
  m->SetNumber("6.1");
  m->SetDescription("Trennung der Signalpfade – " + heading);
  m->SetDocumentation("Tabelle F.1");
  m->SetDocument("CCF/" + heading + ".pdf");
  m->SetScore(score);
  auto op = std::make_unique<TCCFMeasureOp>();
  op->SetCCFMeasure(std::move(m));
  return op;
}

inline std::unique_ptr<TCatConditionOp> CatConditionOp(const std::string& text, const std::string& ccid) {
  auto c = std::make_unique<TCatCondition>();
  c->SetText(text);
  c->SetCCID(ccid);
  auto op = std::make_unique<TCatConditionOp>();
  op->SetCatCondition(std::move(c));
  return op;
}

// A subsystem of two channels and a test channel, with CCF measures and conditions.
inline std::unique_ptr<TComponentOp> LibrarySubsystem(const std::string& name) {
  using namespace detail;
  auto comp = std::make_unique<TComponent>();
  comp->SetCat(cat3);
  comp->SetCatDocumentation("Kategorie 3");
  comp->SetCatStandard("EN ISO 13849-2");
  comp->SetCatStandardFile("Normen/13849-2.pdf");
  comp->SetCCFScore(65.0);
  comp->SetCCFScoreDet(detDirect);
  comp->SetDCavg(0.75);
  comp->SetDCavgDet(detDirect);
  comp->SetDCavgDocumentation("gemittelt");
  comp->SetDescription("Sicherheitsschaltgerät");
  comp->SetDocument("SB/Gerät.pdf");
  comp->SetDocumentation("geprüft");
  comp->SetManufacturer("Kornhagen & Co");
  comp->SetMissionTime(kInfinity);
  comp->SetMTTFd(150.0);  // above the cap of category 3: stored as entered
  comp->SetMTTFdDet(detDirect);
  comp->SetName(name);
  comp->SetPartNo("KSR-17");
  comp->SetPLDirectNoBind(plD);
  comp->SetIsPLPFHBind(false);
  comp->SetPFH(kInfinity);
  comp->SetPLDet(detDirect);
  comp->SetPLDocumentation("Herstellerangabe");
  comp->SetUseWorstCaseMTTFd(true);
  comp->SetCatConditionsRelevant(false);
  comp->GetCCFMeasureOps()->Add(CCFMeasureOp("Trennung", 15.0));
  comp->GetCCFMeasureOps()->Add(CCFMeasureOp("Diversität", 20.0));
  for (const char* t : {"Grundlegende Prinzipien", "Bewährte Prinzipien", "Einfehlersicherheit"})
    comp->GetCatConditionOps()->Add(CatConditionOp(t, std::string("{CC-") + t + "}"));
  auto pc = std::make_unique<TPLCondition>();
  pc->SetPLCID("{PL-1}");
  pc->SetText("Software nach 4.6");
  auto pop = std::make_unique<TPLConditionOp>();
  pop->SetPLCondition(std::move(pc));
  comp->GetPLConditionOps()->Add(std::move(pop));
  auto sub = NodeWith<TComponentOp>(std::move(comp));

  auto bloc = NodeWith<TBlocOp>(Bloc("Ausgang"));
  bloc->GetBloc()->SetDCMeasureOp(DCMeasureOp(0.995, 0.99, 1.0, {plC, plA}, "Block-Maßnahme"));
  auto element = NodeWith<TElementOp>(Element("Schütz K1"));
  element->GetElement()->SetDCMeasureOp(DCMeasureOp(0.6, 0.6, 0.9, {plE}, "Element-Maßnahme"));
  element->SetNop(1.5e5);
  bloc->GetElementOpList()->Add(std::move(element));
  auto infinite = Element("Ventil Y1");
  infinite->SetMTTFd(kInfinity);
  infinite->SetB10d(kInfinity);
  infinite->SetUseB10d(false);
  bloc->GetElementOpList()->Add(NodeWith<TElementOp>(std::move(infinite)));
  auto c1 = NodeWith<TChannelOp>(std::make_unique<TChannel>());
  c1->GetBlocOpList()->Add(std::move(bloc));
  auto c2 = NodeWith<TChannelOp>(std::make_unique<TChannel>());
  auto bloc2 = NodeWith<TBlocOp>(Bloc("Eingang"));
  bloc2->GetElementOpList()->Add(NodeWith<TElementOp>(Element("Taster S1")));
  c2->GetBlocOpList()->Add(std::move(bloc2));
  auto t1 = NodeWith<TTestChannelOp>(std::make_unique<TTestChannel>());
  t1->GetBlocOpList()->Add(NodeWith<TBlocOp>(Bloc("Test")));
  sub->GetChannelOpList()->Add(std::move(c1));
  sub->GetChannelOpList()->Add(std::move(c2));
  sub->GetChannelOpList()->Add(std::move(t1));  // pairs both channels
  return sub;
}

inline TLibraryItems BuildLibraryItems() {
  using namespace detail;
  TLibraryItems items;
  items.Subsystems->Add(LibrarySubsystem("Sicherheitsschaltgerät Ü"));
  auto simple = std::make_unique<TComponent>();
  simple->SetName("Mechanik");
  simple->SetCat(catB);
  auto simpleOp = NodeWith<TComponentOp>(std::move(simple));
  simpleOp->GetChannelOpList()->Add(NodeWith<TChannelOp>(std::make_unique<TChannel>()));
  items.Subsystems->Add(std::move(simpleOp));

  auto channel = NodeWith<TChannelOp>(std::make_unique<TChannel>());
  channel->GetBlocOpList()->Add(NodeWith<TBlocOp>(Bloc("Kanal-Block")));
  items.Channels->Add(std::move(channel));
  auto bloc = NodeWith<TBlocOp>(Bloc("Einzelblock"));
  bloc->GetElementOpList()->Add(NodeWith<TElementOp>(Element("Relais")));
  items.Blocs->Add(std::move(bloc));
  // A block without a DC measure: its column holds NULL.
  items.Blocs->Add(NodeWith<TBlocOp>(Bloc("Ohne Maßnahme")));
  for (const char* n : {"Endschalter", "Lichtgitter"}) items.Elements->Add(NodeWith<TElementOp>(Element(n)));
  items.DCCatalogue->Add(DCMeasureOp(0.9, 0.9, 0.9, {}, "Katalog-Maßnahme"));
  items.DCCatalogue->Add(DCMeasureOp(0.99, 0.99, 0.99, {plD, plE}, "Katalog-Maßnahme 2"));
  items.CCFCatalogue->Add(CCFMeasureOp("Katalog", 25.0));
  items.Conditions->Add(CatConditionOp("Katalog-Bedingung", "{CC-K}"));

  // The shared builders use text beyond Windows-1252, which a library refuses (tested on its own): every
  // character here is one the file can hold.
  std::vector<TtiVisited*> found;
  for (TtiObject* list : std::initializer_list<TtiObject*>{items.Subsystems.get(), items.Blocs.get(),
                                                          items.Elements.get(), items.DCCatalogue.get()}) {
    list->FindAllByClass(TElement::StaticClass(), found);
    for (TtiVisited* v : found) static_cast<TElement*>(v)->SetPartNo("K-4821/µ");
    list->FindAllByClass(TDCMeasure::StaticClass(), found);
    for (TtiVisited* v : found) static_cast<TDCMeasure*>(v)->SetDependency("abhängig von der Testrate – ±100 %");
  }
  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  for (TtiObject* list : std::initializer_list<TtiObject*>{items.Subsystems.get(), items.Channels.get(),
                                                          items.Blocs.get(), items.Elements.get(),
                                                          items.DCCatalogue.get(), items.CCFCatalogue.get(),
                                                          items.Conditions.get()})
    list->Iterate(toCreate);
  // The file keeps no order of conditions: they are read back in the order of their identifiers.
  TCatConditionOpList& conds = *items.Subsystems->Items(0)->GetComponent()->GetCatConditionOps();
  for (int i = 0; i < conds.GetCount(); ++i)
    conds.Items(i)->GetOID().SetAsString("00000000-0000-0000-0000-00000000000" + std::to_string(i + 1));
  return items;
}

// Firebird's validation of a copy of the file (the original may still be attached).
inline std::string GfixCopy(const std::string& file) {
  const std::string copy = file + ".gfix-copy";
  std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
  std::string r = GfixValidate(copy);
  std::filesystem::remove(copy);
  return r;
}

// The rows of a table of a connected library (in a transaction of their own), each with the values it holds.
inline std::vector<TRow> LibTableRows(const std::string& db, const std::string& table) {
  std::vector<TRow> rows;
  TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(db, cTIPersistIBX);
  TtiDatabase& database = *lease.Item()->Database();
  database.StartTransaction();
  std::unique_ptr<TtiQuery> q = database.CreateTIQuery();
  q->AttachDatabase(&database);
  q->SelectRow(table, nullptr);
  for (; !q->Eof(); q->Next()) {
    TRow row;
    for (int f = 0; f < q->FieldCount(); ++f) row[LowerName(q->FieldName(f))] = q->FieldAsString(q->FieldName(f));
    rows.push_back(std::move(row));
  }
  q->Close();
  q->DetachDatabase();
  database.Commit();
  return rows;
}

class LibraryTest : public GeneralDBTest {
protected:
  LibraryTest() : GeneralDBTest("kv_lib_") {}

  void SetUp() override {
    GeneralDBTest::SetUp();
    UseOwnLang();
    WriteNumberedLang({}, 3400);
    CalcPoolShutdown();
    tiPerMgrShutdown();
    RegisterPersistenceLayerIBX();
    SetPersistenceDB(std::make_unique<TFakeStandardDB>());
    lib_ = dir_ + "/Bibliothek.klb";
    CreateLibraryDatabaseFile(lib_);
    RegWriteString("database", "databasenamegen", GeneralFile());
    RegWriteString("database", "databasenamelib", lib_);
    ResetConfig();
    mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
  }
  void TearDown() override {
    mapper_.reset();
    ORMapperShutdown();
    tiPerMgrShutdown();
    CalcPoolShutdown();
    PersistenceDBShutdown();
    GeneralDBTest::TearDown();
  }

  // A further empty library file in the test's folder.
  std::string NewLibrary(const std::string& name) {
    const std::string f = dir_ + "/" + name;
    CreateLibraryDatabaseFile(f);
    return f;
  }
  // The rows of a table of the attached library.
  std::vector<TRow> LibRows(const std::string& table) { return LibTableRows(lib_, table); }
  TRow LibRow(const std::string& table, const std::string& oid) {
    for (TRow& r : LibRows(table))
      if (r["oid"] == oid) return r;
    ADD_FAILURE() << table << " has no row " << oid;
    return {};
  }
  void Exec(const std::string& sql) { tiPerMgr().ExecSQL(sql, lib_, cTIPersistIBX); }

  std::string lib_;
  std::unique_ptr<TORMapper_tiPer> mapper_;
};

}  // namespace kelvado::testing
