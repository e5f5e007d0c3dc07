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
  for (int v = 0; v < V; ++v) acc[v] = S::set1(start);
}

template <int V>
inline void store(float* out, const F (&acc)[V]) {
  for (int v = 0; v < V; ++v) S::store(out + v * L, acc[v]);
}

// Bits [shift, shift + width) of each lane, placed at bit `at`; shifts can go either way.
inline I field(I v, int shift, int at, int mask_at) {
  I moved = shift >= at ? S::srli(v, shift - at) : S::slli(v, at - shift);
  return S::and_(moved, mask_at);
}

// ---- element types: F32, BF16, F16 (and matvec_f32's plain f32 rows) ----

enum class Elem { F32, BF16, F16 };

template <Elem E, bool XFirst, int V>
inline void consume_elems(const I (&t)[V][L], const float* x, std::size_t m, F (&acc)[V]) {
  if constexpr (E == Elem::F32) {
    for (std::size_t j = 0; j < m; ++j)
      for (int v = 0; v < V; ++v) acc[v] = step<XFirst>(acc[v], x + j, S::as_f(t[v][j]));
  } else {
    for (std::size_t j = 0; 2 * j < m; ++j) {
      for (int v = 0; v < V; ++v) {
        F w0 = E == Elem::BF16 ? S::as_f(S::slli(t[v][j], 16)) : S::f16lo(t[v][j]);
        acc[v] = step<XFirst>(acc[v], x + 2 * j, w0);
      }
      if (2 * j + 1 < m) {
        for (int v = 0; v < V; ++v) {
          F w1 = E == Elem::BF16 ? S::as_f(S::and_(t[v][j], static_cast<int>(0xFFFF0000u)))
                                 : S::f16lo(S::srli(t[v][j], 16));
          acc[v] = step<XFirst>(acc[v], x + 2 * j + 1, w1);
        }
      }
    }
  }
}

template <Elem E, bool XFirst>
struct ElemTile {
  static constexpr std::size_t kElemBytes = E == Elem::F32 ? 4 : 2;
  static constexpr std::size_t kChunk = 4 * L / kElemBytes;  // elements of one row per load

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t n, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I t[V][L];
    std::size_t k = 0;
    for (; k + kChunk <= n; k += kChunk) {
      for (int v = 0; v < V; ++v) S::load_dL(w + v * L * stride + k * kElemBytes, stride, t[v]);
      consume_elems<E, XFirst, V>(t, x + k, kChunk, acc);
    }
    if (k < n) {
      // The last columns: copy each row's remaining bytes into a zeroed buffer, so the
      // full-width loads never reach past the row.
      std::size_t rem = n - k;
      alignas(64) uint8_t buf[V * L][4 * L];
      __builtin_memset(buf, 0, sizeof buf);
      for (int r = 0; r < V * L; ++r) __builtin_memcpy(buf[r], w + r * stride + k * kElemBytes, rem * kElemBytes);
      for (int v = 0; v < V; ++v) S::load_dL(buf[v * L], 4 * L, t[v]);
      consume_elems<E, XFirst, V>(t, x + k, rem, acc);
    }
    store(out, acc);
  }
};

// ---- Q8_0: 34-byte blocks, d at 0, qs[32] int8 at 2 ----

struct Q8_0Tile {
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    I offs = S::lane_offsets(stride);
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I t[V][8];
    F d[V];
    for (std::size_t b = 0; b < cols / 32; ++b) {
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 34 * b;
        d[v] = S::f16lo(S::gather(p, offs));
        S::load_d8(p + 2, stride, t[v]);
      }
      const float* xb = x + 32 * b;
      for (int j = 0; j < 8; ++j)
        for (int s = 0; s < 4; ++s)
          for (int v = 0; v < V; ++v) {
            I q = S::srai(S::slli(t[v][j], 24 - 8 * s), 24);
            acc[v] = step<true>(acc[v], xb + 4 * j + s, S::mul(S::cvt(q), d[v]));
          }
    }
    store(out, acc);
  }
};

// ---- Q5_0 (22 bytes: d, qh at 2, qs[16] at 6) and Q5_1 (24 bytes: d, m, qh at 4, qs at 8) ----

// The 5-bit code of element j (0..31) of a block: nibble from qs, fifth bit from qh.
// qh4 is qh shifted left by 4, so bit j of qh sits at bit j + 4.
inline I q5_code(const I (&qs)[4], I qh, I qh4, int j) {
  int byte = j % 16;
  I nib = S::and_(S::srli(qs[byte / 4], 8 * (byte % 4) + (j < 16 ? 0 : 4)), 0x0F);
  I high = j < 16 ? S::and_(S::srli(qh4, j), 0x10) : S::and_(S::srli(qh, j - 4), 0x10);
  return S::or_(nib, high);
}

struct Q5_0Tile {
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    I offs = S::lane_offsets(stride);
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I qs[V][4];
    I qh[V], qh4[V];
    F d[V];
    for (std::size_t b = 0; b < cols / 32; ++b) {
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 22 * b;
        d[v] = S::f16lo(S::gather(p, offs));
        qh[v] = S::gather(p + 2, offs);
        qh4[v] = S::slli(qh[v], 4);
        S::load_d4(p + 6, stride, qs[v]);
      }
      const float* xb = x + 32 * b;
      for (int j = 0; j < 32; ++j)
        for (int v = 0; v < V; ++v) {
          I q = S::subi(q5_code(qs[v], qh[v], qh4[v], j), 16);
          acc[v] = step<true>(acc[v], xb + j, S::mul(S::cvt(q), d[v]));
        }
    }
    store(out, acc);
  }
};

struct Q5_1Tile {
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    I offs = S::lane_offsets(stride);
    F acc[V];
    fill(acc, 0.0f);
    alignas(64) I qs[V][4];
    I qh[V], qh4[V];
    F d[V], m[V];
    for (std::size_t b = 0; b < cols / 32; ++b) {
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 24 * b;
        I dm = S::gather(p, offs);
        d[v] = S::f16lo(dm);
        m[v] = S::f16lo(S::srli(dm, 16));
        qh[v] = S::gather(p + 4, offs);
        qh4[v] = S::slli(qh[v], 4);
        S::load_d4(p + 8, stride, qs[v]);
      }
      const float* xb = x + 32 * b;
      for (int j = 0; j < 16; ++j) {
        F x_lo = S::bcast(xb + j), x_hi = S::bcast(xb + j + 16);
        for (int v = 0; v < V; ++v) {
          F w_lo = S::add(S::mul(S::cvt(q5_code(qs[v], qh[v], qh4[v], j)), d[v]), m[v]);
          F w_hi = S::add(S::mul(S::cvt(q5_code(qs[v], qh[v], qh4[v], j + 16)), d[v]), m[v]);
          F t_lo = S::mul(w_lo, x_lo), t_hi = S::mul(w_hi, x_hi);
          acc[v] = S::add(acc[v], S::add(t_hi, t_lo));
        }
      }
    }
    store(out, acc);
  }
};

// ---- IQ4_NL: 18-byte blocks, d at 0, qs[16] at 2, 4-bit codes into the level table ----

struct Iq4nlTile {
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
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 18 * b;
        d[v] = S::f16lo(S::gather(p, offs));
        S::load_d4(p + 2, stride, qs[v]);
      }
      const float* xb = x + 32 * b;
      for (int j = 0; j < 16; ++j) {
        F x_lo = S::bcast(xb + j), x_hi = S::bcast(xb + j + 16);
        for (int v = 0; v < V; ++v) {
          I byte = S::srli(qs[v][j / 4], 8 * (j % 4));  // the lookup reads the low 4 bits
          acc[v] = S::add(acc[v], S::mul(S::mul(x_lo, d[v]), S::lookup16(byte, levels)));
          acc[v] = S::add(acc[v], S::mul(S::mul(x_hi, d[v]), S::lookup16(S::srli(byte, 4), levels)));
        }
      }
    }
    store(out, acc);
  }
};

// ---- Q4_K: 144-byte super-blocks of 256: d, dmin, scales[12] at 4, qs[128] at 16 ----

struct Q4_KTile {
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I head[V][4];
    alignas(64) I qs[V][32];
    alignas(64) F dsc[V][8];
    alignas(64) F msc[V][8];
    for (std::size_t b = 0; b < cols / 256; ++b) {
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 144 * b;
        S::load_d4(p, stride, head[v]);
        S::load_d16(p + 16, stride, qs[v]);
        S::load_d16(p + 80, stride, qs[v] + 16);
        F d = S::f16lo(head[v][0]);
        F dmin = S::f16lo(S::srli(head[v][0], 16));
        // scales[0..3] in head[1], scales[4..7] in head[2], scales[8..11] in head[3]
        for (int i = 0; i < 8; ++i) {
          I sc, mn;
          if (i < 4) {
            sc = S::and_(S::srli(head[v][1], 8 * i), 63);
            mn = S::and_(S::srli(head[v][2], 8 * i), 63);
          } else {
            int k = 8 * (i - 4);
            sc = S::or_(S::and_(S::srli(head[v][3], k), 0x0F), S::and_(S::srli(head[v][1], k + 2), 0x30));
            mn = S::or_(S::and_(S::srli(head[v][3], k + 4), 0x0F), S::and_(S::srli(head[v][2], k + 2), 0x30));
          }
          dsc[v][i] = S::mul(d, S::cvt(sc));
          msc[v][i] = S::mul(dmin, S::cvt(mn));
        }
      }
      const float* xb = x + 256 * b;
      for (int g = 0; g < 4; ++g)
        for (int half = 0; half < 2; ++half)
          for (int l = 0; l < 32; ++l)
            for (int v = 0; v < V; ++v) {
              I nib = S::srli(qs[v][8 * g + l / 4], 8 * (l % 4) + 4 * half);
              F wv = S::sub(S::mul(S::nib_f(nib), dsc[v][2 * g + half]), msc[v][2 * g + half]);
              acc[v] = step<true>(acc[v], xb + 64 * g + 32 * half + l, wv);
            }
    }
    store(out, acc);
  }
};

// ---- Q6_K: 210-byte super-blocks: ql[128], qh[64] at 128, scales[16] int8 at 192, d at 208 ----

struct Q6_KTile {
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    I offs = S::lane_offsets(stride);
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I ql[V][32];
    alignas(64) I qh[V][16];
    alignas(64) F dsc[V][16];
    for (std::size_t b = 0; b < cols / 256; ++b) {
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 210 * b;
        S::load_d16(p, stride, ql[v]);
        S::load_d16(p + 64, stride, ql[v] + 16);
        S::load_d16(p + 128, stride, qh[v]);
        I sc[4];
        S::load_d4(p + 192, stride, sc);
        F d = S::f16lo(S::srli(S::gather(p + 206, offs), 16));
        for (int i = 0; i < 16; ++i)
          dsc[v][i] = S::mul(S::cvt(S::srai(S::slli(sc[i / 4], 24 - 8 * (i % 4)), 24)), d);
      }
      const float* xb = x + 256 * b;
      for (int h = 0; h < 2; ++h)
        for (int quarter = 0; quarter < 4; ++quarter)
          for (int l = 0; l < 32; ++l)
            for (int v = 0; v < V; ++v) {
              int sh = 8 * (l % 4);
              // quarters 0 and 2 take ql[64h + l], 1 and 3 take ql[64h + 32 + l]; 0 and 1
              // the low nibble, 2 and 3 the high; qh supplies bits 2 * quarter, +1.
              I low_src = ql[v][16 * h + 8 * (quarter % 2) + l / 4];
              I low = S::and_(S::srli(low_src, sh + 4 * (quarter / 2)), 0x0F);
              I high = field(qh[v][8 * h + l / 4], sh + 2 * quarter, 4, 0x30);
              I q = S::subi(S::or_(low, high), 32);
              F wv = S::mul(dsc[v][8 * h + l / 16 + 2 * quarter], S::cvt(q));
              acc[v] = step<true>(acc[v], xb + 128 * h + 32 * quarter + l, wv);
            }
    }
    store(out, acc);
  }
};

// ---- driving: whole tiles of V = 2 vectors, then single vectors ----

template <typename Tile>
std::size_t rows_of(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, std::size_t begin,
                    std::size_t end, float* out) {
  // The gathers address rows by 32-bit offsets.
  if (stride > static_cast<std::size_t>(0x7FFFFFFF) / (2 * L)) return begin;
  std::size_t r = begin;
  for (; r + 2 * L <= end; r += 2 * L) Tile::template tile<2>(w + r * stride, stride, x, cols, out + r);
  for (; r + L <= end; r += L) Tile::template tile<1>(w + r * stride, stride, x, cols, out + r);
  return r;
}

constexpr SimdKernels kKernels = {
    static_cast<std::size_t>(L),
    static_cast<std::size_t>(2 * L),
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
