#pragma once
// Writes GGUF files for tests: any version, any value types, any tensor bytes, any alignment.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "gguf/gguf.hpp"

namespace korvex::test {

struct GgufBuilder {
  struct Tensor {
    std::string name;
    std::vector<uint64_t> dims;
    uint32_t ggml_type;
    std::vector<uint8_t> data;
    std::optional<uint64_t> offset;  // explicit offset (relative to data start), else packed
    // When set, the bytes are made only as the file is written (`data` stays empty): exactly
    // `source_size` of them, so that files larger than memory can be written.
    std::function<std::vector<uint8_t>()> source;
    uint64_t source_size = 0;

    uint64_t size() const { return source ? source_size : data.size(); }
  };

  uint32_t version = 3;
  uint64_t alignment = 32;  // where the tensor data is laid out; add "general.alignment" yourself
  std::vector<std::pair<std::string, MetaValue>> kvs;
  std::vector<Tensor> tensors;

  GgufBuilder& kv(std::string key, MetaValue value);
  GgufBuilder& tensor(std::string name, std::vector<uint64_t> dims, uint32_t ggml_type,
                      std::vector<uint8_t> data);
  GgufBuilder& tensor_f32(std::string name, std::vector<uint64_t> dims, const std::vector<float>& values);
  GgufBuilder& tensor_source(std::string name, std::vector<uint64_t> dims, uint32_t ggml_type, uint64_t size,
                             std::function<std::vector<uint8_t>()> source);

  // Header, metadata, tensor table, padding to `alignment`, then each tensor's bytes at its
  // offset (packed in order, each start rounded up to `alignment`, unless given).
  std::vector<uint8_t> bytes() const;
  // Writes bytes() to a new file in a fresh temporary directory and returns its path.
  std::string write() const;
  // Writes the same bytes to `path`, holding only one tensor's bytes at a time: each tensor is
  // made (its source called, in table order) just before it goes out. Throws when a source
  // gives the wrong number of bytes or the file cannot be written.
  void write_to(const std::filesystem::path& path) const;
};

MetaValue mv_u32(uint32_t v);
MetaValue mv_i32(int32_t v);
MetaValue mv_f32(float v);
MetaValue mv_str(std::string v);
MetaValue mv_bool(bool v);
MetaValue mv_arr(std::vector<MetaValue> items);
MetaValue mv_str_arr(const std::vector<std::string>& items);

// A fresh directory under the system's temporary directory, removed at process exit.
std::filesystem::path temp_dir();
// Writes raw bytes to a new file in temp_dir().
std::string write_temp_file(const std::vector<uint8_t>& bytes, const std::string& name = "t.gguf");

// Floats as their little-endian bytes (tensor data).
std::vector<uint8_t> f32_bytes(const std::vector<float>& values);

}  // namespace korvex::test
