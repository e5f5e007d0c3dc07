#pragma once
// The model's tokenizer: built once from the GGUF metadata, read-only afterwards, shared by
// every thread. Nothing here fails: bad metadata is absorbed, every text encodes, every id
// decodes (possibly to nothing).
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gguf/gguf.hpp"
#include "tokenizer/flat_map.hpp"

namespace korvex {

// Marks a special id whose text the vocabulary lacks. Being the largest u32 it never wins
// a "smallest candidate" choice against a present id.
inline constexpr uint32_t NO_TOKEN = 0xFFFFFFFF;

// Hashing and equality that accept std::string_view, so that lookups of candidate
// substrings build no temporary strings.
struct TextHash {
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
struct TextEqual {
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};
using TextIdMap = FlatMap<std::string, uint32_t, TextHash, TextEqual>;

// An adjacent pair of symbol texts (left, right) in byte-level merging.
struct TextPair {
  std::string left;
  std::string right;
};
struct TextPairView {
  std::string_view left;
  std::string_view right;
};
struct TextPairHash {
  std::size_t operator()(TextPairView pair) const {
    const std::size_t a = std::hash<std::string_view>{}(pair.left);
    const std::size_t b = std::hash<std::string_view>{}(pair.right);
    return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));  // order-sensitive
  }
  std::size_t operator()(const TextPair& pair) const { return (*this)(TextPairView{pair.left, pair.right}); }
};
struct TextPairEqual {
  static TextPairView view(const TextPair& p) { return {p.left, p.right}; }
  static TextPairView view(TextPairView p) { return p; }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return view(a).left == view(b).left && view(a).right == view(b).right;
  }
};
using MergeRankMap = FlatMap<TextPair, uint32_t, TextPairHash, TextPairEqual>;

// One chat message as the template renderer takes it; both texts are borrowed.
struct MessageRef {
  std::string_view role;
  std::string_view content;
};

// The prompt formats, chosen anew at each call from the marker texts of the vocabulary.
enum class ChatTemplate { StartMessage, ImStart, RoleTags, Plain };

struct Tokenizer {
  std::vector<std::string> vocab;           // id -> text
  std::array<uint32_t, 256> byte_encoder{};  // byte -> code point (byte-level mode)
  TextIdMap token_to_id;                     // text -> largest id holding it
  MergeRankMap merge_ranks;                  // (left, right) -> rank, lower merges first
  std::unordered_map<uint32_t, uint8_t> byte_decoder;  // inverse of byte_encoder
  uint64_t max_token_chars = 0;              // characters of the longest vocabulary text
  uint32_t bos_id = NO_TOKEN;
  uint32_t eos_id = NO_TOKEN;
  uint32_t unk_id = NO_TOKEN;
  uint32_t im_end_id = NO_TOKEN;
  uint32_t return_id = NO_TOKEN;
  bool is_sentencepiece = false;

  // No tokenizer when the metadata has no token array.
  static std::optional<Tokenizer> from_gguf(const GgufFile& file);
  // The same from a bare metadata map (from_gguf reads nothing else).
  static std::optional<Tokenizer> from_metadata(
      const std::unordered_map<std::string, MetaValue>& metadata);

  // Chat templates.
  ChatTemplate chat_template() const;
  std::string apply_chat_template(std::span<const MessageRef> messages) const;
  std::vector<uint32_t> encode_chat(std::span<const MessageRef> messages) const;

  // Encoding: markers "<|...|>" as single ids, the rest chunk by chunk in the tokenizer's mode.
  std::vector<uint32_t> encode(std::string_view text) const;
  void encode_sentencepiece(std::string_view chunk, std::vector<uint32_t>& out) const;
  void encode_byte_level(std::string_view chunk, std::vector<uint32_t>& out) const;
  // Pieces of a chunk for byte-level mode: line breaks alone, an optional space with the
  // letter run after it, letter runs, ASCII digit runs, any other character alone.
  static std::vector<std::string_view> pre_split(std::string_view chunk);
  // End (byte offset) of the pre-split piece that starts at `pos`.
  static std::size_t pre_split_piece_end(std::string_view chunk, std::size_t pos);
  void byte_encode(std::string_view bytes, std::string& out) const;
  // Joins adjacent symbols by merge rank, lowest rank first, leftmost among equal ranks.
  void bpe_merge(std::vector<std::string>& symbols) const;
  // The same on symbols given as consecutive spans of `text`: `starts` holds each symbol's
  // first byte, in increasing order, and is replaced by the starts of the merged symbols.
  void bpe_merge_spans(std::string_view text, std::vector<std::size_t>& starts) const;

  // Decoding and special ids.
  bool is_special(uint32_t id) const;
  std::string decode_token(uint32_t id) const;  // raw bytes, possibly partial UTF-8

  // The id of a vocabulary text, or NO_TOKEN.
  uint32_t id_of(std::string_view text) const;
};

// The items of a metadata array as texts; an item that is not a string gives "".
std::vector<std::string> array_to_strings(const MetaArray& items);

struct ByteTables {
  std::array<uint32_t, 256> encoder;
  std::unordered_map<uint32_t, uint8_t> decoder;
};
// The byte-level table: printable Latin-1 bytes stand for themselves, the other 68 bytes
// take the code points 256..323 in byte order.
ByteTables build_byte_tables();

}  // namespace korvex
