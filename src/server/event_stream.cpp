#include "server/event_stream.hpp"

#include "server/json_write.hpp"

namespace korvex {

std::string event_bytes(const StreamMessage& message) {
  if (const auto* token = std::get_if<StreamMessage::Token>(&message.value)) {
    std::string event = "data: ";
    event += build_stream_chunk(token->text);
    event += "\n\n";
    return event;
  }
  return std::string(DONE_EVENT);
}

Response event_stream_response() {
  Response r;
  r.status = 200;
  r.headers = {{"content-type", "text/event-stream"}, {"cache-control", "no-cache"}};
  return r;
}

}  // namespace korvex
