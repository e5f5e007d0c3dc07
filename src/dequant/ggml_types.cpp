#include "dequant/ggml_types.hpp"

namespace korvex {
namespace {

// code, name, elements per block, bytes per block, dequantiser, row kernel, rows kernel
constexpr GgmlTypeInfo kTypes[] = {
    {GgmlType::F32, "F32", 1, 4, nullptr, nullptr, nullptr},
    {GgmlType::F16, "F16", 1, 2, nullptr, nullptr, nullptr},
    {GgmlType::Q5_0, "Q5_0", 32, 22, nullptr, nullptr, nullptr},
    {GgmlType::Q5_1, "Q5_1", 32, 24, nullptr, nullptr, nullptr},
    {GgmlType::Q8_0, "Q8_0", 32, 34, nullptr, nullptr, nullptr},
    {GgmlType::Q4_K, "Q4_K", 256, 144, nullptr, nullptr, nullptr},
    {GgmlType::Q5_K, "Q5_K", 256, 176, nullptr, nullptr, nullptr},
    {GgmlType::Q6_K, "Q6_K", 256, 210, nullptr, nullptr, nullptr},
    {GgmlType::IQ4_NL, "IQ4_NL", 32, 18, nullptr, nullptr, nullptr},
    {GgmlType::BF16, "BF16", 1, 2, nullptr, nullptr, nullptr},
};

}  // namespace

const GgmlTypeInfo* ggml_type_info(uint32_t code) {
  for (const auto& t : kTypes)
    if (t.code == code) return &t;
  return nullptr;
}

}  // namespace korvex
