#include "server/request_head.hpp"

namespace korvex {

std::size_t leading_empty_line_bytes(std::string_view input) {
  std::size_t n = 0;
  while (n < input.size() && (input[n] == '\r' || input[n] == '\n')) ++n;
  return n;
}

std::size_t find_head_end(std::string_view input, std::size_t from) {
  // The head ends at a line feed followed by an empty line: "\n\r\n" or "\n\n".
  std::size_t pos = from < 2 ? 0 : from - 2;
  for (;;) {
    pos = input.find('\n', pos);
    if (pos == std::string_view::npos) return 0;
    if (pos + 1 < input.size() && input[pos + 1] == '\n') return pos + 2;
    if (pos + 2 < input.size() && input[pos + 1] == '\r' && input[pos + 2] == '\n') return pos + 3;
    ++pos;
  }
}

HeadCheck check_head_lines(std::string_view head, std::size_t max_header_lines,
                           std::size_t max_header_line_bytes) {
  std::size_t lines = 0;
  std::size_t start = head.find('\n');
  if (start == std::string_view::npos) return HeadCheck::Ok;
  ++start;  // past the request line
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    std::size_t length = end - start;
    if (length > 0 && head[end - 1] == '\r') --length;
    if (length == 0) break;  // the empty line that ends the head
    if (++lines > max_header_lines) return HeadCheck::TooManyHeaderLines;
    if (length > max_header_line_bytes) return HeadCheck::HeaderLineTooLong;
    start = end + 1;
  }
  return HeadCheck::Ok;
}

}  // namespace korvex
