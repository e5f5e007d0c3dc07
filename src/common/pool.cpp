#include "common/pool.hpp"

#include <sched.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

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
thread_local tbb::task_arena* arena_override = nullptr;

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

ScopedArena::ScopedArena(tbb::task_arena& a) : previous(arena_override) { arena_override = &a; }
ScopedArena::~ScopedArena() { arena_override = previous; }

tbb::task_arena& current_arena() { return arena_override ? *arena_override : pool_arena(); }

std::size_t pool_threads() { return static_cast<std::size_t>(pool_arena().max_concurrency()); }

}  // namespace korvex
