#pragma once
// Thread base classes: an interruptible sleeping thread, a worker thread owned by the process-wide
// active-thread list (which frees it once it has finished), and that list.
//
// A thread object is always created suspended: Execute is virtual, and a C++ object cannot run a virtual
// operation of its derived class before the derived constructor has finished. Start it with Resume().
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kelvado {

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TtiSleepThread {
public:
  TtiSleepThread();
  // Terminates the thread and waits for it. A derived class whose Execute uses its own members must call
  // TerminateAndWaitFor() in its own destructor, before those members go.
  virtual ~TtiSleepThread();
  TtiSleepThread(const TtiSleepThread&) = delete;
  TtiSleepThread& operator=(const TtiSleepThread&) = delete;

  // Starts a created thread; a second call does nothing.
  void Resume();
  void Start() { Resume(); }
  bool Started() const { return started_.load(); }
  bool Finished() const { return finished_.load(); }
  // Asks the thread to stop; a sleep in SleepAndCheckTerminated returns at once.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // Waits until Execute has returned (nothing when not started, or when called from the thread itself).
  void WaitFor();
  void TerminateAndWaitFor();

  // Sleeps in steps of SleepResponse ms until `milliseconds` have passed or the thread is terminated;
  // true when not terminated.
  bool SleepAndCheckTerminated(int64_t milliseconds);
  int SleepResponse() const { return sleepResponse_; }
  void SetSleepResponse(int ms) { sleepResponse_ = ms > 0 ? ms : 1; }

  // The priority is applied when the thread starts or, once running, at once. Raising it above normal needs
  // rights that a desktop user usually lacks; a refused change keeps the old scheduling.
  TThreadPriority Priority() const { return priority_.load(); }
  void SetPriority(TThreadPriority priority);
  // The kernel's id of the running thread; 0 before it starts.
  int64_t ThreadID() const { return threadID_.load(); }

protected:
  virtual void Execute() = 0;
  // Runs on the thread after Execute returns (also after Execute threw).
  virtual void DoOnTerminate() {}
  // Called on the thread as its very last action.
  virtual void AfterTerminate() {}

private:
  void Run();
  void ApplyPriority();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<TThreadPriority> priority_{tpNormal};
  std::atomic<int64_t> threadID_{0};
  int sleepResponse_ = 100;
};

class TtiThread;
// Frees a worker thread on behalf of the active-thread list (its destructor is not public).
struct TtiThreadDeleter {
  void operator()(TtiThread* thread) const;
};
using TtiThreadPtr = std::unique_ptr<TtiThread, TtiThreadDeleter>;

// A worker thread owned by the active-thread list from its creation: the list frees it once Execute has
// finished (at its next call, or when waited for). Create it with Create or CreateAndResume; the pointer they
// return is valid until the thread has finished.
class TtiThread : public TtiSleepThread {
public:
  TtiThread();

  template <class T, class... Args>
  static T* Create(Args&&... args) {
    std::unique_ptr<T> made(new T(std::forward<Args>(args)...));
    T* raw = made.get();
    Adopt(TtiThreadPtr(made.release()));
    return raw;
  }
  template <class T, class... Args>
  static T* CreateAndResume(Args&&... args) {
    T* t = Create<T>(std::forward<Args>(args)...);
    t->Resume();
    return t;
  }
  // A thread that was never started is freed at once; a running one is told to terminate and is freed by the
  // list when it has finished.
  void Free();

protected:
  // Protected: the active-thread list frees the object, never its creator.
  ~TtiThread() override;
  // The termination hook (empty in the base); runs on the thread after Execute.
  virtual void OnTerminate() {}
  void DoOnTerminate() final { OnTerminate(); }
  void AfterTerminate() final;

private:
  friend struct TtiThreadDeleter;
  static void Adopt(TtiThreadPtr thread);
};

// Owns the worker threads. A thread that has finished is moved aside by itself and freed (joined) by the next
// call of the list from another thread; every call below frees those first.
class TtiActiveThreadList {
public:
  TtiActiveThreadList() = default;
  // Terminates the listed threads and waits briefly for the running ones to go.
  ~TtiActiveThreadList();
  void Add(TtiThreadPtr thread);
  // Frees a thread that was never started.
  void Remove(TtiThread* thread);
  // Called by a thread as its last action: moves it aside for freeing.
  void Finished(TtiThread* thread);
  // Asks every listed thread to terminate, from the last to the first.
  void TerminateAll();
  // Threads not yet finished.
  int Count();
  // Waits until every thread has finished (and is freed) or the time is up; true when none is left.
  bool WaitForEmpty(int64_t milliseconds);
  // Waits until no listed thread is running (created-but-never-started ones do not count); true when none.
  bool WaitForRunning(int64_t milliseconds);

private:
  // Frees the finished threads (outside the lock: freeing joins).
  void Reap();

  std::mutex mutex_;
  std::condition_variable emptied_;
  std::vector<TtiThreadPtr> threads_;
  std::vector<TtiThreadPtr> finished_;
};

// The process-wide active-thread list (the persistence manager's). At process end its running threads are
// told to terminate and waited for (up to 5 s).
TtiActiveThreadList& tiActiveThreadList();

}  // namespace kelvado
