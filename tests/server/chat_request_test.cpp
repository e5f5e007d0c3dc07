// Chat request decoding: the recorded request bodies with their exact answers, and the
// content-type and size gates in front of the decoder.
#include "server/chat_request.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace korvex {
namespace {

// ---- a minimal JSON reader for the vector file (well-formed input only) -----------------

struct Value {
  std::variant<std::nullptr_t, long long, std::string, std::vector<Value>, std::map<std::string, Value>> v;
  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
  const std::string& str() const { return std::get<std::string>(v); }
  long long integer() const { return std::get<long long>(v); }
  const std::vector<Value>& list() const { return std::get<std::vector<Value>>(v); }
  const Value& operator[](const std::string& key) const { return std::get<std::map<std::string, Value>>(v).at(key); }
};

void append_utf8(std::string& out, unsigned c) {
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

struct VectorParser {
  const std::string& s;
  std::size_t i = 0;

  void ws() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  unsigned hex4() {
    unsigned v = std::stoul(s.substr(i, 4), nullptr, 16);
    i += 4;
    return v;
  }
  std::string string() {
    std::string out;
    ++i;  // opening quote
    while (s[i] != '"') {
      if (s[i] != '\\') {
        out += s[i++];
        continue;
      }
      const char e = s[i + 1];
      i += 2;
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          unsigned c = hex4();
          if (c >= 0xD800 && c < 0xDC00) {
            i += 2;  // "\u" of the trailing surrogate
            c = 0x10000 + ((c - 0xD800) << 10) + (hex4() - 0xDC00);
          }
          append_utf8(out, c);
          break;
        }
        default: out += e;
      }
    }
    ++i;
    return out;
  }
  Value value() {
    ws();
    if (s[i] == '"') return {string()};
    if (s[i] == 'n') {
      i += 4;
      return {nullptr};
    }
    if (s[i] == '[') {
      ++i;
      std::vector<Value> items;
      for (ws(); s[i] != ']'; ws()) {
        items.push_back(value());
        ws();
        if (s[i] == ',') ++i;
      }
      ++i;
      return {std::move(items)};
    }
    if (s[i] == '{') {
      ++i;
      std::map<std::string, Value> entries;
      for (ws(); s[i] != '}'; ws()) {
        std::string key = string();
        ws();
        ++i;  // colon
        entries.emplace(std::move(key), value());
        ws();
        if (s[i] == ',') ++i;
      }
      ++i;
      return {std::move(entries)};
    }
    std::size_t used = 0;
    long long n = std::stoll(s.substr(i), &used);
    i += used;
    return {n};
  }
};

std::string base64_decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string decimal_or_null(const std::optional<std::uint64_t>& v) { return v ? std::to_string(*v) : "null"; }

std::string bits_or_null(const std::optional<float>& v) {
  if (!v) return "null";
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", std::bit_cast<std::uint32_t>(*v));
  return buf;
}

std::string expected_or_null(const Value& v) { return v.is_null() ? "null" : v.str(); }

TEST(ChatRequestVectors, EveryRecordedBodyGetsItsExactAnswer) {
  std::ifstream file(std::string(KORVEX_SOURCE_DIR) + "/tests/data/chat_request_cases.jsonl");
  ASSERT_TRUE(file) << "vector file missing";
  int cases = 0;
  for (std::string line; std::getline(file, line);) {
    if (line.empty()) continue;
    ++cases;
    VectorParser parser{line};
    const Value c = parser.value();
    const std::string name = c["name"].str();
    const std::string body = base64_decode(c["body_b64"].str());
    const auto status = static_cast<unsigned>(c["status"].integer());

    auto result = extract_chat_request("application/json", body);
    if (status != 200) {
      ASSERT_FALSE(result.has_value()) << name;
      EXPECT_EQ(result.error().status, status) << name;
      EXPECT_EQ(result.error().body, c["text"].str()) << name;
      continue;
    }
    ASSERT_TRUE(result.has_value()) << name << ": " << result.error().body;
    const Value& want = c["text"];
    const ChatRequest& got = *result;
    ASSERT_EQ(got.messages.size(), want["messages"].list().size()) << name;
    for (std::size_t m = 0; m < got.messages.size(); ++m) {
      EXPECT_EQ(got.messages[m].role, want["messages"].list()[m]["role"].str()) << name;
      EXPECT_EQ(got.messages[m].content, want["messages"].list()[m]["content"].str()) << name;
    }
    EXPECT_EQ(decimal_or_null(got.max_tokens), expected_or_null(want["max_tokens"])) << name;
    EXPECT_EQ(decimal_or_null(got.top_k), expected_or_null(want["top_k"])) << name;
    EXPECT_EQ(decimal_or_null(got.seed), expected_or_null(want["seed"])) << name;
    EXPECT_EQ(bits_or_null(got.temperature), expected_or_null(want["temperature"])) << name;
    EXPECT_EQ(bits_or_null(got.repeat_penalty), expected_or_null(want["repeat_penalty"])) << name;
  }
  EXPECT_GT(cases, 200);
}

// ---- the gates in front of the decoder --------------------------------------------------

TEST(ChatRequestContentType, AcceptsOnlyJsonMediaTypes) {
  struct Case {
    std::optional<std::string_view> value;
    bool accepted;
  };
  const Case cases[] = {
      {"application/json", true},
      {"APPLICATION/JSON; charset=utf-8", true},
      {"Application/Json;charset=UTF-8", true},
      {"application/vnd.example+json", true},
      {"application/a+b+JSON", true},
      {"application/json; charset=\"utf-8\"", true},
      {"application/json; a=1; b=2", true},
      {"application/json;", true},
      {std::nullopt, false},
      {"", false},
      {"text/plain", false},
      {"text/json", false},
      {"application/jsonx", false},
      {"application/x-json", false},
      {"application/json+xml", true},  // the subtype before the suffix is "json"
      {"application/+json", false},     // a '+' right after the slash is part of the subtype
      {"application/vnd+json+", false},
      {"application", false},
      {"/json", false},
      {"*/*", false},
      {"application/json ; charset=utf-8", false},  // no space before the ';'
      {"application/json; charset", false},
      {"application/json; =utf-8", false},
      {"application/json; charset=\"utf-8", false},
      {"application/json; charset=utf 8", false},
      {"application/json\t", false},
      {"application/json; charset=\xc3\xa9", false},  // only visible ASCII
      {"application/json\x7f", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_json_content_type(c.value), c.accepted) << (c.value ? std::string(*c.value) : "(none)");
}

TEST(ChatRequestGates, ContentTypeThenSizeThenJson) {
  const std::string valid = R"({"messages":[]})";
  for (std::optional<std::string_view> type : {std::optional<std::string_view>{}, std::optional<std::string_view>{"text/plain"}}) {
    auto r = extract_chat_request(type, valid);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().status, 415u);
    EXPECT_EQ(r.error().body, "Expected request with `Content-Type: application/json`");
  }

  // A body of exactly the limit decodes (trailing bytes are never looked at); one byte
  // more is refused before any parsing, even when it is not JSON at all.
  std::string at_limit = valid;
  at_limit.resize(MAX_REQUEST_BODY_BYTES, ' ');
  EXPECT_TRUE(extract_chat_request("application/json", at_limit).has_value());
  std::string over = at_limit + " ";
  over[0] = '#';
  auto r = extract_chat_request("application/json", over);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().status, 413u);
  EXPECT_EQ(r.error().body, "Failed to buffer the request body: length limit exceeded");
  EXPECT_EQ(extract_chat_request("text/plain", over).error().status, 415u);

  EXPECT_EQ(body_read_failure("connection reset").body, "Failed to buffer the request body: connection reset");
  EXPECT_EQ(body_read_failure("x").status, 400u);
}

// ---- hostile bodies ---------------------------------------------------------------------

TEST(ChatRequestHostile, DeepNestingIsBoundedAndLinear) {
  // Two megabytes of open brackets in an ignored value: no recursion, one pass.
  std::string body = R"({"x":)";
  body.append(MAX_REQUEST_BODY_BYTES - body.size(), '[');
  auto r = decode_chat_body(body);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().status, 400u);
  EXPECT_EQ(r.error().body, "Failed to parse the request body as JSON: x: EOF while parsing a list at line 1 column " +
                                std::to_string(MAX_REQUEST_BODY_BYTES));

  // Balanced deep nesting of objects and arrays is skipped whole.
  std::string balanced = R"({"x":)";
  for (int i = 0; i < 100000; ++i) balanced += R"({"a":[)";
  for (int i = 0; i < 100000; ++i) balanced += "]}";
  balanced += R"(,"messages":[{"role":"u","content":"c"}]})";
  auto ok = decode_chat_body(balanced);
  ASSERT_TRUE(ok) << ok.error().body;
  ASSERT_EQ(ok->messages.size(), 1u);

  // Nesting where a value is decoded is refused at its first bracket.
  std::string content = R"({"messages":[{"role":"u","content":)";
  content.append(100000, '[');
  EXPECT_EQ(decode_chat_body(content).error().body,
            "Failed to deserialize the JSON body into the target type: messages[0].content: invalid type: sequence, "
            "expected a string at line 1 column 35");
}

TEST(ChatRequestHostile, LongNumbersAndStringsDecodeExactly) {
  // A long run of digits is still rounded once, from the whole decimal.
  std::string body = R"({"messages":[],"temperature":0.)";
  body.append(100000, '0');
  body += "1e100002}";  // 10^-100001 * 10^100002
  auto r = decode_chat_body(body);
  ASSERT_TRUE(r) << r.error().body;
  EXPECT_EQ(*r->temperature, 10.0f);

  // A message of a million escaped characters keeps every one.
  std::string text;
  std::string escaped;
  for (int i = 0; i < 250000; ++i) {
    text += "\xc3\xa9\n";
    escaped += "\\u00e9\\n";
  }
  auto m = decode_chat_body(R"({"messages":[{"role":"user","content":")" + escaped + R"("}]})");
  ASSERT_TRUE(m) << m.error().body;
  EXPECT_EQ(m->messages[0].content, text);
}

TEST(ChatRequestDecoding, MessagesKeepOrderAndParametersTheirValues) {
  auto r = decode_chat_body(
      R"({"seed":18446744073709551615,"messages":[{"role":"system","content":"s"},["user","u"],)"
      R"({"content":"a","role":"assistant"}],"top_k":0,"max_tokens":7,"repeat_penalty":1,"temperature":0.5})");
  ASSERT_TRUE(r) << r.error().body;
  ASSERT_EQ(r->messages.size(), 3u);
  EXPECT_EQ(r->messages[0].role, "system");
  EXPECT_EQ(r->messages[1].role, "user");
  EXPECT_EQ(r->messages[1].content, "u");
  EXPECT_EQ(r->messages[2].role, "assistant");
  EXPECT_EQ(r->messages[2].content, "a");
  EXPECT_EQ(r->seed, 18446744073709551615ull);
  EXPECT_EQ(r->top_k, 0u);
  EXPECT_EQ(r->max_tokens, 7u);
  EXPECT_EQ(r->repeat_penalty, 1.0f);
  EXPECT_EQ(r->temperature, 0.5f);
}

}  // namespace
}  // namespace korvex
