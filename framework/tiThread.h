#pragma once
// Thread base classes: an interruptible sleeping thread, a self-freeing worker thread that registers itself
// in the process-wide active-thread list, and that list.
//
// A thread object is always created suspended: Execute is virtual, and a C++ object cannot run a virtual
// operation of its derived class before the derived constructor has finished. Start it with Resume().
#include <atomic>
#include <condition_variable>
#include <cstdint>
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
  // For a self-freeing thread: called on the thread as its very last action.
  virtual void AfterTerminate() {}
  // Releases the thread object so the thread may free its own object.
  void DetachThread();

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

// A worker thread that frees itself when Execute has finished. Create it with new (Create or CreateAndResume);
// the pointer is valid only until the thread ends. Registered in tiActiveThreadList() while it exists.
class TtiThread : public TtiSleepThread {
public:
  TtiThread();

  template <class T, class... Args>
  static T* Create(Args&&... args) {
    return new T(std::forward<Args>(args)...);
  }
  template <class T, class... Args>
  static T* CreateAndResume(Args&&... args) {
    T* t = new T(std::forward<Args>(args)...);
    t->Resume();
    return t;
  }
  // A thread that was never started is freed at once; a running one is told to terminate and frees itself.
  void Free();

protected:
  // Protected: the object frees itself (or is freed by Free), never by its creator.
  ~TtiThread() override;
  // The termination hook (empty in the base); runs on the thread after Execute.
  virtual void OnTerminate() {}
  void DoOnTerminate() final { OnTerminate(); }
  void AfterTerminate() final;
};

class TtiActiveThreadList {
public:
  TtiActiveThreadList() = default;
  // Terminates the listed threads and waits briefly for the running ones to go.
  ~TtiActiveThreadList();
  void Add(TtiSleepThread* thread);
  void Remove(TtiSleepThread* thread);
  // Asks every listed thread to terminate, from the last to the first.
  void TerminateAll();
  int Count() const;
  // Waits until the list is empty or the time is up; true when empty.
  bool WaitForEmpty(int64_t milliseconds);
  // Waits until no listed thread is running (created-but-never-started ones do not count); true when none.
  bool WaitForRunning(int64_t milliseconds);

private:
  mutable std::mutex mutex_;
  std::condition_variable emptied_;
  std::vector<TtiSleepThread*> threads_;  // not owned
};

// The process-wide active-thread list (the persistence manager's). At process end its running threads are
// told to terminate and waited for (up to 5 s).
TtiActiveThreadList& tiActiveThreadList();

}  // namespace kelvado
