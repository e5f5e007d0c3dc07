#pragma once
// Stored tensor bytes to f32: the element types and the ggml block formats.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvex {

// Exact half to single conversion done on the bits, so a signalling NaN stays signalling
// (the hardware conversion would set the quiet bit).
float f16_to_f32(uint16_t bits);

// The first n elements of `data` as f32; block types produce whole blocks only
// (block_elems * (n / block_elems) values). Unknown codes and Q5_K are the fatal stop
// "dequant: unsupported ggml_type {}". Data shorter than the blocks asked for is a fatal
// stop, except for Q5_1, whose blocks without (complete) data stay 0.0.
std::vector<float> dequantize(std::span<const uint8_t> data, uint32_t ggml_type, uint64_t n);

// Decoders of whole blocks (one element is one block for the element types); each reads
// n_blocks * block_bytes bytes and writes n_blocks * block_elems floats.
void dequant_f32(const uint8_t* data, std::size_t n, float* out);
void dequant_f16(const uint8_t* data, std::size_t n, float* out);
void dequant_bf16(const uint8_t* data, std::size_t n, float* out);
void dequant_q5_0_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out);
void dequant_q5_1_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out);
void dequant_q8_0_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out);
void dequant_q4_k_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out);
void dequant_q6_k_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out);
void dequant_iq4_nl_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out);

// One Q5_1 block of 24 bytes into 32 floats.
void dequant_block_q5_1(const uint8_t* block, float* out);

}  // namespace korvex
