#include "kernels/product_clock.hpp"

namespace korvex {

namespace product_clock_detail {
std::atomic<bool> on{false};
std::atomic<uint64_t> total_ns{0};
}  // namespace product_clock_detail

void set_product_clock(bool on) { product_clock_detail::on.store(on, std::memory_order_relaxed); }

uint64_t product_clock_ns() { return product_clock_detail::total_ns.load(std::memory_order_relaxed); }

void reset_product_clock() { product_clock_detail::total_ns.store(0, std::memory_order_relaxed); }

}  // namespace korvex
