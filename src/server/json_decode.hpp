#pragma once
// A forward-only JSON reader for decoding a request body straight into typed fields, in one
// pass and without building a document. It knows the JSON grammar, the decoder's error
// texts and the position each error reports; the record decoders (chat_request.cpp) drive
// it and decide what each value must be.
//
// The first error ends the decoding: every failing call throws JsonFailure, whose message
// already carries the path of the value being decoded and " at line L column C".
// Positions follow the reading position: `error_here` reports the byte offset of the next
// unread byte, `error_at_peek` one byte further (clamped to the end of the input), the way
// the errors of a look-ahead read are reported.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// Syntax errors (premature end included) answer 400, data errors (the value does not fit
// the record) 422.
enum class JsonErrorKind { syntax, data };

struct JsonFailure {
  JsonErrorKind kind;
  std::string message;
};

// The decoder's syntax messages.
namespace json_syntax {
inline constexpr std::string_view eof_list = "EOF while parsing a list";
inline constexpr std::string_view eof_object = "EOF while parsing an object";
inline constexpr std::string_view eof_string = "EOF while parsing a string";
inline constexpr std::string_view eof_value = "EOF while parsing a value";
inline constexpr std::string_view expected_colon = "expected `:`";
inline constexpr std::string_view expected_list_comma_or_end = "expected `,` or `]`";
inline constexpr std::string_view expected_object_comma_or_end = "expected `,` or `}`";
inline constexpr std::string_view expected_ident = "expected ident";
inline constexpr std::string_view expected_value = "expected value";
inline constexpr std::string_view invalid_escape = "invalid escape";
inline constexpr std::string_view invalid_number = "invalid number";
inline constexpr std::string_view number_out_of_range = "number out of range";
inline constexpr std::string_view invalid_unicode = "invalid unicode code point";
inline constexpr std::string_view control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view key_must_be_string = "key must be a string";
inline constexpr std::string_view lone_leading_surrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view trailing_comma = "trailing comma";
inline constexpr std::string_view trailing_characters = "trailing characters";
inline constexpr std::string_view unexpected_end_of_hex_escape = "unexpected end of hex escape";
}  // namespace json_syntax

// A decoded number: an integer that fits u64, a negative integer that fits i64, or else a
// float (fractions, exponents, and integers beyond both ranges; "-0" is the float -0.0).
struct JsonNumber {
  enum class Kind { unsigned_integer, negative_integer, floating };
  Kind kind = Kind::unsigned_integer;
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
  double float_value = 0.0;  // nearest f64 of the text, for every kind
  std::string_view text;     // the number as written
};

// The f32 nearest to the number's decimal text (not a rounding of the f64), infinite with
// its sign beyond the f32 range.
float nearest_f32(const JsonNumber& number);

// "integer `5`", "floating point `2.5`": how a type error shows a number.
std::string describe_number(const JsonNumber& number);
// `string "..."` with quotation marks, backslashes, control, format, separator, private-use,
// unassigned and combining characters escaped as the reference decoder's debug form does.
std::string describe_string(std::string_view text);

// Shortest decimal that reads back as `value`, positional (never an exponent), with at
// least one digit after the point: 100.0, 0.0001, -0.0.
std::string plain_float_text(double value);

struct JsonPathSegment {
  std::string key;  // for a map entry
  std::size_t index = 0;
  bool is_index = false;  // an array element
};

struct JsonReader {
  std::string_view input;
  std::size_t index = 0;
  // Keys and indices from the top-level value down to the value being decoded.
  std::vector<JsonPathSegment> path;

  explicit JsonReader(std::string_view body) : input(body) {}

  std::optional<unsigned char> peek() const;
  void eat() { ++index; }
  std::optional<unsigned char> next_byte();
  // Skips space, tab, line feed and carriage return; returns the byte after them.
  std::optional<unsigned char> skip_whitespace();

  [[noreturn]] void fail(JsonErrorKind kind, std::string_view message, std::size_t position) const;
  [[noreturn]] void error_here(std::string_view message) const;
  [[noreturn]] void error_at_peek(std::string_view message) const;
  [[noreturn]] void data_error(std::string_view message) const;

  // The rest of null, true or false after its first byte.
  void parse_ident(std::string_view rest);
  // A string whose opening quote has been eaten, escapes resolved; it must be valid UTF-8
  // without lone surrogate escapes.
  std::string parse_string();
  // A string that is only scanned: escapes must be well-formed, nothing more.
  void ignore_string();
  // A number starting at the next byte; a leading '-' has already been eaten when
  // `positive` is false. Beyond the f64 range it is "number out of range".
  JsonNumber parse_number(bool positive);
  // Any value, only checked for its form and thrown away; arrays and objects may nest to
  // any depth (an explicit stack, no recursion).
  void ignore_value();

  // The value at the next byte is of the wrong kind: reads a scalar to describe it (an
  // array or object is not entered) and fails with "invalid type: {}, expected {}".
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  // Record framing. `first` tracks whether the record has had an entry yet.
  // Next key of an object, or nullopt at its closing brace (left unread).
  std::optional<std::string> next_key(bool& first);
  void object_colon();
  // True when an array element starts at the next byte; false at the closing bracket.
  bool next_element(bool& first);
  void end_array();
  void end_object();
  // A data error about the record itself (missing or duplicate field, wrong length); it
  // reports the position after the whitespace and closing byte that follow.
  [[noreturn]] void fail_record(std::string_view message, unsigned char closing);

  void push_key(std::string key) { path.push_back({std::move(key), 0, false}); }
  void push_index(std::size_t i) { path.push_back({{}, i, true}); }
  void pop_path() { path.pop_back(); }
};

}  // namespace korvex
