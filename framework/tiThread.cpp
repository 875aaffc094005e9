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

// ---------------------------------------------------------------------------------------------------------
// TtiThread

void TtiThreadDeleter::operator()(TtiThread* thread) const { delete thread; }

TtiThread::TtiThread() = default;

TtiThread::~TtiThread() = default;

void TtiThread::Adopt(TtiThreadPtr thread) { tiActiveThreadList().Add(std::move(thread)); }

void TtiThread::Free() {
  if (!Started()) {
    tiActiveThreadList().Remove(this);  // never ran, so no thread will report it finished
    return;
  }
  Terminate();
}

void TtiThread::AfterTerminate() {
  // COM was started on the thread itself; only that thread can stop it.
  tiCoUnInitialize();
  tiActiveThreadList().Finished(this);
}

// ---------------------------------------------------------------------------------------------------------
// TtiActiveThreadList

TtiActiveThreadList::~TtiActiveThreadList() {
  TerminateAll();
  WaitForRunning(5000);
}

void TtiActiveThreadList::Reap() {
  std::vector<TtiThreadPtr> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(finished_);
  }
  done.clear();  // joins each thread as its object goes
}

void TtiActiveThreadList::Add(TtiThreadPtr thread) {
  Reap();
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.push_back(std::move(thread));
}

void TtiActiveThreadList::Remove(TtiThread* thread) {
  TtiThreadPtr gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(threads_.begin(), threads_.end(), [thread](const auto& t) { return t.get() == thread; });
    if (it == threads_.end()) return;
    gone = std::move(*it);
    threads_.erase(it);
  }
  emptied_.notify_all();
}

void TtiActiveThreadList::Finished(TtiThread* thread) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(threads_.begin(), threads_.end(), [thread](const auto& t) { return t.get() == thread; });
    if (it == threads_.end()) return;
    finished_.push_back(std::move(*it));
    threads_.erase(it);
  }
  emptied_.notify_all();
}

void TtiActiveThreadList::TerminateAll() {
  Reap();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = threads_.rbegin(); it != threads_.rend(); ++it) (*it)->Terminate();
}

int TtiActiveThreadList::Count() {
  Reap();
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(threads_.size());
}

bool TtiActiveThreadList::WaitForEmpty(int64_t milliseconds) {
  bool empty;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    empty = emptied_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return threads_.empty(); });
  }
  Reap();
  return empty;
}

bool TtiActiveThreadList::WaitForRunning(int64_t milliseconds) {
  bool none;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    none = emptied_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] {
      return std::none_of(threads_.begin(), threads_.end(), [](const auto& t) { return t->Started(); });
    });
  }
  Reap();
  return none;
}

TtiActiveThreadList& tiActiveThreadList() {
  // Never freed: a thread may still report itself finished while the process' static objects go.
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
