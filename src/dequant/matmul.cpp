#include "dequant/matmul.hpp"

#include <algorithm>
#include <new>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/block_formats.hpp"
#include "dequant/cpu_features.hpp"
#include "dequant/dequant.hpp"
#include "dequant/ggml_types.hpp"
#include "dequant/matmul_kernels.hpp"
#include "dequant/matvec.hpp"

namespace korvex {
namespace {

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) fatal("matmul: {} overflows ({} x {})", what, a, b);
  return r;
}

// A growable buffer aligned for full-width vector loads, kept per thread so that repeated
// products reuse it instead of allocating.
struct AlignedBuffer {
  float* data = nullptr;
  std::size_t capacity = 0;
  ~AlignedBuffer() { release(); }
  void release() {
    if (data != nullptr) ::operator delete[](data, std::align_val_t(64));
    data = nullptr;
    capacity = 0;
  }
  float* reserve(std::size_t n) {
    if (n > capacity) {
      release();
      data = static_cast<float*>(::operator new[](n * sizeof(float), std::align_val_t(64)));
      capacity = n;
    }
    return data;
  }
};

// Where a row's weights come from and how its products are summed.
struct RowSource {
  SumOrder order = SumOrder::InputFirst;
  const GgmlTypeInfo* info = nullptr;  // type of the stored rows; nullptr: dense f32 rows
  DecodeBlocksFn decode = nullptr;     // its decoder, a vector one where there is one
  const uint8_t* bytes = nullptr;
  std::size_t row_bytes = 0;
  const float* dense = nullptr;  // f32 rows, dense_stride floats apart
  std::size_t dense_stride = 0;
  std::size_t cols = 0;  // columns summed
};

// IQ4_NL row as the kernel consumes it: each element's level value and each block's d, so
// that the sum can form (x * d) * level in the row kernel's order.
void decode_iq4_nl_levels(const uint8_t* row, std::size_t blocks, float* levels, float* scales) {
  for (std::size_t b = 0; b < blocks; ++b) {
    const uint8_t* blk = row + 18 * b;
    scales[b] = f16_to_f32(load_u16(blk));
    const uint8_t* qs = blk + 2;
    for (int j = 0; j < 16; ++j) {
      levels[32 * b + j] = kIq4nlTable[qs[j] & 0x0F];
      levels[32 * b + j + 16] = kIq4nlTable[qs[j] >> 4];
    }
  }
}

// Row r's weights: a pointer into the dense matrix, or decoded into `w` (and `scale`).
const float* row_weights(const RowSource& src, std::size_t r, float* w, float* scale) {
  if (src.info == nullptr) return src.dense + r * src.dense_stride;
  const uint8_t* row = src.bytes + r * src.row_bytes;
  std::size_t blocks = src.cols / src.info->block_elems;
  if (src.order == SumOrder::ScaledLevels)
    decode_iq4_nl_levels(row, blocks, w, scale);
  else
    src.decode(row, blocks, w);
  return w;
}

// One row against one input, in the row kernel's order: the scalar path, and the meaning
// of every vector lane.
float sum_row(SumOrder order, const float* w, const float* scale, const float* x, std::size_t cols) {
  switch (order) {
    case SumOrder::WeightFirst: {
      float acc = -0.0f;
      for (std::size_t k = 0; k < cols; ++k) acc = acc + w[k] * x[k];
      return acc;
    }
    case SumOrder::InputFirst: {
      float acc = -0.0f;
      for (std::size_t k = 0; k < cols; ++k) acc = acc + x[k] * w[k];
      return acc;
    }
    case SumOrder::PairedHalves: {
      float acc = 0.0f;
      for (std::size_t b = 0; b < cols / 32; ++b)
        for (std::size_t j = 0; j < 16; ++j) {
          std::size_t lo = 32 * b + j, hi = lo + 16;
          float t_lo = w[lo] * x[lo];
          float t_hi = w[hi] * x[hi];
          acc = acc + (t_hi + t_lo);
        }
      return acc;
    }
    case SumOrder::ScaledLevels: {
      float acc = 0.0f;
      for (std::size_t b = 0; b < cols / 32; ++b) {
        float d = scale[b];
        for (std::size_t j = 0; j < 16; ++j) {
          std::size_t lo = 32 * b + j, hi = lo + 16;
          acc = acc + (x[lo] * d) * w[lo];
          acc = acc + (x[hi] * d) * w[hi];
        }
      }
      return acc;
    }
  }
  return 0.0f;
}

const MatmulKernels* vector_kernels() {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return &matmul_kernels_avx512();
    case SimdLevel::Avx2: return &matmul_kernels_avx2();
    case SimdLevel::Scalar: break;
  }
  return nullptr;
}

DecodeBlocksFn decoder_for(const GgmlTypeInfo& info, const MatmulKernels* k) {
  if (k != nullptr) {
    switch (info.code) {
      case GgmlType::Q8_0: return k->q8_0;
      case GgmlType::Q4_K: return k->q4_k;
      case GgmlType::Q6_K: return k->q6_k;
    }
  }
  return info.dequant;
}

// x (batch x x_cols, of which the first `cols` columns are summed) into lane-interleaved
// groups, zeros past the batch.
void transpose_inputs(const float* x, std::size_t batch, std::size_t x_cols, std::size_t cols,
                      std::size_t lanes, std::size_t groups, float* xt) {
  parallel_ranges(groups, 1, [&](std::size_t gb, std::size_t ge) {
    for (std::size_t g = gb; g < ge; ++g) {
      float* dst = xt + g * cols * lanes;
      for (std::size_t l = 0; l < lanes; ++l) {
        std::size_t b = g * lanes + l;
        if (b < batch) {
          const float* src = x + b * x_cols;
          for (std::size_t k = 0; k < cols; ++k) dst[k * lanes + l] = src[k];
        } else {
          for (std::size_t k = 0; k < cols; ++k) dst[k * lanes + l] = 0.0f;
        }
      }
    }
  });
}

thread_local AlignedBuffer tl_inputs;   // transposed inputs, on the calling thread
thread_local AlignedBuffer tl_weights;  // decoded rows of a tile, on each pool thread

void run(const RowSource& src, const float* x, std::size_t batch, std::size_t x_cols, std::size_t rows,
         float* out) {
  if (batch == 0 || rows == 0) return;
  const std::size_t cols = src.cols;
  const std::size_t tiles = (rows + kTileRows - 1) / kTileRows;
  const std::size_t threads = static_cast<std::size_t>(current_arena().max_concurrency());
  const std::size_t grain = std::max<std::size_t>(1, tiles / (4 * threads));
  const MatmulKernels* kernels = vector_kernels();

  MatmulInputs in{};
  if (kernels != nullptr) {
    std::size_t lanes = kernels->lanes;
    in.groups = (batch + lanes - 1) / lanes;
    float* xt = tl_inputs.reserve(std::max<std::size_t>(1, checked_mul(in.groups * lanes, cols, "input size")));
    transpose_inputs(x, batch, x_cols, cols, lanes, in.groups, xt);
    in.xt = xt;
    in.cols = cols;
    in.batch = batch;
    in.out = out;
    in.out_stride = rows;
  }
  const std::size_t w_room = (cols + 15) / 16 * 16;
  const std::size_t per_row = w_room + (cols / 32 + 15) / 16 * 16;

  parallel_ranges(tiles, grain, [&](std::size_t tb, std::size_t te) {
    float* buf = tl_weights.reserve(kTileRows * per_row);
    for (std::size_t t = tb; t < te; ++t) {
      MatmulTile tile;
      tile.row0 = t * kTileRows;
      tile.n_rows = std::min(kTileRows, rows - tile.row0);
      for (std::size_t i = 0; i < kTileRows; ++i) {
        if (i < tile.n_rows) {
          float* w = buf + i * per_row;
          float* scale = w + w_room;
          tile.w[i] = row_weights(src, tile.row0 + i, w, scale);
          tile.scale[i] = scale;
        } else {  // padding rows repeat the first; their sums are never stored
          tile.w[i] = tile.w[0];
          tile.scale[i] = tile.scale[0];
        }
      }
      if (kernels != nullptr) {
        kernels->by_order[static_cast<int>(src.order)](in, tile);
      } else {
        for (std::size_t i = 0; i < tile.n_rows; ++i)
          for (std::size_t b = 0; b < batch; ++b)
            out[b * rows + tile.row0 + i] = sum_row(src.order, tile.w[i], tile.scale[i], x + b * x_cols, cols);
      }
    }
  });
}

void check_shapes(std::size_t x_size, std::size_t batch, std::size_t cols, std::size_t out_size,
                  std::size_t rows) {
  if (x_size != checked_mul(batch, cols, "input size"))
    fatal("matmul: {} input values are not {} inputs of {} columns", x_size, batch, cols);
  if (out_size != checked_mul(batch, rows, "output size"))
    fatal("matmul: room for {} outputs, {} inputs of {} rows need {}", out_size, batch, rows, batch * rows);
}

}  // namespace

void matmul_into(std::span<const float> x, std::size_t batch, std::span<const uint8_t> w,
                 uint32_t ggml_type, std::size_t cols, std::size_t rows, std::span<float> out) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || info->dequant == nullptr) fatal("dequant: unsupported ggml_type {}", ggml_type);
  check_shapes(x.size(), batch, cols, out.size(), rows);
  if (batch == 1) {
    // One input would fill one lane of each vector; matvec's kernels fill them with rows.
    std::vector<float> one = matvec(x, w, ggml_type, cols, rows);
    std::copy(one.begin(), one.end(), out.begin());
    return;
  }

  RowSource src;
  if (info->row_dot != nullptr || cols % info->block_elems == 0) {
    // Rows of whole blocks, decoded one at a time; a row kernel's type keeps its own order,
    // every other type sums the decoded row as matvec_f32 does.
    src.info = info;
    src.decode = decoder_for(*info, vector_kernels());
    src.bytes = w.data();
    src.row_bytes = checked_mul(cols / info->block_elems, info->block_bytes, "row size");
    src.cols = cols / info->block_elems * info->block_elems;
    switch (ggml_type) {
      case GgmlType::F32:
      case GgmlType::BF16: src.order = SumOrder::WeightFirst; break;
      case GgmlType::Q5_1: src.order = SumOrder::PairedHalves; break;
      case GgmlType::IQ4_NL: src.order = SumOrder::ScaledLevels; break;
      default: src.order = SumOrder::InputFirst; break;
    }
    std::size_t need = checked_mul(rows, src.row_bytes, "matrix size");
    if (w.size() < need)
      fatal("matmul: {} matrix of {} bytes is too short for {} rows of {} columns", info->name, w.size(),
            rows, cols);
    run(src, x.data(), batch, cols, rows, out.data());
    return;
  }

  // Rows that straddle blocks: the dequantised matrix, as matvec takes it.
  std::size_t n = checked_mul(cols, rows, "matrix size");
  if (n % info->block_elems != 0)
    fatal("matmul: {} rows of {} columns are not whole {} blocks", rows, cols, info->name);
  std::vector<float> wf = dequantize(w, ggml_type, n);
  matmul_f32_into(x, batch, wf, cols, rows, out);
}

std::vector<float> matmul(std::span<const float> x, std::size_t batch, std::span<const uint8_t> w,
                          uint32_t ggml_type, std::size_t cols, std::size_t rows) {
  std::vector<float> out(checked_mul(batch, rows, "output size"));
  matmul_into(x, batch, w, ggml_type, cols, rows, out);
  return out;
}

void matmul_f32_into(std::span<const float> x, std::size_t batch, std::span<const float> w,
                     std::size_t cols, std::size_t rows, std::span<float> out) {
  check_shapes(x.size(), batch, cols, out.size(), rows);
  if (w.size() < checked_mul(rows, cols, "matrix size"))
    fatal("matmul: f32 matrix of {} values is too short for {} rows of {} columns", w.size(), rows, cols);
  RowSource src;
  src.order = SumOrder::InputFirst;
  src.dense = w.data();
  src.dense_stride = cols;
  src.cols = cols;
  run(src, x.data(), batch, cols, rows, out.data());
}

}  // namespace korvex
