#include "engine/weights_check.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <string>

#include "common/fatal.hpp"
#include "dequant/ggml_types.hpp"

namespace korvex {

namespace {

constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();

// A size that overflows 64 bits can never fit, so it saturates instead of wrapping.
uint64_t mul_sat(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kSaturated : r;
}

// Types whose products read their rows in place; every other type is dequantised whole first.
bool has_row_kernel(uint32_t type) {
  return type == GgmlType::F32 || type == GgmlType::BF16 || type == GgmlType::Q5_1 ||
         type == GgmlType::IQ4_NL;
}

bool can_dequantize(uint32_t type) {
  switch (type) {
    case GgmlType::F32: case GgmlType::F16: case GgmlType::BF16: case GgmlType::Q5_0:
    case GgmlType::Q5_1: case GgmlType::Q8_0: case GgmlType::Q4_K: case GgmlType::Q6_K:
    case GgmlType::IQ4_NL:
      return true;
    default:
      return false;
  }
}

// A tensor of a type without any product fails at its first use with the product's own message;
// its sizes mean nothing, so they are not checked.
bool usable(uint32_t type) { return can_dequantize(type); }

uint64_t block_elems(uint32_t type) { return ggml_type_info(type)->block_elems; }

uint64_t tensor_bytes(const TensorInfo& t) { return ggml_type_size(t.ggml_type, t.n_elements()); }

// Elements of x a row kernel reads for `cols` columns; products that dequantise first take the
// shorter of x and cols themselves.
uint64_t inputs_read(uint32_t type, uint64_t cols) {
  if (type == GgmlType::F32 || type == GgmlType::BF16) return cols;
  if (type == GgmlType::Q5_1 || type == GgmlType::IQ4_NL) return 32 * (cols / 32);
  return 0;
}

// Checks one product with a matrix of rows x cols stored in `available` bytes of tensor t, fed
// with a vector of input_len values.
void check_product(const TensorInfo& t, uint64_t available, uint64_t rows, uint64_t cols,
                   uint64_t input_len, std::string_view what) {
  uint32_t type = t.ggml_type;
  if (!usable(type)) return;
  // A row without a single whole block holds no bytes: such a matrix would let the
  // configuration size vectors (a row count, the logits) that no byte of the file backs.
  if (rows > 0 && (cols == 0 || (has_row_kernel(type) && ggml_type_size(type, cols) == 0)))
    fatal("tensor {}{}: rows of {} columns hold no whole {} block", t.name, what, cols,
          ggml_type_info(type)->name);
  uint64_t needed;
  if (has_row_kernel(type)) {
    needed = mul_sat(rows, ggml_type_size(type, cols));
  } else {
    uint64_t n = mul_sat(rows, cols);
    if (n == kSaturated || n % block_elems(type) != 0)
      fatal("tensor {}{}: {} rows of {} columns are not a whole number of {} blocks", t.name, what,
            rows, cols, ggml_type_info(type)->name);
    needed = ggml_type_size(type, n);
  }
  if (available < needed)
    fatal("tensor {}{}: {} bytes, fewer than the {} that {} rows of {} columns need", t.name, what,
          available, needed, rows, cols);
  uint64_t read = inputs_read(type, cols);
  if (read > input_len)
    fatal("tensor {}{}: its rows read {} inputs but the vector has {}", t.name, what, read,
          input_len);
}

void check_matrix(const TensorInfo& t, uint64_t rows, uint64_t cols, uint64_t input_len) {
  if (!usable(t.ggml_type)) return;
  check_product(t, tensor_bytes(t), rows, cols, input_len, "");
}

// n_experts matrices of rows x cols back to back, each as long as ggml_type_size of its
// element count.
void check_experts(const TensorInfo& t, uint64_t n_experts, uint64_t rows, uint64_t cols,
                   uint64_t input_len) {
  uint32_t type = t.ggml_type;
  if (!usable(type)) return;
  uint64_t per = ggml_type_size(type, mul_sat(rows, cols));
  uint64_t needed = mul_sat(n_experts, per);
  uint64_t available = tensor_bytes(t);
  if (available < needed)
    fatal("tensor {}: {} bytes, fewer than the {} that {} experts of {} bytes need", t.name,
          available, needed, n_experts, per);
  check_product(t, per, rows, cols, input_len, " (one expert)");
}

void check_vector(const std::vector<float>& v, uint64_t needed, std::string_view name) {
  if (v.size() < needed)
    fatal("tensor {}: {} values, fewer than the {} needed", name, v.size(), needed);
}

void check_layer(const Weights& w, const ModelConfig& c, std::size_t l, uint64_t hidden) {
  uint64_t q_dim = mul_sat(c.heads, c.head_dim);
  uint64_t kv_dim = mul_sat(c.kv_heads, c.head_dim);
  auto name = [l](std::string_view suffix) { return fmt::format("blk.{}.{}", l, suffix); };

  check_vector(w.attn_norm[l], hidden, name("attn_norm.weight"));
  check_vector(w.ffn_norm[l], hidden, name("ffn_norm.weight (or post_attention_norm.weight)"));
  check_vector(w.attn_q_bias[l], q_dim, name("attn_q.bias"));
  check_vector(w.attn_k_bias[l], kv_dim, name("attn_k.bias"));
  check_vector(w.attn_v_bias[l], kv_dim, name("attn_v.bias"));

  check_matrix(w.attn_q[l], q_dim, c.embed, hidden);
  check_matrix(w.attn_k[l], kv_dim, c.embed, hidden);
  check_matrix(w.attn_v[l], kv_dim, c.embed, hidden);
  check_matrix(w.attn_output[l], c.embed, q_dim, q_dim);

  if (c.n_experts == 0) {
    check_matrix(w.ffn_gate[l], c.ffn, c.embed, hidden);
    check_matrix(w.ffn_up[l], c.ffn, c.embed, hidden);
    check_matrix(w.ffn_down[l], c.embed, c.ffn, c.ffn);
    return;
  }
  const MoeLayer& m = w.moe[l];
  check_vector(m.gate_inp, mul_sat(c.n_experts, c.embed), name("ffn_gate_inp.weight"));
  check_experts(m.gate_exps, c.n_experts, c.ffn, c.embed, hidden);
  check_experts(m.up_exps, c.n_experts, c.ffn, c.embed, hidden);
  check_experts(m.down_exps, c.n_experts, c.embed, c.ffn, c.ffn);
  // An absent expert bias is empty and adds nothing; a present one must cover every expert.
  if (!m.gate_exps_bias.empty())
    check_vector(m.gate_exps_bias, mul_sat(c.n_experts, c.ffn), name("ffn_gate_exps.bias"));
  if (!m.up_exps_bias.empty())
    check_vector(m.up_exps_bias, mul_sat(c.n_experts, c.ffn), name("ffn_up_exps.bias"));
  if (!m.down_exps_bias.empty())
    check_vector(m.down_exps_bias, mul_sat(c.n_experts, c.embed), name("ffn_down_exps.bias"));
}

}  // namespace

void check_attention_widths(const ModelConfig& c, uint64_t file_size) {
  uint64_t q_dim = mul_sat(c.heads, c.head_dim);
  uint64_t kv_dim = mul_sat(c.kv_heads, c.head_dim);
  if (c.layers > 0 && q_dim > file_size)
    fatal("query width {} (heads {} x head_dim {}) exceeds what a {}-byte file can hold", q_dim,
          c.heads, c.head_dim, file_size);
  if (c.layers > 0 && kv_dim > file_size)
    fatal("key/value width {} (kv_heads {} x head_dim {}) exceeds what a {}-byte file can hold",
          kv_dim, c.kv_heads, c.head_dim, file_size);
}

void check_weight_shapes(const Weights& w, const ModelConfig& c) {
  if (c.n_experts != 0 && c.n_experts_used > c.n_experts)
    fatal("n_experts_used {} exceeds n_experts {}", c.n_experts_used, c.n_experts);
  if (c.layers != 0 && c.heads != 0 && c.kv_heads == 0)
    fatal("kv_heads is 0 but heads is {}", c.heads);

  // The hidden state is the dequantised embedding row: embed values, cut to whole blocks.
  uint64_t hidden = c.embed;
  const TensorInfo& embd = w.token_embd;
  if (usable(embd.ggml_type)) {
    uint64_t block = block_elems(embd.ggml_type);
    hidden = block * (c.embed / block);
    uint64_t row_bytes = ggml_type_size(embd.ggml_type, c.embed);
    if (c.vocab > 0 && row_bytes == 0)
      fatal("tensor {}: rows of {} columns hold no whole {} block", embd.name, c.embed,
            ggml_type_info(embd.ggml_type)->name);
    uint64_t needed = mul_sat(c.vocab, row_bytes);
    uint64_t available = tensor_bytes(embd);
    if (available < needed)
      fatal("tensor {}: {} bytes, fewer than the {} that {} rows of {} bytes need", embd.name,
            available, needed, c.vocab, row_bytes);
  }

  for (std::size_t l = 0; l < c.layers; ++l) check_layer(w, c, l, hidden);

  check_matrix(w.output, c.vocab, c.embed, hidden);
  check_vector(w.output_norm, hidden, "output_norm.weight");
}

}  // namespace korvex
