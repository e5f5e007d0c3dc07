#pragma once
// The JSON the server writes: compact (no whitespace between tokens), keys in the order the
// caller writes them, strings escaped only where JSON requires it so that every other
// character, non-ASCII included, goes out as its own UTF-8 bytes.
#include <string>
#include <string_view>

namespace korvex {

// Appends `text` as a JSON string literal, quotes included. Only the quotation mark, the
// backslash and the bytes 0x00-0x1F are escaped (\b \t \n \f \r, else \u00xx in lower case).
void append_json_string(std::string& out, std::string_view text);

// The document of GET /v1/models: one model entry, keys sorted at every level.
std::string build_model_list(std::string_view model_id);

// The data of one server-sent event carrying a piece of generated text.
std::string build_stream_chunk(std::string_view text);

}  // namespace korvex
