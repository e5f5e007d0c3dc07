#pragma once
// The process-wide data-parallel pool: one oneTBB arena, one thread per available CPU,
// created on first use and shared by every calling thread.
#include <cstddef>
#include <functional>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

// ThreadSanitizer cannot see inside the uninstrumented oneTBB library, so it takes the hand-off
// of a parallel call (the caller's data read by the pool's threads, their results read by
// the caller) for races. Under it, the hand-off is stated: the caller releases before the
// call and acquires after it, every range acquires before it starts and releases when done.
#if defined(__SANITIZE_THREAD__)
#define KORVEX_TSAN_HANDOFF 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVEX_TSAN_HANDOFF 1
#endif
#endif
#ifdef KORVEX_TSAN_HANDOFF
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace korvex {

#ifdef KORVEX_TSAN_HANDOFF
inline void pool_handoff_acquire(void* token) { __tsan_acquire(token); }
inline void pool_handoff_release(void* token) { __tsan_release(token); }
#else
inline void pool_handoff_acquire(void*) {}
inline void pool_handoff_release(void*) {}
#endif

// CPUs this process may use: the affinity mask, capped by a cgroup cpu.max quota.
std::size_t available_cpus();

// The shared arena. Its size can be set once, before first use, for tests that compare
// thread counts (0 = available_cpus()).
tbb::task_arena& pool_arena();
void set_pool_threads(std::size_t threads);
std::size_t pool_threads();

// Tests compare thread counts in one process: while one of these lives, the products
// called from this thread run in the given arena instead of the shared one.
struct ScopedArena {
  explicit ScopedArena(tbb::task_arena& a);
  ~ScopedArena();
  ScopedArena(const ScopedArena&) = delete;
  ScopedArena& operator=(const ScopedArena&) = delete;
  tbb::task_arena* previous;
};
tbb::task_arena& current_arena();

// Runs body(begin, end) over [0, n) cut into ranges by the partitioner, inside the shared
// arena; returns when every range is done.
template <typename Body, typename Partitioner>
void parallel_ranges_with(std::size_t n, std::size_t grain, Body& body, Partitioner&& partitioner) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  char handoff = 0;  // only its address matters
  pool_handoff_release(&handoff);
  current_arena().execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, n, grain),
        [&](const tbb::blocked_range<std::size_t>& r) {
          pool_handoff_acquire(&handoff);
          body(r.begin(), r.end());
          pool_handoff_release(&handoff);
        },
        partitioner);
  });
  pool_handoff_acquire(&handoff);
}

// Ranges of at least `grain` items, split and balanced as the threads take them.
template <typename Body>
void parallel_ranges(std::size_t n, std::size_t grain, Body&& body) {
  parallel_ranges_with(n, grain, body, tbb::auto_partitioner());
}

// The same for work whose every item costs the same, such as the rows of one product: the
// range is cut once into one even share per thread and the shares are handed to the threads
// directly, instead of being split and stolen piece by piece, which starts the last
// threads several microseconds late on every call.
template <typename Body>
void parallel_ranges_even(std::size_t n, std::size_t grain, Body&& body) {
  parallel_ranges_with(n, grain, body, tbb::static_partitioner());
}

}  // namespace korvex
