// Writes a synthetic model of a real shape for the end-to-end benchmarks: random weights of
// one element type (or the mix of the 4-bit K quantisation), f32 norms and biases, no
// tokenizer. The bytes go straight to the file tensor by tensor, so a model larger than
// memory can be written; the file appears under its name only once it is complete.
//
//   make_model --shape 0.5b|1.5b --type F32|F16|BF16|Q8_0|Q5_0|Q5_1|IQ4_NL|Q4_K_M OUT.gguf
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "dequant/ggml_types.hpp"
#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"
#include "synthetic_blocks.hpp"

namespace {

using namespace korvex;

struct Shape {
  std::string_view name;
  std::size_t embed, layers, heads, kv_heads, head_dim, ffn, vocab;
};
constexpr Shape kShapes[] = {
    {"0.5b", 896, 24, 14, 2, 64, 4864, 151936},
    {"1.5b", 1536, 28, 12, 2, 128, 8960, 151936},
};

// Not a ggml code: the type of each matrix is chosen by k_mix_type.
constexpr uint32_t kKMix = 0xFFFFFFFF;

struct TypeName {
  std::string_view name;
  uint32_t type;
};
constexpr TypeName kTypes[] = {
    {"F32", GgmlType::F32},   {"F16", GgmlType::F16},   {"BF16", GgmlType::BF16},     {"Q8_0", GgmlType::Q8_0},
    {"Q5_0", GgmlType::Q5_0}, {"Q5_1", GgmlType::Q5_1}, {"IQ4_NL", GgmlType::IQ4_NL}, {"Q4_K_M", kKMix},
};

enum class Role { TokenEmbd, Output, AttnQ, AttnK, AttnV, AttnOutput, FfnGate, FfnUp, FfnDown };

// The mix files of that name have: Q4_K, with 6 bits where quantisation error hurts most
// (the output matrix, and the value and down matrices of the first and last eighth of the
// layers and every third layer between). A row that is not whole 256-element blocks takes
// the 32-element type of about the same size instead.
uint32_t k_mix_type(Role role, std::size_t layer, std::size_t layers, std::size_t cols) {
  bool more_bits = layer < layers / 8 || layer >= 7 * layers / 8 || (layer - layers / 8) % 3 == 2;
  bool six_bits = role == Role::Output || ((role == Role::AttnV || role == Role::FfnDown) && more_bits);
  if (cols % 256 != 0) return six_bits ? GgmlType::Q8_0 : GgmlType::Q5_0;
  return six_bits ? GgmlType::Q6_K : GgmlType::Q4_K;
}

// FNV-1a of the name: each tensor's bytes are fixed by its name alone.
uint64_t seed_of(std::string_view name) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
  return h;
}

test::GgufBuilder model(const Shape& s, uint32_t type) {
  test::GgufBuilder b;
  b.kv("general.alignment", test::mv_u32(32));
  b.kv("general.architecture", test::mv_str("qwen2"));
  b.kv("qwen2.embedding_length", test::mv_u32(static_cast<uint32_t>(s.embed)));
  b.kv("qwen2.attention.head_count", test::mv_u32(static_cast<uint32_t>(s.heads)));
  b.kv("qwen2.attention.head_count_kv", test::mv_u32(static_cast<uint32_t>(s.kv_heads)));
  b.kv("qwen2.block_count", test::mv_u32(static_cast<uint32_t>(s.layers)));
  b.kv("qwen2.feed_forward_length", test::mv_u32(static_cast<uint32_t>(s.ffn)));
  b.kv("qwen2.rope.freq_base", test::mv_f32(1000000.0f));
  b.kv("qwen2.vocab_size", test::mv_u32(static_cast<uint32_t>(s.vocab)));

  auto matrix = [&](std::string name, Role role, std::size_t layer, std::size_t rows, std::size_t cols) {
    uint32_t t = type == kKMix ? k_mix_type(role, layer, s.layers, cols) : type;
    uint64_t seed = seed_of(name);
    b.tensor_source(std::move(name), {cols, rows}, t, ggml_type_size(t, rows * cols),
                    [=] { return bench::random_matrix(t, rows, cols, seed); });
  };
  auto vector = [&](std::string name, std::size_t n, float centre, float spread) {
    uint64_t seed = seed_of(name);
    b.tensor_f32(std::move(name), {n}, bench::random_near(n, centre, spread, seed));
  };

  const std::size_t q_dim = s.heads * s.head_dim, kv_dim = s.kv_heads * s.head_dim;
  matrix("token_embd.weight", Role::TokenEmbd, 0, s.vocab, s.embed);
  for (std::size_t l = 0; l < s.layers; ++l) {
    std::string p = fmt::format("blk.{}.", l);
    vector(p + "attn_norm.weight", s.embed, 1.0f, 0.2f);
    matrix(p + "attn_q.weight", Role::AttnQ, l, q_dim, s.embed);
    matrix(p + "attn_k.weight", Role::AttnK, l, kv_dim, s.embed);
    matrix(p + "attn_v.weight", Role::AttnV, l, kv_dim, s.embed);
    vector(p + "attn_q.bias", q_dim, 0.0f, 0.1f);
    vector(p + "attn_k.bias", kv_dim, 0.0f, 0.1f);
    vector(p + "attn_v.bias", kv_dim, 0.0f, 0.1f);
    matrix(p + "attn_output.weight", Role::AttnOutput, l, s.embed, q_dim);
    vector(p + "ffn_norm.weight", s.embed, 1.0f, 0.2f);
    matrix(p + "ffn_gate.weight", Role::FfnGate, l, s.ffn, s.embed);
    matrix(p + "ffn_up.weight", Role::FfnUp, l, s.ffn, s.embed);
    matrix(p + "ffn_down.weight", Role::FfnDown, l, s.embed, s.ffn);
  }
  matrix("output.weight", Role::Output, 0, s.vocab, s.embed);
  vector("output_norm.weight", s.embed, 1.0f, 0.2f);
  return b;
}

int usage() {
  fmt::print(stderr, "usage: make_model --shape 0.5b|1.5b --type F32|F16|BF16|Q8_0|Q5_0|Q5_1|IQ4_NL|Q4_K_M OUT.gguf\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const Shape* shape = nullptr;
  const TypeName* type = nullptr;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--shape" && i + 1 < argc) {
      std::string_view v = argv[++i];
      for (const auto& s : kShapes)
        if (s.name == v) shape = &s;
      if (shape == nullptr) return usage();
    } else if (a == "--type" && i + 1 < argc) {
      std::string_view v = argv[++i];
      for (const auto& t : kTypes)
        if (t.name == v) type = &t;
      if (type == nullptr) return usage();
    } else if (out.empty() && !a.starts_with("-")) {
      out = a;
    } else {
      return usage();
    }
  }
  if (shape == nullptr || type == nullptr || out.empty()) return usage();

  auto t0 = std::chrono::steady_clock::now();
  test::GgufBuilder b = model(*shape, type->type);
  // Written beside its final name and renamed when complete: an interrupted run leaves no
  // file that looks like a model.
  std::filesystem::path path = out, partial = out + ".partial";
  try {
    b.write_to(partial);
    std::filesystem::rename(partial, path);
  } catch (const std::exception& e) {
    fmt::print(stderr, "make_model: {}\n", e.what());
    std::error_code ec;
    std::filesystem::remove(partial, ec);
    return 1;
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  fmt::print("{}: {} {}, {} tensors, {:.2f} GB, written in {:.1f} s\n", path.string(), shape->name, type->name,
             b.tensors.size(), static_cast<double>(std::filesystem::file_size(path)) / 1e9, s);
  return 0;
}
