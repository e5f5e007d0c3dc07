#include "kernels/matmul.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/block_formats.hpp"
#include "dequant/dequant.hpp"
#include "dequant/ggml_types.hpp"
#include "kernels/kernel_tables.hpp"
#include "kernels/matmul_kernels.hpp"
#include "kernels/matvec.hpp"

namespace korvex {
namespace {

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) fatal("matmul: {} overflows ({} x {})", what, a, b);
  return r;
}

std::size_t round_up(std::size_t n, std::size_t m) { return (n + m - 1) / m * m; }

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

// Where a row's weights come from and how its products are summed.
struct RowSource {
  SumOrder order = SumOrder::InputFirst;
  const GgmlTypeInfo* info = nullptr;  // type of the stored rows; nullptr: f32 rows at `dense`
  DecodeBlocksFn decode = nullptr;     // its decoder, a vector one where there is one
  DecodeLevelsFn levels = nullptr;     // IQ4_NL's
  const uint8_t* bytes = nullptr;
  std::size_t row_bytes = 0;
  const float* dense = nullptr;  // f32 rows, dense_stride floats apart (stored F32 rows too)
  std::size_t dense_stride = 0;
  std::size_t cols = 0;  // columns summed
};

// Row r's weights from column k0 (a whole number of blocks in) for n columns: a pointer into
// the f32 rows, or decoded into `w` (and `scale`).
const float* row_weights(const RowSource& src, std::size_t r, std::size_t k0, std::size_t n, float* w,
                         float* scale) {
  if (src.dense != nullptr) return src.dense + r * src.dense_stride + k0;
  const std::size_t per = src.info->block_elems;
  const uint8_t* p = src.bytes + r * src.row_bytes + k0 / per * src.info->block_bytes;
  if (src.order == SumOrder::ScaledLevels)
    src.levels(p, n / per, w, scale);
  else
    src.decode(p, n / per, w);
  return w;
}

// Tiles ahead whose weights are prefetched: far enough for memory's latency, near enough
// that they are still in the second-level cache when decoded.
constexpr std::size_t kPrefetchTiles = 2;

// The cache lines of [p, p + bytes), written from `to` on; returns the end of what it wrote.
const void** add_lines(const void* p, std::size_t bytes, const void** to) {
  if (bytes == 0) return to;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p);
  for (std::uintptr_t line = at / 64; line <= (at + bytes - 1) / 64; ++line) *to++ = reinterpret_cast<const void*>(line * 64);
  return to;
}

// The lines of rows [r, r + count) of the source over columns [k0, k0 + n).
const void** add_row_lines(const RowSource& src, std::size_t r, std::size_t count, std::size_t k0, std::size_t n,
                           const void** to) {
  for (std::size_t i = r; i < r + count; ++i) {
    if (src.dense != nullptr) {
      to = add_lines(src.dense + i * src.dense_stride + k0, n * sizeof(float), to);
    } else {
      const std::size_t per = src.info->block_elems;
      to = add_lines(src.bytes + i * src.row_bytes + k0 / per * src.info->block_bytes,
                     n / per * src.info->block_bytes, to);
    }
  }
  return to;
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

const MatmulKernels* vector_kernels() { return kernel_tables().batched; }

DecodeBlocksFn decoder_for(const GgmlTypeInfo& info, const MatmulKernels* k) {
  if (k != nullptr) {
    switch (info.code) {
      case GgmlType::F16: return k->f16;
      case GgmlType::BF16: return k->bf16;
      case GgmlType::Q5_0: return k->q5_0;
      case GgmlType::Q5_1: return k->q5_1;
      case GgmlType::Q8_0: return k->q8_0;
      case GgmlType::Q4_K: return k->q4_k;
      case GgmlType::Q6_K: return k->q6_k;
    }
  }
  return info.dequant;
}

// One product of the batch: its rows' source, and out[b * rows + r].
struct Product {
  RowSource src;
  std::size_t rows = 0;
  float* out = nullptr;
};

// Transposed inputs a stretch of columns may span: they are read again for every tile of
// rows, so they should stay in a core's own cache (half of the smallest second-level cache
// of the machines this runs on), next to the partial sums and the decoded tile.
constexpr std::size_t kStretchInputBytes = std::size_t{512} << 10;

// Partial sums of the tiles that go through the stretches together.
constexpr std::size_t kBlockSumBytes = std::size_t{64} << 10;

// Columns per stretch: all of them when the inputs fit, else even stretches of whole
// 256-column pieces, a whole number of blocks of every type.
std::size_t stretch_columns(std::size_t cols, std::size_t padded_batch) {
  std::size_t bytes = cols * padded_batch * sizeof(float);
  if (bytes <= kStretchInputBytes) return std::max<std::size_t>(cols, 1);
  std::size_t count = (bytes + kStretchInputBytes - 1) / kStretchInputBytes;
  return std::min(cols, round_up((cols + count - 1) / count, 256));
}

// What every tile of one call shares: the products, their tiles side by side, the
// transposed inputs and how the columns are cut.
struct TiledCall {
  const MatmulKernels& k;
  std::span<const Product> products;
  std::vector<std::size_t> first_tile;  // of each product, then the total
  const float* xt;
  std::size_t batch, groups, cols, stretch;
  std::size_t w_room, scale_room, sums_per_tile, block_tiles;
};

// Per pool thread: the decoded rows of a tile, the sums of a block of tiles, the cache lines
// a tile prefetches.
thread_local AlignedBuffer tl_weights;
thread_local AlignedBuffer tl_sums;
thread_local std::vector<const void*> tl_lines;

// The tile of product p from row row0 over the stretch [k0, k0 + n), its sums at `sums`.
void run_tile(const TiledCall& c, const Product& p, std::size_t row0, std::size_t k0, std::size_t n, float* sums) {
  const std::size_t rows_per_tile = c.k.tile_rows, lanes = c.k.lanes;
  const std::size_t n_rows = std::min(rows_per_tile, p.rows - row0);
  const bool last = k0 + n >= p.src.cols;
  // The rows of the tiles that follow, and the outputs of the next, are fetched while this
  // tile's products run, so that decoding and storing them does not wait on memory.
  // Room for every line: a row's weights over the stretch take at most n * 4 bytes plus a
  // line at each end, a run of outputs at most two lines.
  std::vector<const void*>& lines = tl_lines;
  const std::size_t room = rows_per_tile * (n * sizeof(float) / 64 + 2) + 2 * c.batch;
  if (lines.size() < room) lines.resize(room);
  const void** end = lines.data();
  if (std::size_t ahead = row0 + kPrefetchTiles * rows_per_tile; ahead < p.rows)
    end = add_row_lines(p.src, ahead, std::min(rows_per_tile, p.rows - ahead), k0, n, end);
  if (last && row0 + rows_per_tile < p.rows) {
    std::size_t next = row0 + rows_per_tile, count = std::min(rows_per_tile, p.rows - next);
    for (std::size_t b = 0; b < c.batch; ++b) end = add_lines(p.out + b * p.rows + next, count * sizeof(float), end);
  }

  MatmulTile tile;
  float* wbuf = tl_weights.reserve(rows_per_tile * (c.w_room + c.scale_room));
  for (std::size_t i = 0; i < rows_per_tile; ++i) {
    if (i < n_rows) {
      float* w = wbuf + i * (c.w_room + c.scale_room);
      tile.scale[i] = w + c.w_room;
      tile.w[i] = row_weights(p.src, row0 + i, k0, n, w, w + c.w_room);
    } else {  // padding rows repeat the first; their sums are never stored
      tile.w[i] = tile.w[0];
      tile.scale[i] = tile.scale[0];
    }
  }
  tile.x = c.xt + k0 * lanes;
  tile.x_stride = c.cols * lanes;
  tile.n = n;
  tile.groups = c.groups;
  tile.acc = sums;
  tile.first = k0 == 0;
  tile.prefetch = lines.data();
  tile.n_prefetch = static_cast<std::size_t>(end - lines.data());
  c.k.by_order[static_cast<int>(p.src.order)](tile);
  // Done: each input's sums of the tile's rows to its output row.
  if (last) c.k.store_sums(sums, c.groups, c.batch, n_rows, p.out + row0, p.rows);
}

// Tiles [tb, te) of the call. Long rows run stretch by stretch, a block of tiles at a
// time: the block's sums wait between stretches in tl_sums, in the core's first caches,
// each still added in column order, and each stretch of inputs is read by every tile of
// the block while it is cached.
void run_tiles(const TiledCall& c, std::size_t tb, std::size_t te) {
  float* sums = tl_sums.reserve(c.sums_per_tile * c.block_tiles);
  std::size_t p_index = 0;
  for (std::size_t bb = tb; bb < te; bb += c.block_tiles) {
    const std::size_t be = std::min(te, bb + c.block_tiles);
    for (std::size_t k0 = 0; k0 == 0 || k0 < c.cols; k0 += c.stretch) {
      for (std::size_t t = bb; t < be; ++t) {
        while (t >= c.first_tile[p_index + 1]) ++p_index;
        while (t < c.first_tile[p_index]) --p_index;
        const Product& p = c.products[p_index];
        if (k0 > 0 && k0 >= p.src.cols) continue;
        run_tile(c, p, (t - c.first_tile[p_index]) * c.k.tile_rows, k0, std::min(c.stretch, p.src.cols - k0),
                 sums + (t - bb) * c.sums_per_tile);
      }
    }
  }
}

thread_local AlignedBuffer tl_inputs;  // transposed inputs, on the calling thread

// The vector path: the inputs transposed into lane groups once, then every product's tiles
// of rows side by side on the pool.
void run_vector(const MatmulKernels& k, std::span<const Product> products, const float* x, std::size_t batch,
                std::size_t x_cols) {
  TiledCall c{k, products, {0}, nullptr, batch, 0, 0, 0, 0, 0, 0, 0};
  const std::size_t lanes = k.lanes;
  c.groups = (batch + lanes - 1) / lanes;
  for (const Product& p : products) c.cols = std::max(c.cols, p.src.cols);  // the most any product sums

  float* xt = tl_inputs.reserve(std::max<std::size_t>(1, checked_mul(c.groups * lanes, c.cols, "input size")));
  parallel_ranges(c.groups, 1, [&](std::size_t gb, std::size_t ge) {
    for (std::size_t g = gb; g < ge; ++g)
      k.transpose(x + g * lanes * x_cols, x_cols, std::min(lanes, batch - g * lanes), c.cols, xt + g * c.cols * lanes);
  });
  c.xt = xt;

  for (const Product& p : products)
    c.first_tile.push_back(c.first_tile.back() + (p.rows + k.tile_rows - 1) / k.tile_rows);
  const std::size_t tiles = c.first_tile.back();
  if (tiles == 0) return;

  c.stretch = stretch_columns(c.cols, c.groups * lanes);
  c.w_room = round_up(c.stretch, 16);
  c.scale_room = round_up(c.stretch / 32 + 1, 16);
  c.sums_per_tile = c.groups * k.tile_rows * lanes;
  const bool stretched = c.stretch < c.cols;
  c.block_tiles = stretched ? std::max<std::size_t>(1, kBlockSumBytes / (c.sums_per_tile * sizeof(float))) : 1;

  // A product takes milliseconds, so the pool's balancing costs nothing against it, and it
  // keeps every thread busy when some core is slow or taken by other work: ranges of about
  // a quarter of a thread's share, and with long rows at least a block of tiles, since each
  // range reads every stretch of the inputs again.
  const std::size_t threads = static_cast<std::size_t>(current_arena().max_concurrency());
  const std::size_t share = (tiles + threads - 1) / threads;
  const std::size_t grain = std::max<std::size_t>((share + 3) / 4, stretched ? std::min(share, c.block_tiles) : 1);
  parallel_ranges(tiles, grain, [&](std::size_t tb, std::size_t te) { run_tiles(c, tb, te); });
}

// The plain path: each row decoded whole and summed for every input by sum_row.
void run_plain(std::span<const Product> products, const float* x, std::size_t batch, std::size_t x_cols) {
  for (const Product& p : products) {
    parallel_ranges(p.rows, 1, [&](std::size_t rb, std::size_t re) {
      std::vector<float> w(p.src.cols), scale(p.src.cols / 32 + 1);
      for (std::size_t r = rb; r < re; ++r) {
        const float* wr = row_weights(p.src, r, 0, p.src.cols, w.data(), scale.data());
        for (std::size_t b = 0; b < batch; ++b)
          p.out[b * p.rows + r] = sum_row(p.src.order, wr, scale.data(), x + b * x_cols, p.src.cols);
      }
    });
  }
}

void run(std::span<const Product> products, const float* x, std::size_t batch, std::size_t x_cols) {
  if (batch == 0 || products.empty()) return;
  if (const MatmulKernels* k = vector_kernels())
    run_vector(*k, products, x, batch, x_cols);
  else
    run_plain(products, x, batch, x_cols);
}

void check_shapes(std::size_t x_size, std::size_t batch, std::size_t cols, std::size_t out_size,
                  std::size_t rows) {
  if (x_size != checked_mul(batch, cols, "input size"))
    fatal("matmul: {} input values are not {} inputs of {} columns", x_size, batch, cols);
  if (out_size != checked_mul(batch, rows, "output size"))
    fatal("matmul: room for {} outputs, {} inputs of {} rows need {}", out_size, batch, rows, batch * rows);
}

const GgmlTypeInfo& supported_type(uint32_t ggml_type) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || info->dequant == nullptr) fatal("dequant: unsupported ggml_type {}", ggml_type);
  return *info;
}

// Whether the product runs on the stored rows: rows of whole blocks, or a row kernel's type
// (which ignores the columns past its last whole block). Otherwise the rows straddle blocks
// and the product is the dequantised matrix's, as matvec takes it.
bool runs_on_rows(const GgmlTypeInfo& info, std::size_t cols) {
  return info.row_dot != nullptr || cols % info.block_elems == 0;
}

// The checked product of a job that runs on its stored rows.
Product plan(const GgmlTypeInfo& info, const MatmulJob& job, std::size_t cols) {
  Product p;
  RowSource& src = p.src;
  src.info = &info;
  const MatmulKernels* k = vector_kernels();
  src.decode = decoder_for(info, k);
  src.levels = k != nullptr ? k->iq4_nl : decode_iq4_nl_levels;
  src.bytes = job.w.data();
  src.row_bytes = checked_mul(cols / info.block_elems, info.block_bytes, "row size");
  src.cols = cols / info.block_elems * info.block_elems;
  switch (info.code) {
    case GgmlType::F32:
      // Stored f32 rows are read in place where their floats are aligned.
      if (reinterpret_cast<std::uintptr_t>(job.w.data()) % alignof(float) == 0) {
        src.dense = reinterpret_cast<const float*>(job.w.data());
        src.dense_stride = cols;
      }
      src.order = SumOrder::WeightFirst;
      break;
    case GgmlType::BF16: src.order = SumOrder::WeightFirst; break;
    case GgmlType::Q5_1: src.order = SumOrder::PairedHalves; break;
    case GgmlType::IQ4_NL: src.order = SumOrder::ScaledLevels; break;
    default: src.order = SumOrder::InputFirst; break;
  }
  std::size_t need = checked_mul(job.rows, src.row_bytes, "matrix size");
  if (job.w.size() < need)
    fatal("matmul: {} matrix of {} bytes is too short for {} rows of {} columns", info.name, job.w.size(),
          job.rows, cols);
  p.rows = job.rows;
  p.out = job.out.data();
  return p;
}

// A job whose rows straddle blocks: the dequantised matrix, as matvec takes it.
void run_dequantised(std::span<const float> x, std::size_t batch, std::size_t cols, const MatmulJob& job) {
  const GgmlTypeInfo& info = supported_type(job.ggml_type);
  std::size_t n = checked_mul(cols, job.rows, "matrix size");
  if (n % info.block_elems != 0)
    fatal("matmul: {} rows of {} columns are not whole {} blocks", job.rows, cols, info.name);
  std::vector<float> wf = dequantize(job.w, job.ggml_type, n);
  matmul_f32_into(x, batch, wf, cols, job.rows, job.out);
}

}  // namespace

void matmul_same_input(std::span<const float> x, std::size_t batch, std::size_t cols,
                       std::span<const MatmulJob> jobs) {
  for (const MatmulJob& job : jobs) {
    supported_type(job.ggml_type);
    check_shapes(x.size(), batch, cols, job.out.size(), job.rows);
  }
  if (batch == 1) {
    // One input would fill one lane of each vector; matvec's kernels fill them with rows.
    std::vector<MatvecJob> one;
    for (const MatmulJob& job : jobs) one.push_back({job.w, job.ggml_type, job.rows});
    std::vector<std::vector<float>> outs = matvec_same_input(x, one, cols);
    for (std::size_t i = 0; i < jobs.size(); ++i) std::copy(outs[i].begin(), outs[i].end(), jobs[i].out.begin());
    return;
  }
  std::vector<Product> products;
  products.reserve(jobs.size());
  for (const MatmulJob& job : jobs) {
    const GgmlTypeInfo& info = supported_type(job.ggml_type);
    if (runs_on_rows(info, cols))
      products.push_back(plan(info, job, cols));
    else
      run_dequantised(x, batch, cols, job);
  }
  run(products, x.data(), batch, cols);
}

void matmul_into(std::span<const float> x, std::size_t batch, std::span<const uint8_t> w,
                 uint32_t ggml_type, std::size_t cols, std::size_t rows, std::span<float> out) {
  const MatmulJob job{w, ggml_type, rows, out};
  matmul_same_input(x, batch, cols, {&job, 1});
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
  Product p;
  p.src.order = SumOrder::InputFirst;
  p.src.dense = w.data();
  p.src.dense_stride = cols;
  p.src.cols = cols;
  p.rows = rows;
  p.out = out.data();
  run({&p, 1}, x.data(), batch, cols);
}

}  // namespace korvex
