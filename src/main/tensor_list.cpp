#include "main/tensor_list.hpp"

#include <fmt/format.h>

#include "common/output.hpp"

namespace korvex {

namespace {

constexpr std::size_t NAME_WIDTH = 60;

// Names come out of the reader as valid UTF-8, so every byte that is not a continuation
// byte starts one scalar value.
std::size_t scalar_count(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char b : text) count += (b & 0xC0) != 0x80;
  return count;
}

}  // namespace

std::string tensor_list_line(const TensorInfo& info) {
  std::string line = info.name;
  const std::size_t chars = scalar_count(info.name);
  if (chars < NAME_WIDTH) line.append(NAME_WIDTH - chars, ' ');
  line += fmt::format(" type={} dims=[{}]", info.ggml_type, fmt::join(info.dims, ", "));
  return line;
}

void print_tensor_list(const GgufFile& file) {
  for (const TensorInfo& info : file.tensors) out_line(tensor_list_line(info));
}

}  // namespace korvex
