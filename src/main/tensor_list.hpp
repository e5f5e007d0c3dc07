#pragma once
// The tensor table as "--list-tensors" prints it: one line per record, in table order.
#include <string>

#include "gguf/gguf.hpp"

namespace korvex {

// "{name:60} type={code} dims=[d0, d1, ...]", the name padded to 60 characters (counted
// as Unicode scalar values, never cut).
std::string tensor_list_line(const TensorInfo& info);

void print_tensor_list(const GgufFile& file);

}  // namespace korvex
