// The attention over long contexts, decoding and prompt, on a model with the attention of
// the 0.5B shape (embedding 896, 24 layers, 14 query heads over 2 key/value heads of 64,
// every matrix Q8_0) whose feed-forward blocks and vocabulary are tiny: the attention and its
// four projections are nearly all the work. Decoding times one forward step after caches
// of N random rows (median and fastest of --runs steps); the prompt times the batched
// prefill of N ids onto an empty cache (median of --runs, ms per id and ids per second).
//
// With --model PATH it runs a GGUF model file instead (a real one: every block counts).
//
//   bench_attention [--model PATH] [--threads N] [--decode N,N,...] [--prompt N,N,...] [--runs R]
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/pool.hpp"
#include "dequant/ggml_types.hpp"
#include "engine/config.hpp"
#include "engine/forward.hpp"
#include "engine/kv_cache.hpp"
#include "engine/prefill.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace {

using namespace korvex;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kEmbed = 896, kLayers = 24, kHeads = 14, kKvHeads = 2, kHeadDim = 64, kFfn = 32, kVocab = 64;

struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  float uniform() { return static_cast<float>(next() % 2001) / 1000.0f - 1.0f; }  // [-1, 1]
};

// Q8_0 blocks with d = 2^-7 and codes in [-64, 63]: weights within +-0.5, so that queries
// and keys spread the scores over a few units.
std::vector<uint8_t> q8_0_matrix(std::size_t rows, std::size_t cols, Rng& rng) {
  std::vector<uint8_t> out(rows * cols / 32 * 34);
  for (std::size_t b = 0; b < out.size() / 34; ++b) {
    uint8_t* p = out.data() + 34 * b;
    p[0] = 0x00;
    p[1] = 0x20;  // half 2^-7
    for (int i = 0; i < 32; ++i) p[2 + i] = static_cast<uint8_t>(static_cast<int8_t>(rng.next() % 128 - 64));
  }
  return out;
}

std::vector<float> ones(std::size_t n) { return std::vector<float>(n, 1.0f); }

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
    b.tensor_f32(p + "attn_norm.weight", {kEmbed}, ones(kEmbed));
    matrix(p + "attn_q.weight", q_dim, kEmbed);
    matrix(p + "attn_k.weight", kv_dim, kEmbed);
    matrix(p + "attn_v.weight", kv_dim, kEmbed);
    matrix(p + "attn_output.weight", kEmbed, q_dim);
    b.tensor_f32(p + "ffn_norm.weight", {kEmbed}, ones(kEmbed));
    matrix(p + "ffn_gate.weight", kFfn, kEmbed);
    matrix(p + "ffn_up.weight", kFfn, kEmbed);
    matrix(p + "ffn_down.weight", kEmbed, kFfn);
  }
  matrix("output.weight", kVocab, kEmbed);
  b.tensor_f32("output_norm.weight", {kEmbed}, ones(kEmbed));
  return b.write();
}

std::vector<std::size_t> list(const std::string& s) {
  std::vector<std::size_t> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::stoul(item));
  return out;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> decode = {100, 1300, 4000}, prompt = {1300, 4000};
  std::size_t runs = 9;
  std::string model;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--model") model = argv[i + 1];
    else if (a == "--threads") set_pool_threads(std::stoul(argv[i + 1]));
    else if (a == "--decode") decode = list(argv[i + 1]);
    else if (a == "--prompt") prompt = list(argv[i + 1]);
    else if (a == "--runs") runs = std::max<std::size_t>(1, std::stoul(argv[i + 1]));
  }

  auto opened = GgufFile::open(model.empty() ? write_model() : model);
  if (!opened) {
    fmt::print(stderr, "cannot open {}: {}\n", model, opened.error().message);
    return 1;
  }
  auto file = std::make_shared<const GgufFile>(std::move(*opened));
  ModelConfig config = ModelConfig::from_gguf(*file);
  Weights weights = Weights::load(build_tensor_index(*file), file, config);
  fmt::print("pool threads: {}, {} layers, {} query heads over {} key/value heads of {}\n", pool_threads(),
             config.layers, config.heads, config.kv_heads, config.head_dim);
  Rng rng{12345};
  const std::size_t kv_dim = config.kv_heads * config.head_dim, vocab = config.vocab;

  for (std::size_t n : decode) {
    KvCache cache = KvCache::empty(config);
    for (LayerCache& lc : cache.layers) {
      lc.keys.reserve((n + runs + 1) * kv_dim);
      lc.values.reserve((n + runs + 1) * kv_dim);
      for (std::size_t i = 0; i < n * kv_dim; ++i) {
        lc.keys.push_back(rng.uniform());
        lc.values.push_back(rng.uniform());
      }
    }
    forward(1, n, config, weights, cache);  // warms the pool and the caches' first touch
    std::vector<double> ms;
    for (std::size_t r = 0; r < runs; ++r) {
      auto t0 = Clock::now();
      forward(r % vocab, n + 1 + r, config, weights, cache);
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    fmt::print("decode after {:5} rows: {:7.3f} ms per token (fastest {:.3f})\n", n, median(ms),
               *std::min_element(ms.begin(), ms.end()));
  }

  for (std::size_t n : prompt) {
    std::vector<std::size_t> ids(n);
    for (auto& id : ids) id = rng.next() % vocab;
    std::vector<double> s;
    for (std::size_t r = 0; r < runs; ++r) {
      KvCache cache = KvCache::empty(config);
      auto t0 = Clock::now();
      prefill(ids, config, weights, cache);
      s.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    double m = median(s);
    fmt::print("prompt of {:5} ids: {:7.3f} ms per id, {:8.1f} ids/s (fastest {:.3f} s)\n", n, 1e3 * m / n, n / m,
               *std::min_element(s.begin(), s.end()));
  }
  return 0;
}
