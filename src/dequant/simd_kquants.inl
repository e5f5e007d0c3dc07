// The K-quant tiles (Q4_K, Q6_K) of the vectorised products, over the same instruction-set
// struct `S` and helpers as simd_kernels.inl, which includes this file.

// ---- Q4_K: 144-byte super-blocks of 256: d, dmin, scales[12] at 4, qs[128] at 16 ----

struct Q4_KTile {
  static constexpr int kVectors = 2;  // see the note before rows_of
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I head[V][4];
    alignas(64) I qs[V][32];
    alignas(64) F dsc[V][8];
    alignas(64) F msc[V][8];
    for (std::size_t b = 0; b < cols / 256; ++b) {
      prefetch_ahead<V>(w, stride, 144 * b, 144);
#pragma GCC unroll 16
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 144 * b;
        S::load_d4(p, stride, head[v]);
        S::load_d16(p + 16, stride, qs[v]);
        S::load_d16(p + 80, stride, qs[v] + 16);
        F d = S::f16lo(head[v][0]);
        F dmin = S::f16lo(S::srli(head[v][0], 16));
        // scales[0..3] in head[1], scales[4..7] in head[2], scales[8..11] in head[3]; the
        // 6-bit scale and minimum of each sub-block, one per byte, four sub-blocks a word
        I h1 = head[v][1], h2 = head[v][2], h3 = head[v][3];
        I sc_lo = S::and_(h1, 0x3F3F3F3F), mn_lo = S::and_(h2, 0x3F3F3F3F);
        I sc_hi = S::or_(S::and_(h3, 0x0F0F0F0F), S::and_(S::srli(h1, 2), 0x30303030));
        I mn_hi = S::or_(S::and_(S::srli(h3, 4), 0x0F0F0F0F), S::and_(S::srli(h2, 2), 0x30303030));
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
          dsc[v][i] = S::mul(d, S::cvt(S::byte_low(sc_lo, i)));
          msc[v][i] = S::mul(dmin, S::cvt(S::byte_low(mn_lo, i)));
          dsc[v][i + 4] = S::mul(d, S::cvt(S::byte_low(sc_hi, i)));
          msc[v][i + 4] = S::mul(dmin, S::cvt(S::byte_low(mn_hi, i)));
        }
      }
      const float* xb = x + 256 * b;
#pragma GCC unroll 1
      for (int g = 0; g < 4; ++g)
#pragma GCC unroll 1
        for (int half = 0; half < 2; ++half) {
          F dv[V], mv[V];
#pragma GCC unroll 16
          for (int v = 0; v < V; ++v) {
            dv[v] = dsc[v][2 * g + half];
            mv[v] = msc[v][2 * g + half];
          }
#pragma GCC unroll 2
          for (int i = 0; i < 8; ++i)
#pragma GCC unroll 4
            for (int s = 0; s < 4; ++s)
#pragma GCC unroll 2
              for (int v = 0; v < V; ++v) {
                // the table lookup reads the low 4 bits of each word
                I word = half ? S::srli(qs[v][8 * g + i], 4) : qs[v][8 * g + i];
                F q = S::nib_f(s == 0 ? word : S::byte_low(word, s));
                acc[v] = step<true>(acc[v], xb + 64 * g + 32 * half + 4 * i + s, S::sub(S::mul(q, dv[v]), mv[v]));
              }
        }
    }
    store(out, acc);
  }
};

// ---- Q6_K: 210-byte super-blocks: ql[128], qh[64] at 128, scales[16] int8 at 192, d at 208 ----

struct Q6_KTile {
  static constexpr int kVectors = 1;
  template <int V>
  static void tile(const uint8_t* w, std::size_t stride, const float* x, std::size_t cols, float* out) {
    I offs = S::lane_offsets(stride);
    F acc[V];
    fill(acc, -0.0f);
    alignas(64) I ql[V][32];
    alignas(64) I qh[V][16];
    alignas(64) F dsc[V][16];
    for (std::size_t b = 0; b < cols / 256; ++b) {
      prefetch_ahead<V>(w, stride, 210 * b, 210);
#pragma GCC unroll 16
      for (int v = 0; v < V; ++v) {
        const uint8_t* p = w + v * L * stride + 210 * b;
        S::load_d16(p, stride, ql[v]);
        S::load_d16(p + 64, stride, ql[v] + 16);
        S::load_d16(p + 128, stride, qh[v]);
        I sc[4];
        S::load_d4(p + 192, stride, sc);
        F d = S::f16lo(S::srli(S::gather(p + 206, offs), 16));
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i)
          dsc[v][i] = scale24(S::mul(S::cvt(S::srai(S::slli(sc[i / 4], 24 - 8 * (i % 4)), 24)), d));
      }
      const float* xb = x + 256 * b;
#pragma GCC unroll 1
      for (int h = 0; h < 2; ++h)
#pragma GCC unroll 1
        for (int quarter = 0; quarter < 4; ++quarter)
#pragma GCC unroll 2
          for (int i = 0; i < 8; ++i) {
            // quarters 0 and 2 take ql[64h + l], 1 and 3 ql[64h + 32 + l]; 0 and 1 the low
            // nibble, 2 and 3 the high; qh[32h + l] gives bits 2 * quarter and up.
            I c[V];
#pragma GCC unroll 16
            for (int v = 0; v < V; ++v) {
              I lsrc = ql[v][16 * h + 8 * (quarter % 2) + i];
              I low = quarter < 2 ? S::and_(lsrc, 0x0F0F0F0F) : S::and_(S::srli(lsrc, 4), 0x0F0F0F0F);
              I hsrc = qh[v][8 * h + i];
              I high = S::and_(2 * quarter <= 4 ? S::slli(hsrc, 4 - 2 * quarter) : S::srli(hsrc, 2 * quarter - 4),
                               0x30303030);
              c[v] = S::sub_bytes(S::or_(low, high), 32);
            }
#pragma GCC unroll 4
            for (int s = 0; s < 4; ++s) {
              int l = 4 * i + s;
#pragma GCC unroll 2
              for (int v = 0; v < V; ++v) {
                F wv = S::mul(code_f24(c[v], s), dsc[v][8 * h + l / 16 + 2 * quarter]);
                acc[v] = step<true>(acc[v], xb + 128 * h + 32 * quarter + l, wv);
              }
            }
          }
    }
    store(out, acc);
  }
};

