#include "kernels/matvec.hpp"

#include <algorithm>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/dequant.hpp"
#include "dequant/ggml_types.hpp"
#include "kernels/kernel_tables.hpp"
#include "kernels/product_clock.hpp"
#include "dequant/row_kernels.hpp"
#include "kernels/matvec_kernels.hpp"

namespace korvex {
namespace {

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) fatal("matvec: {} overflows ({} x {})", what, a, b);
  return r;
}

const MatvecKernels* matvec_kernels() { return kernel_tables().products; }

SimdRowsFn simd_rows_for(const MatvecKernels* k, uint32_t type) {
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

// One product over stored rows, checked and ready to run: the vector kernel for the type,
// if any, and the plain one for the rows it leaves. Rows go to the pool in units of whole
// tiles, so that only the matrix's last tile can be ragged; every row gets the same bits
// whichever kernel and task computes it, so the split never shows in the result.
struct RowProduct {
  const GgmlTypeInfo* info;
  const uint8_t* w;
  std::size_t stride;  // bytes per row
  const float* x;
  std::size_t cols, rows;
  SimdRowsFn fast;
  std::size_t unit;  // rows per unit of work
  float* out;

  std::size_t units() const { return (rows + unit - 1) / unit; }

  float plain(std::size_t r) const {
    const uint8_t* row = w + r * stride;
    if (info == nullptr) return matvec_f32_row(reinterpret_cast<const float*>(row), x, cols);
    if (info->row_dot != nullptr) return info->row_dot(row, x, cols);
    return dequant_row_dot(*info, row, x, cols);
  }

  // Rows [r, end), r a whole number of units.
  void run_rows(std::size_t r, std::size_t end) const {
    if (fast != nullptr) r = fast(w, stride, x, cols, r, end, out);
    for (; r < end; ++r) out[r] = plain(r);
  }

  void run_units(std::size_t ub, std::size_t ue) const { run_rows(ub * unit, std::min(ue * unit, rows)); }
};

RowProduct plan_rows(const GgmlTypeInfo* info, SimdRowsFn fast, const uint8_t* w, std::size_t stride,
                     const float* x, std::size_t cols, std::size_t rows, float* out) {
  const MatvecKernels* k = matvec_kernels();
  std::size_t unit = k != nullptr && fast != nullptr ? k->lanes : 1;
  return {info, w, stride, x, cols, rows, fast, unit, out};
}

// Checks a typed product that runs on the rows directly and plans it into `out`.
RowProduct plan_typed(const GgmlTypeInfo& info, std::span<const float> x, std::span<const uint8_t> w,
                      std::size_t cols, std::size_t rows, std::vector<float>& out) {
  std::size_t used_cols = cols / info.block_elems * info.block_elems;
  std::size_t row_bytes = checked_mul(cols / info.block_elems, info.block_bytes, "row size");
  std::size_t need = checked_mul(rows, row_bytes, "matrix size");
  if (w.size() < need)
    fatal("matvec: {} matrix of {} bytes is too short for {} rows of {} columns", info.name, w.size(), rows,
          cols);
  if (rows != 0 && x.size() < used_cols)
    fatal("matvec: input of {} values is shorter than the {} columns of the {} matrix", x.size(), used_cols,
          info.name);
  out.assign(rows, 0.0f);
  return plan_rows(&info, simd_rows_for(matvec_kernels(), info.code), w.data(), row_bytes, x.data(), cols, rows,
                   out.data());
}

// In a region, a product's rows are cut into a few chunks per thread, so that a helper
// that joins late, or a thread slowed by the machine's other load, leaves little behind
// for the others to wait on; but a chunk carries at least this many weights, so claiming
// it (one atomic operation on a line every thread reads) stays small beside its work.
constexpr std::size_t kChunksPerThread = 4;
constexpr std::size_t kMinChunkWeights = std::size_t{1} << 13;

// Units per task or chunk of `units` units of `unit_weights` weights each.
std::size_t task_units(std::size_t units, std::size_t unit_weights) {
  std::size_t threads = region_threads();
  if (threads == 0)
    return product_task_units(units, static_cast<std::size_t>(current_arena().max_concurrency()), unit_weights);
  std::size_t chunks = threads * kChunksPerThread;
  std::size_t per = (units + chunks - 1) / chunks;
  std::size_t least = (kMinChunkWeights + unit_weights - 1) / std::max<std::size_t>(unit_weights, 1);
  return std::max<std::size_t>({per, least, 1});
}

// Runs the products' units as one range on the pool (or as one phase of the thread's
// region): a single hand-off for all of them.
void run_products(std::span<const RowProduct> products) {
  ProductTimer timer;
  std::size_t total = 0, weights = 0;
  for (const auto& p : products) {
    total += p.units();
    weights += p.units() * p.unit * p.cols;
  }
  if (total == 0) return;
  std::size_t grain = task_units(total, (weights + total - 1) / total);
  parallel_ranges_even(total, grain, [&](std::size_t ub, std::size_t ue) {
    std::size_t first = 0;  // first unit of the current product
    for (const auto& p : products) {
      std::size_t n = p.units();
      std::size_t b = std::max(ub, first), e = std::min(ue, first + n);
      if (b < e) p.run_units(b - first, e - first);
      first += n;
    }
  });
}

// Products of equal row counts side by side: each task computes the same rows of every
// product, then hands those rows to rows_done.
void run_products_by_rows(std::span<const RowProduct> products, std::size_t rows, RangeFn rows_done) {
  ProductTimer timer;  // rows_done runs inside the products' tasks, so its time is theirs
  std::size_t unit = 1, unit_weights = 0;
  for (const auto& p : products) unit = std::max(unit, p.unit);  // lanes, or 1 for a plain kernel
  for (const auto& p : products) unit_weights += unit * p.cols;
  std::size_t units = (rows + unit - 1) / unit;
  parallel_ranges_even(units, task_units(units, unit_weights), [&](std::size_t ub, std::size_t ue) {
    std::size_t b = ub * unit, e = std::min(ue * unit, rows);
    for (const auto& p : products) p.run_rows(b, e);
    rows_done(b, e);
  });
}

// Whether `matvec` runs this type's product on its stored rows; otherwise it dequantises the
// whole matrix first, as the definition of the product has it.
bool runs_on_rows(const GgmlTypeInfo& info, std::size_t x_size, std::size_t cols) {
  if (info.row_dot != nullptr) return true;
  return cols % info.block_elems == 0 && x_size >= cols;
}

const GgmlTypeInfo& supported_type(uint32_t ggml_type) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || info->dequant == nullptr) fatal("dequant: unsupported ggml_type {}", ggml_type);
  return *info;
}

}  // namespace

std::vector<float> matvec(std::span<const float> x, std::span<const uint8_t> w, uint32_t ggml_type,
                          std::size_t cols, std::size_t rows) {
  const GgmlTypeInfo& info = supported_type(ggml_type);
  // Rows of whole blocks against a full-length x (or a type with its own row kernel): decode
  // each row as it is multiplied, in the same order as matvec_f32 over the dequantised
  // matrix, with no matrix in between.
  if (runs_on_rows(info, x.size(), cols)) {
    std::vector<float> out;
    RowProduct p = plan_typed(info, x, w, cols, rows, out);
    run_products({&p, 1});
    return out;
  }
  // Any other shape: the dequantised matrix, as the definition of the product has it.
  std::size_t n = checked_mul(cols, rows, "matrix size");
  if (n % info.block_elems != 0)
    fatal("matvec: {} rows of {} columns are not whole {} blocks", rows, cols, info.name);
  std::vector<float> wf = dequantize(w, ggml_type, n);
  return matvec_f32(wf, x, cols, rows);
}

std::vector<std::vector<float>> matvec_same_input(std::span<const float> x, std::span<const MatvecJob> jobs,
                                                  std::size_t cols) {
  std::vector<std::vector<float>> outs(jobs.size());
  std::vector<RowProduct> products;
  products.reserve(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const GgmlTypeInfo& info = supported_type(jobs[i].ggml_type);
    if (runs_on_rows(info, x.size(), cols))
      products.push_back(plan_typed(info, x, jobs[i].w, cols, jobs[i].rows, outs[i]));
    else
      outs[i] = matvec(x, jobs[i].w, jobs[i].ggml_type, cols, jobs[i].rows);
  }
  run_products(products);
  return outs;
}

void matvec_same_input(std::span<const float> x, std::span<const MatvecJob> jobs, std::size_t cols,
                       std::span<std::vector<float>> outs, RangeFn rows_done) {
  std::size_t rows = jobs.empty() ? 0 : jobs[0].rows;
  for (const MatvecJob& j : jobs)
    if (j.rows != rows) fatal("matvec: products combined row by row have {} and {} rows", rows, j.rows);
  if (outs.size() != jobs.size()) fatal("matvec: {} outputs for {} products", outs.size(), jobs.size());
  std::vector<RowProduct> products;
  products.reserve(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const GgmlTypeInfo& info = supported_type(jobs[i].ggml_type);
    // A product that needs its whole matrix dequantised first is done before the others.
    if (runs_on_rows(info, x.size(), cols))
      products.push_back(plan_typed(info, x, jobs[i].w, cols, rows, outs[i]));
    else
      outs[i] = matvec(x, jobs[i].w, jobs[i].ggml_type, cols, rows);
  }
  if (rows != 0) run_products_by_rows(products, rows, rows_done);
}

std::vector<float> matvec_f32(std::span<const float> w, std::span<const float> x, std::size_t cols,
                              std::size_t rows) {
  std::size_t need = checked_mul(rows, cols, "matrix size");
  if (w.size() < need)
    fatal("matvec_f32: matrix of {} values is too short for {} rows of {} columns", w.size(), rows, cols);
  std::size_t n = std::min(cols, x.size());
  std::vector<float> out(rows);
  const MatvecKernels* k = matvec_kernels();
  std::size_t stride = checked_mul(cols, sizeof(float), "row size");
  RowProduct p = plan_rows(nullptr, k ? k->f32_matvec : nullptr, reinterpret_cast<const uint8_t*>(w.data()),
                           stride, x.data(), n, rows, out.data());
  run_products({&p, 1});
  return out;
}

}  // namespace korvex
