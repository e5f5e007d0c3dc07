#pragma once
// Answers as bytes. Every answer's head is written here so that the status line, the
// lower-case header names and their order are the same for every route:
// the handler's headers in the order it set them, then "allow", then "content-length" or
// "transfer-encoding", then "date".
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvex {

struct Response {
  unsigned status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // set by the handler
  std::optional<std::string> allow;                           // 405 only
  std::string body;
};

// How the body after the head is delimited.
enum class BodyFraming {
  Length,   // "content-length" with the body's size (also for HEAD, which sends no body)
  Chunked,  // "transfer-encoding: chunked"
  UntilClose,  // nothing announced: the body ends when the connection closes (HTTP/1.0)
};

std::string_view reason_phrase(unsigned status);

// "Tue, 08 Dec 2026 18:47:48 GMT" for a time in seconds since the epoch.
std::string http_date(std::time_t when);

// The head of an answer, up to and including the empty line. `http10` selects the
// "HTTP/1.0" status line. `content_length` is used for BodyFraming::Length.
std::string response_head(const Response& response, bool http10, BodyFraming framing,
                          std::size_t content_length, std::string_view date);

// A fixed-length answer as one buffer: the head and, unless `head_only`, the body.
std::string response_bytes(const Response& response, bool http10, bool head_only,
                           std::string_view date);

// One piece of a chunked body, and the empty chunk that ends it.
std::string chunk_bytes(std::string_view data);
inline constexpr std::string_view LAST_CHUNK = "0\r\n\r\n";

inline constexpr std::string_view CONTINUE_INTERIM = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace korvex
