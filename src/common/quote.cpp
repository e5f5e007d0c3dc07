#include "common/quote.hpp"

#include <fmt/format.h>
#include <unicode/uchar.h>

#include "common/utf8.hpp"

namespace korvex {
namespace {

bool needs_hex_escape(char32_t c) {
  auto cp = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(cp, UCHAR_GRAPHEME_EXTEND)) return true;
  if (c == U' ') return false;
  switch (u_charType(cp)) {
    case U_CONTROL_CHAR:        // Cc
    case U_FORMAT_CHAR:         // Cf
    case U_SURROGATE:           // Cs
    case U_PRIVATE_USE_CHAR:    // Co
    case U_UNASSIGNED:          // Cn
    case U_SPACE_SEPARATOR:     // Zs
    case U_LINE_SEPARATOR:      // Zl
    case U_PARAGRAPH_SEPARATOR: // Zp
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string quote_debug(std::string_view utf8) {
  std::string text = utf8_valid(utf8) ? std::string(utf8) : utf8_lossy(utf8);
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = utf8_sequence_length(text, i);
    char32_t c = utf8_decode_at(text, i, len);
    switch (c) {
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      default:
        if (needs_hex_escape(c)) out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(c));
        else out.append(text, i, len);
    }
    i += len;
  }
  out += '"';
  return out;
}

}  // namespace korvex
