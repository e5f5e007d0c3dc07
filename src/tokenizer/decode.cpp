// One id back to the bytes it stands for, and which ids are control tokens without text.
#include <optional>

#include "tokenizer/tokenizer.hpp"
#include "tokenizer/utf8_chars.hpp"

namespace korvex {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An unsigned 8-bit number in radix 16: one optional leading "+", then hex digits only, the
// value never above 255 (leading zeros are fine).
std::optional<uint8_t> parse_hex_byte(std::string_view inner) {
  if (inner.starts_with('+')) inner.remove_prefix(1);
  if (inner.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : inner) {
    const int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(d);
    if (value > 255) return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

// "<0x..>" with a parsable inner text.
std::optional<uint8_t> byte_token_value(std::string_view text) {
  if (text.size() < 5 || !text.starts_with("<0x") || !text.ends_with('>')) return std::nullopt;
  return parse_hex_byte(text.substr(3, text.size() - 4));
}

}  // namespace

bool Tokenizer::is_special(uint32_t id) const {
  if (id >= vocab.size()) return false;
  const std::string_view t = vocab[id];
  // The two tests may overlap: "<|>" counts, "<|" does not.
  if (t.size() >= 2 && t.starts_with("<|") && t.ends_with("|>")) return true;
  return t == "<s>" || t == "</s>" || t == "<unk>";
}

std::string Tokenizer::decode_token(uint32_t id) const {
  std::string bytes;
  if (id >= vocab.size() || is_special(id)) return bytes;
  const std::string_view t = vocab[id];
  // Byte tokens decode the same way in both modes.
  if (std::optional<uint8_t> b = byte_token_value(t)) {
    bytes.push_back(static_cast<char>(*b));
    return bytes;
  }
  if (is_sentencepiece) {
    constexpr std::string_view word_mark = "\xE2\x96\x81";
    bytes.reserve(t.size());
    for (std::size_t pos = 0; pos < t.size();) {
      if (t.substr(pos, 3) == word_mark) {
        bytes.push_back(' ');
        pos += 3;
      } else {
        bytes.push_back(t[pos++]);
      }
    }
    return bytes;
  }
  // Characters outside the byte table are dropped.
  for (std::size_t pos = 0; pos < t.size();) {
    const utf8::Char c = utf8::char_at(t, pos);
    pos += c.size;
    if (auto it = byte_decoder.find(c.code); it != byte_decoder.end())
      bytes.push_back(static_cast<char>(it->second));
  }
  return bytes;
}

}  // namespace korvex
