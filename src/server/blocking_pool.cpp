#include "server/blocking_pool.hpp"

#include <system_error>
#include <thread>

namespace korvex {

namespace {

void worker_loop(std::shared_ptr<BlockingPoolState> state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    ++state->idle;
    bool got = state->work.wait_for(lock, state->idle_timeout, [&] { return !state->queue.empty(); });
    --state->idle;
    if (!got) {
      --state->threads;
      return;
    }
    std::function<void()> job = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // release what the job holds before waiting again
    lock.lock();
  }
}

}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout)
    : state(std::make_shared<BlockingPoolState>()) {
  state->max_threads = max_threads == 0 ? 1 : max_threads;
  state->idle_timeout = idle_timeout;
}

void BlockingPool::submit(std::function<void()> job) const {
  std::unique_lock lock(state->mutex);
  state->queue.push_back(std::move(job));
  // Idle threads already promised to earlier jobs are not free for this one.
  if (state->idle >= state->queue.size() || state->threads >= state->max_threads) {
    lock.unlock();
    state->work.notify_one();
    return;
  }
  ++state->threads;
  try {
    std::thread(worker_loop, state).detach();
  } catch (const std::system_error&) {
    // The job stays queued: a running thread takes it when it is free, and the next
    // submit tries again to make one.
    --state->threads;
  }
}

std::size_t BlockingPool::thread_count() const {
  std::lock_guard lock(state->mutex);
  return state->threads;
}

}  // namespace korvex
