#include "engine/utf8_stream.hpp"

namespace korvex {

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

Utf8Sequence utf8_sequence_at(std::string_view bytes, std::size_t at) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  if (lead < 0x80) return {Utf8Kind::Valid, 1};

  std::size_t need = 0;          // continuation bytes after the lead
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;       // shortest form only
    else if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;       // shortest form only
    else if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {Utf8Kind::Invalid, 1};  // stray continuation, C0, C1 or F5..FF
  }

  for (std::size_t k = 1; k <= need; ++k) {
    if (at + k >= bytes.size()) return {Utf8Kind::Incomplete, k};
    const auto b = static_cast<unsigned char>(bytes[at + k]);
    const bool fits = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!fits) return {Utf8Kind::Invalid, k};
  }
  return {Utf8Kind::Valid, need + 1};
}

void stream_utf8(std::string& pending, const TokenSink& sink) {
  const std::string_view bytes = pending;
  std::size_t start = 0;  // front of what is not handed out yet
  std::size_t at = 0;     // end of the valid run that begins at `start`
  while (at < bytes.size()) {
    const Utf8Sequence seq = utf8_sequence_at(bytes, at);
    if (seq.kind == Utf8Kind::Valid) {
      at += seq.length;
      continue;
    }
    if (at > start) sink(bytes.substr(start, at - start));
    start = at;
    if (seq.kind == Utf8Kind::Incomplete) break;  // waits for the next token's bytes
    sink(REPLACEMENT_CHARACTER);
    at += seq.length;
    start = at;
  }
  if (at == bytes.size() && at > start) {
    sink(bytes.substr(start));
    start = at;
  }
  pending.erase(0, start);
}

void flush_utf8(std::string& pending, const TokenSink& sink) {
  if (pending.empty()) return;
  const std::string_view bytes = pending;
  std::string text;
  for (std::size_t at = 0; at < bytes.size();) {
    const Utf8Sequence seq = utf8_sequence_at(bytes, at);
    if (seq.kind == Utf8Kind::Valid) text.append(bytes.substr(at, seq.length));
    else text.append(REPLACEMENT_CHARACTER);
    at += seq.length;
  }
  pending.clear();
  sink(text);
}

}  // namespace korvex
