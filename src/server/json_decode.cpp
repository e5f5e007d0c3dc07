#include "server/json_decode.hpp"

#include "common/float_format.hpp"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "common/utf8.hpp"

namespace korvex {
namespace {

bool is_digit(std::optional<unsigned char> c) { return c && *c >= '0' && *c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a number text that the f64/f32 conversion found out of range is too large (else
// too small). The decimal exponent of its first significant digit decides: the two
// failures lie hundreds of decades apart, so the sign of that exponent is enough.
bool decimal_is_large(std::string_view text) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  std::int64_t magnitude = 0;
  bool found = false;
  std::int64_t int_digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (!found && text[i] != '0') found = true;
    if (found) ++int_digits;
  }
  if (found) {
    magnitude = int_digits - 1;
  } else if (i < text.size() && text[i] == '.') {
    std::int64_t zeros = 0;
    for (++i; i < text.size() && text[i] == '0'; ++i) ++zeros;
    magnitude = -(zeros + 1);
  }
  while (i < text.size() && text[i] != 'e' && text[i] != 'E') ++i;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    std::int64_t exponent = 0;
    for (; i < text.size(); ++i)
      if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude >= 0;
}

template <typename Float>
Float float_from_text(std::string_view text) {
  Float value{};
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    value = decimal_is_large(text) ? std::numeric_limits<Float>::infinity() : Float{0};
    if (text[0] == '-') value = -value;
  }
  return value;
}

// Characters that the debug form of a string shows as \u{...}: the general categories
// Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs (but not the space), and every Grapheme_Extend mark.
bool escaped_in_description(char32_t c) {
  if (c == U' ') return false;
  if (u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND)) return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return true;
    default:
      return false;
  }
}

}  // namespace

float nearest_f32(const JsonNumber& number) { return float_from_text<float>(number.text); }

std::string plain_float_text(double value) {
  // The scientific form of to_chars carries the shortest round-trip digits: "-d.ddde±xx".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string out;
  if (!sci.empty() && sci[0] == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::string digits = positional_digits(sci);
  out += digits;
  if (digits.find('.') == std::string::npos) out += ".0";  // an integral value keeps ".0"
  return out;
}

std::string describe_number(const JsonNumber& number) {
  switch (number.kind) {
    case JsonNumber::Kind::unsigned_integer:
      return "integer `" + std::to_string(number.unsigned_value) + "`";
    case JsonNumber::Kind::negative_integer:
      return "integer `" + std::to_string(number.negative_value) + "`";
    case JsonNumber::Kind::floating:
      break;
  }
  return "floating point `" + plain_float_text(number.float_value) + "`";
}

std::string describe_string(std::string_view text) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  std::string out = "string \"";
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = utf8_sequence_length(text, i);
    if (len == 0) len = 1;  // callers pass valid UTF-8; never loop on a bad byte
    const char32_t c = utf8_decode_at(text, i, len);
    switch (c) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      default:
        if (escaped_in_description(c)) {
          std::string hex;
          for (char32_t v = c; v != 0 || hex.empty(); v >>= 4) hex.insert(hex.begin(), hex_digits[v & 0xF]);
          out += "\\u{" + hex + "}";
        } else {
          out.append(text, i, len);
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

std::optional<unsigned char> JsonReader::peek() const {
  if (index >= input.size()) return std::nullopt;
  return static_cast<unsigned char>(input[index]);
}

std::optional<unsigned char> JsonReader::next_byte() {
  auto c = peek();
  if (c) ++index;
  return c;
}

std::optional<unsigned char> JsonReader::skip_whitespace() {
  while (index < input.size()) {
    const char c = input[index];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return static_cast<unsigned char>(c);
    ++index;
  }
  return std::nullopt;
}

void JsonReader::fail(JsonErrorKind kind, std::string_view message, std::size_t position) const {
  std::string text;
  for (const JsonPathSegment& segment : path) {
    if (segment.is_index) {
      text += "[" + std::to_string(segment.index) + "]";
    } else {
      if (!text.empty()) text += '.';
      text += segment.key;
    }
  }
  if (!text.empty()) text += ": ";
  text += message;
  // Line and column of the byte offset: lines count line feeds, columns count bytes.
  const std::string_view before = input.substr(0, position);
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  std::size_t line = 1;
  for (std::size_t i = 0; i < line_start; ++i)
    if (input[i] == '\n') ++line;
  text += " at line " + std::to_string(line) + " column " + std::to_string(position - line_start);
  throw JsonFailure{kind, std::move(text)};
}

void JsonReader::error_here(std::string_view message) const { fail(JsonErrorKind::syntax, message, index); }

void JsonReader::error_at_peek(std::string_view message) const {
  fail(JsonErrorKind::syntax, message, std::min(input.size(), index + 1));
}

void JsonReader::data_error(std::string_view message) const { fail(JsonErrorKind::data, message, index); }

void JsonReader::parse_ident(std::string_view rest) {
  for (char expected : rest) {
    auto c = next_byte();
    if (!c) error_here(json_syntax::eof_value);
    if (*c != static_cast<unsigned char>(expected)) error_here(json_syntax::expected_ident);
  }
}

namespace {

// Four hex digits of a \u escape; the reader stands after the 'u'. With fewer than four
// bytes left the string ends early; otherwise all four are taken before they are checked.
unsigned decode_hex_escape(JsonReader& r) {
  if (r.input.size() - r.index < 4) {
    r.index = r.input.size();
    r.error_here(json_syntax::eof_string);
  }
  unsigned value = 0;
  bool valid = true;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(static_cast<unsigned char>(r.input[r.index + k]));
    if (h < 0) valid = false;
    value = value * 16 + static_cast<unsigned>(h < 0 ? 0 : h);
  }
  r.index += 4;
  if (!valid) r.error_here(json_syntax::invalid_escape);
  return value;
}

// Index of the next quotation mark, backslash or control byte at or after `from`.
std::size_t find_string_stop(std::string_view s, std::size_t from) {
  for (std::size_t i = from; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\' || c < 0x20) return i;
  }
  return s.size();
}

}  // namespace

std::string JsonReader::parse_string() {
  std::string out;
  for (;;) {
    const std::size_t stop = find_string_stop(input, index);
    out.append(input, index, stop - index);
    index = stop;
    if (index == input.size()) error_here(json_syntax::eof_string);
    const char c = input[index++];
    if (c == '"') break;
    if (c != '\\') error_here(json_syntax::control_character);

    auto escape = next_byte();
    if (!escape) error_here(json_syntax::eof_string);
    switch (*escape) {
      case '"': out += '"'; continue;
      case '\\': out += '\\'; continue;
      case '/': out += '/'; continue;
      case 'b': out += '\b'; continue;
      case 'f': out += '\f'; continue;
      case 'n': out += '\n'; continue;
      case 'r': out += '\r'; continue;
      case 't': out += '\t'; continue;
      case 'u': break;
      default: error_here(json_syntax::invalid_escape);
    }
    const unsigned unit = decode_hex_escape(*this);
    // A trailing surrogate first is reported under the leading-surrogate text.
    if (unit >= 0xDC00 && unit <= 0xDFFF) error_here(json_syntax::lone_leading_surrogate);
    if (unit < 0xD800 || unit > 0xDBFF) {
      utf8_append(out, static_cast<char32_t>(unit));
      continue;
    }
    // A leading surrogate must be followed at once by a \u escape of a trailing one.
    for (char expected : {'\\', 'u'}) {
      auto next = peek();
      if (!next) error_here(json_syntax::eof_string);
      eat();
      if (*next != static_cast<unsigned char>(expected)) error_here(json_syntax::unexpected_end_of_hex_escape);
    }
    const unsigned trailing = decode_hex_escape(*this);
    if (trailing < 0xDC00 || trailing > 0xDFFF) error_here(json_syntax::lone_leading_surrogate);
    utf8_append(out, 0x10000 + (((unit - 0xD800) << 10) | (trailing - 0xDC00)));
  }
  if (!utf8_valid(out)) error_here(json_syntax::invalid_unicode);
  return out;
}

void JsonReader::ignore_string() {
  for (;;) {
    index = find_string_stop(input, index);
    if (index == input.size()) error_here(json_syntax::eof_string);
    // Unlike a decoded string, a skipped one reports a control byte at the byte itself.
    if (input[index] != '"' && input[index] != '\\') error_here(json_syntax::control_character);
    if (input[index++] == '"') return;
    auto escape = next_byte();
    if (!escape) error_here(json_syntax::eof_string);
    switch (*escape) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u':
        decode_hex_escape(*this);
        break;
      default:
        error_here(json_syntax::invalid_escape);
    }
  }
}

JsonNumber JsonReader::parse_number(bool positive) {
  const std::size_t start = positive ? index : index - 1;
  bool nonzero = false;  // any significant digit seen
  auto first = next_byte();
  if (!first) error_here(json_syntax::eof_value);
  if (*first == '0') {
    if (is_digit(peek())) error_at_peek(json_syntax::invalid_number);  // one leading zero only
  } else if (*first >= '1' && *first <= '9') {
    nonzero = true;
    while (is_digit(peek())) eat();
  } else {
    error_here(json_syntax::invalid_number);
  }
  const std::size_t integer_end = index;

  bool integral = true;
  if (peek() == '.') {
    integral = false;
    eat();
    const std::size_t digits_start = index;
    for (; is_digit(peek()); eat())
      if (input[index] != '0') nonzero = true;
    if (index == digits_start) {
      if (peek()) error_at_peek(json_syntax::invalid_number);
      error_at_peek(json_syntax::eof_value);
    }
  }

  JsonNumber number;
  if (peek() == 'e' || peek() == 'E') {
    integral = false;
    eat();
    bool positive_exponent = true;
    if (peek() == '+') {
      eat();
    } else if (peek() == '-') {
      eat();
      positive_exponent = false;
    }
    auto digit = next_byte();
    if (!digit) error_here(json_syntax::eof_value);
    if (*digit < '0' || *digit > '9') error_here(json_syntax::invalid_number);
    // The exponent is accumulated in 32 bits; at the digit that would overflow it, a
    // growing nonzero number is out of range and a shrinking (or zero) one is zero.
    std::int32_t exponent = *digit - '0';
    while (is_digit(peek())) {
      const int d = input[index] - '0';
      eat();
      if (exponent > (std::numeric_limits<std::int32_t>::max() - d) / 10) {
        if (nonzero && positive_exponent) error_here(json_syntax::number_out_of_range);
        while (is_digit(peek())) eat();
        number.kind = JsonNumber::Kind::floating;
        number.float_value = positive ? 0.0 : -0.0;
        number.text = input.substr(start, index - start);
        return number;
      }
      exponent = exponent * 10 + d;
    }
  }
  number.text = input.substr(start, index - start);

  if (integral) {
    const std::string_view digits = input.substr(positive ? start : start + 1, integer_end - start - (positive ? 0 : 1));
    std::uint64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (ec == std::errc{}) {
      if (positive) {
        number.kind = JsonNumber::Kind::unsigned_integer;
        number.unsigned_value = magnitude;
        number.float_value = static_cast<double>(magnitude);
        return number;
      }
      constexpr std::uint64_t i64_min_magnitude = std::uint64_t{1} << 63;
      if (magnitude != 0 && magnitude <= i64_min_magnitude) {
        number.kind = JsonNumber::Kind::negative_integer;
        number.negative_value = static_cast<std::int64_t>(0 - magnitude);
        number.float_value = static_cast<double>(number.negative_value);
        return number;
      }
    }
  }
  number.kind = JsonNumber::Kind::floating;
  number.float_value = float_from_text<double>(number.text);
  if (std::isinf(number.float_value)) error_here(json_syntax::number_out_of_range);
  return number;
}

namespace {

// A number in an ignored value: only its form is checked, never its size. The reader
// stands on its first digit (after any '-').
void ignore_number(JsonReader& r) {
  auto first = r.next_byte();
  if (first == '0') {
    if (is_digit(r.peek())) r.error_at_peek(json_syntax::invalid_number);
  } else if (first && *first >= '1' && *first <= '9') {
    while (is_digit(r.peek())) r.eat();
  } else {
    r.error_here(json_syntax::invalid_number);
  }
  if (r.peek() == '.') {
    r.eat();
    if (!is_digit(r.peek())) r.error_at_peek(json_syntax::invalid_number);
    while (is_digit(r.peek())) r.eat();
  }
  if (r.peek() == 'e' || r.peek() == 'E') {
    r.eat();
    if (r.peek() == '+' || r.peek() == '-') r.eat();
    if (!is_digit(r.next_byte())) r.error_here(json_syntax::invalid_number);
    while (is_digit(r.peek())) r.eat();
  }
}

}  // namespace

void JsonReader::ignore_value() {
  std::string open;  // '[' and '{' of the containers entered, innermost last
  for (;;) {
    // A value starts here.
    auto c = skip_whitespace();
    if (!c) error_at_peek(json_syntax::eof_value);
    bool after_value = true;
    switch (*c) {
      case 'n': eat(); parse_ident("ull"); break;
      case 't': eat(); parse_ident("rue"); break;
      case 'f': eat(); parse_ident("alse"); break;
      case '-': eat(); ignore_number(*this); break;
      case '"': eat(); ignore_string(); break;
      case '[':
      case '{':
        eat();
        open.push_back(static_cast<char>(*c));
        after_value = false;
        break;
      default:
        if (*c >= '0' && *c <= '9') {
          ignore_number(*this);
          break;
        }
        error_at_peek(json_syntax::expected_value);
    }
    if (open.empty()) return;

    // Close containers until a comma or the first entry of a new one calls for a value.
    for (;;) {
      const char frame = open.back();
      auto next = skip_whitespace();
      if (!next) error_at_peek(frame == '[' ? json_syntax::eof_list : json_syntax::eof_object);
      const bool closes = (frame == '[' && *next == ']') || (frame == '{' && *next == '}');
      if (after_value && *next == ',') {
        eat();
        break;
      }
      if (!closes) {
        if (after_value)
          error_at_peek(frame == '[' ? json_syntax::expected_list_comma_or_end
                                     : json_syntax::expected_object_comma_or_end);
        break;  // first entry of an empty-looking container
      }
      eat();
      open.pop_back();
      if (open.empty()) return;
      after_value = true;
    }
    if (open.back() == '{') {
      auto quote = skip_whitespace();
      if (!quote) error_at_peek(json_syntax::eof_object);
      if (*quote != '"') error_at_peek(json_syntax::key_must_be_string);
      eat();
      ignore_string();
      auto colon = skip_whitespace();
      if (!colon) error_at_peek(json_syntax::eof_object);
      if (*colon != ':') error_at_peek(json_syntax::expected_colon);
      eat();
    }
  }
}

void JsonReader::fail_invalid_type(std::string_view expected) {
  std::string unexpected;
  const unsigned char c = peek().value_or(0);
  switch (c) {
    case 'n': eat(); parse_ident("ull"); unexpected = "null"; break;
    case 't': eat(); parse_ident("rue"); unexpected = "boolean `true`"; break;
    case 'f': eat(); parse_ident("alse"); unexpected = "boolean `false`"; break;
    case '-': eat(); unexpected = describe_number(parse_number(false)); break;
    case '"': eat(); unexpected = describe_string(parse_string()); break;
    case '[': unexpected = "sequence"; break;
    case '{': unexpected = "map"; break;
    default:
      if (c >= '0' && c <= '9') {
        unexpected = describe_number(parse_number(true));
        break;
      }
      error_at_peek(json_syntax::expected_value);
  }
  data_error("invalid type: " + unexpected + ", expected " + std::string(expected));
}

std::optional<std::string> JsonReader::next_key(bool& first) {
  auto c = skip_whitespace();
  if (!c) error_at_peek(json_syntax::eof_object);
  if (*c == '}') return std::nullopt;
  if (*c == ',' && !first) {
    eat();
    c = skip_whitespace();
  } else if (first) {
    first = false;
  } else {
    error_at_peek(json_syntax::expected_object_comma_or_end);
  }
  if (!c) error_at_peek(json_syntax::eof_value);
  if (*c == '}') error_at_peek(json_syntax::trailing_comma);
  if (*c != '"') error_at_peek(json_syntax::key_must_be_string);
  eat();
  return parse_string();
}

void JsonReader::object_colon() {
  auto c = skip_whitespace();
  if (!c) error_at_peek(json_syntax::eof_object);
  if (*c != ':') error_at_peek(json_syntax::expected_colon);
  eat();
}

bool JsonReader::next_element(bool& first) {
  auto c = skip_whitespace();
  if (!c) error_at_peek(json_syntax::eof_list);
  if (*c == ']') return false;
  if (*c == ',' && !first) {
    eat();
    c = skip_whitespace();
  } else if (first) {
    first = false;
  } else {
    error_at_peek(json_syntax::expected_list_comma_or_end);
  }
  if (!c) error_at_peek(json_syntax::eof_value);
  if (*c == ']') error_at_peek(json_syntax::trailing_comma);
  return true;
}

void JsonReader::end_array() {
  auto c = skip_whitespace();
  if (!c) error_at_peek(json_syntax::eof_list);
  if (*c == ']') {
    eat();
    return;
  }
  if (*c == ',') {
    eat();
    if (skip_whitespace() == ']') error_at_peek(json_syntax::trailing_comma);
  }
  error_at_peek(json_syntax::trailing_characters);
}

void JsonReader::end_object() {
  auto c = skip_whitespace();
  if (!c) error_at_peek(json_syntax::eof_object);
  if (*c == '}') {
    eat();
    return;
  }
  error_at_peek(*c == ',' ? json_syntax::trailing_comma : json_syntax::trailing_characters);
}

void JsonReader::fail_record(std::string_view message, unsigned char closing) {
  if (skip_whitespace() == closing) eat();
  data_error(message);
}

}  // namespace korvex
