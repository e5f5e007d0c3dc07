#include "server/chat_request.hpp"

#include <array>

#include "server/json_decode.hpp"

namespace korvex {
namespace {

// ---- content type ----------------------------------------------------------------------

bool is_token_byte(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The parameters after the ';' at `semicolon`: name=value pairs, values plain tokens or
// quoted, spaces allowed only right after a ';' and after a closing quote. Anything else
// makes the whole header value unreadable.
bool parameters_well_formed(std::string_view s, std::size_t semicolon) {
  const std::size_t n = s.size();
  std::size_t start = semicolon + 1;
  std::size_t i = start;
  while (start < n) {
    bool skipped_space = false;
    for (;;) {  // name up to '='
      if (i >= n) return false;
      const auto c = static_cast<unsigned char>(s[i]);
      if (c == ' ' && i == start) {
        start = ++i;
        skipped_space = true;
        break;
      }
      if (is_token_byte(c)) {
        ++i;
      } else if (c == '=' && i > start) {
        start = ++i;
        break;
      } else {
        return false;
      }
    }
    if (skipped_space) continue;

    bool quoted = false;
    for (;;) {  // value
      if (quoted) {
        if (i >= n) return false;
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' && i > start) {
          ++i;
          break;
        }
        if (c <= 31 || c == 127) return false;
        ++i;
      } else {
        if (i >= n) {
          start = n;
          break;
        }
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' && i == start) {
          quoted = true;
          start = ++i;
        } else if (is_token_byte(c)) {
          ++i;
        } else if (c == ';' && i > start) {
          start = ++i;
          break;
        } else {
          return false;
        }
      }
    }
    if (quoted) {  // after the closing quote: spaces, then ';' or the end
      for (;;) {
        if (i >= n) {
          start = n;
          break;
        }
        if (s[i] == ';') {
          start = ++i;
          break;
        }
        if (s[i] != ' ') return false;
        ++i;
      }
    }
  }
  return true;
}

// ---- the records -----------------------------------------------------------------------

constexpr std::string_view describe_chat_request() { return "struct ChatRequest"; }
constexpr std::string_view describe_chat_message() { return "struct ChatMessage"; }

constexpr std::size_t CHAT_REQUEST_FIELDS = 6;
constexpr std::size_t CHAT_MESSAGE_FIELDS = 2;
constexpr std::array<std::string_view, CHAT_REQUEST_FIELDS> chat_request_keys = {
    "messages", "max_tokens", "temperature", "top_k", "repeat_penalty", "seed"};
constexpr std::array<std::string_view, CHAT_MESSAGE_FIELDS> chat_message_keys = {"role", "content"};

// Field index of a key, or the field count for a key that is ignored.
template <std::size_t N>
std::size_t match_field(const std::array<std::string_view, N>& keys, std::string_view key) {
  for (std::size_t i = 0; i < N; ++i)
    if (keys[i] == key) return i;
  return N;
}

std::size_t match_chat_request_field(std::string_view key) { return match_field(chat_request_keys, key); }
std::size_t match_chat_message_field(std::string_view key) { return match_field(chat_message_keys, key); }

std::string decode_text(JsonReader& r) {
  auto c = r.skip_whitespace();
  if (!c) r.error_at_peek(json_syntax::eof_value);
  if (*c != '"') r.fail_invalid_type("a string");
  r.eat();
  return r.parse_string();
}

// Null is absent; otherwise a number is read first and only then judged.
std::optional<JsonNumber> decode_optional_number(JsonReader& r, std::string_view expected) {
  auto c = r.skip_whitespace();
  if (c == 'n') {
    r.eat();
    r.parse_ident("ull");
    return std::nullopt;
  }
  if (!c) r.error_at_peek(json_syntax::eof_value);
  if (*c == '-') {
    r.eat();
    return r.parse_number(false);
  }
  if (*c >= '0' && *c <= '9') return r.parse_number(true);
  r.fail_invalid_type(expected);
}

// max_tokens and top_k ("usize") and seed ("u64"): integers 0 to 2^64-1 only.
std::optional<std::uint64_t> decode_optional_unsigned(JsonReader& r, std::string_view type_name) {
  auto number = decode_optional_number(r, type_name);
  if (!number) return std::nullopt;
  switch (number->kind) {
    case JsonNumber::Kind::unsigned_integer:
      return number->unsigned_value;
    case JsonNumber::Kind::negative_integer:
      r.data_error("invalid value: " + describe_number(*number) + ", expected " + std::string(type_name));
    case JsonNumber::Kind::floating:
      break;
  }
  r.data_error("invalid type: " + describe_number(*number) + ", expected " + std::string(type_name));
}

// temperature and repeat_penalty: any number, to the nearest f32.
std::optional<float> decode_optional_f32(JsonReader& r) {
  auto number = decode_optional_number(r, "f32");
  if (!number) return std::nullopt;
  return nearest_f32(*number);
}

void decode_message_field(JsonReader& r, std::size_t field, ChatMessage& message) {
  switch (field) {
    case 0: message.role = decode_text(r); break;
    case 1: message.content = decode_text(r); break;
    default: r.ignore_value();
  }
}

ChatMessage chat_message_from_object(JsonReader& r) {
  ChatMessage message;
  std::array<bool, CHAT_MESSAGE_FIELDS> seen{};
  bool first = true;
  while (auto key = r.next_key(first)) {
    const std::size_t field = match_chat_message_field(*key);
    if (field < CHAT_MESSAGE_FIELDS && seen[field])
      r.fail_record("duplicate field `" + *key + "`", '}');
    r.object_colon();
    r.push_key(std::move(*key));
    decode_message_field(r, field, message);
    r.pop_path();
    if (field < CHAT_MESSAGE_FIELDS) seen[field] = true;
  }
  for (std::size_t field = 0; field < CHAT_MESSAGE_FIELDS; ++field)
    if (!seen[field]) r.fail_record("missing field `" + std::string(chat_message_keys[field]) + "`", '}');
  r.end_object();
  return message;
}

// Exactly `fields` elements; fewer is a wrong length, more is left to end_array.
template <typename DecodeElement>
void decode_record_elements(JsonReader& r, std::size_t fields, std::string_view record,
                            DecodeElement&& decode_element) {
  bool first = true;
  for (std::size_t i = 0; i < fields; ++i) {
    if (!r.next_element(first))
      r.fail_record("invalid length " + std::to_string(i) + ", expected " + std::string(record) + " with " +
                        std::to_string(fields) + " elements",
                    ']');
    r.push_index(i);
    decode_element(i);
    r.pop_path();
  }
  r.end_array();
}

ChatMessage chat_message_from_array(JsonReader& r) {
  ChatMessage message;
  decode_record_elements(r, CHAT_MESSAGE_FIELDS, describe_chat_message(),
                         [&](std::size_t field) { decode_message_field(r, field, message); });
  return message;
}

ChatMessage decode_chat_message(JsonReader& r) {
  auto c = r.skip_whitespace();
  if (!c) r.error_at_peek(json_syntax::eof_value);
  if (*c == '{') {
    r.eat();
    return chat_message_from_object(r);
  }
  if (*c == '[') {
    r.eat();
    return chat_message_from_array(r);
  }
  r.fail_invalid_type(describe_chat_message());
}

std::vector<ChatMessage> decode_messages(JsonReader& r) {
  auto c = r.skip_whitespace();
  if (!c) r.error_at_peek(json_syntax::eof_value);
  if (*c != '[') r.fail_invalid_type("a sequence");
  r.eat();
  std::vector<ChatMessage> messages;
  bool first = true;
  while (r.next_element(first)) {
    r.push_index(messages.size());
    messages.push_back(decode_chat_message(r));
    r.pop_path();
  }
  r.end_array();
  return messages;
}

void decode_request_field(JsonReader& r, std::size_t field, ChatRequest& request) {
  switch (field) {
    case 0: request.messages = decode_messages(r); break;
    case 1: request.max_tokens = decode_optional_unsigned(r, "usize"); break;
    case 2: request.temperature = decode_optional_f32(r); break;
    case 3: request.top_k = decode_optional_unsigned(r, "usize"); break;
    case 4: request.repeat_penalty = decode_optional_f32(r); break;
    case 5: request.seed = decode_optional_unsigned(r, "u64"); break;
    default: r.ignore_value();
  }
}

ChatRequest chat_request_from_object(JsonReader& r) {
  ChatRequest request;
  std::array<bool, CHAT_REQUEST_FIELDS> seen{};
  bool first = true;
  while (auto key = r.next_key(first)) {
    const std::size_t field = match_chat_request_field(*key);
    // A repeated key fails before its value is looked at, even a null earlier value counts.
    if (field < CHAT_REQUEST_FIELDS && seen[field])
      r.fail_record("duplicate field `" + *key + "`", '}');
    r.object_colon();
    r.push_key(std::move(*key));
    decode_request_field(r, field, request);
    r.pop_path();
    if (field < CHAT_REQUEST_FIELDS) seen[field] = true;
  }
  if (!seen[0]) r.fail_record("missing field `messages`", '}');
  r.end_object();
  return request;
}

ChatRequest chat_request_from_array(JsonReader& r) {
  ChatRequest request;
  decode_record_elements(r, CHAT_REQUEST_FIELDS, describe_chat_request(),
                         [&](std::size_t field) { decode_request_field(r, field, request); });
  return request;
}

ChatRequest decode_chat_request(JsonReader& r) {
  auto c = r.skip_whitespace();
  if (!c) r.error_at_peek(json_syntax::eof_value);
  if (*c == '{') {
    r.eat();
    return chat_request_from_object(r);
  }
  if (*c == '[') {
    r.eat();
    return chat_request_from_array(r);
  }
  r.fail_invalid_type(describe_chat_request());
}

}  // namespace

bool is_json_content_type(std::optional<std::string_view> value) {
  if (!value) return false;
  const std::string_view s = *value;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c != '\t' && (c < 0x20 || c > 0x7E)) return false;
  }
  // type "/" subtype ["+" suffix] [";" parameters]; the suffix starts at the last '+'.
  std::size_t i = 0;
  while (i < s.size() && is_token_byte(static_cast<unsigned char>(s[i]))) ++i;
  if (i == 0 || i == s.size() || s[i] != '/') return false;
  const std::size_t slash = i;
  const std::size_t subtype_start = slash + 1;
  std::optional<std::size_t> plus;
  for (i = subtype_start; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '+' && i > subtype_start) {
      plus = i;
    } else if (c == ';' && i > subtype_start) {
      break;
    } else if (!is_token_byte(c)) {
      return false;
    }
  }
  const std::size_t essence_end = i;
  if (essence_end < s.size() && !parameters_well_formed(s, essence_end)) return false;

  const std::string_view type = s.substr(0, slash);
  const std::string_view subtype = s.substr(subtype_start, plus.value_or(essence_end) - subtype_start);
  const bool json_suffix = plus && equals_ignoring_ascii_case(s.substr(*plus + 1, essence_end - *plus - 1), "json");
  return equals_ignoring_ascii_case(type, "application") &&
         (equals_ignoring_ascii_case(subtype, "json") || json_suffix);
}

Rejection missing_json_content_type() {
  return {415, "Expected request with `Content-Type: application/json`"};
}

Rejection length_limit_exceeded() { return {413, "Failed to buffer the request body: length limit exceeded"}; }

Rejection body_read_failure(std::string_view transport_error) {
  return {400, "Failed to buffer the request body: " + std::string(transport_error)};
}

std::expected<ChatRequest, Rejection> decode_chat_body(std::string_view body) {
  JsonReader reader(body);
  try {
    return decode_chat_request(reader);
  } catch (const JsonFailure& failure) {
    if (failure.kind == JsonErrorKind::syntax)
      return std::unexpected(Rejection{400, "Failed to parse the request body as JSON: " + failure.message});
    return std::unexpected(
        Rejection{422, "Failed to deserialize the JSON body into the target type: " + failure.message});
  }
}

std::expected<ChatRequest, Rejection> extract_chat_request(std::optional<std::string_view> content_type,
                                                           std::string_view body) {
  if (!is_json_content_type(content_type)) return std::unexpected(missing_json_content_type());
  if (body.size() > MAX_REQUEST_BODY_BYTES) return std::unexpected(length_limit_exceeded());
  return decode_chat_body(body);
}

}  // namespace korvex
