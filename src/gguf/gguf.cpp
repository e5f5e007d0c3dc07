#include "gguf/gguf.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "common/fatal.hpp"
#include "common/quote.hpp"
#include "common/utf8.hpp"
#include "dequant/ggml_types.hpp"

namespace korvex {
namespace {

constexpr uint32_t kMagic = 0x46554747;  // "GGUF" read little-endian
constexpr uint64_t kDefaultAlignment = 32;
// Room reserved for an array before its elements are read; the count is untrusted, so
// anything beyond this grows only as elements are actually found in the file.
constexpr uint64_t kMaxArrayReserve = 65536;

// The parse ends at the first failure with this message; open() turns it into a GgufError.
struct ParseError {
  std::string message;
};

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

// Sequential little-endian reads over the mapped bytes. A read of n bytes succeeds only
// when all n lie inside the file; the position is then advanced.
struct Reader {
  const uint8_t* data;
  uint64_t size;
  uint64_t pos = 0;
  uint32_t version = 0;

  bool has(uint64_t n) const { return n <= size && pos <= size - n; }

  template <typename T>
  T take(const char* eof_message) {
    if (!has(sizeof(T))) throw ParseError{eof_message};
    T v;
    std::memcpy(&v, data + pos, sizeof(T));
    pos += sizeof(T);
    return v;
  }

  uint32_t u32() { return take<uint32_t>("EOF u32"); }
  uint64_t u64() { return take<uint64_t>("EOF u64"); }
  // Counts and string lengths are 32-bit in version 1, 64-bit afterwards.
  uint64_t count() { return version == 1 ? u32() : u64(); }

  std::string string() {
    uint64_t len = count();
    if (!has(len)) throw ParseError{fmt::format("EOF reading string len={}", len)};
    std::string_view raw(reinterpret_cast<const char*>(data + pos), len);
    pos += len;
    return utf8_valid(raw) ? std::string(raw) : utf8_lossy(raw);
  }

  MetaValue scalar_or_string(uint32_t type) {
    switch (type) {
      case MetaValue::U8: return MetaValue{take<uint8_t>("EOF reading u8")};
      case MetaValue::I8: return MetaValue{take<int8_t>("EOF reading u8")};
      case MetaValue::Bool: return MetaValue{take<uint8_t>("EOF reading u8") != 0};
      case MetaValue::U16: return MetaValue{take<uint16_t>("EOF u16")};
      case MetaValue::I16: return MetaValue{take<int16_t>("EOF u16")};
      case MetaValue::U32: return MetaValue{take<uint32_t>("EOF u32")};
      case MetaValue::I32: return MetaValue{take<int32_t>("EOF u32")};
      case MetaValue::F32: return MetaValue{take<float>("EOF u32")};
      case MetaValue::U64: return MetaValue{take<uint64_t>("EOF u64")};
      case MetaValue::I64: return MetaValue{take<int64_t>("EOF u64")};
      case MetaValue::F64: return MetaValue{take<double>("EOF u64")};
      case MetaValue::String: return MetaValue{string()};
    }
    throw ParseError{"unreachable value type"};
  }

  MetaValue array() {
    uint32_t elem_type = u32();
    uint64_t n = count();
    MetaArray items;
    items.reserve(static_cast<std::size_t>(std::min(n, kMaxArrayReserve)));
    for (uint64_t i = 0; i < n; ++i) {
      // Tested per element, so an empty array of any element type is accepted.
      if (elem_type == MetaValue::Array || elem_type > MetaValue::F64)
        throw ParseError{fmt::format("Unknown array elem type: {}", elem_type)};
      items.push_back(scalar_or_string(elem_type));
    }
    return MetaValue{std::move(items)};
  }

  MetaValue value(uint32_t type) {
    if (type > MetaValue::F64) throw ParseError{fmt::format("Unknown GGUF value type: {}", type)};
    return type == MetaValue::Array ? array() : scalar_or_string(type);
  }

  TensorInfo tensor_record() {
    TensorInfo t;
    t.name = string();
    t.n_dims = u32();
    // n_dims is untrusted: the list grows as dimensions are actually read.
    for (uint32_t d = 0; d < t.n_dims; ++d) t.dims.push_back(version == 1 ? u32() : u64());
    t.ggml_type = u32();
    t.offset = u64();
    return t;
  }
};

uint64_t alignment_of(const std::unordered_map<std::string, MetaValue>& metadata) {
  auto it = metadata.find("general.alignment");
  if (it == metadata.end()) return kDefaultAlignment;
  if (auto* v = it->second.get<uint32_t>()) return *v;
  if (auto* v = it->second.get<int32_t>()) return static_cast<uint32_t>(*v);
  return kDefaultAlignment;
}

void parse(Reader& r, GgufFile& file) {
  uint32_t magic = r.u32();
  if (magic != kMagic) throw ParseError{fmt::format("Not a GGUF file (magic 0x{:08X})", magic)};
  r.version = r.u32();
  if (r.version < 1 || r.version > 3)
    throw ParseError{fmt::format("Unsupported GGUF version {}", r.version)};
  uint64_t tensor_count = r.count();
  uint64_t kv_count = r.count();

  for (uint64_t i = 0; i < kv_count; ++i) {
    std::string key = r.string();
    uint32_t type = r.u32();
    file.metadata.insert_or_assign(std::move(key), r.value(type));
  }
  // tensor_count is untrusted: no reservation, the table grows as records are read.
  for (uint64_t i = 0; i < tensor_count; ++i) file.tensors.push_back(r.tensor_record());

  uint64_t alignment = alignment_of(file.metadata);
  if (alignment == 0) throw ParseError{"invalid general.alignment 0"};
  // pos <= file size < 2^63 and alignment < 2^32, so this cannot overflow.
  uint64_t rem = r.pos % alignment;
  file.data_offset = rem == 0 ? r.pos : r.pos + (alignment - rem);
}

// Closes the descriptor on every path out of open().
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    if (data && size) ::munmap(const_cast<uint8_t*>(data), size);
    data = std::exchange(o.data, nullptr);
    size = std::exchange(o.size, 0);
  }
  return *this;
}

Mapping::~Mapping() {
  if (data && size) ::munmap(const_cast<uint8_t*>(data), size);
}

uint64_t TensorInfo::n_elements() const {
  uint64_t n = 1;
  for (uint64_t d : dims) n *= d;  // wraps, as the file's arithmetic is taken to
  return n;
}

std::expected<GgufFile, GgufError> GgufFile::open(const std::string& path) {
  FdGuard fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0)
    return std::unexpected(GgufError{fmt::format("Cannot open {}", quote_debug(path)), {os_error_text(errno)}});

  struct stat st {};
  if (::fstat(fd.fd, &st) != 0) return std::unexpected(GgufError{"mmap failed", {os_error_text(errno)}});
  if (st.st_size < 0) return std::unexpected(GgufError{"mmap failed", {"file size out of range"}});
  auto size = static_cast<uint64_t>(st.st_size);

  GgufFile file;
  if (size > 0) {
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.fd, 0);
    if (p == MAP_FAILED) return std::unexpected(GgufError{"mmap failed", {os_error_text(errno)}});
    file.mmap = Mapping(static_cast<const uint8_t*>(p), size);
  }

  Reader reader{file.mmap.data, size};
  try {
    parse(reader, file);
  } catch (ParseError& e) {
    return std::unexpected(GgufError{std::move(e.message), {}});
  }
  return file;
}

std::optional<std::string> GgufFile::architecture() const {
  auto it = metadata.find("general.architecture");
  if (it == metadata.end()) return std::nullopt;
  if (auto* s = it->second.get<std::string>()) return *s;
  return std::nullopt;
}

std::optional<uint32_t> GgufFile::meta_u32(std::string_view suffix) const {
  auto it = metadata.find(fmt::format("{}.{}", architecture().value_or("llama"), suffix));
  if (it == metadata.end()) return std::nullopt;
  if (auto* v = it->second.get<uint32_t>()) return *v;
  if (auto* v = it->second.get<int32_t>()) return static_cast<uint32_t>(*v);
  return std::nullopt;
}

std::optional<float> GgufFile::meta_f32(std::initializer_list<std::string_view> suffixes) const {
  std::string arch = architecture().value_or("llama");
  for (std::string_view suffix : suffixes) {
    auto it = metadata.find(fmt::format("{}.{}", arch, suffix));
    if (it == metadata.end()) continue;
    if (auto* v = it->second.get<float>()) return *v;
  }
  return std::nullopt;
}

uint64_t ggml_type_size(uint32_t ggml_type, uint64_t n) {
  const GgmlTypeInfo* t = ggml_type_info(ggml_type);
  if (!t) fatal("unsupported ggml_type: {}", ggml_type);
  return t->block_bytes * (n / t->block_elems);
}

std::optional<ByteRange> tensor_byte_range(const TensorInfo& info, uint64_t data_offset) {
  const GgmlTypeInfo* t = ggml_type_info(info.ggml_type);
  if (!t) fatal("unsupported ggml_type: {}", info.ggml_type);
  // The same figures as n_elements() and ggml_type_size(), but a product that wraps would
  // describe a tensor smaller than the one its users expect, so it counts as no range.
  uint64_t n = 1;
  for (uint64_t d : info.dims)
    if (__builtin_mul_overflow(n, d, &n)) return std::nullopt;
  uint64_t size = 0, begin = 0, end = 0;
  if (__builtin_mul_overflow(uint64_t{t->block_bytes}, n / t->block_elems, &size)) return std::nullopt;
  if (__builtin_add_overflow(data_offset, info.offset, &begin)) return std::nullopt;
  if (__builtin_add_overflow(begin, size, &end)) return std::nullopt;
  return ByteRange{begin, end};
}

std::span<const uint8_t> GgufFile::tensor_data(const TensorInfo& info) const {
  std::optional<ByteRange> r = tensor_byte_range(info, data_offset);
  if (!r) fatal("tensor {} lies outside the file (its size or end overflows 64 bits)", info.name);
  if (r->end > mmap.size)
    fatal("tensor {} lies outside the file (bytes {}..{} of {})", info.name, r->begin, r->end, mmap.size);
  return {mmap.data + r->begin, static_cast<std::size_t>(r->end - r->begin)};
}

}  // namespace korvex
