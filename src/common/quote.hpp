#pragma once
// The quoted form of a text, as the prompt line and the "Cannot open" message show it.
#include <string>
#include <string_view>

namespace korvex {

// The text in double quotes with backslash escapes: \" \\ \t \r \n \0, and \u{hex}
// (lower-case, no leading zeros) for grapheme extenders and for control, format,
// surrogate, private-use, unassigned and separator characters other than the plain
// space. Everything else, the apostrophe included, stands as itself. Invalid UTF-8 is
// decoded lossily first.
std::string quote_debug(std::string_view utf8);

}  // namespace korvex
