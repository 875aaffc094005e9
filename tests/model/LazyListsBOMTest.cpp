// The shared item lists: read once through the mapper, freed when the mapper lets go of its store.
#include "model/LazyListsBOM.h"

#include <gtest/gtest.h>

#include <map>

#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/PersistenceAbs.h"

using namespace kelvado;

namespace {

// Counts the reads of each list class and gives every list read one new item.
class TCountingMapper : public TAbsMapper {
public:
  std::map<std::string, int> reads;
  void Release() { DoRelease(); }

  std::string GetStoreFileName() override { return "lib.klb"; }
  void SetOnAfterRead(TNotifyEvent) override {}
  void SetOnAfterSave(TNotifyEvent) override {}
  void SetOnBeforeRead(TNotifyEvent) override {}
  void SetOnBeforeSave(TNotifyEvent) override {}
  bool ReadCatConditionOp(TCatConditionOp&) override { return false; }
  bool ReadCCFMeasureOp(TCCFMeasureOp&) override { return false; }
  bool ReadDCMeasureOp(TDCMeasureOp&) override { return false; }
  bool ReadElementOp(TElementOp&) override { return false; }
  bool ReadBlocOp(TBlocOp&) override { return false; }
  bool ReadChannelOp(TChannelOp&) override { return false; }
  bool ReadComponentOp(TComponentOp&) override { return false; }
  bool ReadSFOp(TSFOp&) override { return false; }
  bool ReadProjectOp(TProjectOp&) override { return false; }
  bool ReadCatConditionOpList(TCatConditionOpList&) override { return false; }
  bool ReadCCFMeasureOpList(TCCFMeasureOpList& l, bool lib) override {
    ++reads[lib ? "ccfLib" : "ccfGen"];
    l.Add(std::make_unique<TCCFMeasureOp>());
    return true;
  }
  bool ReadDCMeasureOpList(TDCMeasureOpList& l, bool lib) override {
    ++reads[lib ? "dcLib" : "dcGen"];
    l.Add(std::make_unique<TDCMeasureOp>());
    return true;
  }
  bool ReadElementOpList(TElementOpList& l) override { return Count<TElementOp>("elements", l); }
  bool ReadBlocOpList(TBlocOpList& l) override { return Count<TBlocOp>("blocs", l); }
  bool ReadChannelOpList(TChannelOpList& l) override { return Count<TChannelOp>("channels", l); }
  bool ReadComponentOpList(TComponentOpList& l) override { return Count<TComponentOp>("subsystems", l); }
  bool ReadSFOpList(TSFOpList& l) override { return Count<TSFOp>("sfs", l); }
  bool ReadProjectOpList(TProjectOpList& l) override { return Count<TProjectOp>("projects", l); }
  void SaveCatConditionOp(TCatConditionOp&) override {}
  void SaveCCFMeasureOp(TCCFMeasureOp&) override {}
  void SaveDCMeasureOp(TDCMeasureOp&) override {}
  void SaveElementOp(TElementOp&) override {}
  void SaveBlocOp(TBlocOp&) override {}
  void SaveChannelOp(TChannelOp&) override {}
  void SaveComponentOp(TComponentOp&) override {}
  void SaveSFOp(TSFOp&) override {}
  void SaveProjectOp(TProjectOp&) override {}
  void SaveCatConditionOpList(TCatConditionOpList&) override {}
  void SaveCCFMeasureOpList(TCCFMeasureOpList&) override { ++reads["saveCCF"]; }
  void SaveDCMeasureOpList(TDCMeasureOpList&) override {}
  void SaveElementOpList(TElementOpList&) override { ++reads["saveElements"]; }
  void SaveBlocOpList(TBlocOpList&) override {}
  void SaveChannelOpList(TChannelOpList&) override {}
  void SaveComponentOpList(TComponentOpList&) override {}
  void SaveSFOpList(TSFOpList&) override {}
  void SaveProjectOpList(TProjectOpList&) override {}

private:
  template <class Item, class L>
  bool Count(const char* what, L& l) {
    ++reads[what];
    l.Add(std::make_unique<Item>());
    return true;
  }
};

TEST(LazyListsBOMTest, AListIsReadOnceUntilTheMapperReleasesIt) {
  TCountingMapper mapper;
  TLazyListsBOM lists(&mapper);
  TComponentOpList* first = lists.GetComponentOpList();
  EXPECT_EQ(lists.GetComponentOpList(), first);
  EXPECT_EQ(mapper.reads["subsystems"], 1);
  EXPECT_EQ(first->GetCount(), 1);
  mapper.Release();
  lists.GetComponentOpList();
  EXPECT_EQ(mapper.reads["subsystems"], 2);
  // Saving touches only lists that are held.
  lists.SaveElementOpList();
  EXPECT_EQ(mapper.reads["saveElements"], 0);
  lists.GetElementOpList();
  lists.SaveElementOpList();
  EXPECT_EQ(mapper.reads["saveElements"], 1);
}

TEST(LazyListsBOMTest, FreeingByClassAndTheGeneralCatalogues) {
  TCountingMapper mapper;
  {
    TLazyListsBOM lists(&mapper);
    lists.GetCCFMeasureOpListGen();
    lists.GetCCFMeasureOpListLib();
    lists.GetDCMeasureOpListGen();
    lists.FreeListsOfClass(TCCFMeasureOpList::StaticClass());
    lists.GetCCFMeasureOpListGen();
    lists.GetCCFMeasureOpListLib();
    EXPECT_EQ(mapper.reads["ccfGen"], 2);
    EXPECT_EQ(mapper.reads["ccfLib"], 2);
    // FreeLists keeps the general database's catalogues.
    lists.FreeLists();
    lists.GetDCMeasureOpListGen();
    lists.GetCCFMeasureOpListLib();
    EXPECT_EQ(mapper.reads["dcGen"], 1);
    EXPECT_EQ(mapper.reads["ccfLib"], 3);
    // A clone holds copies and no mapper.
    std::unique_ptr<TLazyListsBOM> copy = lists.Clone();
    EXPECT_EQ(copy->GetMapper(), nullptr);
    EXPECT_EQ(copy->GetDCMeasureOpListGen()->GetCount(), 1);
    EXPECT_NE(copy->GetDCMeasureOpListGen(), lists.GetDCMeasureOpListGen());
    // Nodes go to the list of their class; a test-channel node to the channels.
    lists.AddOp(std::make_unique<TTestChannelOp>());
    EXPECT_EQ(lists.GetChannelOpList()->GetCount(), 2);
    lists.SetProtected(true);
    EXPECT_TRUE(lists.GetChannelOpList()->Items(1)->GetIsProtected());
  }
  // The holder is gone: the mapper's release event no longer reaches it.
  mapper.Release();
}

}  // namespace
