#include "framework/tiVisitorDB.h"

#include <gtest/gtest.h>

#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "tests/framework/MemoryLayer.h"
#include "tests/framework/StoreConformance.h"

namespace kelvado::test {

namespace {

// Writes every accepted item with one SQL statement (the shape of the library writers).
class TVisSQLAmountUpdate : public TVisOwnedQryUpdate {
public:
  TI_CLASS(TVisSQLAmountUpdate)
  bool AcceptVisitor() override {
    auto* item = dynamic_cast<TTestItem*>(GetVisited());
    return item && item->GetObjectState() == posUpdate;
  }
  void Init() override { Query().SetSQLText("update TestItem set Amount = :Amount where OID = :OID"); }
  void SetupParams() override {
    auto& item = static_cast<TTestItem&>(*GetVisitedObject());
    Query().SetParamAsInteger("Amount", item.GetAmount());
    Query().SetParamAsString("OID", item.GetOID().GetAsString());
  }
};

const TtiClass& TVisSQLAmountUpdate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisSQLAmountUpdate, TVisOwnedQryUpdate>(), "TVisSQLAmountUpdate");
  return c;
}

// Reads rows through an SQL select and stops after `Limit` rows.
class TVisSQLReadTwo : public TVisOwnedQrySelect {
public:
  TI_CLASS(TVisSQLReadTwo)
  bool AcceptVisitor() override { return dynamic_cast<TTestItems*>(GetVisited()) != nullptr; }
  void Init() override { Query().SetSQLText("select * from TestItem"); }
  void MapRowToObject() override {
    auto& list = static_cast<TTestItems&>(*GetVisitedObject());
    list.AddItem(Query().FieldAsString("OID"), Query().FieldAsString("Name"), Query().FieldAsInteger("Amount"),
                 posClean);
    if (list.Count() == 2) Query().SetContinueScan(false);
  }
};

const TtiClass& TVisSQLReadTwo::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisSQLReadTwo, TVisOwnedQrySelect>(), "TVisSQLReadTwo");
  return c;
}

// A select visitor that forgot MapRowToObject.
class TVisNoMap : public TVisOwnedQrySelect {
public:
  TI_CLASS(TVisNoMap)
  bool AcceptVisitor() override { return dynamic_cast<TTestItems*>(GetVisited()) != nullptr; }
  void Init() override { Query().SetSQLText("select * from TestItem"); }
};

const TtiClass& TVisNoMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisNoMap, TVisOwnedQrySelect>(), "TVisNoMap");
  return c;
}

// Writes a new item and marks it clean at once, as the project-file writers do.
class TVisEagerCreate : public TVisTestItemWrite<posCreate> {
public:
  TI_CLASS(TVisEagerCreate)
  void Execute(TtiVisited* visited) override {
    TVisTestItemWrite<posCreate>::Execute(visited);
    if (AcceptVisitor()) GetVisitedObject()->SetObjectState(posClean);
  }
};

const TtiClass& TVisEagerCreate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisEagerCreate, TtiPerObjVisitor>(), "TVisEagerCreate");
  return c;
}

// A shut-down arriving in the middle of a run.
class TVisTerminateOnStop : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisTerminateOnStop)
  bool AcceptVisitor() override {
    auto* item = dynamic_cast<TTestItem*>(GetVisited());
    return item && item->GetName() == "STOP";
  }
  void Execute(TtiVisited* visited) override {
    TtiPerObjVisitor::Execute(visited);
    if (AcceptVisitor()) tiPerMgr().Terminate();
  }
};

const TtiClass& TVisTerminateOnStop::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTerminateOnStop, TtiPerObjVisitor>(), "TVisTerminateOnStop");
  return c;
}

class CaptureLog : public TtiLogToAbs {
public:
  explicit CaptureLog(std::vector<std::string>* lines) : lines_(lines) {}
  void Log(const std::string&, const std::string&, const std::string& message, TtiLogSeverity severity) override {
    if (severity == lsQueryTiming) lines_->push_back(message);
  }

private:
  std::vector<std::string>* lines_;
};

}  // namespace

class VisitorDB : public ::testing::Test {
protected:
  void SetUp() override {
    tiPerMgrShutdown();
    RegisterMemoryLayer();
    TMemTable t;
    t.Name = cTestTable;
    t.Columns = {"OID", "Name", "Amount"};
    t.Rows = {{{"OID", Value("1")}, {"NAME", Value("a")}, {"AMOUNT", Value(1)}},
              {{"OID", Value("2")}, {"NAME", Value("b")}, {"AMOUNT", Value(2)}},
              {{"OID", Value("3")}, {"NAME", Value("c")}, {"AMOUNT", Value(3)}}};
    MemStore("v.mem").Tables["TESTITEM"] = t;
    tiPerMgr().ConnectDatabase("v.mem", "", "", "", cMemoryLayerName);
  }
  void TearDown() override {
    tiPerMgrShutdown();
    MemStoresClear();
  }
  TMemJournal& Journal() { return MemStore("v.mem").Journal; }
};

TEST_F(VisitorDB, UpdateVisitorRunsOneStatementPerAcceptedObjectInTheGroupsTransaction) {
  std::vector<std::string> timing;
  TtiLogToAbs* target = GLog().RegisterLog(std::make_unique<CaptureLog>(&timing));
  const TtiSevToLog sev = GLog().SevToLog();
  GLog().SetSevToLog(sev | tiSevBit(lsQueryTiming));
  tiPerMgr().RegSaveVisitor(TVisSQLAmountUpdate::StaticClass());
  TTestItems list;
  list.AddItem("1", "a", 10, posUpdate);
  list.AddItem("2", "b", 2, posClean);
  list.AddItem("3", "c", 30, posUpdate);
  tiPerMgr().Save(&list);
  GLog().UnRegisterLog(target);
  GLog().SetSevToLog(sev);

  EXPECT_EQ(Journal().Statements,
            (std::vector<std::string>{"update TestItem set Amount = :Amount where OID = :OID [Amount=10,OID=1]",
                                      "update TestItem set Amount = :Amount where OID = :OID [Amount=30,OID=3]"}));
  const std::vector<std::string>& ev = Journal().Events;
  ASSERT_GE(ev.size(), 4u);
  EXPECT_EQ(ev[ev.size() - 4], "start");
  EXPECT_EQ(ev.back(), "commit");
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posClean");
  EXPECT_STREQ(list.Items(2)->GetObjectStateAsString(), "posClean");
  ASSERT_EQ(timing.size(), 2u);
  EXPECT_EQ(timing[0].substr(0, 21), "TVisSQLAmountUpdate  ");
  EXPECT_EQ(timing[0].size(), 35u);  // name 20, blank, two times of 7
}

TEST_F(VisitorDB, SelectVisitorStopsReadingWhenContinueScanIsCleared) {
  tiPerMgr().RegReadVisitor(TVisSQLReadTwo::StaticClass());
  TTestItems list;
  tiPerMgr().Read(&list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1)->GetName(), "b");
  EXPECT_STREQ(list.GetObjectStateAsString(), "posClean");
}

TEST_F(VisitorDB, SelectVisitorWithoutMapRowToObjectFailsOnTheFirstRow) {
  tiPerMgr().RegReadVisitor(TVisNoMap::StaticClass());
  TTestItems list;
  try {
    tiPerMgr().Read(&list);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "MapRowToObject has not been overridden in the concrete: TVisNoMap");
  }
  EXPECT_STREQ(list.GetObjectStateAsString(), "posEmpty");
  EXPECT_EQ(Journal().RollBacks, 1);
  // No row, no call: an empty table reads without error.
  MemStore("v.mem").Tables["TESTITEM"].Rows.clear();
  EXPECT_EQ(tiPerMgr().Read(&list), "");
}

TEST_F(VisitorDB, UnreRaisedFailureIsReturnedAsTheResultText) {
  tiPerMgr().RegSaveVisitor(TVisTestItemFail::StaticClass());
  tiPerMgr().GetVisMgr().SetReRaiseExceptions(false);
  TTestItems list;
  list.AddItem("9", "FAIL", 9, posCreate);
  EXPECT_EQ(tiPerMgr().Save(&list), "Visitor refused item <FAIL>");
  EXPECT_EQ(Journal().RollBacks, 1);
  EXPECT_EQ(Journal().Commits, 0);
}

TEST_F(VisitorDB, FailedRunPutsBackStatesThatVisitorsSetThemselves) {
  // Otherwise an item whose insert was rolled back would look saved and never be written again.
  tiPerMgr().RegSaveVisitor(TVisEagerCreate::StaticClass());
  tiPerMgr().RegSaveVisitor(TVisTestItemFail::StaticClass());
  TTestItems list;
  list.AddItem("7", "new", 7, posCreate);
  list.AddItem("9", "FAIL", 9, posCreate);
  EXPECT_THROW(tiPerMgr().Save(&list), EtiPerException);
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posCreate");
  EXPECT_STREQ(list.Items(1)->GetObjectStateAsString(), "posCreate");
  EXPECT_EQ(MemStore("v.mem").Tables["TESTITEM"].Rows.size(), 3u);
}

TEST_F(VisitorDB, RunCutShortByShutdownIsRolledBackAndGivesItsConnectionBack) {
  tiPerMgr().RegSaveVisitor(TVisEagerCreate::StaticClass());
  tiPerMgr().RegSaveVisitor(TVisTerminateOnStop::StaticClass());
  TTestItems list;
  list.AddItem("7", "new", 7, posCreate);
  list.AddItem("8", "STOP", 8, posClean);
  try {
    tiPerMgr().Save(&list);
    ADD_FAILURE() << "a save that was not committed reported success";
  } catch (const EtiPerException& e) {
    EXPECT_EQ(e.Message(), "Visitor group cut short by the framework's shut-down; nothing was committed");
  }
  EXPECT_EQ(Journal().Commits, 0);
  EXPECT_EQ(Journal().RollBacks, 1);
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posCreate");
  TDBConnectionPool& pool = *tiPerMgr().GetDefaultDBConnectionPool();
  EXPECT_EQ(pool.LockedCount(), 0);
  // Started again, the same connection takes a new transaction.
  tiPerMgr().LoadPersistenceLayer(cMemoryLayerName);
  list.Remove(list.Items(1));
  EXPECT_EQ(tiPerMgr().Save(&list), "");
  EXPECT_EQ(Journal().Commits, 1);
  EXPECT_EQ(MemStore("v.mem").Tables["TESTITEM"].Rows.size(), 4u);
}

TEST_F(VisitorDB, FinalMovesDeleteToDeletedAndEverythingElseToClean) {
  const std::pair<TPerObjectState, const char*> cases[] = {
      {posEmpty, "posClean"},  {posPK, "posClean"},        {posCreate, "posClean"}, {posUpdate, "posClean"},
      {posDelete, "posDeleted"}, {posDeleted, "posDeleted"}, {posClean, "posClean"}};
  TtiPerObjVisitor v;
  for (const auto& [state, after] : cases) {
    TTestItem item;
    item.SetObjectState(state);
    v.SetVisitedObject(&item);
    v.Final();
    EXPECT_STREQ(item.GetObjectStateAsString(), after) << ObjectStateToStr(state);
  }
}

TEST_F(VisitorDB, QueryOutsideAGroupIsAnErrorNotACrash) {
  TVisSQLAmountUpdate v;
  EXPECT_THROW(v.Query(), EtiPerProgrammerException);
}

}  // namespace kelvado::test
