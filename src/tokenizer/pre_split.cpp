// The byte-level pre-split: cuts a chunk into words, numbers and single characters before
// the bytes are mapped and merged.
#include <unicode/uchar.h>

#include "tokenizer/tokenizer.hpp"
#include "tokenizer/utf8_chars.hpp"

namespace korvex {

namespace {

bool is_letter(uint32_t code) {
  if (code < 0x80) return (code >= 'A' && code <= 'Z') || (code >= 'a' && code <= 'z');
  if (code == utf8::INVALID) return false;
  return u_hasBinaryProperty(static_cast<UChar32>(code), UCHAR_ALPHABETIC);
}

bool is_digit(uint32_t code) { return code >= '0' && code <= '9'; }

template <typename Pred>
std::size_t skip_run(std::string_view chunk, std::size_t pos, Pred pred) {
  while (pos < chunk.size()) {
    const utf8::Char c = utf8::char_at(chunk, pos);
    if (!pred(c.code)) break;
    pos += c.size;
  }
  return pos;
}

}  // namespace

std::size_t Tokenizer::pre_split_piece_end(std::string_view chunk, std::size_t pos) {
  const utf8::Char c = utf8::char_at(chunk, pos);
  if (c.code == ' ') return skip_run(chunk, pos + 1, is_letter);
  if (is_letter(c.code)) return skip_run(chunk, pos + c.size, is_letter);
  if (is_digit(c.code)) return skip_run(chunk, pos + 1, is_digit);
  // Line breaks, and everything else, stand alone.
  return pos + c.size;
}

std::vector<std::string_view> Tokenizer::pre_split(std::string_view chunk) {
  std::vector<std::string_view> pieces;
  for (std::size_t pos = 0; pos < chunk.size();) {
    const std::size_t end = pre_split_piece_end(chunk, pos);
    pieces.push_back(chunk.substr(pos, end - pos));
    pos = end;
  }
  return pieces;
}

}  // namespace korvex
