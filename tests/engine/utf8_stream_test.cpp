#include "engine/utf8_stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvex {
namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// Feeds each token's bytes the way the generation loop does (append, stream when not
// empty), then the final flush; returns every piece handed to the sink.
std::vector<std::string> pieces_of(const std::vector<std::string>& tokens) {
  std::vector<std::string> pieces;
  const TokenSink sink = [&](std::string_view piece) { pieces.emplace_back(piece); };
  std::string pending;
  for (const auto& bytes : tokens) {
    pending += bytes;
    if (!pending.empty()) stream_utf8(pending, sink);
    EXPECT_LE(pending.size(), 3u);
  }
  flush_utf8(pending, sink);
  EXPECT_TRUE(pending.empty());
  return pieces;
}

struct Case {
  const char* name;
  std::vector<std::string> tokens;
  std::vector<std::string> pieces;
};

TEST(Utf8Stream, PieceBoundaries) {
  const std::vector<Case> cases = {
      {"split euro sign", {"ab\xE2\x82", "\xAC"}, {"ab", "\xE2\x82\xAC"}},
      {"four-byte char over four tokens", {"\xF0", "\x9F", "\x98", "\x80"}, {"\xF0\x9F\x98\x80"}},
      {"cut lead then ASCII", {"\xC3", "A"}, {FFFD, "A"}},
      {"stray FF", {"\xFF"}, {FFFD}},
      {"overlong C0 80: one per byte", {"\xC0\x80"}, {FFFD, FFFD}},
      {"surrogate ED A0 80: three", {"\xED\xA0\x80"}, {FFFD, FFFD, FFFD}},
      {"E0 needs A0..BF", {"\xE0\x9F\x80"}, {FFFD, FFFD, FFFD}},
      {"F4 90 is above U+10FFFF", {"\xF4\x90\x80\x80"}, {FFFD, FFFD, FFFD, FFFD}},
      {"F5 is never a lead", {"\xF5\x80"}, {FFFD, FFFD}},
      {"lead with its possible continuations is one subpart", {"\xF0\x9F\x98" "A"}, {FFFD, "A"}},
      {"valid, invalid, valid from one token", {"a\xFF" "b"}, {"a", FFFD, "b"}},
      {"valid run then a cut tail waits", {"x\xF0\x9F", "\x98\x80y"}, {"x", "\xF0\x9F\x98\x80y"}},
      {"tail still pending at the end", {"ok", "\xE2\x82"}, {"ok", FFFD}},
      {"nothing pending at the end", {"ok"}, {"ok"}},
      {"empty token makes no piece", {"", "a", ""}, {"a"}},
      {"all ASCII in one token is one piece", {"hello world"}, {"hello world"}},
      {"top of the range F4 8F BF BF", {"\xF4\x8F\xBF\xBF"}, {"\xF4\x8F\xBF\xBF"}},
      {"ED 9F BF is the last before surrogates", {"\xED\x9F\xBF"}, {"\xED\x9F\xBF"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pieces_of(c.tokens), c.pieces) << c.name;
  }
}

TEST(Utf8Stream, PiecesConcatenateToLossyDecodingOfAllBytes) {
  // Whatever the split, the pieces add up to the same text.
  const std::string bytes = "a\xE2\x82\xAC\xFF\xF0\x9F\x98\x80\xC3(\xED\xA0\x80z\xE2\x82";
  const std::string expected = "a\xE2\x82\xAC" + FFFD + "\xF0\x9F\x98\x80" + FFFD + "(" + FFFD +
                               FFFD + FFFD + "z" + FFFD;
  for (std::size_t chunk = 1; chunk <= bytes.size(); ++chunk) {
    std::vector<std::string> tokens;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) tokens.push_back(bytes.substr(at, chunk));
    std::string joined;
    for (const auto& piece : pieces_of(tokens)) {
      EXPECT_FALSE(piece.empty());
      joined += piece;
    }
    EXPECT_EQ(joined, expected) << "chunk " << chunk;
  }
}

}  // namespace
}  // namespace korvex
