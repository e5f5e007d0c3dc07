#pragma once
// The GGUF model file: a read-only shared mapping of the whole file, its metadata and its
// tensor table. Opened once, never changed afterwards.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace korvex {

struct MetaValue;
using MetaArray = std::vector<MetaValue>;

// One metadata value. The variant's index is the GGUF value type code (0..12).
struct MetaValue {
  enum Type : uint32_t {
    U8 = 0, I8 = 1, U16 = 2, I16 = 3, U32 = 4, I32 = 5, F32 = 6,
    Bool = 7, String = 8, Array = 9, U64 = 10, I64 = 11, F64 = 12,
  };
  std::variant<uint8_t, int8_t, uint16_t, int16_t, uint32_t, int32_t, float, bool, std::string,
               MetaArray, uint64_t, int64_t, double>
      value;

  uint32_t type() const { return static_cast<uint32_t>(value.index()); }
  template <typename T>
  const T* get() const { return std::get_if<T>(&value); }

  bool operator==(const MetaValue&) const = default;
};

struct TensorInfo {
  std::string name;
  std::vector<uint64_t> dims;
  uint64_t offset = 0;  // relative to GgufFile::data_offset
  uint32_t n_dims = 0;
  uint32_t ggml_type = 0;

  // Product of dims (wrapping 64-bit); 1 without dims.
  uint64_t n_elements() const;
};

// The read-only shared mapping of the whole file; released on destruction.
struct Mapping {
  const uint8_t* data = nullptr;
  std::size_t size = 0;

  Mapping() = default;
  Mapping(const uint8_t* d, std::size_t n) : data(d), size(n) {}
  Mapping(Mapping&& o) noexcept : data(o.data), size(o.size) { o.data = nullptr; o.size = 0; }
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();
};

// An error of the reader: the message shown to the user, and the causes behind it
// (the operating system's reason), outermost first.
struct GgufError {
  std::string message;
  std::vector<std::string> causes;
};

struct GgufFile {
  std::unordered_map<std::string, MetaValue> metadata;
  std::vector<TensorInfo> tensors;
  uint64_t data_offset = 0;
  Mapping mmap;

  static std::expected<GgufFile, GgufError> open(const std::string& path);

  // "general.architecture" when it is a string.
  std::optional<std::string> architecture() const;
  // "{arch}.{suffix}" as U32, or I32 by its bit pattern; arch defaults to "llama".
  std::optional<uint32_t> meta_u32(std::string_view suffix) const;
  // The first of "{arch}.{suffix}" that holds an F32.
  std::optional<float> meta_f32(std::initializer_list<std::string_view> suffixes) const;

  // The tensor's bytes inside the mapping. A range outside the mapping is a fatal stop
  // naming the tensor; an unsupported type is "unsupported ggml_type: {}".
  std::span<const uint8_t> tensor_data(const TensorInfo& info) const;
};

// Bytes for n elements of a type, whole blocks only; unknown code: fatal
// "unsupported ggml_type: {}".
uint64_t ggml_type_size(uint32_t ggml_type, uint64_t n);

// A tensor's bytes as absolute file offsets [begin, end).
struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;
};

// Where a tensor's bytes lie, computed as tensor_data does, without touching the mapping:
// nothing when the element count, the byte size or the end does not fit in 64 bits (such
// a range can never lie inside a file). Unknown type code: fatal "unsupported ggml_type: {}".
std::optional<ByteRange> tensor_byte_range(const TensorInfo& info, uint64_t data_offset);

}  // namespace korvex
