#pragma once
// Stepping through UTF-8 text one character at a time. Texts normally arrive valid; a byte
// that does not start a well-formed sequence counts as a character of its own, so that
// every walk advances and no byte is skipped or read past the end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvex::utf8 {

// Not a Unicode scalar value: what a stray byte decodes to.
inline constexpr uint32_t INVALID = 0xFFFFFFFF;

struct Char {
  uint32_t code;     // scalar value, or INVALID for a lone ill-formed byte
  std::size_t size;  // bytes taken, 1..4
};

// The character at `pos` (pos < text.size()), following the well-formed byte sequences of
// the Unicode standard (no overlong forms, no surrogates, nothing above U+10FFFF).
inline Char char_at(std::string_view text, std::size_t pos) {
  auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1};
  std::size_t size;
  uint32_t code;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    size = 2, code = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    size = 3, code = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    size = 4, code = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {INVALID, 1};
  }
  if (pos + size > text.size()) return {INVALID, 1};
  for (std::size_t i = 1; i < size; ++i) {
    const uint8_t b = byte(pos + i);
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return {INVALID, 1};
    code = (code << 6) | (b & 0x3F);
  }
  return {code, size};
}

inline std::size_t count_chars(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < text.size(); pos += char_at(text, pos).size) ++n;
  return n;
}

// Appends the UTF-8 form of a scalar value.
inline void append(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace korvex::utf8
