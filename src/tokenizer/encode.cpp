// Text to ids. Markers "<|...|>" that the vocabulary holds become single ids; the text
// between them is cut into chunks that end before the next "<|" and encoded in the
// tokenizer's mode. Prompts can be megabytes long, so every step here stays linear (or
// n log n for merging) in the length of the text.
#include <limits>

#include "tokenizer/tokenizer.hpp"
#include "tokenizer/utf8_chars.hpp"

namespace korvex {

namespace {

constexpr std::string_view WORD_MARK = "\xE2\x96\x81";  // U+2581, a space in SentencePiece texts

// The id of the byte token "<0xHH>" (upper-case hex), or NO_TOKEN.
uint32_t byte_token_id(const Tokenizer& t, uint8_t byte) {
  static constexpr char digits[] = "0123456789ABCDEF";
  const char text[6] = {'<', '0', 'x', digits[byte >> 4], digits[byte & 15], '>'};
  return t.id_of(std::string_view(text, sizeof text));
}

}  // namespace

void Tokenizer::byte_encode(std::string_view bytes, std::string& out) const {
  for (unsigned char b : bytes) utf8::append(out, byte_encoder[b]);
}

void Tokenizer::encode_sentencepiece(std::string_view chunk, std::vector<uint32_t>& out) const {
  std::string text;
  text.reserve(chunk.size());
  for (char c : chunk) {
    if (c == ' ') {
      text += WORD_MARK;
    } else {
      text.push_back(c);
    }
  }
  // Character boundaries, so each candidate is a view of `text` and no string is built per try.
  std::vector<std::size_t> bounds;
  bounds.reserve(text.size() + 1);
  for (std::size_t pos = 0; pos < text.size(); pos += utf8::char_at(text, pos).size) bounds.push_back(pos);
  const std::size_t n = bounds.size();
  bounds.push_back(text.size());

  std::size_t i = 0;
  while (i < n) {
    const std::size_t longest = static_cast<std::size_t>(std::min<uint64_t>(n - i, max_token_chars));
    bool matched = false;
    for (std::size_t l = longest; l >= 1; --l) {
      const uint32_t id = id_of(std::string_view(text).substr(bounds[i], bounds[i + l] - bounds[i]));
      if (id != NO_TOKEN) {
        out.push_back(id);
        i += l;
        matched = true;
        break;
      }
    }
    if (matched) continue;
    for (std::size_t pos = bounds[i]; pos < bounds[i + 1]; ++pos) {
      const uint32_t id = byte_token_id(*this, static_cast<uint8_t>(text[pos]));
      if (id != NO_TOKEN) {
        out.push_back(id);
      } else if (unk_id != NO_TOKEN) {
        out.push_back(unk_id);
      }
    }
    ++i;
  }
}

void Tokenizer::encode_byte_level(std::string_view chunk, std::vector<uint32_t>& out) const {
  std::string mapped;
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos < chunk.size();) {
    const std::size_t end = pre_split_piece_end(chunk, pos);
    const std::string_view piece = chunk.substr(pos, end - pos);
    pos = end;

    mapped.clear();
    byte_encode(piece, mapped);
    if (const uint32_t id = id_of(mapped); id != NO_TOKEN) {
      out.push_back(id);
      continue;
    }
    starts.clear();
    for (std::size_t p = 0; p < mapped.size(); p += utf8::char_at(mapped, p).size) starts.push_back(p);
    bpe_merge_spans(mapped, starts);
    for (std::size_t k = 0; k < starts.size(); ++k) {
      const std::size_t sym_end = k + 1 < starts.size() ? starts[k + 1] : mapped.size();
      const std::string_view symbol = std::string_view(mapped).substr(starts[k], sym_end - starts[k]);
      if (const uint32_t id = id_of(symbol); id != NO_TOKEN) {
        out.push_back(id);
        continue;
      }
      // The symbol's stored bytes, i.e. the UTF-8 of its mapped characters.
      for (unsigned char b : symbol) {
        if (const uint32_t id = byte_token_id(*this, b); id != NO_TOKEN) out.push_back(id);
      }
    }
  }
}

std::vector<uint32_t> Tokenizer::encode(std::string_view text) const {
  std::vector<uint32_t> out;
  // No vocabulary text has more bytes than this, so a longer marker candidate needs no lookup
  // (which would hash it: "<|" repeated before one distant "|>" would otherwise be quadratic).
  const std::size_t longest_key_bytes =
      max_token_chars > std::numeric_limits<std::size_t>::max() / 4 ? std::numeric_limits<std::size_t>::max()
                                                                     : static_cast<std::size_t>(max_token_chars) * 4;
  // The first "|>" at or after the current position, found once and reused until passed,
  // so that a text of many "<|" and no "|>" is not rescanned at each of them.
  std::size_t close_at = 0;
  bool close_searched = false;

  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.substr(pos).starts_with("<|")) {
      if (!close_searched || (close_at != std::string_view::npos && close_at < pos)) {
        close_at = text.find("|>", pos);
        close_searched = true;
      }
      if (close_at != std::string_view::npos) {
        const std::size_t len = close_at + 2 - pos;
        if (len <= longest_key_bytes) {
          if (const uint32_t id = id_of(text.substr(pos, len)); id != NO_TOKEN) {
            out.push_back(id);
            pos += len;
            continue;
          }
        }
      }
    }
    // The chunk holds at least the first character and ends before the next "<|".
    const std::size_t first = utf8::char_at(text, pos).size;
    const std::size_t next_open = text.find("<|", pos + first);
    const std::size_t end = next_open == std::string_view::npos ? text.size() : next_open;
    const std::string_view chunk = text.substr(pos, end - pos);
    if (is_sentencepiece) {
      encode_sentencepiece(chunk, out);
    } else {
      encode_byte_level(chunk, out);
    }
    pos = end;
  }
  return out;
}

}  // namespace korvex
