// The batched prompt against feeding the same ids one forward call at a time: the cache
// rows and the last id's logits must agree bit for bit, whatever the chunking.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/cpu_features.hpp"
#include "engine/forward.hpp"
#include "engine/generate.hpp"
#include "engine/logits.hpp"
#include "engine/prefill.hpp"
#include "tiny_model.hpp"

namespace korvex {
namespace {

using test::TinySpec;

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
  return out;
}

// The prompt fed one id at a time onto `cache`, as the generation loop did before batching.
std::vector<float> one_by_one(std::span<const std::size_t> ids, const ModelConfig& config,
                              const Weights& weights, KvCache& cache, std::size_t start) {
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) forward(ids[i], start + i, config, weights, cache);
  return forward_logits(ids.back(), start + ids.size() - 1, config, weights, cache);
}

void expect_same_cache(const KvCache& got, const KvCache& want) {
  ASSERT_EQ(got.layers.size(), want.layers.size());
  for (std::size_t l = 0; l < got.layers.size(); ++l) {
    EXPECT_EQ(bits_of(got.layers[l].keys), bits_of(want.layers[l].keys)) << "keys of layer " << l;
    EXPECT_EQ(bits_of(got.layers[l].values), bits_of(want.layers[l].values)) << "values of layer " << l;
  }
}

std::vector<std::size_t> some_ids(std::size_t n, std::size_t vocab, uint32_t seed) {
  test::Lcg rng{seed};
  std::vector<std::size_t> ids(n);
  for (auto& id : ids) id = rng.next() % vocab;
  return ids;
}

struct ModelCase {
  const char* name;
  TinySpec spec;
};

void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }

TinySpec with(TinySpec s, auto&& change) {
  change(s);
  return s;
}

std::vector<ModelCase> model_cases() {
  using namespace GgmlType;
  return {
      {"dense_biases_grouped_heads_mixed_types", with(TinySpec{}, [](TinySpec& s) {
         s.qkv_bias = s.output_bias = true;
         s.matrix_types = {F32, F16, BF16, Q8_0, Q5_0};
       })},
      {"experts_sinks_biases_yarn", with(TinySpec{}, [](TinySpec& s) {
         s.arch = "gpt-oss";
         s.n_experts = 5, s.n_experts_used = 2;
         s.sinks = s.heads - 1;  // the last head has none
         s.router_bias = s.gate_exps_bias = s.up_exps_bias = s.down_exps_bias = true;
         s.qkv_bias = s.output_bias = true;
         s.rope_scale = 4.0f, s.orig_ctx = 64;
         s.post_attention_norm = true;
         s.matrix_types = {F32, BF16, Q8_0};
       })},
      {"all_experts_used", with(TinySpec{}, [](TinySpec& s) {
         s.arch = "gpt-oss";
         s.n_experts = 3, s.n_experts_used = 3;
         s.matrix_types = {Q5_0, F16};
       })},
      {"llama_pairing_row_kernel_types", with(TinySpec{}, [](TinySpec& s) {
         s.arch = "llama";
         s.heads = 6, s.kv_heads = 3, s.head_dim = 6;  // odd pair counts, q_dim not a block multiple
         s.matrix_types = {F32, Q5_1, IQ4_NL};
       })},
      {"wide_heads", with(TinySpec{}, [](TinySpec& s) {
         s.heads = 3, s.kv_heads = 1, s.head_dim = 72;  // whole vectors of the head and a tail
         s.qkv_bias = true;
         s.sinks = 3;
         s.matrix_types = {F32, Q8_0};
       })},
      {"no_layers", with(TinySpec{}, [](TinySpec& s) { s.layers = 0; })},
  };
}

class PrefillMatchesOneByOne : public testing::TestWithParam<ModelCase> {};

struct LevelGuard {
  explicit LevelGuard(SimdLevel l) { set_simd_level(l); }
  ~LevelGuard() { set_simd_level(detected_simd_level()); }
};

std::vector<SimdLevel> levels_here() {
  std::vector<SimdLevel> out = {SimdLevel::Scalar};
  if (detected_simd_level() >= SimdLevel::Avx2) out.push_back(SimdLevel::Avx2);
  if (detected_simd_level() >= SimdLevel::Avx512) out.push_back(SimdLevel::Avx512);
  return out;
}

// Prompt lengths of one id, two, a few and more than four vector groups, with chunks that
// cut the prompt at awkward places, on every instruction-set level.
TEST_P(PrefillMatchesOneByOne, CacheAndLogitsForEveryLengthAndChunking) {
  const ModelCase& c = GetParam();
  test::TinyModel model = test::make_tiny_model(c.spec);
  test::LoadedModel m = test::load_model(model.builder);
  struct Run {
    std::size_t length, chunk;
  };
  const Run runs[] = {{1, kPrefillChunk}, {2, kPrefillChunk}, {7, kPrefillChunk}, {7, 3},
                      {70, kPrefillChunk}, {70, 16}, {70, 69}, {70, 1}};
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (const Run& r : runs) {
      SCOPED_TRACE(std::string(simd_level_name(level)) + ": " + std::to_string(r.length) + " ids in chunks of " +
                   std::to_string(r.chunk));
      std::vector<std::size_t> ids = some_ids(r.length, c.spec.vocab, static_cast<uint32_t>(r.length));
      KvCache want_cache = KvCache::empty(m.config);
      std::vector<float> want = one_by_one(ids, m.config, m.weights, want_cache, 0);
      KvCache cache = KvCache::empty(m.config);
      std::vector<float> got = prefill(ids, m.config, m.weights, cache, r.chunk);
      ASSERT_EQ(got.size(), c.spec.vocab);
      EXPECT_EQ(bits_of(got), bits_of(want));
      expect_same_cache(cache, want_cache);
    }
  }
}

// A prefill onto a cache that already holds positions continues from them.
TEST_P(PrefillMatchesOneByOne, ContinuesACacheThatHoldsPositions) {
  const ModelCase& c = GetParam();
  test::TinyModel model = test::make_tiny_model(c.spec);
  test::LoadedModel m = test::load_model(model.builder);
  std::vector<std::size_t> ids = some_ids(23, c.spec.vocab, 5);
  KvCache want_cache = KvCache::empty(m.config);
  std::vector<float> want = one_by_one(ids, m.config, m.weights, want_cache, 0);
  KvCache cache = KvCache::empty(m.config);
  std::span<const std::size_t> all(ids);
  prefill(all.first(9), m.config, m.weights, cache);
  std::vector<float> got = prefill(all.subspan(9), m.config, m.weights, cache, 5);
  EXPECT_EQ(bits_of(got), bits_of(want));
  expect_same_cache(cache, want_cache);
}

INSTANTIATE_TEST_SUITE_P(Models, PrefillMatchesOneByOne, testing::ValuesIn(model_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Prompts long enough for several chunks and for the attention's tasks of 256 cache rows, on
// grouped heads of 80 elements with sinks and on heads as many as key/value heads, at every
// instruction-set level.
TEST(Prefill, LongPromptsMatchOneByOneOnEveryLevel) {
  using namespace GgmlType;
  const TinySpec specs[] = {with(TinySpec{}, [](TinySpec& s) {
                              s.embed = 64, s.heads = 8, s.kv_heads = 2, s.head_dim = 80, s.layers = 1;
                              s.sinks = 8;
                              s.matrix_types = {F32, Q8_0};
                            }),
                            with(TinySpec{}, [](TinySpec& s) { s.heads = 4, s.kv_heads = 4, s.layers = 1; })};
  for (const TinySpec& spec : specs) {
    test::TinyModel model = test::make_tiny_model(spec);
    test::LoadedModel m = test::load_model(model.builder);
    std::vector<std::size_t> ids = some_ids(290, spec.vocab, 12);
    KvCache want_cache = KvCache::empty(m.config);
    std::vector<float> want = one_by_one(ids, m.config, m.weights, want_cache, 0);
    for (SimdLevel level : levels_here()) {
      LevelGuard guard(level);
      for (std::size_t chunk : {kPrefillChunk, std::size_t{37}}) {
        SCOPED_TRACE(std::string(simd_level_name(level)) + ", " + std::to_string(spec.heads) + " heads, chunks of " +
                     std::to_string(chunk));
        KvCache cache = KvCache::empty(m.config);
        EXPECT_EQ(bits_of(prefill(ids, m.config, m.weights, cache, chunk)), bits_of(want));
        expect_same_cache(cache, want_cache);
      }
    }
  }
}

TEST(Prefill, RefusesAnEmptyPromptAndOutOfRangeIdsBeforeTouchingTheCache) {
  test::TinyModel model = test::make_tiny_model(TinySpec{});
  test::LoadedModel m = test::load_model(model.builder);
  KvCache cache = KvCache::empty(m.config);
  EXPECT_EQ(test::fatal_message([&] { prefill({}, m.config, m.weights, cache); }), "empty prompt");
  const std::vector<std::size_t> ids = {3, 4, 16, 17};
  EXPECT_EQ(test::fatal_message([&] { prefill(ids, m.config, m.weights, cache); }),
            "token 16 out of vocab range 16");
  for (const LayerCache& lc : cache.layers) {
    EXPECT_TRUE(lc.keys.empty());
    EXPECT_TRUE(lc.values.empty());
  }
}

// ---- stories260K ----------------------------------------------------------------------------

struct StoriesPrefill : testing::Test {
  static void SetUpTestSuite() {
    model = new test::LoadedModel(test::load_model(std::string(KORVEX_SOURCE_DIR) + "/models/stories260K.gguf"));
  }
  static void TearDownTestSuite() { delete model; }
  static test::LoadedModel* model;
};
test::LoadedModel* StoriesPrefill::model = nullptr;

TEST_F(StoriesPrefill, PrefillOfALongPromptMatchesOneByOne) {
  const ModelConfig& config = model->config;
  std::vector<std::size_t> ids = some_ids(150, config.vocab, 9);
  ids[0] = 1;
  KvCache want_cache = KvCache::empty(config);
  std::vector<float> want = one_by_one(ids, config, model->weights, want_cache, 0);
  KvCache cache = KvCache::empty(config);
  std::vector<float> got = prefill(ids, config, model->weights, cache);
  EXPECT_EQ(bits_of(got), bits_of(want));
  expect_same_cache(cache, want_cache);
}

// generate runs its prompt through prefill; the ids it then picks are those of the loop fed
// one forward call per prompt id.
TEST_F(StoriesPrefill, GenerateGivesTheIdsOfTheOneByOneLoop) {
  const ModelConfig& config = model->config;
  std::vector<std::size_t> prompt = some_ids(33, config.vocab, 4);
  prompt[0] = 1;
  GenerateParams params;
  params.max_tokens = 40;
  params.temperature = 0.8f;
  params.top_k = 20;
  params.seed = 7;
  const TokenSink sink = [](std::string_view) {};

  KvCache cache = KvCache::empty(config);
  const ModelStep step = [&](std::size_t token, std::size_t pos, bool want_logits) {
    if (want_logits) return forward_logits(token, pos, config, model->weights, cache);
    forward(token, pos, config, model->weights, cache);
    return std::vector<float>{};
  };
  std::vector<std::size_t> want = run_generation(prompt, params, nullptr, step, sink);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(generate(prompt, params, config, model->weights, nullptr, sink), want);
}

}  // namespace
}  // namespace korvex
