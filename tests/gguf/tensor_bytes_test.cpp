#include <gtest/gtest.h>

#include "common/fatal.hpp"
#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

std::string fatal_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Fatal& e) {
    return e.what();
  }
  return "<no fatal stop>";
}

TEST(GgmlTypeSize, WholeBlocksOnly) {
  struct Case {
    uint32_t type;
    uint64_t n, bytes;
  };
  const Case cases[] = {
      {0, 10, 40},   {1, 10, 20},    {30, 10, 20},   {8, 31, 0},    {8, 32, 34},   {8, 40, 34},
      {14, 512, 420}, {13, 256, 176}, {20, 64, 36},  {7, 64, 48},   {6, 64, 44},   {12, 256, 144},
      {12, 255, 0},  {0, 0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ggml_type_size(c.type, c.n), c.bytes) << c.type << " x" << c.n;
}

TEST(GgmlTypeSize, UnknownCodesStop) {
  for (uint32_t code : {2u, 3u, 4u, 5u, 9u, 10u, 11u, 15u, 19u, 21u, 29u, 31u, 0xFFFFFFFFu})
    EXPECT_EQ(fatal_message([&] { ggml_type_size(code, 32); }), fmt::format("unsupported ggml_type: {}", code));
}

TEST(TensorInfo, ElementCount) {
  EXPECT_EQ((TensorInfo{"a", {4096, 32000}, 0, 2, 0}).n_elements(), 4096ull * 32000);
  EXPECT_EQ((TensorInfo{"a", {}, 0, 0, 0}).n_elements(), 1u);
  EXPECT_EQ((TensorInfo{"a", {3, 0, 5}, 0, 3, 0}).n_elements(), 0u);
}

// One F32 tensor of 4 elements at the end of the file, its bytes 1, 2, 3, 4.
struct TensorFile {
  GgufFile file;
  TensorInfo last;
  TensorFile() {
    GgufBuilder b;
    b.tensor_f32("first", {2}, {9, 9}).tensor_f32("last", {2, 2}, {1, 2, 3, 4});
    file = std::move(*GgufFile::open(b.write()));
    last = file.tensors.at(1);
  }
  TensorInfo with(std::vector<uint64_t> dims, uint64_t offset, uint32_t type = 0) const {
    TensorInfo t = last;
    t.name = "blk.0.attn_q.weight";
    t.dims = std::move(dims);
    t.n_dims = static_cast<uint32_t>(t.dims.size());
    t.offset = offset;
    t.ggml_type = type;
    return t;
  }
};

TEST(TensorData, RangeEndingAtFileEndYieldsItsBytes) {
  TensorFile t;
  auto d = t.file.tensor_data(t.last);
  ASSERT_EQ(d.size(), 16u);
  EXPECT_EQ(d.data() + d.size(), t.file.mmap.data + t.file.mmap.size);
  float v[4];
  std::memcpy(v, d.data(), 16);
  EXPECT_EQ(v[0], 1.0f);
  EXPECT_EQ(v[3], 4.0f);

  auto empty = t.file.tensor_data(t.with({4, 0}, t.last.offset));
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.data(), t.file.mmap.data + t.file.data_offset + t.last.offset);
}

TEST(TensorData, RangesOutsideTheMappingStopNamingTheTensor) {
  TensorFile t;
  const uint64_t size = t.file.mmap.size;
  const uint64_t start = t.file.data_offset + t.last.offset;
  struct Case {
    const char* what;
    TensorInfo info;
    std::string message;
  };
  const uint64_t max = ~uint64_t{0};
  std::vector<Case> cases = {
      {"one byte too long", t.with({5}, t.last.offset),
       fmt::format("tensor blk.0.attn_q.weight lies outside the file (bytes {}..{} of {})", start, start + 20, size)},
      {"offset beyond the end", t.with({1}, 1 << 20),
       fmt::format("tensor blk.0.attn_q.weight lies outside the file (bytes {}..{} of {})", t.file.data_offset + (1 << 20),
                   t.file.data_offset + (1 << 20) + 4, size)},
      // A wrapped product would look like a 0-element tensor inside the file.
      {"dims overflow", t.with({uint64_t{1} << 32, uint64_t{1} << 32}, 0),
       "tensor blk.0.attn_q.weight lies outside the file (its size or end overflows 64 bits)"},
      {"size overflows", t.with({uint64_t{1} << 62}, 0),
       "tensor blk.0.attn_q.weight lies outside the file (its size or end overflows 64 bits)"},
      {"start overflows", t.with({1}, max - 2),
       "tensor blk.0.attn_q.weight lies outside the file (its size or end overflows 64 bits)"},
      {"unsupported type first", t.with({uint64_t{1} << 40}, max, 2), "unsupported ggml_type: 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(fatal_message([&] { t.file.tensor_data(c.info); }), c.message) << c.what;
}

TEST(TensorData, DataOffsetBeyondTheFileStopsAtFirstUse) {
  GgufBuilder b;
  b.kv("general.alignment", mv_i32(-1));
  b.tensor("empty", {0}, 0, {});
  auto f = GgufFile::open(b.write());
  ASSERT_TRUE(f) << f.error().message;
  EXPECT_EQ(f->data_offset, 4294967295u);
  EXPECT_EQ(fatal_message([&] { f->tensor_data(f->tensors[0]); }),
            fmt::format("tensor empty lies outside the file (bytes 4294967295..4294967295 of {})", f->mmap.size));
}

}  // namespace
}  // namespace korvex
