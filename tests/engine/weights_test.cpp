#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/weights.hpp"
#include "tiny_model.hpp"

namespace korvex {
namespace {

using test::TinyModel;
using test::TinySpec;

TinySpec moe_spec() {
  TinySpec s;
  s.arch = "gpt-oss";
  s.n_experts = 4, s.n_experts_used = 2;
  return s;
}

// ---- Which tensors are needed, and in what order they are looked for -------------------------

struct MissingCase {
  const char* name;
  TinySpec spec;
  std::vector<std::string> removed;
  std::string message;
};

void PrintTo(const MissingCase& c, std::ostream* os) { *os << c.name; }

class MissingTensor : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingTensor, StopsNamingTheFirstOneInLoadingOrder) {
  const MissingCase& c = GetParam();
  TinyModel m = test::make_tiny_model(c.spec);
  for (const auto& name : c.removed) test::remove_tensor(m, name);
  EXPECT_EQ(test::fatal_message([&] { test::load_model(m.builder); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Loading, MissingTensor,
    testing::Values(
        MissingCase{"query_matrix", TinySpec{}, {"blk.0.attn_q.weight"}, "tensor not found: blk.0.attn_q.weight"},
        MissingCase{"norm_before_matrices", TinySpec{}, {"blk.0.attn_q.weight", "blk.0.attn_norm.weight"},
                    "tensor not found: blk.0.attn_norm.weight"},
        MissingCase{"feed_forward_norm_named_as_ffn_norm", TinySpec{}, {"blk.1.ffn_norm.weight"},
                    "tensor not found: blk.1.ffn_norm.weight"},
        MissingCase{"dense_gate", TinySpec{}, {"blk.0.ffn_gate.weight"}, "tensor not found: blk.0.ffn_gate.weight"},
        MissingCase{"router_of_an_expert_model", moe_spec(), {"blk.0.ffn_gate_inp.weight"},
                    "tensor not found: blk.0.ffn_gate_inp.weight"},
        MissingCase{"embedding_only_after_every_layer", TinySpec{},
                    {"token_embd.weight", "blk.1.attn_output.weight"}, "tensor not found: blk.1.attn_output.weight"},
        MissingCase{"embedding", TinySpec{}, {"token_embd.weight"}, "tensor not found: token_embd.weight"},
        MissingCase{"output_before_output_norm", TinySpec{}, {"output_norm.weight", "output.weight"},
                    "tensor not found: output.weight"},
        MissingCase{"output_norm", TinySpec{}, {"output_norm.weight"}, "tensor not found: output_norm.weight"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WeightsLoad, DenseAndExpertModelsFillOnlyTheirOwnFeedForwardTensors) {
  TinySpec dense;
  dense.layers = 3;
  test::LoadedModel d = test::load_model(test::make_tiny_model(dense).builder);
  EXPECT_EQ(d.weights.ffn_gate.size(), 3u);
  EXPECT_EQ(d.weights.ffn_down.size(), 3u);
  EXPECT_TRUE(d.weights.moe.empty());

  // An expert model has no dense tensors at all, and needs none.
  TinySpec s = moe_spec();
  s.layers = 3;
  test::LoadedModel e = test::load_model(test::make_tiny_model(s).builder);
  EXPECT_TRUE(e.weights.ffn_gate.empty() && e.weights.ffn_up.empty() && e.weights.ffn_down.empty());
  ASSERT_EQ(e.weights.moe.size(), 3u);
  EXPECT_EQ(e.weights.moe[2].gate_exps.name, "blk.2.ffn_gate_exps.weight");
  EXPECT_TRUE(e.weights.moe[0].gate_inp_bias.empty());
  EXPECT_TRUE(e.weights.moe[0].down_exps_bias.empty());
}

TEST(WeightsLoad, AbsentOptionalTensorsGetZeroBiasesOrEmptyVectors) {
  TinySpec s;
  s.heads = 4, s.kv_heads = 2, s.head_dim = 8;
  test::LoadedModel m = test::load_model(test::make_tiny_model(s).builder);
  for (std::size_t l = 0; l < s.layers; ++l) {
    EXPECT_EQ(m.weights.attn_q_bias[l], std::vector<float>(32, 0.0f));
    EXPECT_EQ(m.weights.attn_k_bias[l], std::vector<float>(16, 0.0f));
    EXPECT_EQ(m.weights.attn_v_bias[l], std::vector<float>(16, 0.0f));
    EXPECT_FALSE(std::signbit(m.weights.attn_q_bias[l][0]));
    EXPECT_TRUE(m.weights.attn_output_bias[l].empty());
    EXPECT_TRUE(m.weights.attn_sinks[l].empty());
  }
}

TEST(WeightsLoad, PresentTensorsAreReadAsStored) {
  TinySpec s;
  s.qkv_bias = s.output_bias = true;
  s.sinks = 3;
  s.post_attention_norm = true;
  TinyModel m = test::make_tiny_model(s);
  // With both norms in the file, the post-attention norm is the one used.
  test::set_tensor_f32(m, "blk.0.ffn_norm.weight", {32}, std::vector<float>(32, 9.0f));
  // A norm stored as F16 is dequantised at load.
  std::vector<uint8_t> half;
  for (int i = 0; i < 32; ++i) test::put_u16(half, test::exact_f16(0.5f + i / 64.0f));
  test::set_tensor(m, "blk.1.attn_norm.weight", {32}, GgmlType::F16, half);
  // The later of two records with one name wins.
  m.builder.tensor_f32("output_norm.weight", {32}, std::vector<float>(32, 2.0f));

  test::LoadedModel w = test::load_model(m.builder);
  EXPECT_EQ(w.weights.ffn_norm[0], m.at("blk.0.post_attention_norm.weight"));
  EXPECT_EQ(w.weights.attn_q_bias[1], m.at("blk.1.attn_q.bias"));
  EXPECT_EQ(w.weights.attn_output_bias[0], m.at("blk.0.attn_output.bias"));
  EXPECT_EQ(w.weights.attn_sinks[1], m.at("blk.1.attn_sinks.weight"));
  ASSERT_EQ(w.weights.attn_norm[1].size(), 32u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(w.weights.attn_norm[1][i], 0.5f + i / 64.0f);
  EXPECT_EQ(w.weights.output_norm, std::vector<float>(32, 2.0f));
  EXPECT_EQ(w.weights.attn_q[1].name, "blk.1.attn_q.weight");
  EXPECT_EQ(w.weights.file, w.file);
}

TEST(WeightsLoad, WithoutLayersOnlyTheThreeModelTensorsAreRead) {
  TinySpec s;
  s.layers = 0;
  TinyModel m = test::make_tiny_model(s);
  ASSERT_EQ(m.builder.tensors.size(), 3u);
  test::LoadedModel w = test::load_model(m.builder);
  EXPECT_TRUE(w.weights.attn_norm.empty() && w.weights.attn_q.empty() && w.weights.ffn_norm.empty());
  EXPECT_EQ(w.weights.token_embd.name, "token_embd.weight");
  EXPECT_EQ(w.weights.output.name, "output.weight");
}

TEST(WeightsLoad, OnlyLlamaFilesRotateAdjacentPairs) {
  struct Case {
    const char* what;
    std::optional<std::string> arch;  // written as general.architecture and used as key prefix
    bool numeric_arch;                // general.architecture holds a number instead
    bool interleaved;
  };
  const Case cases[] = {
      {"llama", "llama", false, true},       {"qwen2", "qwen2", false, false},
      {"gpt-oss", "gpt-oss", false, false},  {"Llama", "Llama", false, false},
      {"llama with a space", "llama ", false, false},
      {"no architecture key", std::nullopt, false, false},
      {"numeric architecture", std::nullopt, true, false},
  };
  for (const Case& c : cases) {
    TinySpec s;
    s.arch = c.arch;
    s.layers = 1;
    TinyModel m = test::make_tiny_model(s);
    if (c.numeric_arch) m.builder.kv("general.architecture", test::mv_u32(7));
    test::LoadedModel w = test::load_model(m.builder);
    EXPECT_EQ(w.weights.rope_interleaved, c.interleaved) << c.what;
  }
}

// ---- Sizes that the forward pass would read beyond -----------------------------------------

struct ShapeCase {
  const char* name;
  std::function<void(TinySpec&)> spec;
  std::function<void(TinyModel&)> change;
  std::string message;  // a part of the fatal stop's text
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class ShapeViolation : public testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeViolation, StopsAtLoadNamingTheTensorAndSizes) {
  const ShapeCase& c = GetParam();
  TinySpec s;
  s.qkv_bias = true;
  if (c.spec) c.spec(s);
  TinyModel m = test::make_tiny_model(s);
  if (c.change) c.change(m);
  std::string message = test::fatal_message([&] { test::load_model(m.builder); });
  EXPECT_NE(message.find(c.message), std::string::npos) << message;
}

auto shorten(std::string name, std::size_t n) {
  return [name, n](TinyModel& m) {
    std::vector<float> v = m.at(name);
    v.resize(n);
    test::set_tensor_f32(m, name, {n}, v);
  };
}

// A matrix of `rows` rows of `cols` F32 zeros.
auto f32_matrix(std::string name, std::size_t rows, std::size_t cols) {
  return [=](TinyModel& m) { test::set_tensor_f32(m, name, {cols, rows}, std::vector<float>(rows * cols, 0.0f)); };
}

INSTANTIATE_TEST_SUITE_P(
    Loading, ShapeViolation,
    testing::Values(
        ShapeCase{"short_query_bias", nullptr, shorten("blk.0.attn_q.bias", 31),
                  "tensor blk.0.attn_q.bias: 31 values, fewer than the 32 needed"},
        ShapeCase{"short_value_bias", nullptr, shorten("blk.1.attn_v.bias", 8),
                  "tensor blk.1.attn_v.bias: 8 values, fewer than the 16 needed"},
        ShapeCase{"short_attention_norm", nullptr, shorten("blk.1.attn_norm.weight", 31),
                  "blk.1.attn_norm.weight: 31 values"},
        ShapeCase{"short_feed_forward_norm", nullptr, shorten("blk.0.ffn_norm.weight", 16),
                  "blk.0.ffn_norm.weight (or post_attention_norm.weight): 16 values"},
        ShapeCase{"short_output_norm", nullptr, shorten("output_norm.weight", 1),
                  "output_norm.weight: 1 values"},
        ShapeCase{"embedding_with_fewer_rows_than_vocab", nullptr, f32_matrix("token_embd.weight", 15, 32),
                  "tensor token_embd.weight: 1920 bytes, fewer than the 2048 that 16 rows of 128 bytes need"},
        ShapeCase{"output_smaller_than_vocab_by_embed", nullptr, f32_matrix("output.weight", 16, 31),
                  "tensor output.weight: 1984 bytes, fewer than the 2048 that 16 rows of 32 columns need"},
        ShapeCase{"key_matrix_short_of_rows", nullptr, f32_matrix("blk.1.attn_k.weight", 15, 32),
                  "tensor blk.1.attn_k.weight: 1920 bytes, fewer than the 2048"},
        ShapeCase{"quantised_matrix_short_of_bytes", nullptr,
                  [](TinyModel& m) {
                    test::set_tensor(m, "blk.0.ffn_up.weight", {32, 31}, GgmlType::Q8_0,
                                     std::vector<uint8_t>(31 * 34, 0));
                  },
                  "tensor blk.0.ffn_up.weight: 1054 bytes, fewer than the 1088"},
        ShapeCase{"matrix_not_whole_blocks",
                  [](TinySpec& s) { s.embed = 40, s.ffn = 33; },
                  [](TinyModel& m) {
                    test::set_tensor(m, "blk.0.ffn_gate.weight", {40, 33}, GgmlType::Q8_0,
                                     std::vector<uint8_t>(41 * 34, 0));
                  },
                  "tensor blk.0.ffn_gate.weight: 33 rows of 40 columns are not a whole number of Q8_0 blocks"},
        ShapeCase{"row_kernel_reading_beyond_a_cut_embedding_row",
                  [](TinySpec& s) {
                    s.embed = 40;
                    s.matrix_types = {GgmlType::Q8_0, GgmlType::F32};  // embedding Q8_0: 32 of 40 values
                  },
                  nullptr, "tensor blk.0.attn_q.weight: its rows read 40 inputs but the vector has 32"},
        ShapeCase{"expert_tensor_short_of_experts", [](TinySpec& s) { s = moe_spec(); },
                  f32_matrix("blk.0.ffn_up_exps.weight", 3 * 32, 32),
                  "tensor blk.0.ffn_up_exps.weight: 12288 bytes, fewer than the 16384 that 4 experts of 4096 bytes need"},
        ShapeCase{"expert_bias_short", [](TinySpec& s) { s = moe_spec(), s.down_exps_bias = true; },
                  shorten("blk.1.ffn_down_exps.bias", 4 * 32 - 1),
                  "tensor blk.1.ffn_down_exps.bias: 127 values, fewer than the 128 needed"},
        ShapeCase{"router_short", [](TinySpec& s) { s = moe_spec(); }, shorten("blk.0.ffn_gate_inp.weight", 3 * 32),
                  "tensor blk.0.ffn_gate_inp.weight: 96 values, fewer than the 128 needed"},
        ShapeCase{"more_experts_used_than_experts", [](TinySpec& s) { s = moe_spec(), s.n_experts_used = 5; },
                  nullptr, "n_experts_used 5 exceeds n_experts 4"},
        ShapeCase{"no_key_value_heads", [](TinySpec& s) { s.kv_heads = 0, s.qkv_bias = false; }, nullptr,
                  "kv_heads is 0 but heads is 4"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TensorPart, RefusesPartsBeyondTheBytes) {
  TensorInfo t;
  t.name = "x";
  std::vector<uint8_t> bytes(10);
  EXPECT_EQ(tensor_part(bytes, 1, 5, t).data(), bytes.data() + 5);
  EXPECT_EQ(test::fatal_message([&] { tensor_part(bytes, 2, 5, t); }),
            "tensor x: part 2 of 5 bytes lies beyond its 10 bytes");
  EXPECT_NE(test::fatal_message([&] { tensor_part(bytes, uint64_t{1} << 62, 8, t); }), "<no fatal stop>");
}

}  // namespace
}  // namespace korvex
