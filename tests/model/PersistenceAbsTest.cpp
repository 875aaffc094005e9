// The abstract mapper's dispatch by class.
#include "model/PersistenceAbs.h"

#include <string>
#include <vector>

#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {
namespace {

// Records which operation was called on which object.
class TRecordingMapper : public TAbsMapper {
public:
  std::vector<std::string> calls;
  bool readResult = true;

  std::string GetStoreFileName() override { return "store"; }
  void SetOnAfterRead(TNotifyEvent) override {}
  void SetOnAfterSave(TNotifyEvent) override {}
  void SetOnBeforeRead(TNotifyEvent) override {}
  void SetOnBeforeSave(TNotifyEvent) override {}

#define KV_READ(X) bool Read##X(T##X& o) override { return Rec("Read" #X, o); }
#define KV_SAVE(X) void Save##X(T##X& o) override { Rec("Save" #X, o); }
  KV_READ(CatConditionOp) KV_READ(CCFMeasureOp) KV_READ(DCMeasureOp) KV_READ(ElementOp) KV_READ(BlocOp)
  KV_READ(ChannelOp) KV_READ(ComponentOp) KV_READ(SFOp) KV_READ(ProjectOp) KV_READ(CatConditionOpList)
  KV_READ(ElementOpList) KV_READ(BlocOpList) KV_READ(ChannelOpList) KV_READ(ComponentOpList) KV_READ(SFOpList)
  KV_READ(ProjectOpList)
  KV_SAVE(CatConditionOp) KV_SAVE(CCFMeasureOp) KV_SAVE(DCMeasureOp) KV_SAVE(ElementOp) KV_SAVE(BlocOp)
  KV_SAVE(ChannelOp) KV_SAVE(ComponentOp) KV_SAVE(SFOp) KV_SAVE(ProjectOp) KV_SAVE(CatConditionOpList)
  KV_SAVE(CCFMeasureOpList) KV_SAVE(DCMeasureOpList) KV_SAVE(ElementOpList) KV_SAVE(BlocOpList)
  KV_SAVE(ChannelOpList) KV_SAVE(ComponentOpList) KV_SAVE(SFOpList) KV_SAVE(ProjectOpList)
#undef KV_READ
#undef KV_SAVE
  bool ReadCCFMeasureOpList(TCCFMeasureOpList& o, bool fromLibrary) override {
    return Rec(fromLibrary ? "ReadCCFMeasureOpList(library)" : "ReadCCFMeasureOpList(general)", o);
  }
  bool ReadDCMeasureOpList(TDCMeasureOpList& o, bool fromLibrary) override {
    return Rec(fromLibrary ? "ReadDCMeasureOpList(library)" : "ReadDCMeasureOpList(general)", o);
  }

private:
  bool Rec(const std::string& op, TtiObject& o) {
    calls.push_back(op + " " + o.ClassName());
    return readResult;
  }
};

TEST(AbsMapper, DispatchesByTheFirstMatchingClass) {
  TRecordingMapper m;
  TTestChannelOp test;
  TCCFMeasureOpList ccf;
  TDCMeasureOpList dc;
  TProjectOpList projects;
  EXPECT_TRUE(m.Read(test));
  EXPECT_TRUE(m.Read(ccf));
  EXPECT_TRUE(m.Read(dc));
  m.readResult = false;
  EXPECT_FALSE(m.Read(projects));
  m.Save(test);
  m.Save(ccf);
  EXPECT_EQ(m.calls, (std::vector<std::string>{"ReadChannelOp TTestChannelOp",
                                               "ReadCCFMeasureOpList(library) TCCFMeasureOpList",
                                               "ReadDCMeasureOpList(library) TDCMeasureOpList",
                                               "ReadProjectOpList TProjectOpList", "SaveChannelOp TTestChannelOp",
                                               "SaveCCFMeasureOpList TCCFMeasureOpList"}));
}

TEST(AbsMapper, OtherClassesAreNeitherReadNorSaved) {
  TRecordingMapper m;
  TElement data;
  TPLConditionOp plCondition;
  TPLConditionOpList plConditions;
  EXPECT_FALSE(m.Read(data));
  EXPECT_FALSE(m.Read(plCondition));
  EXPECT_FALSE(m.Read(plConditions));
  m.Save(data);
  m.Save(plConditions);
  EXPECT_TRUE(m.calls.empty());
}

TEST(AbsMapper, RefreshEmptiesTheReadAndChangedObjectsThenReads) {
  TRecordingMapper m;
  TBlocOp bloc;
  bloc.SetBloc(std::make_unique<TBloc>());
  auto created = std::make_unique<TElementOp>();
  auto deleted = std::make_unique<TElementOp>();
  TElementOp* pCreated = created.get();
  TElementOp* pDeleted = deleted.get();
  bloc.GetElementOpList()->Add(std::move(created));
  bloc.GetElementOpList()->Add(std::move(deleted));
  bloc.SetObjectState(posClean);
  bloc.GetBloc()->SetObjectState(posUpdate);
  pCreated->SetObjectState(posCreate);
  pDeleted->SetObjectState(posDelete);

  m.Refresh(bloc);
  EXPECT_EQ(bloc.GetObjectState(), posEmpty);
  EXPECT_EQ(bloc.GetBloc()->GetObjectState(), posEmpty);
  EXPECT_EQ(pCreated->GetObjectState(), posCreate);
  EXPECT_EQ(pDeleted->GetObjectState(), posDelete);
  EXPECT_EQ(m.calls, std::vector<std::string>{"ReadBlocOp TBlocOp"});
}

}  // namespace
}  // namespace kelvado::testing
