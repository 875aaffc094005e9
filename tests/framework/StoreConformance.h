#pragma once
// What every persistence layer must do when the framework runs visitor groups on it: one transaction per
// group, committed once on success and rolled back exactly once on failure, the pooled connection given back
// in every case, object states moved only after the commit, and the first error reported.
//
// A store takes part by providing a "store under test" type (see TMemoryStoreUnderTest in
// StoreConformanceTest.cpp) and instantiating the suite in its own test file:
//   INSTANTIATE_TYPED_TEST_SUITE_P(Firebird, StoreConformance, ::testing::Types<TFirebirdStoreUnderTest>);
// The type offers:
//   static std::string LayerName();
//   void RegisterLayer();                 // with the (fresh) persistence manager
//   std::string NewDatabase();            // an empty database holding table TestItem (OID, Name, Amount)
//   std::string UserName(), Password(), ConnectParams();
//   void TearDown();                      // after the manager is gone
//   TStoreProbe* Probe(const std::string& dbName);  // counts and refuses transactions and statements
//   std::string Unavailable() const;      // optional: why the store cannot be had here (the tests then skip,
//                                         // and fail under CI)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/tiExcept.h"
#include "framework/tiPerManager.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "framework/tiVisitorDB.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado::test {

// What a store can tell and do beyond the interface (the memory store can; real stores may return nullptr
// from Probe, and the checks that need it are skipped for them).
class TStoreProbe {
public:
  virtual ~TStoreProbe() = default;
  virtual int Starts() = 0;
  virtual int Commits() = 0;
  virtual int RollBacks() = 0;
  // Make the next commit / rollback / transaction start / statement containing `text` fail.
  virtual void FailCommit() = 0;
  virtual void FailRollBack() = 0;
  virtual void FailStartTransaction() = 0;
  virtual void FailStatementContaining(const std::string& text) = 0;
  // Called when a commit is about to succeed.
  virtual void OnCommit(std::function<void()> f) = 0;
};

// ---- the test model ----

class TTestItem : public TtiObject {
public:
  TI_CLASS(TTestItem)
  TTestItem() = default;
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  int64_t GetAmount() const { return amount_; }
  void SetAmount(int64_t v) { amount_ = v; }

private:
  std::string name_;
  int64_t amount_ = 0;
};

inline const TtiClass& TTestItem::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTestItem, TtiObject>(), "TTestItem", [](TtiPropTableBuilder<TTestItem>& b) {
    b.String("Name", &TTestItem::GetName, &TTestItem::SetName)
        .Integer("Amount", &TTestItem::GetAmount, &TTestItem::SetAmount);
  });
  return c;
}

class TTestItems : public TtiObjectList {
public:
  TI_CLASS(TTestItems)
  TTestItems() = default;
  TTestItem* Items(int i) const { return static_cast<TTestItem*>(GetItems(i)); }
  TTestItem* ByName(const std::string& name) const {
    for (TtiObject* o : *this)
      if (static_cast<TTestItem*>(o)->GetName() == name) return static_cast<TTestItem*>(o);
    return nullptr;
  }
  TTestItem& AddItem(const std::string& oid, const std::string& name, int64_t amount, TPerObjectState state) {
    auto item = std::make_unique<TTestItem>();
    item->GetOID().SetAsString(oid);
    item->SetName(name);
    item->SetAmount(amount);
    item->SetObjectState(state);
    TTestItem& r = *item;
    Add(std::move(item));
    return r;
  }
};

inline const TtiClass& TTestItems::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTestItems, TtiObjectList>(), "TTestItems");
  return c;
}

inline constexpr const char* cTestTable = "TestItem";

// ---- visitors through the row operations that every store offers ----

class TVisTestItemsRead : public TVisOwnedQrySelectAbs {
public:
  TI_CLASS(TVisTestItemsRead)
  bool AcceptVisitor() override { return dynamic_cast<TTestItems*>(GetVisited()) != nullptr; }
  void OpenQuery() override { Query().SelectRow(cTestTable, nullptr); }
  void MapRowToObject() override {
    auto& list = static_cast<TTestItems&>(*GetVisitedObject());
    list.AddItem(Query().FieldAsString("OID"), Query().FieldAsString("Name"), Query().FieldAsInteger("Amount"),
                 posClean);
  }
};

inline const TtiClass& TVisTestItemsRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTestItemsRead, TVisOwnedQrySelectAbs>(), "TVisTestItemsRead");
  return c;
}

// Base of the writers: accepts TTestItem objects in one state.
template <TPerObjectState State>
class TVisTestItemWrite : public TtiPerObjVisitor {
public:
  bool AcceptVisitor() override {
    auto* item = dynamic_cast<TTestItem*>(GetVisited());
    return item && item->GetObjectState() == State;
  }
  void Execute(TtiVisited* visited) override {
    TtiPerObjVisitor::Execute(visited);
    if (!AcceptVisitor()) return;
    auto& item = static_cast<TTestItem&>(*visited);
    TtiQueryParams values, where;
    where.SetValueAsString("OID", item.GetOID().GetAsString());
    if (State == posCreate) values.SetValueAsString("OID", item.GetOID().GetAsString());
    values.SetValueAsString("Name", item.GetName());
    values.SetValueAsInteger("Amount", item.GetAmount());
    if (State == posCreate) Query().InsertRow(cTestTable, &values);
    if (State == posUpdate) Query().UpdateRow(cTestTable, &values, &where);
    if (State == posDelete) Query().DeleteRow(cTestTable, &where);
  }
};

class TVisTestItemCreate : public TVisTestItemWrite<posCreate> {
public:
  TI_CLASS(TVisTestItemCreate)
};
class TVisTestItemUpdate : public TVisTestItemWrite<posUpdate> {
public:
  TI_CLASS(TVisTestItemUpdate)
};
class TVisTestItemDelete : public TVisTestItemWrite<posDelete> {
public:
  TI_CLASS(TVisTestItemDelete)
};

inline const TtiClass& TVisTestItemCreate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTestItemCreate, TtiPerObjVisitor>(), "TVisTestItemCreate");
  return c;
}
inline const TtiClass& TVisTestItemUpdate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTestItemUpdate, TtiPerObjVisitor>(), "TVisTestItemUpdate");
  return c;
}
inline const TtiClass& TVisTestItemDelete::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTestItemDelete, TtiPerObjVisitor>(), "TVisTestItemDelete");
  return c;
}

// Raises on an item named "FAIL": a failure in the middle of a group, after other rows were written.
class TVisTestItemFail : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisTestItemFail)
  bool AcceptVisitor() override {
    auto* item = dynamic_cast<TTestItem*>(GetVisited());
    return item && item->GetName() == "FAIL";
  }
  void Execute(TtiVisited* visited) override {
    TtiPerObjVisitor::Execute(visited);
    if (AcceptVisitor()) throw EtiPerException("Visitor refused item <FAIL>");
  }
};

inline const TtiClass& TVisTestItemFail::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTestItemFail, TtiPerObjVisitor>(), "TVisTestItemFail");
  return c;
}

// ---- the suite ----

template <class Store>
class StoreConformance : public ::testing::Test {
protected:
  void SetUp() override {
    if constexpr (requires(const Store& s) { s.Unavailable(); }) {
      if (const std::string why = store_.Unavailable(); !why.empty()) SKIP_OUTSIDE_CI(why);
    }
    tiPerMgrShutdown();
    store_.RegisterLayer();
    db_ = store_.NewDatabase();
    tiPerMgr().ConnectDatabase(db_, store_.UserName(), store_.Password(), store_.ConnectParams(), Layer());
    tiPerMgr().RegReadVisitor(TVisTestItemsRead::StaticClass());
    tiPerMgr().RegSaveVisitor(TVisTestItemDelete::StaticClass());
    tiPerMgr().RegSaveVisitor(TVisTestItemUpdate::StaticClass());
    tiPerMgr().RegSaveVisitor(TVisTestItemCreate::StaticClass());
    tiPerMgr().RegSaveVisitor(TVisTestItemFail::StaticClass());
  }
  void TearDown() override {
    tiPerMgrShutdown();
    store_.TearDown();
  }

  static std::string Layer() { return Store::LayerName(); }
  TStoreProbe* Probe() { return store_.Probe(db_); }
  TDBConnectionPool& Pool() {
    return *tiPerMgr().GetPersistenceLayers().FindByPerLayerName(Layer())->GetDBConnectionPools().Find(db_);
  }

  // The rows of the store as a fresh read sees them, "name=amount" sorted by name.
  std::vector<std::string> Rows() {
    TTestItems list;
    tiPerMgr().Read(&list, db_, Layer());
    std::vector<std::string> rows;
    for (int i = 0; i < list.Count(); ++i)
      rows.push_back(list.Items(i)->GetName() + "=" + std::to_string(list.Items(i)->GetAmount()));
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // Three committed rows: keep=1, change=2, drop=3.
  void Seed() {
    TTestItems seed;
    seed.AddItem("00000000-0000-0000-0000-000000000001", "keep", 1, posCreate);
    seed.AddItem("00000000-0000-0000-0000-000000000002", "change", 2, posCreate);
    seed.AddItem("00000000-0000-0000-0000-000000000003", "drop", 3, posCreate);
    tiPerMgr().Save(&seed, db_, Layer());
  }

  // A list as a user would save it after editing: one new, one changed, one deleted, one untouched item.
  void Edit(TTestItems& list) {
    list.AddItem("00000000-0000-0000-0000-000000000001", "keep", 1, posClean);
    list.AddItem("00000000-0000-0000-0000-000000000002", "change", 20, posUpdate);
    list.AddItem("00000000-0000-0000-0000-000000000003", "drop", 3, posDelete);
    list.AddItem("00000000-0000-0000-0000-000000000004", "new", 4, posCreate);
  }

  // The items' states by name, e.g. "posClean".
  static std::vector<std::string> States(const TTestItems& list) {
    std::vector<std::string> s;
    for (int i = 0; i < list.Count(); ++i) s.push_back(list.Items(i)->GetObjectStateAsString());
    return s;
  }

  // Runs Save and returns the message it raised ("" when none).
  std::string SaveError(TTestItems& list) {
    try {
      tiPerMgr().Save(&list, db_, Layer());
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }

  Store store_;
  std::string db_;
};

TYPED_TEST_SUITE_P(StoreConformance);

TYPED_TEST_P(StoreConformance, SaveWritesEveryChangeAndMovesStatesAfterOneCommit) {
  this->Seed();
  TStoreProbe* probe = this->Probe();
  const int commitsBefore = probe ? probe->Commits() : 0;
  const int startsBefore = probe ? probe->Starts() : 0;
  TTestItems list;
  this->Edit(list);
  std::vector<std::string> atCommit;
  if (probe) probe->OnCommit([&] {
    if (atCommit.empty()) atCommit = this->States(list);  // the save's commit, not the read-back's
  });

  EXPECT_EQ(tiPerMgr().Save(&list, this->db_, this->Layer()), "");

  EXPECT_EQ(this->States(list), (std::vector<std::string>{"posClean", "posClean", "posDeleted", "posClean"}));
  EXPECT_EQ(this->Rows(), (std::vector<std::string>{"change=20", "keep=1", "new=4"}));
  EXPECT_EQ(this->Pool().LockedCount(), 0);
  if (probe) {
    // Nothing had moved when the commit happened: states change only after it.
    EXPECT_EQ(atCommit, (std::vector<std::string>{"posClean", "posUpdate", "posDelete", "posCreate"}));
    EXPECT_EQ(probe->Starts() - startsBefore, 2);  // the save and the read-back
    EXPECT_EQ(probe->Commits() - commitsBefore, 2);
    EXPECT_EQ(probe->RollBacks(), 0);
  }
}

TYPED_TEST_P(StoreConformance, FailedSaveRollsBackOnceReleasesAndKeepsStates) {
  this->Seed();
  TTestItems list;
  this->Edit(list);
  list.AddItem("00000000-0000-0000-0000-000000000005", "FAIL", 5, posCreate);
  const std::vector<std::string> before = this->States(list);
  TStoreProbe* probe = this->Probe();
  const int commitsBefore = probe ? probe->Commits() : 0;

  EXPECT_EQ(this->SaveError(list), "Visitor refused item <FAIL>");

  EXPECT_EQ(this->States(list), before);
  EXPECT_EQ(this->Pool().LockedCount(), 0);
  EXPECT_EQ(this->Rows(), (std::vector<std::string>{"change=2", "drop=3", "keep=1"}));
  if (probe) {
    EXPECT_EQ(probe->RollBacks(), 1);
    EXPECT_EQ(probe->Commits() - commitsBefore, 1);  // only the read-back
  }
  // The connection is usable again: the same list saves once the failing item is gone.
  list.Remove(list.ByName("FAIL"));
  EXPECT_EQ(this->SaveError(list), "");
  EXPECT_EQ(this->Rows(), (std::vector<std::string>{"change=20", "keep=1", "new=4"}));
}

TYPED_TEST_P(StoreConformance, FailedSaveOnAOneConnectionPoolDoesNotBlockTheNext) {
  this->Pool().SetMaxPoolSize(1);
  this->Pool().SetWaitTime(std::chrono::milliseconds(200));
  TTestItems bad;
  bad.AddItem("00000000-0000-0000-0000-000000000005", "FAIL", 5, posCreate);
  EXPECT_EQ(this->SaveError(bad), "Visitor refused item <FAIL>");
  EXPECT_EQ(this->SaveError(bad), "Visitor refused item <FAIL>");  // not "Timed out waiting for a PooledItem."
  TTestItems good;
  good.AddItem("00000000-0000-0000-0000-000000000006", "good", 6, posCreate);
  EXPECT_EQ(this->SaveError(good), "");
  EXPECT_STREQ(good.Items(0)->GetObjectStateAsString(), "posClean");
}

TYPED_TEST_P(StoreConformance, FailedCommitRollsBackOnceAndKeepsStates) {
  TStoreProbe* probe = this->Probe();
  ASSERT_NE(probe, nullptr) << "the store under test has no probe to make it fail a commit";
  this->Seed();
  TTestItems list;
  this->Edit(list);
  const std::vector<std::string> before = this->States(list);
  probe->FailCommit();
  const std::string error = this->SaveError(list);
  EXPECT_NE(error.find("Commit refused"), std::string::npos) << error;
  EXPECT_EQ(this->States(list), before);
  EXPECT_EQ(probe->RollBacks(), 1);
  EXPECT_EQ(this->Pool().LockedCount(), 0);
}

TYPED_TEST_P(StoreConformance, FailingRollbackDoesNotHideTheFirstError) {
  TStoreProbe* probe = this->Probe();
  ASSERT_NE(probe, nullptr) << "the store under test has no probe to make it fail a rollback";
  TTestItems list;
  list.AddItem("00000000-0000-0000-0000-000000000004", "new", 4, posCreate);
  list.AddItem("00000000-0000-0000-0000-000000000005", "FAIL", 5, posCreate);
  probe->FailRollBack();
  EXPECT_EQ(this->SaveError(list), "Visitor refused item <FAIL>");
  EXPECT_EQ(probe->RollBacks(), 1);  // tried once, not again by any later clean-up
  EXPECT_EQ(this->Pool().LockedCount(), 0);
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posCreate");
}

TYPED_TEST_P(StoreConformance, StoreErrorInTheMiddleOfAGroupRollsBackEverything) {
  TStoreProbe* probe = this->Probe();
  ASSERT_NE(probe, nullptr) << "the store under test has no probe to make it refuse a statement";
  this->Seed();
  TTestItems list;
  this->Edit(list);
  const std::vector<std::string> before = this->States(list);
  probe->FailStatementContaining("Name=new");  // the insert, run after the delete and the update
  const std::string error = this->SaveError(list);
  EXPECT_NE(error.find("Statement refused"), std::string::npos) << error;
  EXPECT_EQ(this->States(list), before);
  EXPECT_EQ(probe->RollBacks(), 1);
  EXPECT_EQ(this->Pool().LockedCount(), 0);
  EXPECT_EQ(this->Rows(), (std::vector<std::string>{"change=2", "drop=3", "keep=1"}));
}

TYPED_TEST_P(StoreConformance, FailedTransactionStartReleasesTheConnection) {
  TStoreProbe* probe = this->Probe();
  ASSERT_NE(probe, nullptr) << "the store under test has no probe to make it refuse a transaction";
  TTestItems list;
  list.AddItem("00000000-0000-0000-0000-000000000004", "new", 4, posCreate);
  probe->FailStartTransaction();
  const std::string error = this->SaveError(list);
  EXPECT_NE(error.find("Start of transaction refused"), std::string::npos) << error;
  EXPECT_EQ(probe->RollBacks(), 0);  // nothing was begun
  EXPECT_EQ(this->Pool().LockedCount(), 0);
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posCreate");
}

TYPED_TEST_P(StoreConformance, ReadFillsTheListAndLeavesItClean) {
  this->Seed();
  TTestItems list;
  ASSERT_STREQ(list.GetObjectStateAsString(), "posEmpty");
  EXPECT_EQ(tiPerMgr().Read(&list, this->db_, this->Layer()), "");
  ASSERT_EQ(list.Count(), 3);
  EXPECT_STREQ(list.GetObjectStateAsString(), "posClean");
  EXPECT_EQ(list.ByName("drop")->GetOID().GetAsString(), "00000000-0000-0000-0000-000000000003");
  EXPECT_EQ(this->Pool().LockedCount(), 0);
}

TYPED_TEST_P(StoreConformance, EmptyNamesUseTheDefaultLayerAndDatabase) {
  TTestItems list;
  list.AddItem("00000000-0000-0000-0000-000000000004", "new", 4, posCreate);
  EXPECT_EQ(tiPerMgr().Save(&list), "");
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posClean");
  TTestItems back;
  EXPECT_EQ(back.Read(), "");  // the object's own entry point, also on the defaults
  EXPECT_EQ(back.Count(), 1);
}

TYPED_TEST_P(StoreConformance, TerminatedManagerTouchesNothing) {
  TTestItems list;
  list.AddItem("00000000-0000-0000-0000-000000000004", "new", 4, posCreate);
  TStoreProbe* probe = this->Probe();
  const int starts = probe ? probe->Starts() : 0;
  tiPerMgr().Terminate();
  EXPECT_EQ(tiPerMgr().Save(&list, this->db_, this->Layer()), "");
  EXPECT_STREQ(list.Items(0)->GetObjectStateAsString(), "posCreate");
  if (probe) {
    EXPECT_EQ(probe->Starts(), starts);
  }
  tiPerMgr().LoadPersistenceLayer(this->Layer());  // clears Terminated
  EXPECT_EQ(this->Rows(), std::vector<std::string>{});
}

REGISTER_TYPED_TEST_SUITE_P(StoreConformance, SaveWritesEveryChangeAndMovesStatesAfterOneCommit,
                            FailedSaveRollsBackOnceReleasesAndKeepsStates,
                            FailedSaveOnAOneConnectionPoolDoesNotBlockTheNext, FailedCommitRollsBackOnceAndKeepsStates,
                            FailingRollbackDoesNotHideTheFirstError, StoreErrorInTheMiddleOfAGroupRollsBackEverything,
                            FailedTransactionStartReleasesTheConnection, ReadFillsTheListAndLeavesItClean,
                            EmptyNamesUseTheDefaultLayerAndDatabase, TerminatedManagerTouchesNothing);

}  // namespace kelvado::test
