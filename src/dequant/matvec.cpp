#include "dequant/matvec.hpp"

#include <algorithm>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/cpu_features.hpp"
#include "dequant/dequant.hpp"
#include "dequant/ggml_types.hpp"
#include "dequant/row_kernels.hpp"
#include "dequant/simd_kernels.hpp"

namespace korvex {
namespace {

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) fatal("matvec: {} overflows ({} x {})", what, a, b);
  return r;
}

const SimdKernels* simd_kernels() {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return &simd_kernels_avx512();
    case SimdLevel::Avx2: return &simd_kernels_avx2();
    case SimdLevel::Scalar: break;
  }
  return nullptr;
}

SimdRowsFn simd_rows_for(const SimdKernels* k, uint32_t type) {
  if (k == nullptr) return nullptr;
  switch (type) {
    case GgmlType::F32: return k->f32;
    case GgmlType::BF16: return k->bf16;
    case GgmlType::Q5_1: return k->q5_1;
    case GgmlType::IQ4_NL: return k->iq4_nl;
    case GgmlType::F16: return k->f16;
    case GgmlType::Q5_0: return k->q5_0;
    case GgmlType::Q8_0: return k->q8_0;
    case GgmlType::Q4_K: return k->q4_k;
    case GgmlType::Q6_K: return k->q6_k;
  }
  return nullptr;
}

// Splits the rows over the pool in whole tiles, so that only the matrix's last tile can be
// ragged; the vector kernel does the whole tiles, the plain one the rows left over. Every
// row gets the same bits either way, so the split never shows in the result.
template <typename PlainRow>
void run_rows(std::size_t rows, std::size_t tile_rows, SimdRowsFn fast, const uint8_t* w, std::size_t stride,
              const float* x, std::size_t cols, float* out, PlainRow plain) {
  std::size_t unit = fast != nullptr ? tile_rows : 1;
  std::size_t units = (rows + unit - 1) / unit;
  std::size_t threads = static_cast<std::size_t>(current_arena().max_concurrency());
  std::size_t grain = product_task_units(units, threads);
  parallel_ranges_even(units, grain, [&](std::size_t ub, std::size_t ue) {
    std::size_t r = ub * unit, end = std::min(ue * unit, rows);
    if (fast != nullptr) r = fast(w, stride, x, cols, r, end, out);
    for (; r < end; ++r) out[r] = plain(r);
  });
}

std::vector<float> matvec_rows(const GgmlTypeInfo& info, std::span<const float> x, std::span<const uint8_t> w,
                               std::size_t cols, std::size_t rows) {
  std::size_t used_cols = cols / info.block_elems * info.block_elems;
  std::size_t row_bytes = checked_mul(cols / info.block_elems, info.block_bytes, "row size");
  std::size_t need = checked_mul(rows, row_bytes, "matrix size");
  if (w.size() < need)
    fatal("matvec: {} matrix of {} bytes is too short for {} rows of {} columns", info.name, w.size(), rows,
          cols);
  if (rows != 0 && x.size() < used_cols)
    fatal("matvec: input of {} values is shorter than the {} columns of the {} matrix", x.size(), used_cols,
          info.name);
  std::vector<float> out(rows);
  const SimdKernels* k = simd_kernels();
  SimdRowsFn fast = simd_rows_for(k, info.code);
  const uint8_t* wp = w.data();
  const float* xp = x.data();
  if (info.row_dot != nullptr) {
    RowDotFn kernel = info.row_dot;
    run_rows(rows, k ? k->lanes : 1, fast, wp, row_bytes, xp, cols, out.data(),
             [&](std::size_t r) { return kernel(wp + r * row_bytes, xp, cols); });
  } else {
    run_rows(rows, k ? k->lanes : 1, fast, wp, row_bytes, xp, cols, out.data(),
             [&](std::size_t r) { return dequant_row_dot(info, wp + r * row_bytes, xp, cols); });
  }
  return out;
}

}  // namespace

std::vector<float> matvec(std::span<const float> x, std::span<const uint8_t> w, uint32_t ggml_type,
                          std::size_t cols, std::size_t rows) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || info->dequant == nullptr) fatal("dequant: unsupported ggml_type {}", ggml_type);
  if (info->row_dot != nullptr) return matvec_rows(*info, x, w, cols, rows);

  // Rows of whole blocks against a full-length x: decode each row as it is multiplied, in
  // the same order as matvec_f32 over the dequantised matrix, with no matrix in between.
  if (cols % info->block_elems == 0 && x.size() >= cols) return matvec_rows(*info, x, w, cols, rows);

  // Any other shape: the dequantised matrix, as the definition of the product has it.
  std::size_t n = checked_mul(cols, rows, "matrix size");
  if (n % info->block_elems != 0)
    fatal("matvec: {} rows of {} columns are not whole {} blocks", rows, cols, info->name);
  std::vector<float> wf = dequantize(w, ggml_type, n);
  return matvec_f32(wf, x, cols, rows);
}

std::vector<float> matvec_f32(std::span<const float> w, std::span<const float> x, std::size_t cols,
                              std::size_t rows) {
  std::size_t need = checked_mul(rows, cols, "matrix size");
  if (w.size() < need)
    fatal("matvec_f32: matrix of {} values is too short for {} rows of {} columns", w.size(), rows, cols);
  std::size_t n = std::min(cols, x.size());
  std::vector<float> out(rows);
  const SimdKernels* k = simd_kernels();
  SimdRowsFn fast = k ? k->f32_matvec : nullptr;
  const float* wp = w.data();
  const float* xp = x.data();
  std::size_t stride = checked_mul(cols, sizeof(float), "row size");
  run_rows(rows, k ? k->lanes : 1, fast, reinterpret_cast<const uint8_t*>(wp), stride, xp, n, out.data(),
           [&](std::size_t r) { return matvec_f32_row(wp + r * cols, xp, n); });
  return out;
}

}  // namespace korvex
