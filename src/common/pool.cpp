#include "common/pool.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

namespace korvex {
namespace {

// cgroup v2 "cpu.max": "<quota> <period>" or "max <period>".
std::size_t cgroup_cpu_limit() {
  std::ifstream in("/sys/fs/cgroup/cpu.max");
  std::string quota, period;
  if (!(in >> quota >> period) || quota == "max") return 0;
  try {
    double q = std::stod(quota), p = std::stod(period);
    if (q <= 0 || p <= 0) return 0;
    std::size_t n = static_cast<std::size_t>((q + p - 1) / p);
    return n == 0 ? 1 : n;
  } catch (...) {
    return 0;
  }
}

std::atomic<std::size_t> requested_threads{0};
std::once_flag arena_once;
std::unique_ptr<tbb::task_arena> arena;
thread_local ScopedArena* innermost_scope = nullptr;

}  // namespace

std::size_t available_cpus() {
  std::size_t n = 1;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int c = CPU_COUNT(&set);
    if (c > 0) n = static_cast<std::size_t>(c);
  }
  std::size_t limit = cgroup_cpu_limit();
  if (limit != 0 && limit < n) n = limit;
  return n;
}

void set_pool_threads(std::size_t threads) { requested_threads = threads; }

tbb::task_arena& pool_arena() {
  std::call_once(arena_once, [] {
    std::size_t n = requested_threads.load();
    if (n == 0) n = available_cpus();
    arena = std::make_unique<tbb::task_arena>(static_cast<int>(n));
  });
  return *arena;
}

ScopedArena::ScopedArena(tbb::task_arena& a) : arena(&a), previous(innermost_scope) { innermost_scope = this; }
ScopedArena::~ScopedArena() {
  while (helpers_out.load(std::memory_order_acquire) != 0) sched_yield();
  innermost_scope = previous;
}

tbb::task_arena& current_arena() { return innermost_scope ? *innermost_scope->arena : pool_arena(); }

std::size_t pool_threads() { return static_cast<std::size_t>(pool_arena().max_concurrency()); }

// ---- Regions ------------------------------------------------------------------------------

namespace {

// One thread's share of a phase: the chunks [front, back) not yet claimed, as
// (front << 32) | back. Its own thread takes chunks from the front, so that it streams
// through one run of memory (a thread that hops between runs pays the prefetchers' ramp
// each time); the others take them from the back once their own share is done.
struct alignas(64) Share {
  std::atomic<uint64_t> range{0};
};

}  // namespace

// What a region shares with its helpers.
struct RegionState {
  explicit RegionState(std::size_t n_threads) : threads(n_threads), shares(new Share[n_threads]) {}

  // One for the open region, one for the thread that keeps the state for its next region,
  // one per helper handed out.
  std::atomic<uint32_t> references{1};
  const std::size_t threads;  // the caller and its helpers
  const std::unique_ptr<Share[]> shares;
  // Bumped at every publication and at the close: what idle helpers watch.
  alignas(64) std::atomic<uint32_t> signal{0};
  std::atomic<bool> open{false};
  std::atomic<uint32_t> sleepers{0};
  std::atomic<uint32_t> helpers{0};     // handed out and not gone yet: queued in the arena, or here
  std::atomic<uint64_t> taken{0};       // bit i: share i + 1 is a present helper's own
  // Chunks of the current phase finished (or skipped after a failure); the caller waits
  // for all of them. Every chunk writes this line, so nothing that chunks only read
  // shares it.
  alignas(64) std::atomic<uint32_t> done{0};
  std::atomic<bool> caller_sleeps{false};
  // The current phase, written before it is published. A thread reads it only while it owns
  // a chunk of the phase, and the phase cannot end, let alone be rewritten, until that
  // chunk is counted done.
  alignas(64) std::size_t n = 0;
  std::size_t grain = 1;
  uint32_t chunks = 0;
  const RangeFn* body = nullptr;
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written by the first chunk to fail, before it counts done
};

namespace {

thread_local RegionState* open_region = nullptr;  // the region this thread opened
thread_local bool running_chunk = false;

// A waiting thread pauses a few times, then yields its CPU until kYieldTime has passed,
// then sleeps. The serial steps between two phases of a token are mostly a few
// microseconds, shorter than the system calls that put a thread to sleep and wake it, let
// alone the time it takes to run again; a thread that spins on meanwhile must still not
// keep its CPU from threads with work: when the machine has more runnable threads than
// CPUs, it may hold the very thread whose chunk the phase waits for. A yield with nobody
// waiting returns at once, so on a quiet machine the yields are a longer spin.
//
// The window is a time, not a count of yields: a yield's cost varies with the machine,
// and on a virtual one a sleeping CPU takes tens to hundreds of microseconds to run again.
// There one thread that wakes late makes the others wait past a short window, they sleep
// in turn, and every phase then pays wake-ups: with a window of 128 yields (about 80
// microseconds there), decoding on an 8-core Xeon guest whose memory had become slow ran
// at 43 tokens/s against 76 with this one.
constexpr unsigned kPauses = 64;
constexpr auto kYieldTime = std::chrono::milliseconds(2);

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// One wait, step by step: step() waits a little and returns false once the thread should
// sleep instead; after a sleep or some work, start again with a new Backoff.
class Backoff {
 public:
  bool step() {
    if (pauses_ < kPauses) {
      ++pauses_;
      cpu_pause();
      return true;
    }
    auto now = std::chrono::steady_clock::now();
    if (!yielding_) {
      yielding_ = true;
      yields_from_ = now;
    } else if (now - yields_from_ >= kYieldTime) {
      return false;
    }
    sched_yield();
    return true;
  }

 private:
  unsigned pauses_ = 0;
  bool yielding_ = false;
  std::chrono::steady_clock::time_point yields_from_;
};

void futex_wait(std::atomic<uint32_t>& word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake(std::atomic<uint32_t>& word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

void run_chunk(RegionState& s, uint32_t chunk) {
  if (s.failed.load(std::memory_order_relaxed)) return;
  std::size_t b = chunk * s.grain, e = std::min(s.n, b + s.grain);
  bool outer = running_chunk;
  running_chunk = true;
  try {
    (*s.body)(b, e);
  } catch (...) {
    if (!s.failed.exchange(true, std::memory_order_relaxed)) s.error = std::current_exception();
  }
  running_chunk = outer;
}

// Counts `count` chunks done (or skipped) at once: every thread adding to the one counter
// after each chunk makes its cache line travel between the threads for every chunk.
void count_done(RegionState& s, uint32_t count) {
  if (count == 0) return;
  s.done.fetch_add(count, std::memory_order_seq_cst);
  if (s.caller_sleeps.load(std::memory_order_seq_cst)) futex_wake(s.done, 1);
}

// Claims one chunk of the share, from the front or the back; false once it is empty. A
// claim that succeeds is one of the phase now published: a share is emptied before its
// phase can end and the next be published.
bool claim(Share& share, bool front, uint32_t& chunk) {
  uint64_t range = share.range.load(std::memory_order_acquire);
  for (;;) {
    uint32_t f = static_cast<uint32_t>(range >> 32), b = static_cast<uint32_t>(range);
    if (f >= b) return false;
    uint64_t rest = front ? range + (uint64_t{1} << 32) : range - 1;
    if (share.range.compare_exchange_weak(range, rest, std::memory_order_acq_rel, std::memory_order_acquire)) {
      chunk = front ? f : b - 1;
      return true;
    }
  }
}

// Runs the chunks of share `me` (if it has one), then those left in the others. The chunks
// it ran are counted done after its own share and after each other share it took from, so
// that the caller hears of its own share's end without waiting for the rest.
void work(RegionState& s, std::size_t me) {
  uint32_t chunk, ran = 0;
  if (me < s.threads)
    while (claim(s.shares[me], true, chunk)) {
      run_chunk(s, chunk);
      ++ran;
    }
  count_done(s, std::exchange(ran, 0));
  for (std::size_t k = 1; k < s.threads; ++k) {
    Share& other = s.shares[(me + k) % s.threads];
    while (claim(other, false, chunk)) {
      run_chunk(s, chunk);
      ++ran;
    }
    count_done(s, std::exchange(ran, 0));
  }
}

bool has_chunks(const RegionState& s) {
  for (std::size_t i = 0; i < s.threads; ++i) {
    uint64_t range = s.shares[i].range.load(std::memory_order_seq_cst);
    if (range >> 32 < static_cast<uint32_t>(range)) return true;
  }
  return false;
}

// The caller wakes one sleeper and that one wakes the rest while there is work left, so
// that the caller pays for one wake-up (a system call, and on a virtual machine an
// interrupt to another CPU) instead of one per helper.
void wake_sleepers(RegionState& s, int count) {
  if (s.sleepers.load(std::memory_order_seq_cst) != 0) futex_wake(s.signal, count);
}

// Sleeps until the signal moves on from `seen`, unless it has already. Announcing the
// sleeper before looking again, against the caller's moving the signal before it looks
// for sleepers (all sequentially consistent), means one of the two sees the other.
void sleep_until_signal(RegionState& s, uint32_t seen) {
  s.sleepers.fetch_add(1, std::memory_order_seq_cst);
  if (s.signal.load(std::memory_order_seq_cst) == seen) futex_wait(s.signal, seen);
  s.sleepers.fetch_sub(1, std::memory_order_seq_cst);
  if (has_chunks(s) || !s.open.load(std::memory_order_seq_cst)) wake_sleepers(s, INT_MAX);
}

void signal_helpers(RegionState& s) {
  s.signal.fetch_add(1, std::memory_order_seq_cst);
  wake_sleepers(s, 1);
}

}  // namespace

namespace {

// The lowest share no present helper has (the caller has share 0), or none (`threads`:
// the helper only takes chunks from the others' shares).
std::size_t take_share(RegionState& s) {
  if (s.threads - 1 > 64) return s.threads;
  uint64_t taken = s.taken.load(std::memory_order_relaxed);
  for (;;) {
    uint64_t free = ~taken & (s.threads - 1 == 64 ? ~uint64_t{0} : (uint64_t{1} << (s.threads - 1)) - 1);
    if (free == 0) return s.threads;
    uint64_t bit = free & -free;
    if (s.taken.compare_exchange_weak(taken, taken | bit, std::memory_order_relaxed)) return 1 + std::countr_zero(bit);
  }
}

void give_back_share(RegionState& s, std::size_t share) {
  if (share < s.threads) s.taken.fetch_and(~(uint64_t{1} << (share - 1)), std::memory_order_relaxed);
}

}  // namespace

void help_region(RegionState& s) {
  pool_handoff_acquire(&s);
  const std::size_t me = take_share(s);
  uint32_t seen = 0;  // a first look at the shares in any case
  for (;;) {
    Backoff wait;
    while (s.open.load(std::memory_order_acquire)) {
      uint32_t now = s.signal.load(std::memory_order_acquire);
      if (now != seen) {
        seen = now;
        work(s, me);
        wait = Backoff();
      } else if (!wait.step()) {
        sleep_until_signal(s, seen);
        wait = Backoff();
      }
    }
    s.helpers.fetch_sub(1, std::memory_order_seq_cst);
    // A region opened while this helper was leaving may have counted it and handed out one
    // helper fewer: it stays for that region unless a full set is out already.
    if (!s.open.load(std::memory_order_seq_cst)) break;
    if (s.helpers.fetch_add(1, std::memory_order_seq_cst) < s.threads - 1) continue;
    s.helpers.fetch_sub(1, std::memory_order_seq_cst);
    break;
  }
  give_back_share(s, me);
}

void release_region(RegionState* state) {
  if (state->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete state;
}

namespace {

// The state a thread keeps between its regions in the shared arena. Helpers of an earlier
// region that are still queued then serve the next one, so a thread has at most one set of
// helpers out however fast its regions come and go: a server running many generations at
// once opens regions far faster than the arena's threads take their helpers up, and each
// set left queued would hold its state until its helpers ran.
struct KeptRegion {
  RegionState* state = nullptr;
  ~KeptRegion() {
    if (state != nullptr) release_region(state);
  }
};
thread_local KeptRegion kept_region;

RegionState* region_state_for(tbb::task_arena& arena, std::size_t threads) {
  RegionState*& kept = kept_region.state;
  // Test arenas come and go; only the shared one is sure to outlive the helpers queued in it.
  if (&arena != &pool_arena()) return new RegionState(threads);
  if (kept != nullptr && kept->threads == threads) {
    kept->references.fetch_add(1, std::memory_order_relaxed);
    return kept;
  }
  if (kept != nullptr) release_region(kept);
  kept = new RegionState(threads);
  kept->references.fetch_add(1, std::memory_order_relaxed);
  return kept;
}

}  // namespace

ParallelRegion::ParallelRegion() {
  if (open_region != nullptr || running_chunk) return;
  tbb::task_arena& arena = current_arena();
  RegionState* s = region_state_for(arena, static_cast<std::size_t>(std::max(1, arena.max_concurrency())));
  s->open.store(true, std::memory_order_seq_cst);
  pool_handoff_release(s);
  // Helpers queued in the shared arena always run: it lives as long as the program.
  std::atomic<std::size_t>* counted_in =
      &arena != &pool_arena() && innermost_scope != nullptr ? &innermost_scope->helpers_out : nullptr;
  try {
    for (uint32_t out = s->helpers.load(std::memory_order_seq_cst); out + 1 < s->threads; ++out) {
      s->references.fetch_add(1, std::memory_order_relaxed);
      s->helpers.fetch_add(1, std::memory_order_seq_cst);
      if (counted_in != nullptr) counted_in->fetch_add(1, std::memory_order_relaxed);
      try {
        arena.enqueue(RegionHelper(s, counted_in));  // a helper not handed out drops its reference
      } catch (...) {
        s->helpers.fetch_sub(1, std::memory_order_seq_cst);
        throw;
      }
    }
  } catch (...) {
    s->open.store(false, std::memory_order_seq_cst);  // let the helpers already handed out go
    signal_helpers(*s);
    release_region(s);
    throw;
  }
  state_ = s;
  open_region = s;
}

ParallelRegion::~ParallelRegion() {
  if (state_ == nullptr) return;
  open_region = nullptr;
  state_->open.store(false, std::memory_order_seq_cst);
  signal_helpers(*state_);
  release_region(state_);
}

std::size_t region_threads() { return open_region != nullptr && !running_chunk ? open_region->threads : 0; }

bool inside_phase() { return running_chunk; }

void run_phase(std::size_t n, std::size_t grain, RangeFn body) {
  RegionState& s = *open_region;
  if (n == 0) return;
  // Chunk numbers fit the halves of a share's word.
  constexpr std::size_t kMaxChunks = std::size_t{1} << 30;
  grain = std::max(grain, (n + kMaxChunks - 1) / kMaxChunks);
  s.n = n;
  s.grain = grain;
  s.chunks = static_cast<uint32_t>((n + grain - 1) / grain);
  s.body = &body;
  s.failed.store(false, std::memory_order_relaxed);
  s.done.store(0, std::memory_order_relaxed);
  // Consecutive runs of chunks, one per thread while there are enough.
  std::size_t shares = std::min<std::size_t>(s.threads, s.chunks);
  for (std::size_t i = 0; i < s.threads; ++i) {
    uint64_t b = i < shares ? i * s.chunks / shares : 0, e = i < shares ? (i + 1) * s.chunks / shares : 0;
    s.shares[i].range.store(b << 32 | e, std::memory_order_release);
  }
  if (s.chunks > 1) signal_helpers(s);
  work(s, 0);
  // The last chunks run elsewhere: spin a while, then sleep until the thread that finishes
  // one sees the caller asleep and wakes it.
  for (Backoff wait;;) {
    uint32_t done = s.done.load(std::memory_order_seq_cst);
    if (done == s.chunks) break;
    if (wait.step()) continue;
    s.caller_sleeps.store(true, std::memory_order_seq_cst);
    if (s.done.load(std::memory_order_seq_cst) == done) futex_wait(s.done, done);
    s.caller_sleeps.store(false, std::memory_order_relaxed);
    wait = Backoff();
  }
  if (s.error) std::rethrow_exception(std::exchange(s.error, nullptr));
}

}  // namespace korvex
