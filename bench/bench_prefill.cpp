// Prompt speed against decoding speed on a synthetic model of 0.5B shape (embedding 896,
// 24 layers, 14 heads over 2 key/value heads, feed-forward 4864, vocabulary 151936), every
// matrix Q8_0, written to a temporary file. Prints the time per token of decoding (one
// forward_logits step after the prompt) and of the batched prefill of a 512-id prompt,
// and their ratio. With --verify it also feeds the prompt one id at a time and checks that
// the cache and the logits are bit-identical.
//
//   bench_prefill [--verify] [--ids N] [--chunk N]
#include <fmt/format.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dequant/ggml_types.hpp"
#include "engine/config.hpp"
#include "engine/forward.hpp"
#include "engine/kv_cache.hpp"
#include "engine/logits.hpp"
#include "engine/prefill.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace {

using namespace korvex;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kEmbed = 896, kLayers = 24, kHeads = 14, kKvHeads = 2, kFfn = 4864, kVocab = 151936,
                      kHeadDim = 64;

struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

// Q8_0 blocks with d = 2^-11 and codes in [-64, 63]: weights of about 0.018 spread.
std::vector<uint8_t> q8_0_matrix(std::size_t rows, std::size_t cols, Rng& rng) {
  std::size_t blocks = rows * cols / 32;
  std::vector<uint8_t> out(blocks * 34);
  for (std::size_t b = 0; b < blocks; ++b) {
    uint8_t* p = out.data() + 34 * b;
    p[0] = 0x00;
    p[1] = 0x10;  // half 2^-11
    for (int i = 0; i < 32; i += 8) {
      uint64_t r = rng.next();
      for (int j = 0; j < 8; ++j) p[2 + i + j] = static_cast<uint8_t>(static_cast<int8_t>(((r >> (8 * j)) & 0x7F) - 64));
    }
  }
  return out;
}

std::vector<float> near(std::size_t n, float centre, float spread, Rng& rng) {
  std::vector<float> v(n);
  for (auto& x : v) x = centre + spread * (static_cast<float>(rng.next() % 2001) / 1000.0f - 1.0f);
  return v;
}

std::string write_model() {
  test::GgufBuilder b;
  Rng rng{0x9E3779B97F4A7C15ull};
  b.kv("general.alignment", test::mv_u32(32));
  b.kv("general.architecture", test::mv_str("qwen2"));
  b.kv("qwen2.embedding_length", test::mv_u32(kEmbed));
  b.kv("qwen2.attention.head_count", test::mv_u32(kHeads));
  b.kv("qwen2.attention.head_count_kv", test::mv_u32(kKvHeads));
  b.kv("qwen2.block_count", test::mv_u32(kLayers));
  b.kv("qwen2.feed_forward_length", test::mv_u32(kFfn));
  b.kv("qwen2.rope.freq_base", test::mv_f32(1000000.0f));
  b.kv("qwen2.vocab_size", test::mv_u32(kVocab));
  auto matrix = [&](const std::string& name, std::size_t rows, std::size_t cols) {
    b.tensor(name, {cols, rows}, GgmlType::Q8_0, q8_0_matrix(rows, cols, rng));
  };
  const std::size_t q_dim = kHeads * kHeadDim, kv_dim = kKvHeads * kHeadDim;
  matrix("token_embd.weight", kVocab, kEmbed);
  for (std::size_t l = 0; l < kLayers; ++l) {
    std::string p = "blk." + std::to_string(l) + ".";
    b.tensor_f32(p + "attn_norm.weight", {kEmbed}, near(kEmbed, 1.0f, 0.2f, rng));
    matrix(p + "attn_q.weight", q_dim, kEmbed);
    matrix(p + "attn_k.weight", kv_dim, kEmbed);
    matrix(p + "attn_v.weight", kv_dim, kEmbed);
    b.tensor_f32(p + "attn_q.bias", {q_dim}, near(q_dim, 0.0f, 0.1f, rng));
    b.tensor_f32(p + "attn_k.bias", {kv_dim}, near(kv_dim, 0.0f, 0.1f, rng));
    b.tensor_f32(p + "attn_v.bias", {kv_dim}, near(kv_dim, 0.0f, 0.1f, rng));
    matrix(p + "attn_output.weight", kEmbed, q_dim);
    b.tensor_f32(p + "ffn_norm.weight", {kEmbed}, near(kEmbed, 1.0f, 0.2f, rng));
    matrix(p + "ffn_gate.weight", kFfn, kEmbed);
    matrix(p + "ffn_up.weight", kFfn, kEmbed);
    matrix(p + "ffn_down.weight", kEmbed, kFfn);
  }
  matrix("output.weight", kVocab, kEmbed);
  b.tensor_f32("output_norm.weight", {kEmbed}, near(kEmbed, 1.0f, 0.2f, rng));
  return b.write();
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double process_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool verify = false;
  std::size_t n_ids = 512, chunk = kPrefillChunk;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--verify") verify = true;
    else if (a == "--ids" && i + 1 < argc) n_ids = std::stoul(argv[++i]);
    else if (a == "--chunk" && i + 1 < argc) chunk = std::stoul(argv[++i]);
  }

  auto t0 = Clock::now();
  std::string path = write_model();
  auto opened = GgufFile::open(path);
  if (!opened) {
    fmt::print(stderr, "cannot open {}: {}\n", path, opened.error().message);
    return 1;
  }
  auto file = std::make_shared<const GgufFile>(std::move(*opened));
  ModelConfig config = ModelConfig::from_gguf(*file);
  Weights weights = Weights::load(build_tensor_index(*file), file, config);
  fmt::print("model written and loaded in {:.1f} s ({})\n", seconds_since(t0), path);

  Rng rng{12345};
  std::vector<std::size_t> ids(n_ids);
  for (auto& id : ids) id = rng.next() % kVocab;

  // Warm the mapping and the pool before timing.
  {
    KvCache warm = KvCache::empty(config);
    prefill(std::span<const std::size_t>(ids).first(std::min<std::size_t>(n_ids, 16)), config, weights, warm, chunk);
  }

  KvCache cache = KvCache::empty(config);
  t0 = Clock::now();
  double cpu0 = process_cpu_seconds();
  std::vector<float> logits = prefill(ids, config, weights, cache, chunk);
  double prefill_s = seconds_since(t0);
  double prefill_cpu_s = process_cpu_seconds() - cpu0;

  const std::size_t steps = 16;
  t0 = Clock::now();
  for (std::size_t s = 0; s < steps; ++s) forward_logits(ids[s % n_ids], n_ids + s, config, weights, cache);
  double decode_s = seconds_since(t0) / steps;

  double prefill_per_id = prefill_s / static_cast<double>(n_ids);
  fmt::print("decode:  {:.2f} ms per token (forward_logits after {} positions)\n", 1e3 * decode_s, n_ids);
  fmt::print("prefill: {:.2f} ms per id ({} ids in {:.2f} s, chunks of {})\n", 1e3 * prefill_per_id, n_ids,
             prefill_s, chunk);
  // Every thread's CPU time: with one thread (taskset to one CPU) the prompt's work alone,
  // whatever else the machine runs.
  fmt::print("prefill cpu: {:.2f} ms per id\n", 1e3 * prefill_cpu_s / static_cast<double>(n_ids));
  fmt::print("ratio:   {:.1f}x\n", decode_s / prefill_per_id);

  if (verify) {
    KvCache one = KvCache::empty(config);
    t0 = Clock::now();
    for (std::size_t i = 0; i + 1 < n_ids; ++i) forward(ids[i], i, config, weights, one);
    std::vector<float> want = forward_logits(ids.back(), n_ids - 1, config, weights, one);
    double one_s = seconds_since(t0);
    bool cache_same = true;
    for (std::size_t l = 0; l < config.layers; ++l) {
      // The batched cache was extended by the decode steps; compare the prompt's rows.
      std::size_t n = one.layers[l].keys.size();
      std::vector<float> k(cache.layers[l].keys.begin(), cache.layers[l].keys.begin() + n);
      std::vector<float> v(cache.layers[l].values.begin(), cache.layers[l].values.begin() + n);
      cache_same = cache_same && same_bits(k, one.layers[l].keys) && same_bits(v, one.layers[l].values);
    }
    fmt::print("one by one: {:.2f} ms per id; logits {}, cache {}\n", 1e3 * one_s / n_ids,
               same_bits(logits, want) ? "bit-identical" : "DIFFER", cache_same ? "bit-identical" : "DIFFERS");
    if (!same_bits(logits, want) || !cache_same) return 1;
  }
  return 0;
}
