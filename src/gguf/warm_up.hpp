#pragma once
// The server's background pass over the tensor table: adds up the tensors' byte sizes up
// to a limit and reports the figure on standard error. It reads no byte of the mapping.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "gguf/gguf.hpp"

namespace korvex {

inline constexpr uint64_t WARM_UP_LIMIT = 21474836480ull;  // 20 GiB

// Sizes of the tensors in table order until the sum passes WARM_UP_LIMIT (the tensor that
// passes it is counted). A tensor whose range does not lie inside a mapping of
// `mapping_size` bytes is skipped and not counted. Unknown type code: fatal.
uint64_t warm_up_total(std::span<const TensorInfo> tensors, uint64_t data_offset, uint64_t mapping_size);

// "korvex: mmap warmup complete ({:.1} GB touched)", in decimal gigabytes.
std::string warm_up_message(uint64_t total);

// The thread's body: walks, writes the line to standard error, releases the handle. A
// fatal stop ends only this pass: its message goes to standard error, no completion line.
void warm_up_mapping(std::shared_ptr<const GgufFile> file);

}  // namespace korvex
