// The generation loop on a real model: the 256-id greedy continuation of stories260K.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/pool.hpp"
#include "engine/generate.hpp"
#include "engine/weights.hpp"

namespace korvex {
namespace {

struct Model {
  std::shared_ptr<const GgufFile> file;
  ModelConfig config;
  Weights weights;
  std::optional<Tokenizer> tokenizer;
};

const Model& stories() {
  static const Model model = [] {
    auto opened = GgufFile::open(std::string(KORVEX_SOURCE_DIR) + "/models/stories260K.gguf");
    if (!opened) throw std::runtime_error(opened.error().message);
    Model m;
    m.file = std::make_shared<const GgufFile>(std::move(*opened));
    m.config = ModelConfig::from_gguf(*m.file);
    m.weights = Weights::load(build_tensor_index(*m.file), m.file, m.config);
    m.tokenizer = Tokenizer::from_gguf(*m.file);
    return m;
  }();
  return model;
}

// Line 4 of the reference file: the ids; the lines after it: their text.
struct Reference {
  std::vector<std::size_t> ids;
  std::string text;
};
Reference greedy_reference() {
  std::ifstream in(std::string(KORVEX_SOURCE_DIR) + "/tests/engine/stories260K.greedy256.txt");
  Reference ref;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (n == 4) {
      std::istringstream ids(line);
      for (std::size_t id; ids >> id;) ref.ids.push_back(id);
    } else if (n > 4) {
      if (n > 5) ref.text += '\n';
      ref.text += line;
    }
  }
  return ref;
}

struct Result {
  std::vector<std::size_t> ids;
  std::string text;
};
Result run(const GenerateParams& params, const Tokenizer* tokenizer) {
  const Model& m = stories();
  Result r;
  const std::size_t prompt[] = {1};
  r.ids = generate(prompt, params, m.config, m.weights, tokenizer,
                   [&](std::string_view piece) { r.text += piece; });
  return r;
}

TEST(GenerateModel, GreedyContinuationOfStories260K) {
  const Reference ref = greedy_reference();
  ASSERT_EQ(ref.ids.size(), 256u);
  const GenerateParams greedy{256, 0.0f, 40, 1.0f, std::nullopt};
  // Without a tokenizer nothing stops the run but id 2, and the text is the ids.
  const Result plain = run(greedy, nullptr);
  EXPECT_EQ(plain.ids, ref.ids);

  const Result r = run(greedy, &*stories().tokenizer);
  EXPECT_EQ(r.ids, ref.ids);
  // The text file drops the first leading space and ends where its last line ends.
  ASSERT_FALSE(r.text.empty());
  EXPECT_EQ(r.text.substr(1, ref.text.size()), ref.text);
}

TEST(GenerateModel, SeededSamplingRepeatsAndIgnoresTheThreadCount) {
  const GenerateParams sampled{48, 0.9f, 40, 1.3f, 42};
  const Result a = run(sampled, &*stories().tokenizer);
  tbb::task_arena one_thread(1);
  Result b;
  {
    ScopedArena scope(one_thread);
    b = run(sampled, &*stories().tokenizer);
  }
  EXPECT_EQ(a.ids, b.ids);
  EXPECT_EQ(a.text, b.text);
  EXPECT_FALSE(a.ids.empty());
  // Sampling really departs from the greedy path.
  const Result greedy = run({48, 0.0f, 40, 1.0f, std::nullopt}, &*stories().tokenizer);
  EXPECT_NE(a.ids, greedy.ids);
}

}  // namespace
}  // namespace korvex
