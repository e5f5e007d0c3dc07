// Byte-level pair merging. The result is that of the plain loop "find the adjacent pair
// with the lowest rank, leftmost among equals, join it, rescan", but a piece can be a
// multi-megabyte run of letters, so rescanning after every merge is too slow. Instead the
// adjacent pairs wait in a priority queue ordered by (rank, position of the left symbol);
// entries made stale by a neighbouring merge are skipped when they come up, so the merges
// happen in exactly the same order. Every merge creates at most two new pairs, so a piece
// of n symbols costs O(n log n).
#include <algorithm>
#include <limits>

#include "tokenizer/tokenizer.hpp"

namespace korvex {

namespace {

constexpr uint32_t NO_RANK = 0xFFFFFFFF;

// The queue for short pieces: one binary heap of (rank, left symbol index). Symbols keep
// their order, so comparing the index orders pairs by position.
template <typename Index>
struct PairHeap {
  struct Entry {
    uint32_t rank;
    Index left;
    bool operator>(const Entry& o) const { return rank != o.rank ? rank > o.rank : left > o.left; }
  };
  std::vector<Entry> heap;

  void push(uint32_t rank, Index left) {
    heap.push_back({rank, left});
    std::push_heap(heap.begin(), heap.end(), std::greater<>{});
  }
  bool pop(uint32_t& rank, Index& left) {
    if (heap.empty()) return false;
    std::pop_heap(heap.begin(), heap.end(), std::greater<>{});
    rank = heap.back().rank;
    left = heap.back().left;
    heap.pop_back();
    return true;
  }
};

// The queue for long pieces, same order as PairHeap. One heap over millions of pairs spends
// its time in cache misses, so pairs are grouped by rank: a small heap holds the ranks that
// have pairs waiting, and each rank keeps its positions in a list that is appended in
// increasing order and read from the front (the seeding pass and merges sweeping left to
// right both arrive that way), with a heap only for positions that come out of order.
template <typename Index>
struct RankBuckets {
  static constexpr uint32_t NO_BUCKET = 0xFFFFFFFF;
  struct Bucket {
    std::vector<Index> in_order;  // ascending; entries before `head` are taken
    std::size_t head = 0;
    std::vector<Index> out_of_order;  // min-heap
    bool queued = false;              // its rank is in `ranks`
  };
  std::vector<uint32_t> bucket_of_rank;
  std::vector<Bucket> buckets;
  std::vector<uint32_t> ranks;  // min-heap

  void push(uint32_t rank, Index left) {
    if (rank >= bucket_of_rank.size())
      bucket_of_rank.resize(std::max<std::size_t>(std::size_t{rank} + 1, 2 * bucket_of_rank.size()), NO_BUCKET);
    if (bucket_of_rank[rank] == NO_BUCKET) {
      bucket_of_rank[rank] = static_cast<uint32_t>(buckets.size());
      buckets.emplace_back();
    }
    Bucket& b = buckets[bucket_of_rank[rank]];
    if (b.head == b.in_order.size()) b.in_order.clear(), b.head = 0;
    if (b.in_order.empty() || left >= b.in_order.back()) {
      b.in_order.push_back(left);
    } else {
      b.out_of_order.push_back(left);
      std::push_heap(b.out_of_order.begin(), b.out_of_order.end(), std::greater<>{});
    }
    if (!b.queued) {
      b.queued = true;
      ranks.push_back(rank);
      std::push_heap(ranks.begin(), ranks.end(), std::greater<>{});
    }
  }

  bool pop(uint32_t& rank, Index& left) {
    while (!ranks.empty()) {
      Bucket& b = buckets[bucket_of_rank[ranks.front()]];
      const bool have_ordered = b.head < b.in_order.size();
      const bool have_other = !b.out_of_order.empty();
      if (!have_ordered && !have_other) {
        b.queued = false;
        std::pop_heap(ranks.begin(), ranks.end(), std::greater<>{});
        ranks.pop_back();
        continue;
      }
      rank = ranks.front();
      if (have_ordered && (!have_other || b.in_order[b.head] <= b.out_of_order.front())) {
        left = b.in_order[b.head++];
      } else {
        std::pop_heap(b.out_of_order.begin(), b.out_of_order.end(), std::greater<>{});
        left = b.out_of_order.back();
        b.out_of_order.pop_back();
      }
      return true;
    }
    return false;
  }
};

// Pieces from this many symbols on use RankBuckets.
constexpr std::size_t LONG_PIECE = 256;

template <typename Index, typename Queue>
struct SpanMerger {
  static constexpr Index NONE = std::numeric_limits<Index>::max();

  const MergeRankMap& ranks;
  std::string_view text;
  std::vector<Index> start, next, prev;
  // Rank of the pair (symbol i, its right neighbour), NO_RANK when that pair has none or i
  // was joined into its left. Each rank belongs to exactly one pair of texts, so a queued
  // entry is current exactly when its rank still equals this; stale entries are skipped.
  std::vector<uint32_t> pair_rank;
  Queue queue;

  Index end_of(Index i) const { return next[i] == NONE ? static_cast<Index>(text.size()) : start[next[i]]; }
  std::string_view symbol(Index i) const { return text.substr(start[i], end_of(i) - start[i]); }

  void requeue(Index left) {
    uint32_t rank = NO_RANK;
    if (const Index right = next[left]; right != NONE) {
      if (const uint32_t* r = ranks.find(TextPairView{symbol(left), symbol(right)})) rank = *r;
    }
    pair_rank[left] = rank;
    if (rank != NO_RANK) queue.push(rank, left);
  }

  void run(std::vector<std::size_t>& starts) {
    const std::size_t n = starts.size();
    start.assign(starts.begin(), starts.end());
    next.resize(n);
    prev.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      next[i] = i + 1 < n ? static_cast<Index>(i + 1) : NONE;
      prev[i] = i > 0 ? static_cast<Index>(i - 1) : NONE;
    }
    pair_rank.resize(n);
    for (std::size_t i = 0; i < n; ++i) requeue(static_cast<Index>(i));

    uint32_t rank;
    Index left;
    while (queue.pop(rank, left)) {
      if (pair_rank[left] != rank) continue;
      const Index right = next[left];
      next[left] = next[right];
      if (next[right] != NONE) prev[next[right]] = left;
      pair_rank[right] = NO_RANK;
      if (prev[left] != NONE) requeue(prev[left]);
      requeue(left);
    }

    starts.clear();
    for (Index i = n ? 0 : NONE; i != NONE; i = next[i]) starts.push_back(start[i]);
  }
};

template <typename Index>
void merge_spans(const MergeRankMap& ranks, std::string_view text, std::vector<std::size_t>& starts) {
  if (starts.size() < LONG_PIECE) {
    SpanMerger<Index, PairHeap<Index>>{ranks, text, {}, {}, {}, {}, {}}.run(starts);
  } else {
    SpanMerger<Index, RankBuckets<Index>>{ranks, text, {}, {}, {}, {}, {}}.run(starts);
  }
}

}  // namespace

void Tokenizer::bpe_merge_spans(std::string_view text, std::vector<std::size_t>& starts) const {
  if (starts.size() < 2 || merge_ranks.empty()) return;
  // Narrow indices halve the working memory of the long pieces this exists for.
  const std::size_t narrow_limit = std::numeric_limits<uint32_t>::max() - 2;
  if (text.size() < narrow_limit && starts.size() < narrow_limit) {
    merge_spans<uint32_t>(merge_ranks, text, starts);
  } else {
    merge_spans<std::size_t>(merge_ranks, text, starts);
  }
}

void Tokenizer::bpe_merge(std::vector<std::string>& symbols) const {
  std::string text;
  std::vector<std::size_t> starts;
  starts.reserve(symbols.size());
  for (const std::string& s : symbols) {
    starts.push_back(text.size());
    text += s;
  }
  bpe_merge_spans(text, starts);
  std::vector<std::string> merged;
  merged.reserve(starts.size());
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : text.size();
    merged.emplace_back(text, starts[k], end - starts[k]);
  }
  symbols = std::move(merged);
}

}  // namespace korvex
