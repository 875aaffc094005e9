#pragma once
// The memory of the persistent objects. A project holds hundreds of thousands of small objects (a node and
// its data object per element), and an evaluation visits them all: with each object wherever the general
// allocator found room, every visit is a cache miss of its own. Here objects of one size come from slabs of
// their own, in the order they are made, so the objects of a tree built or read in one go lie side by side
// and a walk over the tree reads memory almost in sequence. A slab that empties goes back to the system. A
// large heap takes its slabs from regions the system backs with huge pages where it offers them.
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
// Gives back what Allocate(size) returned; `size` must be the same.
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
