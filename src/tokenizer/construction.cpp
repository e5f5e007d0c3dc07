// Building the tokenizer from GGUF metadata. Never fails: a missing token list means no
// tokenizer, every other defect counts as an empty text or an absent value.
#include <algorithm>

#include "tokenizer/tokenizer.hpp"
#include "tokenizer/utf8_chars.hpp"

namespace korvex {

std::vector<std::string> array_to_strings(const MetaArray& items) {
  std::vector<std::string> texts;
  texts.reserve(items.size());
  for (const MetaValue& item : items) {
    const std::string* s = item.get<std::string>();
    texts.push_back(s ? *s : std::string());
  }
  return texts;
}

ByteTables build_byte_tables() {
  ByteTables tables;
  uint32_t next_extra = 256;
  for (uint32_t b = 0; b < 256; ++b) {
    const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174);
    tables.encoder[b] = printable ? b : next_extra++;
  }
  tables.decoder.reserve(256);
  for (uint32_t b = 0; b < 256; ++b) tables.decoder.emplace(tables.encoder[b], static_cast<uint8_t>(b));
  return tables;
}

namespace {

using Metadata = std::unordered_map<std::string, MetaValue>;

const MetaValue* find_key(const Metadata& metadata, const std::string& key) {
  auto it = metadata.find(key);
  return it == metadata.end() ? nullptr : &it->second;
}

// A special id stored as U32, or as I32 by its bit pattern (so -1 is NO_TOKEN).
uint32_t metadata_id(const Metadata& metadata, const std::string& key) {
  const MetaValue* v = find_key(metadata, key);
  if (!v) return NO_TOKEN;
  if (const uint32_t* u = v->get<uint32_t>()) return *u;
  if (const int32_t* i = v->get<int32_t>()) return static_cast<uint32_t>(*i);
  return NO_TOKEN;
}

MergeRankMap read_merges(const Metadata& metadata) {
  MergeRankMap ranks;
  const MetaValue* v = find_key(metadata, "tokenizer.ggml.merges");
  const MetaArray* items = v ? v->get<MetaArray>() : nullptr;
  if (!items) return ranks;
  ranks.reserve(items->size());
  // The rank is the item's index: unusable items still use up their number.
  for (std::size_t r = 0; r < items->size(); ++r) {
    const std::string* s = (*items)[r].get<std::string>();
    if (!s) continue;
    const std::size_t space = s->find(' ');
    if (space == std::string::npos) continue;
    ranks.insert_or_assign(TextPair{s->substr(0, space), s->substr(space + 1)},
                           static_cast<uint32_t>(r));
  }
  return ranks;
}

bool starts_with_word_mark(const std::string& text) { return text.starts_with("\xE2\x96\x81"); }

bool sentencepiece_mode(const Metadata& metadata, const std::vector<std::string>& vocab) {
  const MetaValue* v = find_key(metadata, "tokenizer.ggml.model");
  const std::string* model = v ? v->get<std::string>() : nullptr;
  if (model && (model->find("llama") != std::string::npos ||
                model->find("sentencepiece") != std::string::npos))
    return true;
  return std::any_of(vocab.begin(), vocab.end(), starts_with_word_mark);
}

}  // namespace

uint32_t Tokenizer::id_of(std::string_view text) const {
  const uint32_t* id = token_to_id.find(text);
  return id ? *id : NO_TOKEN;
}

std::optional<Tokenizer> Tokenizer::from_gguf(const GgufFile& file) { return from_metadata(file.metadata); }

std::optional<Tokenizer> Tokenizer::from_metadata(const Metadata& metadata) {
  const MetaValue* tokens = find_key(metadata, "tokenizer.ggml.tokens");
  const MetaArray* items = tokens ? tokens->get<MetaArray>() : nullptr;
  if (!items) return std::nullopt;

  Tokenizer t;
  t.vocab = array_to_strings(*items);

  // Later occurrences overwrite earlier ones: a repeated text maps to its last id.
  t.token_to_id.reserve(t.vocab.size());
  for (std::size_t i = 0; i < t.vocab.size(); ++i)
    t.token_to_id.insert_or_assign(t.vocab[i], static_cast<uint32_t>(i));

  t.merge_ranks = read_merges(metadata);

  ByteTables tables = build_byte_tables();
  t.byte_encoder = tables.encoder;
  t.byte_decoder = std::move(tables.decoder);

  t.is_sentencepiece = sentencepiece_mode(metadata, t.vocab);

  if (t.vocab.empty()) {
    t.max_token_chars = 1;
  } else {
    t.max_token_chars = 0;
    for (const std::string& text : t.vocab)
      t.max_token_chars = std::max<uint64_t>(t.max_token_chars, utf8::count_chars(text));
  }

  t.bos_id = std::min({t.id_of("<|endoftext|>"), t.id_of("<s>"),
                       metadata_id(metadata, "tokenizer.ggml.bos_token_id")});
  t.unk_id = std::min(t.id_of("<unk>"), metadata_id(metadata, "tokenizer.ggml.unknown_token_id"));
  t.im_end_id = t.id_of("<|im_end|>");
  t.return_id = t.id_of("<|return|>");
  t.eos_id = t.bos_id;
  for (std::string_view end_text : {"<|return|>", "<|end|>", "<|im_end|>", "</s>"}) {
    if (uint32_t id = t.id_of(end_text); id != NO_TOKEN) {
      t.eos_id = id;
      break;
    }
  }
  return t;
}

}  // namespace korvex
