#pragma once
// The bytes of the server-sent events of a chat answer.
#include <string>
#include <string_view>

#include "server/http_response.hpp"
#include "server/stream_channel.hpp"

namespace korvex {

inline constexpr std::string_view KEEP_ALIVE_COMMENT = ":\n\n";
inline constexpr std::string_view DONE_EVENT = "data: [DONE]\n\n";

// "data: " + the chunk JSON + "\n\n" for a piece; DONE_EVENT for the end.
std::string event_bytes(const StreamMessage& message);

// The answer's head fields: status 200, "content-type" then "cache-control".
Response event_stream_response();

}  // namespace korvex
