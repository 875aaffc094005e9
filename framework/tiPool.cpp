#include "framework/tiPool.h"

#include <algorithm>
#include <utility>

#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiQuery.h"
#include "framework/tiUtils.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

const char* const cErrorTimedOut = "Timed out waiting for a PooledItem.";

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Class descriptors

const TtiClass& TPooledItem::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPooledItem, TtiBaseObject>(), "TPooledItem");
  return c;
}
const TtiClass& TPooledDB::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPooledDB, TPooledItem>(), "TPooledDB");
  return c;
}
const TtiClass& TtiPool::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiPool, TtiObject>(), "TtiPool");
  return c;
}
const TtiClass& TDBConnectParams::StaticClass() {
  static const TtiClass c(TtiClass::Of<TDBConnectParams, TtiBaseObject>(), "TDBConnectParams");
  return c;
}
const TtiClass& TtiDBConnectionPoolDataAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBConnectionPoolDataAbs, TtiBaseObject>(), "TtiDBConnectionPoolDataAbs");
  return c;
}
const TtiClass& TDBConnectionPool::StaticClass() {
  static const TtiClass c(TtiClass::Of<TDBConnectionPool, TtiPool>(), "TDBConnectionPool");
  return c;
}
const TtiClass& TDBConnectionPools::StaticClass() {
  static const TtiClass c(TtiClass::Of<TDBConnectionPools, TtiObject>(), "TDBConnectionPools");
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// TPooledItem

TPooledItem::TPooledItem(TtiPool* owner) : owner_(owner) {
  lastUsed_ = owner_ ? owner_->NowLocked() : std::chrono::steady_clock::now();
}

TPooledItem::~TPooledItem() = default;

int64_t TPooledItem::SecToTimeOut() const {
  if (locked_) return 999999;
  if (!owner_) return 999999;
  const auto timeOutSec = static_cast<int64_t>(owner_->timeOutMinutes_ * 60.0);
  const auto idleSec = std::chrono::duration_cast<std::chrono::seconds>(owner_->NowLocked() - lastUsed_).count();
  return timeOutSec - idleSec;
}

bool TPooledItem::MustRemoveItemFromPool(int listCount) const {
  return !locked_ && SecToTimeOut() < 1 && owner_ && listCount > owner_->minPoolSize_;
}

// ---------------------------------------------------------------------------------------------------------
// TThrdPoolMonitor

TThrdPoolMonitor::TThrdPoolMonitor(TtiPool* pool) : pool_(pool) {}

TThrdPoolMonitor::~TThrdPoolMonitor() { TerminateAndWaitFor(); }

void TThrdPoolMonitor::Execute() {
  using clock = std::chrono::steady_clock;
  auto lastSweep = clock::now();
  while (!Terminated()) {
    // The interval is read again on every step so that a changed interval takes effect without waiting out
    // the old one.
    const auto interval = pool_->SweepInterval();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - lastSweep);
    if (elapsed >= interval) {
      try {
        pool_->SweepForTimeOuts();
      } catch (const std::exception& e) {
        LogError(std::string("Pool sweep failed: ") + e.what());
      }
      lastSweep = clock::now();
      continue;
    }
    const auto step = std::min<int64_t>((interval - elapsed).count(), SleepResponse());
    if (!SleepAndCheckTerminated(std::max<int64_t>(step, 1))) break;
  }
}

// ---------------------------------------------------------------------------------------------------------
// TtiPool

TtiPool::TtiPool() {
  monitor_ = std::make_unique<TThrdPoolMonitor>(this);
  monitor_->SetPriority(tpLowest);
  monitor_->Resume();
}

TtiPool::~TtiPool() {
  StopMonitor();
  Clear();
}

void TtiPool::StopMonitor() {
  if (monitor_) {
    monitor_->TerminateAndWaitFor();
    monitor_.reset();
  }
}

std::chrono::steady_clock::time_point TtiPool::NowLocked() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::chrono::steady_clock::time_point TtiPool::Now() const {
  std::lock_guard<std::mutex> l(listMutex_);
  return NowLocked();
}

bool TtiPool::AcquireSlot() {
  std::unique_lock<std::mutex> l(slotMutex_);
  if (!slotFreed_.wait_for(l, waitTime_, [this] { return closed_ || slotsTaken_ < maxPoolSize_; })) return false;
  if (closed_) throw EtiPerInternalException(closedReason_);
  ++slotsTaken_;
  return true;
}

void TtiPool::ReleaseSlot() {
  {
    std::lock_guard<std::mutex> l(slotMutex_);
    if (slotsTaken_ > 0) --slotsTaken_;
  }
  slotFreed_.notify_one();
}

TPooledItem* TtiPool::Lock() {
  if (!AcquireSlot()) throw EtiPerInternalException(cErrorTimedOut);
  std::unique_ptr<TPooledItem> replaced;  // freed after the lock is released
  // The slot goes back unless an item is handed out with it.
  TtiUndoUnlessDone slot([this] { ReleaseSlot(); });
  TPooledItem* result = nullptr;
  bool added = false;
  int count = 0;
  int index = -1;
  {
    std::lock_guard<std::mutex> l(listMutex_);
    // Closed after the slot was had: nothing may be handed out of a pool whose owner is letting it go.
    if (closed_) throw EtiPerInternalException(closedReason_);
    count = static_cast<int>(items_.size());
    for (int i = 0; i < count && !result; ++i) {
      TPooledItem* item = items_[i].get();
      if (!item->locked_ && !item->MustRemoveItemFromPool(count)) {
        item->index_ = i;
        result = item;
      }
    }
    if (!result) {
      const int max = MaxPoolSize();
      if (count >= max) {
        // Every free item is due for removal (idle too long, or its connection broke) but the sweep has not
        // come yet: replace one rather than refuse a caller that holds a free slot.
        for (int i = count - 1; i >= 0; --i) {
          if (!items_[i]->locked_) {
            Log("Pooled item (" + ClassName() + ") #" + std::to_string(i) + " being removed from the pool.",
                lsDBConnection);
            replaced = TakeItemLocked(static_cast<size_t>(i));
            break;
          }
        }
      }
      if (static_cast<int>(items_.size()) >= max) {
        // Cannot happen while the slot count is right; fail loudly rather than hand out nothing.
        const std::string msg = tiFormat(
            "Semaphore was available but no items available in the pool. MaxPoolSize: %d, Current pool size: %d"
            "Called in TtiPool.Lock",
            {max, static_cast<int>(items_.size())});
        LogError(msg);
        throw EtiPerInternalException(msg);
      }
      result = AddItemLocked();
      added = true;
      count = static_cast<int>(items_.size());
    }
    result->locked_ = true;
    index = result->index_;
  }
  slot.Done();
  // Logged outside the list lock, which every other caller of the pool is waiting for.
  if (added) {
    Log("A new PooledItem has been added to the pool.", lsDBConnection);
    Log("PooledItem #" + std::to_string(count) + " locked.", lsDBConnection);
  } else {
    Log("PooledItem #" + std::to_string(index) + " Locked.", lsDBConnection);
  }
  return result;
}

void TtiPool::UnLock(TPooledItem* item) {
  int index = -1;
  if (!item) {
    LogError("Nil PooledItem passed to TtiPool.UnLock");
    return;
  }
  {
    std::lock_guard<std::mutex> l(listMutex_);
    // Look the item up before touching it: a pointer that is not ours may point at freed memory.
    const auto it = std::find_if(items_.begin(), items_.end(), [item](const auto& p) { return p.get() == item; });
    if (it == items_.end()) {
      LogError("Attempting to unlock a PooledItem which can not be found in the pool. Called in "
               "TtiPool.SetPoolSize");
      return;
    }
    if (!item->locked_) {
      // Giving the slot back again would let more than MaxPoolSize callers in.
      LogError("Attempting to unlock a PooledItem which is not locked.");
      return;
    }
    item->locked_ = false;
    item->lastUsed_ = NowLocked();
    index = item->index_;
  }
  ReleaseSlot();
  Log("PooledItem #" + std::to_string(index) + " Unlocked.", lsDBConnection);
}

void TtiPool::UnLockByData(const TtiBaseObject* data) {
  TPooledItem* found = nullptr;
  {
    std::lock_guard<std::mutex> l(listMutex_);
    for (const auto& p : items_)
      if (data && p->data_.get() == data) {
        found = p.get();
        break;
      }
  }
  if (!found)
    throw EtiPerInternalException("Attempt to unlock item by passing object that is not owned by a PooledItem");
  UnLock(found);
}

int TtiPool::Count() const {
  std::lock_guard<std::mutex> l(listMutex_);
  return static_cast<int>(items_.size());
}

int TtiPool::LockedCount() const {
  std::lock_guard<std::mutex> l(listMutex_);
  return static_cast<int>(std::count_if(items_.begin(), items_.end(), [](const auto& p) { return p->locked_; }));
}

TPooledItem* TtiPool::AddItem() {
  std::lock_guard<std::mutex> l(listMutex_);
  return AddItemLocked();
}

TPooledItem* TtiPool::AddItemLocked() {
  std::unique_ptr<TPooledItem> item = itemFactory_ ? itemFactory_(this) : std::make_unique<TPooledItem>(this);
  const int index = static_cast<int>(items_.size());
  Log("Attempting to add pooled item #" + std::to_string(index), lsDBConnection);
  item->owner_ = this;
  // A failing on-add event (a failed connect) frees the item before it joins the list.
  if (onAdd_) onAdd_(*item);
  items_.push_back(std::move(item));
  TPooledItem* added = items_.back().get();
  added->index_ = index;
  Log("Pooled item #" + std::to_string(index) + " added.", lsDBConnection);
  return added;
}

std::unique_ptr<TPooledItem> TtiPool::TakeItemLocked(size_t index) {
  if (items_[index]->locked_) {
    // Its holder can no longer give the slot back (UnLock will not find the item), so give it back here.
    std::lock_guard<std::mutex> s(slotMutex_);
    if (slotsTaken_ > 0) --slotsTaken_;
    slotFreed_.notify_one();
  }
  std::unique_ptr<TPooledItem> item = std::move(items_[index]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  return item;
}

void TtiPool::Clear() {
  std::vector<std::unique_ptr<TPooledItem>> removed;  // freed after the lock is released
  std::lock_guard<std::mutex> l(listMutex_);
  while (!items_.empty()) removed.push_back(TakeItemLocked(items_.size() - 1));
}

void TtiPool::SweepForTimeOuts() {
  // Freed after the lock is released: closing a connection must not hold up the callers of Lock.
  std::vector<std::unique_ptr<TPooledItem>> removed;
  std::lock_guard<std::mutex> l(listMutex_);
  if (static_cast<int>(items_.size()) <= minPoolSize_) return;
  for (int i = static_cast<int>(items_.size()) - 1; i >= 0; --i) {
    if (items_[i]->MustRemoveItemFromPool(static_cast<int>(items_.size()))) {
      Log("Pooled item (" + ClassName() + ") #" + std::to_string(i) + " being removed from the pool.",
          lsDBConnection);
      removed.push_back(TakeItemLocked(static_cast<size_t>(i)));
      Log("There are " + std::to_string(items_.size()) + " items left in the pool.", lsDBConnection);
    }
  }
}

int TtiPool::Close(const std::string& reason) {
  int locked = 0;
  {
    std::lock_guard<std::mutex> l(listMutex_);
    {
      std::lock_guard<std::mutex> s(slotMutex_);
      closed_ = true;
      closedReason_ = reason;
    }
    for (const auto& p : items_)
      if (p->locked_) ++locked;
  }
  slotFreed_.notify_all();
  return locked;
}

bool TtiPool::Closed() const {
  std::lock_guard<std::mutex> l(listMutex_);
  return closed_;
}

bool TtiPool::Holds(const TPooledItem* item) const {
  std::lock_guard<std::mutex> l(listMutex_);
  return item && std::any_of(items_.begin(), items_.end(), [item](const auto& p) { return p.get() == item; });
}

bool TtiPool::HoldsData(const TtiBaseObject* data) const {
  std::lock_guard<std::mutex> l(listMutex_);
  return data && std::any_of(items_.begin(), items_.end(), [data](const auto& p) { return p->data_.get() == data; });
}

int TtiPool::MinPoolSize() const {
  std::lock_guard<std::mutex> l(listMutex_);
  return minPoolSize_;
}

void TtiPool::SetMinPoolSize(int value) {
  std::lock_guard<std::mutex> l(listMutex_);
  minPoolSize_ = value;
}

int TtiPool::MaxPoolSize() const {
  std::lock_guard<std::mutex> l(slotMutex_);
  return maxPoolSize_;
}

void TtiPool::SetMaxPoolSize(int value) {
  {
    std::lock_guard<std::mutex> l(slotMutex_);
    maxPoolSize_ = value;
  }
  slotFreed_.notify_all();
}

double TtiPool::TimeOut() const {
  std::lock_guard<std::mutex> l(listMutex_);
  return timeOutMinutes_;
}

void TtiPool::SetTimeOut(double minutes) {
  std::lock_guard<std::mutex> l(listMutex_);
  timeOutMinutes_ = minutes;
}

std::chrono::milliseconds TtiPool::WaitTime() const {
  std::lock_guard<std::mutex> l(slotMutex_);
  return waitTime_;
}

void TtiPool::SetWaitTime(std::chrono::milliseconds value) {
  std::lock_guard<std::mutex> l(slotMutex_);
  waitTime_ = value;
}

std::chrono::milliseconds TtiPool::SweepInterval() const {
  std::lock_guard<std::mutex> l(monitorMutex_);
  return sweepInterval_;
}

void TtiPool::SetSweepInterval(std::chrono::milliseconds value) {
  std::lock_guard<std::mutex> l(monitorMutex_);
  sweepInterval_ = value;
}

void TtiPool::SetClock(TtiPoolClock clock) {
  std::lock_guard<std::mutex> l(listMutex_);
  clock_ = std::move(clock);
}

void TtiPool::SetItemClass(ItemFactory factory) {
  std::lock_guard<std::mutex> l(listMutex_);
  itemFactory_ = std::move(factory);
}

void TtiPool::SetOnAddPooledItem(OnAddPooledItem handler) {
  std::lock_guard<std::mutex> l(listMutex_);
  onAdd_ = std::move(handler);
}

// ---------------------------------------------------------------------------------------------------------
// TPooledDB

TtiDatabase* TPooledDB::Database() const { return static_cast<TtiDatabase*>(Data()); }

void TPooledDB::SetDatabase(std::unique_ptr<TtiDatabase> db) { SetData(std::move(db)); }

bool TPooledDB::MustRemoveItemFromPool(int listCount) const {
  if (TPooledItem::MustRemoveItemFromPool(listCount)) return true;
  // Never while locked: the holder is still using the connection.
  return !Locked() && Database() && Database()->GetErrorInLastCall();
}

// ---------------------------------------------------------------------------------------------------------
// TDBConnectionPool

TDBConnectionPool::TDBConnectionPool(TDBConnectionPools* owner) : pools_(owner) {
  SetOwner(owner);
  SetItemClass([](TtiPool* pool) { return std::make_unique<TPooledDB>(pool); });
  SetOnAddPooledItem([this](TPooledItem& item) { AddPooledDB(item); });
}

TDBConnectionPool::~TDBConnectionPool() {
  StopMonitor();
  Clear();
}

void TDBConnectionPool::Connect(const std::string& databaseName, const std::string& userName,
                                const std::string& password, const std::string& params) {
  params_.DatabaseName = databaseName;
  params_.UserName = userName;
  params_.Password = password;
  params_.ConnectionParams = params;
  if (!poolDataApplied_) {
    const TtiClass* cls = pools_ && pools_->Layer() ? pools_->Layer()->PoolDataClass() : nullptr;
    std::unique_ptr<TtiDBConnectionPoolDataAbs> data;
    if (cls) {
      data = cls->CreateAs<TtiDBConnectionPoolDataAbs>();
    } else {
      data = std::make_unique<TtiDBConnectionPoolDataAbs>();
    }
    data->SetDBConnectionPool(this);
    data->InitDBConnectionPool();
    poolDataApplied_ = true;
  }
  AddItem();
}

TPooledDB* TDBConnectionPool::LockDB() { return static_cast<TPooledDB*>(Lock()); }

TDBConnectionLease TDBConnectionPool::Lease() {
  std::shared_ptr<TDBConnectionPool> self = shared_from_this();
  TPooledDB* item = LockDB();
  return TDBConnectionLease(std::move(self), item);
}

void TDBConnectionPool::AddPooledDB(TPooledItem& item) {
  const TtiClass* cls = pools_ && pools_->Layer() ? pools_->Layer()->PoolDatabaseClass() : nullptr;
  if (!cls) throw EtiPerInternalException("Unable to find the database class of the persistence layer");
  auto& pooled = static_cast<TPooledDB&>(item);
  pooled.SetDatabase(TtiDatabase::CreateInstance(*cls));
  pooled.Database()->Connect(params_.DatabaseName, params_.UserName, params_.Password, params_.ConnectionParams);
}

// ---------------------------------------------------------------------------------------------------------
// TDBConnectionLease

TDBConnectionLease::TDBConnectionLease(TDBConnectionLease&& other) noexcept
    : pool_(std::move(other.pool_)), item_(std::exchange(other.item_, nullptr)) {}

TDBConnectionLease& TDBConnectionLease::operator=(TDBConnectionLease&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = std::move(other.pool_);
    item_ = std::exchange(other.item_, nullptr);
  }
  return *this;
}

TtiDatabase& TDBConnectionLease::Database() const {
  if (!item_ || !item_->Database())
    throw EtiPerInternalException("The connection lease holds no database");
  return *item_->Database();
}

void TDBConnectionLease::Release() noexcept {
  TPooledDB* item = std::exchange(item_, nullptr);
  if (item && pool_) pool_->UnLock(item);  // logs, never raises
  pool_.reset();  // a disconnected pool goes with its last lease
}

// ---------------------------------------------------------------------------------------------------------
// TDBConnectionPools

TDBConnectionPools::TDBConnectionPools(ItiDBConnectionPoolLayer* layer, TtiObject* owner) : layer_(layer) {
  SetOwner(owner);
}

TDBConnectionPools::~TDBConnectionPools() {
  DisconnectAll();
  // The layer ends: whatever is still held by Lock goes now.
  std::vector<TDBConnectionLease> left;
  {
    std::lock_guard<std::mutex> l(mutex_);
    left.swap(held_);
  }
  for (const auto& lease : left)
    LogError("Database connection pool <" + lease.Pool()->DatabaseName() + "> freed with connections still in use");
}

std::shared_ptr<TDBConnectionPool> TDBConnectionPools::FindShared(const std::string& databaseName) const {
  std::lock_guard<std::mutex> l(mutex_);
  for (const auto& p : pools_)
    if (SameTextAscii(p->DatabaseName(), databaseName)) return p;
  return nullptr;
}

std::shared_ptr<TDBConnectionPool> TDBConnectionPools::GetShared(const std::string& databaseName) const {
  auto pool = FindShared(databaseName);
  if (!pool) throw EtiPerProgrammerException("Unable to find database connection pool <%s>", {databaseName});
  return pool;
}

TDBConnectionPool* TDBConnectionPools::Find(const std::string& databaseName) const {
  return FindShared(databaseName).get();
}

TDBConnectionPool* TDBConnectionPools::AddConnectionPool(const std::string& databaseName,
                                                         const std::string& userName, const std::string& password,
                                                         const std::string& params) {
  const auto duplicate = [&] {
    return EtiPerProgrammerException("Attempt to add duplicate database connection pool <%s>",
                                     {databaseName + "/" + userName});
  };
  if (FindShared(databaseName)) throw duplicate();
  Log(tiFormat("Creating database connection pool for %s/%s", {databaseName, userName}), lsDBConnection);
  // Connected outside the list lock: a slow connect must not hold up the other pools.
  auto pool = std::make_shared<TDBConnectionPool>(this);
  pool->Connect(databaseName, userName, password, params);
  std::lock_guard<std::mutex> l(mutex_);
  for (const auto& p : pools_)
    if (SameTextAscii(p->DatabaseName(), databaseName)) throw duplicate();
  pools_.push_back(pool);
  return pool.get();
}

// The pool is held while the caller waits in it; a Disconnect meanwhile closes it, so the item handed out is
// either refused or counted, and a counted one keeps the pool alive until it comes back.
TDBConnectionLease TDBConnectionPools::Lease(const std::string& databaseName) {
  return GetShared(databaseName)->Lease();
}

TPooledDB* TDBConnectionPools::Lock(const std::string& databaseName) { return Hold(Lease(databaseName)); }

TPooledDB* TDBConnectionPools::Hold(TDBConnectionLease lease) {
  TPooledDB* item = lease.Item();
  std::lock_guard<std::mutex> l(mutex_);
  held_.push_back(std::move(lease));
  return item;
}

template <class Matches>
TDBConnectionLease TDBConnectionPools::TakeHeld(const std::string& databaseName, Matches matches) {
  std::lock_guard<std::mutex> l(mutex_);
  for (auto it = held_.begin(); it != held_.end(); ++it)
    if (SameTextAscii(it->Pool()->DatabaseName(), databaseName) && matches(*it->Item())) {
      TDBConnectionLease lease = std::move(*it);
      held_.erase(it);
      return lease;
    }
  return {};
}

void TDBConnectionPools::UnLock(const std::string& databaseName, TPooledDB* pooledDB) {
  if (TDBConnectionLease lease = TakeHeld(databaseName, [pooledDB](const TPooledDB& i) { return &i == pooledDB; }))
    return;  // given back as the lease ends
  // Not one of ours: the pool in use of that name reports the stranger.
  GetShared(databaseName)->UnLock(pooledDB);
}

void TDBConnectionPools::UnLockByData(const std::string& databaseName, const TtiDatabase* database) {
  if (TDBConnectionLease lease =
          TakeHeld(databaseName, [database](const TPooledDB& i) { return database && i.Database() == database; }))
    return;
  GetShared(databaseName)->UnLockByData(database);
}

void TDBConnectionPools::Close(TDBConnectionPool& pool) {
  pool.Close(tiFormat("Database connection pool <%s> has been disconnected", {pool.DatabaseName()}));
}

void TDBConnectionPools::Disconnect(const std::string& databaseName) {
  std::shared_ptr<TDBConnectionPool> removed;  // freed after the lock is released (unless leases hold it)
  {
    std::lock_guard<std::mutex> l(mutex_);
    const auto it = std::find_if(pools_.begin(), pools_.end(), [&](const auto& p) {
      return SameTextAscii(p->DatabaseName(), databaseName);
    });
    if (it == pools_.end())
      throw EtiPerProgrammerException("Unable to find database connection pool <%s>", {databaseName});
    removed = *it;
    pools_.erase(it);
    Close(*removed);
  }
}

void TDBConnectionPools::DisconnectAll() {
  std::vector<std::shared_ptr<TDBConnectionPool>> removed;  // freed after the lock is released
  {
    std::lock_guard<std::mutex> l(mutex_);
    removed.swap(pools_);
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) Close(**it);
  }
  while (!removed.empty()) removed.pop_back();
}

int TDBConnectionPools::Count() const {
  std::lock_guard<std::mutex> l(mutex_);
  return static_cast<int>(pools_.size());
}

TDBConnectionPool* TDBConnectionPools::Items(int index) const {
  std::lock_guard<std::mutex> l(mutex_);
  if (index < 0 || index >= static_cast<int>(pools_.size()))
    throw EtiPerProgrammerException("List index out of bounds (%d)", {index});
  return pools_[static_cast<size_t>(index)].get();
}

}  // namespace kelvado
