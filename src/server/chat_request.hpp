#pragma once
// The body of POST /v1/chat/completions: the gate every chat request passes before the
// handler runs. A request that fails it is answered here with a short plain-text rejection.
//
// The HTTP layer runs the three steps in order and stops at the first failure:
//   1. is_json_content_type(first content-type header) — else missing_json_content_type(),
//      before any byte of the body is read (and before a 100-continue goes out);
//   2. read the body, answering length_limit_exceeded() as soon as more than
//      MAX_REQUEST_BODY_BYTES have arrived and body_read_failure() on any other failure;
//   3. decode_chat_body(body).
// extract_chat_request runs all three on a body that is already in memory.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

struct ChatMessage {
  std::string role;
  std::string content;
};

// The decoded request; an absent (or null) parameter stays nullopt. Defaults and clamps
// belong to the handler.
struct ChatRequest {
  std::vector<ChatMessage> messages;
  std::optional<std::uint64_t> max_tokens;
  std::optional<float> temperature;
  std::optional<std::uint64_t> top_k;
  std::optional<float> repeat_penalty;
  std::optional<std::uint64_t> seed;
};

// A finished answer: the status and its plain-text body, sent with the content type
// REJECTION_CONTENT_TYPE.
struct Rejection {
  unsigned status;
  std::string body;
};

inline constexpr std::size_t MAX_REQUEST_BODY_BYTES = 2'097'152;
inline constexpr std::size_t MAX_CHAT_BODY_BYTES = MAX_REQUEST_BODY_BYTES;
inline constexpr std::string_view REJECTION_CONTENT_TYPE = "text/plain; charset=utf-8";

// True when the header value names JSON: visible ASCII or tab only, a well-formed MIME
// type "application" with subtype "json" or suffix "+json" (ASCII case ignored),
// parameters allowed. A missing header is not JSON.
bool is_json_content_type(std::optional<std::string_view> value);

Rejection missing_json_content_type();                          // 415
Rejection length_limit_exceeded();                              // 413
Rejection body_read_failure(std::string_view transport_error);  // 400

// Decodes the whole body in one pass. Anything after the top-level value is not looked at.
std::expected<ChatRequest, Rejection> decode_chat_body(std::string_view body);

// Steps 1 to 3 for a body that is wholly in memory.
std::expected<ChatRequest, Rejection> extract_chat_request(std::optional<std::string_view> content_type,
                                                           std::string_view body);

}  // namespace korvex
