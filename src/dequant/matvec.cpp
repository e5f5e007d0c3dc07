#include "dequant/matvec.hpp"

#include <algorithm>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/dequant.hpp"
#include "dequant/ggml_types.hpp"
#include "dequant/row_kernels.hpp"

namespace korvex {
namespace {

// Rows per pool task at the least: a row is short work, a task is not.
constexpr std::size_t kRowGrain = 16;

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) fatal("matvec: {} overflows ({} x {})", what, a, b);
  return r;
}

std::vector<float> matvec_direct(const GgmlTypeInfo& info, std::span<const float> x,
                                 std::span<const uint8_t> w, std::size_t cols, std::size_t rows) {
  std::size_t used_cols = cols / info.block_elems * info.block_elems;
  std::size_t row_bytes = checked_mul(cols / info.block_elems, info.block_bytes, "row size");
  std::size_t need = checked_mul(rows, row_bytes, "matrix size");
  if (w.size() < need)
    fatal("matvec: {} matrix of {} bytes is too short for {} rows of {} columns", info.name, w.size(),
          rows, cols);
  if (rows != 0 && x.size() < used_cols)
    fatal("matvec: input of {} values is shorter than the {} columns of the {} matrix", x.size(),
          used_cols, info.name);
  std::vector<float> out(rows);
  RowDotFn kernel = info.row_dot;
  const uint8_t* wp = w.data();
  const float* xp = x.data();
  float* op = out.data();
  parallel_ranges(rows, kRowGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) op[r] = kernel(wp + r * row_bytes, xp, cols);
  });
  return out;
}

}  // namespace

std::vector<float> matvec(std::span<const float> x, std::span<const uint8_t> w, uint32_t ggml_type,
                          std::size_t cols, std::size_t rows) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || info->dequant == nullptr) fatal("dequant: unsupported ggml_type {}", ggml_type);
  if (info->row_dot != nullptr) return matvec_direct(*info, x, w, cols, rows);

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
  const float* wp = w.data();
  const float* xp = x.data();
  float* op = out.data();
  parallel_ranges(rows, kRowGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) op[r] = matvec_f32_row(wp + r * cols, xp, n);
  });
  return out;
}

}  // namespace korvex
