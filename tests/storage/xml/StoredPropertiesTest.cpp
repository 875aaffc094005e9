// Every stored writable property of every persistent class, walked through the classes' property tables, set
// to a value other than its default and read back through each store that keeps the class: a project file
// (the XML layer), a library file (the Firebird layer) and the clipboard. A property that is given its row in
// the table but no column in a store is caught here, whoever adds it.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "platform/Clipboard.h"
#include "storage/db/LibSchema.h"
#include "storage/db/PersistenceDBMapper.h"
#include "storage/xml/ClipMonitor.h"
#include "tests/storage/db/GeneralDBTestEnv.h"
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

}  // namespace kelvado::testing
