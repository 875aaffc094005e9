#include "model/BOMNodeRules.h"

#include <filesystem>

#include "model/GlobalsFolders.h"
#include "tests/model/SubsystemTestEnv.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;

// A project with one safety function whose category-2 subsystem has two channels (the category uses the
// first) and a test channel; every channel has one block of one element.
class NodeRulesTest : public testing::SubsystemTest {
protected:
  void SetUp() override {
    SubsystemTest::SetUp();
    project_ = std::make_unique<TProjectOp>();
    project_->SetProject(std::make_unique<TProject>());
    auto sf = SafetyFunction();
    auto comp = Subsystem(cat2);
    comp->GetChannelOpList()->Add(Channel({{50.0, 0.9}}));
    comp->GetChannelOpList()->Add(Channel({{50.0, 0.9}}));
    comp->GetChannelOpList()->Add(TestChannel(50.0));
    comp_ = comp.get();
    sf_ = sf.get();
    sf->GetComponentOpList()->Add(std::move(comp));
    project_->GetSFOpList()->Add(std::move(sf));
    used_ = comp_->GetChannelOpList()->Items(0);
    unused_ = comp_->GetChannelOpList()->Items(1);
    test_ = comp_->GetChannelOpList()->Items(2);
  }
  void TearDown() override {
    project_.reset();
    SubsystemTest::TearDown();
  }
  static TBlocOp* BlocOf(TChannelOp* ch) { return ch->GetBlocOpList()->Items(0); }
  static TElementOp* ElementOf(TChannelOp* ch) { return BlocOf(ch)->GetElementOpList()->Items(0); }

  std::unique_ptr<TProjectOp> project_;
  TSFOp* sf_ = nullptr;
  TComponentOp* comp_ = nullptr;
  TChannelOp* used_ = nullptr;
  TChannelOp* unused_ = nullptr;
  TChannelOp* test_ = nullptr;
};

// Edit, Add, Delete, Copy, Cut, AddFromLib, CopyToLib, Move, Up, Relevant.
std::string Rules(const TtiObject* o) {
  std::string s;
  for (bool b : {CanEdit(o), CanAdd(o), CanDelete(o), CanCopy(o), CanCut(o), CanAddFromLib(o), CanCopyToLib(o),
                 CanMove(o), IsPerObjAbsEx(o), IsNodeRelevant(o)})
    s += b ? '1' : '0';
  return s;
}

TEST_F(NodeRulesTest, CommandsOfEachNodeClass) {
  ASSERT_TRUE(used_->IsRelevant());
  ASSERT_TRUE(test_->IsRelevant());
  ASSERT_FALSE(unused_->IsRelevant());
  //                                      EAdDCuLTMUR
  EXPECT_EQ(Rules(project_->GetSFOpList()), "1100000001");
  EXPECT_EQ(Rules(project_.get()), "1101000111");
  EXPECT_EQ(Rules(sf_), "1111110111");
  EXPECT_EQ(Rules(comp_), "1011101111");
  EXPECT_EQ(Rules(used_), "1100010011");
  EXPECT_EQ(Rules(test_), "1100010011");  // a test channel is a channel: never copied or deleted on its own
  EXPECT_EQ(Rules(BlocOf(used_)), "1111111111");
  EXPECT_EQ(Rules(ElementOf(used_)), "1011101111");
  EXPECT_EQ(Rules(ElementOf(used_)->GetElement()), "0000000011");  // a data object is no tree node
  EXPECT_EQ(Rules(nullptr), "0000000001");
}

TEST_F(NodeRulesTest, NodesThatDoNotCountAreReadOnlyUnlessAllowWriteAll) {
  // The second channel is not used by category 2: it, its block and its element neither count nor change.
  EXPECT_EQ(Rules(unused_), "0000000010");
  EXPECT_FALSE(IsNodeRelevant(BlocOf(unused_)));
  EXPECT_FALSE(CanDelete(BlocOf(unused_)));
  EXPECT_FALSE(IsNodeRelevant(ElementOf(unused_)));
  EXPECT_FALSE(CanEdit(ElementOf(unused_)));

  SetOpt("allowwriteall", true);
  EXPECT_TRUE(CanEdit(unused_));
  EXPECT_TRUE(CanAdd(unused_));
  EXPECT_TRUE(CanDelete(BlocOf(unused_)));
  EXPECT_FALSE(IsNodeRelevant(unused_));  // relevance does not depend on the option
}

TEST_F(NodeRulesTest, WriteProtection) {
  comp_->SetIsProtected(true);
  EXPECT_FALSE(CanEdit(comp_));
  EXPECT_FALSE(CanMove(comp_));
  EXPECT_TRUE(CanDelete(comp_));  // its owner decides
  sf_->SetIsProtected(true);
  EXPECT_FALSE(CanDelete(comp_));
  EXPECT_FALSE(CanCut(comp_));
  EXPECT_TRUE(CanCopyToLib(comp_));

  TBlocOp* bloc = BlocOf(used_);
  bloc->SetIsProtected(true);
  EXPECT_FALSE(CanDelete(bloc->GetElementOpList()->Items(0)));
  used_->SetIsProtected(true);
  EXPECT_FALSE(CanDelete(bloc));

  // The option lifts the protection for editing, not for deleting below a protected owner.
  SetOpt("allowwriteall", true);
  EXPECT_TRUE(CanEdit(comp_));
  EXPECT_TRUE(CanMove(comp_));
  EXPECT_FALSE(CanDelete(bloc));
}

TEST_F(NodeRulesTest, NodesHeldDirectlyInALibraryListCanBeDeleted) {
  TElementOpList elements;
  elements.Add(Element(50.0));
  EXPECT_TRUE(CanDelete(elements.Items(0)));
  TBlocOpList blocs;
  blocs.Add(Bloc({{50.0, 0.0}}));
  EXPECT_TRUE(CanDelete(blocs.Items(0)));
  TComponentOpList components;
  components.Add(Subsystem(cat3));
  EXPECT_TRUE(CanDelete(components.Items(0)));
  // A node that sits nowhere is not deleted from anywhere.
  auto lone = Element(50.0);
  EXPECT_FALSE(CanDelete(lone.get()));
}

TEST(NodeRulesTexts, CaptionAndSectionHelpers) {
  EXPECT_EQ(CutAtUnderscore("FormMain_1"), "FormMain");
  EXPECT_EQ(CutAtUnderscore("FormMain_1_2"), "FormMain");
  EXPECT_EQ(CutAtUnderscore("_x"), "_x");
  EXPECT_EQ(CutAtUnderscore("Plain"), "Plain");
  EXPECT_EQ(StripAmpersands("&Datei && &Ende"), "Datei  Ende");
  EXPECT_TRUE(StrContains("Ma", "FormMain"));
  EXPECT_FALSE(StrContains("ma", "FormMain"));
  EXPECT_FALSE(StrContains("", "FormMain"));
}

TEST_F(NodeRulesTest, BrowseFolders) {
  const std::string base = dir_ + "/P";
  const std::string work = dir_ + "/work";
  fs::create_directories(base + "/Docs/Sheets");
  fs::create_directories(work + "/Projects");
  RegWriteString("opt", "defworkdirfolder", work);
  RegWriteString("opt", "projectfolder", "Projects");
  const std::string projects = work + "/Projects/";
  ASSERT_EQ(GetProjectsFolder() + "/", projects);

  std::string start, folder;
  bool found = false;
  ResolveBrowseFolder("", base, "../Docs", true, start, folder, found);
  EXPECT_EQ(folder, base + "/Docs/");
  EXPECT_TRUE(found);
  EXPECT_EQ(start, base + "/Docs/");

  // An absolute subfolder is used as it is; a relative file name adds its own subfolder to the start.
  ResolveBrowseFolder("../Sheets/a.pdf", base, base + "/Docs", true, start, folder, found);
  EXPECT_EQ(folder, base + "/Docs/");
  EXPECT_TRUE(found);
  EXPECT_EQ(start, base + "/Docs/Sheets/");

  // An absolute file name whose folder exists starts there.
  ResolveBrowseFolder(base + "/Docs/Sheets/a.pdf", base, "", false, start, folder, found);
  EXPECT_EQ(folder, base + "/");
  EXPECT_TRUE(found);
  EXPECT_EQ(start, base + "/Docs/Sheets/");

  // Without a base, the projects folder; a missing folder starts the dialog in the base or projects folder.
  ResolveBrowseFolder("", "", "../Docs", true, start, folder, found);
  EXPECT_EQ(folder, projects);
  EXPECT_FALSE(found);
  ResolveBrowseFolder("", base, "../Missing", true, start, folder, found);
  EXPECT_EQ(folder, base + "/Missing/");
  EXPECT_EQ(start, base + "/");
  // An empty subfolder names no folder: the base is used, not found.
  ResolveBrowseFolder("", base, "", true, start, folder, found);
  EXPECT_EQ(folder, base + "/");
  EXPECT_FALSE(found);
}

}  // namespace
}  // namespace kelvado
