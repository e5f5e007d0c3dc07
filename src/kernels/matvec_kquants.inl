// The K-quant tiles (Q4_K, Q6_K) of the vectorised products, over the same instruction-set
// struct `S` and helpers as matvec_kernels.inl, which includes this file.
//
// Decoding works out, once per sub-block and row of the tile, what the columns share: the
// scales and minimums of a super-block, the transposed code words of a Q4_K group, the
// assembled codes of a Q6_K half block. Per column and vector there is then only the f32
// arithmetic the weight's definition asks for and one integer operation that isolates the
// code. With those saturating the vector pipes, every further operation per column would
// cost about a quarter cycle, which is why the codes are converted where they lie (scaled
// by a power of two that the factor they meet takes back) rather than moved into place.

// ---- Q4_K: 144-byte super-blocks of 256: d, dmin, scales[12] at 4, qs[128] at 16 ----

// Nibble P (bits 4P .. 4P+3) of every word as a float times 2^nibble_exp<P>: masked in place
// and converted, so that it comes out scaled by its position. The scale it meets carries the
// inverse power of two, which leaves the product and its rounding unchanged.
template <int P>
constexpr int nibble_exp = P == 7 ? S::kTopNibbleExp : 4 * P;

template <int P>
KX_INLINE F nibble_f(I w) {
  if constexpr (P == 7)
    return S::top_nibble_f(w);
  else
    return S::cvt(S::and_(w, 0xF << (4 * P)));
}

// 2^-e for the exponents used here (0 .. 48), exactly.
constexpr float pow2_neg(int e) { return e == 0 ? 1.0f : 0.5f * pow2_neg(e - 1); }

// v * 2^-e, exact for the scales met here: zero, infinite, NaN, or at least 2^-24 in size
// with no more than 19 significant bits, so that even 2^-52 of them stays a normal float.
template <int E>
KX_INLINE F times_pow2_neg(F v) {
  if constexpr (E == 0)
    return v;
  else
    return S::mul(v, S::set1(pow2_neg(E)));
}

struct Q4_KTile {
  static constexpr int kVectors = 2;

  // d1 = d * sc(i) and m1 = dmin * mn(i) of the 8 sub-blocks from the block's first 16 bytes
  // (words h[0..3] of every row): both exact, 11 by 6 significant bits. Each 6-bit field is
  // masked in place in its byte b, converted as field * 2^8b, and meets d * 2^-8b.
  static KX_INLINE void scales(const I (&h)[4], F (&d1)[8], F (&m1)[8]) {
    F d = S::f16lo(h[0]), dmin = S::f16lo(S::srli(h[0], 16));
    // Bytes b of h[1] and h[2] hold sc(b) and mn(b) in their low 6 bits for b < 4. Those of
    // sub-block 4 + b are the low (sc) or high (mn) nibble of byte b of h[3], with the top
    // two bits of byte b of h[1] (sc) or h[2] (mn) above; the bits above those are masked off
    // with the field below.
    I sc_hi = S::select(0x0F0F0F0F, h[3], S::srli(h[1], 2));
    I mn_hi = S::select(0x0F0F0F0F, S::srli(h[3], 4), S::srli(h[2], 2));
    static_for<4>([&](auto b) KX_INLINE_LAMBDA {
      constexpr int B = b;
      constexpr int field = 0x3F << (8 * B);
      F db = times_pow2_neg<8 * B>(d), mb = times_pow2_neg<8 * B>(dmin);
      d1[B] = S::mul(db, S::cvt(S::and_(h[1], field)));
      d1[B + 4] = S::mul(db, S::cvt(S::and_(sc_hi, field)));
      m1[B] = S::mul(mb, S::cvt(S::and_(h[2], field)));
      m1[B + 4] = S::mul(mb, S::cvt(S::and_(mn_hi, field)));
    });
  }

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) F d1[V][8];
    alignas(64) F m1[V][8];
    for (std::size_t b = 0; b < cols / 256; ++b) {
      prefetch_ahead<V>(w, stride, 144 * b, 144);
      const uint8_t* block = w + 144 * b;
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        I head[4];
        S::load_d4(block + v * L * stride, stride, head);
        scales(head, d1[v], m1[v]);
      }
      const float* xb = x + 256 * b;
      // Group g covers columns 64g .. 64g+63: the low nibbles of qs[32g .. 32g+31] (sub-block
      // 2g), then their high nibbles (sub-block 2g + 1); byte s of word j is column 4j + s.
      // Its words are transposed just before their use, so that they need not go through
      // memory and their loads and shuffles overlap the previous group's arithmetic.
#pragma GCC unroll 1
      for (int g = 0; g < 4; ++g) {
        I qs[V][8];
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) S::load_d8(block + v * L * stride + 16 + 32 * g, stride, qs[v]);
        static_for<2>([&](auto hi) KX_INLINE_LAMBDA {
          constexpr int H = hi;
          F dv[V][4], mv[V];
#pragma GCC unroll 4
          for (int v = 0; v < V; ++v) {
            F d = d1[v][2 * g + H];
            mv[v] = m1[v][2 * g + H];
            // d1 with the inverse scale of the nibble of byte s
            static_for<4>([&](auto s) KX_INLINE_LAMBDA { dv[v][s] = times_pow2_neg<nibble_exp<2 * s + H>>(d); });
          }
          const float* xh = xb + 64 * g + 32 * H;
#pragma GCC unroll 8
          for (int j = 0; j < 8; ++j) {
            static_for<4>([&](auto s) KX_INLINE_LAMBDA {
              F xv = S::bcast(xh + 4 * j + s);
#pragma GCC unroll 4
              for (int v = 0; v < V; ++v) {
                F q = nibble_f<2 * s + H>(qs[v][j]);
                acc[v] = S::add(acc[v], S::mul(xv, S::sub(S::mul(q, dv[v][s]), mv[v])));
              }
            });
          }
        });
      }
    }
    store(out, acc);
  }
};

// ---- Q6_K: 210-byte super-blocks: ql[128], qh[64] at 128, scales[16] int8 at 192, d at 208 ----

// The high two bits of a code, taken as a 4-bit index, moved up and with the code's offset
// taken off: ((index's field) << 4) - 32 as a byte, for the field in bits 0-1 or 2-3 of the
// index. Its low nibble is zero, so the code's low nibble fills in there.
struct Q6_KHigh {
  static constexpr uint8_t kField0[16] = {0xE0, 0xF0, 0x00, 0x10, 0xE0, 0xF0, 0x00, 0x10,
                                          0xE0, 0xF0, 0x00, 0x10, 0xE0, 0xF0, 0x00, 0x10};
  static constexpr uint8_t kField1[16] = {0xE0, 0xE0, 0xE0, 0xE0, 0xF0, 0xF0, 0xF0, 0xF0,
                                          0x00, 0x00, 0x00, 0x00, 0x10, 0x10, 0x10, 0x10};
};

struct Q6_KTile {
  static constexpr int kVectors = 2;
  static constexpr bool kByLanes = L == 8;  // 5 % faster at AVX2, 2 % slower at AVX-512

  // scale[j]: the scale of sub-block j times d * 2^-24. Bytes 178 .. 209 of the block hold
  // the end of qh, the 16 scales from byte 14 on and d in the top half of the last word.
  static KX_INLINE void scales(const uint8_t* p, std::size_t stride, F (&scale)[16]) {
    I tail[8];
    load_words<kByLanes>(p + 178, stride, tail);
    // The scales convert as scale * 2^24 from the top byte; d * 2^-48 brings the product to
    // scale * d * 2^-24, exact (19 significant bits, at least 2^-48 when not zero).
    F dd = times_pow2_neg<48>(S::f16lo(S::srli(tail[7], 16)));
    static_for<16>([&](auto j) KX_INLINE_LAMBDA {
      constexpr int at = 14 + j;
      scale[j] = S::mul(code_f24(tail[at / 4], at % 4), dd);
    });
  }

  // code[8k + i] of half h: one signed byte per column, the codes (q - 32) of columns
  // 128h + 32k + 4i .. +3. Quarters 0 and 1 take the low nibbles of ql[64h + l] and
  // ql[64h + 32 + l], quarters 2 and 3 their high nibbles, and quarter k takes bits 2k and
  // 2k + 1 of qh[32h + l] above them.
  static KX_INLINE void codes(const uint8_t* p, std::size_t stride, int h, I t0, I t1, I* code) {
    I lo[8], lo2[8], high[8];
    load_words<kByLanes>(p + 128 + 32 * h, stride, high);
    load_words<kByLanes>(p + 64 * h, stride, lo);
    load_words<kByLanes>(p + 64 * h + 32, stride, lo2);
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      I h01 = S::and_(high[i], 0x0F0F0F0F), h23 = S::and_(S::srli(high[i], 4), 0x0F0F0F0F);
      code[i] = S::select(0x0F0F0F0F, lo[i], S::lookup_bytes(t0, h01));
      code[8 + i] = S::select(0x0F0F0F0F, lo2[i], S::lookup_bytes(t1, h01));
      code[16 + i] = S::select(0x0F0F0F0F, S::srli(lo[i], 4), S::lookup_bytes(t0, h23));
      code[24 + i] = S::select(0x0F0F0F0F, S::srli(lo2[i], 4), S::lookup_bytes(t1, h23));
    }
  }

  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    const I t0 = S::table_bytes(Q6_KHigh::kField0), t1 = S::table_bytes(Q6_KHigh::kField1);
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) F scale[V][16];
    alignas(64) I code[V][32];
    for (std::size_t b = 0; b < cols / 256; ++b) {
      prefetch_ahead<V>(w, stride, 210 * b, 210);
      const uint8_t* block = w + 210 * b;
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) scales(block + v * L * stride, stride, scale[v]);
#pragma GCC unroll 1
      for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) codes(block + v * L * stride, stride, h, t0, t1, code[v]);
        const float* xh = x + 256 * b + 128 * h;
#pragma GCC unroll 1
        for (int k = 0; k < 4; ++k) {
          // columns 128h + 32k + l, l = 0 .. 31: sub-block 2k + l / 16 of half h
          F sc[V][2];
#pragma GCC unroll 4
          for (int v = 0; v < V; ++v) {
            sc[v][0] = scale[v][8 * h + 2 * k];
            sc[v][1] = scale[v][8 * h + 2 * k + 1];
          }
#pragma GCC unroll 8
          for (int i = 0; i < 8; ++i) {
            static_for<4>([&](auto s) KX_INLINE_LAMBDA {
              F xv = S::bcast(xh + 32 * k + 4 * i + s);
#pragma GCC unroll 4
              for (int v = 0; v < V; ++v) {
                // Read whole and aligned: a load that starts inside one stored vector and
                // ends in the next cannot take its bytes from the stores in flight, and
                // waits until both are written to the cache (on the Xeon kind of machine
                // that cost a tenth of the kernel's time).
                F wv = S::mul(code_f24(code[v][8 * k + i], s), sc[v][i / 4]);
                acc[v] = S::add(acc[v], S::mul(xv, wv));
              }
            });
          }
        }
      }
    }
    store(out, acc);
  }
};
