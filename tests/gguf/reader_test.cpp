#include <dirent.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

// Hand-written file bytes, for shapes the writer cannot produce (bad type codes,
// truncations, lying counts).
struct Raw {
  std::vector<uint8_t> b;
  Raw& u8(uint8_t v) { b.push_back(v); return *this; }
  Raw& u32(uint32_t v) { return put(v); }
  Raw& u64(uint64_t v) { return put(v); }
  Raw& str(std::string_view s) { u64(s.size()); b.insert(b.end(), s.begin(), s.end()); return *this; }
  Raw& header(uint32_t version, uint64_t tensors, uint64_t kvs) {
    u32(0x46554747).u32(version);
    return version == 1 ? u32(uint32_t(tensors)).u32(uint32_t(kvs)) : u64(tensors).u64(kvs);
  }
  template <typename T>
  Raw& put(T v) {
    uint8_t tmp[sizeof v];
    std::memcpy(tmp, &v, sizeof v);
    b.insert(b.end(), tmp, tmp + sizeof v);
    return *this;
  }
};

std::string open_error(const std::vector<uint8_t>& bytes) {
  auto f = GgufFile::open(write_temp_file(bytes));
  return f ? "<opened>" : f.error().message;
}

GgufFile open_ok(const GgufBuilder& b) {
  auto f = GgufFile::open(b.write());
  if (!f) throw std::runtime_error(f.error().message);
  return std::move(*f);
}

TEST(GgufOpen, MissingFileShowsQuotedPathAndKeepsReasonAsCause) {
  auto f = GgufFile::open("no/such/dir/vant_model.gguf");
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error().message, "Cannot open \"no/such/dir/vant_model.gguf\"");
  ASSERT_FALSE(f.error().causes.empty());
  EXPECT_EQ(f.error().causes[0], "No such file or directory (os error 2)");

  auto q = GgufFile::open("a\"b\\c\td");
  ASSERT_FALSE(q);
  EXPECT_EQ(q.error().message, "Cannot open \"a\\\"b\\\\c\\td\"");
}

TEST(GgufOpen, DirectoryOpensButCannotBeMapped) {
  auto dir = temp_dir() / "a-directory";
  std::filesystem::create_directories(dir);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  if (st.st_size == 0) GTEST_SKIP() << "this file system gives directories no size";
  auto f = GgufFile::open(dir.string());
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error().message, "mmap failed");
  EXPECT_FALSE(f.error().causes.empty());
}

TEST(GgufOpen, MalformedFilesGiveTheirMessage) {
  const uint64_t huge = uint64_t{1} << 62;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::string message;
  };
  std::vector<Case> cases = {
      {"empty", {}, "EOF u32"},
      {"3 bytes", {0x47, 0x47, 0x55}, "EOF u32"},
      {"zero magic", {0, 0, 0, 0, 3, 0, 0, 0}, "Not a GGUF file (magic 0x00000000)"},
      {"other magic", {0x47, 0x47, 0x4D, 0x4C}, "Not a GGUF file (magic 0x4C4D4747)"},
      {"magic alone", Raw().u32(0x46554747).b, "EOF u32"},
      {"version 0", Raw().u32(0x46554747).u32(0).b, "Unsupported GGUF version 0"},
      {"version 4", Raw().header(4, 0, 0).b, "Unsupported GGUF version 4"},
      {"v3 of 20 bytes", Raw().u32(0x46554747).u32(3).u64(0).u32(0).b, "EOF u64"},
      {"v1 of 14 bytes", Raw().u32(0x46554747).u32(1).u32(0).u8(0).u8(0).b, "EOF u32"},
      {"value type 13", Raw().header(3, 0, 1).str("k").u32(13).u32(0).b, "Unknown GGUF value type: 13"},
      {"nested array", Raw().header(3, 0, 1).str("k").u32(9).u32(9).u64(2).u32(4).u64(0).b,
       "Unknown array elem type: 9"},
      {"array elem 13", Raw().header(3, 0, 1).str("k").u32(9).u32(13).u64(1).b, "Unknown array elem type: 13"},
      {"string past end", Raw().header(3, 0, 1).u64(1000).b, "EOF reading string len=1000"},
      {"string len overflows", Raw().header(3, 0, 1).u64(~uint64_t{0}).b,
       "EOF reading string len=18446744073709551615"},
      {"missing value type", Raw().header(3, 0, 1).str("k").b, "EOF u32"},
      {"u8 past end", Raw().header(3, 0, 1).str("k").u32(0).b, "EOF reading u8"},
      {"bool past end", Raw().header(3, 0, 1).str("k").u32(7).b, "EOF reading u8"},
      {"i16 past end", Raw().header(3, 0, 1).str("k").u32(3).u8(1).b, "EOF u16"},
      {"f32 past end", Raw().header(3, 0, 1).str("k").u32(6).u8(1).b, "EOF u32"},
      {"f64 past end", Raw().header(3, 0, 1).str("k").u32(12).u32(1).b, "EOF u64"},
      {"v1 array count", Raw().header(1, 0, 1).u32(1).u8('k').u32(9).u32(4).u8(0).b, "EOF u32"},
      // Counts far beyond the file end in the first element past it, reserving nothing.
      {"huge kv count", Raw().header(3, 0, huge).str("k").u32(4).u32(1).b, "EOF u64"},
      {"huge array", Raw().header(3, 0, 1).str("k").u32(9).u32(4).u64(huge).u32(1).u32(2).b, "EOF u32"},
      {"huge string array", Raw().header(3, 0, 1).str("k").u32(9).u32(8).u64(huge).str("a").b, "EOF u64"},
      {"huge tensor count", Raw().header(3, huge, 0).str("t").u32(0).u32(0).u64(0).b, "EOF u64"},
      {"huge n_dims", Raw().header(3, 1, 0).str("t").u32(0xFFFFFFFF).u64(1).u64(2).b, "EOF u64"},
      {"v1 dims", Raw().header(1, 1, 0).u32(1).u8('t').u32(2).u32(4).b, "EOF u32"},
      {"missing ggml_type", Raw().header(3, 1, 0).str("t").u32(0).b, "EOF u32"},
      {"missing offset", Raw().header(3, 1, 0).str("t").u32(0).u32(0).u32(0).b, "EOF u64"},
      {"alignment 0", GgufBuilder().kv("general.alignment", mv_u32(0)).bytes(), "invalid general.alignment 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(open_error(c.bytes), c.message) << c.what;
}

// Every cut of a file inside its header, metadata or tensor table ends with an end-of-file
// message, never a read past the end; cuts in the tensor data still open.
TEST(GgufOpen, EveryTruncationIsAnEndOfFileError) {
  for (uint32_t version : {1u, 3u}) {
    GgufBuilder b;
    b.version = version;
    b.alignment = 1;
    b.kv("general.alignment", mv_u32(1))  // data_offset is then the end of the tensor table
        .kv("s", mv_str("text"))
        .kv("b", mv_bool(true))
        .kv("i16", MetaValue{int16_t{-2}})
        .kv("f64", MetaValue{1.5})
        .kv("arr", mv_str_arr({"x", "yz"}))
        .kv("u8arr", mv_arr({MetaValue{uint8_t{1}}, MetaValue{uint8_t{2}}}))
        .tensor_f32("w", {2, 2}, {1, 2, 3, 4});
    std::vector<uint8_t> full = b.bytes();
    auto whole = GgufFile::open(write_temp_file(full));
    ASSERT_TRUE(whole) << whole.error().message;
    const uint64_t table_end = whole->data_offset;
    for (std::size_t n = 0; n < full.size(); ++n) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      auto f = GgufFile::open(write_temp_file(cut));
      if (n < table_end) {
        ASSERT_FALSE(f) << "v" << version << " cut at " << n;
        EXPECT_TRUE(f.error().message.starts_with("EOF")) << f.error().message << " at " << n;
      } else {
        EXPECT_TRUE(f) << "v" << version << " cut at " << n;
      }
    }
  }
}

TEST(GgufOpen, EmptyArrayOfAnyElementTypeIsAccepted) {
  auto path = write_temp_file(Raw().header(3, 0, 1).str("k").u32(9).u32(9).u64(0).b);
  auto f = GgufFile::open(path);
  ASSERT_TRUE(f) << f.error().message;
  const MetaArray* a = f->metadata.at("k").get<MetaArray>();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->empty());
}

TEST(GgufOpen, EveryValueTypeReadsBack) {
  GgufBuilder b;
  b.kv("u8", MetaValue{uint8_t{200}})
      .kv("i8", MetaValue{int8_t{-5}})
      .kv("u16", MetaValue{uint16_t{60000}})
      .kv("i16", MetaValue{int16_t{-30000}})
      .kv("u32", mv_u32(4000000000u))
      .kv("i32", mv_i32(-7))
      .kv("f32", mv_f32(0.25f))
      .kv("bool", mv_bool(true))
      .kv("str", mv_str("h\xC3\xA9llo"))
      .kv("u64", MetaValue{uint64_t{1} << 40})
      .kv("i64", MetaValue{int64_t{-1} << 40})
      .kv("f64", MetaValue{-2.5})
      .kv("arr", mv_str_arr({"a", "", "bc"}))
      .kv("iarr", mv_arr({mv_i32(1), mv_i32(-2)}));
  for (uint32_t version : {1u, 2u, 3u}) {
    b.version = version;
    GgufFile f = open_ok(b);
    ASSERT_EQ(f.metadata.size(), b.kvs.size());
    for (const auto& [key, value] : b.kvs) {
      const MetaValue& got = f.metadata.at(key);
      EXPECT_EQ(got.type(), value.type()) << key;
      EXPECT_TRUE(got == value) << key << " v" << version;
    }
    const MetaArray& arr = *f.metadata.at("arr").get<MetaArray>();
    ASSERT_EQ(arr.size(), 3u);
    EXPECT_EQ(*arr[2].get<std::string>(), "bc");
    const MetaArray& iarr = *f.metadata.at("iarr").get<MetaArray>();
    ASSERT_EQ(iarr.size(), 2u);
    EXPECT_EQ(*iarr[1].get<int32_t>(), -2);
  }
}

TEST(GgufOpen, Version1ParsesLikeVersion2) {
  GgufBuilder b;
  b.kv("general.architecture", mv_str("llama")).kv("llama.block_count", mv_u32(2));
  b.tensor_f32("a", {2, 3}, {1, 2, 3, 4, 5, 6}).tensor_f32("b", {4}, {7, 8, 9, 10});
  b.version = 1;
  GgufFile v1 = open_ok(b);
  b.version = 2;
  GgufFile v2 = open_ok(b);
  ASSERT_EQ(v1.tensors.size(), 2u);
  ASSERT_EQ(v2.tensors.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(v1.tensors[i].name, v2.tensors[i].name);
    EXPECT_EQ(v1.tensors[i].dims, v2.tensors[i].dims);
    EXPECT_EQ(v1.tensors[i].n_dims, v2.tensors[i].n_dims);
    EXPECT_EQ(v1.tensors[i].offset, v2.tensors[i].offset);
    EXPECT_EQ(v1.tensors[i].ggml_type, v2.tensors[i].ggml_type);
    auto d1 = v1.tensor_data(v1.tensors[i]);
    auto d2 = v2.tensor_data(v2.tensors[i]);
    EXPECT_TRUE(std::equal(d1.begin(), d1.end(), d2.begin(), d2.end()));
  }
  EXPECT_EQ(v1.metadata.size(), v2.metadata.size());
  EXPECT_EQ(v1.meta_u32("block_count"), 2u);
  EXPECT_EQ(v1.tensors[0].dims, (std::vector<uint64_t>{2, 3}));
}

TEST(GgufOpen, DuplicateKeysKeepTheLaterValue) {
  GgufFile f = open_ok(GgufBuilder().kv("k", mv_u32(1)).kv("k", mv_str("second")));
  ASSERT_EQ(f.metadata.size(), 1u);
  EXPECT_EQ(*f.metadata.at("k").get<std::string>(), "second");
}

TEST(GgufOpen, InvalidUtf8BecomesReplacementCharacters) {
  auto path = write_temp_file(Raw().header(3, 1, 1).str("k").u32(8).str("f\xFFo").str("t\xE2\x82").u32(0).u32(0).u64(0).b);
  auto f = GgufFile::open(path);
  ASSERT_TRUE(f) << f.error().message;
  EXPECT_EQ(*f->metadata.at("k").get<std::string>(), "f\xEF\xBF\xBDo");
  EXPECT_EQ(f->tensors.at(0).name, "t\xEF\xBF\xBD");
}

TEST(GgufOpen, AnyNonZeroBoolByteIsTrue) {
  auto path = write_temp_file(Raw().header(3, 0, 2).str("two").u32(7).u8(2).str("zero").u32(7).u8(0).b);
  auto f = GgufFile::open(path);
  ASSERT_TRUE(f) << f.error().message;
  EXPECT_EQ(*f->metadata.at("two").get<bool>(), true);
  EXPECT_EQ(*f->metadata.at("zero").get<bool>(), false);
}

// Files without tensors end with their metadata, so the writer's size is the position
// data_offset is aligned from. The alignment value's width is the same for every case.
TEST(GgufOpen, DataOffsetFollowsTheAlignmentRule) {
  auto end_with = [](MetaValue alignment) { return GgufBuilder().kv("general.alignment", alignment).bytes().size(); };
  const uint64_t p32 = end_with(mv_u32(0));  // same size with any U32/I32/F32 value
  const uint64_t p64 = end_with(MetaValue{uint64_t{0}});
  auto offset_with = [](MetaValue alignment) {
    return open_ok(GgufBuilder().kv("general.alignment", alignment)).data_offset;
  };
  auto up = [](uint64_t p, uint64_t a) { return (p + a - 1) / a * a; };
  ASSERT_NE(p32 % 32, 0u);  // the cases below would not tell the rules apart otherwise

  EXPECT_EQ(open_ok(GgufBuilder()).data_offset, 32u);  // 24-byte header, default 32
  EXPECT_EQ(offset_with(mv_f32(64)), up(p32, 32));
  EXPECT_EQ(offset_with(MetaValue{uint64_t{64}}), up(p64, 32));
  EXPECT_EQ(offset_with(mv_u32(64)), up(p32, 64));
  EXPECT_EQ(offset_with(mv_u32(48)), up(p32, 48));
  EXPECT_EQ(offset_with(mv_i32(48)), up(p32, 48));
  EXPECT_EQ(offset_with(mv_u32(uint32_t(p32))), p32);          // ends exactly on a multiple
  EXPECT_EQ(offset_with(mv_u32(uint32_t(p32 - 1))), 2 * (p32 - 1));  // not a power of two
  EXPECT_EQ(offset_with(mv_u32(1)), p32);
  // -1 as I32 is the alignment 4294967295, far beyond the file's end; that still opens.
  EXPECT_EQ(offset_with(mv_i32(-1)), 4294967295u);
}

TEST(GgufOpen, TensorTableIsKeptAsStored) {
  GgufBuilder b;
  b.alignment = 64;
  b.kv("general.alignment", mv_u32(64));
  b.tensor_f32("w", {3}, {1.5f, -2, 4});
  b.tensor("odd", {7, 0, 2}, 99, {});  // unknown type code and odd dims are not checked at open
  b.tensors.back().offset = 1000;
  GgufFile f = open_ok(b);
  ASSERT_EQ(f.tensors.size(), 2u);
  EXPECT_EQ(f.data_offset % 64, 0u);
  EXPECT_EQ(f.tensors[1].name, "odd");
  EXPECT_EQ(f.tensors[1].n_dims, 3u);
  EXPECT_EQ(f.tensors[1].dims, (std::vector<uint64_t>{7, 0, 2}));
  EXPECT_EQ(f.tensors[1].ggml_type, 99u);
  EXPECT_EQ(f.tensors[1].offset, 1000u);
  auto d = f.tensor_data(f.tensors[0]);
  ASSERT_EQ(d.size(), 12u);
  float v[3];
  std::memcpy(v, d.data(), 12);
  EXPECT_EQ(v[0], 1.5f);
  EXPECT_EQ(v[2], 4.0f);
}

std::size_t open_fd_count() {
  std::size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

TEST(GgufOpen, DescriptorIsClosedOnSuccessAndOnError) {
  std::string good = GgufBuilder().kv("a", mv_u32(1)).write();
  std::string bad = write_temp_file({0x47, 0x47, 0x55, 0x46, 9, 0, 0, 0});
  std::string empty = write_temp_file({});
  std::size_t before = open_fd_count();
  {
    auto f = GgufFile::open(good);
    ASSERT_TRUE(f);
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_FALSE(GgufFile::open(bad));
    EXPECT_FALSE(GgufFile::open(empty));
    EXPECT_EQ(open_fd_count(), before);
    // The mapping outlives the descriptor.
    EXPECT_EQ(f->mmap.size, std::filesystem::file_size(good));
    EXPECT_EQ(f->mmap.data[0], 'G');
  }
}

TEST(GgufAccessors, ArchitecturePrefixAndIntegerTypes) {
  auto file = [](std::optional<MetaValue> arch, std::string key, MetaValue v) {
    GgufBuilder b;
    if (arch) b.kv("general.architecture", *arch);
    return open_ok(b.kv(std::move(key), std::move(v)));
  };
  EXPECT_EQ(file(std::nullopt, "llama.block_count", mv_u32(24)).meta_u32("block_count"), 24u);
  EXPECT_EQ(file(mv_u32(5), "llama.block_count", mv_u32(24)).meta_u32("block_count"), 24u);
  EXPECT_EQ(file(mv_str("qwen2"), "qwen2.block_count", mv_i32(-1)).meta_u32("block_count"), 4294967295u);
  EXPECT_EQ(file(mv_str("qwen2"), "llama.block_count", mv_u32(24)).meta_u32("block_count"), std::nullopt);
  EXPECT_EQ(file(mv_str(""), ".block_count", mv_u32(3)).meta_u32("block_count"), 3u);
  EXPECT_EQ(file(std::nullopt, "llama.block_count", mv_f32(24)).meta_u32("block_count"), std::nullopt);
  EXPECT_EQ(file(std::nullopt, "llama.block_count", MetaValue{uint64_t{24}}).meta_u32("block_count"), std::nullopt);
  EXPECT_EQ(file(std::nullopt, "x", mv_u32(1)).architecture(), std::nullopt);
  EXPECT_EQ(file(mv_str("phi3"), "x", mv_u32(1)).architecture(), "phi3");
}

TEST(GgufAccessors, MetaF32TakesTheFirstFloatInListOrder) {
  GgufFile f = open_ok(GgufBuilder()
                           .kv("general.architecture", mv_str("a"))
                           .kv("a.rope.freq_base", mv_u32(5))
                           .kv("a.attention.rope.freq_base", mv_f32(500000))
                           .kv("a.both", mv_f32(1))
                           .kv("a.f64", MetaValue{2.0}));
  EXPECT_EQ(f.meta_f32({"rope.freq_base", "attention.rope.freq_base"}), 500000.0f);
  EXPECT_EQ(f.meta_f32({"both", "attention.rope.freq_base"}), 1.0f);
  EXPECT_EQ(f.meta_f32({"f64", "missing"}), std::nullopt);
  EXPECT_EQ(f.meta_f32({}), std::nullopt);
}

}  // namespace
}  // namespace korvex
