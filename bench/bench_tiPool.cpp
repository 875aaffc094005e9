// Lock/unlock of a pooled item, alone and under contention. Threads beyond the pool's maximum wait for a slot,
// so the contended figures include the hand-over between threads.
#include <benchmark/benchmark.h>

#include "framework/tiPool.h"

using namespace kelvado;

namespace {

// One pool per maximum size, shared by the threads of a run.
TtiPool& SharedPool(int maxSize) {
  static TtiPool pools[3];
  static const bool sized = [] {
    pools[0].SetMaxPoolSize(1);
    pools[1].SetMaxPoolSize(4);
    pools[2].SetMaxPoolSize(64);
    return true;
  }();
  (void)sized;
  return maxSize == 1 ? pools[0] : maxSize == 4 ? pools[1] : pools[2];
}

void BM_LockUnlock(benchmark::State& state) {
  TtiPool& pool = SharedPool(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    TPooledItem* item = pool.Lock();
    benchmark::DoNotOptimize(item);
    pool.UnLock(item);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_LockUnlock)->ArgName("max")->Arg(1)->Arg(4)->Arg(64)->ThreadRange(1, 16)->UseRealTime();

BENCHMARK_MAIN();
