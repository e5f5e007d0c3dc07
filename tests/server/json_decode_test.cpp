// The JSON reader under the chat request: how values are described in type errors, numbers
// at the edges of their ranges, and the syntax checks on values that are only skipped.
#include "server/json_decode.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "server/chat_request.hpp"

namespace korvex {
namespace {

TEST(JsonDescribe, StringsShowInvisibleAndCombiningCharactersEscaped) {
  struct Case {
    std::string_view text;
    std::string_view shown;
  };
  const Case cases[] = {
      {"plain text", R"(string "plain text")"},
      {std::string_view("a\0b", 3), R"(string "a\0b")"},
      {"\t\r\n\"\\", R"(string "\t\r\n\"\\")"},
      {"\x01\x1f\x7f", R"(string "\u{1}\u{1f}\u{7f}")"},
      {"a\xc2\xa0" "b", R"(string "a\u{a0}b")"},                 // no-break space (Zs)
      {"\xe3\x80\x80", R"(string "\u{3000}")"},                  // ideographic space (Zs)
      {"\xe2\x80\xa8\xe2\x80\xa9", R"(string "\u{2028}\u{2029}")"},  // line and paragraph separators
      {"e\xcc\x81", R"(string "e\u{301}")"},                     // combining mark after a letter
      {"\xcd\xb8", R"(string "\u{378}")"},                        // unassigned
      {"\xf3\xb0\x80\x80", R"(string "\u{f0000}")"},              // private use, plane 15
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80/", "string \"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80/\""},
  };
  for (const Case& c : cases) EXPECT_EQ(describe_string(c.text), c.shown) << c.shown;
}

TEST(JsonDescribe, FloatsArePositionalShortestDigits) {
  struct Case {
    double value;
    std::string shown;
  };
  const Case cases[] = {
      {2.5, "2.5"},
      {100.0, "100.0"},
      {-0.0, "-0.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e-7, "0.0000001"},
      {1e16, "10000000000000000.0"},
      {1e300, "1" + std::string(300, '0') + ".0"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0') + ".0"},
      {-123.456, "-123.456"},
  };
  for (const Case& c : cases) EXPECT_EQ(plain_float_text(c.value), c.shown);
}

struct BodyCase {
  std::string body;
  unsigned status;
  std::string text;  // the rejection body without its fixed prefix; empty when accepted
};

void expect_answers(const BodyCase& c) {
  auto r = decode_chat_body(c.body);
  if (c.status == 200) {
    EXPECT_TRUE(r.has_value()) << c.body << " -> " << r.error().body;
    return;
  }
  ASSERT_FALSE(r.has_value()) << c.body;
  EXPECT_EQ(r.error().status, c.status) << c.body;
  const std::string prefix = c.status == 400 ? "Failed to parse the request body as JSON: "
                                             : "Failed to deserialize the JSON body into the target type: ";
  EXPECT_EQ(r.error().body, prefix + c.text) << c.body;
}

TEST(JsonNumbers, EdgesOfTheIntegerAndFloatRanges) {
  const BodyCase cases[] = {
      {R"({"messages":[],"max_tokens":-0})", 422,
       "max_tokens: invalid type: floating point `-0.0`, expected usize at line 1 column 30"},
      {R"({"messages":[],"seed":-18446744073709551615})", 422,
       "seed: invalid type: floating point `-18446744073709552000.0`, expected u64 at line 1 column 43"},
      {R"({"messages":[],"max_tokens":-})", 400, "max_tokens: invalid number at line 1 column 30"},
      {R"({"messages":[],"max_tokens":-)", 400, "max_tokens: EOF while parsing a value at line 1 column 29"},
      {R"({"messages":[],"max_tokens":1.)", 400, "max_tokens: EOF while parsing a value at line 1 column 30"},
      {R"({"messages":[],"max_tokens":1e)", 400, "max_tokens: EOF while parsing a value at line 1 column 30"},
      // The exponent is read in 32 bits: a growing number fails at the digit that
      // overflows them, before the rest is read; shrinking ones and zero are zero.
      {R"({"messages":[],"max_tokens":1e2147483648000})", 400,
       "max_tokens: number out of range at line 1 column 40"},
      {R"({"messages":[],"temperature":1e-99999999999999999999})", 200, ""},
      {R"({"messages":[],"temperature":0e99999999999999999999})", 200, ""},
      {R"({"messages":[],"temperature":1e2147483647})", 400,
       "temperature: number out of range at line 1 column 41"},
      {R"({"messages":[],"temperature":1.7976931348623157e308})", 200, ""},
      {R"({"messages":[],"temperature":1.7976931348623159e308})", 400,
       "temperature: number out of range at line 1 column 51"},
      {"{\"messages\":[],\"temperature\":1" + std::string(400, '0') + "}", 400,
       "temperature: number out of range at line 1 column 430"},
  };
  for (const BodyCase& c : cases) expect_answers(c);

  auto zero = decode_chat_body(R"({"messages":[],"temperature":-1e-99999999999999999999})");
  ASSERT_TRUE(zero);
  EXPECT_TRUE(*zero->temperature == 0.0f && std::signbit(*zero->temperature));
}

TEST(JsonSkippedValues, AreCheckedForFormOnly) {
  const BodyCase cases[] = {
      {R"({"x":[{"a":[1,-2.5e+3,"\u00e9",true,false,null,{}]},[]],"messages":[]})", 200, ""},
      {R"({"x":"\udc00\ud800","messages":[]})", 200, ""},
      {R"({"x":[1,],"messages":[]})", 400, "x: expected value at line 1 column 9"},
      {R"({"x":{"a":1,},"messages":[]})", 400, "x: key must be a string at line 1 column 13"},
      {R"({"x":{"a" 1},"messages":[]})", 400, "x: expected `:` at line 1 column 11"},
      {R"({"x":{1:1},"messages":[]})", 400, "x: key must be a string at line 1 column 7"},
      {R"({"x":[},"messages":[]})", 400, "x: expected value at line 1 column 7"},
      {R"({"x":{],"messages":[]})", 400, "x: key must be a string at line 1 column 7"},
      {R"({"x":[1}],"messages":[]})", 400, "x: expected `,` or `]` at line 1 column 8"},
      {R"({"x":{"a":1 "b":2},"messages":[]})", 400, "x: expected `,` or `}` at line 1 column 13"},
      {R"({"x":{"a":1)", 400, "x: EOF while parsing an object at line 1 column 11"},
      {R"({"x":{"a")", 400, "x: EOF while parsing an object at line 1 column 9"},
      {R"({"x":[)", 400, "x: EOF while parsing a list at line 1 column 6"},
      {R"({"x":[1,)", 400, "x: EOF while parsing a value at line 1 column 8"},
      {R"({"x":tru)", 400, "x: EOF while parsing a value at line 1 column 8"},
      {R"({"x":"\u12)", 400, "x: EOF while parsing a string at line 1 column 10"},
      {R"({"x":-)", 400, "x: invalid number at line 1 column 6"},
      {R"({"x":1.)", 400, "x: invalid number at line 1 column 7"},
  };
  for (const BodyCase& c : cases) expect_answers(c);
}

}  // namespace
}  // namespace korvex
