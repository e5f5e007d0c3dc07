#pragma once
// Matrix-vector products over stored weights: out[r] = row r of W times x, for a row-major
// matrix of `rows` rows and `cols` columns. Rows are split over the data-parallel pool;
// every row is summed by one task in index order, so the result never depends on the
// number of threads.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/range_fn.hpp"

namespace korvex {

// Typed product over the stored bytes. F32, BF16, Q5_1 and IQ4_NL use their own row
// kernels; every other type gives the bits of matvec_f32 over the dequantised matrix.
// A matrix shorter than its rows need, or an x shorter than the columns read, is a fatal
// stop; nothing outside w or x is read.
std::vector<float> matvec(std::span<const float> x, std::span<const uint8_t> w, uint32_t ggml_type,
                          std::size_t cols, std::size_t rows);

// Several products of one input in a single hand-off to the pool: outs[i] equals
// matvec(x, jobs[i].w, jobs[i].ggml_type, cols, jobs[i].rows) bit for bit, with the same
// fatal stops. Products that share their input (query, key and value; gate and up) save
// the pool's start-up cost of each separate call.
struct MatvecJob {
  std::span<const uint8_t> w;
  uint32_t ggml_type;
  std::size_t rows;
};
std::vector<std::vector<float>> matvec_same_input(std::span<const float> x, std::span<const MatvecJob> jobs,
                                                  std::size_t cols);

// The same for products of equal row counts whose results are used row by row, into
// outs (one vector per job, resized to the rows): each task computes rows [b, e) of every
// product and then runs rows_done(b, e) on its thread, so the step that combines them (the
// gate of a feed-forward block) runs beside the products instead of after them all. The
// ranges cover [0, rows) once; rows_done reads only rows [b, e) of outs.
void matvec_same_input(std::span<const float> x, std::span<const MatvecJob> jobs, std::size_t cols,
                       std::span<std::vector<float>> outs, RangeFn rows_done);

// Plain f32 product; each row sums its first min(cols, x.size()) products from -0.0.
// w must hold rows * cols values (fatal stop otherwise).
std::vector<float> matvec_f32(std::span<const float> w, std::span<const float> x, std::size_t cols,
                              std::size_t rows);

}  // namespace korvex
