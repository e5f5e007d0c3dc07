// The model id that server mode derives from the model path.
#include <gtest/gtest.h>

#include "main/server_start.hpp"

namespace korvex {
namespace {

TEST(ServerStart, ModelIdFromPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"models/q4.gguf", "q4"},
      {"a.b.gguf", "a.b"},
      {"model.", "model"},
      {".hidden", ".hidden"},
      {".hidden.gguf", ".hidden"},
      {"model", "model"},
      {"dir/model.gguf/", "model"},
      {"dir/./model.gguf/.", "model"},
      {"vant_model.gguf", "vant_model"},
      {"/abs//path/x.y.z", "x.y"},
      {"", "korvex"},
      {"/", "korvex"},
      {"./.", "korvex"},
      {"models/..", "korvex"},
      {"..", "korvex"},
      {"a/../b.gguf", "b"},
      {"...", ".."},
      {"naïve.gguf", "naïve"},
  };
  for (auto [path, id] : cases) EXPECT_EQ(model_id_from_path(path), id) << path;
}

}  // namespace
}  // namespace korvex
