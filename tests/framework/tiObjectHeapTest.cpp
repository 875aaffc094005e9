// The slabs of the persistent objects: order, reuse, return to the system, threads and fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "framework/tiObject.h"
#include "framework/tiObjectHeap.h"

using namespace kelvado;
namespace heap = kelvado::tiObjectHeap;

namespace {

uintptr_t Addr(void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST(ObjectHeap, ObjectsOfOneSizeLieSideBySideAndEmptySlabsGoBack) {
  const heap::TStats before = heap::Stats();
  // A size no other object of the program has, so the slabs are this test's own.
  constexpr std::size_t kSize = 1000;
  std::vector<void*> made;
  for (int i = 0; i < 200; ++i) {
    made.push_back(heap::Allocate(kSize));
    EXPECT_EQ(Addr(made.back()) % 64, 0u);  // from 128 bytes up, on a cache line
    std::memset(made.back(), 0xA5, kSize);
  }
  // In the order made, one after the other, except where a new slab starts.
  int adjacent = 0;
  for (size_t i = 1; i < made.size(); ++i) adjacent += Addr(made[i]) == Addr(made[i - 1]) + 1024 ? 1 : 0;
  EXPECT_GE(adjacent, 190);
  const heap::TStats full = heap::Stats();
  EXPECT_EQ(full.objects - before.objects, 200);
  EXPECT_GE(full.slabs - before.slabs, 3);

  // A chunk given back is the next one handed out.
  void* gap = made[70];
  heap::Free(gap, kSize);
  made[70] = heap::Allocate(kSize);
  EXPECT_EQ(made[70], gap);

  for (void* p : made) heap::Free(p, kSize);
  const heap::TStats after = heap::Stats();
  EXPECT_EQ(after.objects, before.objects);
  // All but the slab new objects are cut from went back.
  EXPECT_LE(after.slabs - before.slabs, 1);

  // Smaller objects are packed at 16 bytes, not spread over lines of their own.
  std::vector<void*> small;
  std::set<uintptr_t> offsets;
  for (int i = 0; i < 8; ++i) {
    small.push_back(heap::Allocate(40));
    EXPECT_EQ(Addr(small.back()) % 16, 0u);
    offsets.insert(Addr(small.back()) % 64);
  }
  EXPECT_GT(offsets.size(), 1u);
  for (void* p : small) heap::Free(p, 40);

  // Larger objects come from the general allocator.
  void* big = heap::Allocate(heap::cMaxPooledSize + 1);
  EXPECT_EQ(heap::Stats().objects, before.objects);
  heap::Free(big, heap::cMaxPooledSize + 1);
}

TEST(ObjectHeap, ALargeHeapCutsItsSlabsFromRegionsAndGivesThemBack) {
  const heap::TStats before = heap::Stats();
  constexpr std::size_t kSize = 1010;  // a size of its own, not that of the test above
  constexpr int64_t kRegion = 2 * 1024 * 1024;
  // Well beyond a small heap (64 slabs of 64 KB), so that at least two regions are taken.
  std::vector<void*> made;
  while (heap::Stats().slabs < before.slabs + 64 + 80) {
    made.push_back(heap::Allocate(kSize));
    std::memset(made.back(), 0, kSize);
    std::memcpy(made.back(), &made.back(), sizeof(void*));  // each object marked with its address
  }
  const heap::TStats full = heap::Stats();
  EXPECT_GE(full.regionBytes - before.regionBytes, 2 * kRegion);
  EXPECT_EQ(full.regionBytes % kRegion, 0);
  // No object overlaps another: every mark is intact, and objects still follow one another in order.
  int adjacent = 0;
  for (size_t i = 0; i < made.size(); ++i) {
    void* mark = nullptr;
    std::memcpy(&mark, made[i], sizeof mark);
    ASSERT_EQ(mark, made[i]);
    if (i > 0) adjacent += Addr(made[i]) == Addr(made[i - 1]) + 1024 ? 1 : 0;
  }
  EXPECT_GE(adjacent, static_cast<int>(made.size()) * 9 / 10);

  // Emptied, the regions go back to the system, but for the one slabs are being cut from.
  for (void* p : made) heap::Free(p, kSize);
  const heap::TStats after = heap::Stats();
  EXPECT_EQ(after.objects, before.objects);
  EXPECT_LE(after.regionBytes, before.regionBytes + kRegion);

  // And a heap that is large again reuses what it kept before taking more.
  std::vector<void*> again;
  while (heap::Stats().slabs < before.slabs + 64 + 8) again.push_back(heap::Allocate(kSize));
  EXPECT_LE(heap::Stats().regionBytes, after.regionBytes + kRegion);
  for (void* p : again) heap::Free(p, kSize);
}

TEST(ObjectHeap, ThreadsNeverShareAChunk) {
  // Each thread fills its objects with its own mark and checks them before giving them back; a chunk handed
  // out twice shows as a foreign mark.
  std::atomic<int> foreign{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &foreign] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<std::pair<unsigned char*, std::size_t>> held;
      for (int i = 0; i < 20000; ++i) {
        if (held.size() < 300 && (held.empty() || rng() % 3 != 0)) {
          const std::size_t size = 16 + rng() % 500;
          auto* p = static_cast<unsigned char*>(heap::Allocate(size));
          std::memset(p, t + 1, size);
          held.emplace_back(p, size);
        } else {
          const size_t k = rng() % held.size();
          auto [p, size] = held[k];
          for (std::size_t b = 0; b < size; ++b)
            if (p[b] != t + 1) {
              ++foreign;
              break;
            }
          heap::Free(p, size);
          held[k] = held.back();
          held.pop_back();
        }
      }
      for (auto [p, size] : held) heap::Free(p, size);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(foreign.load(), 0);
}

// Two classes of one size (a size no other class of the program has) and a subclass without a kind of its own.
class THeapPlankA : public TtiObject {
public:
  TI_CLASS(THeapPlankA)
  char pad[920] = {};
};
class THeapPlankB : public TtiObject {
public:
  TI_CLASS(THeapPlankB)
  char pad[920] = {};
};
class THeapPlankWide : public THeapPlankA {
public:
  char more[16] = {};
};
const TtiClass& THeapPlankA::StaticClass() {
  static const TtiClass c(TtiClass::Of<THeapPlankA, TtiObject>(), "THeapPlankA");
  return c;
}
const TtiClass& THeapPlankB::StaticClass() {
  static const TtiClass c(TtiClass::Of<THeapPlankB, TtiObject>(), "THeapPlankB");
  return c;
}

// How many objects lie exactly one chunk after the one made before them.
template <class T>
int EvenlySpaced(const std::vector<std::unique_ptr<T>>& made, size_t from) {
  int n = 0;
  for (size_t i = from + 1; i < made.size(); ++i)
    n += Addr(made[i].get()) == Addr(made[i - 1].get()) + 960 ? 1 : 0;
  return n;
}

TEST(ObjectHeap, ObjectsOfTwoClassesMadeInTurnsLieEvenlySpacedEach) {
  static_assert(sizeof(THeapPlankA) == sizeof(THeapPlankB));
  const heap::TStats before = heap::Stats();
  std::vector<std::unique_ptr<THeapPlankA>> as;
  std::vector<std::unique_ptr<THeapPlankB>> bs;
  for (int i = 0; i < 400; ++i) {
    as.push_back(std::make_unique<THeapPlankA>());
    bs.push_back(std::make_unique<THeapPlankB>());
  }
#if KELVADO_OBJECT_HEAP  // the builds with memory checkers take every object from the general allocator
  EXPECT_EQ(heap::Stats().objects - before.objects, 800);
  // A class's first slab of objects shares the slabs of its size, in turns with the other class; after that
  // each class has slabs of its own, where its objects follow one another.
  EXPECT_GE(EvenlySpaced(as, 100), 280);
  EXPECT_GE(EvenlySpaced(bs, 100), 280);
  for (int i = 100; i < 400; ++i) EXPECT_EQ(Addr(as[i].get()) % 64, 0u);
#endif

  // A subclass of another size gets the slabs of its size; everything goes back when freed.
  auto wide = std::make_unique<THeapPlankWide>();
  std::memset(wide->more, 0x5A, sizeof wide->more);
  wide.reset();
  as.clear();
  bs.clear();
  EXPECT_EQ(heap::Stats().objects, before.objects);
}

TEST(ObjectHeap, AChildForkedWhileAnotherThreadAllocatesCanMakeObjects) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) {
      void* p = heap::Allocate(48);
      heap::Free(p, 48);
    }
  });
  int hung = 0;
  for (int i = 0; i < 50; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::alarm(2);  // a child that cannot allocate is ended, and counted below
      void* p = heap::Allocate(48);
      auto o = std::make_unique<TtiObject>();
      heap::Free(p, 48);
      ::_exit(o ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++hung;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(hung, 0);
}

}  // namespace
