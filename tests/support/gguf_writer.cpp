#include "support/gguf_writer.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <span>
#include <stdexcept>

namespace korvex::test {
namespace {

struct Out {
  std::vector<uint8_t>& b;
  uint32_t version;
  template <typename T>
  void raw(T v) {
    uint8_t tmp[sizeof(T)];
    std::memcpy(tmp, &v, sizeof(T));
    b.insert(b.end(), tmp, tmp + sizeof(T));
  }
  void count(uint64_t n) {
    if (version == 1) raw<uint32_t>(static_cast<uint32_t>(n));
    else raw<uint64_t>(n);
  }
  void str(const std::string& s) {
    count(s.size());
    b.insert(b.end(), s.begin(), s.end());
  }
  void value(const MetaValue& v) {
    std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::string>) {
            str(x);
          } else if constexpr (std::is_same_v<T, MetaArray>) {
            raw<uint32_t>(x.empty() ? uint32_t{MetaValue::U32} : x.front().type());
            count(x.size());
            for (const auto& e : x) value(e);
          } else if constexpr (std::is_same_v<T, bool>) {
            raw<uint8_t>(x ? 1 : 0);
          } else {
            raw<T>(x);
          }
        },
        v.value);
  }
};

uint64_t align_up(uint64_t p, uint64_t a) { return a == 0 || p % a == 0 ? p : p + a - p % a; }

}  // namespace

GgufBuilder& GgufBuilder::kv(std::string key, MetaValue value) {
  kvs.emplace_back(std::move(key), std::move(value));
  return *this;
}

GgufBuilder& GgufBuilder::tensor(std::string name, std::vector<uint64_t> dims, uint32_t ggml_type,
                                 std::vector<uint8_t> data) {
  tensors.push_back({std::move(name), std::move(dims), ggml_type, std::move(data), std::nullopt, {}, 0});
  return *this;
}

GgufBuilder& GgufBuilder::tensor_source(std::string name, std::vector<uint64_t> dims, uint32_t ggml_type,
                                        uint64_t size, std::function<std::vector<uint8_t>()> source) {
  tensors.push_back({std::move(name), std::move(dims), ggml_type, {}, std::nullopt, std::move(source), size});
  return *this;
}

GgufBuilder& GgufBuilder::tensor_f32(std::string name, std::vector<uint64_t> dims,
                                     const std::vector<float>& values) {
  return tensor(std::move(name), std::move(dims), 0, f32_bytes(values));
}

namespace {

// Header, metadata and tensor table, and where each tensor's bytes go.
struct Layout {
  std::vector<uint8_t> head;
  std::vector<uint64_t> offsets;  // relative to data_start
  uint64_t data_start = 0;
  uint64_t data_size = 0;         // up to the end of the last tensor
  uint64_t file_size() const { return offsets.empty() ? head.size() : data_start + data_size; }
};

Layout layout(const GgufBuilder& g) {
  Layout l;
  Out o{l.head, g.version};
  o.raw<uint32_t>(0x46554747);
  o.raw<uint32_t>(g.version);
  o.count(g.tensors.size());
  o.count(g.kvs.size());
  for (const auto& [k, v] : g.kvs) {
    o.str(k);
    o.raw<uint32_t>(v.type());
    o.value(v);
  }
  for (const auto& t : g.tensors) {
    uint64_t off = t.offset ? *t.offset : align_up(l.data_size, g.alignment);
    l.offsets.push_back(off);
    l.data_size = std::max(l.data_size, off + t.size());
    o.str(t.name);
    o.raw<uint32_t>(static_cast<uint32_t>(t.dims.size()));
    for (uint64_t d : t.dims) o.count(d);
    o.raw<uint32_t>(t.ggml_type);
    o.raw<uint64_t>(off);
  }
  l.data_start = align_up(l.head.size(), g.alignment);
  return l;
}

// The tensor's bytes: its data, or what its source makes, kept in `made`.
std::span<const uint8_t> tensor_bytes(const GgufBuilder::Tensor& t, std::vector<uint8_t>& made) {
  if (!t.source) return t.data;
  made = t.source();
  if (made.size() != t.source_size)
    throw std::runtime_error("tensor " + t.name + ": source gave " + std::to_string(made.size()) +
                             " bytes, not " + std::to_string(t.source_size));
  return made;
}

}  // namespace

std::vector<uint8_t> GgufBuilder::bytes() const {
  Layout l = layout(*this);
  const uint64_t size = l.file_size();
  std::vector<uint8_t> b = std::move(l.head);
  b.resize(size, 0);
  for (size_t i = 0; i < tensors.size(); ++i) {
    std::vector<uint8_t> made;
    std::span<const uint8_t> data = tensor_bytes(tensors[i], made);
    if (!data.empty())  // an empty vector's data() may be null
      std::memcpy(b.data() + l.data_start + l.offsets[i], data.data(), data.size());
  }
  return b;
}

void GgufBuilder::write_to(const std::filesystem::path& path) const {
  Layout l = layout(*this);
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(l.head.data()), static_cast<std::streamsize>(l.head.size()));
    for (size_t i = 0; i < tensors.size() && f; ++i) {
      std::vector<uint8_t> made;
      std::span<const uint8_t> data = tensor_bytes(tensors[i], made);
      // Seeking past the end leaves a gap that reads as zeros, like the padding of bytes().
      f.seekp(static_cast<std::streamoff>(l.data_start + l.offsets[i]));
      if (!data.empty())
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    f.close();
    if (!f) throw std::runtime_error("cannot write " + path.string());
  }
  // Padding after the last tensor written, or a table of empty tensors, still has its bytes.
  std::filesystem::resize_file(path, l.file_size());
}

std::string GgufBuilder::write() const { return write_temp_file(bytes()); }

MetaValue mv_u32(uint32_t v) { return MetaValue{v}; }
MetaValue mv_i32(int32_t v) { return MetaValue{v}; }
MetaValue mv_f32(float v) { return MetaValue{v}; }
MetaValue mv_str(std::string v) { return MetaValue{std::move(v)}; }
MetaValue mv_bool(bool v) { return MetaValue{v}; }
MetaValue mv_arr(std::vector<MetaValue> items) { return MetaValue{MetaArray(std::move(items))}; }
MetaValue mv_str_arr(const std::vector<std::string>& items) {
  MetaArray a;
  for (const auto& s : items) a.push_back(mv_str(s));
  return MetaValue{std::move(a)};
}

std::filesystem::path temp_dir() {
  static std::once_flag once;
  static std::filesystem::path dir;
  std::call_once(once, [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvex-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    static struct Cleanup {
      ~Cleanup() { std::error_code ec; std::filesystem::remove_all(dir, ec); }
    } cleanup;
  });
  return dir;
}

std::string write_temp_file(const std::vector<uint8_t>& bytes, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  auto path = temp_dir() / (std::to_string(counter++) + "-" + name);
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
  return path.string();
}

std::vector<uint8_t> f32_bytes(const std::vector<float>& values) {
  std::vector<uint8_t> b(values.size() * 4);
  if (!b.empty()) std::memcpy(b.data(), values.data(), b.size());
  return b;
}

}  // namespace korvex::test
