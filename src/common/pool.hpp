#pragma once
// The process-wide data-parallel pool: one oneTBB arena, one thread per available CPU,
// created on first use and shared by every calling thread.
#include <atomic>
#include <cstddef>
#include <functional>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "common/range_fn.hpp"

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
  tbb::task_arena* arena;
  ScopedArena* previous;
  // Helpers that regions opened in this scope handed to its arena and that have not left
  // yet. The arena may be destroyed right after the scope, and a helper still queued in it
  // would then never run, nor let go of its region: the scope's end waits for them (they
  // leave at once, their regions being closed).
  std::atomic<std::size_t> helpers_out{0};
};
tbb::task_arena& current_arena();

// ---- Token-long parallel regions ----------------------------------------------------------
//
// Every hand-off to the arena pays its start-up (threads woken, tasks handed out, a few to
// tens of microseconds), and one decoded token makes a couple of hundred of them. A region
// pays it once: while one is open on a thread, the thread's parallel steps are published
// as phases to helpers that are already running, and those take chunks of a phase as they
// come. oneTBB never promises that the helpers run at the same time, or at all, so the
// caller claims chunks too and alone can finish every phase: a helper that starts late or
// never (the arena busy with other regions) costs speed, never correctness.

struct RegionState;

// Opens a region on this thread in the current arena for the life of the object, with one
// helper per other arena thread handed to the arena (counting those of this thread's
// earlier regions that are still queued there). Nested scopes on a thread that has a
// region reuse it, and so do scopes inside a phase (whose steps run where they are); the
// helpers leave when the outermost scope closes.
class ParallelRegion {
 public:
  ParallelRegion();
  ~ParallelRegion();
  ParallelRegion(const ParallelRegion&) = delete;
  ParallelRegion& operator=(const ParallelRegion&) = delete;

 private:
  RegionState* state_ = nullptr;  // one reference; null for a nested scope
};

// The threads a phase of this thread's region may run on (the caller and its helpers), or
// 0 when this thread cannot publish a phase: no region is open on it, or it is running a
// chunk of one.
std::size_t region_threads();

// Whether this thread is running a chunk of a phase right now.
bool inside_phase();

// Runs body over [0, n) cut into chunks of `grain` items as one phase of this thread's
// region (region_threads() != 0), and returns when every chunk is done. The first
// exception a chunk throws, on any thread, is rethrown here once the phase is over; the
// chunks not yet started when it was thrown are skipped.
void run_phase(std::size_t n, std::size_t grain, RangeFn body);

// A helper as oneTBB moves and runs it, holding one reference to the region's state: the
// state lives until the region and every helper handed out are done with it, so a helper
// that starts after the region closed still finds it, sees it closed and leaves. The
// helper reads its own copy, made inside oneTBB, before it can state the hand-off; those
// reads stay in this header (see scripts/tsan.supp), which is why the reference is counted
// by hand rather than by a shared_ptr.
void help_region(RegionState& state);
void release_region(RegionState* state);  // drops one reference; the last one frees it
struct RegionHelper {
  RegionHelper(RegionState* s, std::atomic<std::size_t>* counted_in) : state(s), out(counted_in) {}
  RegionHelper(RegionHelper&& other) noexcept : state(other.state), out(other.out) { other.state = nullptr; }
  RegionHelper& operator=(RegionHelper&&) = delete;
  ~RegionHelper() {
    if (state == nullptr) return;
    release_region(state);
    if (out != nullptr) out->fetch_sub(1, std::memory_order_release);
  }
  void operator()() const { help_region(*state); }
  RegionState* state;
  std::atomic<std::size_t>* out;  // a ScopedArena's helpers_out, or null
};

// ---- Pool calls ---------------------------------------------------------------------------

// Runs body(begin, end) over [0, n) cut into ranges by the partitioner, inside the shared
// arena; returns when every range is done. On a thread with a region the ranges are a
// phase of it instead, in chunks of `grain`. Inside a phase the whole range runs on the
// calling thread: the region's other threads may all be busy with that same phase, so
// work handed to the arena from there could wait on threads that wait on it.
template <typename Body, typename Partitioner>
void parallel_ranges_with(std::size_t n, std::size_t grain, Body& body, Partitioner&& partitioner) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  if (inside_phase()) {
    body(std::size_t{0}, n);
    return;
  }
  if (region_threads() != 0) {
    run_phase(n, grain, body);
    return;
  }
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
