#pragma once
// UTF-8 checks and lossy decoding. Every text of the model file and of the command line
// passes through here, so malformed bytes never reach code that assumes valid UTF-8.
#include <cstddef>
#include <string>
#include <string_view>

namespace korvex {

// The bytes as UTF-8 text, each maximal invalid subsequence (as a UTF-8 decoder delimits
// it) replaced by one U+FFFD. Valid input comes back unchanged.
std::string utf8_lossy(std::string_view bytes);

// True when the bytes are entirely valid UTF-8.
bool utf8_valid(std::string_view bytes);

// Length of the valid sequence starting at s[i], or 0 when the bytes there do not start
// one. For an invalid start, *invalid_len (when given) receives the length of the maximal
// invalid subsequence (at least 1), which is what one U+FFFD stands for.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i, std::size_t* invalid_len = nullptr);

// The code point of the valid sequence of `len` bytes at s[i] (len from utf8_sequence_length).
char32_t utf8_decode_at(std::string_view s, std::size_t i, std::size_t len);

// Appends the UTF-8 encoding of a code point.
void utf8_append(std::string& out, char32_t c);

}  // namespace korvex
