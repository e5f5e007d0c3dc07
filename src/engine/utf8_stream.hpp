#pragma once
// Hands decoded token bytes out as text in whole UTF-8 characters. A token may carry only
// part of a character, or bytes that are not UTF-8 at all, so the generation collects
// them in a pending buffer and only complete characters (or one U+FFFD per invalid
// sequence) leave it.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace korvex {

// Receives each piece of generated text: valid UTF-8, never empty, lent for the call.
using TokenSink = std::function<void(std::string_view)>;

inline constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

// How the UTF-8 sequence starting at some position ends.
enum class Utf8Kind { Valid, Invalid, Incomplete };
struct Utf8Sequence {
  Utf8Kind kind;
  // Valid: the character's length. Invalid: the maximal subpart to replace (1 to 3 bytes).
  // Incomplete: the bytes present, a valid beginning cut short by the end of the text.
  std::size_t length;
};
Utf8Sequence utf8_sequence_at(std::string_view bytes, std::size_t at);

// Hands every complete piece of `pending` to the sink (valid runs whole, each maximal
// invalid subsequence as one U+FFFD) and leaves at most an incomplete character in it.
void stream_utf8(std::string& pending, const TokenSink& sink);

// End of a generation: whatever is still pending goes out as one piece, decoded with
// replacement; nothing happens when it is empty.
void flush_utf8(std::string& pending, const TokenSink& sink);

}  // namespace korvex
