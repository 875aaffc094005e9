#include "framework/tiThread.h"

#include <gtest/gtest.h>

#include <chrono>

#include "framework/tiUtils.h"
#include "tests/support/ThreadWait.h"

using namespace kelvado;
using namespace std::chrono;

namespace {

// Sleeps long in the interruptible steps, as a pool monitor does, and records how its sleeps ended.
class Sleeper : public TtiSleepThread {
public:
  ~Sleeper() override { TerminateAndWaitFor(); }
  std::atomic<int> sleeps{0};
  std::atomic<bool> lastResult{true};
  std::atomic<bool> inSleep{false};

protected:
  void Execute() override {
    while (!Terminated()) {
      inSleep = true;
      lastResult = SleepAndCheckTerminated(10000);
      ++sleeps;
    }
  }
};

void WaitUntil(const std::function<bool()>& cond, int ms = 5000) {
  const auto end = steady_clock::now() + milliseconds(ms);
  while (!cond() && steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(1));
}

// Counts how many of its kind exist, so the test can see it free itself.
class Worker : public TtiThread {
public:
  static std::atomic<int> alive;
  static std::atomic<int> terminateHooks;
  Worker() { ++alive; }
  ~Worker() override { --alive; }

protected:
  void Execute() override {
    tiCoInitialize();
    while (SleepAndCheckTerminated(50)) {
    }
  }
  void OnTerminate() override { ++terminateHooks; }
};
std::atomic<int> Worker::alive{0};
std::atomic<int> Worker::terminateHooks{0};

}  // namespace

TEST(tiSleepThread, TerminateWakesASleepWithinOneStep) {
  Sleeper s;
  EXPECT_EQ(s.SleepResponse(), 100);
  EXPECT_FALSE(s.Started());
  s.Resume();
  WaitUntil([&] { return s.inSleep.load(); });
  EXPECT_TRUE(kelvado::testing::WaitUntilInTimedWait(static_cast<pid_t>(s.ThreadID())));
  const auto t0 = steady_clock::now();
  s.Terminate();
  s.WaitFor();
  const auto took = duration_cast<milliseconds>(steady_clock::now() - t0).count();
  EXPECT_LT(took, 100);
  EXPECT_EQ(s.sleeps.load(), 1);
  EXPECT_FALSE(s.lastResult.load());
  EXPECT_TRUE(s.Finished());
  EXPECT_NE(s.ThreadID(), 0);
}

TEST(tiSleepThread, SleepRunsItsTimeWhenNotTerminated) {
  struct Timed : TtiSleepThread {
    ~Timed() override { TerminateAndWaitFor(); }
    bool result = false;
    int64_t took = 0;
    void Execute() override {
      const auto t0 = steady_clock::now();
      result = SleepAndCheckTerminated(250);
      took = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    }
  } t;
  t.Resume();
  t.WaitFor();
  EXPECT_TRUE(t.result);
  EXPECT_GE(t.took, 250);
  EXPECT_LT(t.took, 1000);
}

TEST(tiSleepThread, DestructionStopsARunningLowPriorityThread) {
  const auto t0 = steady_clock::now();
  {
    Sleeper s;
    s.SetPriority(tpLowest);
    s.Resume();
    WaitUntil([&] { return s.inSleep.load(); });
    EXPECT_EQ(s.Priority(), tpLowest);
  }
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 1000);
}

TEST(tiThread, FreesItselfAndLeavesTheActiveList) {
  Worker::terminateHooks = 0;
  const int before = tiActiveThreadList().Count();
  Worker* w = TtiThread::CreateAndResume<Worker>();
  EXPECT_EQ(Worker::alive.load(), 1);
  EXPECT_EQ(tiActiveThreadList().Count(), before + 1);
  WaitUntil([&] { return w->ThreadID() != 0; });
  const int64_t id = w->ThreadID();
  WaitUntil([&] { return tiCoInitializeManager().IsInitialized(id); });
  w->Terminate();
  // The list frees a finished thread when it is next asked.
  WaitUntil([&] { return tiActiveThreadList().Count() == before; });
  EXPECT_EQ(Worker::alive.load(), 0);
  EXPECT_EQ(Worker::terminateHooks.load(), 1);
  EXPECT_EQ(tiActiveThreadList().Count(), before);
  // COM was stopped on its own thread.
  EXPECT_FALSE(tiCoInitializeManager().IsInitialized(id));
}

TEST(tiThread, NeverStartedThreadIsFreedByFree) {
  const int before = tiActiveThreadList().Count();
  Worker* w = TtiThread::Create<Worker>();
  EXPECT_EQ(tiActiveThreadList().Count(), before + 1);
  EXPECT_FALSE(w->Started());
  w->Free();
  EXPECT_EQ(Worker::alive.load(), 0);
  EXPECT_EQ(tiActiveThreadList().Count(), before);
}

TEST(tiActiveThreadList, TerminateAllStopsEveryThread) {
  for (int i = 0; i < 5; ++i) TtiThread::CreateAndResume<Worker>();
  EXPECT_EQ(Worker::alive.load(), 5);
  tiActiveThreadList().TerminateAll();
  EXPECT_TRUE(tiActiveThreadList().WaitForEmpty(2000));
  EXPECT_EQ(Worker::alive.load(), 0);
}
