#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "common/pool.hpp"
#include "engine/forward.hpp"
#include "engine/kv_cache.hpp"
#include "engine/logits.hpp"
#include "engine/rope.hpp"
#include "reference_forward.hpp"
#include "tiny_model.hpp"

namespace korvex {
namespace {

using test::TinySpec;

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> b(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) b[i] = std::bit_cast<uint32_t>(v[i]);
  return b;
}

// ---- The whole step against the reference -------------------------------------------------

struct ReferenceCase {
  const char* name;
  TinySpec spec;
  bool exact;  // products sum like the reference: compare bits
  std::size_t positions = 5;
};

void PrintTo(const ReferenceCase& c, std::ostream* os) { *os << c.name; }

TinySpec with(TinySpec s, auto&& change) {
  change(s);
  return s;
}

std::vector<ReferenceCase> reference_cases() {
  using namespace GgmlType;
  return {
      {"dense_biases_grouped_heads_mixed_types", with(TinySpec{}, [](TinySpec& s) {
         s.qkv_bias = s.output_bias = true;
         s.matrix_types = {F32, F16, BF16, Q8_0, Q5_0};
       }), true},
      {"experts_sinks_biases_yarn", with(TinySpec{}, [](TinySpec& s) {
         s.arch = "gpt-oss";
         s.n_experts = 4, s.n_experts_used = 2;
         s.sinks = s.heads;
         s.router_bias = s.gate_exps_bias = s.up_exps_bias = s.down_exps_bias = true;
         s.qkv_bias = s.output_bias = true;
         // Wavelengths 6.3, 63, 628, 6283 against L = 64: blended, mostly scaled, scaled.
         s.rope_scale = 4.0f, s.orig_ctx = 64;
         s.post_attention_norm = true;
         s.matrix_types = {F32, BF16};
       }), true},
      {"llama_pairing_without_biases", with(TinySpec{}, [](TinySpec& s) { s.arch = "llama"; }), true},
      {"no_architecture_key_split_halves", with(TinySpec{}, [](TinySpec& s) { s.arch.reset(); }), true},
      {"no_layers", with(TinySpec{}, [](TinySpec& s) { s.layers = 0; }), true},
      {"row_kernel_types", with(TinySpec{}, [](TinySpec& s) {
         s.qkv_bias = true;
         s.matrix_types = {Q5_1, IQ4_NL, F32};
       }), false},
      // Enough cache rows for the vector kernels, for more than one range of 256 rows, and
      // (from 256 positions on) for the attention's work on the token region's threads.
      {"long_context_attention_on_the_pool", with(TinySpec{}, [](TinySpec& s) {
         s.embed = 64, s.heads = 8, s.kv_heads = 2, s.head_dim = 64, s.layers = 1, s.ffn = 32;
         s.sinks = s.heads;
         s.matrix_types = {F32, Q8_0};
       }), true, 300},
      // Heads of 80 (whole vectors and a part), unevenly grouped, sinks for some.
      {"long_context_odd_heads_uneven_groups", with(TinySpec{}, [](TinySpec& s) {
         s.embed = 64, s.heads = 6, s.kv_heads = 4, s.head_dim = 80, s.layers = 1, s.ffn = 32;
         s.sinks = 4;
       }), true, 280},
  };
}

class ForwardMatchesReference : public testing::TestWithParam<ReferenceCase> {};

TEST_P(ForwardMatchesReference, OverSeveralPositions) {
  const ReferenceCase& c = GetParam();
  test::TinyModel model = test::make_tiny_model(c.spec);
  test::LoadedModel loaded = test::load_model(model.builder);
  test::ReferenceModel ref(model);
  KvCache cache = KvCache::empty(loaded.config);
  const std::size_t tokens[] = {3, 7, 0, 15, 7};
  for (std::size_t pos = 0; pos < c.positions; ++pos) {
    SCOPED_TRACE("pos " + std::to_string(pos));
    std::size_t token = pos < std::size(tokens) ? tokens[pos] : (7 * pos + 3) % loaded.config.vocab;
    std::vector<float> got = forward_logits(token, pos, loaded.config, loaded.weights, cache);
    std::vector<float> want = ref.logits(token, pos);
    ASSERT_EQ(got.size(), c.spec.vocab);
    if (c.exact) {
      EXPECT_EQ(bits_of(got), bits_of(want));
    } else {
      for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-4f * std::max(1.0f, std::fabs(want[i]))) << "logit " << i;
    }
    std::size_t kv_dim = c.spec.kv_heads * c.spec.head_dim;
    for (const LayerCache& lc : cache.layers) {
      EXPECT_EQ(lc.keys.size(), (pos + 1) * kv_dim);
      EXPECT_EQ(lc.values.size(), (pos + 1) * kv_dim);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, ForwardMatchesReference, testing::ValuesIn(reference_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Every product, the attention heads and the gates of a step split by thread count: the
// logits of every position must not show it.
TEST_P(ForwardMatchesReference, DoesNotDependOnTheThreadCount) {
  const ReferenceCase& c = GetParam();
  test::TinyModel model = test::make_tiny_model(c.spec);
  test::LoadedModel loaded = test::load_model(model.builder);
  auto run = [&] {
    KvCache cache = KvCache::empty(loaded.config);
    std::vector<std::vector<uint32_t>> steps;
    for (std::size_t pos = 0; pos < c.positions; ++pos)
      steps.push_back(bits_of(forward_logits((7 * pos + 3) % loaded.config.vocab, pos, loaded.config, loaded.weights, cache)));
    return steps;
  };
  const auto all = run();
  tbb::task_arena one(1), three(3);
  for (tbb::task_arena* arena : {&one, &three}) {
    ScopedArena scope(*arena);
    EXPECT_TRUE(run() == all) << arena->max_concurrency() << " threads";
  }
}

TEST(Forward, WithoutLayersReturnsTheEmbeddingRowAndLeavesTheCache) {
  TinySpec s;
  s.layers = 0;
  test::TinyModel model = test::make_tiny_model(s);
  test::LoadedModel m = test::load_model(model.builder);
  KvCache cache = KvCache::empty(m.config);
  std::vector<float> x = forward(5, 0, m.config, m.weights, cache);
  const auto& e = model.at("token_embd.weight");
  EXPECT_EQ(x, std::vector<float>(e.begin() + 5 * s.embed, e.begin() + 6 * s.embed));
  EXPECT_TRUE(cache.layers.empty());
}

TEST(Forward, TokenIdsAtOrAboveVocabStopBeforeTheCacheChanges) {
  test::TinyModel model = test::make_tiny_model(TinySpec{});
  test::LoadedModel m = test::load_model(model.builder);
  KvCache cache = KvCache::empty(m.config);
  EXPECT_EQ(test::fatal_message([&] { forward_logits(16, 0, m.config, m.weights, cache); }),
            "token 16 out of vocab range 16");
  for (const LayerCache& lc : cache.layers) EXPECT_TRUE(lc.keys.empty() && lc.values.empty());
  EXPECT_EQ(forward_logits(15, 0, m.config, m.weights, cache).size(), 16u);
}

TEST(Forward, RefusesACacheThatDoesNotHoldExactlyThePriorPositions) {
  test::TinyModel model = test::make_tiny_model(TinySpec{});
  test::LoadedModel m = test::load_model(model.builder);
  KvCache cache = KvCache::empty(m.config);
  EXPECT_NE(test::fatal_message([&] { forward(1, 2, m.config, m.weights, cache); })
                .find("kv cache of layer 0"),
            std::string::npos);
  KvCache short_cache;
  EXPECT_NE(test::fatal_message([&] { forward(1, 0, m.config, m.weights, short_cache); })
                .find("kv cache has 0 layers"),
            std::string::npos);
}

// ---- Attention at position 0 ----------------------------------------------------------------

// With a zero query every score is 0, and with an identity output projection the attention
// output is each head's weighted value row; at position 0 the weight is 1 / (1 + exp(sink)).
struct GroupCase {
  std::size_t heads, kv_heads;
};

void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.heads << " heads over " << c.kv_heads; }

class AttentionAtFirstPosition : public testing::TestWithParam<GroupCase> {};

TEST_P(AttentionAtFirstPosition, CopiesTheGroupsValueRowScaledBySink) {
  TinySpec s;
  s.heads = GetParam().heads;
  s.kv_heads = GetParam().kv_heads;
  s.head_dim = 8;
  s.embed = s.heads * s.head_dim;
  s.layers = 1;
  s.qkv_bias = true;
  test::TinyModel model = test::make_tiny_model(s);
  std::size_t q_dim = s.heads * s.head_dim;
  test::set_tensor_f32(model, "blk.0.attn_q.weight", {s.embed, q_dim}, std::vector<float>(q_dim * s.embed, 0.0f));
  test::set_tensor_f32(model, "blk.0.attn_q.bias", {q_dim}, std::vector<float>(q_dim, 0.0f));
  std::vector<float> identity(s.embed * q_dim, 0.0f);
  for (std::size_t i = 0; i < s.embed; ++i) identity[i * q_dim + i] = 1.0f;
  test::set_tensor_f32(model, "blk.0.attn_output.weight", {q_dim, s.embed}, identity);
  // Fewer sinks than heads: head 0 has sink 0, head 1 -inf, head 2 NaN, the rest none.
  test::set_tensor_f32(model, "blk.0.attn_sinks.weight", {3}, {0.0f, -kInf, std::nanf("")});
  test::LoadedModel m = test::load_model(model.builder);

  KvCache cache = KvCache::empty(m.config);
  StepContext step = step_context(m.config, m.weights, 0);
  std::vector<float> y(s.embed);
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = 0.25f * static_cast<float>(i % 5) - 0.5f;
  std::vector<float> o = self_attention(y, 0, step, m.config, m.weights, cache);

  const std::vector<float>& v = cache.layers[0].values;
  ASSERT_EQ(v.size(), s.kv_heads * s.head_dim);
  for (std::size_t h = 0; h < s.heads; ++h) {
    std::size_t kv_h = h * s.kv_heads / s.heads;
    float weight = h == 0 ? 0.5f : 1.0f;
    for (std::size_t d = 0; d < s.head_dim; ++d)
      EXPECT_EQ(o[h * s.head_dim + d], weight * v[kv_h * s.head_dim + d]) << "head " << h << " d " << d;
  }
}

INSTANTIATE_TEST_SUITE_P(Groupings, AttentionAtFirstPosition,
                         testing::Values(GroupCase{4, 2}, GroupCase{4, 4}, GroupCase{4, 1},
                                         GroupCase{6, 4}),
                         [](const auto& info) {
                           return std::to_string(info.param.heads) + "q_" +
                                  std::to_string(info.param.kv_heads) + "kv";
                         });

// ---- Rotation -------------------------------------------------------------------------------

ModelConfig rope_config(std::size_t head_dim, float scale = 1.0f, std::size_t orig_ctx = 0) {
  ModelConfig c;
  c.head_dim = head_dim;
  c.rope_freq_base = 10000.0f;
  c.rope_scale = scale;
  c.orig_ctx = orig_ctx;
  return c;
}

// Pairs (a, b) of one head that rotate together, pair i at angle pos / 10000^(2i/head_dim).
std::vector<float> rotate_expected(std::vector<float> v, std::size_t head_dim, std::size_t pos,
                                   bool interleaved) {
  std::size_t half = head_dim / 2;
  for (std::size_t h = 0; h < v.size() / head_dim; ++h)
    for (std::size_t i = 0; i < half; ++i) {
      std::size_t a = h * head_dim + (interleaved ? 2 * i : i);
      std::size_t b = interleaved ? a + 1 : a + half;
      double angle = pos * std::pow(10000.0, -2.0 * i / head_dim);
      double x0 = v[a], x1 = v[b];
      v[a] = static_cast<float>(std::cos(angle) * x0 - std::sin(angle) * x1);
      v[b] = static_cast<float>(std::sin(angle) * x0 + std::cos(angle) * x1);
    }
  return v;
}

TEST(Rope, PairsSplitHalvesOrAdjacentElements) {
  struct Case {
    std::size_t head_dim;
    bool interleaved;
  };
  for (Case c : {Case{8, false}, Case{8, true}, Case{3, false}, Case{3, true}, Case{1, true}}) {
    SCOPED_TRACE("head_dim " + std::to_string(c.head_dim) + (c.interleaved ? " adjacent" : " halves"));
    ModelConfig config = rope_config(c.head_dim);
    std::vector<float> v(2 * c.head_dim);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 1.0f + static_cast<float>(i);
    std::vector<float> rotated = v;
    apply_rope(rotated, 2, rope_table(config, rope_scaling(config), 3, c.interleaved));
    std::vector<float> want = rotate_expected(v, c.head_dim, 3, c.interleaved);
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(rotated[i], want[i], 1e-5f) << i;
    if (c.head_dim % 2 == 1) {  // the odd last element of each head stays as it was
      for (std::size_t h = 0; h < 2; ++h)
        EXPECT_EQ(rotated[h * c.head_dim + c.head_dim - 1], v[h * c.head_dim + c.head_dim - 1]);
    }
    std::vector<float> at_zero = v;
    apply_rope(at_zero, 2, rope_table(config, rope_scaling(config), 0, c.interleaved));
    EXPECT_EQ(at_zero, v);
  }
}

TEST(Rope, YarnSwitchesOnOnlyWithScaleAboveOneAndAnOriginalContext) {
  struct Case {
    float scale;
    std::size_t orig_ctx;
    bool blend_off;
    bool factor_is_one;
  };
  const Case cases[] = {
      {1.0f, 4096, true, true}, {0.5f, 4096, true, true}, {4.0f, 0, true, true},
      {4.0f, 4096, false, false}, {std::nanf(""), 4096, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("scale " + std::to_string(c.scale) + " orig_ctx " + std::to_string(c.orig_ctx));
    RopeScaling r = rope_scaling(rope_config(64, c.scale, c.orig_ctx));
    EXPECT_EQ(r.blend_off, c.blend_off);
    EXPECT_EQ(r.attention_factor == 1.0f, c.factor_is_one);
  }
  RopeScaling r = rope_scaling(rope_config(64, 4.0f, 4096));
  EXPECT_EQ(r.blend_span, 3968.0f);
  EXPECT_NEAR(r.attention_factor, std::pow(0.1 * std::log(4.0) + 1.0, 2.0), 1e-6);
}

TEST(Rope, YarnScalesLongWavelengthsAndKeepsShortOnes) {
  ModelConfig plain = rope_config(64);
  ModelConfig yarn = rope_config(64, 4.0f, 4096);
  RopeScaling off = rope_scaling(plain), on = rope_scaling(yarn);
  std::size_t scaled = 0, kept = 0, mixed = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    float base = rope_frequency(i, plain, off);
    float f = rope_frequency(i, yarn, on);
    double wavelength = 2 * M_PI / base;
    if (wavelength >= 4096) {
      EXPECT_EQ(f, base / 4.0f) << i;
      ++scaled;
    } else if (wavelength <= 128) {
      EXPECT_EQ(f, base) << i;
      ++kept;
    } else {
      EXPECT_GT(f, base / 4.0f) << i;
      EXPECT_LT(f, base) << i;
      ++mixed;
    }
  }
  EXPECT_GT(scaled, 0u);
  EXPECT_GT(kept, 0u);
  EXPECT_GT(mixed, 0u);
}

// ---- A real model ---------------------------------------------------------------------------

std::vector<std::size_t> published_greedy_ids() {
  std::ifstream in(std::string(KORVEX_SOURCE_DIR) + "/tests/engine/stories260K.greedy256.txt");
  std::string line;
  while (std::getline(in, line) && line.starts_with("#")) {
  }
  std::istringstream ids(line);
  std::vector<std::size_t> out;
  for (std::size_t id; ids >> id;) out.push_back(id);
  return out;
}

std::size_t argmax(const std::vector<float>& v) {
  return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

struct Stories : testing::Test {
  static void SetUpTestSuite() {
    model = new test::LoadedModel(test::load_model(std::string(KORVEX_SOURCE_DIR) + "/models/stories260K.gguf"));
  }
  static void TearDownTestSuite() { delete model; }
  static test::LoadedModel* model;
};
test::LoadedModel* Stories::model = nullptr;

TEST_F(Stories, GreedyContinuationOfTheBeginningIdIsThePublishedStory) {
  std::vector<std::size_t> want = published_greedy_ids();
  ASSERT_EQ(want.size(), 256u);
  EXPECT_TRUE(model->weights.rope_interleaved);
  KvCache cache = KvCache::empty(model->config);
  std::size_t token = 1;
  std::vector<std::size_t> got;
  for (std::size_t pos = 0; pos < want.size(); ++pos) {
    token = argmax(forward_logits(token, pos, model->config, model->weights, cache));
    got.push_back(token);
  }
  EXPECT_EQ(got, want);
}

TEST_F(Stories, LogitsDoNotDependOnTheThreadCount) {
  auto run = [&] {
    KvCache cache = KvCache::empty(model->config);
    std::vector<std::vector<float>> steps;
    for (std::size_t pos = 0; pos < 4; ++pos)
      steps.push_back(forward_logits(pos == 0 ? 1 : 403 + pos, pos, model->config, model->weights, cache));
    return steps;
  };
  std::vector<std::vector<float>> many = run();
  tbb::task_arena one(1);
  ScopedArena single(one);
  std::vector<std::vector<float>> alone = run();
  ASSERT_EQ(many.size(), alone.size());
  for (std::size_t i = 0; i < many.size(); ++i) EXPECT_EQ(bits_of(many[i]), bits_of(alone[i]));
}

}  // namespace
}  // namespace korvex
