// The listing line, the three-decimal format and the sink statistics line.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "main/startup.hpp"
#include "main/tensor_list.hpp"

namespace korvex {
namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

TEST(TensorListLine, PadsNamesToSixtyCharactersNotBytes) {
  struct Case {
    std::string name;
    std::size_t spaces;  // before " type="
  };
  const std::string two_byte = "\xC3\xA9";  // é
  const std::vector<Case> cases = {
      {"a.b.c", 55},
      {std::string(70, 'x'), 0},
      {std::string(60, 'x'), 0},
      {std::string(59, 'x'), 1},
      {two_byte + std::string(56, 'n') + two_byte, 2},  // 58 characters in 60 bytes
      {"\xE2\x96\x81\xF0\x9F\x98\x80", 58},             // 3- and 4-byte characters
      {"", 60},
  };
  for (const auto& c : cases) {
    TensorInfo info;
    info.name = c.name;
    info.dims = {4096, 32000};
    info.ggml_type = 12;
    EXPECT_EQ(tensor_list_line(info), c.name + std::string(c.spaces, ' ') + " type=12 dims=[4096, 32000]")
        << c.name;
  }
}

TEST(TensorListLine, DimsAndRawTypeCode) {
  TensorInfo info;
  info.name = "t";
  info.ggml_type = 99;  // no known type: the code as it stands
  EXPECT_EQ(tensor_list_line(info), "t" + std::string(59, ' ') + " type=99 dims=[]");
  info.dims = {7};
  info.ggml_type = 0;
  EXPECT_EQ(tensor_list_line(info), "t" + std::string(59, ' ') + " type=0 dims=[7]");
  info.dims = {1, 2, 18446744073709551615ull};
  EXPECT_EQ(tensor_list_line(info), "t" + std::string(59, ' ') + " type=0 dims=[1, 2, 18446744073709551615]");
}

TEST(Fixed3, RoundsTheExactValueTiesToEven) {
  struct Case {
    float v;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1.0f, "1.000"},      {4.5f, "4.500"},     {2.5f, "2.500"},     {0.0f, "0.000"},
      {-0.0f, "-0.000"},    {-0.0004f, "-0.000"}, {0.0625f, "0.062"}, {0.1875f, "0.188"},
      {1.0005f, "1.000"},   // the float lies just below 1.0005
      {-2.0625f, "-2.062"}, {123456.789f, "123456.789"}, {1e10f, "10000000000.000"},
      {NaN, "NaN"},         {-NaN, "NaN"},        {INF, "inf"},        {-INF, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(f32_fixed3(c.v), c.text) << c.v;
}

TEST(SinkStats, LayerZeroOnly) {
  struct Case {
    const char* name;
    std::vector<std::vector<float>> sinks;
    std::optional<std::string> line;
  };
  const std::vector<Case> cases = {
      {"plain", {{1.0f, 2.0f, 4.5f}}, "AttnSink L0  : min=1.000 max=4.500 mean=2.500"},
      {"NaN skipped by min and max, not by the mean", {{0.5f, NaN}},
       "AttnSink L0  : min=0.500 max=0.500 mean=NaN"},
      {"all NaN", {{NaN, NaN}}, "AttnSink L0  : min=inf max=-inf mean=NaN"},
      {"negative", {{-1.25f, -3.0f}}, "AttnSink L0  : min=-3.000 max=-1.250 mean=-2.125"},
      {"later layers are not looked at", {{7.0f}, {100.0f}}, "AttnSink L0  : min=7.000 max=7.000 mean=7.000"},
      {"no sinks in layer 0", {{}, {1.0f}}, std::nullopt},
      {"no layers", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    Weights w;
    w.attn_sinks = c.sinks;
    EXPECT_EQ(sink_stats_line(w), c.line) << c.name;
  }
}

TEST(SinkStats, MeanIsAnF32SumInIndexOrder) {
  // 1e8 + 1 + ... in f32 loses each 1: the mean is 1e8 / 5, not (1e8 + 4) / 5.
  Weights w;
  w.attn_sinks = {{1e8f, 1.0f, 1.0f, 1.0f, 1.0f}};
  EXPECT_EQ(sink_stats_line(w), "AttnSink L0  : min=1.000 max=100000000.000 mean=20000000.000");
}

}  // namespace
}  // namespace korvex
