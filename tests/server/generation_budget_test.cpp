// Generations of a real model behind the HTTP service with a shared cache budget: one whose
// client has gone stops and gives its share back, and one past the budget ends its stream
// with the error piece while the service goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "engine/kv_budget.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "server/chat_completions.hpp"
#include "server/server.hpp"
#include "server/server_process.hpp"
#include "server/test_http_client.hpp"
#include "support/uniform_model.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
using test::chat_post;
using test::TestConnection;

Runtime& test_runtime() {
  static std::shared_ptr<Runtime> runtime = build_runtime(2);
  return *runtime;
}

// The model's generations through the engine, with a count of those that have returned.
struct Served {
  uint16_t port = 0;
  std::shared_ptr<KvBudget> budget;
  std::shared_ptr<std::atomic<int>> returned = std::make_shared<std::atomic<int>>(0);
};

Served serve_uniform_model(uint64_t budget_bytes) {
  auto opened = GgufFile::open(test::write_uniform_model({}));
  if (!opened) throw std::runtime_error(opened.error().message);
  auto file = std::make_shared<const GgufFile>(std::move(*opened));
  auto config = std::make_shared<const ModelConfig>(ModelConfig::from_gguf(*file));
  Served s;
  s.budget = std::make_shared<KvBudget>(budget_bytes);
  auto state = std::make_shared<AppState>();
  state->model_id = "uniform";
  state->config = config;
  state->weights = std::make_shared<const Weights>(Weights::load(build_tensor_index(*file), file, *config));
  state->kv_budget = s.budget;
  state->run_generation = [returned = s.returned](const GenerationJob& job, const GenerateParams& params,
                                                  const TokenSink& sink) {
    struct Count {
      std::atomic<int>& n;
      ~Count() { n.fetch_add(1); }
    } count{*returned};
    engine_generation(job, params, sink);
  };
  s.port = serve_locally(test_runtime(), state);
  return s;
}

template <typename Pred>
bool eventually(Pred done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(GenerationBudgetServer, AGenerationWhoseClientLeftStopsAndGivesItsShareBack) {
  Served s = serve_uniform_model(64u << 20);
  // With no end in sight, only the client's leaving can end these generations.
  const std::string endless = chat_post(R"({"messages":[],"max_tokens":100000000})");
  struct Case {
    const char* name;
    bool reads;  // else it never reads, so the generation waits on a full channel
  };
  for (const Case& c : {Case{"reads a little, then leaves", true}, Case{"never reads, then leaves", false}}) {
    SCOPED_TRACE(c.name);
    const int before = s.returned->load();
    {
      TestConnection client(s.port, 10s, c.reads ? 0 : 4096);
      client.send(endless);
      if (c.reads) {
        EXPECT_EQ(client.read_head().status_line, "HTTP/1.1 200 OK");
        EXPECT_FALSE(client.read_chunk().empty());
      }
      ASSERT_TRUE(eventually([&] { return s.budget->available() < s.budget->total(); }, 10s));
      std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(eventually([&] { return s.returned->load() == before + 1; }, 20s)) << "the generation runs on";
    EXPECT_EQ(s.budget->available(), s.budget->total());
  }
}

TEST(GenerationBudgetServer, PastTheBudgetTheStreamEndsWithTheErrorPieceAndTheServiceGoesOn) {
  // Room for the working buffers and the first 256 steps of a short prompt, not the next 256.
  auto opened = GgufFile::open(test::write_uniform_model({}));
  ASSERT_TRUE(opened);
  const ModelConfig config = ModelConfig::from_gguf(*opened);
  const uint64_t room = generation_working_bytes(config, 1) + 300 * kv_position_bytes(config);
  Served s = serve_uniform_model(room);

  TestConnection client(s.port, 20s);
  client.send(chat_post(R"({"messages":[],"max_tokens":600})"));
  const std::string body = client.read_reply().body;
  const std::string piece = "data: {\"choices\":[{\"delta\":{\"content\":\"[3]\"},\"finish_reason\":null}]}\n\n";
  std::string pieces;
  for (int i = 0; i < 257; ++i) pieces += piece;  // the prompt's position and 256 decoded ones
  ASSERT_EQ(body.substr(0, pieces.size()), pieces);
  const std::regex tail(
      R"(data: \{"choices":\[\{"delta":\{"content":"\\n\[Error: 256 more positions after the first 257 need [0-9.]+ MiB, but only [0-9.]+ MiB of the [0-9.]+ MiB key/value cache budget are free\]"\},"finish_reason":null\}\]\}\n\ndata: \[DONE\]\n\n)");
  EXPECT_TRUE(std::regex_match(body.substr(pieces.size()), tail)) << body.substr(pieces.size());
  EXPECT_TRUE(eventually([&] { return s.budget->available() == s.budget->total(); }, 10s));

  // The next request that fits is served in full.
  client.send(chat_post(R"({"messages":[],"max_tokens":5})"));
  EXPECT_EQ(client.read_reply().body, piece + piece + piece + piece + piece + "data: [DONE]\n\n");
}

}  // namespace
}  // namespace korvex
