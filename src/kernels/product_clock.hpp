#pragma once
// Wall time spent in matrix-vector products, for benchmarks that split a decoding step into
// products and everything else. Off by default; while off, a ProductTimer costs one relaxed
// load and no clock read.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace korvex {

namespace product_clock_detail {
extern std::atomic<bool> on;
extern std::atomic<uint64_t> total_ns;
}  // namespace product_clock_detail

// Switches the accounting on or off; scopes already running keep the state they began with.
void set_product_clock(bool on);
// Nanoseconds added by timed scopes since the last reset, summed over the calling threads.
uint64_t product_clock_ns();
void reset_product_clock();

// Adds the wall time of its scope to the total when the clock was on at its start.
class ProductTimer {
 public:
  ProductTimer() : timing_(product_clock_detail::on.load(std::memory_order_relaxed)) {
    if (timing_) start_ = std::chrono::steady_clock::now();
  }
  ~ProductTimer() {
    if (!timing_) return;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_);
    product_clock_detail::total_ns.fetch_add(static_cast<uint64_t>(ns.count()), std::memory_order_relaxed);
  }
  ProductTimer(const ProductTimer&) = delete;
  ProductTimer& operator=(const ProductTimer&) = delete;

 private:
  bool timing_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace korvex
