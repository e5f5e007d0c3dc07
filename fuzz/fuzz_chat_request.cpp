// The chat request gate on any header value and any body: content-type test, body decoding,
// rejections. Checks what must hold whatever the input: a rejection is one of the four
// statuses with its fixed text in front, every decoder message ends with its position, and
// a request that decodes decodes again to the same values when written back as JSON.
//
// Input: the content-type value up to the first line feed (when one comes within the first
// 100 bytes; else "application/json"), then the body.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "server/chat_request.hpp"
#include "server/json_write.hpp"

namespace {

using korvex::ChatRequest;
using korvex::Rejection;

[[noreturn]] void fault(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_chat_request: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  __builtin_trap();
}

// " at line L column C" closes the text, L >= 1.
bool ends_with_position(std::string_view text) {
  auto digits_before = [](std::string_view t, std::size_t end) {
    std::size_t b = end;
    while (b > 0 && t[b - 1] >= '0' && t[b - 1] <= '9') --b;
    return b;
  };
  std::size_t col = digits_before(text, text.size());
  if (col == text.size() || !text.substr(0, col).ends_with(" column ")) return false;
  std::size_t line_end = col - 8;
  std::size_t line = digits_before(text, line_end);
  if (line == line_end || text[line] == '0') return false;
  return text.substr(0, line).ends_with(" at line ");
}

void check_rejection(const Rejection& r, bool json_type) {
  auto starts = [&](std::string_view prefix) { return r.body.starts_with(prefix); };
  switch (r.status) {
    case 415:
      if (json_type) fault("415", "for a JSON content type");
      if (r.body != korvex::missing_json_content_type().body) fault("415 text", r.body);
      return;
    case 413: fault("413 for a body under the limit", r.body);
    case 400:
      if (!starts("Failed to parse the request body as JSON: ")) fault("400 text", r.body);
      break;
    case 422:
      if (!starts("Failed to deserialize the JSON body into the target type: ")) fault("422 text", r.body);
      break;
    default: fault("status", std::to_string(r.status));
  }
  // The path in front may hold any text (keys are resolved), but the position always
  // closes the message.
  if (!ends_with_position(r.body))
    fault("position", r.body);
}

// A float as a JSON number that reads back as exactly the same f32: its exact double value
// in 17 significant digits (which reads back as that double, which rounds to itself).
void append_f32(std::string& out, float v) {
  if (std::isinf(v)) out += v > 0 ? "1e39" : "-1e39";
  else out += fmt::format("{:.17g}", static_cast<double>(v));
}

std::string write_back(const ChatRequest& q) {
  std::string out = "{\"messages\":[";
  for (std::size_t i = 0; i < q.messages.size(); ++i) {
    if (i) out += ',';
    out += "{\"role\":";
    korvex::append_json_string(out, q.messages[i].role);
    out += ",\"content\":";
    korvex::append_json_string(out, q.messages[i].content);
    out += '}';
  }
  out += ']';
  auto u64 = [&](const char* key, const std::optional<uint64_t>& v) {
    out += fmt::format(",\"{}\":", key);
    out += v ? std::to_string(*v) : "null";
  };
  auto f32 = [&](const char* key, const std::optional<float>& v) {
    out += fmt::format(",\"{}\":", key);
    if (v) append_f32(out, *v);
    else out += "null";
  };
  u64("max_tokens", q.max_tokens);
  f32("temperature", q.temperature);
  u64("top_k", q.top_k);
  f32("repeat_penalty", q.repeat_penalty);
  u64("seed", q.seed);
  out += '}';
  return out;
}

bool same_f32(const std::optional<float>& a, const std::optional<float>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || std::bit_cast<uint32_t>(*a) == std::bit_cast<uint32_t>(*b);
}

bool same(const ChatRequest& a, const ChatRequest& b) {
  if (a.messages.size() != b.messages.size()) return false;
  for (std::size_t i = 0; i < a.messages.size(); ++i)
    if (a.messages[i].role != b.messages[i].role || a.messages[i].content != b.messages[i].content)
      return false;
  return a.max_tokens == b.max_tokens && a.top_k == b.top_k && a.seed == b.seed &&
         same_f32(a.temperature, b.temperature) && same_f32(a.repeat_penalty, b.repeat_penalty);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::optional<std::string_view> content_type = "application/json";
  std::size_t line_end = input.substr(0, 100).find('\n');
  if (line_end != std::string_view::npos) {
    content_type = input.substr(0, line_end);
    if (*content_type == "-") content_type = std::nullopt;  // no header at all
    input.remove_prefix(line_end + 1);
  }

  auto result = korvex::extract_chat_request(content_type, input);
  if (!result) {
    check_rejection(result.error(), korvex::is_json_content_type(content_type));
    return 0;
  }
  if (!korvex::is_json_content_type(content_type)) fault("accepted", "a content type that is not JSON");
  std::string again = write_back(*result);
  auto reread = korvex::decode_chat_body(again);
  if (!reread) fault("written-back request refused", reread.error().body + " for " + again);
  if (!same(*result, *reread)) fault("written-back request differs", again);
  return 0;
}
