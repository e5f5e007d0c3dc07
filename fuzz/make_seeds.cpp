// Writes the seed corpus of each fuzz target into <dir>/<target>/: tiny models that load and
// run (every tensor type, dense and experts, every GGUF version), texts for the tokenizer,
// request bodies and request heads. Usage: make_seeds <dir>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dequant/ggml_types.hpp"
#include "support/gguf_writer.hpp"

namespace {

namespace fs = std::filesystem;
using namespace korvex;
using namespace korvex::test;

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_text(const fs::path& path, std::string_view text) {
  write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

struct Lcg {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
};

struct SeedSpec {
  std::string arch = "qwen2";
  uint32_t version = 3;
  uint64_t vocab = 8, embed = 32, heads = 4, kv_heads = 2, layers = 1, ffn = 32, head_dim = 8;
  uint64_t n_experts = 0, n_experts_used = 0;
  std::vector<uint32_t> matrix_types = {GgmlType::F32};
  uint32_t embd_type = GgmlType::F32;
  bool biases = false, sinks = false, post_attention_norm = false, yarn = false;
  bool vocab_from_tokens = false;
};

// Bytes of a matrix: small random floats for F32, random block bytes with a small scale for the
// block types (any bit pattern is a valid block; the scale keeps the activations finite).
std::vector<uint8_t> matrix_bytes(uint32_t type, uint64_t n, Lcg& rng) {
  const GgmlTypeInfo* info = ggml_type_info(type);
  uint64_t bytes = uint64_t{info->block_bytes} * (n / info->block_elems);
  std::vector<uint8_t> out(bytes);
  if (type == GgmlType::F32) {
    std::vector<float> v(n);
    for (auto& x : v) x = static_cast<int>(rng.next() % 81 - 40) / 64.0f;
    return f32_bytes(v);
  }
  for (auto& b : out) b = static_cast<uint8_t>(rng.next());
  if (info->block_elems == 1) {  // F16 / BF16: keep the exponents small
    for (std::size_t i = 1; i < out.size(); i += 2) out[i] = (out[i] & 0x80) | 0x30;
  } else {  // the block's leading f16 scale(s): about 1/64
    for (std::size_t b = 0; b + info->block_bytes <= out.size(); b += info->block_bytes) {
      out[b] = 0x00;
      out[b + 1] = 0x24;
    }
  }
  return out;
}

std::vector<uint8_t> model(const SeedSpec& s) {
  GgufBuilder b;
  b.version = s.version;
  Lcg rng{s.embed * 31 + s.layers * 7 + s.n_experts + s.matrix_types.size()};
  std::size_t turn = 0;
  const std::string& p = s.arch;
  b.kv("general.architecture", mv_str(p));
  b.kv("general.alignment", mv_u32(32));
  b.kv(p + ".embedding_length", mv_u32(static_cast<uint32_t>(s.embed)));
  b.kv(p + ".attention.head_count", mv_u32(static_cast<uint32_t>(s.heads)));
  b.kv(p + ".attention.head_count_kv", mv_u32(static_cast<uint32_t>(s.kv_heads)));
  b.kv(p + ".block_count", mv_u32(static_cast<uint32_t>(s.layers)));
  b.kv(p + (s.n_experts ? ".expert_feed_forward_length" : ".feed_forward_length"),
       mv_u32(static_cast<uint32_t>(s.ffn)));
  b.kv(p + ".attention.key_length", mv_u32(static_cast<uint32_t>(s.head_dim)));
  b.kv(p + ".rope.freq_base", mv_f32(10000.0f));
  if (s.vocab_from_tokens) {
    std::vector<std::string> tokens;
    for (uint64_t i = 0; i < s.vocab; ++i) tokens.push_back("t" + std::to_string(i));
    b.kv("tokenizer.ggml.tokens", mv_str_arr(tokens));
  } else {
    b.kv(p + ".vocab_size", mv_u32(static_cast<uint32_t>(s.vocab)));
  }
  if (s.n_experts) {
    b.kv(p + ".expert_count", mv_u32(static_cast<uint32_t>(s.n_experts)));
    b.kv(p + ".expert_used_count", mv_u32(static_cast<uint32_t>(s.n_experts_used)));
  }
  if (s.yarn) {
    b.kv(p + ".rope.scaling.factor", mv_f32(4.0f));
    b.kv(p + ".rope.scaling.original_context_length", mv_u32(64));
  }

  auto matrix = [&](const std::string& name, uint64_t rows, uint64_t cols, uint64_t count = 1,
                    std::optional<uint32_t> type = std::nullopt) {
    uint32_t t = type ? *type : s.matrix_types[turn++ % s.matrix_types.size()];
    std::vector<uint64_t> dims = {cols, rows};
    if (count > 1) dims.push_back(count);
    b.tensor(name, dims, t, matrix_bytes(t, rows * cols * count, rng));
  };
  auto vec = [&](const std::string& name, uint64_t n, float centre) {
    std::vector<float> v(n);
    for (auto& x : v) x = centre + static_cast<int>(rng.next() % 33 - 16) / 64.0f;
    b.tensor_f32(name, {n}, v);
  };

  uint64_t q_dim = s.heads * s.head_dim, kv_dim = s.kv_heads * s.head_dim;
  matrix("token_embd.weight", s.vocab, s.embed, 1, s.embd_type);
  for (uint64_t l = 0; l < s.layers; ++l) {
    auto n = [l](const char* suffix) { return "blk." + std::to_string(l) + "." + suffix; };
    vec(n("attn_norm.weight"), s.embed, 1.0f);
    matrix(n("attn_q.weight"), q_dim, s.embed);
    matrix(n("attn_k.weight"), kv_dim, s.embed);
    matrix(n("attn_v.weight"), kv_dim, s.embed);
    matrix(n("attn_output.weight"), s.embed, q_dim);
    if (s.biases) {
      vec(n("attn_q.bias"), q_dim, 0.0f);
      vec(n("attn_k.bias"), kv_dim, 0.0f);
      vec(n("attn_v.bias"), kv_dim, 0.0f);
      vec(n("attn_output.bias"), s.embed, 0.0f);
    }
    if (s.sinks) vec(n("attn_sinks.weight"), s.heads, 0.0f);
    vec(n(s.post_attention_norm ? "post_attention_norm.weight" : "ffn_norm.weight"), s.embed, 1.0f);
    if (s.n_experts) {
      vec(n("ffn_gate_inp.weight"), s.n_experts * s.embed, 0.0f);
      matrix(n("ffn_gate_exps.weight"), s.ffn, s.embed, s.n_experts);
      matrix(n("ffn_up_exps.weight"), s.ffn, s.embed, s.n_experts);
      matrix(n("ffn_down_exps.weight"), s.embed, s.ffn, s.n_experts);
      if (s.biases) {
        vec(n("ffn_gate_inp.bias"), s.n_experts, 0.0f);
        vec(n("ffn_gate_exps.bias"), s.n_experts * s.ffn, 0.0f);
        vec(n("ffn_up_exps.bias"), s.n_experts * s.ffn, 0.0f);
        vec(n("ffn_down_exps.bias"), s.n_experts * s.embed, 0.0f);
      }
    } else {
      matrix(n("ffn_gate.weight"), s.ffn, s.embed);
      matrix(n("ffn_up.weight"), s.ffn, s.embed);
      matrix(n("ffn_down.weight"), s.embed, s.ffn);
    }
  }
  matrix("output.weight", s.vocab, s.embed);
  vec("output_norm.weight", s.embed, 1.0f);
  return b.bytes();
}

void gguf_model_seeds(const fs::path& dir) {
  std::vector<std::pair<std::string, SeedSpec>> seeds;
  SeedSpec small;  // F32 needs no whole blocks, so this one can be really small
  small.embed = 8, small.heads = 2, small.kv_heads = 1, small.head_dim = 4, small.ffn = 8;
  seeds.push_back({"dense_f32", small});
  SeedSpec llama;
  llama.arch = "llama";
  llama.matrix_types = {GgmlType::Q8_0, GgmlType::F16, GgmlType::BF16, GgmlType::Q5_0};
  llama.embd_type = GgmlType::Q8_0;
  llama.biases = llama.sinks = llama.post_attention_norm = true;
  seeds.push_back({"llama_mixed_types", llama});
  SeedSpec kernels;
  kernels.layers = 2;
  kernels.matrix_types = {GgmlType::Q5_1, GgmlType::IQ4_NL, GgmlType::Q4_K, GgmlType::Q6_K};
  kernels.embd_type = GgmlType::Q5_1;
  kernels.yarn = true;
  seeds.push_back({"row_kernels_and_k_quants", kernels});
  SeedSpec moe;
  moe.arch = "gpt-oss";
  moe.n_experts = 4;
  moe.n_experts_used = 2;
  moe.ffn = 32;
  moe.biases = moe.sinks = true;
  moe.matrix_types = {GgmlType::F32, GgmlType::Q8_0, GgmlType::BF16};
  seeds.push_back({"experts", moe});
  SeedSpec v1 = small;
  v1.version = 1;
  v1.vocab_from_tokens = true;
  seeds.push_back({"version1_token_vocab", v1});
  SeedSpec v2 = small;
  v2.version = 2;
  v2.layers = 0;
  seeds.push_back({"version2_no_layers", v2});
  for (auto& [name, spec] : seeds) write_file(dir / (name + ".gguf"), model(spec));

  // Every metadata value type once, and an empty array of a bad element type.
  GgufBuilder all;
  all.kv("u8", MetaValue{uint8_t{1}}).kv("i8", MetaValue{int8_t{-1}});
  all.kv("u16", MetaValue{uint16_t{2}}).kv("i16", MetaValue{int16_t{-2}});
  all.kv("u32", mv_u32(3)).kv("i32", mv_i32(-3)).kv("f32", mv_f32(0.5f)).kv("b", mv_bool(true));
  all.kv("s", mv_str("x")).kv("a", mv_arr({mv_u32(1), mv_u32(2)}));
  all.kv("u64", MetaValue{uint64_t{4}}).kv("i64", MetaValue{int64_t{-4}}).kv("f64", MetaValue{0.25});
  all.kv("general.alignment", mv_u32(48));
  all.tensor_f32("t", {2, 2}, {1, 2, 3, 4});
  write_file(dir / "all_value_types.gguf", all.bytes());
}

void tokenizer_seeds(const fs::path& dir) {
  // The last text holds NULs: its length comes from the array, not from strlen.
  static constexpr char chat[] = "system\0You are helpful.\0user\0What is 2+2?";
  const std::string_view texts[] = {
      "Hello world! 1234 <|im_start|>user\nhi<|im_end|>",
      "  three   spaces\r\n\tand\xC3\xA9 caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80",
      "<|>|> <| <|im_end|> </s> <s> <unk> \xFF\xFE bad utf8 \xE2\x82",
      std::string_view(chat, sizeof chat - 1),
  };
  int i = 0;
  for (uint8_t pick = 0; pick < 4; ++pick)
    for (std::string_view t : texts)
      write_text(dir / ("vocab" + std::to_string(pick) + "_" + std::to_string(i++)),
                 std::string(1, static_cast<char>(pick)) + std::string(t));
  // Drawn metadata: any bytes after a pick of 4 or more.
  Lcg rng{5};
  for (int n = 0; n < 6; ++n) {
    std::string s(1, static_cast<char>(4 + n));
    for (int k = 0; k < 200; ++k) s.push_back(static_cast<char>(rng.next()));
    s += texts[n % 3];
    write_text(dir / ("drawn_" + std::to_string(n)), s);
  }
}

std::string base64_decode(std::string_view in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    int v = value(c);
    if (v < 0) break;  // padding
    acc = acc << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

// The bodies of the decoder's test vectors, each behind a content-type line, and a few
// content types on a valid body.
void chat_request_seeds(const fs::path& dir) {
  std::ifstream cases(std::string(KORVEX_SOURCE_DIR) + "/tests/data/chat_request_cases.jsonl");
  std::string line;
  int n = 0;
  constexpr std::string_view key = "\"body_b64\": \"";
  while (std::getline(cases, line)) {
    std::size_t at = line.find(key);
    if (at == std::string::npos) continue;
    std::size_t start = at + key.size();
    std::string body = base64_decode(std::string_view(line).substr(start, line.find('"', start) - start));
    write_text(dir / ("case_" + std::to_string(n++)), "application/json\n" + body);
  }
  const char* body = R"({"messages":[{"role":"user","content":"h\u00e9\"\n"}],"max_tokens":5,"temperature":0.7,"top_k":0,"repeat_penalty":1.1,"seed":18446744073709551615})";
  for (const char* type : {"application/json", "APPLICATION/JSON; charset=utf-8", "application/vnd.x+json",
                           "text/plain", "application/json\x7f", "-"})
    write_text(dir / ("type_" + std::to_string(n++)), std::string(type) + "\n" + body);
  write_text(dir / "array_form", R"([[["user","hi"]],1,0.5,2,1.5,3])");
}

// Connections: byte 0 is the write pattern, then the bytes sent (0xFF n c repeats c).
void http_seeds(const fs::path& dir) {
  const std::string chat_body = R"({"messages":[{"role":"user","content":"hi"}],"max_tokens":3})";
  const std::string chat = "POST /v1/chat/completions HTTP/1.1\r\nhost: x\r\ncontent-type: application/json\r\n"
                           "content-length: " + std::to_string(chat_body.size()) + "\r\n\r\n" + chat_body;
  const std::string seeds[] = {
      "GET /health HTTP/1.1\r\nhost: x\r\n\r\n",
      "HEAD /v1/models HTTP/1.1\r\n\r\nGET /v1/models?x=1 HTTP/1.1\r\nconnection: close\r\n\r\n",
      "DELETE /v1/models HTTP/1.1\r\ncontent-length: 3\r\n\r\nabcGET /nope HTTP/1.0\r\n\r\n",
      chat,
      chat + chat,
      "POST /v1/chat/completions HTTP/1.1\r\ncontent-type: application/json\r\nexpect: 100-continue\r\n"
      "transfer-encoding: chunked\r\n\r\n4\r\n{\"me\r\n1b\r\nssages\":[],\"max_tokens\":1}  \r\n0\r\n\r\n",
      "POST /v1/chat/completions HTTP/1.0\r\ncontent-type: text/plain\r\ncontent-length: 2\r\n\r\n{}",
      "POST /v1/chat/completions HTTP/1.1\r\ncontent-type: application/json\r\ncontent-length: 99\r\n\r\n{\"mess",
      "POST /v1/chat/completions HTTP/1.1\r\ncontent-type: application/json\r\ncontent-length: 2097153\r\n\r\n",
      "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
      "PRI * HTTP/1.1\r\n\r\n",
      "\r\n\r\nGET /health HTTP/1.1\n\n",
      "GET /\xFF\x3F" "a HTTP/1.1\r\n\r\n",         // a target of 64 KiB + 1
      "GET /health HTTP/1.1\r\nx: \xFF\x40" "b\r\n\r\n",  // one long header line
      "GET /health HTTP/1.1\r\n\xFF\xFF" "c\xFF\xFF" "c",             // a head over the buffer limit
      "G\x01T / HTTP/1.1\r\n\r\n",
      "GET /health HTTP/3.0\r\n\r\n",
  };
  int n = 0;
  for (const std::string& s : seeds)
    for (char pattern : {'\0', '\1'})
      write_text(dir / ("conn_" + std::to_string(n++)), std::string(1, pattern) + s);
  std::string many = "GET /health HTTP/1.1\r\n";
  for (int i = 0; i < 101; ++i) many += "h" + std::to_string(i) + ": v\r\n";
  write_text(dir / "too_many_header_lines", std::string(1, '\2') + many + "\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <dir>\n");
    return 2;
  }
  fs::path root = argv[1];
  for (const char* target : {"fuzz_gguf_model", "fuzz_tokenizer", "fuzz_chat_request", "fuzz_http_head"})
    fs::create_directories(root / target);
  gguf_model_seeds(root / "fuzz_gguf_model");
  tokenizer_seeds(root / "fuzz_tokenizer");
  chat_request_seeds(root / "fuzz_chat_request");
  http_seeds(root / "fuzz_http_head");
  return 0;
}
