#pragma once
// expf over arrays, and the two gate activations of the feed-forward blocks built on it, on
// the active instruction set. Every value is bit for bit what the plain formula with glibc's
// expf gives, NaN payloads included: the vector lanes compute e^x in double precision and
// hand the rare lanes whose float rounding is not certain back to expf (expf_lanes.inl).
#include <cstddef>

namespace korvex {

// out[i] = expf(in[i]); out may equal in.
void expf_array(const float* in, float* out, std::size_t n);

// out[i] = (g[i] / (expf(-g[i]) + 1.0f)) * u[i]: the dense block's gate; out may equal g or u.
void silu_gate_rows(const float* g, const float* u, float* out, std::size_t n);

// The mixture-of-experts gate: with gc = g[i] < 7 ? g[i] : 7 (a NaN gate gives 7) and
// uc = u[i] clamped to [-7, 7] (a NaN stays NaN),
// out[i] = (uc + 1.0f) * (gc / (expf(gc * -1.702f) + 1.0f)); out may equal g or u.
void expert_gate_rows(const float* g, const float* u, float* out, std::size_t n);

}  // namespace korvex
