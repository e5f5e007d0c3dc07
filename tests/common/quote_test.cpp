#include <gtest/gtest.h>

#include "common/quote.hpp"

namespace korvex {
namespace {

TEST(QuoteDebug, EscapesAsTheQuotedFormAsks) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"What is 2+2?", "\"What is 2+2?\""},
      {"a\nb", "\"a\\nb\""},
      {"tab\there\r", "\"tab\\there\\r\""},
      {std::string("nul\0", 4), "\"nul\\0\""},
      {"say \"hi\" \\ it's", "\"say \\\"hi\\\" \\\\ it's\""},
      {"bell\a esc\x1B del\x7F", "\"bell\\u{7} esc\\u{1b} del\\u{7f}\""},
      {"nbsp\xC2\xA0", "\"nbsp\\u{a0}\""},                    // Zs other than the space
      {"\xE2\x80\xA8\xE2\x80\xA9", "\"\\u{2028}\\u{2029}\""},  // Zl, Zp
      {"zw\xE2\x80\x8Bj\xE2\x80\x8D", "\"zw\\u{200b}j\\u{200d}\""},  // Cf
      {"\xC2\xAD", "\"\\u{ad}\""},                            // soft hyphen, Cf
      {"pua\xEE\x80\x80", "\"pua\\u{e000}\""},                // Co
      {"\xF1\x90\x80\x80x\xEF\xBF\xBF", "\"\\u{50000}x\\u{ffff}\""},  // Cn, the last a noncharacter
      {"e\xCC\x81", "\"e\\u{301}\""},                         // Grapheme_Extend after a base
      {"\xCC\x81x", "\"\\u{301}x\""},                         // ... and at the start
      {"\xE2\x80\x8C", "\"\\u{200c}\""},                      // ZWNJ: Grapheme_Extend and Cf
      {"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD", "\"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD\""},
      {"f\xFFo", "\"f\xEF\xBF\xBDo\""},                       // invalid bytes decoded lossily first
  };
  for (const auto& c : cases) EXPECT_EQ(quote_debug(c.in), c.out) << testing::PrintToString(c.in);
}

}  // namespace
}  // namespace korvex
