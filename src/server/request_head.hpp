#pragma once
// Framing of a request head in the connection's input, before it is parsed: where it ends,
// and whether it stays within the limits.
#include <cstddef>
#include <string_view>

namespace korvex {

// Bytes of empty lines (CR and LF) at the start of the input, which come before a request
// line and are dropped, as after a body that a client ended with an extra line break.
std::size_t leading_empty_line_bytes(std::string_view input);

// The length of the head (through the line feed of its empty last line) when the input
// holds a whole one, else 0. The scan starts at `from`, so a caller that reads in pieces
// passes the size it had already scanned and the search stays linear.
std::size_t find_head_end(std::string_view input, std::size_t from);

enum class HeadCheck { Ok, TooManyHeaderLines, HeaderLineTooLong };

// Counts the header lines of a complete head (without the request line and the empty
// line). A header line longer than the parser can store a value of is refused as well.
HeadCheck check_head_lines(std::string_view head, std::size_t max_header_lines,
                           std::size_t max_header_line_bytes);

}  // namespace korvex
