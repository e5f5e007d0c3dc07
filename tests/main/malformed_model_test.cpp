// Model files that are broken in every way a file from elsewhere can be, run through the real
// program: each must end in a fatal stop with a clear message on standard error and status
// 101 (never a crash, a signal or a hang), or, where the metadata may be absorbed, in a normal
// run. The cases start from one small model that runs, and break one thing each.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "dequant/ggml_types.hpp"
#include "engine/tiny_model.hpp"
#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

struct Ran {
  int status = -1;  // exit status; -1 when the program ended by a signal
  int signal = 0;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The program on a model with a short prompt and two new tokens; output through files.
Ran run_model(const std::string& model) {
  static int run_no = 0;
  std::string base = (temp_dir() / ("malformed" + std::to_string(run_no++))).string();
  pid_t pid = fork();
  if (pid == 0) {
    int out = ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    std::string program = KORVEX_BINARY, prompt = "Hi!", tokens = "2";
    char* argv[] = {program.data(), const_cast<char*>(model.c_str()), prompt.data(), tokens.data(), nullptr};
    execv(program.c_str(), argv);
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Ran r;
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
  r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  return r;
}

// The model every case starts from: one layer, a vocabulary above the id 42 of the prompt
// the program feeds a model without a tokenizer, and every matrix F32.
TinySpec base_spec() {
  TinySpec s;
  s.vocab = 64;
  s.layers = 1;
  return s;
}

TinySpec moe_spec() {
  TinySpec s = base_spec();
  s.n_experts = 4;
  s.n_experts_used = 2;
  return s;
}

void set_kv(GgufBuilder& b, const std::string& key, MetaValue value) {
  for (auto& kv : b.kvs)
    if (kv.first == key) {
      kv.second = std::move(value);
      return;
    }
  b.kv(key, std::move(value));
}

void set_dims(TinyModel& m, const std::string& name, std::vector<uint64_t> dims) {
  for (auto& t : m.builder.tensors)
    if (t.name == name) t.dims = std::move(dims);
}


// A byte-level vocabulary of 64 single characters, so that the prompt encodes to ids.
void add_vocabulary(GgufBuilder& b) {
  std::vector<std::string> tokens;
  for (char c = '!'; c < '!' + 64; ++c) tokens.push_back(std::string(1, c));
  b.kv("tokenizer.ggml.tokens", mv_str_arr(tokens));
  b.kv("tokenizer.ggml.model", mv_str("gpt2"));
}

void put_u64(std::vector<uint8_t>& bytes, std::size_t at, uint64_t v) { std::memcpy(bytes.data() + at, &v, 8); }

// Where a key's entry ends its key text: the value type follows.
std::size_t after_key(const std::vector<uint8_t>& bytes, const std::string& key) {
  std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::size_t at = all.find(key);
  if (at == std::string_view::npos) throw std::runtime_error("key not in file: " + key);
  return at + key.size();
}

// The written offset of a tensor of `n_dims` dimensions (the builder would lay out data at
// an offset it is given, so offsets past the end are patched into the written bytes).
std::function<void(std::vector<uint8_t>&)> offset_patch(std::string name, std::size_t n_dims, uint64_t offset) {
  return [=](std::vector<uint8_t>& bytes) {
    std::string record(8, '\0');
    uint64_t len = name.size();
    std::memcpy(record.data(), &len, 8);
    record += name;  // the name with its length in front: never a part of a longer name
    std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t at = all.find(record);
    if (at == std::string_view::npos) throw std::runtime_error("no tensor record " + name);
    put_u64(bytes, at + record.size() + 4 + 8 * n_dims + 4, offset);
  };
}

struct Case {
  const char* name;
  std::function<TinySpec()> spec;
  std::function<void(TinyModel&)> change;    // on the model before it is written
  std::function<void(std::vector<uint8_t>&)> patch;  // on the written bytes
  int status;           // 101, or 0 for metadata the program absorbs
  std::string message;  // 101: a part of the last line of standard error
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr uint64_t k2p31 = uint64_t{1} << 31;
// 3 * kInverse3 wraps to 1 in 64 bits: dims {n, 3, kInverse3} claim n elements in the wrapped
// product while the true product is far beyond any file.
constexpr uint64_t kInverse3 = 0xAAAAAAAAAAAAAAABull;

std::function<void(TinyModel&)> kv_change(std::string key, MetaValue value) {
  return [key, value](TinyModel& m) { set_kv(m.builder, key, value); };
}

const Case kCases[] = {
    {"runs_as_built", base_spec, nullptr, nullptr, 0, ""},

    // Keys the configuration requires, stored with a type it does not read: as if missing.
    {"embedding_length_as_text", base_spec, kv_change("qwen2.embedding_length", mv_str("32")), nullptr, 101,
     "missing embedding_length"},
    {"head_count_as_f32", base_spec, kv_change("qwen2.attention.head_count", mv_f32(4)), nullptr, 101,
     "missing head_count"},
    {"block_count_as_u64", base_spec, kv_change("qwen2.block_count", MetaValue{uint64_t{1}}), nullptr, 101,
     "missing block_count"},
    {"feed_forward_length_as_bool", base_spec, kv_change("qwen2.feed_forward_length", mv_bool(true)), nullptr,
     101, "missing feed_forward_length"},
    {"vocab_size_as_text_and_no_tokens", base_spec, kv_change("qwen2.vocab_size", mv_str("64")), nullptr, 101,
     "cannot determine vocab_size"},
    {"vocab_size_absent_and_tokens_a_text",
     base_spec,
     [](TinyModel& m) {
       std::erase_if(m.builder.kvs, [](const auto& kv) { return kv.first == "qwen2.vocab_size"; });
       m.builder.kv("tokenizer.ggml.tokens", mv_str("a b c"));
     },
     nullptr, 101, "cannot determine vocab_size"},
    {"architecture_as_number", base_spec, kv_change("general.architecture", mv_u32(7)), nullptr, 101,
     "missing embedding_length"},
    {"alignment_zero", base_spec, kv_change("general.alignment", mv_u32(0)), nullptr, 101,
     "invalid general.alignment 0"},
    // A wrong-typed key/value head count falls back to the head count, which the key and value
    // matrices of this file are too small for.
    {"head_count_kv_as_text", base_spec, kv_change("qwen2.attention.head_count_kv", mv_str("2")), nullptr, 101,
     "tensor blk.0.attn_k.weight: 2048 bytes, fewer than the 4096"},

    // Keys with defaults, and every tokenizer key, stored with the wrong type: absorbed.
    {"optional_keys_wrong_types",
     base_spec,
     [](TinyModel& m) {
       set_kv(m.builder, "qwen2.rope.freq_base", mv_u32(10000));
       set_kv(m.builder, "qwen2.attention.key_length", mv_f32(8));  // the default is 32 / 4 as well
       set_kv(m.builder, "qwen2.expert_count", mv_str("8"));
       set_kv(m.builder, "qwen2.rope.scaling.factor", mv_str("4"));
       set_kv(m.builder, "qwen2.rope.scaling.original_context_length", mv_f32(4096));
     },
     nullptr, 0, ""},
    {"experts_used_as_text_defaults_to_two", moe_spec,
     kv_change("qwen2.expert_used_count", mv_str("9")), nullptr, 0, ""},
    {"tokenizer_keys_wrong_types",
     base_spec,
     [](TinyModel& m) {
       add_vocabulary(m.builder);
       set_kv(m.builder, "tokenizer.ggml.merges", mv_u32(3));
       set_kv(m.builder, "tokenizer.ggml.model", mv_u32(1));
       set_kv(m.builder, "tokenizer.ggml.bos_token_id", mv_str("1"));
       set_kv(m.builder, "tokenizer.ggml.unknown_token_id", mv_f32(0));
     },
     nullptr, 0, ""},
    {"token_list_as_text_means_no_tokenizer", base_spec,
     kv_change("tokenizer.ggml.tokens", mv_str("a")), nullptr, 0, ""},
    // Items that are not texts are empty texts: nothing encodes, so the prompt is empty.
    {"token_list_of_numbers", base_spec,
     kv_change("tokenizer.ggml.tokens", mv_arr({mv_u32(1), mv_u32(2), mv_u32(3)})), nullptr, 101,
     "empty prompt"},
    {"beginning_id_beyond_the_vocabulary",
     base_spec,
     [](TinyModel& m) {
       add_vocabulary(m.builder);
       set_kv(m.builder, "tokenizer.ggml.bos_token_id", mv_u32(4000000000u));
     },
     nullptr, 0, ""},
    // The unknown id is used as stored: in SentencePiece mode every character the vocabulary
    // lacks (here the lower-case letters) becomes it, and the model refuses it.
    {"unknown_id_beyond_the_vocabulary",
     base_spec,
     [](TinyModel& m) {
       add_vocabulary(m.builder);
       set_kv(m.builder, "tokenizer.ggml.model", mv_str("llama"));
       set_kv(m.builder, "tokenizer.ggml.unknown_token_id", mv_u32(70));
     },
     nullptr, 101, "token 70 out of vocab range 64"},

    // Counts larger than the file: the reader runs into the end, it reserves nothing for them.
    {"token_array_count_beyond_the_file",
     base_spec, [](TinyModel& m) { add_vocabulary(m.builder); },
     [](std::vector<uint8_t>& b) { put_u64(b, after_key(b, "tokenizer.ggml.tokens") + 8, uint64_t{1} << 40); },
     101, "EOF"},
    {"tensor_count_beyond_the_file", base_spec, nullptr,
     [](std::vector<uint8_t>& b) { put_u64(b, 8, uint64_t{1} << 40); }, 101, "EOF"},
    {"string_length_beyond_the_file", base_spec, nullptr,
     [](std::vector<uint8_t>& b) { put_u64(b, after_key(b, "general.architecture") + 4, uint64_t{1} << 62); },
     101, "EOF reading string len=4611686018427387904"},
    {"dimension_count_beyond_the_file", base_spec, nullptr,
     [](std::vector<uint8_t>& b) {
       uint32_t n = 0x7FFFFFFF;
       std::memcpy(b.data() + after_key(b, "token_embd.weight"), &n, 4);
     },
     101, "EOF"},

    // Tensor bytes outside the file: a vector stops at load, a matrix at its first use.
    {"vector_offset_past_the_end", base_spec, nullptr, offset_patch("output_norm.weight", 1, uint64_t{1} << 40),
     101, "tensor output_norm.weight lies outside the file (bytes "},
    {"matrix_offset_past_the_end", base_spec, nullptr, offset_patch("token_embd.weight", 2, uint64_t{1} << 40),
     101, "tensor token_embd.weight lies outside the file (bytes "},
    {"offset_whose_end_overflows", base_spec, nullptr,
     offset_patch("blk.0.attn_norm.weight", 1, ~uint64_t{0} - 16), 101,
     "tensor blk.0.attn_norm.weight lies outside the file (its size or end overflows 64 bits)"},
    // The wrapped element count is right, so the size checks pass; the bytes are refused.
    {"vector_dims_overflow_to_the_right_count", base_spec,
     [](TinyModel& m) { set_dims(m, "blk.0.attn_norm.weight", {32, 3, kInverse3}); }, nullptr, 101,
     "tensor blk.0.attn_norm.weight lies outside the file (its size or end overflows 64 bits)"},
    {"matrix_dims_overflow_to_the_right_count", base_spec,
     [](TinyModel& m) { set_dims(m, "blk.0.attn_q.weight", {32, 32, 3, kInverse3}); }, nullptr, 101,
     "tensor blk.0.attn_q.weight lies outside the file (its size or end overflows 64 bits)"},
    {"matrix_dims_overflow_to_a_small_count", base_spec,
     [](TinyModel& m) { set_dims(m, "blk.0.ffn_up.weight", {uint64_t{1} << 32, uint64_t{1} << 32}); }, nullptr,
     101, "tensor blk.0.ffn_up.weight: 0 bytes, fewer than the 4096"},
    {"vector_of_unknown_type", base_spec,
     [](TinyModel& m) { set_tensor(m, "blk.0.ffn_norm.weight", {32}, 2, std::vector<uint8_t>(18 * 2)); },
     nullptr, 101, "unsupported ggml_type: 2"},
    {"matrix_of_a_type_without_products", base_spec,
     [](TinyModel& m) { set_tensor(m, "output.weight", {256, 1}, GgmlType::Q5_K, std::vector<uint8_t>(176)); },
     nullptr, 101, "dequant: unsupported ggml_type 13"},

    // Sizes the forward pass relies on: refused at load, naming the tensor.
    {"vector_shorter_than_the_width", base_spec,
     [](TinyModel& m) { set_tensor_f32(m, "blk.0.attn_norm.weight", {8}, std::vector<float>(8, 1.0f)); },
     nullptr, 101, "tensor blk.0.attn_norm.weight: 8 values, fewer than the 32 needed"},
    {"expert_tensor_short_of_experts", moe_spec,
     [](TinyModel& m) {
       set_tensor_f32(m, "blk.0.ffn_gate_exps.weight", {32, 32, 3}, std::vector<float>(3 * 32 * 32, 0.0f));
     },
     nullptr, 101, "tensor blk.0.ffn_gate_exps.weight: 12288 bytes, fewer than the 16384 that 4 experts"},
    {"more_experts_used_than_experts", moe_spec, kv_change("qwen2.expert_used_count", mv_u32(5)), nullptr, 101,
     "n_experts_used 5 exceeds n_experts 4"},

    // Absurd widths.
    {"embedding_width_0", base_spec, kv_change("qwen2.embedding_length", mv_u32(0)), nullptr, 101,
     "tensor token_embd.weight: rows of 0 columns hold no whole F32 block"},
    {"embedding_width_2p31", base_spec, kv_change("qwen2.embedding_length", mv_u32(k2p31)), nullptr, 101,
     "tensor token_embd.weight: 8192 bytes, fewer than the"},
    {"head_count_0", base_spec, kv_change("qwen2.attention.head_count", mv_u32(0)), nullptr, 101,
     "invalid head_count 0"},
    {"head_count_2p31", base_spec, kv_change("qwen2.attention.head_count", mv_u32(k2p31)), nullptr, 101,
     "query width 17179869184 (heads 2147483648 x head_dim 8) exceeds what a "},
    {"head_width_2p31", base_spec, kv_change("qwen2.attention.key_length", mv_u32(k2p31)), nullptr, 101,
     "query width 8589934592 (heads 4 x head_dim 2147483648) exceeds what a "},
    {"key_value_heads_0", base_spec, kv_change("qwen2.attention.head_count_kv", mv_u32(0)), nullptr, 101,
     "kv_heads is 0 but heads is 4"},
    {"key_value_heads_2p31", base_spec, kv_change("qwen2.attention.head_count_kv", mv_u32(k2p31)), nullptr, 101,
     "key/value width 17179869184 (kv_heads 2147483648 x head_dim 8) exceeds what a "},
    {"feed_forward_width_0", base_spec, kv_change("qwen2.feed_forward_length", mv_u32(0)), nullptr, 101,
     "tensor blk.0.ffn_down.weight: rows of 0 columns hold no whole F32 block"},
    {"feed_forward_width_2p31", base_spec, kv_change("qwen2.feed_forward_length", mv_u32(k2p31)), nullptr, 101,
     "tensor blk.0.ffn_gate.weight: 4096 bytes, fewer than the"},
    {"vocabulary_0", base_spec, kv_change("qwen2.vocab_size", mv_u32(0)), nullptr, 101,
     "token 1 out of vocab range 0"},
    {"vocabulary_2p31", base_spec, kv_change("qwen2.vocab_size", mv_u32(k2p31)), nullptr, 101,
     "tensor token_embd.weight: 8192 bytes, fewer than the"},
    {"layers_2p31", base_spec, kv_change("qwen2.block_count", mv_u32(k2p31)), nullptr, 101,
     "tensor not found: blk.1.attn_norm.weight"},
    {"experts_2p31", moe_spec, kv_change("qwen2.expert_count", mv_u32(k2p31)), nullptr, 101,
     "tensor blk.0.ffn_gate_inp.weight: 128 values, fewer than the 68719476736 needed"},
    {"embedding_narrower_than_its_block",
     [] {
       TinySpec s = base_spec();
       s.matrix_types = {GgmlType::Q8_0};
       return s;
     },
     kv_change("qwen2.embedding_length", mv_u32(16)), nullptr, 101,
     "tensor token_embd.weight: rows of 16 columns hold no whole Q8_0 block"},
};

class MalformedModel : public testing::TestWithParam<Case> {};

TEST_P(MalformedModel, EndsWithItsMessageOrRunsThrough) {
  const Case& c = GetParam();
  TinyModel m = make_tiny_model(c.spec());
  if (c.change) c.change(m);
  std::vector<uint8_t> bytes = m.builder.bytes();
  if (c.patch) c.patch(bytes);
  Ran r = run_model(write_temp_file(bytes, std::string(c.name) + ".gguf"));

  ASSERT_EQ(r.signal, 0) << "killed by signal " << r.signal << "\n" << r.err;
  ASSERT_EQ(r.status, c.status) << r.err;
  if (c.status == 0) {
    EXPECT_NE(r.out.find("--- End ---"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    return;
  }
  // The message is the last line, and the only one: nothing else reaches standard error.
  ASSERT_TRUE(r.err.ends_with("\n")) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedModel, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Where each section of a GGUF file ends, computed from what the builder wrote.
struct Sections {
  std::size_t header_end = 24;
  std::size_t metadata_end = 0;
  std::size_t table_end = 0;
  uint64_t data_offset = 0;
  std::vector<uint64_t> tensor_starts;  // absolute
};

std::size_t value_bytes(const MetaValue& v) {
  switch (v.type()) {
    case MetaValue::U8: case MetaValue::I8: case MetaValue::Bool: return 1;
    case MetaValue::U16: case MetaValue::I16: return 2;
    case MetaValue::U32: case MetaValue::I32: case MetaValue::F32: return 4;
    case MetaValue::U64: case MetaValue::I64: case MetaValue::F64: return 8;
    case MetaValue::String: return 8 + v.get<std::string>()->size();
    default: {
      std::size_t n = 4 + 8;
      for (const MetaValue& item : *v.get<MetaArray>()) n += value_bytes(item);
      return n;
    }
  }
}

Sections sections_of(const GgufBuilder& b, const std::string& path) {
  Sections s;
  s.metadata_end = s.header_end;
  for (const auto& [key, value] : b.kvs) s.metadata_end += 8 + key.size() + 4 + value_bytes(value);
  s.table_end = s.metadata_end;
  for (const auto& t : b.tensors) s.table_end += 8 + t.name.size() + 4 + 8 * t.dims.size() + 4 + 8;
  auto file = GgufFile::open(path);
  if (!file) throw std::runtime_error(file.error().message);
  s.data_offset = file->data_offset;
  for (const TensorInfo& t : file->tensors) s.tensor_starts.push_back(file->data_offset + t.offset);
  return s;
}

TEST(MalformedModel, TruncatedAtEverySectionBoundary) {
  TinyModel m = make_tiny_model(base_spec());
  std::vector<uint8_t> full = m.builder.bytes();
  Sections s = sections_of(m.builder, write_temp_file(full, "full.gguf"));
  ASSERT_EQ(s.tensor_starts.size(), m.builder.tensors.size());

  struct Cut {
    std::size_t at;
    std::string message;  // a part of it
  };
  std::vector<Cut> cuts = {
      {0, "EOF u32"}, {4, "EOF u32"}, {8, "EOF u64"}, {16, "EOF u64"},
      {s.header_end, "EOF u64"},        // the first key's length
      {s.header_end + 8, "EOF reading string len="},
      {s.metadata_end - 1, "EOF"},      // inside the last value
      {s.metadata_end, "EOF u64"},      // the first tensor name's length
      {s.table_end - 1, "EOF u64"},     // inside the last tensor offset
  };
  // From the end of the tensor table on the file opens, and the tensors that lie beyond the
  // cut are refused when their bytes are first asked for.
  const std::string outside = "lies outside the file (bytes ";
  cuts.push_back({s.table_end, outside});
  if (s.data_offset > s.table_end) cuts.push_back({s.data_offset, outside});
  for (uint64_t start : s.tensor_starts) {
    if (start > s.data_offset) cuts.push_back({start - 1, outside});
    cuts.push_back({start + 1, outside});
  }
  cuts.push_back({full.size() - 1, outside});

  for (const Cut& cut : cuts) {
    std::vector<uint8_t> bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut.at));
    Ran r = run_model(write_temp_file(bytes, "cut" + std::to_string(cut.at) + ".gguf"));
    EXPECT_EQ(r.signal, 0) << "cut at " << cut.at;
    EXPECT_EQ(r.status, 101) << "cut at " << cut.at << ": " << r.err;
    EXPECT_NE(r.err.find(cut.message), std::string::npos) << "cut at " << cut.at << ": " << r.err;
  }
}

}  // namespace
}  // namespace korvex
