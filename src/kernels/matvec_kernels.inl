// The vectorised row products, written once over an instruction-set struct `S` that the
// including file defines (S::L lanes of f32, S::F / S::I vector types, arithmetic,
// transposed loads). Included inside an anonymous namespace, after `S`, by
// matvec_avx512.cpp and matvec_avx2.cpp, each compiled for its own target.
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

// Software prefetch: a tile reads V * L rows side by side, more streams than the hardware
// prefetchers follow. Prefetches never fault, so addresses past the matrix are harmless.
// Two ways, by the tile's size:
// - a tile of short rows (all of it well within the first-level cache, with the next one):
//   the next tile's bytes, in address order, in step with this tile's progress through its
//   rows, so that memory sees one sequential stream;
// - longer rows, or a kernel that asks for it (`Linear` false): kDistance bytes ahead in
//   every row of this tile, carrying on into the next tile's rows past the end of a row.
constexpr std::size_t kLinearTileBytes = std::size_t{24} << 10;
constexpr std::size_t kDistance = 1024;

// Called for bytes [pos, pos + bytes) of every row of the tile, in order of pos, so that
// consecutive calls issue each 64-byte piece once.
template <int V, bool Linear = true>
inline void prefetch_ahead(const uint8_t* tile, std::size_t stride, std::size_t pos, std::size_t bytes) {
  constexpr std::size_t R = V * L;
  if (Linear && R * stride <= kLinearTileBytes) {
    const uint8_t* next = tile + R * stride;
    for (std::size_t o = (R * pos + 63) / 64 * 64, last = R * (pos + bytes); o < last; o += 64)
      S::prefetch(next + o);
    return;
  }
  std::size_t first = (pos + kDistance + 63) / 64 * 64, last = pos + kDistance + bytes;
  for (std::size_t o = first; o < last; o += 64) {
    const uint8_t* t = tile;
    std::size_t at = o;
    if (at >= stride) {  // the next tile's rows come next
      t += R * stride;
      at -= stride;
    }
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) S::prefetch(t + r * stride + at);
  }
}

// The N words of 4 * N bytes of L rows (out[j] holds word j of every row), assembled in one
// of two ways. Full width (S::load_d8, S::load_dL): whole row pieces loaded, then transposed
// in stages that all run on the shuffle port. By lanes: each row's 16-byte pieces inserted
// into their 128-bit lanes as they load (an insert from memory need not use the shuffle
// port), leaving one in-lane transposition per piece: more operations, fewer of them on
// the port the decoding also needs. Which one each kernel uses was measured per type and
// instruction set, on one thread with the matrix in cache and then from memory.
template <bool ByLanes, std::size_t N>
KX_INLINE void load_words(const uint8_t* p, std::size_t s, I (&out)[N]) {
  static_assert(N == 8 || N == L);
  if constexpr (ByLanes) {
#pragma GCC unroll 4
    for (std::size_t k = 0; k < N / 4; ++k) S::load_d4(p + 16 * k, s, out + 4 * k);
  } else if constexpr (N == 8) {
    S::load_d8(p, s, out);
  } else {
    S::load_dL(p, s, out);
  }
}

// ---- element types: F32, BF16, F16 (and matvec_f32's plain f32 rows) ----

enum class Elem { F32, BF16, F16 };

template <Elem E, bool XFirst>
inline void consume_elems(const I (&t)[L], const float* x, std::size_t m, F& acc) {
  if constexpr (E == Elem::F32) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < m; ++j) acc = step<XFirst>(acc, x + j, S::as_f(t[j]));
  } else if constexpr (E == Elem::F16) {
#pragma GCC unroll 16
    for (std::size_t j = 0; 2 * j < m; ++j) {
      F w0, w1;
      S::f16_pair(t[j], w0, w1);
      acc = step<XFirst>(acc, x + 2 * j, w0);
      if (2 * j + 1 < m) acc = step<XFirst>(acc, x + 2 * j + 1, w1);
    }
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
  // By lanes: F16 10-20 % faster at either level, BF16 4 % at AVX-512 (at AVX2 faster in
  // cache but slower from memory), F32 slower.
  static constexpr bool kByLanes = E == Elem::F16 || (E == Elem::BF16 && L == 16);
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
        load_words<kByLanes>(w + v * L * stride + k * kElemBytes, stride, tv);
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
        load_words<kByLanes>(buf[v * L], 4 * L, tv);
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
  // One vector, and the prefetch row by row even where the rows are short: from memory,
  // on the Xeon kind of machine, a tile of 16 rows of 952 bytes ran 5-15 % faster so than
  // with the next tile read ahead in address order, and 32 rows ran slower either way.
  // (The 32-row tiles of the other short-row types measured as fast or faster in address
  // order.)
  static constexpr int kVectors = 1;
  // By lanes at AVX2 (7 % faster); at AVX-512 the same or slower.
  static constexpr bool kByLanes = L == 8;

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
          load_words<kByLanes>(p + 32 * ch, stride, wd[v]);
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
      prefetch_ahead<V, false>(w, stride, 34 * b, Q8_0Group::kBytes);
      group<V>(w + 34 * b, stride, x + 32 * b, acc);
    }
    for (; b < blocks; ++b) block<V>(w + 34 * b, stride, x + 32 * b, acc);
    store(out, acc);
  }
};

// ---- Blocks read 32 bytes at a time: Q5_0, Q5_1, IQ4_NL ----

// A block shorter than 32 bytes is read with the bytes before it, so that the read ends
// where the block ends and never runs past the row; only a row's first block starts the
// read at its own first byte. OFF is where the block starts in the 32 bytes read: 0 for
// the first block, 32 - block bytes for every other, which puts the fields of most
// blocks on word boundaries.
template <int Bytes>
struct BlockWindow {
  static constexpr int kRest = 32 - Bytes;
  // A row of one block is shorter than the read of its first block.
  static constexpr std::size_t kMinCols = 64;
  static const uint8_t* start(const uint8_t* row, std::size_t b) {
    return b == 0 ? row : row + Bytes * b - kRest;
  }
};

// The fewest columns a tile reads within its rows: those that read each block in a
// window of 32 bytes need two blocks; narrower rows go to the plain kernel.
template <typename Tile>
constexpr std::size_t min_cols() {
  if constexpr (requires { Tile::W::kMinCols; })
    return Tile::W::kMinCols;
  else
    return 0;
}

// The half at byte `at` (even) of the transposed words, as f32.
template <int At, std::size_t N>
KX_INLINE F half_at(const I (&w)[N]) {
  return S::f16lo(At % 4 == 0 ? w[At / 4] : S::srli(w[At / 4], 16));
}

// The 32-bit field at byte `at` (even) of the transposed words.
template <int At, std::size_t N>
KX_INLINE I word_at(const I (&w)[N]) {
  if constexpr (At % 4 == 0)
    return w[At / 4];
  else
    return S::or_(S::srli(w[At / 4], 16), S::slli(w[At / 4 + 1], 16));
}

// Q5 codes, one per byte, placed so that moving a byte to the top of its word gives an
// int32 that converts exactly to code * 2^K: Q5_0 stores the signed code - 16 in the top
// five bits (the fifth bit inverted is its sign: (c - 16) * 2^27), Q5_1 the unsigned
// code one bit lower (c * 2^26). The nibble comes from the qs byte, the fifth bit from
// qh; `bit0` is the qh bit of byte 0 of the word (bytes outside the block are don't-care).
template <bool Signed, bool High>
KX_INLINE I q5_code_bytes(I qs_word, I qh, int bit0) {
  auto bit = [&](int p) { int b = bit0 + p; return b < 0 || b > 31 ? 0 : b; };
  if constexpr (Signed) {
    I nib = High ? S::srli(qs_word, 1) : S::slli(qs_word, 3);  // nibble at bits 3..6
    return S::merge_bits(nib, S::mark_bytes(qh, bit(0), bit(1), bit(2), bit(3), 0x80, true), 0x78787878);
  } else {
    I nib = High ? S::srli(qs_word, 2) : S::slli(qs_word, 2);  // nibble at bits 2..5
    return S::merge_bits(nib, S::mark_bytes(qh, bit(0), bit(1), bit(2), bit(3), 0x40, false), 0x3C3C3C3C);
  }
}

// Byte s of each word at the top of the word, the rest zero, converted to f32.
KX_INLINE F top_byte_f(I words, int s) { return code_f24(words, s); }

// ---- Q5_0 (22 bytes: d, qh at 2, qs[16] at 6) ----

struct Q5_0Tile {
  static constexpr int kVectors = 2;
  static constexpr bool kByLanes = true;  // 5-7 % faster at either level
  using W = BlockWindow<22>;

  template <int V, int Off>
  static KX_INLINE void block(const uint8_t* win, std::size_t stride, const float* x, F (&acc)[V]) {
    constexpr int qs0 = Off + 6;  // byte of qs[0]
    I wd[V][8];
    F d[V];
    I qh[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      load_words<kByLanes>(win + v * L * stride, stride, wd[v]);
      d[v] = S::mul(half_at<Off>(wd[v]), S::set1(0x1p-27f));
      qh[v] = word_at<Off + 2>(wd[v]);
    }
    static_for<2>([&](auto high) KX_INLINE_LAMBDA {
      static_for<(qs0 + 15) / 4 - qs0 / 4 + 1>([&](auto wi) KX_INLINE_LAMBDA {
        constexpr int w = qs0 / 4 + wi;
        constexpr int j0 = 4 * w - qs0;  // qs index of byte 0 of the word
        I code[V];
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v)
          code[v] = q5_code_bytes<true, high == 1>(wd[v][w], qh[v], j0 + 16 * high);
        static_for<4>([&](auto p) KX_INLINE_LAMBDA {
          constexpr int j = j0 + p;
          if constexpr (j >= 0 && j < 16) {
            F xv = S::bcast(x + j + 16 * high);
#pragma GCC unroll 4
            for (int v = 0; v < V; ++v) acc[v] = S::add(acc[v], S::mul(xv, S::mul(top_byte_f(code[v], p), d[v])));
          }
        });
      });
    });
  }

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    const std::size_t blocks = cols / 32;
    for (std::size_t b = 0; b < blocks; ++b) {
      prefetch_ahead<V>(w, stride, 22 * b, 22);
      if (b == 0)
        block<V, 0>(w, stride, x, acc);
      else
        block<V, W::kRest>(W::start(w, b), stride, x + 32 * b, acc);
    }
    store(out, acc);
  }
};

// ---- Q5_1 (24 bytes: d, m, qh at 4, qs at 8) ----

struct Q5_1Tile {
  static constexpr int kVectors = 2;
  static constexpr bool kByLanes = true;  // 5-7 % faster at either level
  using W = BlockWindow<24>;

  template <int V, int Off>
  static KX_INLINE void block(const uint8_t* win, std::size_t stride, const float* x, F (&acc)[V]) {
    I wd[V][8];
    F d[V], m[V];
    I qh[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      load_words<kByLanes>(win + v * L * stride, stride, wd[v]);
      d[v] = S::mul(half_at<Off>(wd[v]), S::set1(0x1p-26f));
      m[v] = half_at<Off + 2>(wd[v]);
      qh[v] = wd[v][(Off + 4) / 4];
    }
    static_for<4>([&](auto i) KX_INLINE_LAMBDA {
      constexpr int w = (Off + 8) / 4 + i;
      I lo[V], hi[V];
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        lo[v] = q5_code_bytes<false, false>(wd[v][w], qh[v], 4 * i);
        hi[v] = q5_code_bytes<false, true>(wd[v][w], qh[v], 16 + 4 * i);
      }
      static_for<4>([&](auto p) KX_INLINE_LAMBDA {
        constexpr int j = 4 * i + p;
        F x_lo = S::bcast(x + j), x_hi = S::bcast(x + j + 16);
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
          F w_lo = S::add(S::mul(top_byte_f(lo[v], p), d[v]), m[v]);
          F w_hi = S::add(S::mul(top_byte_f(hi[v], p), d[v]), m[v]);
          acc[v] = S::add(acc[v], S::add(S::mul(w_hi, x_hi), S::mul(w_lo, x_lo)));
        }
      });
    });
  }

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, 0.0f);
    const std::size_t blocks = cols / 32;
    for (std::size_t b = 0; b < blocks; ++b) {
      prefetch_ahead<V>(w, stride, 24 * b, 24);
      if (b == 0)
        block<V, 0>(w, stride, x, acc);
      else
        block<V, W::kRest>(W::start(w, b), stride, x + 32 * b, acc);
    }
    store(out, acc);
  }
};

// ---- IQ4_NL: 18-byte blocks, d at 0, qs[16] at 2, 4-bit codes into the level table ----

struct Iq4nlTile {
  static constexpr int kVectors = 2;
  static constexpr bool kByLanes = L == 8;  // 7 % faster at AVX2, 3 % slower at AVX-512
  using W = BlockWindow<18>;

  template <int V, int Off>
  static KX_INLINE void block(const uint8_t* win, std::size_t stride, const float* x, F (&acc)[V],
                              const typename S::Table& levels) {
    constexpr int qs0 = Off + 2;
    I wd[V][8];
    F d[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      load_words<kByLanes>(win + v * L * stride, stride, wd[v]);
      d[v] = half_at<Off>(wd[v]);
    }
    static_for<16>([&](auto j) KX_INLINE_LAMBDA {
      constexpr int at = qs0 + j;
      F x_lo = S::bcast(x + j), x_hi = S::bcast(x + j + 16);
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        // the lookup reads the low 4 bits of each word
        I word = wd[v][at / 4];
        I lo = at % 4 == 0 ? word : S::srli(word, 8 * (at % 4));
        I hi = S::srli(word, 8 * (at % 4) + 4);
        acc[v] = S::add(acc[v], S::mul(S::mul(x_lo, d[v]), S::lookup16(lo, levels)));
        acc[v] = S::add(acc[v], S::mul(S::mul(x_hi, d[v]), S::lookup16(hi, levels)));
      }
    });
  }

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    static constexpr float kLevels[16] = {-127.f, -104.f, -83.f, -65.f, -49.f, -35.f, -22.f, -10.f,
                                          1.f,    13.f,   25.f,  38.f,  53.f,  69.f,  89.f,  113.f};
    const typename S::Table levels = S::table16(kLevels);
    F acc[V];
    fill(acc, 0.0f);
    const std::size_t blocks = cols / 32;
    for (std::size_t b = 0; b < blocks; ++b) {
      prefetch_ahead<V>(w, stride, 18 * b, 18);
      if (b == 0)
        block<V, 0>(w, stride, x, acc, levels);
      else
        block<V, W::kRest>(W::start(w, b), stride, x + 32 * b, acc, levels);
    }
    store(out, acc);
  }
};

#include "kernels/matvec_kquants.inl"

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
  if (cols < min_cols<Tile>()) return begin;
  std::size_t r = begin;
  for (; r + V * L <= end; r += V * L) Tile::template tile<V>(w + r * stride, stride, x, cols, out + r);
  // A remainder of single vectors where the tile has more.
  if constexpr (V > 1)
    for (; r + L <= end; r += L) Tile::template tile<1>(w + r * stride, stride, x, cols, out + r);
  return r;
}

constexpr MatvecKernels kKernels = {
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
