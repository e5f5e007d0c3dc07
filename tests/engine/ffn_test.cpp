#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/ffn.hpp"
#include "reference_forward.hpp"
#include "tiny_model.hpp"

namespace korvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::nanf("");

std::vector<std::size_t> order_of(std::vector<float> logits) {
  std::vector<std::size_t> order;
  for (const ExpertCandidate& c : rank_experts(logits)) order.push_back(c.index);
  return order;
}

TEST(RankExperts, LargestFirstUnderTheTotalOrderWithTiesInIndexOrder) {
  struct Case {
    const char* what;
    std::vector<float> logits;
    std::vector<std::size_t> order;
  };
  const Case cases[] = {
      {"equal logits keep index order", {0.5f, 2.0f, 2.0f, -1.0f}, {1, 2, 0, 3}},
      {"+0 before -0", {-0.0f, 0.0f}, {1, 0}},
      {"+NaN first, -NaN last", {1.0f, kNaN, -kInf, -kNaN, kInf}, {1, 4, 0, 2, 3}},
      {"twenty equal logits", std::vector<float>(20, 3.0f),
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
  };
  for (const Case& c : cases) EXPECT_EQ(order_of(c.logits), c.order) << c.what;
}

TEST(Activations, ExpertGateClipsTheGateFromAboveAndClampsTheUpValue) {
  for (float u : {0.5f, -3.0f}) {
    EXPECT_EQ(expert_gate(100.0f, u), expert_gate(7.0f, u));
    EXPECT_EQ(expert_gate(kNaN, u), expert_gate(7.0f, u));
    // No clip from below: a very negative gate silences the expert entirely.
    EXPECT_NE(expert_gate(-100.0f, u), expert_gate(-7.0f, u));
  }
  for (float g : {0.75f, -2.0f, 100.0f}) {
    float glu = expert_gate(g, 0.0f);  // u = 0 gives the factor 1
    EXPECT_EQ(expert_gate(g, 100.0f), 8.0f * glu);
    EXPECT_EQ(expert_gate(g, -100.0f), -6.0f * glu);
    EXPECT_TRUE(std::isnan(expert_gate(g, kNaN)));
  }
  EXPECT_NEAR(expert_gate(1.0f, 0.0f), 1.0 / (1.0 + std::exp(-1.702)), 1e-6);
}

TEST(Activations, DenseGateIsGTimesSigmoidGTimesU) {
  for (float u : {3.0f, -1.5f, 0.0f}) EXPECT_EQ(silu_gate(0.0f, u), 0.0f);
  for (float g : {1.0f, -2.5f, 6.0f})
    EXPECT_NEAR(silu_gate(g, 1.5f), g / (1.0 + std::exp(-double(g))) * 1.5, 1e-5);
}

// ---- The expert block on a tiny model ------------------------------------------------------

// The router matrix is replaced so that with xn = all ones expert r scores exactly logits[r]
// (the other entries are -0.0, which keeps a -0.0 logit negative).
struct MoeCase {
  const char* name;
  std::vector<float> logits;
  std::size_t k;
  bool only_gate_bias;
  std::vector<std::size_t> chosen;  // empty with k = 0; all-NaN result when `nan`
  bool nan;
};

void PrintTo(const MoeCase& c, std::ostream* os) { *os << c.name; }

struct MoeBlock {
  test::TinyModel model;
  test::LoadedModel loaded;
};

MoeBlock moe_block(const MoeCase& c) {
  test::TinySpec s;
  s.arch = "gpt-oss";
  s.embed = 4, s.ffn = 3, s.heads = 1, s.kv_heads = 1, s.head_dim = 4, s.layers = 1;
  s.n_experts = c.logits.size(), s.n_experts_used = c.logits.size();
  s.gate_exps_bias = true;
  s.up_exps_bias = s.down_exps_bias = !c.only_gate_bias;
  MoeBlock b{test::make_tiny_model(s), {}};
  std::vector<float> router(s.n_experts * s.embed, -0.0f);
  for (std::size_t r = 0; r < s.n_experts; ++r) router[r * s.embed] = c.logits[r];
  test::set_tensor_f32(b.model, "blk.0.ffn_gate_inp.weight", {s.n_experts * s.embed}, router);
  b.loaded = test::load_model(b.model.builder);
  b.loaded.config.n_experts_used = c.k;
  return b;
}

// Expert e's output, from the kept values with plain loops.
std::vector<float> expert_out(const test::TinyModel& m, std::size_t e, const std::vector<float>& xn) {
  const test::TinySpec& s = m.spec;
  using R = test::ReferenceModel;
  std::size_t per = s.ffn * s.embed;
  auto g = R::mat(m.at("blk.0.ffn_gate_exps.weight"), s.ffn, s.embed, xn, e * per);
  auto u = R::mat(m.at("blk.0.ffn_up_exps.weight"), s.ffn, s.embed, xn, e * per);
  for (std::size_t i = 0; i < s.ffn; ++i) {
    g[i] += m.at("blk.0.ffn_gate_exps.bias")[e * s.ffn + i];
    if (s.up_exps_bias) u[i] += m.at("blk.0.ffn_up_exps.bias")[e * s.ffn + i];
  }
  std::vector<float> a(s.ffn);
  for (std::size_t i = 0; i < s.ffn; ++i) a[i] = expert_gate(g[i], u[i]);
  auto dn = R::mat(m.at("blk.0.ffn_down_exps.weight"), s.embed, s.ffn, a, e * per);
  if (s.down_exps_bias)
    for (std::size_t i = 0; i < s.embed; ++i) dn[i] += m.at("blk.0.ffn_down_exps.bias")[e * s.embed + i];
  return dn;
}

class MoeFfn : public testing::TestWithParam<MoeCase> {};

TEST_P(MoeFfn, MixesTheChosenExpertsBySoftmaxOverTheirLogits) {
  const MoeCase& c = GetParam();
  MoeBlock b = moe_block(c);
  const test::LoadedModel& m = b.loaded;
  std::vector<float> xn(4, 1.0f);
  std::vector<float> got = moe_ffn(xn, m.weights.moe[0], m.config, m.weights);
  ASSERT_EQ(got.size(), 4u);
  if (c.nan) {
    for (float v : got) EXPECT_TRUE(std::isnan(v));
    return;
  }
  std::vector<float> want(4, 0.0f);
  if (!c.chosen.empty()) {
    float mx = c.logits[c.chosen[0]];
    float z = -0.0f;
    for (std::size_t e : c.chosen) z = expf(c.logits[e] - mx) + z;
    for (std::size_t e : c.chosen) {
      float w = expf(c.logits[e] - mx) / z;
      std::vector<float> dn = expert_out(b.model, e, xn);
      for (std::size_t i = 0; i < 4; ++i) want[i] = dn[i] * w + want[i];
    }
  }
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i]), std::bit_cast<uint32_t>(want[i])) << i << ": " << got[i] << " vs " << want[i];
}

INSTANTIATE_TEST_SUITE_P(
    Routing, MoeFfn,
    testing::Values(
        MoeCase{"tie_keeps_index_order", {0.5f, 2.0f, 2.0f, -1.0f}, 2, false, {1, 2}, false},
        MoeCase{"one_expert_has_weight_one", {0.25f, -1.0f, 1.5f}, 1, false, {2}, false},
        MoeCase{"positive_zero_beats_negative_zero", {-0.0f, 0.0f, -1.0f}, 1, false, {1}, false},
        MoeCase{"all_experts_in_logit_order", {0.5f, -0.25f, 1.0f}, 3, false, {2, 0, 1}, false},
        MoeCase{"only_the_gate_has_a_bias", {1.0f, 0.5f, -0.5f}, 2, true, {0, 1}, false},
        MoeCase{"no_expert_gives_zeros", {1.0f, 2.0f}, 0, false, {}, false},
        MoeCase{"positive_nan_is_chosen_and_poisons", {1.0f, kNaN, 0.0f}, 1, false, {}, true},
        MoeCase{"negative_nan_is_left_out", {1.0f, -kNaN, 0.5f, 2.0f}, 3, false, {3, 0, 2}, false},
        MoeCase{"negative_nan_chosen_when_all_are", {1.0f, -kNaN, 0.5f}, 3, false, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeedForward, WithoutExpertsUsedTheLayerPassesItsInputThrough) {
  MoeBlock b = moe_block({"", {1.0f, 2.0f}, 0, false, {}, false});
  std::vector<float> h = {0.5f, -1.25f, 3.0f, 2.0f};
  std::vector<float> x = feed_forward(h, 0, b.loaded.config, b.loaded.weights);
  EXPECT_EQ(x, h);
}

}  // namespace
}  // namespace korvex
