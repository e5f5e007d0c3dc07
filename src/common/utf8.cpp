#include "common/utf8.hpp"

#include <cstdint>

namespace korvex {
namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Sequence length for a lead byte and the allowed range of the second byte; the ranges
// exclude overlong forms, surrogates and code points above U+10FFFF.
struct Lead {
  std::size_t len;
  uint8_t lo, hi;
};

Lead lead_of(uint8_t b) {
  if (b < 0x80) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view s, std::size_t i, std::size_t* invalid_len) {
  auto byte = [&](std::size_t k) { return static_cast<uint8_t>(s[k]); };
  Lead lead = lead_of(byte(i));
  if (lead.len == 1) return 1;
  std::size_t ok = 0;  // bytes of the sequence that were valid so far
  if (lead.len != 0) {
    ok = 1;
    if (i + 1 < s.size() && byte(i + 1) >= lead.lo && byte(i + 1) <= lead.hi) {
      ok = 2;
      while (ok < lead.len && i + ok < s.size() && is_continuation(byte(i + ok))) ++ok;
    }
    if (ok == lead.len) return lead.len;
  }
  if (invalid_len) *invalid_len = ok == 0 ? 1 : ok;
  return 0;
}

char32_t utf8_decode_at(std::string_view s, std::size_t i, std::size_t len) {
  auto byte = [&](std::size_t k) { return static_cast<uint8_t>(s[i + k]); };
  switch (len) {
    case 1: return byte(0);
    case 2: return (char32_t(byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return (char32_t(byte(0) & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default:
      return (char32_t(byte(0) & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) |
             (char32_t(byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
  }
}

void utf8_append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool utf8_valid(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t len = utf8_sequence_length(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad = 0;
    std::size_t len = utf8_sequence_length(bytes, i, &bad);
    if (len != 0) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

}  // namespace korvex
