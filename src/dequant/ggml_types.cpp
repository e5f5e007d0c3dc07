#include "dequant/ggml_types.hpp"

#include "dequant/dequant.hpp"
#include "dequant/row_kernels.hpp"

namespace korvex {
namespace {

// code, name, elements per block, bytes per block, dequantiser, row kernel
constexpr GgmlTypeInfo kTypes[] = {
    {GgmlType::F32, "F32", 1, 4, dequant_f32, row_dot_f32},
    {GgmlType::F16, "F16", 1, 2, dequant_f16, nullptr},
    {GgmlType::Q5_0, "Q5_0", 32, 22, dequant_q5_0_blocks, nullptr},
    {GgmlType::Q5_1, "Q5_1", 32, 24, dequant_q5_1_blocks, row_dot_q5_1},
    {GgmlType::Q8_0, "Q8_0", 32, 34, dequant_q8_0_blocks, nullptr},
    {GgmlType::Q4_K, "Q4_K", 256, 144, dequant_q4_k_blocks, nullptr},
    {GgmlType::Q5_K, "Q5_K", 256, 176, nullptr, nullptr},
    {GgmlType::Q6_K, "Q6_K", 256, 210, dequant_q6_k_blocks, nullptr},
    {GgmlType::IQ4_NL, "IQ4_NL", 32, 18, dequant_iq4_nl_blocks, row_dot_iq4_nl},
    {GgmlType::BF16, "BF16", 1, 2, dequant_bf16, row_dot_bf16},
};

}  // namespace

const GgmlTypeInfo* ggml_type_info(uint32_t code) {
  for (const auto& t : kTypes)
    if (t.code == code) return &t;
  return nullptr;
}

}  // namespace korvex
