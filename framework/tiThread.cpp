#include "framework/tiThread.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>

#include "framework/tiLog.h"
#include "framework/tiUtils.h"

namespace kelvado {

namespace {

// Nice values standing in for the thread priorities.
int NiceOf(TThreadPriority p) {
  switch (p) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    case tpNormal: return 0;
    case tpHigher: return -5;
    case tpHighest: return -10;
    case tpTimeCritical: return -19;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// TtiSleepThread

TtiSleepThread::TtiSleepThread() = default;

TtiSleepThread::~TtiSleepThread() {
  // A low-priority thread would take long to finish; let it run at normal priority while it stops.
  if (priority_.load() < tpNormal) SetPriority(tpNormal);
  TerminateAndWaitFor();
}

void TtiSleepThread::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_.load()) return;
  started_.store(true);
  thread_ = std::thread([this] { Run(); });
}

void TtiSleepThread::Run() {
  threadID_.store(tiGetCurrentThreadID());
  ApplyPriority();
  try {
    Execute();
  } catch (const std::exception& e) {
    LogError("Unhandled exception in thread %d: %s", {threadID_.load(), e.what()});
  } catch (...) {
    LogError("Unhandled exception in thread %d", {threadID_.load()});
  }
  try {
    DoOnTerminate();
  } catch (const std::exception& e) {
    LogError("Unhandled exception in the termination of thread %d: %s", {threadID_.load(), e.what()});
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.store(true);
  }
  wake_.notify_all();
  AfterTerminate();
}

void TtiSleepThread::Terminate() {
  // Notified under the lock: a self-freeing thread woken by this may free the object (and the condition
  // variable) as soon as the lock is released.
  std::lock_guard<std::mutex> lock(mutex_);
  terminated_.store(true);
  wake_.notify_all();
}

void TtiSleepThread::WaitFor() {
  std::thread::id self = std::this_thread::get_id();
  std::thread toJoin;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || thread_.get_id() == self) return;
    toJoin = std::move(thread_);
  }
  toJoin.join();
}

void TtiSleepThread::TerminateAndWaitFor() {
  Terminate();
  WaitFor();
}

bool TtiSleepThread::SleepAndCheckTerminated(int64_t milliseconds) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(std::max<int64_t>(milliseconds, 0));
  std::unique_lock<std::mutex> lock(mutex_);
  while (!terminated_.load()) {
    const auto now = clock::now();
    if (now >= deadline) break;
    const auto step = std::min<clock::duration>(deadline - now, std::chrono::milliseconds(sleepResponse_));
    // Terminate() notifies, so a terminated thread wakes at once rather than at the end of the step.
    wake_.wait_for(lock, step, [this] { return terminated_.load(); });
  }
  return !terminated_.load();
}

void TtiSleepThread::SetPriority(TThreadPriority priority) {
  priority_.store(priority);
  if (threadID_.load() != 0 && !finished_.load()) ApplyPriority();
}

void TtiSleepThread::ApplyPriority() {
  const int64_t id = threadID_.load();
  if (id == 0) return;
  // On Linux the nice value belongs to the single thread named by its kernel id.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(id), NiceOf(priority_.load()));
}

void TtiSleepThread::DetachThread() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) thread_.detach();
}

// ---------------------------------------------------------------------------------------------------------
// TtiThread

TtiThread::TtiThread() { tiActiveThreadList().Add(this); }

TtiThread::~TtiThread() {
  // COM was started on the thread itself; only that thread can stop it.
  if (ThreadID() == tiGetCurrentThreadID()) tiCoUnInitialize();
  tiActiveThreadList().Remove(this);
}

void TtiThread::Free() {
  if (!Started()) {
    delete this;  // never ran, so nothing else will free it
    return;
  }
  Terminate();
}

void TtiThread::AfterTerminate() {
  DetachThread();
  delete this;  // the thread frees its own object as its last action
}

// ---------------------------------------------------------------------------------------------------------
// TtiActiveThreadList

TtiActiveThreadList::~TtiActiveThreadList() {
  TerminateAll();
  WaitForRunning(5000);
}

void TtiActiveThreadList::Add(TtiSleepThread* thread) {
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.push_back(thread);
}

void TtiActiveThreadList::Remove(TtiSleepThread* thread) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(threads_.begin(), threads_.end(), thread);
    if (it != threads_.end()) threads_.erase(it);
  }
  emptied_.notify_all();
}

void TtiActiveThreadList::TerminateAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = threads_.rbegin(); it != threads_.rend(); ++it) (*it)->Terminate();
}

int TtiActiveThreadList::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(threads_.size());
}

bool TtiActiveThreadList::WaitForEmpty(int64_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return emptied_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return threads_.empty(); });
}

bool TtiActiveThreadList::WaitForRunning(int64_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A listed thread stays alive at least until it has removed itself, so asking it is safe under the lock.
  return emptied_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] {
    return std::none_of(threads_.begin(), threads_.end(), [](TtiSleepThread* t) { return t->Started(); });
  });
}

TtiActiveThreadList& tiActiveThreadList() {
  // Never freed: a self-freeing thread may still remove itself while the process' static objects go.
  static TtiActiveThreadList* list = new TtiActiveThreadList();
  return *list;
}

namespace {
// At process end, stops the running threads so none works on while the program's objects are freed.
struct ActiveThreadReaper {
  ~ActiveThreadReaper() {
    TtiActiveThreadList& list = tiActiveThreadList();
    list.TerminateAll();
    list.WaitForRunning(5000);
  }
} gActiveThreadReaper;
}  // namespace

}  // namespace kelvado
