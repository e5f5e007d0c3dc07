// The vectorised row products, written once over an instruction-set struct `S` that the
// including file defines (S::L lanes of f32, S::F / S::I vector types, arithmetic,
// transposed loads). Included inside an anonymous namespace, after `S`, by
// simd_avx512.cpp and simd_avx2.cpp, each compiled for its own target.
//
// Layout: a tile is V vectors of L rows; lane l of vector v is row v * L + l. The stored
// bytes of each block are loaded from the tile's rows and transposed so that one vector
// holds the same 32-bit word of every row; decoding then runs lane-wise and yields, for
// column k, the vector of every row's k-th weight, the very float the plain decoder
// produces. Each lane adds its products in column order with separate multiply and add,
// so every row's value equals the plain kernel's bit for bit. No instruction here may be
// fused (no FMA): the build keeps -ffp-contract=off.
//
// Unrolling is steered loop by loop: the innermost loops unroll fully so that shift counts
// and word indices are constants, but unrolling the outer ones let GCC hoist whole groups
// of decoded vectors ahead of their use and spill them to the stack.

using F = S::F;
using I = S::I;
constexpr int L = S::L;

// acc + x[k] * w (matvec_f32's order) or acc + w * x[k] (the F32 and BF16 row kernels').
template <bool XFirst>
inline F step(F acc, const float* xk, F w) {
  F xv = S::bcast(xk);
  return S::add(acc, XFirst ? S::mul(xv, w) : S::mul(w, xv));
}

template <int V>
inline void fill(F (&acc)[V], float start) {
#pragma GCC unroll 16
  for (int v = 0; v < V; ++v) acc[v] = S::set1(start);
}

template <int V>
inline void store(float* out, const F (&acc)[V]) {
#pragma GCC unroll 16
  for (int v = 0; v < V; ++v) S::store(out + v * L, acc[v]);
}

// Software prefetch kDistance bytes ahead in every row of the tile: a tile reads V * L
// rows side by side, more streams than the hardware prefetchers follow. Past the end of
// the row the distance carries on into the next tile's rows, which are read next.
// Prefetches never fault, so addresses past the matrix are harmless.
constexpr std::size_t kDistance = 512;

template <int V>
inline void prefetch_ahead(const uint8_t* tile, std::size_t stride, std::size_t pos, std::size_t bytes) {
  // One prefetch per 64 bytes of row: the pieces [64k, 64k + 64) whose start falls in
  // [pos, pos + bytes), so consecutive calls issue each piece once.
  std::size_t first = (pos + kDistance + 63) / 64 * 64, last = pos + kDistance + bytes;
  for (std::size_t o = first; o < last; o += 64) {
    const uint8_t* t = tile;
    std::size_t at = o;
    if (at >= stride) {  // the next tile's rows come next
      t += V * L * stride;
      at -= stride;
    }
#pragma GCC unroll 16
    for (int r = 0; r < V * L; ++r) S::prefetch(t + r * stride + at);
  }
}

// ---- element types: F32, BF16, F16 (and matvec_f32's plain f32 rows) ----

enum class Elem { F32, BF16, F16 };

template <Elem E, bool XFirst>
inline void consume_elems(const I (&t)[L], const float* x, std::size_t m, F& acc) {
  if constexpr (E == Elem::F32) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < m; ++j) acc = step<XFirst>(acc, x + j, S::as_f(t[j]));
  } else {
#pragma GCC unroll 16
    for (std::size_t j = 0; 2 * j < m; ++j) {
      F w0 = E == Elem::BF16 ? S::as_f(S::slli(t[j], 16)) : S::f16lo(t[j]);
      acc = step<XFirst>(acc, x + 2 * j, w0);
      if (2 * j + 1 < m) {
        F w1 = E == Elem::BF16 ? S::as_f(S::and_(t[j], static_cast<int>(0xFFFF0000u))) : S::f16lo(S::srli(t[j], 16));
        acc = step<XFirst>(acc, x + 2 * j + 1, w1);
      }
    }
  }
}

template <Elem E, bool XFirst>
struct ElemTile {
  static constexpr int kVectors = 1;
  static constexpr std::size_t kElemBytes = E == Elem::F32 ? 4 : 2;
  static constexpr std::size_t kChunk = 4 * L / kElemBytes;  // elements of one row per load

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t n, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    std::size_t k = 0;
    for (; k + kChunk <= n; k += kChunk) {
      prefetch_ahead<V>(w, stride, k * kElemBytes, 4 * L);
#pragma GCC unroll 16
      for (int v = 0; v < V; ++v) {
        I tv[L];
        S::load_dL(w + v * L * stride + k * kElemBytes, stride, tv);
        consume_elems<E, XFirst>(tv, x + k, kChunk, acc[v]);
      }
    }
    if (k < n) {
      // The last columns: copy each row's remaining bytes into a zeroed buffer, so the
      // full-width loads never reach past the row.
      std::size_t rem = n - k;
      alignas(64) uint8_t buf[V * L][4 * L];
      __builtin_memset(buf, 0, sizeof buf);
#pragma GCC unroll 16
      for (int r = 0; r < V * L; ++r) __builtin_memcpy(buf[r], w + r * stride + k * kElemBytes, rem * kElemBytes);
#pragma GCC unroll 16
      for (int v = 0; v < V; ++v) {
        I tv[L];
        S::load_dL(buf[v * L], 4 * L, tv);
        consume_elems<E, XFirst>(tv, x + k, rem, acc[v]);
      }
    }
    store(out, acc);
  }
};

// Decoding works on code bytes: a vector of 32-bit words holds four consecutive codes of
// every row. byte_top moves code s of each word to the word's top byte, so the word read as
// an int32 is code * 2^24, converted exactly to f32; the scale it meets is pre-multiplied by
// 2^-24 (exact: every scale here is zero, at least 2^-24 in size, infinite or NaN). The real
// product code * scale is unchanged, so its rounding, and every bit of the weight, is the
// plain decoder's. Signed codes (Q8_0, Q5_0 - 16, Q6_K - 32) land with their sign.
inline F scale24(F scale) { return S::mul(scale, S::set1(0x1p-24f)); }
inline F code_f24(I words, int s) {
  return S::cvt(s == 3 ? S::and_(words, static_cast<int>(0xFF000000u)) : S::byte_top(words, s));
}

// ---- Q8_0: 34-byte blocks, d at 0, qs[32] int8 at 2 ----

#define KX_INLINE_LAMBDA __attribute__((always_inline))

// Calls fn(std::integral_constant<int, i>) for i = 0 .. N-1, so that word indices, byte
// positions and shift counts are constants wherever they are used.
template <int N, typename Fn>
KX_INLINE void static_for(Fn&& fn) {
  [&]<int... Is>(std::integer_sequence<int, Is...>) KX_INLINE_LAMBDA { (fn(std::integral_constant<int, Is>{}), ...); }(
      std::make_integer_sequence<int, N>{});
}

// Four blocks are 136 bytes of a row: four 32-byte chunks and 8 bytes more. Transposed
// together, they hold every code and every scale of the four blocks, so no scale needs a
// gather (which costs about twenty cycles here). Chunk c covers bytes [32c, 32c + 32); the
// fifth is read as the 16 bytes [120, 136), of which its words 2 and 3 are new.
struct Q8_0Group {
  static constexpr int kBlocks = 4;
  static constexpr int kBytes = 136;
  // Byte of element e (0..127) of the group, and of block i's scale.
  static constexpr int code_at(int e) { return 34 * (e / 32) + 2 + e % 32; }
  static constexpr int scale_at(int i) { return 34 * i; }
  static constexpr int chunk_of(int at) { return at < 128 ? at / 32 : 4; }
  static constexpr int word_of(int at) { return at < 128 ? (at % 32) / 4 : 2 + (at - 128) / 4; }
  // First element whose code lies in chunk c.
  static constexpr int first_in(int c) { return c < 4 ? 30 * c : c == 4 ? 120 : 128; }
};

struct Q8_0Tile {
  static constexpr int kVectors = 2;

  template <int V>
  static KX_INLINE void group(const uint8_t* g, std::size_t stride, const float* x, F (&acc)[V]) {
    using G = Q8_0Group;
    I wd[V][8];
    F d[V][G::kBlocks];
    static_for<5>([&](auto c) KX_INLINE_LAMBDA {
      constexpr int ch = c;
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = g + v * L * stride;
        if constexpr (ch < 4)
          S::load_d8(p + 32 * ch, stride, wd[v]);
        else
          S::load_d4(p + 120, stride, wd[v]);
      }
      static_for<G::kBlocks>([&](auto i) KX_INLINE_LAMBDA {
        constexpr int at = G::scale_at(i);
        if constexpr (G::chunk_of(at) == ch) {
#pragma GCC unroll 4
          for (int v = 0; v < V; ++v) {
            I word = wd[v][G::word_of(at)];
            d[v][i] = scale24(S::f16lo(at % 4 == 0 ? word : S::srli(word, 16)));
          }
        }
      });
      static_for<G::first_in(ch + 1) - G::first_in(ch)>([&](auto j) KX_INLINE_LAMBDA {
        constexpr int e = G::first_in(ch) + j;
        constexpr int at = G::code_at(e);
        F xv = S::bcast(x + e);
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v)
          acc[v] = S::add(acc[v], S::mul(xv, S::mul(code_f24(wd[v][G::word_of(at)], at % 4), d[v][e / 32])));
      });
    });
  }

  // One block on its own (the columns past the last whole group): the scale by a gather.
  template <int V>
  static KX_INLINE void block(const uint8_t* b, std::size_t stride, const float* x, F (&acc)[V]) {
    I offs = S::lane_offsets(stride);
    I t[V][8];
    F d[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const uint8_t* p = b + v * L * stride;
      d[v] = scale24(S::f16lo(S::gather(p, offs)));
      S::load_d8(p + 2, stride, t[v]);
    }
    static_for<32>([&](auto k) KX_INLINE_LAMBDA {
      F xv = S::bcast(x + k);
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v)
        acc[v] = S::add(acc[v], S::mul(xv, S::mul(code_f24(t[v][k / 4], k % 4), d[v])));
    });
  }

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    const std::size_t blocks = cols / 32;
    std::size_t b = 0;
    for (; b + Q8_0Group::kBlocks <= blocks; b += Q8_0Group::kBlocks) {
      prefetch_ahead<V>(w, stride, 34 * b, Q8_0Group::kBytes);
      group<V>(w + 34 * b, stride, x + 32 * b, acc);
    }
    for (; b < blocks; ++b) block<V>(w + 34 * b, stride, x + 32 * b, acc);
    store(out, acc);
  }
};

// ---- Q5_0 (22 bytes: d, qh at 2, qs[16] at 6) and Q5_1 (24 bytes: d, m, qh at 4, qs at 8) ----

// The 5-bit codes of elements 4i .. 4i+3 (high = false) or 16+4i .. 16+4i+3 (high = true)
// of a block, one per byte: nibble from qs word i, fifth bit from qh.
inline I q5_codes(I qs_word, I qh, int i, bool high) {
  I nib = high ? S::and_(S::srli(qs_word, 4), 0x0F0F0F0F) : S::and_(qs_word, 0x0F0F0F0F);
  return S::or_(nib, S::spread_bit4(qh, (high ? 16 : 0) + 4 * i));
}

struct Q5_0Tile {
  static constexpr int kVectors = 1;
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I qs[V][4];
    I qh[V];
    F d[V];
    for (std::size_t b = 0; b < cols / 32; ++b) {
      prefetch_ahead<V>(w, stride, 22 * b, 22);
#pragma GCC unroll 2
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 22 * b;
        // bytes 0..15 give d and qh (which straddles words 0 and 1), bytes 6..21 the qs
        I head[4];
        S::load_d4(p, stride, head);
        d[v] = scale24(S::f16lo(head[0]));
        qh[v] = S::or_(S::srli(head[0], 16), S::slli(head[1], 16));
        S::load_d4(p + 6, stride, qs[v]);
      }
      const float* xb = x + 32 * b;
#pragma GCC unroll 2
      for (int half = 0; half < 2; ++half)
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
          I c[V];
#pragma GCC unroll 2
          for (int v = 0; v < V; ++v) c[v] = S::sub_bytes(q5_codes(qs[v][i], qh[v], i, half == 1), 16);
#pragma GCC unroll 4
          for (int s = 0; s < 4; ++s)
#pragma GCC unroll 2
            for (int v = 0; v < V; ++v)
              acc[v] = step<true>(acc[v], xb + 16 * half + 4 * i + s, S::mul(code_f24(c[v], s), d[v]));
        }
    }
    store(out, acc);
  }
};

struct Q5_1Tile {
  static constexpr int kVectors = 1;
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, 0.0f);
    alignas(64) I qs[V][4];
    I qh[V];
    F d[V], m[V];
    for (std::size_t b = 0; b < cols / 32; ++b) {
      prefetch_ahead<V>(w, stride, 24 * b, 24);
#pragma GCC unroll 2
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 24 * b;
        I head[4];  // d | m << 16, qh, and the first qs words again
        S::load_d4(p, stride, head);
        d[v] = scale24(S::f16lo(head[0]));
        m[v] = S::f16lo(S::srli(head[0], 16));
        qh[v] = head[1];
        S::load_d4(p + 8, stride, qs[v]);
      }
      const float* xb = x + 32 * b;
#pragma GCC unroll 4
      for (int i = 0; i < 4; ++i) {
        I lo[V], hi[V];
#pragma GCC unroll 2
        for (int v = 0; v < V; ++v) {
          lo[v] = q5_codes(qs[v][i], qh[v], i, false);
          hi[v] = q5_codes(qs[v][i], qh[v], i, true);
        }
#pragma GCC unroll 4
        for (int s = 0; s < 4; ++s) {
          F x_lo = S::bcast(xb + 4 * i + s), x_hi = S::bcast(xb + 16 + 4 * i + s);
#pragma GCC unroll 2
          for (int v = 0; v < V; ++v) {
            F w_lo = S::add(S::mul(code_f24(lo[v], s), d[v]), m[v]);
            F w_hi = S::add(S::mul(code_f24(hi[v], s), d[v]), m[v]);
            acc[v] = S::add(acc[v], S::add(S::mul(w_hi, x_hi), S::mul(w_lo, x_lo)));
          }
        }
      }
    }
    store(out, acc);
  }
};

// ---- IQ4_NL: 18-byte blocks, d at 0, qs[16] at 2, 4-bit codes into the level table ----

struct Iq4nlTile {
  static constexpr int kVectors = 1;
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    static constexpr float kLevels[16] = {-127.f, -104.f, -83.f, -65.f, -49.f, -35.f, -22.f, -10.f,
                                          1.f,    13.f,   25.f,  38.f,  53.f,  69.f,  89.f,  113.f};
    const typename S::Table levels = S::table16(kLevels);
    I offs = S::lane_offsets(stride);
    F acc[V];
    fill(acc, 0.0f);
    alignas(64) I qs[V][4];
    F d[V];
    for (std::size_t b = 0; b < cols / 32; ++b) {
      prefetch_ahead<V>(w, stride, 18 * b, 18);
#pragma GCC unroll 2
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 18 * b;
        d[v] = S::f16lo(S::gather(p, offs));
        S::load_d4(p + 2, stride, qs[v]);
      }
      const float* xb = x + 32 * b;
#pragma GCC unroll 16
      for (int j = 0; j < 16; ++j) {
        F x_lo = S::bcast(xb + j), x_hi = S::bcast(xb + j + 16);
#pragma GCC unroll 2
        for (int v = 0; v < V; ++v) {
          // the lookup reads the low 4 bits of each word
          I lo = S::srli(qs[v][j / 4], 8 * (j % 4));
          I hi = S::srli(qs[v][j / 4], 8 * (j % 4) + 4);
          acc[v] = S::add(acc[v], S::mul(S::mul(x_lo, d[v]), S::lookup16(lo, levels)));
          acc[v] = S::add(acc[v], S::mul(S::mul(x_hi, d[v]), S::lookup16(hi, levels)));
        }
      }
    }
    store(out, acc);
  }
};

#include "dequant/simd_kquants.inl"

// ---- driving: whole tiles of Tile::kVectors vectors ----

// A tile of two vectors halves the time each lane chain of dependent adds takes per row,
// but doubles the rows read side by side, which the caches and prefetches must hold. On
// this machine one vector measured best for every type but Q4_K, whose decoding has the
// most work per element to overlap.
template <typename Tile>
std::size_t rows_of(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, std::size_t begin,
                    std::size_t end, float* out) {
  constexpr int V = Tile::kVectors;
  // The gathers address rows by 32-bit offsets.
  if (stride > static_cast<std::size_t>(0x7FFFFFFF) / (V * L)) return begin;
  std::size_t r = begin;
  for (; r + V * L <= end; r += V * L) Tile::template tile<V>(w + r * stride, stride, x, cols, out + r);
  // A remainder of single vectors where the tile has more.
  if constexpr (V > 1)
    for (; r + L <= end; r += L) Tile::template tile<1>(w + r * stride, stride, x, cols, out + r);
  return r;
}

constexpr SimdKernels kKernels = {
    static_cast<std::size_t>(L),
    rows_of<ElemTile<Elem::F32, false>>,
    rows_of<ElemTile<Elem::BF16, false>>,
    rows_of<Q5_1Tile>,
    rows_of<Iq4nlTile>,
    rows_of<ElemTile<Elem::F16, true>>,
    rows_of<Q5_0Tile>,
    rows_of<Q8_0Tile>,
    rows_of<Q4_KTile>,
    rows_of<Q6_KTile>,
    rows_of<ElemTile<Elem::F32, true>>,
};
