#pragma once
// Object pools and database connection pools. A TtiPool hands out at most MaxPoolSize items at a time; a caller
// that finds every slot taken waits up to WaitTime for one. A monitor thread frees items that stayed unlocked
// longer than TimeOut, never shrinking the pool below MinPoolSize. TDBConnectionPools keeps one pool of
// connected databases per database name of a persistence layer.
//
// Durations and the clock are settable so that tests (and callers with other needs) do not depend on the
// defaults of 60 s wait, 1 minute idle time-out and a sweep every 10 s.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/tiObject.h"
#include "framework/tiThread.h"

namespace kelvado {

class TtiPool;
class TtiDatabase;
class TDBConnectionPool;
class TDBConnectionPools;
class TThrdPoolMonitor;

using TtiPoolClock = std::function<std::chrono::steady_clock::time_point()>;

// One slot's object. Its lock state and last-used time change only under the pool's list lock.
class TPooledItem : public TtiBaseObject {
public:
  TI_CLASS(TPooledItem)
  explicit TPooledItem(TtiPool* owner);
  ~TPooledItem() override;

  TtiPool* Owner() const { return owner_; }
  bool Locked() const { return locked_; }
  // Position in the pool when last locked or added; -1 until added.
  int Index() const { return index_; }
  std::chrono::steady_clock::time_point LastUsed() const { return lastUsed_; }
  // The pooled object (owned).
  TtiBaseObject* Data() const { return data_.get(); }
  void SetData(std::unique_ptr<TtiBaseObject> data) { data_ = std::move(data); }

  // 999999 while locked; otherwise the time-out in whole seconds minus the whole seconds since last use.
  int64_t SecToTimeOut() const;
  // True when the item is unlocked, idle for the time-out and the pool holds more than MinPoolSize items.
  virtual bool MustRemoveItemFromPool(int listCount) const;

private:
  friend class TtiPool;
  TtiPool* owner_;
  bool locked_ = false;
  int index_ = -1;
  std::chrono::steady_clock::time_point lastUsed_;
  std::unique_ptr<TtiBaseObject> data_;
};

// The sweeping thread of a pool. Stops as soon as it is terminated.
class TThrdPoolMonitor : public TtiSleepThread {
public:
  explicit TThrdPoolMonitor(TtiPool* pool);
  ~TThrdPoolMonitor() override;

protected:
  void Execute() override;

private:
  TtiPool* pool_;
};

class TtiPool : public TtiObject {
public:
  TI_CLASS(TtiPool)
  using ItemFactory = std::function<std::unique_ptr<TPooledItem>(TtiPool*)>;
  using OnAddPooledItem = std::function<void(TPooledItem&)>;

  // Starts the monitor thread.
  TtiPool();
  ~TtiPool() override;

  // A locked item: the first free item that is not due for removal, else a new one (when the pool is full,
  // a free item due for removal is replaced). Waits up to WaitTime for a free slot; then raises
  // EtiPerInternalException "Timed out waiting for a PooledItem.". A failure while adding a new item (a failed
  // connect) gives the slot back before it passes on. A closed pool raises EtiPerInternalException with the
  // text given to Close, also to the callers already waiting. Never returns null.
  TPooledItem* Lock();
  // Errors (nil item, item not of this pool, item not locked) are logged only; the slot is then not given back
  // a second time.
  void UnLock(TPooledItem* item);
  // Unlocks the item that holds `data`; none raises EtiPerInternalException.
  void UnLockByData(const TtiBaseObject* data);
  int Count() const;
  // Adds one unlocked item (the on-add event runs before it joins the list).
  TPooledItem* AddItem();
  // Frees every item, from the last to the first.
  void Clear();
  // Frees the items that MustRemoveItemFromPool says to remove, from the last to the first.
  void SweepForTimeOuts();
  // Refuses every later Lock, and the ones waiting for a slot, with `reason`. Items already locked stay valid
  // and can be unlocked as before. Returns the number of items still locked.
  int Close(const std::string& reason);
  bool Closed() const;
  // The item is one of this pool's (a pointer comparison only: `item` may be stale).
  bool Holds(const TPooledItem* item) const;
  // An item of this pool holds `data`.
  bool HoldsData(const TtiBaseObject* data) const;

  int MinPoolSize() const;
  void SetMinPoolSize(int value);
  int MaxPoolSize() const;
  // Takes effect for the next Lock; items already locked keep their slots, so no more than the new maximum
  // are handed out once enough of them come back.
  void SetMaxPoolSize(int value);
  // Idle time after which an unlocked item may be removed, in minutes (1.0).
  double TimeOut() const;
  void SetTimeOut(double minutes);
  // Longest wait for a free slot in Lock (60 s).
  std::chrono::milliseconds WaitTime() const;
  void SetWaitTime(std::chrono::milliseconds value);
  // Pause of the monitor thread between sweeps (10 s).
  std::chrono::milliseconds SweepInterval() const;
  void SetSweepInterval(std::chrono::milliseconds value);
  // The clock of last-used times and time-outs (steady_clock::now by default).
  void SetClock(TtiPoolClock clock);
  std::chrono::steady_clock::time_point Now() const;

  void SetItemClass(ItemFactory factory);
  void SetOnAddPooledItem(OnAddPooledItem handler);

  // Number of items currently locked (read under the list lock).
  int LockedCount() const;

protected:
  // Stops the monitor thread; a derived pool calls it first in its destructor so that no sweep runs on a
  // half-destroyed object.
  void StopMonitor();

private:
  friend class TPooledItem;
  friend class TThrdPoolMonitor;
  TPooledItem* AddItemLocked();
  std::chrono::steady_clock::time_point NowLocked() const;
  // Takes the item out of the list; a locked one gives its slot back, as its holder no longer can.
  std::unique_ptr<TPooledItem> TakeItemLocked(size_t index);
  bool AcquireSlot();
  void ReleaseSlot();

  mutable std::mutex listMutex_;
  std::vector<std::unique_ptr<TPooledItem>> items_;
  int minPoolSize_ = 1;
  double timeOutMinutes_ = 1.0;
  TtiPoolClock clock_;
  ItemFactory itemFactory_;
  OnAddPooledItem onAdd_;

  // Counting semaphore: slotsTaken_ items (or adds in progress) out of maxPoolSize_.
  mutable std::mutex slotMutex_;
  std::condition_variable slotFreed_;
  int maxPoolSize_ = 9999;
  int slotsTaken_ = 0;
  // Written under both the list and the slot lock, so either lock is enough to read them.
  bool closed_ = false;
  std::string closedReason_;
  std::chrono::milliseconds waitTime_{60000};

  mutable std::mutex monitorMutex_;
  std::chrono::milliseconds sweepInterval_{10000};
  std::unique_ptr<TThrdPoolMonitor> monitor_;
};

// An item holding one connected database of the pool's layer.
class TPooledDB : public TPooledItem {
public:
  TI_CLASS(TPooledDB)
  explicit TPooledDB(TtiPool* owner) : TPooledItem(owner) {}
  TtiDatabase* Database() const;
  void SetDatabase(std::unique_ptr<TtiDatabase> db);
  // Also true when the database reports an error in its last call: a broken connection is not handed out.
  bool MustRemoveItemFromPool(int listCount) const override;
};

// Database name, user name, password and connection parameter text of one pool.
class TDBConnectParams : public TtiBaseObject {
public:
  TI_CLASS(TDBConnectParams)
  std::string DatabaseName;
  std::string UserName;
  std::string Password;
  std::string ConnectionParams;
};

// What the connection pools need from the persistence layer that owns them.
class ItiDBConnectionPoolLayer {
public:
  virtual ~ItiDBConnectionPoolLayer() = default;
  // The layer's database class (a TtiDatabase descendant).
  virtual const TtiClass* PoolDatabaseClass() const = 0;
  // The layer's pool data class (a TtiDBConnectionPoolDataAbs descendant), or nullptr for the base.
  virtual const TtiClass* PoolDataClass() const = 0;
  virtual std::string PoolLayerName() const = 0;
};

// A layer's hook to size its pools: InitDBConnectionPool runs once when a pool is first connected.
class TtiDBConnectionPoolDataAbs : public TtiBaseObject {
public:
  TI_CLASS(TtiDBConnectionPoolDataAbs)
  TtiDBConnectionPoolDataAbs() = default;
  TDBConnectionPool* DBConnectionPool() const { return pool_; }
  void SetDBConnectionPool(TDBConnectionPool* pool) { pool_ = pool; }
  virtual void InitDBConnectionPool() {}

private:
  TDBConnectionPool* pool_ = nullptr;
};

class TDBConnectionLease;

// Made only through TDBConnectionPools (shared, so that a lease can keep it alive).
class TDBConnectionPool : public TtiPool, public std::enable_shared_from_this<TDBConnectionPool> {
public:
  TI_CLASS(TDBConnectionPool)
  explicit TDBConnectionPool(TDBConnectionPools* owner);
  ~TDBConnectionPool() override;

  // Stores the parameters, applies the layer's pool data the first time, and adds one connection at once so
  // that a failing connection is reported when the pool is made.
  void Connect(const std::string& databaseName, const std::string& userName, const std::string& password,
               const std::string& params);
  TPooledDB* LockDB();
  // A connection locked as LockDB does, given back when the lease ends.
  TDBConnectionLease Lease();
  const TDBConnectParams& DBConnectParams() const { return params_; }
  const std::string& DatabaseName() const { return params_.DatabaseName; }
  TDBConnectionPools* Pools() const { return pools_; }

private:
  void AddPooledDB(TPooledItem& item);
  TDBConnectionPools* pools_;
  TDBConnectParams params_;
  bool poolDataApplied_ = false;
};

// A connection locked from a pool and given back to that pool when the lease ends (or at Release). The lease
// shares the ownership of its pool: a pool disconnected meanwhile stays alive, with its connection, until its
// last lease is given back. Move-only; one thread at a time.
class TDBConnectionLease {
public:
  TDBConnectionLease() = default;
  TDBConnectionLease(TDBConnectionLease&& other) noexcept;
  TDBConnectionLease& operator=(TDBConnectionLease&& other) noexcept;
  TDBConnectionLease(const TDBConnectionLease&) = delete;
  TDBConnectionLease& operator=(const TDBConnectionLease&) = delete;
  ~TDBConnectionLease() { Release(); }

  explicit operator bool() const { return item_ != nullptr; }
  TPooledDB* Item() const { return item_; }
  // The connected database; EtiPerInternalException when the lease is empty or the item holds none.
  TtiDatabase& Database() const;
  TDBConnectionPool* Pool() const { return pool_.get(); }
  // Gives the connection back now (failures are logged: this runs on failure paths too).
  void Release() noexcept;

private:
  friend class TDBConnectionPool;
  TDBConnectionLease(std::shared_ptr<TDBConnectionPool> pool, TPooledDB* item)
      : pool_(std::move(pool)), item_(item) {}
  std::shared_ptr<TDBConnectionPool> pool_;
  TPooledDB* item_ = nullptr;
};

class TDBConnectionPools : public TtiObject {
public:
  TI_CLASS(TDBConnectionPools)
  // `layer` supplies the database and pool data classes; `owner` is the layer as a TtiObject (may be nullptr).
  TDBConnectionPools(ItiDBConnectionPoolLayer* layer, TtiObject* owner);
  ~TDBConnectionPools() override;

  // A pool for that name already present (ignoring case) raises EtiPerProgrammerException; a failing first
  // connection passes on and no pool is added.
  TDBConnectionPool* AddConnectionPool(const std::string& databaseName, const std::string& userName,
                                       const std::string& password, const std::string& params);
  // A connection of the named pool, given back when the lease ends (the way to hold one in code).
  TDBConnectionLease Lease(const std::string& databaseName);
  // The item-pointer form: the lease is kept here until UnLock or UnLockByData gives the item back.
  TPooledDB* Lock(const std::string& databaseName);
  // Keeps a lease of one of these pools the same way; its item.
  TPooledDB* Hold(TDBConnectionLease lease);
  // Give an item back to the pool it came from, also when that pool has been disconnected since.
  void UnLock(const std::string& databaseName, TPooledDB* pooledDB);
  void UnLockByData(const std::string& databaseName, const TtiDatabase* database);
  // Removes the named pool at once: later and waiting Locks of it fail, and a new pool of that name may be
  // added. Connections other threads still hold stay valid; the pool and its connections are freed when the
  // last of them is given back (UnLock, UnLockByData).
  void Disconnect(const std::string& databaseName);
  void DisconnectAll();
  // The pools in use (disconnected ones still waiting for their connections are not counted).
  int Count() const;
  TDBConnectionPool* Items(int index) const;
  // The pool of that name (ignoring case), nullptr when none.
  TDBConnectionPool* Find(const std::string& databaseName) const;
  ItiDBConnectionPoolLayer* Layer() const { return layer_; }

private:
  std::shared_ptr<TDBConnectionPool> FindShared(const std::string& databaseName) const;
  std::shared_ptr<TDBConnectionPool> GetShared(const std::string& databaseName) const;
  // Takes the held lease of that pool name whose item `matches` out of held_; an empty lease when none.
  template <class Matches>
  TDBConnectionLease TakeHeld(const std::string& databaseName, Matches matches);
  static void Close(TDBConnectionPool& pool);

  ItiDBConnectionPoolLayer* layer_;
  mutable std::mutex mutex_;
  // Shared so that a pool another thread is waiting in, or holds a lease of, stays alive until it is done.
  std::vector<std::shared_ptr<TDBConnectionPool>> pools_;
  // The leases of the items handed out by Lock.
  std::vector<TDBConnectionLease> held_;
};

}  // namespace kelvado
