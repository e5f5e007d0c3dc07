// The JSON the server writes: string escapes, the model list and the stream chunk, byte for byte.
#include "server/json_write.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvex {
namespace {

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(JsonWrite, EscapesOnlyQuoteBackslashAndControlBytes) {
  struct Case {
    std::string_view text;
    std::string_view written;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"hello", R"("hello")"},
      {"\"\\", R"("\"\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\0\x01\x0b\x0e\x1b\x1f", 6), R"("\u0000\u0001\u000b\u000e\u001b\u001f")"},
      {"/ \x7f", "\"/ \x7f\""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
      {"a\"b\nc", R"("a\"b\nc")"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_string(c.text), c.written);

  std::string kept = "prefix";
  append_json_string(kept, "x");
  EXPECT_EQ(kept, R"(prefix"x")");
}

TEST(JsonWrite, ModelListHasSortedKeysAndTheEscapedId) {
  const std::string q4 = build_model_list("q4");
  EXPECT_EQ(q4, R"({"data":[{"id":"q4","object":"model","owned_by":"korvex"}],"object":"list"})");
  EXPECT_EQ(q4.size(), 75u);
  EXPECT_EQ(build_model_list("a\"b\\c\td\x01\xc3\xa9"),
            "{\"data\":[{\"id\":\"a\\\"b\\\\c\\td\\u0001\xc3\xa9\",\"object\":\"model\",\"owned_by\":\"korvex\"}],"
            "\"object\":\"list\"}");
}

TEST(JsonWrite, StreamChunkCarriesTheTextAsContent) {
  EXPECT_EQ(build_stream_chunk("hello"), R"({"choices":[{"delta":{"content":"hello"},"finish_reason":null}]})");
  EXPECT_EQ(build_stream_chunk("\n[Error: empty prompt]"),
            R"({"choices":[{"delta":{"content":"\n[Error: empty prompt]"},"finish_reason":null}]})");
  EXPECT_EQ(build_stream_chunk("\x1f/\xc3\xa9"),
            "{\"choices\":[{\"delta\":{\"content\":\"\\u001f/\xc3\xa9\"},\"finish_reason\":null}]}");
}

}  // namespace
}  // namespace korvex
