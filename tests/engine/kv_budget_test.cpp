// The cache budget: its accounting alone and under threads, and generations on a real model
// that take their share before writing rows and give it all back however they end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/fatal.hpp"
#include "engine/budgeted_cache.hpp"
#include "engine/generate.hpp"
#include "engine/kv_budget.hpp"
#include "engine/prefill.hpp"
#include "support/uniform_model.hpp"
#include "tiny_model.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;

TEST(KvBudget, TakesAllOrNothingAndASharesGoesBackWhole) {
  KvBudget budget(100);
  {
    KvBudgetShare a(&budget);
    EXPECT_TRUE(a.take(60));
    KvBudgetShare b(&budget);
    EXPECT_FALSE(b.take(41));  // nothing of it taken
    EXPECT_EQ(budget.available(), 40u);
    EXPECT_TRUE(b.take(40));
    EXPECT_FALSE(b.take(1));
    b.give_back(1000);  // never more than it holds
    EXPECT_EQ(b.held, 0u);
    EXPECT_EQ(budget.available(), 40u);
  }
  EXPECT_EQ(budget.available(), 100u);
  KvBudgetShare unbounded(nullptr);
  EXPECT_TRUE(unbounded.take(UINT64_MAX));
}

TEST(KvBudget, ConcurrentTakersNeverHoldMoreThanTheTotal) {
  constexpr uint64_t total = 16;  // eight takers of up to 7 each must collide
  KvBudget budget(total);
  std::atomic<uint64_t> outstanding{0}, most{0};
  std::atomic<std::size_t> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      test::Lcg rng{static_cast<uint64_t>(t) + 1};
      for (int i = 0; i < 20000; ++i) {
        uint64_t n = 1 + rng.next() % 7;
        if (!budget.try_take(n)) {
          refused.fetch_add(1);
          continue;
        }
        uint64_t now = outstanding.fetch_add(n) + n;
        for (uint64_t m = most.load(); now > m && !most.compare_exchange_weak(m, now);) {
        }
        std::this_thread::yield();
        outstanding.fetch_sub(n);
        budget.give_back(n);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_LE(most.load(), total);
  EXPECT_GT(refused.load(), 0u) << "the test never filled the budget";
  EXPECT_EQ(budget.available(), total);
}

TEST(KvBudget, SizingFromTheMachine) {
  // The 0.5B shape: 24 layers, 2 key/value heads of 64: 24,576 bytes a position.
  ModelConfig half_b;
  half_b.layers = 24;
  half_b.kv_heads = 2;
  half_b.head_dim = 64;
  EXPECT_EQ(kv_position_bytes(half_b), 24576u);
  const uint64_t gib = uint64_t{1} << 30;
  EXPECT_EQ(kv_budget_bytes(gib / 4, gib / 8), 0u);  // the mapping and margin take it all
  uint64_t in_1_5_gib = kv_budget_bytes(3 * gib / 2, 670'000'000);
  EXPECT_GT(in_1_5_gib, 600 * (gib >> 10));
  EXPECT_LT(in_1_5_gib, 3 * gib / 2 - 670'000'000);
}

struct Model {
  test::LoadedModel loaded;
  uint64_t position_bytes;
};

// 2 layers of 2 key/value heads of 4: 128 bytes a position.
const Model& model(std::size_t winner) {
  static std::map<std::size_t, Model> models;
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  auto it = models.find(winner);
  if (it == models.end()) {
    test::UniformModelShape shape;
    shape.winner = winner;
    test::LoadedModel m = test::load_model(test::write_uniform_model(shape));
    uint64_t bytes = kv_position_bytes(m.config);
    it = models.emplace(winner, Model{std::move(m), bytes}).first;
  }
  return it->second;
}

struct Outcome {
  std::vector<std::size_t> ids;
  std::vector<std::string> pieces;
  std::optional<std::string> fatal;
};

Outcome run(const Model& m, std::span<const std::size_t> prompt, std::size_t max_tokens, KvBudget* budget,
        std::function<void(std::size_t piece)> on_piece = {}, AbandonCheck abandoned = {}) {
  Outcome r;
  const GenerateParams greedy{max_tokens, 0.0f, 1, 1.0f, std::nullopt};
  try {
    r.ids = generate(prompt, greedy, m.loaded.config, m.loaded.weights, nullptr,
                     [&](std::string_view piece) {
                       r.pieces.emplace_back(piece);
                       if (on_piece) on_piece(r.pieces.size());
                     },
                     {budget, std::move(abandoned)});
  } catch (const Fatal& f) {
    r.fatal = f.what();
  }
  return r;
}

uint64_t first_room(const Model& m, std::size_t prompt_len, std::size_t max_tokens) {
  return generation_working_bytes(m.loaded.config, prompt_len) +
         (prompt_len + std::min(max_tokens, kDecodeRoomStep)) * m.position_bytes;
}

TEST(GenerationBudget, EveryWayOutGivesTheWholeShareBack) {
  const std::vector<std::size_t> prompt(40, 5);
  const Model& normal = model(3);
  const Outcome unbounded = run(normal, prompt, 300, nullptr);
  ASSERT_EQ(unbounded.ids.size(), 300u);
  const uint64_t ample = 64u << 20;

  struct Case {
    const char* name;
    std::size_t winner, max_tokens;
    uint64_t budget;
    std::size_t fatal_at_piece = 0, abandon_after_piece = 0;
    std::size_t want_pieces;
    std::string want_fatal;  // a pattern; empty: none
  };
  // Room for the prompt and its first 256 steps, but not for the next 256.
  const uint64_t tight = first_room(normal, prompt.size(), 300) + 100 * normal.position_bytes;
  const std::vector<Case> cases = {
      {"normal end past a room step", 3, 300, ample, 0, 0, 300, ""},
      {"stop id", 2, 300, ample, 0, 0, 0, ""},
      {"fatal stop while decoding", 3, 300, ample, 10, 0, 10, "sink gave up"},
      {"abandoned while decoding", 3, 300, ample, 0, 7, 7, ""},
      {"budget runs out while decoding", 3, 300, tight, 0, 0, 257,
       R"(44 more positions after the first 296 need [0-9.]+ MiB, but only [0-9.]+ MiB of the [0-9.]+ MiB key/value cache budget are free)"},
      {"prompt larger than the whole budget", 3, 300, 1u << 20, 0, 0, 0,
       R"(a prompt of 40 positions and its first 256 generated ones need [0-9.]+ MiB, more than the whole key/value cache budget of 1.0 MiB)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KvBudget budget(c.budget);
    bool held_while_running = false;
    bool abandoned = false;
    Outcome r = run(model(c.winner), prompt, c.max_tokens, &budget,
                [&](std::size_t piece) {
                  held_while_running = budget.available() < budget.total();
                  if (piece == c.fatal_at_piece) fatal("sink gave up");
                  if (piece == c.abandon_after_piece) abandoned = true;
                },
                [&] { return abandoned; });
    EXPECT_EQ(budget.available(), budget.total());
    EXPECT_EQ(r.pieces.size(), c.want_pieces);
    for (std::size_t i = 0; i < r.pieces.size(); ++i) ASSERT_EQ(r.pieces[i], unbounded.pieces[i]) << i;
    if (c.want_pieces > 0) EXPECT_TRUE(held_while_running);
    if (c.want_fatal.empty()) {
      EXPECT_FALSE(r.fatal) << *r.fatal;
    } else {
      ASSERT_TRUE(r.fatal);
      EXPECT_TRUE(std::regex_match(*r.fatal, std::regex(c.want_fatal))) << *r.fatal;
    }
  }
}

TEST(GenerationBudget, APromptThatCannotFitStopsBeforeAnyModelWork) {
  const Model& m = model(3);
  const std::vector<std::size_t> prompt(200, 5);
  KvBudget budget(first_room(m, prompt.size(), 8) + m.position_bytes);
  KvBudgetShare other(&budget);
  ASSERT_TRUE(other.take(2 * m.position_bytes));  // another generation holds a little
  bool asked = false;  // the first prompt chunk asks; a refused prompt never gets there
  Outcome r = run(m, prompt, 8, &budget, {}, [&] { return asked = true, false; });
  ASSERT_TRUE(r.fatal);
  EXPECT_TRUE(std::regex_match(*r.fatal, std::regex(R"(a prompt of 200 positions and its first 8 generated ones need [0-9.]+ MiB, but only [0-9.]+ MiB of the [0-9.]+ MiB key/value cache budget are free)")))
      << *r.fatal;
  EXPECT_FALSE(asked);
  EXPECT_EQ(budget.available(), budget.total() - other.held);
  other.give_back(other.held);
  Outcome fits = run(m, prompt, 8, &budget);
  EXPECT_FALSE(fits.fatal);
  EXPECT_EQ(fits.ids.size(), 8u);
}

TEST(GenerationBudget, AnAbandonedPromptStopsAtTheNextChunk) {
  const Model& m = model(3);
  const std::vector<std::size_t> prompt(3 * kPrefillChunk, 5);
  KvCache cache = KvCache::empty(m.loaded.config);
  std::size_t asked = 0;
  std::vector<float> logits =
      prefill(prompt, m.loaded.config, m.loaded.weights, cache, kPrefillChunk, [&] { return ++asked > 1; });
  EXPECT_TRUE(logits.empty());
  EXPECT_EQ(asked, 2u);
  const std::size_t kv_dim = m.loaded.config.kv_heads * m.loaded.config.head_dim;
  for (const LayerCache& lc : cache.layers) EXPECT_EQ(lc.keys.size(), kPrefillChunk * kv_dim);

  // Through generate: nothing comes out and the share is back.
  KvBudget budget(64u << 20);
  Outcome r = run(m, prompt, 100, &budget, {}, [n = 0]() mutable { return ++n > 1; });
  EXPECT_TRUE(r.pieces.empty());
  EXPECT_FALSE(r.fatal);
  EXPECT_EQ(budget.available(), budget.total());
}

TEST(GenerationBudget, RoomIsTakenBeforeTheRowsAndCoversEveryReallocation) {
  const Model& m = model(3);
  const std::size_t kv_dim = m.loaded.config.kv_heads * m.loaded.config.head_dim;
  const uint64_t working = 1000;
  auto capacity_bytes = [&](const BudgetedCache& c) {
    uint64_t bytes = 0;
    for (const LayerCache& lc : c.cache.layers) bytes += (lc.keys.capacity() + lc.values.capacity()) * sizeof(float);
    return bytes;
  };
  KvBudget budget(1u << 20);
  BudgetedCache c(m.loaded.config, &budget);
  reserve_prompt_room(c, working, 10, 5);
  EXPECT_EQ(c.capacity, 15u);
  EXPECT_EQ(capacity_bytes(c), 15 * m.position_bytes);
  EXPECT_EQ(c.share.held, working + 15 * m.position_bytes);
  ensure_decode_room(c, 14, 1000);  // inside the room: nothing changes
  EXPECT_EQ(c.capacity, 15u);
  ensure_decode_room(c, 15, 1000);
  EXPECT_EQ(c.capacity, 15 + kDecodeRoomStep);
  EXPECT_EQ(capacity_bytes(c), c.capacity * m.position_bytes);
  EXPECT_EQ(c.share.held, working + c.capacity * m.position_bytes);
  ensure_decode_room(c, c.capacity, c.capacity + 3);  // never past the last position needed
  EXPECT_EQ(c.capacity, 15 + kDecodeRoomStep + 3);

  // Growing needs the old vector's bytes for a moment besides the new room: a budget with
  // room for the new rows alone refuses.
  KvBudget snug(working + 15 * m.position_bytes + kDecodeRoomStep * m.position_bytes);
  BudgetedCache d(m.loaded.config, &snug);
  reserve_prompt_room(d, working, 10, 5);
  EXPECT_THROW(ensure_decode_room(d, 15, 1000), Fatal);
  EXPECT_EQ(d.capacity, 15u);
  EXPECT_EQ(capacity_bytes(d), 15 * m.position_bytes);
  (void)kv_dim;
}

TEST(GenerationBudget, ConcurrentGenerationsShareOneBudget) {
  const Model& m = model(3);
  const std::vector<std::size_t> prompt(60, 5);
  const std::size_t max_tokens = 8, runners = 6, fitting = 2;
  const Outcome unbounded = run(m, prompt, max_tokens, nullptr);
  const uint64_t each = first_room(m, prompt.size(), max_tokens);
  KvBudget budget(fitting * each + each / 2);

  // Each generation that got its share waits at its first piece until every other one has
  // either got that far or been refused, so the shares are held at the same time.
  std::mutex mutex;
  std::condition_variable cv;
  std::size_t arrived = 0;
  auto arrive = [&] {
    std::unique_lock lock(mutex);
    ++arrived;
    cv.notify_all();
    cv.wait_for(lock, 30s, [&] { return arrived == runners; });
  };
  std::vector<Outcome> runs(runners);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < runners; ++t) {
    threads.emplace_back([&, t] {
      runs[t] = run(m, prompt, max_tokens, &budget, [&](std::size_t piece) {
        if (piece == 1) arrive();
      });
      if (runs[t].fatal) arrive();
    });
  }
  for (auto& t : threads) t.join();
  std::size_t finished = 0;
  for (const Outcome& r : runs) {
    if (r.fatal) {
      EXPECT_NE(r.fatal->find("but only"), std::string::npos) << *r.fatal;
      EXPECT_TRUE(r.pieces.empty());
    } else {
      ++finished;
      EXPECT_EQ(r.pieces, unbounded.pieces);
    }
  }
  EXPECT_EQ(finished, fitting);
  EXPECT_EQ(budget.available(), budget.total());
}

}  // namespace
}  // namespace korvex
