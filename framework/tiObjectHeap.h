#pragma once
// The memory of the persistent objects. A project holds hundreds of thousands of small objects (a node and
// its data object per element), and an evaluation visits them all: with each object wherever the general
// allocator found room, every visit is a cache miss of its own. Here objects of one size come from slabs of
// their own, in the order they are made, so the objects of a tree built or read in one go lie side by side
// and a walk over the tree reads memory almost in sequence. A slab that empties goes back to the system. A
// large heap takes its slabs from regions the system backs with huge pages where it offers them.
#include <atomic>
#include <cstddef>
#include <cstdint>

// Whether the persistent objects use it: not in the builds with memory checkers, which must see every
// object allocated and freed on its own to find a use after free.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVADO_OBJECT_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KELVADO_OBJECT_HEAP 0
#endif
#endif
#ifndef KELVADO_OBJECT_HEAP
#define KELVADO_OBJECT_HEAP 1
#endif

namespace kelvado::tiObjectHeap {

// Objects larger than this come from the general allocator.
inline constexpr std::size_t cMaxPooledSize = 1024;

// Memory for an object of `size` bytes, aligned to 16, and to 64 (a cache line) from 128 bytes up; raises
// std::bad_alloc when there is none.
void* Allocate(std::size_t size);
// The objects of one class. Each class has slabs of its own, so that objects of a class made in turns with
// others (a block's data between its elements' data, or child lists of every level, all of one size) still lie
// evenly spaced: that is the pattern by which the processor's prefetcher follows a walk over them. One per
// class, constant-initialised (TI_CLASS declares it); its slabs are made on first use.
struct TKind {
  std::atomic<void*> slabs{nullptr};  // the heap's own record
};
// As Allocate(size), from the slabs of `kind` once it has made a slab's worth of objects (the first ones share
// the slabs of their size, so that a small project holds no slab per class) and when `size` is the size its
// first object had: a subclass that has no kind of its own, and so another size, gets the slabs of its size.
void* Allocate(std::size_t size, TKind& kind);

// Gives back what either Allocate returned; `size` must be the size it was given.
void Free(void* p, std::size_t size) noexcept;

// For tests: the slabs held now, and the objects in them.
struct TStats {
  int64_t slabs = 0;
  int64_t objects = 0;
  // Bytes taken from the system in regions for slabs (not counted by the general allocator's statistics).
  int64_t regionBytes = 0;
};
TStats Stats();

}  // namespace kelvado::tiObjectHeap
