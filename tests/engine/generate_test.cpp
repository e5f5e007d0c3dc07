// The generation loop on scripted logits: prefill and positions, stop rules, emitted text,
// repeat penalty and the random draws, without a real model.
#include "engine/generate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/fatal.hpp"
#include "engine/chacha12.hpp"
#include "engine/sampler.hpp"

namespace korvex {
namespace {

constexpr std::size_t VOCAB = 32;

struct Call {
  std::size_t token, pos;
  bool want_logits;
  bool operator==(const Call&) const = default;
};

// A model whose logits make the greedy pick follow a script: pick k is script[k], then
// script.back() forever. Records every call.
struct ScriptedModel {
  std::vector<std::size_t> script;
  std::vector<Call> calls;
  std::size_t served = 0;

  ModelStep step() {
    return [this](std::size_t token, std::size_t pos, bool want_logits) {
      calls.push_back({token, pos, want_logits});
      if (!want_logits) return std::vector<float>{};
      std::vector<float> logits(VOCAB, -1.0f);
      logits[script[std::min(served, script.size() - 1)]] = 5.0f;
      ++served;
      return logits;
    };
  }
};

struct Outcome {
  std::vector<std::size_t> ids;
  std::vector<std::string> pieces;
};

Outcome run(std::vector<std::size_t> prompt, GenerateParams params, const Tokenizer* tokenizer,
        const ModelStep& step) {
  Outcome out;
  out.ids = run_generation(prompt, params, tokenizer, step,
                           [&](std::string_view piece) { out.pieces.emplace_back(piece); });
  return out;
}

GenerateParams greedy(std::size_t max_tokens) { return {max_tokens, 0.0f, 40, 1.0f, std::nullopt}; }

TEST(GenerateLoop, PrefillThenFeedsEachGeneratedIdAtTheNextPosition) {
  ScriptedModel model{{10, 11, 2}};
  const Outcome r = run({5, 6, 7}, greedy(100), nullptr, model.step());
  EXPECT_EQ(r.ids, (std::vector<std::size_t>{10, 11}));
  EXPECT_EQ(r.pieces, (std::vector<std::string>{"[10]", "[11]"}));
  // The stop id 2 is neither emitted nor fed.
  EXPECT_EQ(model.calls, (std::vector<Call>{
                             {5, 0, false}, {6, 1, false}, {7, 2, true}, {10, 3, true}, {11, 4, true}}));
}

TEST(GenerateLoop, StepLimits) {
  {  // max_tokens 0: the prompt still runs, nothing is emitted
    ScriptedModel model{{9}};
    const Outcome r = run({4, 8}, greedy(0), nullptr, model.step());
    EXPECT_TRUE(r.ids.empty());
    EXPECT_TRUE(r.pieces.empty());
    EXPECT_EQ(model.calls, (std::vector<Call>{{4, 0, false}, {8, 1, true}}));
  }
  {  // a one-id prompt: only the logits pass at position 0; exhaustion feeds the last id too
    ScriptedModel model{{17}};
    const Outcome r = run({1}, greedy(3), nullptr, model.step());
    EXPECT_EQ(r.ids, (std::vector<std::size_t>{17, 17, 17}));
    EXPECT_EQ(r.pieces, (std::vector<std::string>{"[17]", "[17]", "[17]"}));
    EXPECT_EQ(model.calls, (std::vector<Call>{{1, 0, true}, {17, 1, true}, {17, 2, true}, {17, 3, true}}));
  }
  {  // the first pick stops: empty result, no text
    ScriptedModel model{{2}};
    const Outcome r = run({1, 42}, greedy(50), nullptr, model.step());
    EXPECT_TRUE(r.ids.empty());
    EXPECT_TRUE(r.pieces.empty());
  }
}

TEST(GenerateLoop, EmptyPromptIsFatal) {
  ScriptedModel model{{3}};
  try {
    run({}, greedy(5), nullptr, model.step());
    FAIL() << "no fatal stop";
  } catch (const Fatal& e) {
    EXPECT_STREQ(e.what(), "empty prompt");
  }
  EXPECT_TRUE(model.calls.empty());
}

// A SentencePiece-mode vocabulary; the special ids are set as the tokenizer's
// construction would find them for these texts.
Tokenizer make_tokenizer(std::vector<std::string> vocab) {
  Tokenizer t;
  t.vocab = std::move(vocab);
  t.is_sentencepiece = true;
  auto id_of = [&](std::string_view text) {
    for (std::size_t i = 0; i < t.vocab.size(); ++i)
      if (t.vocab[i] == text) return static_cast<uint32_t>(i);
    return NO_TOKEN;
  };
  t.bos_id = id_of("<s>");
  t.im_end_id = id_of("<|im_end|>");
  t.return_id = id_of("<|return|>");
  t.eos_id = t.bos_id;
  for (const char* e : {"<|return|>", "<|end|>", "<|im_end|>", "</s>"}) {
    if (id_of(e) != NO_TOKEN) {
      t.eos_id = id_of(e);
      break;
    }
  }
  return t;
}

TEST(GenerateLoop, StopRuleFollowsTheVocabulary) {
  // ids:                              0      1     2      3            4          5
  const Tokenizer with_return = make_tokenizer({"<s>", "a", "b", "<|return|>", "<|end|>", "<|im_end|>",
                                                "<|im_start|>"});
  const Tokenizer without_return = make_tokenizer({"<s>", "a", "b", "</s>", "<|end|>", "<|im_end|>",
                                                   "<|im_start|>"});
  struct Case {
    const char* name;
    const Tokenizer* tokenizer;
    std::size_t id;
    bool stops;
  };
  const std::vector<Case> cases = {
      {"return", &with_return, 3, true},
      {"bos with return", &with_return, 0, true},
      {"end is not a stop beside return", &with_return, 4, false},
      {"im_end is not a stop beside return", &with_return, 5, false},
      {"ordinary", &with_return, 1, false},
      {"end without return", &without_return, 4, true},
      {"im_end without return", &without_return, 5, true},
      {"bos without return", &without_return, 0, true},
      {"</s> loses to <|end|> as the end id", &without_return, 3, false},
      {"no tokenizer: 2", nullptr, 2, true},
      {"no tokenizer: 0", nullptr, 0, false},
      {"ids compare as 32 bits", &without_return, (std::size_t{1} << 32) + 4, true},
  };
  for (const auto& c : cases) EXPECT_EQ(is_stop_id(c.tokenizer, c.id), c.stops) << c.name;

  // A special non-stop id is recorded and fed but says nothing; the generation goes on.
  ScriptedModel model{{4, 6, 5, 1, 3}};
  const Outcome r = run({0}, greedy(10), &with_return, model.step());
  EXPECT_EQ(r.ids, (std::vector<std::size_t>{4, 6, 5, 1}));
  EXPECT_EQ(r.pieces, (std::vector<std::string>{"a"}));
  EXPECT_EQ(model.calls.size(), 5u);
}

TEST(GenerateLoop, TextLeavesInWholeCharacters) {
  // ids: 0 <s>, 1 <0xE2>, 2 <0x82>, 3 <0xAC>, 4 <|im_start|>, 5 "▁hi", 6 "" (no bytes)
  const Tokenizer t = make_tokenizer({"<s>", "<0xE2>", "<0x82>", "<0xAC>", "<|im_start|>",
                                      "\xE2\x96\x81hi", ""});
  struct Case {
    const char* name;
    std::vector<std::size_t> script;  // ends with the stop id 0 unless it runs out of steps
    std::size_t max_tokens;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"euro over three ids, a special between", {5, 1, 4, 2, 6, 3, 0}, 20, {" hi", "\xE2\x82\xAC"}},
      {"tail pending at the stop id", {5, 1, 2, 0}, 20, {" hi", "\xEF\xBF\xBD"}},
      {"tail pending when the steps run out", {1, 2, 3, 1}, 4, {"\xE2\x82\xAC", "\xEF\xBF\xBD"}},
      {"cut character then text", {1, 5, 0}, 20, {"\xEF\xBF\xBD", " hi"}},
      {"ids with no bytes say nothing", {6, 4, 6, 0}, 20, {}},
  };
  for (const auto& c : cases) {
    ScriptedModel model{c.script};
    EXPECT_EQ(run({0}, greedy(c.max_tokens), &t, model.step()).pieces, c.pieces) << c.name;
  }
}

// Fixed logits at every step, whatever the token.
ModelStep fixed_logits(std::vector<float> logits) {
  return [logits](std::size_t, std::size_t, bool) { return logits; };
}

TEST(GenerateLoop, RepeatPenaltyCountsGeneratedIdsOnlyAndIsFreshEachStep) {
  std::vector<float> logits(VOCAB, -1.0f);
  logits[3] = 2.0f;
  logits[4] = 1.5f;
  logits[5] = 0.9f;
  // Prompt id 3 is not penalised, so 3 wins first; then 3 (2.0 / 2 = 1.0) loses to 4
  // (1.5); then 3 (1.0) beats 4 (0.75) and 5 (0.9); with 3 twice in the window it is down
  // to 0.5 and 5 wins; and so on, each occurrence dividing once more.
  const GenerateParams params{6, 0.0f, 40, 2.0f, std::nullopt};
  const Outcome r = run({3, 3, 3}, params, nullptr, fixed_logits(logits));
  EXPECT_EQ(r.ids, (std::vector<std::size_t>{3, 4, 3, 5, 4, 3}));
  // With penalty 1.0 the same logits give 3 every time.
  EXPECT_EQ(run({3}, greedy(3), nullptr, fixed_logits(logits)).ids,
            (std::vector<std::size_t>{3, 3, 3}));
}

TEST(GenerateLoop, SamplingDrawsOncePerStepFromTheSeededStream) {
  std::vector<float> logits(VOCAB);
  for (std::size_t i = 0; i < VOCAB; ++i) logits[i] = std::sin(static_cast<float>(i));
  logits[2] = -10.0f;  // keep the stop id out of reach
  const GenerateParams params{40, 0.8f, 7, 1.0f, 12345};
  const Outcome a = run({1}, params, nullptr, fixed_logits(logits));
  const Outcome b = run({1}, params, nullptr, fixed_logits(logits));
  EXPECT_EQ(a.ids, b.ids);

  ChaCha12 rng = ChaCha12::seed_from_u64(12345);
  std::vector<std::size_t> expected;
  for (int s = 0; s < 40; ++s) {
    const std::size_t id = sample_top_k(logits, 0.8f, 7, rng);
    if (id == 2) break;
    expected.push_back(id);
  }
  EXPECT_EQ(a.ids, expected);
  EXPECT_GT(a.ids.size(), 5u);

  GenerateParams other = params;
  other.seed = 12346;
  EXPECT_NE(run({1}, other, nullptr, fixed_logits(logits)).ids, a.ids);
}

TEST(GenerateLoop, NaNTemperatureSamples) {
  // Greedy would take index 5; divided by NaN every candidate is NaN, no running sum
  // reaches the draw, and the first candidate (index 0) is taken.
  std::vector<float> logits(VOCAB, 0.0f);
  logits[5] = 3.0f;
  const GenerateParams params{1, std::nanf(""), 40, 1.0f, 1};
  EXPECT_EQ(run({1}, params, nullptr, fixed_logits(logits)).ids, (std::vector<std::size_t>{0}));
}

}  // namespace
}  // namespace korvex
