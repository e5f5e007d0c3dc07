#pragma once
// Threads for work that blocks (one generation each). Threads are made on demand up to a
// maximum; beyond it jobs wait in a queue. A thread left idle for a while ends.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace korvex {

inline constexpr std::size_t MAX_BLOCKING_THREADS = 512;

struct BlockingPoolState {
  std::mutex mutex;
  std::condition_variable work;
  std::deque<std::function<void()>> queue;
  std::size_t max_threads = MAX_BLOCKING_THREADS;
  std::chrono::milliseconds idle_timeout{10000};
  std::size_t threads = 0;  // alive
  std::size_t idle = 0;     // alive and waiting for a job
};

struct BlockingPool {
  std::shared_ptr<BlockingPoolState> state;

  explicit BlockingPool(std::size_t max_threads = MAX_BLOCKING_THREADS,
                        std::chrono::milliseconds idle_timeout = std::chrono::seconds(10));

  // Queues the job and returns at once; an idle thread takes it, else a new thread is made
  // while fewer than the maximum exist. The job must not throw. When no thread can be
  // made the job stays queued until a thread is free or a later submit makes one.
  void submit(std::function<void()> job) const;

  std::size_t thread_count() const;
};

}  // namespace korvex
