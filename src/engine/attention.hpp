#pragma once
// The attention of query heads over one layer's key/value cache, for one decoded position
// and for a chunk of the batched prompt, split into tasks that the pool runs side by side.
// Per query head h, reading key/value head (h * kv_heads) / heads, over cache rows
// 0 .. pos: score[t] = (q . key_t from -0.0 in order) * scale; mx = the NaN-ignoring max of
// the scores and the sink; e[t] = expf(score[t] - mx); z = the e[t] summed from -0.0 in
// order, plus expf(sink - mx) when sink > -inf; out[d] = (e[t] / z) * value_t[d] + out[d]
// over t in order, from out = +0.0 (the caller's zeros). Both paths give every position the
// same bits, whatever the instruction set and the number of threads: every sum stays one
// chain in its order inside one task, and only the max, whose order cannot show in any
// e[t] (see DecodeAttention), is gathered from several.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kernels/attention_kernels.hpp"
#include "engine/kv_cache.hpp"

namespace korvex {

struct AttentionShape {
  std::size_t heads, kv_heads, head_dim;
  float score_scale;
};

// The query heads [begin, end) that read key/value head kv: consecutive, and none for some
// key/value heads when there are more of those than query heads.
struct HeadGroup {
  std::size_t kv, begin, end;
};
std::vector<HeadGroup> head_groups(std::size_t heads, std::size_t kv_heads);

// How far the work on one key/value head's query heads has come.
struct alignas(64) GroupProgress {
  std::atomic<uint32_t> next_range, ranges_done, next_pair, pairs_done;
};

// Buffers one decoded position's attention reuses from layer to layer.
struct DecodeScratch {
  std::vector<float> scores;     // per query head, rows rounded up to whole vectors
  std::vector<float> range_max;  // per range of rows and query head
  std::unique_ptr<GroupProgress[]> progress;
  std::size_t progress_size = 0;
};

// One decoded position as independent tasks, run in any order on any number of threads
// (one pool call in all). The work comes in pieces of three kinds, each reading what the kind
// before wrote, claimed from per-group counters by whichever task comes first:
//   scores of a range of rows for the heads of one key/value head, each block of rows' keys
//   transposed once for the heads that read them (up to 8 at a time), with the range's max
//   per head;
//   the softmax of a pair of those heads, their maxes gathered from the ranges', once all
//   the group's ranges are done;
//   the weighted value sums of 16 elements of the group's rows (one cache line per row when
//   aligned) for all its heads, once all its softmax pairs are done: one value piece per task,
//   the task (group, elements).
// Every task first claims the scores left, its own group's first, then the softmax pairs
// left, then does its value piece; tasks past the value pieces (up to `threads`) only help.
// A task waits only for pieces that others have claimed, and a piece is claimed by the
// thread that runs it at once, so no order of running the tasks can stall.
// The max may gather in any order: NaNs are ignored and only the two zeros compare equal
// with different bits, so the order can change it only from +0.0 to -0.0 or back, and
// score - mx and sink - mx come out the same for either zero (x - +0.0 and x - -0.0 differ
// only for x = -0.0, giving -0.0 and +0.0, and expf gives 1 for both).
// q holds heads * head_dim floats, lc the rows 0 .. rows - 1 and out heads * head_dim zeros.
class DecodeAttention {
 public:
  DecodeAttention(std::span<const float> q, const LayerCache& lc, std::span<const float> sinks, std::size_t rows,
                  const AttentionShape& shape, std::span<float> out, std::size_t threads, DecodeScratch& scratch);

  std::size_t tasks() const { return tasks_; }
  void run(std::size_t task) const;

 private:
  std::size_t pairs(const HeadGroup& g) const;
  void scores(std::size_t group, std::size_t range) const;
  void softmax(std::size_t group, std::size_t pair) const;
  void values(std::size_t group, std::size_t slice) const;

  const AttentionKernels& k_;
  const float* q_;
  const LayerCache& lc_;
  std::span<const float> sinks_;
  std::size_t rows_;
  AttentionShape shape_;
  float* out_;
  std::vector<HeadGroup> groups_;
  std::size_t ranges_, slices_, ld_, tasks_;
  float* scores_;
  float* range_max_;
  GroupProgress* progress_;
};

// One decoded position's attention: on the pool when there is enough to share, else on the
// calling thread.
void attend_position(std::span<const float> q, const LayerCache& lc, std::span<const float> sinks,
                     std::size_t rows, const AttentionShape& shape, std::span<float> out);

// A chunk of the batched prompt: positions first .. first + n - 1, position first + i with
// its query at q + i * q_stride (heads * head_dim floats) and its output at
// out + i * out_stride (zeros), each attending to the cache rows up to its own, which lc
// already holds. Tasks of (query heads of one group, block of consecutive positions), the
// block one vector lane per position.
class ChunkAttention {
 public:
  ChunkAttention(const float* q, std::size_t q_stride, std::size_t first, std::size_t n, const LayerCache& lc,
                 std::span<const float> sinks, const AttentionShape& shape, float* out, std::size_t out_stride);

  std::size_t tasks() const { return sets_.size() * blocks_; }
  void run(std::size_t task) const;

 private:
  const AttentionKernels& k_;
  const float* q_;
  std::size_t q_stride_, first_, n_;
  const LayerCache& lc_;
  std::span<const float> sinks_;
  AttentionShape shape_;
  float* out_;
  std::size_t out_stride_;
  std::vector<HeadGroup> sets_;  // groups cut into sets of at most kHeadsPerTask heads
  std::size_t blocks_;
};

void attend_chunk(const ChunkAttention& chunk);

}  // namespace korvex
