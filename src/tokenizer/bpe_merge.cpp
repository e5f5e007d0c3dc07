// Byte-level pair merging. The result is that of the plain loop "find the adjacent pair
// with the lowest rank, leftmost among equals, join it, rescan", but a piece can be a
// multi-megabyte run of letters, so rescanning after every merge is too slow. Instead the
// adjacent pairs wait in a min-heap ordered by (rank, position of the left symbol); entries
// made stale by a neighbouring merge are skipped when they come up. Every merge creates at
// most two new pairs, so a piece of n symbols costs O(n log n).
#include <algorithm>
#include <limits>
#include <queue>

#include "tokenizer/tokenizer.hpp"

namespace korvex {

namespace {

template <typename Index>
struct SpanMerger {
  static constexpr Index NONE = std::numeric_limits<Index>::max();
  static constexpr Index DEAD = NONE - 1;  // in `next`: the symbol was joined into its left

  struct Candidate {
    uint32_t rank;
    Index left;       // symbol index; symbols keep their order, so this orders by position
    Index right_end;  // end of the right symbol when queued; a later change makes it stale
    bool operator>(const Candidate& o) const {
      return rank != o.rank ? rank > o.rank : left > o.left;
    }
  };

  const MergeRankMap& ranks;
  std::string_view text;
  std::vector<Index> start, next, prev;
  std::vector<Candidate> heap;

  Index end_of(Index i) const { return next[i] == NONE ? static_cast<Index>(text.size()) : start[next[i]]; }
  std::string_view symbol(Index i) const { return text.substr(start[i], end_of(i) - start[i]); }

  void queue_pair(Index left) {
    const Index right = next[left];
    if (right == NONE) return;
    auto it = ranks.find(TextPairView{symbol(left), symbol(right)});
    if (it == ranks.end()) return;
    heap.push_back({it->second, left, end_of(right)});
    std::push_heap(heap.begin(), heap.end(), std::greater<>{});
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
    heap.reserve(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      auto it = ranks.find(TextPairView{symbol(static_cast<Index>(i)), symbol(static_cast<Index>(i + 1))});
      if (it != ranks.end()) heap.push_back({it->second, static_cast<Index>(i), end_of(static_cast<Index>(i + 1))});
    }
    std::make_heap(heap.begin(), heap.end(), std::greater<>{});

    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), std::greater<>{});
      const Candidate c = heap.back();
      heap.pop_back();
      const Index left = c.left;
      if (next[left] == DEAD) continue;
      const Index right = next[left];
      // Left's start never moves and its end is right's start, so the pair is still the one
      // that was queued exactly when right still ends where it did.
      if (right == NONE || end_of(right) != c.right_end) continue;

      next[left] = next[right];
      if (next[right] != NONE) prev[next[right]] = left;
      next[right] = DEAD;
      if (prev[left] != NONE) queue_pair(prev[left]);
      queue_pair(left);
    }

    starts.clear();
    for (Index i = n ? 0 : NONE; i != NONE; i = next[i]) starts.push_back(start[i]);
  }
};

}  // namespace

void Tokenizer::bpe_merge_spans(std::string_view text, std::vector<std::size_t>& starts) const {
  if (starts.size() < 2 || merge_ranks.empty()) return;
  // Narrow indices halve the working memory of the long pieces this exists for.
  const std::size_t narrow_limit = std::numeric_limits<uint32_t>::max() - 2;
  if (text.size() < narrow_limit && starts.size() < narrow_limit) {
    SpanMerger<uint32_t>{merge_ranks, text, {}, {}, {}, {}}.run(starts);
  } else {
    SpanMerger<std::size_t>{merge_ranks, text, {}, {}, {}, {}}.run(starts);
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
