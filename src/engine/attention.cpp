#include "engine/attention.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>

#include "common/pool.hpp"

namespace korvex {
namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// Rows per scoring task of a decoded position: whole blocks of the vector kernel, few
// enough tasks that handing them out costs little against their 256 rows of keys.
constexpr std::size_t kRowsPerTask = 256;
// Elements per value task: one cache line of every value row.
constexpr std::size_t kSliceFloats = 16;
// Below this many multiply-adds a position's attention runs on the calling thread: handing it
// to the pool and waiting for the last thread costs more than the work. A phase of the
// token's region starts far sooner than a call into the pool, so it pays far earlier.
constexpr std::size_t kMinPoolTerms = std::size_t{1} << 19;
constexpr std::size_t kMinPhaseTerms = std::size_t{1} << 17;
// Query heads per prompt task: their scores of a block of positions stay in the caches
// (16 floats per row each) while the softmax and the value sums read them back.
constexpr std::size_t kHeadsPerTask = 4;

float sink_of(std::span<const float> sinks, std::size_t h) { return h < sinks.size() ? sinks[h] : kNegInf; }

float nan_ignoring_max(float a, float b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// A scratch vector whose data is aligned for full-width vector loads, grown as needed.
struct AlignedScratch {
  std::vector<float> room;
  float* get(std::size_t n) {
    if (room.size() < n + 16) room.resize(n + 16);
    auto at = reinterpret_cast<std::uintptr_t>(room.data());
    return room.data() + ((64 - at % 64) % 64) / sizeof(float);
  }
};

thread_local AlignedScratch tl_work;     // row_scores' running maxes and interleaved queries
thread_local AlignedScratch tl_queries;  // a prompt task's transposed queries
thread_local AlignedScratch tl_scores;   // a prompt task's scores
thread_local DecodeScratch tl_decode;

}  // namespace

std::vector<HeadGroup> head_groups(std::size_t heads, std::size_t kv_heads) {
  std::vector<HeadGroup> groups;
  for (std::size_t h = 0; h < heads;) {
    std::size_t kv = (h * kv_heads) / heads, end = h + 1;
    while (end < heads && (end * kv_heads) / heads == kv) ++end;
    groups.push_back({kv, h, end});
    h = end;
  }
  return groups;
}

// ---- One decoded position -------------------------------------------------------------------

DecodeAttention::DecodeAttention(std::span<const float> q, const LayerCache& lc, std::span<const float> sinks,
                                 std::size_t rows, const AttentionShape& shape, std::span<float> out,
                                 std::size_t threads, DecodeScratch& scratch)
    : k_(attention_kernels()),
      q_(q.data()),
      lc_(lc),
      sinks_(sinks),
      rows_(rows),
      shape_(shape),
      out_(out.data()),
      groups_(head_groups(shape.heads, shape.kv_heads)),
      ranges_((rows + kRowsPerTask - 1) / kRowsPerTask),
      slices_((shape.head_dim + kSliceFloats - 1) / kSliceFloats),
      ld_(round_up(rows, 16)),
      tasks_(std::max(groups_.size() * slices_, threads)) {
  scratch.scores.resize(shape.heads * ld_);
  scratch.range_max.resize(ranges_ * shape.heads);
  if (scratch.progress_size < groups_.size()) {
    scratch.progress = std::make_unique<GroupProgress[]>(groups_.size());
    scratch.progress_size = groups_.size();
  }
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    GroupProgress& p = scratch.progress[g];
    p.next_range = p.ranges_done = p.next_pair = p.pairs_done = 0;
  }
  scores_ = scratch.scores.data();
  range_max_ = scratch.range_max.data();
  progress_ = scratch.progress.get();
}

namespace {

// Until n reaches target: the work it counts was claimed by threads that run it right away.
void wait_for(const std::atomic<uint32_t>& n, std::size_t target) {
  for (unsigned spins = 0; n.load(std::memory_order_acquire) < target; ++spins) {
    if (spins < 4096) __builtin_ia32_pause();
    else std::this_thread::yield();  // the thread it waits on may have lost its CPU
  }
}

// Claims the next piece of a count of `of` pieces: its index, or `of` when none is left.
std::size_t claim(std::atomic<uint32_t>& next, std::size_t of) {
  if (next.load(std::memory_order_relaxed) >= of) return of;
  return std::min<std::size_t>(next.fetch_add(1, std::memory_order_relaxed), of);
}

}  // namespace

std::size_t DecodeAttention::pairs(const HeadGroup& g) const { return (g.end - g.begin + 1) / 2; }

void DecodeAttention::run(std::size_t task) const {
  const std::size_t groups = groups_.size(), value_tasks = groups * slices_;
  const std::size_t home = task < value_tasks ? task / slices_ : (task - value_tasks) % groups;
  // Every task takes what is left of the score ranges, its own group's first, then what is
  // left of the softmax pairs, the same way, and then does its value piece.
  for (std::size_t i = 0; i < groups; ++i) {
    const std::size_t g = (home + i) % groups;
    for (std::size_t r; (r = claim(progress_[g].next_range, ranges_)) < ranges_;) {
      scores(g, r);
      progress_[g].ranges_done.fetch_add(1, std::memory_order_release);
    }
  }
  for (std::size_t i = 0; i < groups; ++i) {
    const std::size_t g = (home + i) % groups, n = pairs(groups_[g]);
    for (std::size_t k; (k = claim(progress_[g].next_pair, n)) < n;) {
      wait_for(progress_[g].ranges_done, ranges_);
      softmax(g, k);
      progress_[g].pairs_done.fetch_add(1, std::memory_order_release);
    }
  }
  if (task < value_tasks) {
    wait_for(progress_[home].pairs_done, pairs(groups_[home]));
    values(home, task % slices_);
  }
}

void DecodeAttention::scores(std::size_t group, std::size_t r) const {
  const HeadGroup& g = groups_[group];
  const std::size_t d = shape_.head_dim, heads = g.end - g.begin;
  RowScores a;
  a.q = q_ + g.begin * d;
  a.q_stride = d;
  a.heads = heads;
  a.keys = lc_.keys.data() + g.kv * d;
  a.key_stride = shape_.kv_heads * d;
  a.head_dim = d;
  a.row_begin = r * kRowsPerTask;
  a.row_end = std::min(rows_, a.row_begin + kRowsPerTask);
  a.scale = shape_.score_scale;
  a.scores = scores_ + g.begin * ld_;
  a.score_stride = ld_;
  a.max = range_max_ + r * shape_.heads + g.begin;
  a.work = tl_work.get(row_scores_work(k_, heads, d));
  k_.row_scores(a);
}

void DecodeAttention::softmax(std::size_t group, std::size_t pair) const {
  const HeadGroup& g = groups_[group];
  const std::size_t h0 = g.begin + 2 * pair, heads = std::min<std::size_t>(2, g.end - h0);
  float mx[2], sink[2];
  for (std::size_t k = 0; k < heads; ++k) {
    // The ranges' maxes are never NaN (each starts at -inf and ignores NaN scores).
    float m = kNegInf;
    for (std::size_t r = 0; r < ranges_; ++r) m = std::max(m, range_max_[r * shape_.heads + h0 + k]);
    sink[k] = sink_of(sinks_, h0 + k);
    mx[k] = nan_ignoring_max(m, sink[k]);
  }
  k_.softmax(scores_ + h0 * ld_, ld_, heads, rows_, mx, sink);
}

void DecodeAttention::values(std::size_t group, std::size_t slice) const {
  const HeadGroup& g = groups_[group];
  const std::size_t d = shape_.head_dim;
  WeightedSums a;
  a.p = scores_ + g.begin * ld_;
  a.p_stride = ld_;
  a.p_block = k_.lanes;
  a.sums = g.end - g.begin;
  a.positions = 1;
  a.values = lc_.values.data() + g.kv * d;
  a.value_stride = shape_.kv_heads * d;
  a.d_begin = slice * kSliceFloats;
  a.d_end = std::min(d, a.d_begin + kSliceFloats);
  a.rows = rows_;
  a.out = out_ + g.begin * d;
  a.out_stride = d;
  a.out_position = 0;
  k_.weighted_sums(a);
}

void attend_position(std::span<const float> q, const LayerCache& lc, std::span<const float> sinks,
                     std::size_t rows, const AttentionShape& shape, std::span<float> out) {
  const std::size_t region = region_threads();
  const bool parallel = shape.heads * rows * shape.head_dim >= (region != 0 ? kMinPhaseTerms : kMinPoolTerms);
  const std::size_t threads = !parallel ? 1 : region != 0 ? region : pool_threads();
  const DecodeAttention plan(q, lc, sinks, rows, shape, out, threads, tl_decode);
  auto body = [&](std::size_t b, std::size_t e) {
    for (std::size_t t = b; t < e; ++t) plan.run(t);
  };
  if (parallel)
    parallel_ranges(plan.tasks(), 1, body);
  else
    body(0, plan.tasks());
}

// ---- A chunk of the prompt ------------------------------------------------------------------

ChunkAttention::ChunkAttention(const float* q, std::size_t q_stride, std::size_t first, std::size_t n,
                               const LayerCache& lc, std::span<const float> sinks, const AttentionShape& shape,
                               float* out, std::size_t out_stride)
    : k_(attention_kernels()),
      q_(q),
      q_stride_(q_stride),
      first_(first),
      n_(n),
      lc_(lc),
      sinks_(sinks),
      shape_(shape),
      out_(out),
      out_stride_(out_stride),
      blocks_((n + k_.lanes - 1) / k_.lanes) {
  for (const HeadGroup& g : head_groups(shape.heads, shape.kv_heads)) {
    // As even as they come: 7 heads as 4 and 3.
    const std::size_t size = g.end - g.begin, sets = (size + kHeadsPerTask - 1) / kHeadsPerTask;
    for (std::size_t i = 0, h = g.begin; i < sets; ++i) {
      std::size_t take = (g.end - h + (sets - i) - 1) / (sets - i);
      sets_.push_back({g.kv, h, h + take});
      h += take;
    }
  }
}

// One set of heads over one block of positions: the block's queries transposed, scores of
// every cache row up to the block's last position, each lane's softmax over the rows up to
// its own, and the weighted value sums of all the block's positions and the set's heads.
void ChunkAttention::run(std::size_t task) const {
  const HeadGroup& set = sets_[task % sets_.size()];
  const std::size_t lanes = k_.lanes, d = shape_.head_dim, kv_dim = shape_.kv_heads * d;
  const std::size_t i0 = (task / sets_.size()) * lanes, count = std::min(lanes, n_ - i0);
  const std::size_t heads = set.end - set.begin;

  const std::size_t qt_stride = std::max<std::size_t>(d, 1) * lanes;
  float* qt = tl_queries.get(heads * qt_stride);
  for (std::size_t k = 0; k < heads; ++k)
    for (std::size_t l = 0; l < lanes; ++l) {
      const float* q = l < count ? q_ + (i0 + l) * q_stride_ + (set.begin + k) * d : nullptr;
      for (std::size_t j = 0; j < d; ++j) qt[k * qt_stride + j * lanes + l] = q ? q[j] : 0.0f;
    }

  const std::size_t full = first_ + i0 + 1;  // rows of the block's first position
  const std::size_t rows = full + count - 1;  // rows of its last
  const std::size_t s_stride = round_up(rows, lanes) * lanes;
  float* s = tl_scores.get(heads * s_stride);
  LaneScores ls;
  ls.qt = qt;
  ls.qt_stride = qt_stride;
  ls.heads = heads;
  ls.keys = lc_.keys.data() + set.kv * d;
  ls.key_stride = kv_dim;
  ls.head_dim = d;
  ls.rows = rows;
  ls.scale = shape_.score_scale;
  ls.scores = s;
  ls.score_stride = s_stride;
  k_.lane_scores(ls);
  for (std::size_t k = 0; k < heads; ++k) k_.lane_softmax(s + k * s_stride, full, count, sink_of(sinks_, set.begin + k));

  WeightedSums ws;
  ws.p = s;
  ws.p_stride = s_stride;
  ws.p_block = lanes * lanes;
  ws.sums = heads;
  ws.positions = count;
  ws.values = lc_.values.data() + set.kv * d;
  ws.value_stride = kv_dim;
  ws.d_begin = 0;
  ws.d_end = d;
  ws.rows = full;
  ws.out = out_ + i0 * out_stride_ + set.begin * d;
  ws.out_stride = d;
  ws.out_position = out_stride_;
  k_.weighted_sums(ws);
}

void attend_chunk(const ChunkAttention& chunk) {
  parallel_ranges(chunk.tasks(), 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t t = b; t < e; ++t) chunk.run(t);
  });
}

}  // namespace korvex
