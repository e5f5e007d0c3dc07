#include <gtest/gtest.h>

#include "common/fatal.hpp"
#include "gguf/warm_up.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

constexpr uint64_t GiB = uint64_t{1} << 30;

// F32 tensors of the given byte sizes (multiples of 4), packed one after another.
std::vector<TensorInfo> f32_tensors(const std::vector<uint64_t>& bytes) {
  std::vector<TensorInfo> ts;
  uint64_t offset = 0;
  for (uint64_t b : bytes) {
    ts.push_back(TensorInfo{"t" + std::to_string(ts.size()), {b / 4}, offset, 1, 0});
    offset += b;
  }
  return ts;
}

TEST(WarmUp, TotalsAndTheirLine) {
  const uint64_t big_file = 64 * GiB;
  struct Case {
    const char* what;
    std::vector<uint64_t> sizes;
    uint64_t total;
    const char* shown;
  };
  std::vector<Case> cases = {
      {"no tensors", {}, 0, "0.0"},
      {"1.5 GB", {500000000, 1000000000}, 1500000000, "1.5"},
      {"exactly the limit", {10 * GiB, 10 * GiB}, WARM_UP_LIMIT, "21.5"},
      {"one byte past the limit counts, the next does not", {10 * GiB, 10 * GiB, 4, 4}, WARM_UP_LIMIT + 4, "21.5"},
      {"30 GiB in 1 GiB pieces", std::vector<uint64_t>(30, GiB), 21 * GiB, "22.5"},
  };
  for (const auto& c : cases) {
    auto ts = f32_tensors(c.sizes);
    uint64_t total = warm_up_total(ts, 0, big_file);
    EXPECT_EQ(total, c.total) << c.what;
    EXPECT_EQ(warm_up_message(total), fmt::format("korvex: mmap warmup complete ({} GB touched)", c.shown)) << c.what;
  }
}

TEST(WarmUp, SkipsTensorsOutsideTheMapping) {
  std::vector<TensorInfo> ts = f32_tensors({400, 400, 400});
  ts[1].dims = {uint64_t{1} << 33, uint64_t{1} << 33};  // product overflows
  EXPECT_EQ(warm_up_total(ts, 100, 100 + 1200), 800u);
  EXPECT_EQ(warm_up_total(ts, 100, 100 + 1199), 400u);  // the last one is a byte short
  EXPECT_EQ(warm_up_total(ts, ~uint64_t{0} - 10, ~uint64_t{0}), 0u);
}

TEST(WarmUp, UnsupportedTypeEndsThePassWithItsMessageOnly) {
  std::vector<TensorInfo> ts = f32_tensors({4});
  ts[0].ggml_type = 2;
  EXPECT_THROW(warm_up_total(ts, 0, 100), Fatal);

  GgufBuilder b;
  b.tensor("q4_0", {32}, 2, std::vector<uint8_t>(18)).tensor_f32("ok", {1}, {1});
  auto bad = std::make_shared<const GgufFile>(std::move(*GgufFile::open(b.write())));
  testing::internal::CaptureStderr();
  warm_up_mapping(bad);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "unsupported ggml_type: 2\n");

  GgufBuilder g;
  g.tensor_f32("a", {2}, {1, 2});
  auto good = std::make_shared<const GgufFile>(std::move(*GgufFile::open(g.write())));
  std::weak_ptr<const GgufFile> watch = good;
  testing::internal::CaptureStderr();
  warm_up_mapping(std::move(good));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "korvex: mmap warmup complete (0.0 GB touched)\n");
  EXPECT_TRUE(watch.expired());  // the pass let go of its handle
}

}  // namespace
}  // namespace korvex
