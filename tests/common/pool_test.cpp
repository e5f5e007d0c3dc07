#include "common/pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <tbb/info.h>

#include "common/fatal.hpp"

namespace korvex {
namespace {

// How often each item of [0, n) was handed to a chunk, and whether every chunk was one
// aligned run of at most `grain` items.
struct Tally {
  explicit Tally(std::size_t n, std::size_t grain) : counts(n), grain(grain) {}
  std::vector<std::atomic<int>> counts;
  std::size_t grain;
  std::atomic<bool> well_cut{true};

  void operator()(std::size_t b, std::size_t e) {
    if (b % grain != 0 || e <= b || e - b > grain || e > counts.size()) well_cut = false;
    for (std::size_t i = b; i < e && i < counts.size(); ++i) counts[i].fetch_add(1);
  }
  bool each_once() const {
    for (const auto& c : counts)
      if (c.load() != 1) return false;
    return well_cut;
  }
};

// Runs phases of several shapes in one region; every item must come exactly once.
void run_phases_of_every_shape() {
  ParallelRegion region;
  ASSERT_NE(region_threads(), 0u);
  struct Shape {
    std::size_t n, grain;
  };
  for (int round = 0; round < 20; ++round) {
    for (Shape s : {Shape{1, 1}, Shape{2, 1}, Shape{7, 1}, Shape{64, 3}, Shape{1000, 1}, Shape{1000, 64},
                    Shape{5, 100}}) {
      Tally t(s.n, s.grain);
      run_phase(s.n, s.grain, t);
      ASSERT_TRUE(t.each_once()) << s.n << " items by " << s.grain << " on " << region_threads() << " threads";
    }
  }
}

TEST(Region, EveryChunkOfEveryPhaseRunsOnce) {
  tbb::task_arena one(1), three(3);
  for (tbb::task_arena* arena : {&one, &three, &pool_arena()}) {
    ScopedArena scope(*arena);
    run_phases_of_every_shape();
  }
}

// The arena's workers held by tasks that wait for `release`: helpers handed out meanwhile
// cannot start.
struct BusyWorkers {
  explicit BusyWorkers(tbb::task_arena& arena) {
    pool_handoff_release(this);  // oneTBB's hand-off, for ThreadSanitizer
    for (int i = 0; i < arena.max_concurrency() - 1; ++i)
      arena.enqueue([this] {
        pool_handoff_acquire(this);
        ++held;
        while (!release.load()) std::this_thread::yield();
        --held;
      });
    while (held.load() != arena.max_concurrency() - 1) std::this_thread::yield();
  }
  void let_go() {
    release = true;
    while (held.load() != 0) std::this_thread::yield();
  }
  std::atomic<int> held{0};
  std::atomic<bool> release{false};
};

// In an arena of its own, and in the shared one, where a thread's regions share their state
// and the helpers still queued from one region serve the next.
void helpers_that_start_late_or_never_change_nothing(tbb::task_arena& arena) {
  ScopedArena scope(arena);
  const auto caller = std::this_thread::get_id();
  {
    // No helper ever runs in these regions: their helpers start only after they closed, and
    // must find them closed.
    BusyWorkers busy(arena);
    for (int region_number = 0; region_number < 3; ++region_number) {
      ParallelRegion region;
      Tally t(500, 1);
      run_phase(500, 1, t);
      EXPECT_TRUE(t.each_once());
      std::atomic<bool> elsewhere{false};
      auto probe = [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() != caller) elsewhere = true;
      };
      run_phase(100, 1, probe);
      EXPECT_FALSE(elsewhere.load());
    }
    busy.let_go();
  }
  // Helpers that start in the middle: the first phase runs on the caller alone; then the
  // caller's chunk waits for a chunk of another share to start, which only a helper can
  // take, so this returns once helpers handed out while the workers were busy have come.
  BusyWorkers busy(arena);
  ParallelRegion region;
  Tally before(300, 1);
  run_phase(300, 1, before);
  EXPECT_TRUE(before.each_once());
  busy.let_go();
  std::atomic<bool> second_started{false};
  auto meet = [&](std::size_t b, std::size_t) {
    if (b == 0) {
      while (!second_started.load()) std::this_thread::yield();
    } else {
      second_started = true;
    }
  };
  run_phase(2, 1, meet);
  Tally after(300, 1);
  run_phase(300, 1, after);
  EXPECT_TRUE(after.each_once());
}

TEST(Region, HelpersThatStartLateOrNeverChangeNothing) {
  tbb::task_arena own(std::min(4, tbb::info::default_concurrency()));
  helpers_that_start_late_or_never_change_nothing(own);
  if (pool_arena().max_concurrency() > 1) helpers_that_start_late_or_never_change_nothing(pool_arena());
}

TEST(Region, NestedScopesReuseTheRegionAndWorkInsideAPhaseRunsInPlace) {
  ParallelRegion outer;
  const std::size_t threads = region_threads();
  ASSERT_NE(threads, 0u);
  EXPECT_FALSE(inside_phase());
  {
    ParallelRegion inner;
    EXPECT_EQ(region_threads(), threads);
  }
  EXPECT_EQ(region_threads(), threads);  // the inner scope did not close it

  std::atomic<int> misplaced{0}, inner_items{0};
  auto body = [&](std::size_t, std::size_t) {
    if (!inside_phase() || region_threads() != 0) ++misplaced;
    ParallelRegion nested;  // neither opens a region nor closes this one
    if (region_threads() != 0) ++misplaced;
    const auto here = std::this_thread::get_id();
    parallel_ranges(100, 1, [&](std::size_t b, std::size_t e) {
      if (std::this_thread::get_id() != here || b != 0 || e != 100) ++misplaced;
      inner_items += static_cast<int>(e - b);
    });
  };
  run_phase(16, 1, body);
  EXPECT_EQ(misplaced.load(), 0);
  EXPECT_EQ(inner_items.load(), 1600);
  EXPECT_FALSE(inside_phase());

  // A parallel call outside any phase becomes one.
  Tally t(1000, 10);
  parallel_ranges(1000, 10, t);
  EXPECT_TRUE(t.each_once());
}

TEST(Region, AFatalStopInAPhaseReachesTheCallerAndTheRegionGoesOn) {
  ParallelRegion region;
  for (std::size_t failing : {std::size_t{0}, std::size_t{37}, std::size_t{99}}) {
    std::atomic<int> ran{0};
    auto body = [&](std::size_t b, std::size_t) {
      ++ran;
      if (b == failing) fatal("chunk {} failed", b);
    };
    try {
      run_phase(100, 1, body);
      ADD_FAILURE() << "no stop from chunk " << failing;
    } catch (const Fatal& f) {
      EXPECT_EQ(std::string(f.what()), "chunk " + std::to_string(failing) + " failed");
    }
    EXPECT_GE(ran.load(), 1);
    Tally t(200, 1);
    run_phase(200, 1, t);
    EXPECT_TRUE(t.each_once()) << "after chunk " << failing << " failed";
  }
}

TEST(Region, AStopThatLeavesTheScopeClosesTheRegion) {
  auto stop_inside = [] {
    ParallelRegion region;
    auto body = [](std::size_t b, std::size_t) {
      if (b == 5) fatal("stop");
    };
    run_phase(10, 1, body);
  };
  EXPECT_THROW(stop_inside(), Fatal);
  EXPECT_EQ(region_threads(), 0u);
  run_phases_of_every_shape();  // a new region on this thread works as before
}

// Waits longer than the threads spin, so that they sleep: the helpers between phases, the
// caller while another thread's chunk runs. The phase must wake a helper to take chunk 1
// (the caller's chunk 0 lasts until one has), and that helper must wake the caller when
// its slow chunk ends.
TEST(Region, SleepingHelpersAndASleepingCallerAreWoken) {
  using namespace std::chrono_literals;
  ParallelRegion region;
  if (region_threads() < 2) GTEST_SKIP() << "a region of one thread has no helper to sleep";
  const std::thread::id caller = std::this_thread::get_id();
  for (int round = 0; round < 3; ++round) {
    std::this_thread::sleep_for(10ms);
    std::atomic<bool> taken_elsewhere{false};
    Tally tally(2, 1);
    auto body = [&](std::size_t b, std::size_t e) {
      const bool on_caller = std::this_thread::get_id() == caller;
      if (b == 0 && on_caller) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!taken_elsewhere && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(100us);
      }
      if (b == 1 && !on_caller) {
        taken_elsewhere = true;
        std::this_thread::sleep_for(20ms);
      }
      tally(b, e);
    };
    run_phase(2, 1, body);
    ASSERT_TRUE(tally.each_once()) << "round " << round;
    ASSERT_TRUE(taken_elsewhere) << "round " << round << ": no helper woke for the phase";
  }
}

TEST(Region, RegionsOfSeveralThreadsShareThePool) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int token = 0; token < 30; ++token) {
        ParallelRegion region;
        for (int phase = 0; phase < 10; ++phase) {
          Tally tally(257, 4);
          run_phase(257, 4, tally);
          if (!tally.each_once()) ++failures;
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace korvex
