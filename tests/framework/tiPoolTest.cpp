// Object pools and connection pools: slot limits, time-outs, failed connects, idle removal and contention.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "tests/framework/tiQueryTestDoubles.h"
#include "tests/support/ThreadWait.h"

using namespace kelvado;
using namespace kvtest;
using namespace kelvado::testing;
using namespace std::chrono_literals;

namespace {

// A clock the test moves by hand.
struct FakeClock {
  std::atomic<int64_t> ms{0};
  TtiPoolClock Fn() {
    return [this] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms.load())); };
  }
  void Advance(std::chrono::milliseconds d) { ms += d.count(); }
};

// Pool data of the test layer: one connection at most, short waits.
class TPoolTestData : public TtiDBConnectionPoolDataAbs {
public:
  TI_CLASS(TPoolTestData)
  void InitDBConnectionPool() override {
    DBConnectionPool()->SetMinPoolSize(0);
    DBConnectionPool()->SetMaxPoolSize(1);
    DBConnectionPool()->SetWaitTime(50ms);
  }
};

// A database that knows whether it is freed while a caller still uses it.
std::atomic<int> gTrackedAlive{0};
std::atomic<int> gFreedWhileHeld{0};
class TTrackedDatabase : public TTxDatabase {
public:
  TI_CLASS(TTrackedDatabase)
  TTrackedDatabase() { ++gTrackedAlive; }
  ~TTrackedDatabase() override {
    if (held) ++gFreedWhileHeld;
    --gTrackedAlive;
  }
  std::atomic<bool> held{false};
};

// Two connections at most; a caller waits long for a slot, so a refusal that comes at once is no time-out.
class TTwoSlotData : public TtiDBConnectionPoolDataAbs {
public:
  TI_CLASS(TTwoSlotData)
  void InitDBConnectionPool() override {
    DBConnectionPool()->SetMinPoolSize(0);
    DBConnectionPool()->SetMaxPoolSize(2);
    DBConnectionPool()->SetWaitTime(10s);
  }
};

// The layers of the pool tests.
struct TestLayer : TTestPoolLayer {
  TestLayer() : TTestPoolLayer(TTxDatabase::StaticClass(), &TPoolTestData::StaticClass(), "TEST") {}
};
struct TrackedLayer : TTestPoolLayer {
  TrackedLayer() : TTestPoolLayer(TTrackedDatabase::StaticClass(), &TTwoSlotData::StaticClass(), "TRACKED") {}
};

}  // namespace

const TtiClass& TPoolTestData::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPoolTestData, TtiDBConnectionPoolDataAbs>(), "TPoolTestData");
  return c;
}
const TtiClass& TTrackedDatabase::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTrackedDatabase, TTxDatabase>(), "TTrackedDatabase");
  return c;
}
const TtiClass& TTwoSlotData::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTwoSlotData, TtiDBConnectionPoolDataAbs>(), "TTwoSlotData");
  return c;
}

TEST(TtiPool, NeverHandsOutMoreThanMaxAndTimesOut) {
  TtiPool pool;
  pool.SetMaxPoolSize(2);
  pool.SetWaitTime(50ms);
  TPooledItem* a = pool.Lock();
  TPooledItem* b = pool.Lock();
  ASSERT_NE(a, b);
  const auto start = std::chrono::steady_clock::now();
  ExpectMessage([&] { pool.Lock(); }, "Timed out waiting for a PooledItem.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
  EXPECT_EQ(pool.Count(), 2);
  // A freed slot is taken by the idle item, not by a new one.
  pool.UnLock(a);
  EXPECT_FALSE(a->Locked());
  EXPECT_EQ(pool.Lock(), a);
  EXPECT_EQ(pool.Count(), 2);
  // A waiting caller gets the slot as soon as it is given back.
  pool.SetWaitTime(5000ms);
  std::atomic<pid_t> waiterTid{0};
  TPooledItem* got = nullptr;
  std::thread waiter([&] {
    waiterTid = CurrentThreadTid();
    got = pool.Lock();
  });
  while (waiterTid == 0) std::this_thread::yield();
  EXPECT_TRUE(WaitUntilInTimedWait(waiterTid));
  const auto given = std::chrono::steady_clock::now();
  pool.UnLock(b);
  waiter.join();
  EXPECT_EQ(got, b);
  EXPECT_LT(std::chrono::steady_clock::now() - given, 2500ms);
}

TEST(TtiPool, FailedAddGivesTheSlotBack) {
  TtiPool pool;
  pool.SetMaxPoolSize(1);
  pool.SetWaitTime(50ms);
  int attempts = 0;
  pool.SetOnAddPooledItem([&](TPooledItem&) {
    if (++attempts <= 3) throw EtiPerDBExceptionCanNotConnect("TEST", "db", "u", "p", "refused");
  });
  for (int i = 0; i < 3; ++i) EXPECT_THROW(pool.Lock(), EtiPerDBExceptionCanNotConnect);
  EXPECT_EQ(pool.Count(), 0);
  // Had a slot been lost, this would time out instead.
  TPooledItem* item = pool.Lock();
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(item->Locked());
  EXPECT_EQ(pool.Count(), 1);
}

TEST(TtiPool, UnlockErrorsAreLoggedAndNeverWidenThePool) {
  LogCapture capture;
  TtiPool pool;
  pool.SetMaxPoolSize(1);
  pool.SetWaitTime(50ms);
  TtiPool other;

  pool.UnLock(nullptr);
  EXPECT_TRUE(capture.Has("Nil PooledItem passed to TtiPool.UnLock"));

  TPooledItem* item = pool.Lock();
  TPooledItem* foreign = other.Lock();
  pool.UnLock(foreign);
  EXPECT_TRUE(capture.Has("Attempting to unlock a PooledItem which can not be found in the pool."));
  EXPECT_TRUE(foreign->Locked());

  pool.UnLock(item);
  pool.UnLock(item);  // twice: must not free a second slot
  EXPECT_TRUE(capture.Has("Attempting to unlock a PooledItem which is not locked."));
  pool.Lock();
  ExpectMessage([&] { pool.Lock(); }, "Timed out waiting for a PooledItem.");
  EXPECT_EQ(pool.LockedCount(), 1);
}

TEST(TtiPool, UnLockByData) {
  TtiPool pool;
  pool.SetOnAddPooledItem([](TPooledItem& item) { item.SetData(std::make_unique<TtiObject>()); });
  TPooledItem* item = pool.Lock();
  pool.UnLockByData(item->Data());
  EXPECT_FALSE(item->Locked());
  TtiObject stranger;
  ExpectMessage([&] { pool.UnLockByData(&stranger); },
                "Attempt to unlock item by passing object that is not owned by a PooledItem");
  EXPECT_THROW(pool.UnLockByData(nullptr), EtiPerInternalException);
}

TEST(TtiPool, SweepRemovesIdleItemsDownToTheMinimumOnly) {
  FakeClock clock;
  TtiPool pool;
  pool.SetClock(clock.Fn());
  std::vector<TPooledItem*> items;
  for (int i = 0; i < 4; ++i) items.push_back(pool.Lock());
  for (int i = 0; i < 3; ++i) pool.UnLock(items[i]);  // the fourth stays locked

  clock.Advance(59s);
  EXPECT_EQ(items[0]->SecToTimeOut(), 1);
  pool.SweepForTimeOuts();
  EXPECT_EQ(pool.Count(), 4);

  clock.Advance(1s);
  EXPECT_EQ(items[3]->SecToTimeOut(), 999999);
  pool.SweepForTimeOuts();
  // Minimum 1: the three idle ones may go, but the locked one stays.
  EXPECT_EQ(pool.Count(), 1);
  EXPECT_TRUE(items[3]->Locked());

  pool.UnLock(items[3]);
  clock.Advance(120s);
  pool.SweepForTimeOuts();
  EXPECT_EQ(pool.Count(), 1);  // not greater than the minimum
  pool.SetMinPoolSize(0);
  pool.SweepForTimeOuts();
  EXPECT_EQ(pool.Count(), 0);
}

TEST(TtiPool, SweepKeepsTheMinimumWhenEveryIdleItemHasExpired) {
  FakeClock clock;
  TtiPool pool;
  pool.SetClock(clock.Fn());
  pool.SetMinPoolSize(2);
  std::vector<TPooledItem*> items;
  for (int i = 0; i < 4; ++i) items.push_back(pool.Lock());
  for (TPooledItem* item : items) pool.UnLock(item);
  clock.Advance(120s);
  pool.SweepForTimeOuts();
  EXPECT_EQ(pool.Count(), 2);
}

TEST(TtiPool, FullPoolReplacesAnItemDueForRemovalInsteadOfFailing) {
  FakeClock clock;
  TtiPool pool;
  pool.SetClock(clock.Fn());
  pool.SetMinPoolSize(0);
  pool.SetMaxPoolSize(1);
  pool.SetWaitTime(50ms);
  pool.UnLock(pool.Lock());
  clock.Advance(5min);  // idle past the time-out, no sweep yet
  TPooledItem* item = pool.Lock();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(pool.Count(), 1);
  EXPECT_EQ(item->SecToTimeOut(), 999999);
}

TEST(TtiPool, LoweringTheMaximumHoldsBackNewLocks) {
  TtiPool pool;
  pool.SetMaxPoolSize(3);
  pool.SetWaitTime(30ms);
  TPooledItem* a = pool.Lock();
  TPooledItem* b = pool.Lock();
  pool.Lock();
  pool.SetMaxPoolSize(1);
  pool.UnLock(a);
  EXPECT_THROW(pool.Lock(), EtiPerInternalException);  // still two out
  pool.UnLock(b);
  EXPECT_THROW(pool.Lock(), EtiPerInternalException);  // still one out
  EXPECT_EQ(pool.LockedCount(), 1);
}

TEST(TtiPool, MonitorSweepsAndStopsAtOnce) {
  FakeClock clock;
  auto pool = std::make_unique<TtiPool>();
  pool->SetClock(clock.Fn());
  pool->SetMinPoolSize(0);
  pool->UnLock(pool->Lock());
  clock.Advance(2min);
  pool->SetSweepInterval(10ms);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (pool->Count() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(pool->Count(), 0);

  // With the default 10 s pause the monitor is asleep: shutting down must not wait it out. Its thread is the
  // one the new pool started (or one of them, should another library start one just then).
  const std::set<pid_t> before = ProcessThreadTids();
  auto idle = std::make_unique<TtiPool>();
  std::set<pid_t> started;
  for (pid_t tid : ProcessThreadTids())
    if (!before.count(tid)) started.insert(tid);
  ASSERT_FALSE(started.empty());
  EXPECT_TRUE(WaitUntilInTimedWait(started));
  const auto start = std::chrono::steady_clock::now();
  idle.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(TtiPool, StressLockUnlockFromManyThreads) {
  constexpr int kMax = 4, kThreads = 16, kRounds = 1500;
  TtiPool pool;
  pool.SetMaxPoolSize(kMax);
  pool.SetMinPoolSize(0);
  pool.SetSweepInterval(1ms);  // sweeps run in between, removing nothing that is locked
  std::atomic<int> holders{0}, peak{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        TPooledItem* item = nullptr;
        try {
          item = pool.Lock();
        } catch (...) {
          ++failures;
          continue;
        }
        const int now = ++holders;
        int p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {
        }
        if (!item->Locked()) ++failures;
        --holders;
        pool.UnLock(item);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(peak.load(), kMax);
  EXPECT_LE(pool.Count(), kMax);
  EXPECT_EQ(pool.LockedCount(), 0);
}

TEST(TtiPool, StressWhileItemsExpireAndAreSweptAndReplaced) {
  // Time runs a second per lock, so idle items keep expiring: the monitor removes them and full pools
  // replace them while other threads lock and unlock.
  constexpr int kMax = 3, kThreads = 12, kRounds = 1000;
  FakeClock clock;
  TtiPool pool;
  pool.SetClock(clock.Fn());
  pool.SetMaxPoolSize(kMax);
  pool.SetMinPoolSize(0);
  pool.SetTimeOut(0.05);  // 3 s
  pool.SetSweepInterval(1ms);
  std::atomic<int> holders{0}, peak{0}, failures{0}, adds{0};
  pool.SetOnAddPooledItem([&](TPooledItem&) { ++adds; });
  std::vector<std::thread> threads;
  // On a loaded machine the rounds may end before the monitor's first sweep: keep going (bounded) until
  // items have really been dropped and made again, so the replacement path is always exercised.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds || (adds.load() <= kMax && std::chrono::steady_clock::now() < deadline);
           ++i) {
        TPooledItem* item = nullptr;
        try {
          item = pool.Lock();
        } catch (...) {
          ++failures;
          continue;
        }
        const int now = ++holders;
        int p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {
        }
        clock.Advance(1s);
        --holders;
        pool.UnLock(item);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(peak.load(), kMax);
  EXPECT_LE(pool.Count(), kMax);
  EXPECT_GT(adds.load(), kMax);  // items were really dropped and made again
  EXPECT_EQ(pool.LockedCount(), 0);
}

TEST(TPooledDB, BrokenConnectionIsDroppedOnlyWhenNotInUse) {
  TtiPool pool;
  pool.SetItemClass([](TtiPool* p) { return std::make_unique<TPooledDB>(p); });
  pool.SetOnAddPooledItem(
      [](TPooledItem& item) { static_cast<TPooledDB&>(item).SetDatabase(std::make_unique<TTxDatabase>()); });
  auto* a = static_cast<TPooledDB*>(pool.Lock());
  auto* b = static_cast<TPooledDB*>(pool.Lock());
  a->Database()->SetErrorInLastCall(true);
  EXPECT_FALSE(a->MustRemoveItemFromPool(2));  // locked: its holder still uses it
  pool.UnLock(a);
  pool.UnLock(b);
  EXPECT_TRUE(a->MustRemoveItemFromPool(2));
  // The next lock passes over the broken connection.
  EXPECT_EQ(pool.Lock(), b);
}

TEST(TDBConnectionPools, AddLockAndUnlockConnections) {
  TestLayer layer;
  TDBConnectionPools pools(&layer, nullptr);
  const int before = gConnects;
  TDBConnectionPool* pool = pools.AddConnectionPool("Lib.fdb", "SYSDBA", "secret", "a=1");
  EXPECT_EQ(gConnects - before, 1);  // connected at once
  EXPECT_EQ(pool->Count(), 1);
  EXPECT_EQ(pool->MaxPoolSize(), 1);  // the layer's pool data was applied
  EXPECT_EQ(pool->MinPoolSize(), 0);
  EXPECT_EQ(pools.Count(), 1);
  EXPECT_EQ(pools.Items(0), pool);

  TPooledDB* item = pools.Lock("LIB.FDB");
  ASSERT_NE(item->Database(), nullptr);
  EXPECT_EQ(item->Database()->DatabaseName(), "Lib.fdb");
  EXPECT_EQ(item->Database()->Password(), "secret");
  EXPECT_TRUE(item->Database()->Connected());
  EXPECT_THROW(pools.Lock("lib.fdb"), EtiPerInternalException);  // maximum 1
  pools.UnLockByData("lib.fdb", item->Database());
  EXPECT_EQ(pools.Lock("lib.fdb"), item);
  pools.UnLock("lib.fdb", item);

  pools.Disconnect("LIB.fdb");
  EXPECT_EQ(pools.Count(), 0);
}

TEST(TDBConnectionPools, DuplicateMissingAndFailingPools) {
  TestLayer layer;
  TDBConnectionPools pools(&layer, nullptr);
  pools.AddConnectionPool("Lib.fdb", "SYSDBA", "pw", "");
  ExpectMessage([&] { pools.AddConnectionPool("LIB.FDB", "other", "pw", ""); },
                "Attempt to add duplicate database connection pool <LIB.FDB/other>");
  EXPECT_THROW(pools.AddConnectionPool("lib.fdb", "x", "", ""), EtiPerProgrammerException);

  const std::string missing = "Unable to find database connection pool <none.fdb>";
  ExpectMessage([&] { pools.Lock("none.fdb"); }, missing);
  ExpectMessage([&] { pools.UnLock("none.fdb", nullptr); }, missing);
  ExpectMessage([&] { pools.UnLockByData("none.fdb", nullptr); }, missing);
  ExpectMessage([&] { pools.Disconnect("none.fdb"); }, missing);

  // A connection that fails while the pool is made is reported, and no pool is added.
  EXPECT_THROW(pools.AddConnectionPool("fail", "u", "pw", ""), EtiPerDBExceptionCanNotConnect);
  EXPECT_EQ(pools.Count(), 1);
  EXPECT_EQ(pools.Find("fail"), nullptr);

  // A failed reconnect inside Lock keeps the slot.
  TPooledDB* item = pools.Lock("lib.fdb");
  pools.Items(0)->SetMaxPoolSize(2);
  gFailConnect = true;
  EXPECT_THROW(pools.Lock("lib.fdb"), EtiPerDBExceptionCanNotConnect);
  gFailConnect = false;
  EXPECT_NE(pools.Lock("lib.fdb"), item);
  pools.DisconnectAll();
  EXPECT_EQ(pools.Count(), 0);
}

TEST(TDBConnectionPools, DisconnectKeepsConnectionsInUseUntilTheyComeBack) {
  TrackedLayer layer;
  TDBConnectionPools pools(&layer, nullptr);
  pools.AddConnectionPool("db", "u", "p", "");
  TPooledDB* a = pools.Lock("db");
  TPooledDB* b = pools.Lock("db");
  const int alive = gTrackedAlive;

  // A third caller waits for a slot; the disconnect refuses it at once instead of letting it wait 10 s or
  // handing it a connection of a pool that is going away.
  std::string waiterError;
  std::atomic<pid_t> waiterTid{0};
  std::thread waiter([&] {
    waiterTid = CurrentThreadTid();
    try {
      pools.Lock("db");
      waiterError = "handed out";
    } catch (const Exception& e) {
      waiterError = e.Message();
    }
  });
  while (waiterTid == 0) std::this_thread::yield();
  EXPECT_TRUE(WaitUntilInTimedWait(waiterTid));
  const auto start = std::chrono::steady_clock::now();
  pools.Disconnect("db");
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(waiterError, "Database connection pool <db> has been disconnected");

  // The connections the callers hold live on, and the name is free at once.
  ASSERT_EQ(gTrackedAlive, alive);
  EXPECT_TRUE(a->Database()->Connected());
  a->Database()->StartTransaction();
  a->Database()->Commit();
  EXPECT_EQ(pools.Count(), 0);
  ExpectMessage([&] { pools.Lock("db"); }, "Unable to find database connection pool <db>");
  pools.AddConnectionPool("DB", "u", "p", "");
  EXPECT_EQ(gTrackedAlive, alive + 1);

  // Each comes back to the pool it came from; the old pool goes with its last connection.
  pools.UnLock("db", a);
  EXPECT_EQ(gTrackedAlive, alive + 1);
  pools.UnLockByData("db", b->Database());
  EXPECT_EQ(gTrackedAlive, alive - 1);
  EXPECT_EQ(pools.Count(), 1);
  TPooledDB* c = pools.Lock("db");
  EXPECT_TRUE(c->Database()->Connected());
  pools.UnLock("db", c);
  pools.DisconnectAll();
  EXPECT_EQ(gTrackedAlive, alive - 2);
  EXPECT_EQ(gFreedWhileHeld, 0);
}

// A lease gives its connection back when it ends, moves without giving it back twice, and keeps a disconnected
// pool (and its connection) alive until it ends.
TEST(TDBConnectionPools, LeaseGivesBackOnceAndKeepsADisconnectedPoolAlive) {
  TrackedLayer layer;
  TDBConnectionPools pools(&layer, nullptr);
  TDBConnectionPool* pool = pools.AddConnectionPool("db", "u", "p", "");
  const int alive = gTrackedAlive;
  {
    TDBConnectionLease a = pools.Lease("db");
    ASSERT_TRUE(a);
    EXPECT_EQ(pool->LockedCount(), 1);
    TDBConnectionLease b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(pool->LockedCount(), 1);
    a = pools.Lease("DB");
    EXPECT_EQ(pool->LockedCount(), 2);
    a = std::move(b);  // the connection a held goes back, b's moves over
    EXPECT_EQ(pool->LockedCount(), 1);
  }
  EXPECT_EQ(pool->LockedCount(), 0);

  TDBConnectionLease held = pools.Lease("db");
  pools.Disconnect("db");
  EXPECT_EQ(pools.Count(), 0);
  EXPECT_EQ(gTrackedAlive, alive + 1);  // pool and connections still there
  held.Database().StartTransaction();
  held.Database().Commit();
  held.Release();
  EXPECT_LT(gTrackedAlive, alive);  // gone with the lease
  EXPECT_FALSE(held);
  EXPECT_EQ(gFreedWhileHeld, 0);
}

TEST(TDBConnectionPools, StressLockWhileThePoolIsDisconnectedAndAddedAgain) {
  // Callers lock, use and give back connections while another thread disconnects the pool and adds it again:
  // no connection is ever freed while in use (under AddressSanitizer a use after free would stop the run).
  constexpr int kLockers = 6, kCycles = 200;
  const int aliveBefore = gTrackedAlive;
  const int freedBefore = gFreedWhileHeld;
  std::atomic<int> used{0};
  {
    TrackedLayer layer;
    TDBConnectionPools pools(&layer, nullptr);
    std::atomic<bool> done{false};
    std::vector<std::thread> lockers;
    for (int t = 0; t < kLockers; ++t)
      lockers.emplace_back([&] {
        while (!done) {
          TPooledDB* item = nullptr;
          try {
            item = pools.Lock("db");
          } catch (const Exception&) {
            std::this_thread::yield();
            continue;
          }
          auto* db = static_cast<TTrackedDatabase*>(item->Database());
          db->held = true;
          db->StartTransaction();
          std::this_thread::yield();
          db->Commit();
          db->held = false;
          ++used;
          try {
            pools.UnLock("db", item);
          } catch (const Exception& e) {
            ADD_FAILURE() << "giving back failed: " << e.Message();
          }
        }
      });
    for (int i = 0; i < kCycles; ++i) {
      try {
        pools.AddConnectionPool("db", "u", "p", "");
      } catch (const Exception&) {
      }
      std::this_thread::sleep_for(200us);
      try {
        pools.Disconnect("db");
      } catch (const Exception&) {
      }
    }
    done = true;
    for (auto& th : lockers) th.join();
    // Every disconnected pool has been freed with its last connection.
    EXPECT_EQ(gTrackedAlive, aliveBefore + pools.Count());
  }
  EXPECT_GT(used.load(), 0);
  EXPECT_EQ(gFreedWhileHeld, freedBefore);
  EXPECT_EQ(gTrackedAlive, aliveBefore);
}
