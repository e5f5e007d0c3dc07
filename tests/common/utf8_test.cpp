#include <gtest/gtest.h>

#include "common/utf8.hpp"

namespace korvex {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

// One U+FFFD per maximal invalid subsequence, as UTF-8 decoders delimit them.
TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubsequence) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"f\xFFo", "f" + R + "o"},
      {"\x80\x80", R + R},                          // lone continuations: one each
      {"\xE2\x82", R},                              // truncated 3-byte sequence: one
      {"\xE2\x82x", R + "x"},
      {"\xF0\x9F\x98", R},                          // truncated 4-byte sequence: one
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", R + "\xF0\x9F\x98\x80"},
      {"\xC0\xAF", R + R},                          // overlong lead is never valid
      {"\xE0\x80\xAF", R + R + R},                  // overlong 3-byte: second byte out of range
      {"\xED\xA0\x80", R + R + R},                  // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},          // above U+10FFFF
      {"\xF5\x80", R + R},
      {"\xC3", R},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_lossy(c.in), c.out) << testing::PrintToString(c.in);
    EXPECT_EQ(utf8_valid(c.in), c.in == c.out) << testing::PrintToString(c.in);
  }
}

TEST(Utf8, DecodeAndAppendRoundTrip) {
  for (char32_t c : {U'\0', U'A', U'\x7F', U'\x80', U'\u07FF', U'\u0800', U'\uFFFD', U'\U00010000', U'\U0010FFFF'}) {
    std::string s;
    utf8_append(s, c);
    std::size_t len = utf8_sequence_length(s, 0);
    ASSERT_EQ(len, s.size());
    EXPECT_EQ(utf8_decode_at(s, 0, len), c);
  }
}

}  // namespace
}  // namespace korvex
