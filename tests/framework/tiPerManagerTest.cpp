#include "framework/tiPerManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <vector>

#include "framework/tiOID.h"
#include "tests/framework/MemoryLayer.h"
#include "tests/framework/StoreConformance.h"

namespace kelvado::test {

namespace {

// "<class>: <message>" of what `f` raised, "" when nothing.
std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  } catch (const std::exception& e) {
    return std::string("std: ") + e.what();
  }
  return {};
}

TMemTable ItemTable() {
  TMemTable t;
  t.Name = cTestTable;
  t.Columns = {"OID", "Name", "Amount"};
  return t;
}

// Counts the runs of each standard group: one counting visitor class per group.
int gRuns[4];
template <int Group>
class TVisCountRun : public TtiVisitor {
public:
  void Execute(TtiVisited* visited) override {
    TtiVisitor::Execute(visited);
    ++gRuns[Group];
  }
};
class TVisCountRead : public TVisCountRun<0> {
public:
  TI_CLASS(TVisCountRead)
};
class TVisCountReadPK : public TVisCountRun<1> {
public:
  TI_CLASS(TVisCountReadPK)
};
class TVisCountReadThis : public TVisCountRun<2> {
public:
  TI_CLASS(TVisCountReadThis)
};
class TVisCountSave : public TVisCountRun<3> {
public:
  TI_CLASS(TVisCountSave)
};
const TtiClass& TVisCountRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisCountRead, TtiVisitor>(), "TVisCountRead");
  return c;
}
const TtiClass& TVisCountReadPK::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisCountReadPK, TtiVisitor>(), "TVisCountReadPK");
  return c;
}
const TtiClass& TVisCountReadThis::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisCountReadThis, TtiVisitor>(), "TVisCountReadThis");
  return c;
}
const TtiClass& TVisCountSave::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisCountSave, TtiVisitor>(), "TVisCountSave");
  return c;
}

std::vector<int> Runs() { return {gRuns[0], gRuns[1], gRuns[2], gRuns[3]}; }

}  // namespace

class PerManager : public ::testing::Test {
protected:
  void SetUp() override { tiPerMgrShutdown(); }
  void TearDown() override {
    tiPerMgrShutdown();
    MemStoresClear();
  }
  TtiPersistenceLayers& Layers() { return tiPerMgr().GetPersistenceLayers(); }
  // A second layer on the memory classes, under another name.
  TtiPersistenceLayer& RegisterSecondLayer(const std::string& name = "Second") {
    return Layers().RegisterPersistenceLayer(name, nullptr, TMemQuery::StaticClass(), TMemDatabase::StaticClass());
  }
  void NewStore(const std::string& name) { MemStore(name).Tables["TESTITEM"] = ItemTable(); }
};

TEST_F(PerManager, RegisteringALayerNameAgainReturnsTheRegisteredLayerUnchanged) {
  RegisterMemoryLayer();
  TtiPersistenceLayer& first = *Layers().FindByPerLayerName("Memory");
  TtiPersistenceLayer& again = Layers().RegisterPersistenceLayer("MEMORY", nullptr, TtiQueryNonSQL::StaticClass(),
                                                                 TtiDatabaseSQL::StaticClass());
  EXPECT_EQ(&again, &first);
  EXPECT_EQ(Layers().Count(), 1);
  EXPECT_EQ(first.GetQueryClass(), &TMemQuery::StaticClass());
  EXPECT_EQ(first.GetPerLayerName(), "Memory");
  EXPECT_TRUE(Layers().IsLoaded("memory"));
  EXPECT_EQ(&Layers().LoadPersistenceLayer("memory"), &first);  // registered: nothing to load
}

TEST_F(PerManager, LayerErrorsCarryTheirTexts) {
  EXPECT_EQ(Raised([] { tiPerMgr().GetPersistenceLayers().CreateTIQuery(TMemDatabase::StaticClass()); }),
            "Exception: Unable to find persistence layer for database class <TMemDatabase>");
  EXPECT_EQ(Raised([] { tiPerMgr().DisconnectDefaultLayerDatabase("a.mem"); }),
            "EtiPerInternalException: Unable to find default persistence layer");
  RegisterMemoryLayer();
  RegisterSecondLayer();
  EXPECT_EQ(Raised([] { tiPerMgr().ConnectDatabase("a.mem", "", "", "", "Nope"); }),
            "EtiPerInternalException: Unable to find persistence layer <Nope>");
  EXPECT_EQ(Raised([] { tiPerMgr().DisconnectDatabase("a.mem", "Nope"); }),
            "EtiPerInternalException: Unable to find persistence layer <Nope>");
  EXPECT_EQ(Raised([] { tiPerMgr().CreateDatabase("a.mem", "", "", "Nope"); }),
            "EtiPerInternalException: Unable to find persistence layer <Nope>");
  EXPECT_EQ(Raised([] { tiPerMgr().UnLoadPersistenceLayer(""); }),
            "EtiPerProgrammerException: Unable to determine which persistence layer to unload.");
  EXPECT_EQ(Raised([] { tiPerMgr().UnLoadPersistenceLayer("Nope"); }),
            "EtiPerProgrammerException: Attempt to unload persistence layer <Nope> that's not currently loaded.");
  // Store groups and database operations on a layer that is not registered fail with the same text.
  tiPerMgr().RegSaveVisitor(TVisTestItemCreate::StaticClass());
  TTestItems list;
  list.AddItem("00000000-0000-0000-0000-000000000001", "x", 1, posCreate);
  EXPECT_EQ(Raised([&] { tiPerMgr().Save(&list, "a.mem", "Nope"); }),
            "EtiPerInternalException: Unable to find persistence layer <Nope>");
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posCreate");
  EXPECT_EQ(Raised([] { tiPerMgr().ExecSQL("delete from TestItem", "a.mem", "Nope"); }),
            "EtiPerInternalException: Unable to find persistence layer <Nope>");
  EXPECT_EQ(Raised([] { tiPerMgr().LoadPersistenceLayer("XML"); }),
            "EtiPerInternalException: Unable to find persistence layer <XML>");
  // A layer that could not create its queries or databases is refused when it registers, not at first use.
  EXPECT_NE(Raised([this] {
              Layers().RegisterPersistenceLayer("Bad", nullptr, TMemDatabase::StaticClass(),
                                                TMemDatabase::StaticClass());
            }).find("EtiPerProgrammerException: Unable to register persistence layer <Bad>"),
            std::string::npos);
  EXPECT_FALSE(Layers().IsLoaded("Bad"));
}

TEST_F(PerManager, EmptyLayerNameMeansTheOnlyLayerForConnectButTheDefaultForGroups) {
  RegisterMemoryLayer();
  EXPECT_EQ(Layers().FindByPerLayerName(""), Layers().FindByPerLayerName("Memory"));
  NewStore("a.mem");
  tiPerMgr().ConnectDatabase("a.mem", "", "", "", "");
  RegisterSecondLayer();
  EXPECT_EQ(Layers().FindByPerLayerName(""), nullptr);
  NewStore("b.mem");
  EXPECT_EQ(Raised([] { tiPerMgr().ConnectDatabase("b.mem", "", "", "", ""); }),
            "EtiPerInternalException: Unable to find persistence layer <>");

  // Groups with empty names run on the default layer (the first registered) and its default database.
  tiPerMgr().RegSaveVisitor(TVisTestItemCreate::StaticClass());
  TTestItems list;
  list.AddItem("00000000-0000-0000-0000-000000000001", "x", 1, posCreate);
  EXPECT_EQ(tiPerMgr().Save(&list), "");
  EXPECT_EQ(MemStore("a.mem").Tables["TESTITEM"].Rows.size(), 1u);
  EXPECT_EQ(tiPerMgr().GetDefaultPerLayerName(), "Memory");
}

TEST_F(PerManager, FirstConnectedDatabaseIsTheLayersDefault) {
  RegisterMemoryLayer();
  for (const char* db : {"a.mem", "b.mem", "c.mem"}) NewStore(db);
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionName(), "");
  tiPerMgr().ConnectDatabase("a.mem", "", "", "", "Memory");
  tiPerMgr().ConnectDatabase("b.mem", "", "", "", "Memory");
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionName(), "a.mem");
  tiPerMgr().DisconnectDatabase("A.MEM", "Memory");
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionName(), "b.mem");  // no default chosen: the first pool
  tiPerMgr().DisconnectDatabase("b.mem", "Memory");
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionName(), "");
  tiPerMgr().ConnectDatabase("c.mem", "", "", "", "Memory");
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionName(), "c.mem");
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionPool(), Layers().Items(0)->GetDBConnectionPools().Find("c.mem"));
}

TEST_F(PerManager, DisconnectDropsTheDatabasesOIDGeneratorAndPool) {
  RegisterMemoryLayer();
  NewStore("a.mem");
  tiPerMgr().ConnectDatabase("a.mem", "", "", "", "Memory");
  TtiPersistenceLayer& layer = *Layers().FindByPerLayerName("Memory");
  layer.GetNextOIDMgr().FindCreateByDatabaseName("a.mem");
  tiPerMgr().DisconnectDatabase("a.mem", "Memory");
  EXPECT_EQ(layer.GetNextOIDMgr().FindByDatabaseName("a.mem"), nullptr);
  EXPECT_EQ(layer.GetDBConnectionPools().Count(), 0);
  EXPECT_EQ(MemStore("a.mem").Journal.Count("disconnect"), 1);
}

TEST_F(PerManager, UnloadingTheDefaultLayerMakesTheFirstRemainingOneDefault) {
  RegisterMemoryLayer();
  RegisterSecondLayer();
  tiPerMgr().SetDefaultPerLayerName("second");
  EXPECT_EQ(tiPerMgr().GetDefaultPerLayerName(), "Second");
  tiPerMgr().UnLoadPersistenceLayer("Second");
  EXPECT_EQ(tiPerMgr().GetDefaultPerLayerName(), "Memory");
  Layers().UnRegisterPersistenceLayer("Memory");
  EXPECT_EQ(tiPerMgr().GetDefaultPerLayer(), nullptr);
  EXPECT_EQ(tiPerMgr().GetDefaultDBConnectionName(), "");
}

TEST_F(PerManager, StandardEntryPointsRunTheirOwnGroups) {
  std::fill(std::begin(gRuns), std::end(gRuns), 0);
  RegisterMemoryLayer();
  TtiPerManager& m = tiPerMgr();
  m.RegReadVisitor(TVisCountRead::StaticClass());
  m.GetVisMgr().RegisterVisitor("standardtask_readpk", TVisCountReadPK::StaticClass());
  m.GetVisMgr().RegisterVisitor("STANDARDTASK_READTHIS", TVisCountReadThis::StaticClass());
  m.RegSaveVisitor(TVisCountSave::StaticClass());
  TTestItem item;
  m.Read(&item);
  EXPECT_EQ(Runs(), (std::vector<int>{1, 0, 0, 0}));
  m.ReadPK(&item);
  EXPECT_EQ(Runs(), (std::vector<int>{1, 1, 0, 0}));
  m.ReadThis(&item);
  EXPECT_EQ(Runs(), (std::vector<int>{1, 1, 1, 0}));
  m.Save(&item);
  EXPECT_EQ(Runs(), (std::vector<int>{1, 1, 1, 1}));
  // The object's own entry points reach the same groups.
  item.Read();
  item.ReadPK();
  item.ReadThis();
  item.Save();
  EXPECT_EQ(Runs(), (std::vector<int>{2, 2, 2, 2}));
}

// A database locked by name stays out of its pool until it is unlocked, also when its pool was disconnected
// meanwhile; empty names mean the default layer and its default database; a stranger or an unknown layer is an
// error that leaves the pool as it was.
TEST_F(PerManager, LockedDatabasesStayOutOfThePoolUntilUnlocked) {
  RegisterMemoryLayer();
  NewStore("a.mem");
  NewStore("b.mem");
  tiPerMgr().ConnectDatabase("a.mem", "", "", "", "Memory");
  tiPerMgr().ConnectDatabase("b.mem", "", "", "", "Memory");
  TDBConnectionPool& pool = *Layers().Items(0)->GetDBConnectionPools().Find("a.mem");
  TtiDatabase& first = Layers().LockDatabase();
  TtiDatabase& second = Layers().LockDatabase("A.MEM", "memory");
  EXPECT_NE(&first, &second);
  EXPECT_EQ(first.DatabaseName(), "a.mem");
  EXPECT_EQ(pool.LockedCount(), 2);
  TtiDatabase& other = Layers().LockDatabase("b.mem", "Memory");
  EXPECT_EQ(other.DatabaseName(), "b.mem");
  // Given back to the pool it came from, whatever pool is named.
  EXPECT_NE(Raised([&] { Layers().UnLockDatabase(other, "a.mem", "Memory"); }), "");
  EXPECT_EQ(pool.LockedCount(), 2);
  Layers().UnLockDatabase(other, "b.mem", "Memory");
  Layers().UnLockDatabase(second, "a.mem", "Memory");
  EXPECT_EQ(pool.LockedCount(), 1);
  EXPECT_EQ(&Layers().LockDatabase(), &second);  // the free connection is handed out again
  Layers().UnLockDatabase(second);
  Layers().UnLockDatabase(second);  // not locked any more: logged, and no second slot is given back
  EXPECT_EQ(pool.LockedCount(), 1);
  EXPECT_NE(Raised([&] { Layers().LockDatabase("a.mem", "Nothing"); }).find("Unable to find persistence layer"),
            std::string::npos);
  // A pool disconnected while a database is locked waits for it and is freed when it is given back.
  tiPerMgr().DisconnectDatabase("a.mem", "Memory");
  EXPECT_TRUE(first.GetConnected());
  Layers().UnLockDatabase(first, "a.mem", "Memory");
  EXPECT_EQ(MemStore("a.mem").Journal.Count("disconnect"), MemStore("a.mem").Journal.Count("connect"));
}

TEST_F(PerManager, DatabaseOperationsGiveTheConnectionBackAlsoWhenTheyFail) {
  RegisterMemoryLayer();
  NewStore("a.mem");
  tiPerMgr().ConnectDatabase("a.mem", "", "", "", "Memory");
  TDBConnectionPool& pool = *Layers().Items(0)->GetDBConnectionPools().Find("a.mem");

  TtiQueryParams params;
  params.SetValueAsString("OID", "1");
  params.SetValueAsString("Name", "x");
  tiPerMgr().InsertRow(cTestTable, &params);
  EXPECT_EQ(MemStore("a.mem").Tables["TESTITEM"].Rows.size(), 1u);
  EXPECT_NE(Raised([&] { tiPerMgr().InsertRow("NoSuchTable", &params); }), "");
  EXPECT_EQ(pool.LockedCount(), 0);
  EXPECT_NE(Raised([&] { tiPerMgr().InsertRow(cTestTable, &params); }).find("Duplicate OID <1>"), std::string::npos);
  EXPECT_EQ(pool.LockedCount(), 0);
  EXPECT_EQ(MemStore("a.mem").Tables["TESTITEM"].Rows.size(), 1u);

  EXPECT_TRUE(tiPerMgr().TableExists("testitem"));
  EXPECT_FALSE(tiPerMgr().TableExists("Other"));
  tiPerMgr().ExecSQL("update TestItem set Name = 'y'", "a.mem", "Memory");
  EXPECT_EQ(MemStore("a.mem").Journal.Statements.back(), "update TestItem set Name = 'y'");
  EXPECT_EQ(pool.LockedCount(), 0);
}

TEST(PerManagerLifecycle, CallDuringShutdownRaises) {
  // The shut-down cannot be undone, so it happens in a child process started afresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        tiPerMgr();
        tiPerMgrFinalize();
        const std::string msg = Raised([] { tiPerMgr(); });
        _exit(msg == "Exception: Call to tiPerMgr while shutting down" && !tiPerMgrAssigned() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PerManagerLifecycle, ShutdownFreesTheManagerAndTheNextCallStartsClean) {
  tiPerMgrShutdown();
  RegisterMemoryLayer();
  tiPerMgr().RegReadVisitor(TVisTestItemsRead::StaticClass());
  EXPECT_TRUE(tiPerMgrAssigned());
  tiPerMgrShutdown();
  EXPECT_FALSE(tiPerMgrAssigned());
  EXPECT_EQ(tiPerMgr().GetPersistenceLayers().Count(), 0);
  EXPECT_EQ(tiPerMgr().GetVisMgr().MappingCount(), 0u);
  EXPECT_FALSE(tiPerMgr().GetTerminated());
  EXPECT_EQ(tiDefaultVisitorManager(), &tiPerMgr().GetVisMgr());
  tiPerMgrShutdown();
}

}  // namespace kelvado::test
