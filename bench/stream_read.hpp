#pragma once
// Streaming reads over a buffer far larger than the caches: the machine's memory bandwidth,
// the yardstick of the matrix-vector products, which read every weight once per token.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/pool.hpp"

namespace korvex::bench {

inline constexpr std::size_t kStreamBytes = std::size_t{1} << 30;

inline uint8_t* stream_buffer() {
  static uint8_t* buf = [] {
    auto* p = static_cast<uint8_t*>(std::aligned_alloc(4096, kStreamBytes));
    std::memset(p, 1, kStreamBytes);  // fault every page in before timing
    return p;
  }();
  return buf;
}

// OR of every 64-byte line of [p, p + n); eight chains keep enough loads in flight.
// With prefetch = true each pass also prefetches 1 KiB ahead, as the products do; the
// yardstick is the better of the two.
__attribute__((target("avx512f"))) inline uint64_t read_lines_avx512(const uint8_t* p, std::size_t n, bool prefetch) {
  __m512i a[8];
  for (auto& v : a) v = _mm512_setzero_si512();
  for (std::size_t i = 0; i + 512 <= n; i += 512) {
    if (prefetch)
      for (int j = 0; j < 8; ++j) _mm_prefetch(reinterpret_cast<const char*>(p + i + 1024 + 64 * j), _MM_HINT_T0);
    for (int j = 0; j < 8; ++j)
      a[j] = _mm512_or_si512(a[j], _mm512_load_si512(reinterpret_cast<const void*>(p + i + 64 * j)));
  }
  for (int j = 1; j < 8; ++j) a[0] = _mm512_or_si512(a[0], a[j]);
  return static_cast<uint64_t>(_mm512_reduce_or_epi64(a[0]));
}

__attribute__((target("avx2"))) inline uint64_t read_lines_avx2(const uint8_t* p, std::size_t n, bool prefetch) {
  __m256i a[8];
  for (auto& v : a) v = _mm256_setzero_si256();
  for (std::size_t i = 0; i + 256 <= n; i += 256) {
    if (prefetch)
      for (int j = 0; j < 4; ++j) _mm_prefetch(reinterpret_cast<const char*>(p + i + 1024 + 64 * j), _MM_HINT_T0);
    for (int j = 0; j < 8; ++j)
      a[j] = _mm256_or_si256(a[j], _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 32 * j)));
  }
  for (int j = 1; j < 8; ++j) a[0] = _mm256_or_si256(a[0], a[j]);
  return static_cast<uint64_t>(_mm256_extract_epi64(a[0], 0));
}

inline uint64_t read_lines(const uint8_t* p, std::size_t n, bool prefetch) {
  return __builtin_cpu_supports("avx512f") ? read_lines_avx512(p, n, prefetch) : read_lines_avx2(p, n, prefetch);
}

// The whole buffer once, every thread of the current pool arena on its own slices.
inline uint64_t read_buffer_on_pool(bool prefetch) {
  const uint8_t* p = stream_buffer();
  std::size_t slices = static_cast<std::size_t>(current_arena().max_concurrency()) * 4;
  std::size_t slice = kStreamBytes / slices / 512 * 512;
  uint64_t sink = 0;
  parallel_ranges(slices, 1, [&](std::size_t b, std::size_t e) {
    uint64_t s = 0;
    for (std::size_t i = b; i < e; ++i) s |= read_lines(p + i * slice, slice, prefetch);
    __atomic_fetch_or(&sink, s, __ATOMIC_RELAXED);
  });
  return sink;
}

// Best of a few passes of each kind, in bytes per second.
inline double measure_stream_bandwidth(int passes = 5) {
  stream_buffer();
  double best = 0;
  for (int i = 0; i < 2 * passes; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    volatile uint64_t s = read_buffer_on_pool(i % 2 == 1);
    (void)s;
    double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double bw = static_cast<double>(kStreamBytes) / sec;
    if (bw > best) best = bw;
  }
  return best;
}

}  // namespace korvex::bench
