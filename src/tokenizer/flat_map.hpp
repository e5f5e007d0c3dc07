#pragma once
// An insert-only hash map with open addressing, for the tokenizer's text lookups. Encoding a
// long prompt asks millions of questions, most of them answered "no" (SentencePiece tries
// every length at every position); here a miss usually costs one probe of a compact slot
// array holding the full hash, instead of a walk through scattered list nodes.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace korvex {

// Hash and Equal must accept both Key and the lookup types used with find().
template <typename Key, typename Value, typename Hash, typename Equal>
struct FlatMap {
  struct Slot {
    uint64_t hash;
    uint32_t entry;  // index into entries, EMPTY when unused
  };
  static constexpr uint32_t EMPTY = 0xFFFFFFFF;

  std::vector<std::pair<Key, Value>> entries;  // in insertion order
  std::vector<Slot> slots;                     // power-of-two size, at most half full

  std::size_t size() const { return entries.size(); }
  bool empty() const { return entries.empty(); }

  void reserve(std::size_t n) {
    entries.reserve(n);
    if (2 * n > slots.size()) rehash(2 * n);
  }

  // Inserts, or replaces the value of an equal key already present.
  void insert_or_assign(Key key, Value value) {
    if (2 * (entries.size() + 1) > slots.size()) rehash(2 * (entries.size() + 1));
    const uint64_t h = Hash{}(key);
    std::size_t i = h & (slots.size() - 1);
    for (;; i = (i + 1) & (slots.size() - 1)) {
      Slot& s = slots[i];
      if (s.entry == EMPTY) {
        s = {h, static_cast<uint32_t>(entries.size())};
        entries.emplace_back(std::move(key), std::move(value));
        return;
      }
      if (s.hash == h && Equal{}(entries[s.entry].first, key)) {
        entries[s.entry].second = std::move(value);
        return;
      }
    }
  }

  template <typename K>
  const Value* find(const K& key) const {
    if (slots.empty()) return nullptr;
    const uint64_t h = Hash{}(key);
    for (std::size_t i = h & (slots.size() - 1);; i = (i + 1) & (slots.size() - 1)) {
      const Slot& s = slots[i];
      if (s.entry == EMPTY) return nullptr;
      if (s.hash == h && Equal{}(entries[s.entry].first, key)) return &entries[s.entry].second;
    }
  }

  template <typename K>
  bool contains(const K& key) const {
    return find(key) != nullptr;
  }

  void rehash(std::size_t at_least) {
    std::size_t n = 16;
    while (n < at_least) n *= 2;
    slots.assign(n, Slot{0, EMPTY});
    for (uint32_t e = 0; e < entries.size(); ++e) {
      const uint64_t h = Hash{}(entries[e].first);
      std::size_t i = h & (n - 1);
      while (slots[i].entry != EMPTY) i = (i + 1) & (n - 1);
      slots[i] = {h, e};
    }
  }
};

}  // namespace korvex
