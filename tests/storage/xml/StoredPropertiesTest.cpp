// Every stored writable property of every persistent class, walked through the classes' property tables, set
// to a value other than its default and read back through each store that keeps the class: a project file
// (the XML layer), a library file (the Firebird layer) and the clipboard. A property that is given its row in
// the table but no column in a store is caught here, whoever adds it. And a tree built through the interface,
// saved to each store and reopened, evaluates and refers as it did before the save.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "framework/tiQueryXMLLight.h"
#include "platform/Clipboard.h"
#include "storage/db/LibSchema.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/PersistenceDBMapper.h"
#include "storage/xml/ClipMonitor.h"
#include "storage/xml/PersistenceXML.h"
#include "tests/storage/db/GeneralDBTestEnv.h"
#include "tests/storage/db/LibraryTestEnv.h"
#include "tests/storage/xml/FileProjectStores.h"
#include "tests/storage/xml/ProjectFileTestEnv.h"

namespace kelvado::testing {

namespace {

// A property a store does not keep as it was set, by class name ("*": every class) and property name.
struct TException {
  const char* Class;
  const char* Property;
};

bool Listed(std::span<const TException> list, const std::string& cls, const std::string& prop) {
  for (const TException& e : list)
    if ((std::string(e.Class) == "*" || cls == e.Class) && prop == e.Property) return true;
  return false;
}

// Not stored in any store, on purpose.
constexpr TException kNotStored[] = {
    // Views of the tree: computed from stored values and entered through them (a node's texts of its data's
    // values, the percent views of a DC measure node); what they show is stored through those values.
    {"TProjectOp", "ProjectName"},
    {"TSFOp", "PLrDirectString"},
    {"TComponentOp", "CCFScoreDirectString"},
    {"TComponentOp", "DCavgPCDirect"},
    {"TComponentOp", "DCavgPCDirectString"},
    {"TComponentOp", "MTTFdDirect"},
    {"TComponentOp", "MTTFdDirectString"},
    {"TComponentOp", "PFHDirectString"},
    {"TComponentOp", "PLDirectString"},
    {"TBlocOp", "DCDirectString"},
    {"TBlocOp", "FITDirectString"},
    {"TBlocOp", "MTTFdDirectString"},
    {"TElementOp", "B10dString"},
    {"TElementOp", "DCDirectString"},
    {"TElementOp", "ElementName"},
    {"TElementOp", "ElementTechnologyString"},
    {"TElementOp", "FITDirectString"},
    {"TElementOp", "MTTFdDirectString"},
    {"TElementOp", "NopString"},
    {"TDCMeasureOp", "DCPC"},
    {"TDCMeasureOp", "DCminPC"},
    {"TDCMeasureOp", "DCmaxPC"},
    {"TDCMeasureOp", "Description"},
    // A flag of the running program only.
    {"*", "IsNew"},
    // No table of either file has a column for it, and nothing computes with it.
    {"TDCMeasureOp", "IsSatisfied"},
    // The header record is stamped with the edition and release of the program that writes it.
    {"TMetaData", "NormVersion"},
    {"TMetaData", "NormVersionString"},
    {"TMetaData", "KVDVersion"},
    {"TMetaData", "KelvadoVersionString"},
    {"TMetaData", "KVDVersionOriginalString"},
};

// A project file: the header record's name has no column (the file's name is the project's).
constexpr TException kProjectFile[] = {
    {"TMetaData", "Name"},
};

// A library file: its tables have no column for whether a subsystem's measure or condition is satisfied; a row
// is kept only for a satisfied one, and one read is satisfied. They are left satisfied here, so that their
// other properties are compared; that an unsatisfied one is left out is checked by
// LibraryVisitorsTest.UntickedMeasuresAndConditionsReadBackAsNotCounting.
constexpr TException kLibraryFile[] = {
    {"TCCFMeasureOp", "IsSatisfied"},
    {"TCatConditionOp", "IsSatisfied"},
    {"TPLConditionOp", "IsSatisfied"},
};

// The clipboard: a copy is never write-protected (a copy of a library item may be changed).
constexpr TException kClipboard[] = {
    {"*", "IsProtected"},
};

// Values a setter may take, tried in turn until one is taken that changes the value.
std::vector<Value> Candidates(const TtiPropInfo& p) {
  switch (p.Kind()) {
    case TtiPropKind::Integer: return {Value(int64_t{1}), Value(int64_t{2})};
    case TtiPropKind::Float: return {Value(0.615), Value(42.5), Value(5.5e-8)};
    case TtiPropKind::String: return {Value("Wert " + p.Name() + " – Ä")};
    case TtiPropKind::Boolean: return {Value(true), Value(false)};
    case TtiPropKind::DateTime: return {Value(DateTime{45000.5})};
    case TtiPropKind::Enumeration: {
      std::vector<Value> v;
      for (size_t i = 0; i < p.EnumNames().size(); ++i) v.emplace_back(static_cast<int64_t>(i));
      return v;
    }
    default: return {};
  }
}

// The stored writable properties of an object (simple rows with a setter, less those stored nowhere).
std::vector<const TtiPropInfo*> StoredProps(const TtiObject& o) {
  std::vector<const TtiPropInfo*> rows;
  for (const TtiPropInfo* p : o.Props().SimpleRows())
    if (p->CanWrite() && !Listed(kNotStored, o.ClassName(), p->Name())) rows.push_back(p);
  return rows;
}

// Sets every stored writable property of every stored object of the tree to a value other than the one it
// had, the protection flags last (a protected object refuses every other change), but those listed in
// `leave`. The values depend only on the classes, so two trees built alike get the same ones.
void SetEveryProperty(const std::vector<TtiObject*>& objects, std::span<const TException> leave = {}) {
  for (bool protection : {false, true}) {
    for (TtiObject* o : objects) {
      for (const TtiPropInfo* p : StoredProps(*o)) {
        if ((p->Name() == "IsProtected") != protection || Listed(leave, o->ClassName(), p->Name())) continue;
        const Value before = p->Get(*o);
        bool changed = false;
        for (const Value& v : Candidates(*p)) {
          try {
            p->Set(*o, v);
          } catch (const std::exception&) {
            continue;
          }
          if (!(p->Get(*o) == before)) {
            changed = true;
            break;
          }
        }
        EXPECT_TRUE(changed) << o->ClassName() << "." << p->Name() << " keeps " << before.AsString();
      }
    }
  }
}

// The stored writable properties of the objects read equal those of the objects saved, object by object in
// walk order, except the store's listed exceptions.
template <size_t N>
void ExpectSameProperties(const char* store, const std::vector<TtiObject*>& saved, const std::vector<TtiObject*>& read,
                          const TException (&storeExceptions)[N]) {
  ASSERT_EQ(saved.size(), read.size()) << store;
  for (size_t i = 0; i < saved.size(); ++i) {
    ASSERT_EQ(saved[i]->ClassName(), read[i]->ClassName()) << store;
    for (const TtiPropInfo* p : StoredProps(*saved[i])) {
      if (Listed(storeExceptions, saved[i]->ClassName(), p->Name())) continue;
      EXPECT_EQ(p->Get(*read[i]).AsString(), p->Get(*saved[i]).AsString())
          << store << ": " << saved[i]->ClassName() << "." << p->Name() << " is not kept";
    }
  }
}

// One object of every class a library keeps: a subsystem of a channel and a test channel, a CCF measure,
// conditions, blocks and an element with DC measures.
std::unique_ptr<TComponentOp> EveryLibraryClass() {
  using namespace detail;
  auto bloc = NodeWith<TBlocOp>(std::make_unique<TBloc>());
  bloc->GetBloc()->SetDCMeasureOp(DCMeasureOp(0.9, 0.6, 0.99, {}, "Block"));
  auto element = NodeWith<TElementOp>(std::make_unique<TElement>());
  element->GetElement()->SetDCMeasureOp(DCMeasureOp(0.9, 0.6, 0.99, {}, "Element"));
  bloc->GetElementOpList()->Add(std::move(element));
  auto channel = NodeWith<TChannelOp>(std::make_unique<TChannel>());
  channel->GetBlocOpList()->Add(std::move(bloc));
  auto test = NodeWith<TTestChannelOp>(std::make_unique<TTestChannel>());
  test->GetBlocOpList()->Add(NodeWith<TBlocOp>(std::make_unique<TBloc>()));
  auto comp = std::make_unique<TComponent>();
  auto ccf = std::make_unique<TCCFMeasureOp>();
  ccf->SetCCFMeasure(std::make_unique<TCCFMeasure>());
  comp->GetCCFMeasureOps()->Add(std::move(ccf));
  auto cat = std::make_unique<TCatConditionOp>();
  cat->SetCatCondition(std::make_unique<TCatCondition>());
  comp->GetCatConditionOps()->Add(std::move(cat));
  auto pl = std::make_unique<TPLConditionOp>();
  pl->SetPLCondition(std::make_unique<TPLCondition>());
  comp->GetPLConditionOps()->Add(std::move(pl));
  auto sub = NodeWith<TComponentOp>(std::move(comp));
  sub->GetChannelOpList()->Add(std::move(channel));
  sub->GetChannelOpList()->Add(std::move(test));
  return sub;
}

// One object of every class of a project tree: the above in a safety function of a project.
std::unique_ptr<TProjectOp> EveryProjectClass() {
  using namespace detail;
  auto sf = NodeWith<TSFOp>(std::make_unique<TSF>());
  sf->GetComponentOpList()->Add(EveryLibraryClass());
  auto project = NodeWith<TProjectOp>(std::make_unique<TProject>());
  project->GetSFOpList()->Add(std::move(sf));
  return project;
}

// Every object of the tree new, to be written.
void ToCreate(TtiObject& root) {
  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  root.Iterate(toCreate);
}

// The subsystem of every library class given values that make each of its references count in its figures: a
// category-2 channel of 25 years limited by its test channel of 10 years, the DC of the element and of the
// block taken from their DC measures, the CCF score from its measure, the category's and the PL conditions
// ticked. Its texts are those a library can hold.
void GiveFigures(TComponentOp& sub) {
  using namespace detail;
  TComponent& c = *sub.GetComponent();
  c.SetName("Haltventil");
  c.SetCat(cat2);
  c.GetCCFMeasureOps()->Items(0)->GetCCFMeasure()->SetScore(65.0);
  TBlocOp& bloc = *sub.GetChannelOpList()->Items(0)->GetBlocOpList()->Items(0);
  bloc.GetBloc()->SetDCDet(detMeasures);
  bloc.GetBloc()->GetDCMeasureOp()->SetDC(0.75);
  TElement& e = *bloc.GetElementOpList()->Items(0)->GetElement();
  e.SetMTTFd(25.0);
  e.SetDCDet(detMeasures);
  e.GetDCMeasureOp()->SetDC(0.9);
  for (TDCMeasureOp* m : {bloc.GetBloc()->GetDCMeasureOp(), e.GetDCMeasureOp()})
    m->GetDCMeasure()->SetDependency("Testrate mindestens 100");
  auto tester = std::make_unique<TElement>();
  tester->SetMTTFd(10.0);
  sub.GetChannelOpList()->Items(1)->GetBlocOpList()->Items(0)->GetElementOpList()->Add(
      NodeWith<TElementOp>(std::move(tester)));
}

std::string Digits(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// What a tree evaluates to, node by node in walk order, every number to its last digit, with the status and
// the messages each node reports.
std::vector<std::string> Evaluation(TtiObject& root) {
  std::vector<std::string> lines;
  for (TtiObject* o : StoredObjects(root)) {
    std::string l = o->ClassName();
    if (auto* sf = dynamic_cast<TSFOp*>(o)) {
      l += " PL " + std::string(EnumName(sf->GetPLLazy())) + " PFH " + Digits(sf->GetPFHLazy()) + " PLr " +
           std::string(EnumName(sf->GetPLrLazy()));
    } else if (auto* c = dynamic_cast<TComponentOp*>(o)) {
      l += " MTTFd " + Digits(c->GetMTTFdLazy()) + " DCavg " + Digits(c->GetDCavgLazy()) + " CCF " +
           Digits(c->GetCCFScoreLazy()) + " PFH " + Digits(c->GetPFHLazy()) + " PL " +
           std::string(EnumName(c->GetPLLazy()));
    } else if (auto* ch = dynamic_cast<TChannelOp*>(o)) {
      l += " MTTFd " + Digits(ch->GetMTTFdLazy()) + " fit " + Digits(ch->GetMTTFdFit()) + " DC " +
           Digits(ch->GetDCLazy());
    } else if (auto* b = dynamic_cast<TBlocOp*>(o)) {
      l += " MTTFd " + Digits(b->GetMTTFdLazy()) + " DC " + Digits(b->GetDCLazy());
    } else if (auto* e = dynamic_cast<TElementOp*>(o)) {
      l += " MTTFd " + Digits(e->GetMTTFdLazy()) + " DC " + Digits(e->GetDCLazy());
    }
    // The nodes of the tree check their status; measures, conditions and data objects have none.
    if (dynamic_cast<TNodeInner*>(o) || dynamic_cast<TNodeElementAbs*>(o)) {
      TStatusMessages messages;
      l += " status " + std::string(EnumName(static_cast<TPerObjAbsEx*>(o)->CheckStatus(&messages, false)));
      for (const std::string& m : messages.Lines()) l += " | " + m;
    }
    lines.push_back(l);
  }
  return lines;
}

// Every reference of a tree, by the places of the objects in the walk: each object's owner (past the lists that
// hold it), the objects its published object properties hold (data objects, DC measure nodes, measures and
// conditions) and a channel node's test channel.
std::vector<std::string> References(TtiObject& root) {
  const std::vector<TtiObject*> objects = StoredObjects(root);
  auto place = [&](const TtiVisited* o) {
    if (!o) return std::string("none");
    const auto at = std::find(objects.begin(), objects.end(), o);
    return at == objects.end() ? std::string("outside the tree") : std::to_string(at - objects.begin());
  };
  std::vector<std::string> lines;
  for (TtiObject* o : objects) {
    const TtiObject* owner = o->GetOwner();
    while (owner && dynamic_cast<const TtiObjectList*>(owner)) owner = owner->GetOwner();
    std::string l = o->ClassName() + " owner " + place(owner);
    for (const TtiPropInfo* p : o->Props().ObjectRows())
      if (p->Kind() == TtiPropKind::Object) l += " " + p->Name() + " " + place(p->RawObject(*o));
    if (auto* ch = dynamic_cast<TChannelOp*>(o)) l += " TestChannelOp " + place(ch->GetTestChannelOp());
    lines.push_back(l);
  }
  return lines;
}

// What a store holds, not what its reader makes of it: in the ChannelOps rows, every channel node of a
// subsystem that has a test-channel node names it.
void ExpectChannelRowsNameTheirTestChannel(const char* store, const std::vector<TRow>& rows) {
  int pairs = 0;
  for (const TRow& channel : rows) {
    if (channel.at("istestchannelop") != "0") continue;
    for (const TRow& test : rows) {
      if (test.at("istestchannelop") != "1" || test.at("componentop") != channel.at("componentop")) continue;
      EXPECT_EQ(channel.at("testchannelop"), test.at("oid")) << store << ": row " << channel.at("oid");
      ++pairs;
    }
  }
  EXPECT_EQ(pairs, 1) << store;
}

class StoredPropertiesTest : public ProjectFileTest<TXMLProjectStore> {
protected:
  void SetUp() override {
    ProjectFileTest::SetUp();
    // The library file and the library mapper on it.
    RegisterPersistenceLayerIBX();
    lib_ = dir_ + "/Bibliothek.klb";
    CreateLibraryDatabaseFile(lib_);
    RegWriteString("database", "databasenamegen", GeneralFile());
    RegWriteString("database", "databasenamelib", lib_);
    // The clipboard, in memory, with its store in the test's folder.
    RegWriteString("xml", "cbfilename", dir_ + "/clip/cb.xml");
    ResetConfig();
    mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
    ClipMonitorShutdown();
    SetClipboard(std::make_unique<TMemoryClipboard>());
  }
  void TearDown() override {
    XMLMapperShutdown();
    ClipMonitorShutdown();
    SetClipboard(nullptr);
    mapper_.reset();
    ORMapperShutdown();
    ProjectFileTest::TearDown();
  }

  std::string lib_;
  std::unique_ptr<TORMapper_tiPer> mapper_;
};

}  // namespace

TEST_F(StoredPropertiesTest, EveryStoredWritablePropertyIsKeptByEveryStoreOfItsClass) {
  std::unique_ptr<TProjectOp> project = EveryProjectClass();
  TMetaData meta;
  std::vector<TtiObject*> objects = StoredObjects(*project);
  objects.push_back(&meta);
  SetEveryProperty(objects);
  // Every persistent class (every class with a table) is there.
  std::set<std::string> classes;
  for (TtiObject* o : objects) classes.insert(o->ClassName());
  for (const char* c : {"TMetaData", "TCCFMeasure", "TCCFMeasureOp", "TCatCondition", "TCatConditionOp", "TDCMeasure",
                        "TDCMeasureOp", "TElement", "TElementOp", "TBloc", "TBlocOp", "TChannel", "TTestChannel",
                        "TChannelOp", "TTestChannelOp", "TComponent", "TComponentOp", "TSF", "TSFOp", "TPLCondition",
                        "TPLConditionOp", "TProject", "TProjectOp"})
    EXPECT_EQ(classes.count(c), 1u) << c;
  for (const std::string& c : classes) EXPECT_NO_THROW(TableNameForClass(std::string_view(c))) << c;

  // A project file.
  ToCreate(*project);
  std::unique_ptr<TProjectOpList> read = SaveAndRead(*project);
  ASSERT_EQ(read->GetCount(), 1);
  ExpectSameProperties("project file", StoredObjects(*project), StoredObjects(*read->Items(0)), kProjectFile);
  meta.SetObjectState(posCreate);
  SaveXML(meta, db_, layer_);
  TMetaDataList metas;
  ReadXML(metas, db_, layer_);
  ASSERT_EQ(metas.GetCount(), 1);
  ExpectSameProperties("project file", {&meta}, {metas.Items(0)}, kProjectFile);

  // A library file: a subsystem built and set alike, with all below it, and the header record.
  TComponentOpList subs;
  subs.Add(EveryLibraryClass());
  SetEveryProperty(StoredObjects(subs), kLibraryFile);
  ToCreate(subs);
  mapper_->SaveComponentOpList(subs);
  TComponentOpList subsRead;
  ASSERT_TRUE(mapper_->ReadComponentOpList(subsRead));
  ExpectSameProperties("library file", StoredObjects(subs), StoredObjects(subsRead), kLibraryFile);
  meta.SetObjectState(posCreate);
  mapper_->SaveMetaData(meta);  // which stamps it with the time of the save
  TMetaData metaRead;
  mapper_->ReadMetaData(metaRead);
  ExpectSameProperties("library file", {&meta}, {&metaRead}, kLibraryFile);

  // The clipboard: the project with all below it.
  TClipMonitor& m = GetClipMonitor();
  m.CopyToClipboard(*project);
  TProjectOpList pasted;
  m.PasteFromClipboard(pasted);
  ASSERT_EQ(pasted.GetCount(), 1);
  ExpectSameProperties("clipboard", StoredObjects(*project), StoredObjects(*pasted.Items(0)), kClipboard);
}

// A tree built through the interface, as a user's program builds it (no identifier set anywhere, nothing saved
// before), with every kind of reference, saved to each store and reopened in a fresh program state: it
// evaluates to the last digit as before and keeps every reference, and the store itself holds the pairing of
// the channel with its test channel (the readers pair an empty one, which would hide a pairing not written).
TEST_F(StoredPropertiesTest, ATreeBuiltInMemoryEvaluatesAlikeAfterEveryStore) {
  {
    auto db = std::make_unique<TPersistenceDB_FB>(GeneralFile());
    db->Connect();
    SetPersistenceDB(std::move(db));
    CalcPoolShutdown();
  }
  auto project = [] {
    std::unique_ptr<TProjectOp> p = EveryProjectClass();
    GiveFigures(*p->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0));
    return p;
  };

  // A project file, saved and opened by the project manager.
  {
    std::unique_ptr<TProjectOp> built = project();
    // The test channel counts: 2 x 10 years limit the channel of 25.
    ASSERT_EQ(built->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0)->GetMTTFdLazy(), 20.0);
    const std::vector<std::string> figures = Evaluation(*built), refs = References(*built);
    const std::string file = dir_ + "/Maschine.kvd";
    built->GetProject()->SetFileName(file);
    TProjectManager().SaveProject(*built);
    XMLMapperShutdown();
    TProjectManager fresh;
    TProjectOp* read = fresh.OpenProjectFile(file, true);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(Evaluation(*read), figures);
    EXPECT_EQ(References(*read), refs);
    XMLMapperShutdown();
    ExpectChannelRowsNameTheirTestChannel("project file", Rows(file, cTIPersistXML, "ChannelOps"));
    tiPerMgr().DisconnectDatabase(file, cTIPersistXML);
  }

  // A library holds subsystems and what is below them: the subsystem, each object marked new through the
  // interface (SetDirty), none given an identifier.
  {
    TComponentOpList built;
    built.Add(EveryLibraryClass());
    GiveFigures(*built.Items(0));
    for (TtiObject* o : StoredObjects(built)) o->SetDirty(true);
    const std::vector<std::string> figures = Evaluation(built), refs = References(built);
    mapper_->SaveComponentOpList(built);
    mapper_.reset();
    mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
    TComponentOpList read;
    ASSERT_TRUE(mapper_->ReadComponentOpList(read));
    EXPECT_EQ(Evaluation(read), figures);
    EXPECT_EQ(References(read), refs);
    ExpectChannelRowsNameTheirTestChannel("library", LibTableRows(lib_, "ChannelOps"));
  }

  // The clipboard: copied, and pasted by a monitor of its own.
  {
    std::unique_ptr<TProjectOp> built = project();
    const std::vector<std::string> figures = Evaluation(*built), refs = References(*built);
    GetClipMonitor().CopyToClipboard(*built);
    ClipMonitorShutdown();
    TProjectOpList pasted;
    GetClipMonitor().PasteFromClipboard(pasted);
    ASSERT_EQ(pasted.GetCount(), 1);
    EXPECT_EQ(Evaluation(*pasted.Items(0)), figures);
    EXPECT_EQ(References(*pasted.Items(0)), refs);
    const std::string payload = dir_ + "/clip/payload.xml";
    std::ofstream(payload, std::ios::binary) << GetClipMonitor().GetKVDData();
    RegisterPersistenceLayerXMLLight();
    ExpectChannelRowsNameTheirTestChannel("clipboard", Rows(payload, cTIPersistXMLLight, "ChannelOps"));
  }
}

}  // namespace kelvado::testing
