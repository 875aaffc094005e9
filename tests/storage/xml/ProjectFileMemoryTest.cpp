// The project-file suite on the in-memory layer, and what only that layer lets a test see: the statements a
// group run sends to the store.
#include <algorithm>

#include "tests/framework/MemoryLayer.h"
#include "tests/storage/xml/ProjectFileSuite.h"

namespace kelvado::testing {

struct TMemoryProjectStore {
  static std::string LayerName() { return test::cMemoryLayerName; }
  void RegisterLayer() { test::RegisterMemoryLayer(); }
  std::string NewStore(const std::string& name) {
    tiPerMgr().CreateDatabase(name, "", "", LayerName());
    tiPerMgr().ConnectDatabase(name, "", "", "", LayerName());
    return name;
  }
  void TearDown() { test::MemStoresClear(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Memory, ProjectFiles, ::testing::Types<TMemoryProjectStore>);

namespace {

using ProjectFilesOnMemory = ProjectFileTest<TMemoryProjectStore>;

// The row changes a store received since event `from`.
std::vector<std::string> Changes(const std::string& db, size_t from) {
  const std::vector<std::string>& events = test::MemStore(db).Journal.Events;
  std::vector<std::string> changes;
  for (size_t i = from; i < events.size(); ++i)
    for (const char* verb : {"insert", "update", "delete"})
      if (events[i].rfind(verb, 0) == 0) changes.push_back(events[i]);
  return changes;
}

TEST_F(ProjectFilesOnMemory, ReadingChangesNothingAndASecondSaveWritesNothing) {
  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, db_, layer_);
  const size_t saved = test::MemStore(db_).Journal.Events.size();
  ReadProjects(db_, layer_);
  SaveXML(*f.Root, db_, layer_);
  EXPECT_TRUE(Changes(db_, saved).empty());
  EXPECT_EQ(test::MemStore(db_).Journal.RollBacks, 0);
}

TEST_F(ProjectFilesOnMemory, AFailedReadIsRolledBackAndLeavesTheRowsAsTheyWere) {
  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, db_, layer_);
  SetCell(db_, layer_, "Components", OIDOf(f.Sub->GetComponent()), "Cat", "cat9");
  const test::TMemTables before = test::MemStore(db_).Tables;
  EXPECT_THROW(ReadProjects(db_, layer_), EIOError);
  EXPECT_EQ(test::MemStore(db_).Journal.RollBacks, 1);
  EXPECT_EQ(test::MemStore(db_).Tables.size(), before.size());
  for (const auto& [name, table] : before) EXPECT_EQ(test::MemStore(db_).Tables.at(name).Rows, table.Rows) << name;
}

// Every object of a tree with its state, in the order of a walk.
std::vector<std::pair<TtiObject*, TPerObjectState>> States(TtiObject& root) {
  struct TVisStates : TtiVisitor {
    std::vector<std::pair<TtiObject*, TPerObjectState>> Met;
    void Execute(TtiVisited* visited) override {
      TtiVisitor::Execute(visited);
      if (auto* o = dynamic_cast<TtiObject*>(visited)) Met.emplace_back(o, o->GetObjectState());
    }
  } vis;
  root.Iterate(vis);
  return vis.Met;
}

// A save with a census of the tree gives each visitor the objects of its class and state instead of a walk: the
// store receives the statements a save by walks sends, in the same order.
TEST_F(ProjectFilesOnMemory, ASaveWithACensusSendsTheStatementsOfASaveByWalks) {
  TFullProject f = BuildFullProject();
  const auto before = States(*f.Root);
  ASSERT_GT(std::count_if(before.begin(), before.end(), [](const auto& m) { return m.second == posDelete; }), 0);
  const size_t from = test::MemStore(db_).Journal.Events.size();
  SaveXML(*f.Root, db_, layer_);
  const std::vector<std::string> walked = Changes(db_, from);

  const std::string second = NewStore("second");
  CreateXMLTables(second, layer_);
  for (const auto& [object, state] : before) object->SetObjectState(state);
  const size_t from2 = test::MemStore(second).Journal.Events.size();
  {
    const TXMLSaveCensus census(*f.Root);
    SaveXML(*f.Root, second, layer_);
  }
  EXPECT_EQ(Changes(second, from2), walked);
  EXPECT_GT(walked.size(), 20u);
  for (const auto& [object, state] : States(*f.Root))
    EXPECT_TRUE(state == posClean || state == posDeleted) << object->ClassName();
}

TEST_F(ProjectFilesOnMemory, GroupsAreRegisteredOnceInFull) {
  const size_t mappings = tiPerMgr().GetVisitorManager().MappingCount();
  EXPECT_EQ(mappings, 34u + 67u);
  RegisterVisitorsXML();
  EXPECT_EQ(tiPerMgr().GetVisitorManager().MappingCount(), mappings);
}

}  // namespace
}  // namespace kelvado::testing
