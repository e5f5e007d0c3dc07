#include "server/json_write.hpp"

namespace korvex {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t copied = 0;  // bytes of `text` already in `out`; plain runs are copied whole
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text, copied, i - copied);
    copied = i + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        out += "\\u00";
        out.push_back(hex_digits[byte >> 4]);
        out.push_back(hex_digits[byte & 0xF]);
    }
  }
  out.append(text, copied, text.size() - copied);
  out.push_back('"');
}

std::string build_model_list(std::string_view model_id) {
  std::string out = R"({"data":[{"id":)";
  append_json_string(out, model_id);
  out += R"(,"object":"model","owned_by":"korvex"}],"object":"list"})";
  return out;
}

std::string build_stream_chunk(std::string_view text) {
  std::string out = R"({"choices":[{"delta":{"content":)";
  append_json_string(out, text);
  out += R"(},"finish_reason":null}]})";
  return out;
}

}  // namespace korvex
