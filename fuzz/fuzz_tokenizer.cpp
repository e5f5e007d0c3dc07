// The tokenizer from metadata of any shape, and encoding of any text: construction, chat
// templates, encoding in both modes and decoding of every id that comes out (and of ids that
// do not exist). The tokenizer has no error path at all, so any report here is a fault.
//
// Input: the first byte picks the tokenizer. Values 0-3 take one of the real vocabularies of
// tests/data/vocab (built once); any other value builds one from metadata drawn from the
// input. The rest of the input is the text, split at NUL bytes into role/content pairs for
// the chat templates.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gguf/gguf.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

using korvex::MetaValue;
using korvex::Tokenizer;

constexpr const char* kVocabFiles[] = {
    "ggml-vocab-gpt-2.gguf", "ggml-vocab-llama-spm.gguf", "ggml-vocab-phi-3.gguf",
    "ggml-vocab-deepseek-coder.gguf"};

std::array<std::optional<Tokenizer>, 4> real_tokenizers;

// Texts with a meaning to construction, templates, markers and byte fallback.
constexpr const char* kTokenTexts[] = {
    "<|im_start|>", "<|im_end|>", "<|endoftext|>", "<|return|>", "<|end|>", "<|start|>",
    "<|message|>", "<|user|>", "<|assistant|>", "<|system|>", "<s>", "</s>", "<unk>", "<|",
    "|>", "<|>", "<0x0A>", "<0x20>", "<0xE2>", "<0x96>", "<0x81>", "<0xC4>", "<0xA0>",
    "<0xff>", "\xE2\x96\x81", "\xE2\x96\x81the", "\xC4\xA0", "\xC4\xA0the", "a", "aa", "the",
    "user", "assistant", "system", "\n", " ", "\xF0\x9F\x98\x80", "\xFF\xFE", ""};

MetaValue draw_id(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return MetaValue{in.ConsumeIntegral<uint32_t>()};
    case 1: return MetaValue{in.ConsumeIntegralInRange<int32_t>(-2, 70)};
    case 2: return MetaValue{in.ConsumeIntegral<uint64_t>()};
    default: return MetaValue{std::string("1")};
  }
}

Tokenizer drawn_tokenizer(FuzzedDataProvider& in) {
  std::unordered_map<std::string, MetaValue> md;
  korvex::MetaArray tokens;
  std::size_t n_tokens = in.ConsumeIntegralInRange<std::size_t>(0, 64);
  for (std::size_t i = 0; i < n_tokens; ++i) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
      case 1: tokens.push_back(MetaValue{std::string(in.PickValueInArray(kTokenTexts))}); break;
      case 2:
      case 3: tokens.push_back(MetaValue{in.ConsumeRandomLengthString(12)}); break;
      default: tokens.push_back(MetaValue{in.ConsumeIntegral<uint32_t>()}); break;  // not a text
    }
  }
  md["tokenizer.ggml.tokens"] = MetaValue{std::move(tokens)};
  if (in.ConsumeBool()) {
    korvex::MetaArray merges;
    std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 48);
    for (std::size_t i = 0; i < n; ++i) {
      if (in.ConsumeBool())
        merges.push_back(MetaValue{in.ConsumeRandomLengthString(10)});
      else
        merges.push_back(MetaValue{std::string(in.PickValueInArray(kTokenTexts)) + " " +
                                   in.PickValueInArray(kTokenTexts)});
    }
    md["tokenizer.ggml.merges"] = MetaValue{std::move(merges)};
  }
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: md["tokenizer.ggml.model"] = MetaValue{std::string("llama")}; break;
    case 1: md["tokenizer.ggml.model"] = MetaValue{std::string("gpt2")}; break;
    case 2: md["tokenizer.ggml.model"] = MetaValue{uint32_t{7}}; break;
    default: break;
  }
  if (in.ConsumeBool()) md["tokenizer.ggml.bos_token_id"] = draw_id(in);
  if (in.ConsumeBool()) md["tokenizer.ggml.unknown_token_id"] = draw_id(in);
  auto t = Tokenizer::from_metadata(md);
  if (!t) __builtin_trap();  // a token array always gives a tokenizer
  return std::move(*t);
}

void exercise(const Tokenizer& t, std::string_view text, uint64_t salt) {
  // Every id the encoder hands out is a vocabulary index, except the unknown id, which the
  // metadata may set to anything; the special ids may lie anywhere.
  for (uint32_t id : t.encode(text)) {
    if (id >= t.vocab.size() && id != t.unk_id) __builtin_trap();
    (void)t.decode_token(id);
    (void)t.is_special(id);
  }
  for (uint32_t id : {t.bos_id, t.eos_id, t.unk_id, t.im_end_id, t.return_id,
                      static_cast<uint32_t>(salt), static_cast<uint32_t>(salt >> 32)}) {
    (void)t.decode_token(id);
    (void)t.is_special(id);
  }

  // Role/content pairs from the NUL-separated parts of the text.
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t nul = text.find('\0', start);
    parts.push_back(text.substr(start, nul == std::string_view::npos ? nul : nul - start));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  std::vector<korvex::MessageRef> messages;
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) messages.push_back({parts[i], parts[i + 1]});
  if (parts.size() % 2 == 1) messages.push_back({"user", parts.back()});
  for (uint32_t id : t.encode_chat(messages))
    if (id >= t.vocab.size() && id != t.unk_id) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (std::size_t i = 0; i < real_tokenizers.size(); ++i) {
    std::string path = std::string(KORVEX_SOURCE_DIR) + "/tests/data/vocab/" + kVocabFiles[i];
    auto file = korvex::GgufFile::open(path);
    if (!file) __builtin_trap();
    real_tokenizers[i] = Tokenizer::from_gguf(*file);
    if (!real_tokenizers[i]) __builtin_trap();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  uint8_t pick = data[0];
  uint64_t salt = 0;
  for (std::size_t i = 1; i < size && i <= 8; ++i) salt = salt << 8 | data[i];
  if (pick < real_tokenizers.size()) {
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    exercise(*real_tokenizers[pick], text, salt);
    return 0;
  }
  FuzzedDataProvider in(data + 1, size - 1);
  // The metadata is drawn from the front of the input; the text is the end of it.
  std::size_t text_len = in.ConsumeIntegralInRange<std::size_t>(0, size);
  Tokenizer t = drawn_tokenizer(in);
  std::string text = in.ConsumeBytesAsString(std::min(text_len, in.remaining_bytes()));
  exercise(t, text, salt);
  return 0;
}
